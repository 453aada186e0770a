// SPDX-License-Identifier: GPL-2.0-or-later
#include "sender.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

namespace ovk {

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string &what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

class Socket {
public:
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() { ::close(fd_); }
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

int connected_socket(const Ovk5CaptureOptions &options, const SendOptions &send)
{
    addrinfo hints{};
    hints.ai_socktype = options.transport == Transport::udp ? SOCK_DGRAM : SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *found = nullptr;
    const int status = getaddrinfo(send.host.c_str(), std::to_string(send.port).c_str(), &hints, &found);
    if (status != 0)
        throw std::runtime_error("cannot find " + send.host + ": " + gai_strerror(status));
    const int fd = ::socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        freeaddrinfo(found);
        fail("cannot make a socket");
    }
    if (send.bind_source_port) {
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_storage local{};
        local.ss_family = static_cast<sa_family_t>(found->ai_family);
        const std::uint16_t port = htons(options.source_port);
        if (found->ai_family == AF_INET)
            reinterpret_cast<sockaddr_in &>(local).sin_port = port;
        else
            reinterpret_cast<sockaddr_in6 &>(local).sin6_port = port;
        if (::bind(fd, reinterpret_cast<sockaddr *>(&local), found->ai_addrlen) != 0) {
            freeaddrinfo(found);
            ::close(fd);
            fail("cannot send from port " + std::to_string(options.source_port));
        }
    }
    if (::connect(fd, found->ai_addr, found->ai_addrlen) != 0) {
        freeaddrinfo(found);
        ::close(fd);
        fail("cannot connect to " + send.host + ":" + std::to_string(send.port));
    }
    freeaddrinfo(found);
    if (options.transport == Transport::tcp) {
        // Each write its own segment, as the hardware's are.
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    return fd;
}

void send_all(int fd, const std::uint8_t *data, std::size_t length)
{
    while (length > 0) {
        const ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            fail("cannot send");
        data += n;
        length -= static_cast<std::size_t>(n);
    }
}

} // namespace

bool parse_send_target(const std::string &target, Transport *transport, SendOptions *send)
{
    std::string rest;
    if (target.rfind("udp://", 0) == 0)
        *transport = Transport::udp;
    else if (target.rfind("tcp://", 0) == 0)
        *transport = Transport::tcp;
    else
        return false;
    rest = target.substr(6);
    const std::size_t colon = rest.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == rest.size())
        return false;
    std::string host = rest.substr(0, colon);
    if (host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    const std::string port = rest.substr(colon + 1);
    if (port.find_first_not_of("0123456789") != std::string::npos || port.size() > 5)
        return false;
    const unsigned long number = std::stoul(port);
    if (number == 0 || number > 65535 || host.empty())
        return false;
    send->host = host;
    send->port = static_cast<std::uint16_t>(number);
    return true;
}

SendResult send_ovk5(const Ovk5CaptureOptions &options, const SendOptions &send)
{
    Socket socket(connected_socket(options, send));
    const auto start = Clock::now();
    std::vector<std::uint8_t> batch;
    std::uint32_t sent = 0;
    while (sent < options.count) {
        // Paced by the time the next record is due: behind schedule, records
        // go out back to back until it is caught up.
        if (send.rate > 0) {
            const auto due = start + std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<double>(sent / send.rate));
            if (due > Clock::now())
                std::this_thread::sleep_until(due);
        }
        batch.clear();
        const std::uint32_t records = std::min(send.per_send, options.count - sent);
        for (std::uint32_t i = 0; i < records; ++i) {
            const Bytes record = ovk5_payload(ovk5_header_for(options, sent + i),
                                              inner_frame_for(options.inner, sent + i, options.seed));
            const std::size_t at = batch.size();
            batch.insert(batch.end(), record.begin(), record.end());
            if (send.bad_every != 0 && (sent + i + 1) % send.bad_every == 0) {
                const std::uint16_t claimed = static_cast<std::uint16_t>(batch[at] | batch[at + 1] << 8) + 1;
                batch[at] = static_cast<std::uint8_t>(claimed);
                batch[at + 1] = static_cast<std::uint8_t>(claimed >> 8);
            }
        }
        if (options.transport == Transport::udp) {
            if (::send(socket.fd(), batch.data(), batch.size(), 0) < 0 && errno != ECONNREFUSED)
                fail("cannot send");
        } else {
            const std::size_t piece = send.split ? send.split : batch.size();
            for (std::size_t offset = 0; offset < batch.size(); offset += piece)
                send_all(socket.fd(), batch.data() + offset, std::min(piece, batch.size() - offset));
        }
        sent += records;
    }
    SendResult result;
    result.records = sent;
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return result;
}

} // namespace ovk
