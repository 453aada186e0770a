// SPDX-License-Identifier: GPL-2.0-or-later
// Byte-exact builders for the frames the generator writes: the OVK5
// metadata header and the Ethernet frames behind it (IPv4 with UDP, TCP or
// ICMP, and ARP).
#ifndef OVK_CAPGEN_FRAMES_H
#define OVK_CAPGEN_FRAMES_H

#include <array>
#include <cstdint>
#include <vector>

#include "ovk_record_format.h"

namespace ovk {

using Bytes = std::vector<std::uint8_t>;

struct Ovk5Header {
    std::uint16_t blob_size = 0;
    std::uint8_t interface = 0;
    std::uint8_t reserved = 0;
    std::uint32_t ts_seconds = 0;
    std::uint32_t ts_nanoseconds = 0;
    std::uint16_t rid0 = 0;
    std::uint16_t rid1 = 0;
};

// The 16 header bytes, little-endian.
Bytes encode(const Ovk5Header &header);

struct Ovk5SeqHeader {
    std::uint16_t sequence = 0;
    std::uint8_t interface = 0;
    std::uint8_t missing_frames = 0;  // lost between the previous record and this one
    std::uint32_t ts_seconds = 0;
    std::uint32_t ts_nanoseconds = 0;
    std::uint32_t reserved = 0;
};

Bytes encode(const Ovk5SeqHeader &header);

// A header followed by the frame it describes: one link-type 150 record.
Bytes ovk5seq_record(const Ovk5SeqHeader &header, const Bytes &frame);

// A header followed by the frame it describes; the blob size is the
// frame's length.
Bytes ovk5_payload(Ovk5Header header, const Bytes &frame);

using MacAddress = std::array<std::uint8_t, 6>;

struct Endpoints {
    MacAddress src_mac{{0x02, 0x00, 0x00, 0x00, 0x00, 0x01}};
    MacAddress dst_mac{{0x02, 0x00, 0x00, 0x00, 0x00, 0x02}};
    std::uint32_t src_ip = 0xc0000201;  // 192.0.2.1
    std::uint32_t dst_ip = 0xc0000202;  // 192.0.2.2
    std::uint16_t src_port = 0;
    std::uint16_t dst_port = 0;
};

// Ethernet II + IPv4 + UDP around payload, with a valid IPv4 header
// checksum and no UDP checksum. Throws std::length_error when the IPv4
// packet would exceed 65535 bytes (a payload over 65507).
Bytes ethernet_ipv4_udp(const Endpoints &ends, const Bytes &payload);

struct TcpSegment {
    std::uint32_t seq = 1;
    std::uint32_t ack = 1;
    std::uint8_t flags = 0x18;  // PSH, ACK
};

// Ethernet II + IPv4 + TCP around payload, with valid IPv4 and TCP checksums.
// Throws std::length_error for a payload over 65495 bytes.
Bytes ethernet_ipv4_tcp(const Endpoints &ends, const TcpSegment &segment, const Bytes &payload);

// Ethernet II + IPv4 + ICMP echo request, with valid checksums.
Bytes ethernet_ipv4_icmp_echo(const Endpoints &ends, std::uint16_t identifier, std::uint16_t sequence,
                              const Bytes &payload);

// Broadcast ARP request from ends' source for ends.dst_ip.
Bytes ethernet_arp_request(const Endpoints &ends);

// Appends value little-endian / big-endian.
void put_le16(Bytes &out, std::uint16_t value);
void put_le32(Bytes &out, std::uint32_t value);
void put_be16(Bytes &out, std::uint16_t value);
void put_be32(Bytes &out, std::uint32_t value);

} // namespace ovk

#endif
