// SPDX-License-Identifier: GPL-2.0-or-later
// What a packet carries, read from its bytes without the dissection engine:
// whether it is a UDP datagram or TCP segment, between which endpoints, and
// where its payload lies. What this cannot tell (fragments, tunnels, IPv6
// extension headers other than the common ones) is left to the dissection.
#ifndef OVK_EXPORT_TRANSPORT_H
#define OVK_EXPORT_TRANSPORT_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace ovk {

enum class Carried {
    nothing,  // no IP, or ICMP: nothing OVK5 could be in, quotes of sent packets aside
    unknown,  // IP the reading stops at
    udp,
    tcp,
};

// One direction of a UDP or TCP conversation: IP version, source and
// destination addresses, source and destination ports.
using Endpoints = std::array<std::uint8_t, 1 + 16 + 16 + 2 + 2>;

struct EndpointsHash {
    std::size_t operator()(const Endpoints &e) const;
};

struct Transport {
    Carried carried = Carried::nothing;
    Endpoints direction{};
    std::uint16_t source_port = 0;
    std::uint16_t destination_port = 0;
    // The payload: where it starts in the bytes given, its length as the
    // IP header reports it (the capture may hold less).
    std::uint32_t payload_offset = 0;
    std::uint32_t payload_length = 0;
    // TCP
    std::uint32_t seq = 0;
    bool syn = false;

    // The same for both directions of a conversation.
    Endpoints conversation() const;
};

// The Ethernet frame of caplen captured bytes (VLAN tags allowed).
Transport transport_in_ethernet(const std::uint8_t *frame, std::uint32_t caplen);

// A packet record of the capture's link-layer type encap (a WTAP_ENCAP_
// value): Ethernet, OVK5SEQ (its frame after the header), raw IP and
// Linux cooked captures; anything else is unknown.
Transport transport_in_packet(int encap, const std::uint8_t *bytes, std::uint32_t caplen);

} // namespace ovk

#endif
