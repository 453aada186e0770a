// SPDX-License-Identifier: GPL-2.0-or-later
// Packets for the tests and the fuzz target, made with the capture
// generator's frame builders: OVK5 over UDP and TCP on the default ports.
// Link-layer encapsulations are wiretap's WTAP_ENCAP_* numbers.
#ifndef OVK_TESTS_TEST_CAPTURES_H
#define OVK_TESTS_TEST_CAPTURES_H

#include <cstdint>

#include "frames.h"
#include "generator.h"

namespace ovk::test {

// The defaults of the preferences ovk5.udp.port and ovk5.tcp.port.
constexpr std::uint16_t ovk5_udp_port = ovk5_default_udp_port;
constexpr std::uint16_t ovk5_tcp_port = ovk5_default_tcp_port;

// Where the payload starts in frames made by over_udp and over_tcp:
// behind Ethernet, IPv4 and the UDP or TCP header.
constexpr std::size_t udp_payload_offset = 14 + 20 + 8;
constexpr std::size_t tcp_payload_offset = 14 + 20 + 20;

// payload in an Ethernet/IPv4/UDP frame from port 50000 to port.
Bytes over_udp(const Bytes &payload, std::uint16_t port = ovk5_udp_port);

// payload in an Ethernet/IPv4/TCP segment from src_port to port. Give each
// packet a src_port of its own: repeated sequence numbers in one
// connection are retransmissions, which TCP does not hand on.
Bytes over_tcp(const Bytes &payload, std::uint16_t src_port = 50000, std::uint16_t port = ovk5_tcp_port);

// A default OVK5 header and inner_frame_for(1), cut to size bytes or
// padded with 0x5a.
Bytes ovk5_payload_of_size(std::size_t size);

} // namespace ovk::test

#endif
