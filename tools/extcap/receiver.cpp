// SPDX-License-Identifier: GPL-2.0-or-later
#define WS_LOG_DOMAIN "ovk5dump"

#include "receiver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#ifndef _WIN32
#include <linux/sock_diag.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#endif
#include <netdb.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <wiretap/wtap.h>
#include <wsutil/cpu_info.h>
#include <wsutil/os_version_info.h>
#include <wsutil/wslog.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "ovk_record_format.h"
#include "pcapng_writer.h"
#ifdef _WIN32
// Winsock, epoll's calls over WSAPoll, the FIFO as a named pipe.
#include "socket_platform.h"
using ovk::platform::close_socket;
using ovk::platform::read_socket;
using ovk::platform::socket_error_text;
constexpr int family_unsupported = WSAEAFNOSUPPORT, address_unavailable = WSAEADDRNOTAVAIL;
#else
inline int close_socket(int fd) { return ::close(fd); }
inline ssize_t read_socket(int fd, void *bytes, std::size_t size) { return ::read(fd, bytes, size); }
inline std::string socket_error_text(int code = errno) { return std::strerror(code); }
constexpr int family_unsupported = EAFNOSUPPORT, address_unavailable = EADDRNOTAVAIL;
#endif

namespace ovk {

namespace {

volatile std::sig_atomic_t stop_requested = 0;

// Calls into the writer, counted on entry and on return: odd while one
// runs. After a stop request a watchdog looks every stall_seconds: a call
// that has not returned since the last look means the reader has stopped
// reading the FIFO, and nothing written could reach anyone any more.
volatile std::sig_atomic_t fifo_calls = 0;
volatile std::sig_atomic_t fifo_calls_seen = 0;
volatile std::sig_atomic_t stall_watch_armed = 0;
constexpr unsigned stall_seconds = 2;

void request_stop(int)
{
    if (!stop_requested && stall_watch_armed) {
        fifo_calls_seen = fifo_calls;
        alarm(stall_seconds);
    }
    stop_requested = 1;
}

#ifndef _WIN32
void watch_stalled_reader(int)
{
    if ((fifo_calls & 1) && fifo_calls == fifo_calls_seen) {
        static const char message[] =
            "ovk5dump: stopped while the capture's reader was not reading; the last records were not handed over\n";
        const ssize_t ignored = ::write(STDERR_FILENO, message, sizeof message - 1);
        (void)ignored;
        _exit(1);
    }
    fifo_calls_seen = fifo_calls;
    alarm(stall_seconds);
}
#endif

// Brackets one call that may write to the FIFO.
class FifoCall {
public:
    FifoCall() { fifo_calls = fifo_calls + 1; }
    ~FifoCall() { fifo_calls = fifo_calls + 1; }
    FifoCall(const FifoCall &) = delete;
    FifoCall &operator=(const FifoCall &) = delete;
};

constexpr std::size_t header_size = ovk5_header_length;
constexpr std::size_t max_record_size = ovk5_max_record_length;
constexpr std::uint32_t snap_length = 262144;
constexpr int udp_batch = 32;
// Read at most this much from one connection before serving the others.
constexpr int reads_per_turn = 16;
constexpr int receive_buffer_bytes = 8 * 1024 * 1024;
constexpr auto reconnect_delay = std::chrono::seconds(1);
constexpr auto count_log_interval = std::chrono::seconds(5);
// The reader gets what was written at most this late: a live view, yet
// one write per batch rather than per datagram when records trickle in.
constexpr auto flush_interval = std::chrono::milliseconds(20);
// Datagrams are taken at most this often, in batches, as a packet socket's
// ring hands over blocks: one wake-up per datagram would cost more than
// the datagram. The socket's buffer holds what arrives meanwhile.
constexpr auto udp_turn = std::chrono::milliseconds(2);
// At the stop, connections are read until they stay quiet this long (what
// the peers' hosts still had on the way), for at most drain_limit; what
// they hold after that is counted as dropped, not written.
constexpr int drain_quiet_ms = 50;
constexpr auto drain_limit = std::chrono::seconds(2);
constexpr int drain_reads = 1024;  // per connection between looks at the time

constexpr const char invalid_time_note[] =
    "time stamp invalid (nanoseconds over 999999999): written with the capture time of the packet carrying it";

using Clock = std::chrono::steady_clock;

std::uint16_t le16(const std::uint8_t *p)
{
    return ovk_le16(p);
}

struct Header {
    std::uint16_t blob_size;
    std::uint8_t interface;
    std::uint32_t seconds;
    std::uint32_t nanoseconds;
    std::uint16_t rid0, rid1;
};

Header read_header(const std::uint8_t *p)
{
    const ovk5_header h = ovk5_read_header(p);
    return {h.blob_size, h.interface_id, h.secs, h.nsecs, h.rid0, h.rid1};
}

// Whether the bytes at p (available of them) can start a record of a TCP
// stream: the shared check, as far as they go. The first record of a
// connection must pass it whole: bytes that are no OVK5 at all (text, say)
// fail as soon as one header is in. A later record whose only fault is its
// time stamp is kept, with a note, as the exporter keeps it: the check
// then sees it with a valid one.
bool plausible_in_stream(const std::uint8_t *p, std::size_t available, bool first)
{
    const std::size_t checked = std::min<std::size_t>(available, ovk5_checked_length);
    std::array<std::uint8_t, ovk5_checked_length> copy{};
    if (!first && !ovk_time_valid(read_header(p).nanoseconds)) {
        std::memcpy(copy.data(), p, checked);
        std::memset(copy.data() + ovk5_ts_offset + 4, 0, 4);
        p = copy.data();
    }
    return ovk5_check_at({p, checked, available}, 0, ovk5_tool_rule) != ovk5_plausibility::implausible;
}

// The records framed by their Blob size in length bytes at data, and
// whether they end exactly where the bytes do.
struct Framing {
    std::uint64_t records;
    bool exact;
};

Framing frame_records(const std::uint8_t *data, std::size_t length)
{
    Framing framing{0, false};
    std::size_t offset = 0;
    while (length - offset >= header_size) {
        const std::size_t size = header_size + le16(data + offset);
        if (size > length - offset)
            break;
        offset += size;
        ++framing.records;
    }
    framing.exact = offset == length && length > 0;
    return framing;
}

// A device, as the sender's address: "192.0.2.1", "2001:db8::1",
// "fe80::1%eth0" (link-local, with its link); IPv4 mapped into IPv6 as IPv4.
std::string address_text(const sockaddr_storage &address)
{
    char text[INET6_ADDRSTRLEN];
    if (address.ss_family == AF_INET) {
        const auto &v4 = reinterpret_cast<const sockaddr_in &>(address);
        inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
        return text;
    }
    const auto &v6 = reinterpret_cast<const sockaddr_in6 &>(address);
    if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
        inet_ntop(AF_INET, &v6.sin6_addr.s6_addr[12], text, sizeof text);
        return text;
    }
    inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
    std::string result = text;
    if (v6.sin6_scope_id != 0) {
        char name[IF_NAMESIZE];
        result += "%";
        result += if_indextoname(v6.sin6_scope_id, name) ? name : std::to_string(v6.sin6_scope_id);
    }
    return result;
}

std::uint16_t port_of(const sockaddr_storage &address)
{
    return ntohs(address.ss_family == AF_INET ? reinterpret_cast<const sockaddr_in &>(address).sin_port
                                              : reinterpret_cast<const sockaddr_in6 &>(address).sin6_port);
}

// "address:port", "[address]:port" for IPv6: a peer, in the log.
std::string peer_text(const sockaddr_storage &address)
{
    const std::string host = address_text(address);
    const std::string port = std::to_string(port_of(address));
    return host.find(':') == std::string::npos ? host + ":" + port : "[" + host + "]:" + port;
}

// A device's address as a key: 16 address bytes (IPv4 mapped into IPv6)
// and the link of a scoped one. Not the port: a device that reconnects,
// or sends from another port, is the same device.
using SenderKey = std::array<std::uint8_t, 20>;

SenderKey sender_key(const sockaddr_storage &address)
{
    SenderKey key{};
    if (address.ss_family == AF_INET) {
        const auto &v4 = reinterpret_cast<const sockaddr_in &>(address);
        key[10] = key[11] = 0xff;
        std::memcpy(&key[12], &v4.sin_addr, 4);
    } else {
        const auto &v6 = reinterpret_cast<const sockaddr_in6 &>(address);
        std::memcpy(&key[0], &v6.sin6_addr, 16);
        std::memcpy(&key[16], &v6.sin6_scope_id, 4);
    }
    return key;
}

struct SenderKeyHash {
    std::size_t operator()(const SenderKey &key) const
    {
        return std::hash<std::string_view>()(
            std::string_view(reinterpret_cast<const char *>(key.data()), key.size()));
    }
};

// The kernel's count of datagrams the socket had no room for, read at any
// time (Linux); the count only grows, and wraps at 2^32.
std::uint32_t socket_drop_count(int fd)
{
#ifdef _WIN32
    (void)fd;
    return 0;  // Windows keeps no such count
#else
#ifndef SO_MEMINFO
#define SO_MEMINFO 55
#endif
    std::uint32_t meminfo[SK_MEMINFO_VARS] = {};
    socklen_t length = sizeof meminfo;
    if (getsockopt(fd, SOL_SOCKET, SO_MEMINFO, meminfo, &length) != 0
        || length < (SK_MEMINFO_DROPS + 1) * sizeof(std::uint32_t))
        return 0;
    return meminfo[SK_MEMINFO_DROPS];
#endif
}

// Bytes a TCP socket has received and not yet handed over (Linux).
std::size_t bytes_queued(int fd)
{
#ifdef _WIN32
    u_long queued = 0;
    return ioctlsocket(fd, FIONREAD, &queued) == 0 ? static_cast<std::size_t>(queued) : 0;
#else
    int queued = 0;
    return ioctl(fd, SIOCINQ, &queued) == 0 && queued > 0 ? static_cast<std::size_t>(queued) : 0;
#endif
}

nstime_t time_now()
{
    timespec now{};
#ifdef _WIN32
    platform::realtime(&now);
#else
    clock_gettime(CLOCK_REALTIME, &now);
#endif
    nstime_t time;
    time.secs = now.tv_sec;
    time.nsecs = static_cast<int>(now.tv_nsec);
    return time;
}

class BpfFilter {
public:
    ~BpfFilter()
    {
        if (compiled_)
            pcap_freecode(&program_);
        if (pcap_)
            pcap_close(pcap_);
    }

    bool compile(const std::string &filter, std::string *error)
    {
        pcap_ = pcap_open_dead(DLT_EN10MB, static_cast<int>(snap_length));
        if (!pcap_) {
#ifdef _WIN32
            if (ovk_wpcap_missing()) {
                *error = ovk_wpcap_missing();
                return false;
            }
#endif
            *error = "libpcap cannot compile filters";
            return false;
        }
        if (pcap_compile(pcap_, &program_, filter.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0) {
            *error = pcap_geterr(pcap_);
            return false;
        }
        compiled_ = true;
        return true;
    }

    bool active() const { return compiled_; }

    bool accepts(const std::uint8_t *frame, std::uint32_t length) const
    {
        pcap_pkthdr header{};
        header.caplen = header.len = length;
        return pcap_offline_filter(&program_, &header, frame) != 0;
    }

private:
    pcap_t *pcap_ = nullptr;
    bpf_program program_{};
    bool compiled_ = false;
};

struct Stream {
    int interface;
    InterfaceStatistics statistics;
    std::uint64_t lost_since_packet = 0;  // the next packet's drop count

    void lose(std::uint64_t records = 1)
    {
        statistics.received += records;
        statistics.dropped += records;
        lost_since_packet += records;
    }
};

// A device: its streams by header interface, found once.
struct Sender {
    std::string text;
    std::array<Stream *, 256> streams{};
};

struct Connection {
    int fd = -1;
    bool connecting = false;
    // Its first record passed the check: the peer sends OVK5.
    bool verified = false;
    std::string peer;           // address:port, for the log
    Sender *sender = nullptr;   // none beyond the stream limit
    std::vector<std::uint8_t> buffer;
    std::size_t held = 0;  // bytes of buffer not yet framed
};

// Where a record goes.
enum class Disposal { write, count_as_lost };

class Capture {
public:
    explicit Capture(const ReceiverOptions &options) : options_(options) {}
    ~Capture();
    int run();

private:
    bool open_fifo();
    bool open_socket();
    bool bind_socket(int type, int *fd);
    void serve(const epoll_event &event);
    bool receive_datagrams();
    void datagram(const sockaddr_storage &from, const std::uint8_t *data, std::size_t length);
    void update_kernel_drops();
    Sender *sender_for(const sockaddr_storage &address);
    void accept_connections();
    void refuse_connection(int fd, const sockaddr_storage &peer);
    bool read_connection(Connection &connection, int max_reads);
    bool frame_stream(Connection &connection);
    void end_connection(int fd, const char *why);
    void start_connecting();
    void connect_failed(const char *why);
    void finish_connecting(Connection &connection);
    void drain();
    Stream *stream_for(Sender &sender, std::uint8_t interface, bool create);
    void deliver(Sender *sender, const std::uint8_t *record);
    std::uint64_t unattributed_losses() const { return kernel_drops_ + unattributed_ + refused_records_; }
    void write_statistics();
    void log_counts(const char *when);
    void fail(const std::string &message);
    void write_failed(const std::string &error);
    bool reader_closed() const;

    ReceiverOptions options_;
    PcapngWriter writer_;
    BpfFilter filter_;
    int epoll_ = -1;
    int fifo_ = -1;    // owned by the writer once open
    int socket_ = -1;  // UDP socket or TCP listener
    bool ok_ = true;
    bool reader_gone_ = false;
    bool unflushed_ = false;
    Disposal disposal_ = Disposal::write;

    std::map<std::string, std::unique_ptr<Stream>> streams_;  // by interface name
    std::unordered_map<SenderKey, Sender, SenderKeyHash> senders_;
    // The sender of the previous datagram: most come from the one before.
    SenderKey last_key_{};
    Sender *last_sender_ = nullptr;
    std::map<int, Connection> connections_;
    Clock::time_point reconnect_at_{};
    bool reconnect_pending_ = false;
    bool connect_failure_said_ = false;

    // Losses that belong to no stream: the socket's overflow count (UDP),
    // records of datagrams too broken to name a known stream or beyond the
    // limits, connections sending no OVK5, records of refused connections.
    std::uint64_t kernel_drops_ = 0;
    std::uint32_t kernel_count_ = 0;  // the kernel's own counter, last read
    std::uint64_t unattributed_ = 0;
    std::uint64_t refused_connections_ = 0;
    std::uint64_t refused_records_ = 0;
    bool stream_limit_logged_ = false;
    std::uint64_t logged_total_ = ~std::uint64_t{0};

    std::vector<std::uint8_t> datagrams_;
};

Capture::~Capture()
{
    for (auto &entry : connections_)
        close_socket(entry.first);
    if (socket_ >= 0)
        close_socket(socket_);
#ifndef _WIN32
    if (epoll_ >= 0)
        ::close(epoll_);
#endif
}

void Capture::fail(const std::string &message)
{
    if (ok_)
        std::fprintf(stderr, "ovk5dump: %s\n", message.c_str());
    ok_ = false;
}

// A write to the FIFO failed: the end of the capture when its reader has
// gone, an error otherwise.
void Capture::write_failed(const std::string &error)
{
    if (reader_closed())
        reader_gone_ = true;
    else
        fail("cannot write to " + options_.fifo + ": " + error);
}

bool Capture::reader_closed() const
{
#ifdef _WIN32
    return platform::fifo_reader_gone(fifo_);
#else
    pollfd fifo{fifo_, POLLOUT, 0};
    return ::poll(&fifo, 1, 0) == 1 && (fifo.revents & POLLERR);
#endif
}

// The section header says where the capture was made, as dumpcap's does.
SectionInfo section_info()
{
    SectionInfo info;
    GString *text = g_string_new(nullptr);
    get_cpu_info(text);
    info.hardware = text->str;
    g_string_truncate(text, 0);
    get_os_version_info(text);
    info.os = text->str;
    g_string_free(text, TRUE);
    info.application = std::string("ovk5dump ") + OVK_VERSION;
    return info;
}

bool Capture::open_fifo()
{
    int fd;
#ifdef _WIN32
    std::string open_error;
    fd = platform::open_fifo(options_.fifo, &open_error);
    if (fd < 0) {
        fail("cannot open " + options_.fifo + ": " + open_error);
        return false;
    }
#else
    do {
        fd = ::open(options_.fifo.c_str(), O_WRONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR && !stop_requested);
#endif
    if (fd < 0) {
        if (stop_requested)
            return false;
        fail("cannot open " + options_.fifo + ": " + std::strerror(errno));
        return false;
    }
    fifo_ = fd;
    // A larger pipe absorbs the reader's pauses (as large as an unprivileged
    // process may make it); the kernel keeps its size when refused.
#ifdef F_SETPIPE_SZ
    for (int size = 1 << 20; size >= 1 << 16 && fcntl(fd, F_SETPIPE_SZ, size) < 0; size /= 2) {
    }
#endif
    writer_.describe_section(section_info());
    writer_.set_capture_filter(options_.capture_filter);
    writer_.open(fd);
    std::string error;
    const FifoCall call;
    if (!writer_.start(&error)) {
        fail("cannot write to " + options_.fifo + ": " + error);
        return false;
    }
    return true;
}

// Binds a socket of type to the listening address and port; every local
// address is IPv6's "::" taking IPv4 too, or IPv4's alone without IPv6.
bool Capture::bind_socket(int type, int *fd)
{
    const char *kind = type == SOCK_DGRAM ? "UDP" : "TCP";
    addrinfo hints{};
    hints.ai_socktype = type;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
    std::vector<std::string> addresses;
    if (options_.listen_address.empty())
        addresses = {"::", "0.0.0.0"};
    else
        addresses = {options_.listen_address};
    const std::string port = std::to_string(options_.port);
    std::string error = "no address";
    for (const std::string &address : addresses) {
        addrinfo *found = nullptr;
        const int status = getaddrinfo(address.c_str(), port.c_str(), &hints, &found);
        if (status != 0) {
            error = gai_strerror(status);
            continue;
        }
        const int s = static_cast<int>(::socket(found->ai_family, found->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (s >= 0) {
            const int off = 0, on = 1;
            if (found->ai_family == AF_INET6)
                setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char *>(&off), sizeof off);
#ifdef _WIN32
            // Windows' SO_REUSEADDR would share the port with a listener
            // already there; its default already allows a quick restart.
            (void)on;
            platform::set_nonblocking(s);
#else
            if (type == SOCK_STREAM)
                setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char *>(&on), sizeof on);
#endif
            if (::bind(s, found->ai_addr, static_cast<socklen_t>(found->ai_addrlen)) == 0) {
                freeaddrinfo(found);
                *fd = s;
                return true;
            }
            error = socket_error_text();
            close_socket(s);
        } else {
            error = socket_error_text();
        }
        freeaddrinfo(found);
        // "::" fails on a host without IPv6: IPv4 alone then; any other
        // failure is the port's.
        if (error != socket_error_text(family_unsupported) && error != socket_error_text(address_unavailable))
            break;
    }
    const std::string where = options_.listen_address.empty() ? "" : " of " + options_.listen_address;
    fail(std::string("cannot listen on ") + kind + " port " + port + where + ": " + error);
    return false;
}

bool Capture::open_socket()
{
    epoll_event event{};
    if (options_.carrier == Carrier::udp) {
        if (!bind_socket(SOCK_DGRAM, &socket_))
            return false;
        setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char *>(&receive_buffer_bytes),
                   sizeof receive_buffer_bytes);
        datagrams_.resize(udp_batch * max_record_size);
    } else if (options_.connect_host.empty()) {
        if (!bind_socket(SOCK_STREAM, &socket_))
            return false;
        if (::listen(socket_, max_connections) != 0) {
            fail(std::string("cannot listen on TCP port ") + std::to_string(options_.port) + ": "
                 + socket_error_text());
            return false;
        }
    } else {
        start_connecting();
        return ok_;
    }
    event.events = EPOLLIN;
    event.data.fd = socket_;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, socket_, &event);
    return true;
}

Stream *Capture::stream_for(Sender &sender, std::uint8_t interface, bool create)
{
    Stream *&cached = sender.streams[interface];
    if (cached || !create)
        return cached;
    const InterfaceLabel label = ovk5_stream_label(sender.text, interface);
    if (streams_.size() >= static_cast<std::size_t>(max_streams)) {
        if (!stream_limit_logged_)
            ws_info("%d streams reached: records of further streams are dropped", max_streams);
        stream_limit_logged_ = true;
        return nullptr;
    }
    std::string error;
    int index;
    {
        const FifoCall call;
        index = writer_.interface_for(label, &error);
    }
    if (index < 0) {
        write_failed(error);
        return nullptr;
    }
    ws_info("new stream %s", label.description.c_str());
    auto stream = std::make_unique<Stream>();
    stream->interface = index;
    cached = stream.get();
    streams_.emplace(label.name, std::move(stream));
    return cached;
}

// One whole record: header and frame; of no stream without a sender.
void Capture::deliver(Sender *sender, const std::uint8_t *record)
{
    const Header header = read_header(record);
    Stream *stream = sender ? stream_for(*sender, header.interface, true) : nullptr;
    if (!stream) {
        ++unattributed_;
        return;
    }
    if (disposal_ == Disposal::count_as_lost) {
        stream->lose();
        return;
    }
    InterfaceStatistics &counts = stream->statistics;
    ++counts.received;
    const std::uint8_t *frame = record + header_size;
    if (filter_.active() && !filter_.accepts(frame, header.blob_size))
        return;
    ++counts.accepted;
    ExportedPacket packet{};
    packet.kind = HeaderKind::ovk5;
    packet.interface = stream->interface;
    // Never a made-up time: a record without a valid one is written at
    // the time it came, and says so.
    if (!ovk_time_valid(header.nanoseconds)) {
        packet.time = time_now();
        packet.note = invalid_time_note;
    } else {
        packet.time.secs = static_cast<time_t>(header.seconds);
        packet.time.nsecs = static_cast<int>(header.nanoseconds);
    }
    packet.frame = frame;
    packet.captured_length = packet.reported_length = header.blob_size;
    packet.rid0 = header.rid0;
    packet.rid1 = header.rid1;
    packet.lost_before = stream->lost_since_packet;
    stream->lost_since_packet = 0;
    std::string error;
    bool written;
    {
        const FifoCall call;
        written = writer_.write(packet, &error);
    }
    if (!written) {
        write_failed(error);
        return;
    }
    unflushed_ = true;
}

// A device by its address, found or added; none beyond the stream limit.
Sender *Capture::sender_for(const sockaddr_storage &address)
{
    const SenderKey key = sender_key(address);
    if (last_sender_ && key == last_key_)
        return last_sender_;
    auto found = senders_.find(key);
    if (found == senders_.end()) {
        if (senders_.size() >= static_cast<std::size_t>(max_streams))
            return nullptr;
        found = senders_.emplace(key, Sender{}).first;
        found->second.text = address_text(address);
    }
    last_key_ = key;
    last_sender_ = &found->second;
    return last_sender_;
}

// Records back to back, each framed by its Blob size. A datagram whose
// records do not end exactly where it ends is malformed: none of it is
// written, as no record of it can be told from a misframed one. Its
// records (those framed, and the broken one) are counted on the stream its
// first header names, when that one is known.
void Capture::datagram(const sockaddr_storage &from, const std::uint8_t *data, std::size_t length)
{
    const Framing framing = frame_records(data, length);
    Sender *sender = sender_for(from);
    if (!framing.exact) {
        const std::uint64_t lost = framing.records + 1;
        Stream *stream = sender && length >= header_size ? stream_for(*sender, data[2], false) : nullptr;
        if (stream)
            stream->lose(lost);
        else
            unattributed_ += lost;
        ws_debug("malformed datagram of %zu bytes from %s", length, peer_text(from).c_str());
        return;
    }
    for (std::size_t offset = 0; offset < length && ok_ && !reader_gone_; offset += header_size + le16(data + offset))
        deliver(sender, data + offset);
}

void Capture::update_kernel_drops()
{
    const std::uint32_t count = socket_drop_count(socket_);
    kernel_drops_ += static_cast<std::uint32_t>(count - kernel_count_);
    kernel_count_ = count;
}

// Takes a bounded number of batches; true when the socket may hold more.
#ifdef _WIN32
// Windows receives one datagram per call (its batch receive, Registered
// I/O, needs buffers registered per socket and is not in Wine), and gives
// no count of the datagrams its socket had no room for.
bool Capture::receive_datagrams()
{
    for (int turn = 0; turn < 64 * udp_batch && !reader_gone_ && ok_; ++turn) {
        sockaddr_storage sender{};
        int sender_length = sizeof sender;
        const int received = recvfrom(socket_, reinterpret_cast<char *>(datagrams_.data()),
                                      static_cast<int>(max_record_size), 0, reinterpret_cast<sockaddr *>(&sender),
                                      &sender_length);
        if (received < 0) {
            // Larger than any record: malformed anyway.
            if (platform::socket_error() != WSAEMSGSIZE)
                return false;
            ++unattributed_;
            continue;
        }
        datagram(sender, datagrams_.data(), static_cast<std::size_t>(received));
    }
    return !reader_gone_ && ok_;
}
#else
bool Capture::receive_datagrams()
{
    std::array<mmsghdr, udp_batch> messages{};
    std::array<iovec, udp_batch> vectors{};
    std::array<sockaddr_storage, udp_batch> senders{};
    // A turn takes a bounded number of batches, so that a flood on the
    // socket never starves the FIFO's watch or the signals.
    for (int turn = 0; turn < 64 && !reader_gone_ && ok_; ++turn) {
        for (int i = 0; i < udp_batch; ++i) {
            vectors[i] = {datagrams_.data() + i * max_record_size, max_record_size};
            messages[i].msg_hdr = msghdr{};
            messages[i].msg_hdr.msg_name = &senders[i];
            messages[i].msg_hdr.msg_namelen = sizeof senders[i];
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int received = recvmmsg(socket_, messages.data(), udp_batch, MSG_DONTWAIT, nullptr);
        if (received <= 0)
            return false;
        for (int i = 0; i < received; ++i) {
            const msghdr &message = messages[i].msg_hdr;
            // A datagram larger than any record is malformed anyway.
            if (message.msg_flags & MSG_TRUNC) {
                ++unattributed_;
                continue;
            }
            datagram(senders[i], datagrams_.data() + i * max_record_size, messages[i].msg_len);
        }
        if (received < udp_batch)
            return false;
    }
    return !reader_gone_ && ok_;
}
#endif

void Capture::accept_connections()
{
    for (;;) {
        sockaddr_storage peer{};
        socklen_t peer_length = sizeof peer;
#ifdef _WIN32
        const int fd = static_cast<int>(accept(socket_, reinterpret_cast<sockaddr *>(&peer), &peer_length));
        if (fd >= 0)
            platform::set_nonblocking(fd);
#else
        const int fd = accept4(socket_, reinterpret_cast<sockaddr *>(&peer), &peer_length,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
#endif
        if (fd < 0)
            return;
        if (connections_.size() >= static_cast<std::size_t>(max_connections)) {
            refuse_connection(fd, peer);
            continue;
        }
        Connection &connection = connections_[fd];
        connection.fd = fd;
        connection.peer = peer_text(peer);
        connection.sender = sender_for(peer);
        connection.buffer.resize(max_record_size);
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
        ws_info("connection from %s", connection.peer.c_str());
    }
}

// A connection beyond the limit is closed at once. What its peer's host
// managed to send before is counted as dropped, and the connection as one
// loss when it sent nothing yet: it is a device that is not heard.
void Capture::refuse_connection(int fd, const sockaddr_storage &peer)
{
    if (refused_connections_++ == 0)
        ws_info("%d connections reached: further connections are closed", max_connections);
    Connection refused;  // of no sender: its records are no stream's
    refused.fd = fd;
    refused.peer = peer_text(peer);
    refused.buffer.resize(max_record_size);
    const std::uint64_t before = unattributed_;
    const Disposal disposal = disposal_;
    disposal_ = Disposal::count_as_lost;
    for (;;) {
        const ssize_t n = read_socket(fd, refused.buffer.data() + refused.held, refused.buffer.size() - refused.held);
        if (n <= 0)
            break;
        refused.held += static_cast<std::size_t>(n);
        if (!frame_stream(refused))
            break;
    }
    disposal_ = disposal;
    std::uint64_t lost = unattributed_ - before + (refused.held > 0 ? 1 : 0);
    unattributed_ = before;
    refused_records_ += std::max<std::uint64_t>(lost, 1);
    close_socket(fd);
}

// Frames what the connection holds into records, keeping a record's
// beginning until the rest arrives. False when the bytes are no OVK5
// records: such a peer is dropped, as a stream cannot be resynchronised
// without guessing.
bool Capture::frame_stream(Connection &connection)
{
    std::uint8_t *bytes = connection.buffer.data();
    std::size_t offset = 0;
    while (connection.held - offset >= header_size && ok_ && !reader_gone_) {
        const std::size_t available = connection.held - offset;
        if (!plausible_in_stream(bytes + offset, available, !connection.verified))
            return false;
        // The first record is taken only once its frame's Ethernet header
        // has passed too.
        if (!connection.verified && available < ovk5_checked_length)
            break;
        connection.verified = true;
        const std::size_t size = header_size + le16(bytes + offset);
        if (size > available)
            break;
        deliver(connection.sender, bytes + offset);
        offset += size;
    }
    connection.held -= offset;
    std::memmove(bytes, bytes + offset, connection.held);
    return true;
}

// Reads at most max_reads times; true when bytes came.
bool Capture::read_connection(Connection &connection, int max_reads)
{
    bool got = false;
    for (int turn = 0; turn < max_reads; ++turn) {
        const ssize_t n = read_socket(connection.fd, connection.buffer.data() + connection.held,
                                      connection.buffer.size() - connection.held);
        if (n > 0) {
            got = true;
            connection.held += static_cast<std::size_t>(n);
            if (!frame_stream(connection)) {
                ws_info("%s sends no OVK5 records: connection closed", connection.peer.c_str());
                ++unattributed_;
                connection.held = 0;
                end_connection(connection.fd, "not OVK5");
                return got;
            }
            if (!ok_ || reader_gone_)
                return got;
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return got;
        end_connection(connection.fd, n == 0 ? "closed" : std::strerror(errno));
        return got;
    }
    return got;
}

// A record cut by the end of its connection is counted on its stream, or
// as no stream's when not even its header came or the peer never proved
// to send OVK5.
void Capture::end_connection(int fd, const char *why)
{
    auto found = connections_.find(fd);
    if (found == connections_.end())
        return;
    Connection &connection = found->second;
    if (connection.held > 0) {
        Stream *stream = connection.verified && connection.sender && connection.held >= header_size
                             ? stream_for(*connection.sender, connection.buffer[2], true)
                             : nullptr;
        if (stream)
            stream->lose();
        else
            ++unattributed_;
    }
    ws_info("connection of %s ended: %s", connection.peer.c_str(), why);
    epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
    close_socket(fd);
    connections_.erase(found);
    if (!options_.connect_host.empty() && !stop_requested) {
        reconnect_pending_ = true;
        reconnect_at_ = Clock::now() + reconnect_delay;
    }
}

// Said where the user sees it (Wireshark shows what an extcap writes on
// standard error), once until a connection succeeds again.
void Capture::connect_failed(const char *why)
{
    if (!connect_failure_said_) {
        const std::string host = options_.connect_host.find(':') == std::string::npos
                                     ? options_.connect_host
                                     : "[" + options_.connect_host + "]";
        std::fprintf(stderr, "ovk5dump: cannot connect to %s:%u (%s), retrying\n", host.c_str(),
                     static_cast<unsigned>(options_.connect_port), why);
        std::fflush(stderr);
        connect_failure_said_ = true;
    }
    ws_info("cannot connect to %s: %s", options_.connect_host.c_str(), why);
    reconnect_pending_ = true;
    reconnect_at_ = Clock::now() + reconnect_delay;
}

void Capture::start_connecting()
{
    reconnect_pending_ = false;
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *found = nullptr;
    const std::string port = std::to_string(options_.connect_port);
    const int status = getaddrinfo(options_.connect_host.c_str(), port.c_str(), &hints, &found);
    if (status != 0) {
        fail("cannot find " + options_.connect_host + ": " + gai_strerror(status));
        return;
    }
    const int fd = static_cast<int>(::socket(found->ai_family, found->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (fd < 0) {
        freeaddrinfo(found);
        fail(std::string("cannot make a TCP socket: ") + socket_error_text());
        return;
    }
#ifdef _WIN32
    platform::set_nonblocking(fd);
    const int result = ::connect(fd, found->ai_addr, static_cast<int>(found->ai_addrlen));
    const int error = result != 0 ? platform::socket_error() : 0;
    constexpr int in_progress = WSAEWOULDBLOCK;
#else
    const int result = ::connect(fd, found->ai_addr, found->ai_addrlen);
    const int error = errno;
    constexpr int in_progress = EINPROGRESS;
#endif
    sockaddr_storage peer{};
    std::memcpy(&peer, found->ai_addr, found->ai_addrlen);
    freeaddrinfo(found);
    if (result != 0 && error != in_progress) {
        close_socket(fd);
        connect_failed(socket_error_text(error).c_str());
        return;
    }
    Connection &connection = connections_[fd];
    connection.fd = fd;
    connection.connecting = result != 0;
    connection.peer = peer_text(peer);
    connection.sender = sender_for(peer);
    connection.buffer.resize(max_record_size);
    epoll_event event{};
    event.events = EPOLLIN | (connection.connecting ? EPOLLOUT : 0u);
    event.data.fd = fd;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
}

void Capture::finish_connecting(Connection &connection)
{
    int error = 0;
    socklen_t length = sizeof error;
    getsockopt(connection.fd, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &length);
    if (error != 0) {
        const int fd = connection.fd;
        epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
        close_socket(fd);
        connections_.erase(fd);
        connect_failed(socket_error_text(error).c_str());
        return;
    }
    connection.connecting = false;
    connect_failure_said_ = false;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = connection.fd;
    epoll_ctl(epoll_, EPOLL_CTL_MOD, connection.fd, &event);
    ws_info("connected to %s", connection.peer.c_str());
}

void Capture::serve(const epoll_event &event)
{
    const int fd = event.data.fd;
    if (fd == fifo_) {
        // The only thing a FIFO's write end reports: its reader has gone.
        reader_gone_ = true;
        return;
    }
    if (fd == socket_) {
        if (options_.carrier == Carrier::udp)
            receive_datagrams();
        else
            accept_connections();
        return;
    }
    auto found = connections_.find(fd);
    if (found == connections_.end())
        return;
    if (found->second.connecting)
        finish_connecting(found->second);
    else
        read_connection(found->second, reads_per_turn);
}

// What the sockets still hold when the capture is told to stop: every
// datagram queued, and every connection read to the end of what its peer's
// host had sent. Connections are read until they stay quiet (their peers
// may still be sending what the receive window held back), for at most
// drain_limit; after that, what they still hold is counted as dropped.
void Capture::drain()
{
    if (options_.carrier == Carrier::udp) {
        for (int turn = 0; turn < 1000 && receive_datagrams(); ++turn) {
        }
        update_kernel_drops();
        return;
    }
    if (socket_ >= 0) {
        // Peers the listener still holds are heard too.
        accept_connections();
        epoll_ctl(epoll_, EPOLL_CTL_DEL, socket_, nullptr);
    }
    const auto deadline = Clock::now() + drain_limit;
    std::array<epoll_event, 64> events{};
    while (!connections_.empty() && ok_ && !reader_gone_ && Clock::now() < deadline) {
        bool got = false;
        std::vector<int> open;
        for (const auto &entry : connections_)
            if (!entry.second.connecting)
                open.push_back(entry.first);
        for (const int fd : open) {
            auto found = connections_.find(fd);
            if (found != connections_.end())
                got = read_connection(found->second, drain_reads) || got;
        }
        if (got)
            continue;
        const int ready = epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), drain_quiet_ms);
        if (ready < 0 && errno == EINTR)  // the stall watchdog's tick
            continue;
        if (ready <= 0)
            break;
        for (int i = 0; i < ready; ++i)
            if (events[i].data.fd == fifo_)
                reader_gone_ = true;
    }
    // Past the limit: counted, not written, and only what is there now,
    // against a peer that never stops.
    disposal_ = Disposal::count_as_lost;
    std::vector<int> open;
    for (const auto &entry : connections_)
        open.push_back(entry.first);
    for (const int fd : open) {
        auto found = connections_.find(fd);
        if (found == connections_.end() || found->second.connecting)
            continue;
        const std::size_t queued = bytes_queued(fd);
        const int reads = static_cast<int>(queued / found->second.buffer.size()) + 2;
        read_connection(found->second, reads);
    }
    // What is held now is a record cut by the stop.
    while (!connections_.empty())
        end_connection(connections_.begin()->first, "capture stopped");
    disposal_ = Disposal::write;
}

// Every stream's counts on its own interface; the losses of no stream on
// an interface of their own, added for them.
void Capture::write_statistics()
{
    const nstime_t now = time_now();
    std::string error;
    for (auto &entry : streams_) {
        InterfaceStatistics statistics = entry.second->statistics;
        statistics.filtered = filter_.active();
        const FifoCall call;
        if (!writer_.write_statistics(entry.second->interface, statistics, now, &error)) {
            write_failed(error);
            return;
        }
    }
    const std::uint64_t lost = unattributed_losses();
    if (lost == 0)
        return;
    InterfaceStatistics statistics;
    // All of it as dropped, where Wireshark shows drops; the socket's
    // share only in the comment, so that nothing is counted twice.
    statistics.received = statistics.dropped = lost;
    statistics.comment = std::to_string(kernel_drops_) + " records lost by the socket (its receive buffer full), "
                         + std::to_string(unattributed_) + " in data of no known stream (no OVK5, malformed "
                         "before its stream was known, or beyond the stream limit), "
                         + std::to_string(refused_records_) + " of " + std::to_string(refused_connections_)
                         + " connections refused beyond the limit";
    const FifoCall call;
    writer_.set_capture_filter("");  // it filtered nothing
    const int index = writer_.interface_for(
        {"ovk5-unattributed", "OVK5 records lost before their stream could be told"}, &error);
    if (index < 0 || !writer_.write_statistics(index, statistics, now, &error))
        write_failed(error);
}

void Capture::log_counts(const char *when)
{
    std::uint64_t received = 0, dropped = 0, written = 0;
    for (const auto &entry : streams_) {
        received += entry.second->statistics.received;
        dropped += entry.second->statistics.dropped;
        written += entry.second->statistics.accepted;
    }
    const std::uint64_t total = received + dropped + written + unattributed_losses() + refused_connections_;
    if (total == logged_total_)
        return;
    logged_total_ = total;
    ws_info("%s: %zu streams, %llu records received, %llu written, %llu dropped on streams, "
            "%llu lost by the socket, %llu of no stream, %llu connections refused (%llu records)",
            when, streams_.size(), static_cast<unsigned long long>(received),
            static_cast<unsigned long long>(written), static_cast<unsigned long long>(dropped),
            static_cast<unsigned long long>(kernel_drops_), static_cast<unsigned long long>(unattributed_),
            static_cast<unsigned long long>(refused_connections_),
            static_cast<unsigned long long>(refused_records_));
}

int Capture::run()
{
    std::string error;
    if (!options_.capture_filter.empty() && !filter_.compile(options_.capture_filter, &error)) {
        fail("invalid capture filter \"" + options_.capture_filter + "\": " + error);
        release_fifo(options_.fifo);
        return 1;
    }
#ifdef _WIN32
    // Wireshark stops it by closing the pipe; a console stops it with Ctrl-C.
    platform::on_console_stop([] { request_stop(0); });
#else
    struct sigaction stop{};
    stop.sa_handler = request_stop;
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
#endif

    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    // The socket first: a port already taken is reported before the
    // reader waits for data.
    if (!open_socket()) {
        release_fifo(options_.fifo);
        return 1;
    }
    if (!open_fifo())
        return ok_ ? 0 : 1;
    // From here a signal must not break a write to the FIFO half-way: the
    // loop sees the flag when epoll_wait returns, which it does at once.
#ifndef _WIN32
    // A write the reader never takes is the watchdog's.
    stop.sa_flags = SA_RESTART;
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    struct sigaction watchdog{};
    watchdog.sa_handler = watch_stalled_reader;
    watchdog.sa_flags = SA_RESTART;
    sigaction(SIGALRM, &watchdog, nullptr);
    stall_watch_armed = 1;
    if (stop_requested)
        alarm(stall_seconds);
#endif
    epoll_event watch{};
    watch.events = 0;  // EPOLLERR is always reported
    watch.data.fd = fifo_;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, fifo_, &watch);

    auto next_log = Clock::now() + count_log_interval;
    auto flush_due = Clock::now();
    std::array<epoll_event, 64> events{};
    while (!stop_requested && ok_ && !reader_gone_) {
        int timeout_ms = 250;
        if (unflushed_)
            timeout_ms = static_cast<int>(std::max<std::int64_t>(
                0, std::chrono::duration_cast<std::chrono::milliseconds>(flush_due - Clock::now()).count() + 1));
        const int ready = epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), timeout_ms);
        const auto turn_start = Clock::now();
#ifdef _WIN32
        // A pipe's write end reports nothing: its reader is asked.
        if (reader_closed())
            reader_gone_ = true;
#endif
        if (!unflushed_)
            flush_due = Clock::now() + flush_interval;
        for (int i = 0; i < ready && ok_ && !reader_gone_; ++i)
            serve(events[i]);
        if (unflushed_ && ok_ && !reader_gone_ && Clock::now() >= flush_due) {
            unflushed_ = false;
            const FifoCall call;
            if (!writer_.flush(&error))
                write_failed(error);
        }
        if (options_.carrier == Carrier::udp) {
            update_kernel_drops();
            if (ready > 0 && !stop_requested)
                std::this_thread::sleep_until(turn_start + udp_turn);
        }
        const auto now = Clock::now();
        if (reconnect_pending_ && now >= reconnect_at_)
            start_connecting();
        if (now >= next_log) {
            log_counts("receiving");
            next_log = now + count_log_interval;
        }
    }
    if (ok_ && !reader_gone_) {
        drain();
        write_statistics();
    }
    log_counts("stopped");
    if (!reader_gone_) {
        const FifoCall call;
        if (!writer_.close(&error) && !reader_closed())
            fail("cannot write to " + options_.fifo + ": " + error);
    }
    return ok_ ? 0 : 1;
}

} // namespace

bool capture_filter_valid(const std::string &filter, std::string *error)
{
    // No filter at all needs no compiler (on Windows, possibly no Npcap).
    if (filter.empty())
        return true;
    BpfFilter compiled;
    return compiled.compile(filter, error);
}

void release_fifo(const std::string &fifo)
{
#ifdef _WIN32
    std::string error;
    const int fd = platform::open_fifo(fifo, &error);
    if (fd >= 0)
        _close(fd);
#else
    struct sigaction wake{};
    wake.sa_handler = request_stop;
    sigaction(SIGALRM, &wake, nullptr);
    alarm(3);
    const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    alarm(0);
    if (fd >= 0)
        ::close(fd);
#endif
}

int run_capture(const ReceiverOptions &options)
{
    // The pcapng writer's block types; no plug-ins are needed to write.
    wtap_init(FALSE);
    Capture capture(options);
    return capture.run();
}

} // namespace ovk
