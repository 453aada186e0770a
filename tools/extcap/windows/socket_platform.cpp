// SPDX-License-Identifier: GPL-2.0-or-later
#include "socket_platform.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <map>
#include <vector>

namespace {

// Winsock is started before main(): option checks already use it.
struct Winsock {
    Winsock()
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~Winsock() { WSACleanup(); }
} winsock;

void (*stop_handler)() = nullptr;

BOOL WINAPI console_event(DWORD)
{
    if (stop_handler)
        stop_handler();
    // Ends the process once the capture loop has written what it holds.
    Sleep(INFINITE);
    return TRUE;
}

// The one poller of the process: sockets by handle, with their events.
std::map<int, std::uint32_t> watched;

} // namespace

namespace ovk::platform {

int close_socket(int s)
{
    watched.erase(s);
    return closesocket(static_cast<SOCKET>(s));
}

bool set_nonblocking(int s)
{
    u_long on = 1;
    return ioctlsocket(static_cast<SOCKET>(s), FIONBIO, &on) == 0;
}

long read_socket(int s, void *bytes, std::size_t size)
{
    const int n = recv(static_cast<SOCKET>(s), static_cast<char *>(bytes), static_cast<int>(size), 0);
    if (n >= 0)
        return n;
    const int code = WSAGetLastError();
    errno = code == WSAEWOULDBLOCK ? EAGAIN : code == WSAEINTR ? EINTR : code == WSAECONNRESET ? ECONNRESET : EIO;
    return -1;
}

int socket_error()
{
    return WSAGetLastError();
}

std::string socket_error_text(int code)
{
    char *buffer = nullptr;
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                            | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<char *>(&buffer), 0,
                                        nullptr);
    std::string text = length ? std::string(buffer, length) : "Winsock error " + std::to_string(code);
    LocalFree(buffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.' || text.back() == ' '))
        text.pop_back();
    return text;
}

int open_fifo(const std::string &path, std::string *error)
{
    const int length = MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, nullptr, 0);
    std::wstring name(static_cast<std::size_t>(length > 0 ? length : 1), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, name.data(), length);
    // The reader (dumpcap) has made the pipe and waits for this end: open
    // what exists, as on Linux, never create it.
    HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PIPE_BUSY
        && WaitNamedPipeW(name.c_str(), 5000))
        file = CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = socket_error_text(static_cast<int>(GetLastError()));
        return -1;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(file);
        *error = "no descriptor for it";
    }
    return fd;
}

bool fifo_reader_gone(int fd)
{
    HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (file == INVALID_HANDLE_VALUE || GetFileType(file) != FILE_TYPE_PIPE)
        return false;
    // Writing nothing still fails once the reader has closed its end.
    DWORD written = 0;
    if (WriteFile(file, "", 0, &written, nullptr))
        return false;
    const DWORD code = GetLastError();
    return code == ERROR_NO_DATA || code == ERROR_BROKEN_PIPE || code == ERROR_PIPE_NOT_CONNECTED;
}

void on_console_stop(void (*handler)())
{
    stop_handler = handler;
    SetConsoleCtrlHandler(console_event, TRUE);
}

void realtime(timespec *now)
{
    FILETIME time;
    GetSystemTimePreciseAsFileTime(&time);
    // 100 ns since 1601-01-01.
    const std::uint64_t ticks = (static_cast<std::uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime)
                                - 116444736000000000ULL;
    now->tv_sec = static_cast<time_t>(ticks / 10000000);
    now->tv_nsec = static_cast<long>(ticks % 10000000 * 100);
}

} // namespace ovk::platform

int epoll_create1(int)
{
    watched.clear();
    return 1;
}

int epoll_ctl(int, int operation, int fd, epoll_event *event)
{
    // Only sockets can be polled; SO_TYPE tells them from other handles.
    int type = 0;
    int length = sizeof type;
    if (getsockopt(static_cast<SOCKET>(fd), SOL_SOCKET, SO_TYPE, reinterpret_cast<char *>(&type), &length) != 0)
        return 0;
    if (operation == EPOLL_CTL_DEL)
        watched.erase(fd);
    else
        watched[fd] = event ? event->events : 0;
    return 0;
}

int epoll_wait(int, epoll_event *events, int max_events, int timeout_ms)
{
    std::vector<WSAPOLLFD> polled;
    polled.reserve(watched.size());
    for (const auto &entry : watched) {
        WSAPOLLFD p{};
        p.fd = static_cast<SOCKET>(entry.first);
        p.events = static_cast<SHORT>(((entry.second & EPOLLIN) ? POLLRDNORM : 0)
                                      | ((entry.second & EPOLLOUT) ? POLLWRNORM : 0));
        polled.push_back(p);
    }
    if (polled.empty()) {
        Sleep(static_cast<DWORD>(timeout_ms < 0 ? 250 : timeout_ms));
        return 0;
    }
    const int ready = WSAPoll(polled.data(), static_cast<ULONG>(polled.size()), timeout_ms);
    if (ready <= 0)
        return ready < 0 && WSAGetLastError() != WSAEINTR ? -1 : 0;
    int n = 0;
    for (const WSAPOLLFD &p : polled) {
        if (!p.revents || n == max_events)
            continue;
        std::uint32_t what = 0;
        if (p.revents & (POLLRDNORM | POLLHUP))
            what |= EPOLLIN;
        if (p.revents & POLLWRNORM)
            what |= EPOLLOUT;
        if (p.revents & (POLLERR | POLLNVAL))
            what |= EPOLLERR | EPOLLIN;
        events[n].events = what;
        events[n].data.fd = static_cast<int>(p.fd);
        ++n;
    }
    return n;
}
