// SPDX-License-Identifier: GPL-2.0-or-later
#include "generator.h"

#include <algorithm>

namespace ovk {

namespace {

constexpr std::uint16_t inner_src_port = 40000;
constexpr std::uint16_t inner_dst_port = 40001;
constexpr std::uint32_t max_reported_missing = 255;

Endpoints outer_endpoints(const Ovk5CaptureOptions &options)
{
    Endpoints ends;
    ends.src_port = options.source_port;
    ends.dst_port = options.port;
    return ends;
}

Endpoints inner_endpoints()
{
    Endpoints inner;
    inner.src_mac = {{0x02, 0x00, 0x00, 0x00, 0x00, 0x0a}};
    inner.dst_mac = {{0x02, 0x00, 0x00, 0x00, 0x00, 0x14}};
    inner.src_ip = 0xc000020a;  // 192.0.2.10
    inner.dst_ip = 0xc0000214;  // 192.0.2.20
    inner.src_port = inner_src_port;
    inner.dst_port = inner_dst_port;
    return inner;
}

Bytes counting_payload(std::uint32_t index)
{
    Bytes payload;
    put_be32(payload, 0x4f564b35);  // "OVK5"
    put_be32(payload, index);
    return payload;
}

void report(const CaptureOutput &output, std::uint32_t written, std::uint32_t total)
{
    if (output.progress)
        output.progress(written, total);
}

} // namespace

std::uint64_t packet_time_ns(const CaptureOptions &options, std::uint32_t index)
{
    return static_cast<std::uint64_t>(options.time_base) * 1000000000u
           + static_cast<std::uint64_t>(index) * options.interval_ns;
}

Ovk5Header ovk5_header_for(const Ovk5CaptureOptions &options, std::uint32_t index)
{
    const std::uint64_t ts_ns = packet_time_ns(options, index);
    Ovk5Header header;
    header.interface = options.interface;
    header.ts_seconds = static_cast<std::uint32_t>(ts_ns / 1000000000u);
    header.ts_nanoseconds = static_cast<std::uint32_t>(ts_ns % 1000000000u);
    header.rid0 = options.rid0;
    header.rid1 = options.rid1;
    return header;
}

Bytes inner_frame_for(std::uint32_t index)
{
    return ethernet_ipv4_udp(inner_endpoints(), counting_payload(index));
}

Bytes inner_frame_for(InnerFrame kind, std::uint32_t index, std::uint64_t seed)
{
    const Endpoints inner = inner_endpoints();
    switch (kind) {
    case InnerFrame::udp:
        break;
    case InnerFrame::tcp: {
        TcpSegment segment;
        segment.seq = 1 + index * 8u;  // one stream of 8-byte segments
        return ethernet_ipv4_tcp(inner, segment, counting_payload(index));
    }
    case InnerFrame::icmp:
        return ethernet_ipv4_icmp_echo(inner, 0x4f56, static_cast<std::uint16_t>(index), counting_payload(index));
    case InnerFrame::arp:
        return ethernet_arp_request(inner);
    case InnerFrame::random: {
        SplitMix64 random(seed, index);
        Bytes payload(1 + random.next() % 256);
        for (std::uint8_t &byte : payload)
            byte = static_cast<std::uint8_t>(random.next());
        return ethernet_ipv4_udp(inner, payload);
    }
    }
    return inner_frame_for(index);
}

void write_ovk5_capture(const std::string &path, const Ovk5CaptureOptions &options)
{
    write_ovk5_capture(path, options, CaptureOutput{});
}

void write_ovk5_capture(const std::string &path, const Ovk5CaptureOptions &options, const CaptureOutput &output)
{
    CaptureWriter writer(path, linktype_ethernet, default_snaplen, output.format);
    const Endpoints ends = outer_endpoints(options);
    TcpSegment segment;
    for (std::uint32_t i = 0; i < options.count; ++i) {
        const Bytes payload = ovk5_payload(ovk5_header_for(options, i), inner_frame_for(options.inner, i, options.seed));
        const std::uint64_t ts_ns = packet_time_ns(options, i);
        if (options.transport == Transport::udp) {
            writer.write(ts_ns, ethernet_ipv4_udp(ends, payload));
        } else {
            writer.write(ts_ns, ethernet_ipv4_tcp(ends, segment, payload));
            segment.seq += static_cast<std::uint32_t>(payload.size());
        }
        report(output, i + 1, options.count);
    }
    writer.commit();
}

Ovk5SeqHeader Ovk5SeqHeaders::next()
{
    const std::uint32_t i = index_++;
    std::uint32_t missing = 0;
    if (options_.gap_every != 0 && (i + 1) % options_.gap_every == 0)
        missing = options_.missing_per_gap;
    // The first record has no record before it to have lost frames after.
    if (i > 0 && options_.loss_rate > 0) {
        while (missing < max_reported_missing && losses_.unit() < options_.loss_rate)
            ++missing;
    }
    missing = std::min(missing, max_reported_missing);
    Ovk5SeqHeader header;
    header.missing_frames = static_cast<std::uint8_t>(missing);
    sequence_ = static_cast<std::uint16_t>(sequence_ + missing);
    header.sequence = sequence_++;
    header.interface = options_.interface;
    const std::uint64_t ts_ns = packet_time_ns(options_, i);
    header.ts_seconds = static_cast<std::uint32_t>(ts_ns / 1000000000u);
    header.ts_nanoseconds = static_cast<std::uint32_t>(ts_ns % 1000000000u);
    return header;
}

std::vector<Ovk5SeqHeader> ovk5seq_headers(const Ovk5SeqCaptureOptions &options)
{
    std::vector<Ovk5SeqHeader> headers;
    headers.reserve(options.count);
    Ovk5SeqHeaders sequence(options);
    for (std::uint32_t i = 0; i < options.count; ++i)
        headers.push_back(sequence.next());
    return headers;
}

void write_ovk5seq_capture(const std::string &path, const Ovk5SeqCaptureOptions &options)
{
    write_ovk5seq_capture(path, options, CaptureOutput{});
}

void write_ovk5seq_capture(const std::string &path, const Ovk5SeqCaptureOptions &options,
                           const CaptureOutput &output)
{
    CaptureWriter writer(path, linktype_user3, default_snaplen, output.format);
    Ovk5SeqHeaders headers(options);
    for (std::uint32_t i = 0; i < options.count; ++i) {
        writer.write(packet_time_ns(options, i),
                     ovk5seq_record(headers.next(), inner_frame_for(options.inner, i, options.seed)));
        report(output, i + 1, options.count);
    }
    writer.commit();
}

} // namespace ovk
