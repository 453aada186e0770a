// SPDX-License-Identifier: GPL-2.0-or-later
// What ovk5dump's receiver needs of the system, on Windows: Winsock
// (started before main), sockets as the int handles the receiver keeps
// (Winsock's handles fit), the epoll calls of its loop answered with
// WSAPoll, the FIFO Wireshark passes (a named pipe) and the console's
// stop events.
#ifndef OVK_WINDOWS_SOCKET_PLATFORM_H
#define OVK_WINDOWS_SOCKET_PLATFORM_H

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include <cstdint>
#include <ctime>
#include <string>

#undef interface  // COM's; the receiver's records have an interface field

// Set afterwards with set_nonblocking(); Winsock's handles are not
// inherited by the programs this one never starts.
#define SOCK_NONBLOCK 0
#define SOCK_CLOEXEC 0

// No watchdog on a stalled reader: Wireshark on Windows ends an extcap
// by closing its pipe and then terminating it.
inline unsigned alarm(unsigned) { return 0; }

namespace ovk::platform {

int close_socket(int s);
bool set_nonblocking(int s);
// The last Winsock error, and its text.
int socket_error();
std::string socket_error_text(int code);
inline std::string socket_error_text() { return socket_error_text(socket_error()); }
inline bool would_block(int code) { return code == WSAEWOULDBLOCK || code == WSAEINTR; }
// recv() as read() answers: -1 with errno EAGAIN when nothing is there,
// ECONNRESET or EIO for a connection that failed.
long read_socket(int s, void *bytes, std::size_t size);

// Opens the FIFO, a named pipe ("\\.\pipe\...") or a file, for writing in
// binary mode; a C runtime descriptor, or -1 with the reason in *error.
int open_fifo(const std::string &path, std::string *error);
// Whether the pipe's reader has closed its end.
bool fifo_reader_gone(int fd);
// handler runs (on a thread of its own) on Ctrl-C, Ctrl-Break or the
// console closing.
void on_console_stop(void (*handler)());
// The time of day, to the precision the system keeps.
void realtime(timespec *now);

} // namespace ovk::platform

// The epoll subset the capture loop uses, over WSAPoll; only sockets are
// watched (the FIFO's reader is checked with fifo_reader_gone()).
enum : std::uint32_t { EPOLLIN = 0x001, EPOLLOUT = 0x004, EPOLLERR = 0x008, EPOLLHUP = 0x010 };
enum { EPOLL_CTL_ADD = 1, EPOLL_CTL_DEL = 2, EPOLL_CTL_MOD = 3, EPOLL_CLOEXEC = 0 };
union epoll_data {
    int fd;
};
struct epoll_event {
    std::uint32_t events;
    epoll_data data;
};
int epoll_create1(int flags);
int epoll_ctl(int epoll, int operation, int fd, epoll_event *event);
int epoll_wait(int epoll, epoll_event *events, int max_events, int timeout_ms);

#endif
