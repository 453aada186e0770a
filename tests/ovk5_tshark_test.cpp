// SPDX-License-Identifier: GPL-2.0-or-later
// OVK5 end to end: the built plug-in loaded by the installed tshark, over
// captures from the generator, with exact -T fields output.

#include <gtest/gtest.h>

#include "displayed_values.h"
#include "capture_writer.h"
#include "test_captures.h"
#include "tshark_runner.h"

namespace ovk::test {
namespace {

class Ovk5Tshark : public ::testing::Test {
protected:
    std::string capture(const std::string &name, const Ovk5CaptureOptions &options)
    {
        const std::string path = stage_.path(name);
        write_ovk5_capture(path, options);
        return path;
    }
    TsharkStage stage_;
};

TEST_F(Ovk5Tshark, DecodesDefaultUdpPort)
{
    Ovk5CaptureOptions options;
    options.count = 2;
    options.interface = 3;
    options.time_base = 0;
    options.interval_ns = 1;
    const Lines lines = stage_.fields(capture("udp.pcap", options), {
        "-e", "ovk5.bs", "-e", "ovk5.if", "-e", "ovk5.res", "-e", "ovk5.ts", "-e", "ovk5.rid0", "-e", "ovk5.rid1",
        "-e", "ip.src", "-e", "udp.dstport", "-e", "_ws.col.Protocol", "-e", "_ws.col.Info"});
    EXPECT_EQ(lines, (Lines{
        "50|3|0x00|" + utc_time(0, 0) + "|0x1234|0xabcd|192.0.2.1,192.0.2.10|21171,40001|OVK5|40000 → 40001 Len=8",
        "50|3|0x00|" + utc_time(0, 1) + "|0x1234|0xabcd|192.0.2.1,192.0.2.10|21171,40001|OVK5|40000 → 40001 Len=8",
    }));
}

TEST_F(Ovk5Tshark, DecodesDefaultTcpPort)
{
    Ovk5CaptureOptions options;
    options.transport = Transport::tcp;
    options.port = ovk5_tcp_port;
    options.count = 3;
    EXPECT_EQ(stage_.fields(capture("tcp.pcap", options),
                            {"-e", "tcp.dstport", "-e", "ovk5.if", "-e", "ovk5.rid1", "-e", "_ws.col.Protocol"}),
              Lines(3, "21103|0|0xabcd|OVK5"));
}

// Records batched into one datagram: each decoded and analysed where the
// payload is exactly a chain of plausible records (a time stamp deciding
// nothing); anything else is one record, as ever.
TEST_F(Ovk5Tshark, RecordsSharingADatagram)
{
    auto records = [](std::initializer_list<std::pair<std::uint16_t, std::uint32_t>> rids_and_nanoseconds) {
        Bytes bytes;
        for (const auto &[rid0, nanoseconds] : rids_and_nanoseconds) {
            Ovk5Header header;
            header.rid0 = rid0;
            header.ts_nanoseconds = nanoseconds;
            const Bytes record = ovk5_payload(header, inner_frame_for(rid0));
            bytes.insert(bytes.end(), record.begin(), record.end());
        }
        return bytes;
    };
    Bytes trailing_byte = records({{3, 0}});
    trailing_byte.push_back(0);
    const Bytes datagrams[] = {
        records({{1, 0}, {2, 0}}),
        trailing_byte,
        records({{4, 0}, {5, 1000000000}}),  // the second's time stamp invalid
        records({{6, 0}, {7, 0}, {8, 0}}),   // the third cut inside its Ethernet header
    };
    const std::string path = stage_.path("datagrams.pcap");
    {
        CaptureWriter writer(path, linktype_ethernet);
        for (const Bytes &payload : datagrams) {
            const Bytes frame = over_udp(payload);
            const bool last = &payload == &datagrams[3];
            const std::size_t cut = last ? frame.size() - records({{8, 0}}).size() + 20 : frame.size();
            writer.write(0, Bytes(frame.begin(), frame.begin() + cut), static_cast<std::uint32_t>(frame.size()));
        }
        writer.commit();
    }
    const Lines fields = {"-e", "ovk5.rid0", "-e", "ovk5.prev_frame", "-e", "_ws.col.Protocol"};
    const Lines decoded = {"0x0001,0x0002|1|OVK5", "0x0003|1|OVK5", "0x0004,0x0005|2,3|OVK5",
                           "0x0006,0x0007,0x0008|3,4,4|OVK5"};
    EXPECT_EQ(stage_.fields(path, fields), decoded);
    Lines two_pass = fields;
    two_pass.push_back("-2");
    EXPECT_EQ(stage_.fields(path, two_pass), decoded);
}

// Records written back to back on a TCP stream: two in the first segment,
// the third split over the next two.
TEST_F(Ovk5Tshark, RecordsSharingAndSpanningTcpSegments)
{
    Bytes stream;
    for (std::uint16_t rid0 = 1; rid0 <= 3; ++rid0) {
        Ovk5Header header;
        header.rid0 = rid0;
        header.ts_nanoseconds = rid0 * 1000u;
        const Bytes record = ovk5_payload(header, inner_frame_for(rid0));
        stream.insert(stream.end(), record.begin(), record.end());
    }
    const std::size_t cuts[] = {0, 2 * (ovk5_header_length + inner_frame_for(0).size()), stream.size() - 20,
                                stream.size()};
    const std::string path = stage_.path("stream.pcap");
    {
        CaptureWriter writer(path, linktype_ethernet);
        Endpoints ends;
        ends.src_port = 50000;
        ends.dst_port = ovk5_tcp_port;
        TcpSegment segment;
        for (int i = 0; i < 3; ++i) {
            segment.seq = 1 + static_cast<std::uint32_t>(cuts[i]);
            writer.write(static_cast<std::uint64_t>(i) * 1000,
                         ethernet_ipv4_tcp(ends, segment, Bytes(stream.begin() + cuts[i], stream.begin() + cuts[i + 1])));
        }
        writer.commit();
    }
    auto decode = [&](Lines options) {
        options.insert(options.end(), {"-e", "ovk5.rid0", "-e", "udp.dstport", "-e", "_ws.col.Protocol"});
        return stage_.fields(path, options);
    };
    const Lines reassembled = {"0x0001,0x0002|40001,40001|OVK5", "||TCP", "0x0003|40001|OVK5"};
    EXPECT_EQ(decode({"-o", "ovk5.tcp.desegment:TRUE"}), reassembled);
    EXPECT_EQ(decode({"-o", "ovk5.tcp.desegment:TRUE", "-2"}), reassembled);
    // Each record of a segment analysed on its own, the same in two passes.
    const Lines analysis = {"-o", "ovk5.tcp.desegment:TRUE", "-e", "ovk5.prev_frame", "-e", "ovk5.ts_delta"};
    const Lines analysed = {"1|0.000001000|0x0001,0x0002|40001,40001|OVK5", "||||TCP", "1|0.000001000|0x0003|40001|OVK5"};
    EXPECT_EQ(decode(analysis), analysed);
    Lines two_pass = analysis;
    two_pass.push_back("-2");
    EXPECT_EQ(decode(two_pass), analysed);
    // The records are framed by OVK5 itself: TCP's own reassembly
    // preference changes nothing.
    EXPECT_EQ(decode({"-o", "ovk5.tcp.desegment:TRUE", "-o", "tcp.desegment_tcp_streams:FALSE"}), reassembled);
    // Off, as before: each segment is one record, whatever it holds (the
    // third a bogus header, its short frame malformed inside it).
    EXPECT_EQ(decode({}), (Lines{"0x0001|40001|OVK5", "0x0003||OVK5", "0x564f||OVK5"}));
    // ...with a note where a segment plainly holds a second record.
    EXPECT_EQ(stage_.fields(path, {"-e", "frame.number", "-Y", "ovk5.more_records"}), (Lines{"1"}));
}

TEST_F(Ovk5Tshark, DisplayFilterOnHeaderFields)
{
    Ovk5CaptureOptions options;
    options.count = 4;
    const std::string path = capture("filter.pcap", options);
    EXPECT_EQ(stage_.lines({"-r", path, "-Y", "ovk5.rid0 == 0x1234 && ovk5.bs == 50", "-T", "fields", "-e", "frame.number"}),
              (Lines{"1", "2", "3", "4"}));
    EXPECT_EQ(stage_.lines({"-r", path, "-Y", "ovk5.if != 0"}), Lines{});
}

TEST_F(Ovk5Tshark, RegistersFields)
{
    EXPECT_EQ(registered_fields(stage_, "ovk5"), (Lines{
        "P\tOvkan Link Protocol 5\tovk5",
        "F\tBlob size\tovk5.bs\tFT_UINT16\tovk5\tBASE_DEC\t0x0\t",
        "F\tInterface\tovk5.if\tFT_UINT8\tovk5\tBASE_DEC\t0x0\t",
        "F\tReserved\tovk5.res\tFT_UINT8\tovk5\tBASE_HEX\t0x0\t",
        "F\tTimestamp (unix)\tovk5.ts\tFT_ABSOLUTE_TIME\tovk5\t\t0x0\t",
        "F\tRID 0\tovk5.rid0\tFT_UINT16\tovk5\tBASE_HEX\t0x0\t",
        "F\tRID 1\tovk5.rid1\tFT_UINT16\tovk5\tBASE_HEX\t0x0\t",
        "F\tPrevious header of this stream\tovk5.prev_frame\tFT_FRAMENUM\tovk5\t\t0x0\t",
        "F\tTime since the stream's last valid time stamp\tovk5.ts_delta\tFT_RELATIVE_TIME\tovk5\t\t0x0\t",
        "F\tDelivery delay\tovk5.delay\tFT_RELATIVE_TIME\tovk5\t\t0x0\t",
        "F\tFrame (not decoded)\tovk5.frame\tFT_BYTES\tovk5\t\t0x0\t",
        "F\tPart of an OVK5 record spanning TCP segments\tovk5.record_part\tFT_BYTES\tovk5\t\t0x0\t",
        "F\tOVK5 nested too deeply; the frame inside is not decoded\tovk5.nested_too_deep\tFT_NONE\tovk5\t\t0x0\t",
        "F\tTime stamp earlier than the last valid one of this stream\tovk5.ts_backwards\tFT_NONE\tovk5\t\t0x0\t",
        "F\tCame late: time stamp behind the stream's, which went on from where it was\tovk5.late\tFT_NONE\tovk5\t\t0x0"
        "\t",
        "F\tTime stamp with over 999,999,999 nanoseconds\tovk5.ts_invalid\tFT_NONE\tovk5\t\t0x0\t",
        "F\tFrame not decoded: the packet holds as many protocol layers as the analyser decodes (preference gui.max_tree_depth)\tovk5.frame_not_decoded\tFT_NONE\tovk5\t\t0x0\t",
        "F\tBytes of the TCP stream before this were not captured\tovk5.stream_gap\tFT_NONE\tovk5\t\t0x0\t",
        "F\tBytes skipped until the next plausible OVK5 header\tovk5.bytes_skipped\tFT_NONE\tovk5\t\t0x0\t",
        "F\tBytes not captured (snap length)\tovk5.not_captured\tFT_NONE\tovk5\t\t0x0\t",
        "F\tThis TCP segment holds more OVK5 records after this one; \"Reassemble OVK5 records spanning TCP segments\" (ovk5.tcp.desegment) decodes them\tovk5.more_records\tFT_NONE\tovk5\t\t0x0\t",
        "F\tOVK5 record cut by the snap length\tovk5.record_cut\tFT_NONE\tovk5\t\t0x0\t",
    }));
}

} // namespace
} // namespace ovk::test
