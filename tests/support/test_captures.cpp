// SPDX-License-Identifier: GPL-2.0-or-later
#include "test_captures.h"

namespace ovk::test {

Bytes over_udp(const Bytes &payload, std::uint16_t port)
{
    Endpoints ends;
    ends.src_port = 50000;
    ends.dst_port = port;
    return ethernet_ipv4_udp(ends, payload);
}

Bytes over_tcp(const Bytes &payload, std::uint16_t src_port, std::uint16_t port)
{
    Endpoints ends;
    ends.src_port = src_port;
    ends.dst_port = port;
    return ethernet_ipv4_tcp(ends, TcpSegment{}, payload);
}

Bytes ovk5_payload_of_size(std::size_t size)
{
    Bytes payload = ovk5_payload(Ovk5Header{}, inner_frame_for(1));
    payload.resize(size, 0x5a);
    return payload;
}

} // namespace ovk::test
