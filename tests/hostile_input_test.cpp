// Hostile and broken input: malformed port-range preferences, truncated
// captures, payloads at the size limits, both plug-ins on overlapping ports
// and OVK5 nested in itself. Whatever arrives, tshark decodes to the end
// and marks what is wrong; a dissector bug aborts the run (the runner sets
// WIRESHARK_ABORT_ON_DISSECTOR_BUG).

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "capture_writer.h"
#include "displayed_values.h"
#include "epan_harness.h"
#include "generator.h"
#include "tshark_runner.h"

namespace ovk::test {
namespace {

using Lines = std::vector<std::string>;
using Ports = std::vector<std::uint32_t>;

constexpr std::uint16_t udp_port = 21171;
constexpr std::uint16_t tcp_port = 21103;
constexpr std::size_t udp_payload_at = 14 + 20 + 8;
constexpr std::size_t tcp_payload_at = 14 + 20 + 20;

const Lines bad_ranges = {"abc", "70000", "65530-65536", "1--2", "x-5"};

Bytes ovk5_payload_of_size(std::size_t size)
{
    Bytes payload = ovk5_payload(Ovk5Header{}, inner_frame_for(1));
    payload.resize(size, 0x5a);
    return payload;
}

Bytes over_udp(const Bytes &payload, std::uint16_t port = udp_port)
{
    Endpoints ends;
    ends.src_port = 50000;
    ends.dst_port = port;
    return ethernet_ipv4_udp(ends, payload);
}

// Each packet its own connection (src_port): repeated sequence numbers in
// one connection are retransmissions, which TCP does not hand on.
Bytes over_tcp(const Bytes &payload, std::uint16_t src_port)
{
    Endpoints ends;
    ends.src_port = src_port;
    ends.dst_port = tcp_port;
    return ethernet_ipv4_tcp(ends, TcpSegment{}, payload);
}

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
        stage_.publish();
        return path;
    }

    // Runs tshark, which must exit 0 without a word on stderr.
    Lines fields(const std::string &capture, const Lines &extra)
    {
        Lines args = {"-r", capture, "-T", "fields", "-E", "separator=|"};
        args.insert(args.end(), extra.begin(), extra.end());
        return stage_.lines(args);
    }

    void write_preferences(const std::string &text)
    {
        namespace fs = std::filesystem;
        const fs::path dir = fs::path(stage_.path("home")) / ".config" / "wireshark";
        fs::create_directories(dir);
        std::ofstream(dir / "preferences") << text;
        stage_.publish();
    }

    TsharkStage stage_;
};

// ---------------------------------------------------------------- preferences

class HostilePreferences : public ::testing::Test {
protected:
    void SetUp() override { start_epan(); }
    void TearDown() override
    {
        set_preference("ovk5.tcp.port", "21103");
        set_preference("ovk5.udp.port", "21171");
    }
};

TEST_F(HostilePreferences, MalformedRangeIsRefusedAndBindingStays)
{
    ASSERT_TRUE(set_preference("ovk5.udp.port", "30000,30002"));
    for (const std::string &value : bad_ranges) {
        EXPECT_FALSE(set_preference("ovk5.udp.port", value)) << value;
        EXPECT_FALSE(set_preference("ovk5.tcp.port", value)) << value;
        EXPECT_EQ(keys_bound_to("udp.port", "ovk5"), (Ports{30000, 30002})) << value;
        EXPECT_EQ(keys_bound_to("tcp.port", "ovk5"), Ports{21103}) << value;
    }
}

TEST_F(HostilePreferences, OpenAndChainedRangesFollowAnalyserSyntax)
{
    // "5-" is the analyser's open range: 5 up to the highest port.
    ASSERT_TRUE(set_preference("ovk5.udp.port", "5-"));
    const Ports open = keys_bound_to("udp.port", "ovk5");
    ASSERT_EQ(open.size(), 65531u);
    EXPECT_EQ(open.front(), 5u);
    EXPECT_EQ(open.back(), 65535u);

    // Back to one port: none of the 65531 entries may linger.
    ASSERT_TRUE(set_preference("ovk5.udp.port", "21171"));
    EXPECT_EQ(keys_bound_to("udp.port", "ovk5"), Ports{21171});

    // Wireshark 4.0 reads "1-2-3" as "1-2,1-3"; later parsers may refuse
    // it. Either way the table holds exactly what the analyser accepted.
    if (set_preference("ovk5.udp.port", "1-2-3"))
        EXPECT_EQ(keys_bound_to("udp.port", "ovk5"), (Ports{1, 2, 3}));
    else
        EXPECT_EQ(keys_bound_to("udp.port", "ovk5"), Ports{21171});
}

TEST_F(HostileTshark, MalformedRangeOnCommandLineIsRefused)
{
    Ovk5CaptureOptions options;
    options.count = 1;
    const std::string path = stage_.path("one.pcap");
    write_ovk5_capture(path, options);
    stage_.publish();
    for (const std::string &value : bad_ranges) {
        for (const std::string pref : {"ovk5.udp.port:", "ovk5.tcp.port:"}) {
            const TsharkResult r = stage_.run({"-o", pref + value, "-r", path});
            EXPECT_EQ(r.exit_code, 1) << pref << value;
            EXPECT_EQ(r.err, "tshark: Invalid -o flag \"" + pref + value + "\"\n");
            EXPECT_EQ(r.out, "");
        }
    }
}

TEST_F(HostileTshark, MalformedRangeInPreferencesFileKeepsDefault)
{
    Ovk5CaptureOptions options;
    options.count = 1;
    const std::string path = stage_.path("one.pcap");
    write_ovk5_capture(path, options);
    write_preferences("ovk5.udp.port: abc\n");

    const TsharkResult r = stage_.run({"-r", path, "-T", "fields", "-e", "_ws.col.Protocol", "-e", "ovk5.if"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.err.find("Syntax error in preference"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("ovk5.udp.port"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "OVK5\t0\n");
}

TEST_F(HostileTshark, PortOverMaximumInPreferencesFileIsClampedByAnalyser)
{
    // The analyser lowers numbers over the maximum read from a preferences
    // file to the maximum, without a warning, instead of refusing them.
    Ovk5CaptureOptions options;
    options.count = 1;
    options.port = 65535;
    const std::string on_max = stage_.path("max.pcap");
    write_ovk5_capture(on_max, options);
    options.port = udp_port;
    const std::string on_default = stage_.path("default.pcap");
    write_ovk5_capture(on_default, options);
    write_preferences("ovk5.udp.port: 70000\n");

    const Lines protocol = {"-e", "_ws.col.Protocol"};
    EXPECT_EQ(fields(on_max, protocol), Lines{"OVK5"});
    EXPECT_EQ(fields(on_default, protocol), Lines{"UDP"});
}

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
    const std::string udp = write("udp.pcap", linktype_ethernet, cuts([&](std::uint16_t) { return udp_frame; }, udp_payload_at));
    const std::string tcp = write("tcp.pcap", linktype_ethernet, cuts([](std::uint16_t connection) {
        return over_tcp(ovk5_payload_of_size(66), connection);
    }, tcp_payload_at));
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
    EXPECT_EQ(fields(udp, marks), expected);
    // TCP shows a segment with no payload captured as complete.
    expected.erase(expected.begin() + 1);
    EXPECT_EQ(fields(tcp, marks), expected);
    // The missing-frames error is reported as soon as its byte is captured.
    EXPECT_EQ(fields(seq, {"-e", "frame.number", "-e", "ovk5seq.seq", "-e", "ovk5seq.missing_frame",
                           "-e", "ovk5seq.missing_frames", "-e", "eth.src", "-Y", "_ws.short || _ws.malformed"}),
              (Lines{"1||||", "2||||", "3||||", "4|1|3|1|", "5|1|3|1|", "6|1|3|1|", "7|1|3|1|02:00:00:00:00:0a"}));

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
    // malformed frame; the largest payload decodes in full.
    EXPECT_EQ(fields(write("udp.pcap", linktype_ethernet, udp), ovk5_fields), (Lines{
        "42||192.0.2.1|UDP|", "57||192.0.2.1|UDP|", "58|50|192.0.2.1|Ethernet|[Malformed Packet: Ethernet],_ws.malformed",
        "65549|50|192.0.2.1,192.0.2.10|OVK5|"}));
    EXPECT_EQ(fields(write("tcp.pcap", linktype_ethernet, tcp), ovk5_fields), (Lines{
        "54||192.0.2.1|TCP|", "69||192.0.2.1|TCP|", "70|50|192.0.2.1|Ethernet|[Malformed Packet: Ethernet],_ws.malformed",
        "65549|50|192.0.2.1,192.0.2.10|OVK5|"}));
    EXPECT_EQ(fields(write("seq.pcap", linktype_user3, seq),
                     {"-e", "frame.len", "-e", "ovk5seq.seq", "-e", "ip.src", "-e", "_ws.malformed"}),
              (Lines{"0|||_ws.malformed", "15|||_ws.malformed", "16|9||[Malformed Packet: Ethernet],_ws.malformed", "65535|9|192.0.2.10|"}));
}

TEST(HostileDissector, LargestPayloadTakenWhole)
{
    const ProbeResult r = probe({ProbeRequest::Action::call_bound_dissector, "udp.port", udp_port},
                                ovk5_payload_of_size(65535));
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
    stage_.publish();

    const Lines ports = {"-o", "ovk5.udp.port:53,21171,40001", "-o", "ovk5.tcp.port:53,21171,40001"};
    Lines args = ports;
    args.insert(args.end(), {"-e", "frame.number", "-e", "ovk5.if", "-e", "ovk5seq.seq", "-e", "udp.dstport",
                             "-e", "_ws.col.Protocol", "-e", "_ws.malformed"});
    // The 8-byte payloads to port 40001 are too short for OVK5 and stay data.
    EXPECT_EQ(fields(merged, args), (Lines{
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
    EXPECT_EQ(fields(path, {"-e", "ovk5.nested_too_deep", "-e", "_ws.expert.severity"}),
              (Lines{"1|8388608"}));
    const Lines counted = fields(path, {"-e", "ovk5.if"});
    ASSERT_EQ(counted.size(), 1u);
    // Eight OVK5 headers hand their frame on; the ninth shows the rest as data.
    EXPECT_EQ(counted[0], "0,0,0,0,0,0,0,0,0");
}

} // namespace
} // namespace ovk::test
