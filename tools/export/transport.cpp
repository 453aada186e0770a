// SPDX-License-Identifier: GPL-2.0-or-later
#include "transport.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include <wiretap/wtap.h>

#include "ovk_record_format.h"

namespace ovk {

namespace {

constexpr std::uint16_t ethertype_ipv4 = 0x0800;
constexpr std::uint16_t ethertype_ipv6 = 0x86dd;
constexpr std::uint8_t ip_tcp = 6;
constexpr std::uint8_t ip_udp = 17;

std::uint16_t be16(const std::uint8_t *p)
{
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

std::uint32_t be32(const std::uint8_t *p)
{
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16
           | static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

// The UDP or TCP header at at, whose IP packet ends at ip_end (as its
// header says).
Transport transport_at(const std::uint8_t *bytes, std::uint32_t caplen, std::uint32_t at, std::uint32_t ip_end,
                       std::uint8_t protocol, Transport t)
{
    if (protocol != ip_udp && protocol != ip_tcp)
        return t;
    const std::uint32_t header = protocol == ip_udp ? 8 : 20;
    if (caplen < at + header || ip_end < at + header)
        return t;
    t.source_port = be16(bytes + at);
    t.destination_port = be16(bytes + at + 2);
    std::memcpy(&t.direction[33], bytes + at, 4);
    if (protocol == ip_udp) {
        t.carried = Carried::udp;
        t.payload_offset = at + 8;
        t.payload_length = ip_end - t.payload_offset;
        return t;
    }
    const std::uint32_t tcp_header = (bytes[at + 12] >> 4) * 4u;
    if (tcp_header < 20 || ip_end < at + tcp_header)
        return t;
    t.carried = Carried::tcp;
    t.seq = be32(bytes + at + 4);
    t.syn = bytes[at + 13] & 0x02;
    t.payload_offset = at + tcp_header;
    t.payload_length = ip_end - t.payload_offset;
    return t;
}

Transport transport_in_ip(const std::uint8_t *bytes, std::uint32_t caplen, std::uint32_t at)
{
    Transport t;
    t.carried = Carried::unknown;
    if (caplen < at + 1)
        return t;
    const unsigned version = bytes[at] >> 4;
    if (version == 4 && caplen >= at + 20) {
        const std::uint32_t header = (bytes[at] & 0x0f) * 4u;
        std::uint32_t total = be16(bytes + at + 2);
        // Segmentation offload leaves the length 0: the packet is what was captured.
        if (total == 0)
            total = caplen - at;
        if (header < 20 || total < header || (be16(bytes + at + 6) & 0x3fff))  // a fragment
            return t;
        const std::uint8_t protocol = bytes[at + 9];
        if (protocol == 1)
            return Transport{};
        t.direction[0] = 4;
        std::memcpy(&t.direction[1], bytes + at + 12, 4);
        std::memcpy(&t.direction[17], bytes + at + 16, 4);
        return transport_at(bytes, caplen, at + header, at + total, protocol, t);
    }
    if (version == 6 && caplen >= at + 40) {
        const std::uint32_t end = at + 40 + be16(bytes + at + 4);
        std::uint8_t next = bytes[at + 6];
        std::uint32_t header = at + 40;
        // Hop-by-hop, routing and destination options, as far as captured.
        while ((next == 0 || next == 43 || next == 60) && caplen >= header + 8) {
            next = bytes[header];
            header += 8 + bytes[header + 1] * 8u;
        }
        if (next == 58)
            return Transport{};
        t.direction[0] = 6;
        std::memcpy(&t.direction[1], bytes + at + 8, 16);
        std::memcpy(&t.direction[17], bytes + at + 24, 16);
        return transport_at(bytes, caplen, header, end, next, t);
    }
    return t;
}

Transport transport_of_type(std::uint16_t type, const std::uint8_t *bytes, std::uint32_t caplen, std::uint32_t at)
{
    if (type == ethertype_ipv4 || type == ethertype_ipv6)
        return transport_in_ip(bytes, caplen, at);
    // Protocols that carry no IP: ARP, RARP, slow protocols, LLDP, PTP.
    static constexpr std::uint16_t no_ip[] = {0x0806, 0x8035, 0x8809, 0x88cc, 0x88f7};
    Transport t;
    if (std::find(std::begin(no_ip), std::end(no_ip), type) == std::end(no_ip))
        t.carried = Carried::unknown;
    return t;
}

Transport transport_in_ethernet_at(const std::uint8_t *bytes, std::uint32_t caplen, std::uint32_t at)
{
    at += 12;
    if (caplen < at + 2)
        return Transport{};
    std::uint16_t type = be16(bytes + at);
    while ((type == 0x8100 || type == 0x88a8) && caplen >= at + 6)  // VLAN tags
        type = be16(bytes + (at += 4));
    return transport_of_type(type, bytes, caplen, at + 2);
}

} // namespace

std::size_t EndpointsHash::operator()(const Endpoints &e) const
{
    // FNV-1a
    std::uint64_t hash = 1469598103934665603ULL;
    for (const std::uint8_t byte : e)
        hash = (hash ^ byte) * 1099511628211ULL;
    return static_cast<std::size_t>(hash);
}

Endpoints Transport::conversation() const
{
    Endpoints swapped = direction;
    std::memcpy(&swapped[1], &direction[17], 16);
    std::memcpy(&swapped[17], &direction[1], 16);
    std::memcpy(&swapped[33], &direction[35], 2);
    std::memcpy(&swapped[35], &direction[33], 2);
    return std::min(swapped, direction);
}

Transport transport_in_ethernet(const std::uint8_t *frame, std::uint32_t caplen)
{
    return transport_in_ethernet_at(frame, caplen, 0);
}

Transport transport_in_packet(int encap, const std::uint8_t *bytes, std::uint32_t caplen)
{
    Transport t;
    t.carried = Carried::unknown;
    switch (encap) {
    case WTAP_ENCAP_ETHERNET:
        return transport_in_ethernet_at(bytes, caplen, 0);
    case WTAP_ENCAP_USER3:
        return transport_in_ethernet_at(bytes, caplen, ovk5seq_header_length);
    case WTAP_ENCAP_RAW_IP:
    case WTAP_ENCAP_RAW_IP4:
    case WTAP_ENCAP_RAW_IP6:
        return transport_in_ip(bytes, caplen, 0);
    case WTAP_ENCAP_SLL:
        return caplen < 16 ? t : transport_of_type(be16(bytes + 14), bytes, caplen, 16);
    case WTAP_ENCAP_SLL2:
        return caplen < 20 ? t : transport_of_type(be16(bytes), bytes, caplen, 20);
    default:
        return t;
    }
}

} // namespace ovk
