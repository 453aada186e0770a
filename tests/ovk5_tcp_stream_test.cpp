// SPDX-License-Identifier: GPL-2.0-or-later
// OVK5 records written back to back on a TCP stream (ovk5.tcp.desegment),
// one capture per subject: what tshark shows in one pass and in two, and
// what ovk5-export writes, against the records that were really sent.
// Nothing is invented; what is lost is marked and counted.

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "capture_writer.h"
#include "export_runner.h"
#include "test_captures.h"
#include "tshark_runner.h"

namespace ovk::test {
namespace {

// A record of the stream: its RID 0 names it, frame_size its Ethernet
// frame (inner_frame_for's 50 bytes, or cut or padded).
struct SentRecord {
    std::uint16_t rid0;
    std::size_t frame_size = 50;
};

std::vector<SentRecord> numbered(std::uint16_t count)
{
    std::vector<SentRecord> records;
    for (std::uint16_t i = 1; i <= count; ++i)
        records.push_back({i});
    return records;
}

Bytes stream_of(const std::vector<SentRecord> &records)
{
    Bytes stream;
    for (const SentRecord &r : records) {
        Bytes frame = inner_frame_for(r.rid0);
        frame.resize(r.frame_size, 0x5a);
        Ovk5Header header;
        header.ts_seconds = 1700000000;
        header.ts_nanoseconds = r.rid0 * 1000u;
        header.rid0 = r.rid0;
        header.rid1 = 0xbeef;
        const Bytes record = ovk5_payload(header, frame);
        stream.insert(stream.end(), record.begin(), record.end());
    }
    return stream;
}

// How the stream reached the capture.
struct Delivery {
    std::size_t segment_size;       // bytes per segment (the last may be shorter)
    std::vector<std::size_t> order; // segments in capture order, by index; empty: all in order
    bool syn = true;                // the connection opens in the capture
    std::size_t first_byte = 0;     // stream bytes before it are not captured
    std::size_t last_byte = 0;      // 0: the whole stream
    std::uint32_t snaplen = default_snaplen;
};

Delivery in_segments(std::size_t size, std::vector<std::size_t> order = {})
{
    Delivery how;
    how.segment_size = size;
    how.order = std::move(order);
    return how;
}

Delivery starting_at(std::size_t size, std::size_t first_byte)
{
    Delivery how = in_segments(size);
    how.syn = false;
    how.first_byte = first_byte;
    return how;
}

Delivery ending_at(std::size_t size, std::size_t last_byte)
{
    Delivery how = in_segments(size);
    how.last_byte = last_byte;
    return how;
}

Delivery snapped_at(std::size_t size, std::uint32_t snaplen)
{
    Delivery how = in_segments(size);
    how.snaplen = snaplen;
    return how;
}

void write_stream(const std::string &path, const Bytes &stream, const Delivery &how)
{
    CaptureWriter writer(path, linktype_ethernet, how.snaplen);
    Endpoints ends;
    ends.src_port = 50000;
    ends.dst_port = ovk5_tcp_port;
    std::uint64_t time = 0;
    if (how.syn)
        writer.write(time++, ethernet_ipv4_tcp(ends, TcpSegment{0, 0, 0x02}, {}));
    const std::size_t end = how.last_byte ? how.last_byte : stream.size();
    std::vector<std::pair<std::size_t, std::size_t>> segments;
    for (std::size_t at = how.first_byte; at < end; at += how.segment_size)
        segments.emplace_back(at, std::min(at + how.segment_size, end));
    std::vector<std::size_t> order = how.order;
    if (order.empty())
        for (std::size_t i = 0; i < segments.size(); ++i)
            order.push_back(i);
    for (const std::size_t i : order) {
        TcpSegment segment;
        segment.seq = 1 + static_cast<std::uint32_t>(segments[i].first);
        writer.write(time++ * 1000, ethernet_ipv4_tcp(ends, segment, Bytes(stream.begin() + segments[i].first,
                                                                           stream.begin() + segments[i].second)));
    }
    writer.commit();
}

std::vector<std::string> split(const std::string &text, char separator)
{
    std::vector<std::string> parts;
    std::string part;
    for (const char c : text + separator) {
        if (c == separator) {
            if (!part.empty())
                parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    return parts;
}

// What one reading of a capture found: the records' RID 0 in order, and
// how many OVK5 expert items of each kind.
struct Reading {
    std::vector<unsigned> rids;
    std::map<std::string, unsigned> experts;
};

class Ovk5TcpStream : public ::testing::Test {
protected:
    Reading tshark(const std::string &capture, Lines options)
    {
        Lines args = {"-r", capture, "-o", "ovk5.tcp.desegment:TRUE", "-T", "fields", "-E", "separator=|",
                      "-e", "ovk5.rid0", "-e", "ovk5.frame_not_decoded", "-e", "ovk5.stream_gap",
                      "-e", "ovk5.bytes_skipped", "-e", "ovk5.not_captured", "-e", "ovk5.record_cut",
                      "-e", "ovk5.nested_too_deep"};
        args.insert(args.end(), options.begin(), options.end());
        const TsharkResult result = stage_.run(args);
        EXPECT_EQ(result.exit_code, 0) << result.err;
        EXPECT_EQ(result.err.find("Dissector bug"), std::string::npos) << result.err;
        static const char *const kinds[] = {"frame_not_decoded", "stream_gap", "bytes_skipped", "not_captured",
                                            "record_cut", "nested_too_deep"};
        Reading reading;
        for (const std::string &line : split_lines(result.out)) {
            const std::vector<std::string> columns = [&line] {
                std::vector<std::string> c;
                std::string::size_type start = 0, bar;
                while ((bar = line.find('|', start)) != std::string::npos) {
                    c.push_back(line.substr(start, bar - start));
                    start = bar + 1;
                }
                c.push_back(line.substr(start));
                return c;
            }();
            for (const std::string &rid : split(columns.at(0), ','))
                reading.rids.push_back(static_cast<unsigned>(std::stoul(rid, nullptr, 16)));
            for (std::size_t k = 0; k < std::size(kinds); ++k) {
                const auto items = split(columns.at(k + 1), ',').size();
                if (items)
                    reading.experts[kinds[k]] += static_cast<unsigned>(items);
            }
        }
        return reading;
    }

    // The same in one pass and in two.
    Reading both_passes(const std::string &capture, const Lines &options = {})
    {
        const Reading one = tshark(capture, options);
        Lines two_options = options;
        two_options.push_back("-2");
        const Reading two = tshark(capture, two_options);
        EXPECT_EQ(one.rids, two.rids);
        EXPECT_EQ(one.experts, two.experts);
        return one;
    }

    // ovk5-export's exit status, summary and the RID 0 of the packets it
    // wrote (from their comments).
    struct Exported {
        int exit_code;
        std::string err;
        std::vector<unsigned> rids;
    };

    Exported export_stream(const std::string &capture, const Lines &options = {})
    {
        Lines args = {"-o", "ovk5.tcp.desegment:TRUE"};
        args.insert(args.end(), options.begin(), options.end());
        args.insert(args.end(), {capture, "out.pcapng"});
        const ExportRun run = run_ovk5_export(stage_, OVK5_EXPORT, args);
        Exported exported{run.exit_code, run.err, {}};
        for (const std::string &comment :
             stage_.lines({"-r", stage_.path("out.pcapng"), "-T", "fields", "-e", "frame.comment"})) {
            static const std::regex rid("RID 0 0x([0-9a-f]+)");
            std::smatch match;
            if (std::regex_search(comment, match, rid))
                exported.rids.push_back(static_cast<unsigned>(std::stoul(match[1], nullptr, 16)));
        }
        return exported;
    }

    std::string capture(const std::string &name, const std::vector<SentRecord> &records, const Delivery &how)
    {
        const std::string path = stage_.path(name);
        write_stream(path, stream_of(records), how);
        return path;
    }

    TsharkStage stage_;
};

std::vector<unsigned> range(unsigned first, unsigned last)
{
    std::vector<unsigned> values;
    for (unsigned v = first; v <= last; ++v)
        values.push_back(v);
    return values;
}

std::vector<unsigned> joined(std::vector<unsigned> a, const std::vector<unsigned> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<unsigned> rids_of(const std::vector<SentRecord> &records)
{
    std::vector<unsigned> rids;
    for (const SentRecord &r : records)
        rids.push_back(r.rid0);
    return rids;
}

// Streams that reached the capture whole: every record, in one pass, in
// two and exported, with no expert item but the ones named.
TEST_F(Ovk5TcpStream, WholeStreamsGiveEveryRecordSent)
{
    std::vector<SentRecord> short_frames = {{1}, {2, 0}, {3, 5}, {4}, {5, 13}, {6}, {7}};
    std::vector<SentRecord> empty_then_largest = {{1}, {2, 0}, {3, 65535}, {4}};
    struct Case {
        const char *name;
        std::vector<SentRecord> records;
        Delivery how;
        Lines options;
        std::map<std::string, unsigned> experts;
    };
    const Case cases[] = {
        // 18 records a segment: none is taken for OVK5 nested in OVK5.
        {"eighteen-a-segment", numbered(54), in_segments(18 * 66), {}, {}},
        // A full 64 KB segment of the smallest records: every header, the
        // frames past the analyser's layer limit each with a note.
        {"full-segment", numbered(990), in_segments(990 * 66), {}, {{"frame_not_decoded", 1}}},
        {"full-segment-deeper-limit", numbered(990), in_segments(990 * 66), {"-o", "gui.max_tree_depth:6000"}, {}},
        // Frames shorter than an Ethernet header: malformed inside their
        // record, the framing unharmed, wherever the segments are cut.
        {"short-frames", short_frames, in_segments(50), {}, {}},
        {"short-frames-7", short_frames, in_segments(7), {}, {}},
        {"empty-then-largest", empty_then_largest, in_segments(1448), {}, {}},
        // TCP's own reassembly preference plays no part.
        {"header-split", numbered(6), in_segments(23), {"-o", "tcp.desegment_tcp_streams:FALSE"}, {}},
        // Swapped segments: whole with TCP's out-of-order reassembly.
        {"swapped", numbered(40), in_segments(200, {0, 2, 1, 3, 5, 4, 6, 7, 9, 8, 10, 11, 12, 13}),
         {"-o", "tcp.reassemble_out_of_order:TRUE"}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = capture(std::string(c.name) + ".pcap", c.records, c.how);
        Reading reading = both_passes(path, c.options);
        EXPECT_EQ(reading.rids, rids_of(c.records));
        // How many frames fit depends on the layers each takes: some do, the
        // rest are noted.
        auto notes = reading.experts.find("frame_not_decoded");
        if (notes != reading.experts.end()) {
            EXPECT_LT(notes->second, c.records.size());
            notes->second = 1;
        }
        EXPECT_EQ(reading.experts, c.experts);

        const Exported exported = export_stream(path);
        EXPECT_EQ(exported.exit_code, 0) << exported.err;
        EXPECT_EQ(exported.rids, rids_of(c.records));
    }
}

// Damaged streams: only records whose bytes were captured, the damage
// marked where it is, ovk5-export counting it and exiting 1.
TEST_F(Ovk5TcpStream, DamagedStreamsInventNothingAndSaySo)
{
    struct Case {
        const char *name;
        std::size_t records;
        Delivery how;
        Lines tshark_options;
        std::vector<unsigned> shown;
        std::map<std::string, unsigned> experts;
        std::vector<unsigned> exported;
        const char *counted;  // in ovk5-export's summary
    };
    const Case cases[] = {
        // The 3rd of 7 segments never captured: records 31-45 lost, framing
        // resumes inside the 4th; by default TCP then holds every later
        // segment for export, waiting for the missing one.
        {"lost-segment", 100, in_segments(1000, {0, 1, 3, 4, 5, 6}), {}, joined(range(1, 30), range(47, 100)),
         {{"stream_gap", 1}, {"bytes_skipped", 1}}, range(1, 30),
         "1 record lost, 4 segments held back after an uncaptured one"},
        // Late segments without out-of-order reassembly: lost and marked.
        {"swapped-in-order", 40, in_segments(200, {0, 2, 1, 3}), {}, {}, {{"stream_gap", 1}, {"bytes_skipped", 1}}, range(1, 12),
         nullptr},
        // The capture starts inside the 3rd record.
        {"starts-inside", 20, starting_at(200, 150), {}, {}, {{"bytes_skipped", 1}}, {}, "byte"},
        // The capture ends inside the 19th record.
        {"ends-inside", 20, ending_at(500, 18 * 66 + 30), {}, range(1, 18), {}, range(1, 18), "1 record lost"},
        // A snap length of 300: the records captured whole, two cut (their
        // headers captured), the rest marked.
        {"snapped", 60, snapped_at(1000, 300), {}, {1, 2, 3, 4, 17, 18, 19, 32, 33, 34, 47, 48, 49},
         {{"record_cut", 2}, {"not_captured", 4}, {"bytes_skipped", 3}}, {1, 2, 3, 4, 17, 18, 19, 32, 33, 34, 47, 48, 49},
         "2 records cut by the snap length"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<SentRecord> records = numbered(static_cast<std::uint16_t>(c.records));
        const std::string path = capture(std::string(c.name) + ".pcap", records, c.how);
        const Reading reading = both_passes(path, c.tshark_options);
        // Every record shown was sent, once, in order.
        std::vector<unsigned> sent = rids_of(records);
        EXPECT_TRUE(std::includes(sent.begin(), sent.end(), reading.rids.begin(), reading.rids.end()))
            << ::testing::PrintToString(reading.rids);
        if (!c.shown.empty()) {
            EXPECT_EQ(reading.rids, c.shown);
        }
        EXPECT_EQ(reading.experts, c.experts) << ::testing::PrintToString(reading.rids);

        const Exported exported = export_stream(path);
        EXPECT_EQ(exported.exit_code, 1) << exported.err;
        EXPECT_TRUE(std::includes(sent.begin(), sent.end(), exported.rids.begin(), exported.rids.end()))
            << ::testing::PrintToString(exported.rids);
        if (!c.exported.empty()) {
            EXPECT_EQ(exported.rids, c.exported);
        }
        if (c.counted) {
            EXPECT_NE(exported.err.find(c.counted), std::string::npos) << exported.err;
        }
    }
}

} // namespace
} // namespace ovk::test
