// SPDX-License-Identifier: GPL-2.0-or-later
// OVK5 records written back to back on a TCP stream (ovk5.tcp.desegment),
// one capture per subject: what tshark shows in one pass and in two, and
// what ovk5-export writes, against the records really sent. Nothing is
// invented; what is lost is marked and counted.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <regex>

#include "capture_writer.h"
#include "export_runner.h"
#include "test_captures.h"
#include "tshark_runner.h"

namespace ovk::test {
namespace {

using Rids = std::vector<unsigned>;

Rids range(unsigned first, unsigned last)
{
    Rids values;
    for (unsigned v = first; v <= last; ++v)
        values.push_back(v);
    return values;
}

Rids operator+(Rids a, const Rids &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Records named by RID 0, each with a frame of frame_sizes[i] bytes
// (default: inner_frame_for's 50).
Bytes stream_of(const Rids &rids, const std::map<unsigned, std::size_t> &frame_sizes = {})
{
    Bytes stream;
    for (const unsigned rid : rids) {
        Bytes frame = inner_frame_for(rid);
        if (frame_sizes.count(rid))
            frame.resize(frame_sizes.at(rid), 0x5a);
        Ovk5Header header;
        header.ts_seconds = 1700000000;
        header.ts_nanoseconds = rid * 1000u;
        header.rid0 = static_cast<std::uint16_t>(rid);
        const Bytes record = ovk5_payload(header, frame);
        stream.insert(stream.end(), record.begin(), record.end());
    }
    return stream;
}

// Records 1 to count whose frames carry random (encrypted-looking) UDP
// payloads of 1 to 1,400 bytes; stray bytes follow record stray_after.
Bytes random_stream(unsigned seed, unsigned count, unsigned stray_after = 0, const Bytes &stray = {})
{
    std::mt19937 random(seed);
    Bytes stream;
    for (unsigned rid = 1; rid <= count; ++rid) {
        Bytes payload(1 + random() % 1400);
        for (std::uint8_t &byte : payload)
            byte = static_cast<std::uint8_t>(random());
        Ovk5Header header;
        header.ts_seconds = 1700000000;
        header.ts_nanoseconds = rid * 1000u;
        header.rid0 = static_cast<std::uint16_t>(rid);
        const Bytes record = ovk5_payload(header, ethernet_ipv4_udp(Endpoints{}, payload));
        stream.insert(stream.end(), record.begin(), record.end());
        if (rid == stray_after)
            stream.insert(stream.end(), stray.begin(), stray.end());
    }
    return stream;
}

// How the stream reached the capture: cut into segments of segment_size
// bytes from first_byte to last_byte (0: the end), written in order
// (indexes; empty: as cut).
struct Delivery {
    Delivery(std::size_t size, std::vector<std::size_t> segments = {}, bool with_syn = true, std::size_t first = 0,
             std::size_t last = 0, std::uint32_t snap = default_snaplen)
        : segment_size(size), order(std::move(segments)), syn(with_syn), first_byte(first), last_byte(last),
          snaplen(snap)
    {
    }
    std::size_t segment_size;
    std::vector<std::size_t> order;
    bool syn;
    std::size_t first_byte;
    std::size_t last_byte;
    std::uint32_t snaplen;
};

// The capture's clock, a second after the records' time stamps.
constexpr std::uint64_t capture_time_ns = 1700000001ull * 1000000000u;

void write_stream(const std::string &path, const Bytes &stream, const Delivery &how)
{
    CaptureWriter writer(path, linktype_ethernet, how.snaplen);
    Endpoints ends;
    ends.src_port = 50000;
    ends.dst_port = ovk5_tcp_port;
    if (how.syn)
        writer.write(capture_time_ns, ethernet_ipv4_tcp(ends, TcpSegment{0, 0, 0x02}, {}));
    std::vector<std::size_t> starts;
    const std::size_t end = how.last_byte ? how.last_byte : stream.size();
    for (std::size_t at = how.first_byte; at < end; at += how.segment_size)
        starts.push_back(at);
    std::vector<std::size_t> order = how.order;
    for (std::size_t i = 0; order.size() < starts.size() && how.order.empty(); ++i)
        order.push_back(i);
    for (const std::size_t i : order) {
        const std::size_t stop = std::min(starts[i] + how.segment_size, end);
        writer.write(capture_time_ns, ethernet_ipv4_tcp(ends, TcpSegment{1 + static_cast<std::uint32_t>(starts[i])},
                                             Bytes(stream.begin() + starts[i], stream.begin() + stop)));
    }
    writer.commit();
}

// What one reading found: the RID 0 of the records shown, in order, and
// the count of each OVK5 expert item.
struct Reading {
    Rids rids;
    std::map<std::string, unsigned> experts;
};

const char *const damage_items[] = {"frame_not_decoded", "stream_gap", "bytes_skipped", "not_captured",
                                    "record_cut", "nested_too_deep"};

class Ovk5TcpStream : public ::testing::Test {
protected:
    Reading tshark(const std::string &capture, Lines options)
    {
        Lines args = {"-r", capture, "-o", "ovk5.tcp.desegment:TRUE", "-T", "fields", "-e", "ovk5.rid0"};
        for (const char *item : damage_items)
            args.insert(args.end(), {"-e", std::string("ovk5.") + item});
        args.insert(args.end(), {"-e", "frame.number"});  // never empty: the columns before it are kept
        args.insert(args.end(), options.begin(), options.end());
        const TsharkResult result = stage_.run(args);
        EXPECT_EQ(result.exit_code, 0) << result.err;
        EXPECT_EQ(result.err.find("Dissector bug"), std::string::npos) << result.err;
        Reading reading;
        static const std::regex value("[^,]+");
        for (const std::string &line : split_lines(result.out)) {
            const Lines columns = tab_columns(line);
            for (std::sregex_iterator it(columns.at(0).begin(), columns.at(0).end(), value), end; it != end; ++it)
                reading.rids.push_back(static_cast<unsigned>(std::stoul(it->str(), nullptr, 16)));
            for (std::size_t k = 0; k < std::size(damage_items); ++k) {
                const std::string &items = columns.at(k + 1);
                if (!items.empty())
                    reading.experts[damage_items[k]] += 1 + static_cast<unsigned>(std::count(items.begin(), items.end(), ','));
            }
        }
        return reading;
    }

    // The same in one pass and in two.
    Reading both_passes(const std::string &capture, const Lines &options)
    {
        const Reading one = tshark(capture, options);
        Lines two = options;
        two.push_back("-2");
        const Reading second = tshark(capture, two);
        EXPECT_EQ(one.rids, second.rids);
        EXPECT_EQ(one.experts, second.experts);
        return one;
    }

    // ovk5-export's run and the RID 0 of the packets it wrote (from their
    // comments).
    std::pair<ExportRun, Rids> export_stream(const std::string &capture, Lines options = {})
    {
        options.insert(options.end(), {"-o", "ovk5.tcp.desegment:TRUE", capture, "out.pcapng"});
        const ExportRun run = run_ovk5_export(stage_, OVK5_EXPORT, options);
        Rids rids;
        static const std::regex rid("RID 0 0x([0-9a-f]+)");
        for (const std::string &comment : stage_.lines({"-r", stage_.path("out.pcapng"), "-T", "fields", "-e", "frame.comment"})) {
            std::smatch match;
            if (std::regex_search(comment, match, rid))
                rids.push_back(static_cast<unsigned>(std::stoul(match[1], nullptr, 16)));
        }
        return {run, rids};
    }

    TsharkStage stage_;
};

// Streams that reached the capture whole: every record, in one pass, in
// two and exported, with no OVK5 expert item but the ones named.
TEST_F(Ovk5TcpStream, WholeStreamsGiveEveryRecordSent)
{
    const std::map<unsigned, std::size_t> short_frames = {{2, 0}, {3, 5}, {5, 13}};
    const std::map<unsigned, std::size_t> empty_then_largest = {{2, 0}, {3, 65535}};
    struct Case {
        const char *name;
        Rids rids;
        std::map<unsigned, std::size_t> frame_sizes;
        Delivery how;
        Lines options;
        std::map<std::string, unsigned> experts;
    };
    const Case cases[] = {
        // 18 records a segment: none taken for OVK5 nested in OVK5.
        {"eighteen-a-segment", range(1, 54), {}, {18 * 66}, {}, {}},
        // A full 64 KB segment of the smallest records: every header; the
        // frames past the analyser's layer limit noted, or all decoded
        // under a higher limit.
        {"full-segment", range(1, 990), {}, {990 * 66}, {}, {{"frame_not_decoded", 1}}},
        {"full-segment-higher-limit", range(1, 990), {}, {990 * 66}, {"-o", "gui.max_tree_depth:6000"}, {}},
        // Frames shorter than an Ethernet header: malformed inside their
        // record, the framing unharmed wherever the segments are cut.
        {"short-frames", range(1, 7), short_frames, {50}, {}, {}},
        {"short-frames-7", range(1, 7), short_frames, {7}, {}, {}},
        {"empty-then-largest", range(1, 4), empty_then_largest, {1448}, {}, {}},
        // TCP's own reassembly preference plays no part.
        {"header-split", range(1, 6), {}, {23}, {"-o", "tcp.desegment_tcp_streams:FALSE"}, {}},
        // Swapped segments: whole with out-of-order reassembly.
        {"swapped", range(1, 40), {}, {200, {0, 2, 1, 3, 5, 4, 6, 7, 9, 8, 10, 11, 12, 13}},
         {"-o", "tcp.reassemble_out_of_order:TRUE"}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = stage_.path(std::string(c.name) + ".pcap");
        write_stream(path, stream_of(c.rids, c.frame_sizes), c.how);
        Reading reading = both_passes(path, c.options);
        EXPECT_EQ(reading.rids, c.rids);
        // How many frames fit depends on the layers each takes.
        if (reading.experts.count("frame_not_decoded")) {
            EXPECT_LT(reading.experts["frame_not_decoded"], c.rids.size());
            reading.experts["frame_not_decoded"] = 1;
        }
        EXPECT_EQ(reading.experts, c.experts);

        const auto [run, exported] = export_stream(path);
        EXPECT_EQ(run.exit_code, 0) << run.err;
        EXPECT_EQ(exported, c.rids);
    }
    // The exporter's out-of-order reassembly gives way to the user's.
    const auto [run, exported] = export_stream(stage_.path("swapped.pcap"), {"-o", "tcp.reassemble_out_of_order:FALSE"});
    EXPECT_EQ(run.exit_code, 1) << run.err;
    EXPECT_LT(exported.size(), 40u);
}

// Damaged streams: only records whose bytes were captured, the damage
// marked where it is; ovk5-export counts it and exits 1.
TEST_F(Ovk5TcpStream, DamagedStreamsInventNothingAndSaySo)
{
    const Rids snapped = {1, 2, 3, 4, 17, 18, 19, 32, 33, 34, 47, 48, 49};
    struct Case {
        const char *name;
        unsigned records;
        Delivery how;
        Rids shown;  // empty: any records sent, in order
        std::map<std::string, unsigned> experts;
        Rids exported;
        const char *counted;  // in ovk5-export's summary
    };
    const Case cases[] = {
        // The 3rd of 7 segments never captured: framing resumes in the
        // 4th. For export TCP holds every later segment, waiting for it.
        {"lost-segment", 100, {1000, {0, 1, 3, 4, 5, 6}}, range(1, 30) + range(47, 100),
         {{"stream_gap", 1}, {"bytes_skipped", 1}}, range(1, 30),
         "1 record lost, 4 segments held back after an uncaptured one"},
        // Late segments (tshark without out-of-order reassembly).
        {"swapped-in-order", 40, {200, {0, 2, 1, 3}}, {}, {{"stream_gap", 1}, {"bytes_skipped", 1}}, range(1, 12),
         "1 record lost"},
        // The capture starts inside the 3rd record, ends inside the 19th.
        {"starts-inside", 20, {200, {}, false, 150}, {}, {{"bytes_skipped", 1}}, {}, "bytes skipped"},
        {"ends-inside", 20, {500, {}, true, 0, 18 * 66 + 30}, range(1, 18), {}, range(1, 18), "1 record lost"},
        // A snap length of 300: the records captured whole, two cut (their
        // headers captured), the rest marked.
        {"snapped", 60, {1000, {}, true, 0, 0, 300}, snapped,
         {{"record_cut", 2}, {"not_captured", 4}, {"bytes_skipped", 3}}, snapped, "2 records cut by the snap length"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = stage_.path(std::string(c.name) + ".pcap");
        const Rids sent = range(1, c.records);
        write_stream(path, stream_of(sent), c.how);
        const Reading reading = both_passes(path, {});
        EXPECT_TRUE(std::includes(sent.begin(), sent.end(), reading.rids.begin(), reading.rids.end()))
            << ::testing::PrintToString(reading.rids);
        EXPECT_TRUE(c.shown.empty() || reading.rids == c.shown) << ::testing::PrintToString(reading.rids);
        EXPECT_EQ(reading.experts, c.experts);

        const auto [run, exported] = export_stream(path);
        EXPECT_EQ(run.exit_code, 1) << run.err;
        EXPECT_TRUE(std::includes(sent.begin(), sent.end(), exported.begin(), exported.end()))
            << ::testing::PrintToString(exported);
        EXPECT_TRUE(c.exported.empty() || exported == c.exported) << ::testing::PrintToString(exported);
        EXPECT_NE(run.err.find(c.counted), std::string::npos) << run.err;
    }
}

// Where framing has no boundary, or loses it, it resumes only where three
// records in a row pass the check: bytes inside random frames, stray
// bytes and a stream of random bytes yield no record, and no record after
// them is lost.
TEST_F(Ovk5TcpStream, FramingResumesOnlyOnConfirmedChains)
{
    // A false header with a Blob size of 44510, unless checked.
    const Bytes stray = {0xde, 0xad, 0x00, 0x00, 0x12, 0x34, 0x56};
    std::mt19937 random(7);
    Bytes noise(30000);
    for (std::uint8_t &byte : noise)
        byte = static_cast<std::uint8_t>(random());
    // A byte inside record 2 of random_stream(seed, ...).
    const auto inside_second = [](unsigned seed) {
        const Bytes first = random_stream(seed, 1);
        return first.size() + 20;
    };
    struct Case {
        const char *name;
        Bytes stream;
        Delivery how;
        Rids shown;
    };
    const Case cases[] = {
        // Captures starting inside record 2 of random frames.
        {"mid-stream-1", random_stream(1, 60), {1448, {}, false, inside_second(1)}, range(3, 60)},
        {"mid-stream-2", random_stream(3, 60), {536, {}, false, inside_second(3)}, range(3, 60)},
        {"seven-stray-bytes", random_stream(4, 60, 20, stray), {1448}, range(1, 60)},
        {"random-bytes", noise, {1448, {}, false}, {}},
        {"random-bytes-from-syn", noise, {1448}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = stage_.path(std::string(c.name) + ".pcap");
        write_stream(path, c.stream, c.how);
        const Reading reading = both_passes(path, {});
        EXPECT_EQ(reading.rids, c.shown);
        EXPECT_GT(reading.experts.count("bytes_skipped"), 0u);

        const auto [run, exported] = export_stream(path);
        EXPECT_EQ(run.exit_code, 1) << run.err;
        EXPECT_EQ(exported, c.shown);
        EXPECT_NE(run.err.find("bytes skipped"), std::string::npos) << run.err;
    }
}

} // namespace
} // namespace ovk::test
