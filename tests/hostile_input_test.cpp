// SPDX-License-Identifier: GPL-2.0-or-later
// Hostile and broken input: truncated captures, payloads at the size
// limits, both plug-ins on overlapping ports and OVK5 nested in itself.
// Whatever arrives, tshark decodes to the end and marks what is wrong; a
// dissector bug aborts the run (the runner sets
// WIRESHARK_ABORT_ON_DISSECTOR_BUG). Malformed preferences are with the
// preference tests.

#include <gtest/gtest.h>

#include <cstdlib>

#include "capture_writer.h"
#include "displayed_values.h"
#include "epan_harness.h"
#include "test_captures.h"
#include "tshark_runner.h"

namespace ovk::test {
namespace {

// A record: its bytes and, when larger, its length on the wire.
struct Record {
    Bytes bytes;
    std::uint32_t wire_length = 0;
};

class HostileTshark : public ::testing::Test {
protected:
    std::string write(const std::string &name, int linktype, const std::vector<Record> &records)
    {
        const std::string path = stage_.path(name);
        CaptureWriter writer(path, linktype);
        std::uint64_t ts = 0;
        for (const Record &r : records)
            writer.write(ts++, r.bytes, r.wire_length);
        writer.commit();
        return path;
    }

    TsharkStage stage_;
};

// ---------------------------------------------------------------- truncation

TEST_F(HostileTshark, TruncatedRecordsAreMarkedNeverFatal)
{
    const Bytes udp_frame = over_udp(ovk5_payload_of_size(66));
    const Bytes seq_record = ovk5seq_record(Ovk5SeqHeader{1, 2, 3, 4, 5, 6}, inner_frame_for(1));
    auto cuts = [](auto make, std::size_t header_at) {
        std::vector<Record> records;
        std::uint16_t connection = 50000;
        for (const std::size_t captured : {std::size_t{0}, header_at, header_at + 1, header_at + 5,
                                           header_at + 15, header_at + 16, header_at + 30, header_at + 81}) {
            const Bytes bytes = make(connection++);
            records.push_back({Bytes(bytes.begin(), bytes.begin() + static_cast<long>(captured)),
                               static_cast<std::uint32_t>(bytes.size())});
        }
        return records;
    };
    const std::string udp = write("udp.pcap", linktype_ethernet, cuts([&](std::uint16_t) { return udp_frame; }, udp_payload_offset));
    const std::string tcp = write("tcp.pcap", linktype_ethernet, cuts([](std::uint16_t connection) {
        return over_tcp(ovk5_payload_of_size(66), connection);
    }, tcp_payload_offset));
    const std::string seq = write("seq.pcap", linktype_user3, cuts([&](std::uint16_t) { return seq_record; }, 0));

    const Lines marks = {"-e", "frame.number", "-e", "ovk5.bs", "-e", "ovk5.if", "-e", "ovk5.ts", "-e", "eth.src",
                         "-Y", "_ws.short || _ws.malformed"};
    // Frames 2 and 3: the payload starts past the captured bytes; then the
    // header's fields appear as far as they were captured. Frame 8 lacks
    // only the end of the inner frame's data, which no dissector reads.
    const std::string epoch = ovk::test::utc_time(0, 0);
    Lines expected = {
        "1||||",
        "2||||02:00:00:00:00:01",
        "3||||02:00:00:00:00:01",
        "4|50|0||02:00:00:00:00:01",
        "5|50|0|" + epoch + "|02:00:00:00:00:01",
        "6|50|0|" + epoch + "|02:00:00:00:00:01",
        "7|50|0|" + epoch + "|02:00:00:00:00:01,02:00:00:00:00:0a",
    };
    EXPECT_EQ(stage_.fields(udp, marks), expected);
    // TCP shows a segment with no payload captured as complete.
    expected.erase(expected.begin() + 1);
    EXPECT_EQ(stage_.fields(tcp, marks), expected);
    // The missing-frames error is reported as soon as its byte is captured.
    EXPECT_EQ(stage_.fields(seq, {"-e", "frame.number", "-e", "ovk5seq.seq", "-e", "ovk5seq.missing_frame",
                                  "-e", "ovk5seq.missing_frames", "-e", "eth.src", "-Y", "_ws.short || _ws.malformed"}),
              (Lines{"1||||", "2||||", "3||||", "4|1|3|1|", "5|1|3|1|", "6|1|3|1|", "7|1|3|1|02:00:00:00:00:0a"}));
    // Cut inside its header, a record has no Ethernet frame to name it in
    // the columns: it names itself, by its stream as far as captured.
    EXPECT_EQ(stage_.fields(seq, {"-e", "_ws.col.Protocol", "-e", "_ws.col.Source", "-e", "_ws.col.Destination",
                                  "-Y", "frame.number <= 5"}),
              (Lines{"OVK5SEQ||Capture interface 0", "OVK5SEQ||Capture interface 0", "OVK5SEQ||Capture interface 0",
                     "OVK5SEQ|Interface 2|Capture interface 0", "OVK5SEQ|Interface 2|Capture interface 0"}));

    for (const std::string &capture : {udp, tcp, seq}) {
        const TsharkResult verbose = stage_.run({"-nVx", "-r", capture});
        EXPECT_EQ(verbose.exit_code, 0) << verbose.err;
        EXPECT_EQ(verbose.err, "");
    }
}

// ------------------------------------------------------------- payload sizes

TEST_F(HostileTshark, PayloadsAtSizeLimits)
{
    // 65507 and 65495 bytes are the largest UDP and TCP payloads of one
    // IPv4 packet; a link-type 150 record can be 65535 bytes.
    const std::vector<std::size_t> sizes = {0, 15, 16, 65507};
    std::vector<Record> udp, tcp, seq;
    for (const std::size_t size : sizes) {
        udp.push_back({over_udp(ovk5_payload_of_size(size))});
        tcp.push_back({over_tcp(ovk5_payload_of_size(size == 65507 ? 65495 : size),
                                static_cast<std::uint16_t>(50000 + tcp.size()))});
    }
    for (const std::size_t size : {0, 15, 16, 65535}) {
        Bytes record = ovk5seq_record(Ovk5SeqHeader{9, 1, 0, 0, 0, 0}, inner_frame_for(1));
        record.resize(size, 0x5a);
        seq.push_back({record});
    }
    const Lines ovk5_fields = {"-e", "frame.len", "-e", "ovk5.bs", "-e", "ip.src", "-e", "_ws.col.Protocol",
                               "-e", "_ws.malformed"};
    // 0 and 15 bytes are not OVK5 (as link-type 150 records, too short
    // ones are marked malformed); 16 bytes are a header with an empty,
    // malformed frame, the error kept inside the record (the Protocol
    // column stays OVK5); the largest payload decodes in full.
    EXPECT_EQ(stage_.fields(write("udp.pcap", linktype_ethernet, udp), ovk5_fields), (Lines{
        "42||192.0.2.1|UDP|", "57||192.0.2.1|UDP|", "58|50|192.0.2.1|OVK5|[Malformed Packet: Ethernet],_ws.malformed",
        "65549|50|192.0.2.1,192.0.2.10|OVK5|"}));
    EXPECT_EQ(stage_.fields(write("tcp.pcap", linktype_ethernet, tcp), ovk5_fields), (Lines{
        "54||192.0.2.1|TCP|", "69||192.0.2.1|TCP|", "70|50|192.0.2.1|OVK5|[Malformed Packet: Ethernet],_ws.malformed",
        "65549|50|192.0.2.1,192.0.2.10|OVK5|"}));
    EXPECT_EQ(stage_.fields(write("seq.pcap", linktype_user3, seq),
                            {"-e", "frame.len", "-e", "ovk5seq.seq", "-e", "ip.src", "-e", "_ws.malformed"}),
              (Lines{"0|||_ws.malformed", "15|||_ws.malformed", "16|9||[Malformed Packet: Ethernet],_ws.malformed",
                     "65535|9|192.0.2.10|"}));
}

TEST(HostileDissector, LargestPayloadTakenWhole)
{
    const ProbeResult r = call_bound_dissector("udp.port", ovk5_udp_port, ovk5_payload_of_size(65535));
    ASSERT_TRUE(r.handle_found);
    EXPECT_FALSE(r.exception_raised);
    EXPECT_EQ(r.bytes_taken, 65535);
}

// ------------------------------------------------- both plug-ins, overlapping

TEST_F(HostileTshark, BothPluginsWithOverlappingPorts)
{
    // One pcapng with an Ethernet and a link-type 150 interface. OVK5 is
    // bound to the same ports over TCP and UDP, among them the port the
    // frames inside OVK5SEQ records are sent to, and DNS's port.
    Ovk5CaptureOptions udp_options;
    udp_options.count = 2;
    write_ovk5_capture(stage_.path("udp.pcap"), udp_options);
    Ovk5CaptureOptions tcp_options;
    tcp_options.transport = Transport::tcp;
    tcp_options.port = 53;
    tcp_options.count = 2;
    write_ovk5_capture(stage_.path("tcp.pcap"), tcp_options);
    Ovk5SeqCaptureOptions seq_options;
    seq_options.count = 2;
    write_ovk5seq_capture(stage_.path("seq.pcap"), seq_options);
    const std::string merged = stage_.path("merged.pcapng");
    const std::string command = "mergecap -a -w '" + merged + "' '" + stage_.path("udp.pcap") + "' '" +
                                stage_.path("tcp.pcap") + "' '" + stage_.path("seq.pcap") + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;

    const Lines ports = {"-o", "ovk5.udp.port:53,21171,40001", "-o", "ovk5.tcp.port:53,21171,40001"};
    Lines args = ports;
    args.insert(args.end(), {"-e", "frame.number", "-e", "ovk5.if", "-e", "ovk5seq.seq", "-e", "udp.dstport",
                             "-e", "_ws.col.Protocol", "-e", "_ws.malformed"});
    // The 8-byte payloads to port 40001 are too short for OVK5 and stay data.
    EXPECT_EQ(stage_.fields(merged, args), (Lines{
        "1|0||21171,40001|OVK5|", "2|0||21171,40001|OVK5|",
        "3|0||40001|OVK5|", "4|0||40001|OVK5|",
        "5||0|40001|UDP|", "6||1|40001|UDP|"}));
}

// ---------------------------------------------------------------- nesting

TEST_F(HostileTshark, OvkFiveNestedInItselfStopsWithExpertError)
{
    // Each OVK5 payload carries a frame that is OVK5 over UDP again, deep
    // enough to pass the analyser's limit of 500 layers if nothing stops it.
    Bytes frame = inner_frame_for(0);
    for (int i = 0; i < 120; ++i)
        frame = over_udp(ovk5_payload(Ovk5Header{}, frame));
    const std::string path = write("nested.pcap", linktype_ethernet, {{frame}});

    const TsharkResult verbose = stage_.run({"-nVx", "-r", path});
    ASSERT_EQ(verbose.exit_code, 0) << verbose.err;
    EXPECT_EQ(verbose.err, "");
    EXPECT_EQ(stage_.fields(path, {"-e", "ovk5.nested_too_deep", "-e", "_ws.expert.severity"}),
              (Lines{"1|8388608"}));
    const Lines counted = stage_.fields(path, {"-e", "ovk5.if"});
    ASSERT_EQ(counted.size(), 1u);
    // Eight OVK5 headers hand their frame on; the ninth shows the rest as data.
    EXPECT_EQ(counted[0], "0,0,0,0,0,0,0,0,0");
}

} // namespace
} // namespace ovk::test
