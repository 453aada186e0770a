// SPDX-License-Identifier: GPL-2.0-or-later
#include "frames.h"

#include <stdexcept>
#include <string>

namespace ovk {

namespace {

constexpr std::uint16_t ethertype_ipv4 = 0x0800;
constexpr std::uint16_t ethertype_arp = 0x0806;
constexpr std::uint8_t ip_proto_icmp = 1;
constexpr std::uint8_t ip_proto_tcp = 6;
constexpr std::uint8_t ip_proto_udp = 17;
constexpr std::size_t ipv4_header_size = 20;
constexpr std::size_t udp_header_size = 8;
constexpr std::size_t tcp_header_size = 20;

// RFC 1071 one's-complement sum, folded, not inverted.
std::uint32_t ones_complement_sum(const std::uint8_t *data, std::size_t size, std::uint32_t sum = 0)
{
    for (std::size_t i = 0; i + 1 < size; i += 2)
        sum += static_cast<std::uint32_t>(data[i] << 8 | data[i + 1]);
    if (size % 2)
        sum += static_cast<std::uint32_t>(data[size - 1] << 8);
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return sum;
}

void set_be16(Bytes &out, std::size_t at, std::uint16_t value)
{
    out[at] = static_cast<std::uint8_t>(value >> 8);
    out[at + 1] = static_cast<std::uint8_t>(value);
}

void put_ethernet(Bytes &out, const Endpoints &ends, std::uint16_t ethertype = ethertype_ipv4)
{
    out.insert(out.end(), ends.dst_mac.begin(), ends.dst_mac.end());
    out.insert(out.end(), ends.src_mac.begin(), ends.src_mac.end());
    put_be16(out, ethertype);
}

// Returns the offset of the IPv4 header in out.
std::size_t put_ipv4(Bytes &out, const Endpoints &ends, std::uint8_t protocol, std::size_t body_size)
{
    // The 16-bit total length would wrap and describe another packet.
    if (ipv4_header_size + body_size > 0xffff)
        throw std::length_error("IPv4 packet of " + std::to_string(ipv4_header_size + body_size)
                                + " bytes is over 65535");
    const std::size_t at = out.size();
    out.push_back(0x45);  // version 4, 5 words
    out.push_back(0);
    put_be16(out, static_cast<std::uint16_t>(ipv4_header_size + body_size));
    put_be16(out, 0);       // identification
    put_be16(out, 0x4000);  // don't fragment
    out.push_back(64);      // TTL
    out.push_back(protocol);
    put_be16(out, 0);  // checksum, filled below
    put_be32(out, ends.src_ip);
    put_be32(out, ends.dst_ip);
    set_be16(out, at + 10, static_cast<std::uint16_t>(~ones_complement_sum(&out[at], ipv4_header_size)));
    return at;
}

std::uint32_t pseudo_header_sum(const Endpoints &ends, std::uint8_t protocol, std::size_t length)
{
    Bytes pseudo;
    put_be32(pseudo, ends.src_ip);
    put_be32(pseudo, ends.dst_ip);
    pseudo.push_back(0);
    pseudo.push_back(protocol);
    put_be16(pseudo, static_cast<std::uint16_t>(length));
    return ones_complement_sum(pseudo.data(), pseudo.size());
}

} // namespace

void put_le16(Bytes &out, std::uint16_t value)
{
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void put_le32(Bytes &out, std::uint32_t value)
{
    put_le16(out, static_cast<std::uint16_t>(value));
    put_le16(out, static_cast<std::uint16_t>(value >> 16));
}

void put_be16(Bytes &out, std::uint16_t value)
{
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

void put_be32(Bytes &out, std::uint32_t value)
{
    put_be16(out, static_cast<std::uint16_t>(value >> 16));
    put_be16(out, static_cast<std::uint16_t>(value));
}

Bytes encode(const Ovk5Header &header)
{
    Bytes out;
    out.reserve(ovk5_header_length);
    put_le16(out, header.blob_size);
    out.push_back(header.interface);
    out.push_back(header.reserved);
    put_le32(out, header.ts_seconds);
    put_le32(out, header.ts_nanoseconds);
    put_le16(out, header.rid0);
    put_le16(out, header.rid1);
    return out;
}

Bytes encode(const Ovk5SeqHeader &header)
{
    Bytes out;
    out.reserve(ovk5seq_header_length);
    put_le16(out, header.sequence);
    out.push_back(header.interface);
    out.push_back(header.missing_frames);
    put_le32(out, header.ts_seconds);
    put_le32(out, header.ts_nanoseconds);
    put_le32(out, header.reserved);
    return out;
}

Bytes ovk5seq_record(const Ovk5SeqHeader &header, const Bytes &frame)
{
    Bytes out = encode(header);
    out.insert(out.end(), frame.begin(), frame.end());
    return out;
}

Bytes ovk5_payload(Ovk5Header header, const Bytes &frame)
{
    header.blob_size = static_cast<std::uint16_t>(frame.size());
    Bytes out = encode(header);
    out.insert(out.end(), frame.begin(), frame.end());
    return out;
}

Bytes ethernet_ipv4_udp(const Endpoints &ends, const Bytes &payload)
{
    Bytes out;
    out.reserve(14 + ipv4_header_size + udp_header_size + payload.size());
    put_ethernet(out, ends);
    put_ipv4(out, ends, ip_proto_udp, udp_header_size + payload.size());
    put_be16(out, ends.src_port);
    put_be16(out, ends.dst_port);
    put_be16(out, static_cast<std::uint16_t>(udp_header_size + payload.size()));
    put_be16(out, 0);  // no checksum
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Bytes ethernet_ipv4_tcp(const Endpoints &ends, const TcpSegment &segment, const Bytes &payload)
{
    Bytes out;
    out.reserve(14 + ipv4_header_size + tcp_header_size + payload.size());
    put_ethernet(out, ends);
    const std::size_t ip_at = put_ipv4(out, ends, ip_proto_tcp, tcp_header_size + payload.size());
    const std::size_t tcp_at = ip_at + ipv4_header_size;
    put_be16(out, ends.src_port);
    put_be16(out, ends.dst_port);
    put_be32(out, segment.seq);
    put_be32(out, segment.ack);
    out.push_back(static_cast<std::uint8_t>(tcp_header_size / 4) << 4);
    out.push_back(segment.flags);
    put_be16(out, 65535);  // window
    put_be16(out, 0);      // checksum, filled below
    put_be16(out, 0);      // urgent pointer
    out.insert(out.end(), payload.begin(), payload.end());
    const std::size_t tcp_size = out.size() - tcp_at;
    const std::uint32_t sum = pseudo_header_sum(ends, ip_proto_tcp, tcp_size);
    set_be16(out, tcp_at + 16, static_cast<std::uint16_t>(~ones_complement_sum(&out[tcp_at], tcp_size, sum)));
    return out;
}

Bytes ethernet_ipv4_icmp_echo(const Endpoints &ends, std::uint16_t identifier, std::uint16_t sequence,
                              const Bytes &payload)
{
    constexpr std::size_t icmp_header_size = 8;
    Bytes out;
    out.reserve(14 + ipv4_header_size + icmp_header_size + payload.size());
    put_ethernet(out, ends);
    const std::size_t icmp_at = put_ipv4(out, ends, ip_proto_icmp, icmp_header_size + payload.size())
                                + ipv4_header_size;
    out.push_back(8);  // echo request
    out.push_back(0);
    put_be16(out, 0);  // checksum, filled below
    put_be16(out, identifier);
    put_be16(out, sequence);
    out.insert(out.end(), payload.begin(), payload.end());
    set_be16(out, icmp_at + 2,
             static_cast<std::uint16_t>(~ones_complement_sum(&out[icmp_at], out.size() - icmp_at)));
    return out;
}

Bytes ethernet_arp_request(const Endpoints &ends)
{
    Endpoints broadcast = ends;
    broadcast.dst_mac = {{0xff, 0xff, 0xff, 0xff, 0xff, 0xff}};
    Bytes out;
    out.reserve(14 + 28);
    put_ethernet(out, broadcast, ethertype_arp);
    put_be16(out, 1);  // Ethernet
    put_be16(out, ethertype_ipv4);
    out.push_back(6);
    out.push_back(4);
    put_be16(out, 1);  // request
    out.insert(out.end(), ends.src_mac.begin(), ends.src_mac.end());
    put_be32(out, ends.src_ip);
    out.insert(out.end(), 6, 0);  // target hardware address: unknown
    put_be32(out, ends.dst_ip);
    return out;
}

} // namespace ovk
