// Whole captures of OVK5 traffic, as the generator command and the tests
// make them.
#ifndef OVK_CAPGEN_GENERATOR_H
#define OVK_CAPGEN_GENERATOR_H

#include <cstdint>
#include <string>

#include "frames.h"

namespace ovk {

enum class Transport { udp, tcp };

struct Ovk5CaptureOptions {
    Transport transport = Transport::udp;
    std::uint16_t port = 21171;     // OVK5 port the packets are sent to
    std::uint32_t count = 10;
    std::uint8_t interface = 0;
    std::uint32_t time_base = 1700000000;  // seconds since the epoch of packet 0
    std::uint32_t interval_ns = 1000;      // between packets
    std::uint16_t rid0 = 0x1234;
    std::uint16_t rid1 = 0xabcd;
};

// The OVK5 header of packet index of a capture made with options.
Ovk5Header ovk5_header_for(const Ovk5CaptureOptions &options, std::uint32_t index);

// The Ethernet/IPv4/UDP frame an OVK5 packet carries: 192.0.2.10:40000 to
// 192.0.2.20:40001 with an 8-byte payload counting the packet index.
Bytes inner_frame_for(std::uint32_t index);

// Writes count OVK5 packets over UDP or TCP to path; throws
// std::runtime_error on failure, leaving no file behind.
void write_ovk5_capture(const std::string &path, const Ovk5CaptureOptions &options);

} // namespace ovk

#endif
