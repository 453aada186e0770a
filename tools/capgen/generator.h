// SPDX-License-Identifier: GPL-2.0-or-later
// Whole captures of OVK5 traffic, as the generator command and the tests
// make them.
#ifndef OVK_CAPGEN_GENERATOR_H
#define OVK_CAPGEN_GENERATOR_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "capture_writer.h"
#include "frames.h"

namespace ovk {

enum class Transport { udp, tcp };

// What the Ethernet frame behind each header carries.
enum class InnerFrame {
    udp,     // 192.0.2.10:40000 to 192.0.2.20:40001, 8 bytes counting the packet
    tcp,     // the same endpoints over one TCP stream
    icmp,    // ICMP echo requests, 192.0.2.10 to 192.0.2.20
    arp,     // ARP requests from 192.0.2.10 for 192.0.2.20
    random,  // UDP with 1 to 256 payload bytes drawn from the seed
};

// SplitMix64: small, and the same numbers on every platform and library,
// which std's distributions do not promise.
class SplitMix64 {
public:
    explicit SplitMix64(std::uint64_t seed) : state_(seed) {}
    SplitMix64(std::uint64_t seed, std::uint64_t stream) : state_(seed ^ (stream * 0xd1342543de82ef95u)) { next(); }

    std::uint64_t next()
    {
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15u);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
        return z ^ (z >> 31);
    }
    // Uniform in [0, 1).
    double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

private:
    std::uint64_t state_;
};

// What both kinds of capture share.
struct CaptureOptions {
    std::uint32_t count = 10;
    std::uint8_t interface = 0;
    std::uint32_t time_base = 1700000000;  // seconds since the epoch of packet 0
    std::uint32_t interval_ns = 1000;      // between packets
    InnerFrame inner = InnerFrame::udp;
    std::uint64_t seed = 1;                // of every random choice
};

struct Ovk5CaptureOptions : CaptureOptions {
    Transport transport = Transport::udp;
    std::uint16_t port = ovk5_default_udp_port;  // OVK5 port the packets are sent to
    std::uint16_t rid0 = 0x1234;
    std::uint16_t rid1 = 0xabcd;
    std::uint16_t source_port = 50000;     // sender's port
};

struct Ovk5SeqCaptureOptions : CaptureOptions {
    std::uint16_t first_sequence = 0;
    // Every gap_every-th record (1-based; 0 for none) reports
    // missing_per_gap lost frames, and its sequence number skips them.
    std::uint32_t gap_every = 0;
    std::uint8_t missing_per_gap = 1;
    // Besides those gaps, each frame before a record is lost with this
    // probability (0 to below 1), drawn from seed; a record reports at most
    // 255 lost frames.
    double loss_rate = 0.0;
};

// Nanoseconds since the epoch of packet index.
std::uint64_t packet_time_ns(const CaptureOptions &options, std::uint32_t index);

// The largest time a capture header can hold: 2106-02-07 06:28:15 UTC and
// 999999999 ns. Times past it wrap to 1970.
constexpr std::uint64_t latest_time_ns = 0xffffffffULL * 1000000000u + 999999999u;

// How a capture is written: its format, and a callback told the number of
// packets written so far and the total (every packet; it decides itself how
// often to show anything).
struct CaptureOutput {
    CaptureFormat format = CaptureFormat::pcap;
    std::function<void(std::uint32_t written, std::uint32_t total)> progress;
};

// The OVK5 header of packet index of a capture made with options.
Ovk5Header ovk5_header_for(const Ovk5CaptureOptions &options, std::uint32_t index);

// The Ethernet/IPv4/UDP frame an OVK5 packet carries: 192.0.2.10:40000 to
// 192.0.2.20:40001 with an 8-byte payload counting the packet index.
Bytes inner_frame_for(std::uint32_t index);

// The Ethernet frame of packet index of the given kind; InnerFrame::udp
// gives inner_frame_for(index). The same seed and index give the same frame.
Bytes inner_frame_for(InnerFrame kind, std::uint32_t index, std::uint64_t seed);

// Writes count OVK5 packets over UDP or TCP to path; throws
// std::runtime_error on failure, leaving no file behind.
void write_ovk5_capture(const std::string &path, const Ovk5CaptureOptions &options);
void write_ovk5_capture(const std::string &path, const Ovk5CaptureOptions &options,
                        const CaptureOutput &output);

// The headers of an OVK5SEQ capture made with options, one at a time, so
// that a capture of any length is written in constant memory.
class Ovk5SeqHeaders {
public:
    explicit Ovk5SeqHeaders(const Ovk5SeqCaptureOptions &options)
        : options_(options), losses_(options.seed), sequence_(options.first_sequence) {}

    // The header of the next record (index 0, 1, ...).
    Ovk5SeqHeader next();

private:
    Ovk5SeqCaptureOptions options_;
    SplitMix64 losses_;
    std::uint16_t sequence_;
    std::uint32_t index_ = 0;
};

// The headers of a whole OVK5SEQ capture made with options, in order.
std::vector<Ovk5SeqHeader> ovk5seq_headers(const Ovk5SeqCaptureOptions &options);

// Writes count OVK5SEQ records (link-layer type 150) to path, each header
// followed by its inner frame; throws std::runtime_error on failure,
// leaving no file behind.
void write_ovk5seq_capture(const std::string &path, const Ovk5SeqCaptureOptions &options);
void write_ovk5seq_capture(const std::string &path, const Ovk5SeqCaptureOptions &options,
                           const CaptureOutput &output);

} // namespace ovk

#endif
