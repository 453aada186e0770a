#include "generator.h"

#include "capture_writer.h"

namespace ovk {

namespace {

constexpr std::uint16_t sender_port = 50000;
constexpr std::uint16_t inner_src_port = 40000;
constexpr std::uint16_t inner_dst_port = 40001;

Endpoints outer_endpoints(const Ovk5CaptureOptions &options)
{
    Endpoints ends;
    ends.src_port = sender_port;
    ends.dst_port = options.port;
    return ends;
}

std::uint64_t timestamp_ns(std::uint32_t time_base, std::uint32_t interval_ns, std::uint32_t index)
{
    return static_cast<std::uint64_t>(time_base) * 1000000000u + static_cast<std::uint64_t>(index) * interval_ns;
}

} // namespace

Ovk5Header ovk5_header_for(const Ovk5CaptureOptions &options, std::uint32_t index)
{
    const std::uint64_t offset_ns = static_cast<std::uint64_t>(index) * options.interval_ns;
    Ovk5Header header;
    header.interface = options.interface;
    header.ts_seconds = options.time_base + static_cast<std::uint32_t>(offset_ns / 1000000000u);
    header.ts_nanoseconds = static_cast<std::uint32_t>(offset_ns % 1000000000u);
    header.rid0 = options.rid0;
    header.rid1 = options.rid1;
    return header;
}

Bytes inner_frame_for(std::uint32_t index)
{
    Endpoints inner;
    inner.src_mac = {{0x02, 0x00, 0x00, 0x00, 0x00, 0x0a}};
    inner.dst_mac = {{0x02, 0x00, 0x00, 0x00, 0x00, 0x14}};
    inner.src_ip = 0xc000020a;  // 192.0.2.10
    inner.dst_ip = 0xc0000214;  // 192.0.2.20
    inner.src_port = inner_src_port;
    inner.dst_port = inner_dst_port;
    Bytes payload;
    put_be32(payload, 0x4f564b35);  // "OVK5"
    put_be32(payload, index);
    return ethernet_ipv4_udp(inner, payload);
}

void write_ovk5_capture(const std::string &path, const Ovk5CaptureOptions &options)
{
    CaptureWriter writer(path, linktype_ethernet);
    const Endpoints ends = outer_endpoints(options);
    TcpSegment segment;
    for (std::uint32_t i = 0; i < options.count; ++i) {
        const Ovk5Header header = ovk5_header_for(options, i);
        const Bytes payload = ovk5_payload(header, inner_frame_for(i));
        const std::uint64_t ts_ns = static_cast<std::uint64_t>(header.ts_seconds) * 1000000000u
                                    + header.ts_nanoseconds;
        if (options.transport == Transport::udp) {
            writer.write(ts_ns, ethernet_ipv4_udp(ends, payload));
        } else {
            writer.write(ts_ns, ethernet_ipv4_tcp(ends, segment, payload));
            segment.seq += static_cast<std::uint32_t>(payload.size());
        }
    }
    writer.commit();
}

std::vector<Ovk5SeqHeader> ovk5seq_headers(const Ovk5SeqCaptureOptions &options)
{
    std::vector<Ovk5SeqHeader> headers;
    headers.reserve(options.count);
    std::uint16_t sequence = options.first_sequence;
    for (std::uint32_t i = 0; i < options.count; ++i) {
        Ovk5SeqHeader header;
        const bool gap = options.gap_every != 0 && (i + 1) % options.gap_every == 0;
        if (gap) {
            header.missing_frames = options.missing_per_gap;
            sequence = static_cast<std::uint16_t>(sequence + options.missing_per_gap);
        }
        header.sequence = sequence++;
        header.interface = options.interface;
        const std::uint64_t ts = timestamp_ns(options.time_base, options.interval_ns, i);
        header.ts_seconds = static_cast<std::uint32_t>(ts / 1000000000u);
        header.ts_nanoseconds = static_cast<std::uint32_t>(ts % 1000000000u);
        headers.push_back(header);
    }
    return headers;
}

void write_ovk5seq_capture(const std::string &path, const Ovk5SeqCaptureOptions &options)
{
    CaptureWriter writer(path, linktype_user3);
    const std::vector<Ovk5SeqHeader> headers = ovk5seq_headers(options);
    for (std::uint32_t i = 0; i < headers.size(); ++i) {
        const Ovk5SeqHeader &header = headers[i];
        const std::uint64_t ts_ns = static_cast<std::uint64_t>(header.ts_seconds) * 1000000000u
                                    + header.ts_nanoseconds;
        writer.write(ts_ns, ovk5seq_record(header, inner_frame_for(i)));
    }
    writer.commit();
}

} // namespace ovk
