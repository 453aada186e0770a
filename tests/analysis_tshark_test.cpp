// SPDX-License-Identifier: GPL-2.0-or-later
// The per-interface analysis through tshark: the same values in one pass
// and in two ("-2"), the preference, and the statistics trees of "-z".

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "capture_writer.h"
#include "generator.h"
#include "test_captures.h"
#include "tshark_runner.h"

namespace ovk::test {
namespace {

using Lines = std::vector<std::string>;

// A line of a "-z <tree>" report: the item's name, then its figures.
struct TreeRow {
    std::string name;
    std::vector<std::string> figures;
};

// The rows of the report below its column headings; columns are set apart
// by two spaces or more.
std::vector<TreeRow> tree_rows(const Lines &report)
{
    std::vector<TreeRow> rows;
    bool below_headings = false;
    for (const std::string &line : report) {
        if (line.rfind("Topic / Item", 0) == 0) {
            below_headings = true;
            continue;
        }
        if (!below_headings || line.empty() || line[0] == '-' || line[0] == '=')
            continue;
        // The name keeps its indentation, one space per level.
        const std::size_t indent = line.find_first_not_of(' ');
        static const std::regex gap("\\s{2,}");
        std::sregex_token_iterator it(line.begin() + static_cast<std::ptrdiff_t>(indent), line.end(), gap, -1), end;
        TreeRow row;
        row.name = line.substr(0, indent) + it->str();
        ++it;
        for (; it != end; ++it)
            if (!it->str().empty())
                row.figures.push_back(*it);
        rows.push_back(row);
    }
    return rows;
}

class AnalysisTshark : public ::testing::Test {
protected:
    TsharkStage stage_;
};

TEST_F(AnalysisTshark, Ovk5SeqValuesAndTree)
{
    struct Record {
        std::uint16_t seq;
        std::uint8_t interface;
        std::uint8_t missing;
        std::uint32_t seconds, nanoseconds;
    };
    // A 16-bit wrap and a reported gap on interface 1, a gap the header
    // misreports and a step back in time on interface 2, then a time
    // stamp with too many nanoseconds, from which no step is measured.
    const Record records[] = {
        {65535, 1, 0, 100, 0},     {10, 2, 0, 100, 0},
        {0, 1, 0, 100, 1000},      {3, 1, 2, 100, 2000},
        {15, 2, 1, 99, 999999999}, {4, 1, 0, 101, 1000000000},
        {5, 1, 0, 102, 0},
    };
    const std::string path = stage_.path("seq.pcap");
    {
        CaptureWriter writer(path, linktype_user3);
        for (const Record &r : records)
            writer.write(0, ovk5seq_record(Ovk5SeqHeader{r.seq, r.interface, r.missing, r.seconds, r.nanoseconds, 0},
                                           inner_frame_for(0)));
        writer.commit();
    }

    const Lines fields = {"-T", "fields", "-E", "separator=|", "-e", "ovk5seq.if", "-e", "ovk5seq.prev_frame",
                          "-e", "ovk5seq.seq_gap", "-e", "ovk5seq.lost_total", "-e", "ovk5seq.ts_delta",
                          "-e", "_ws.expert.message"};
    Lines one_pass = {"-r", path};
    one_pass.insert(one_pass.end(), fields.begin(), fields.end());
    Lines expected = {
        "1|||0||",
        "2|||0||",
        "1|1|0|0|0.000001000|",
        "1|3|2|2|0.000001000|Missing frames between this and last frame.",
        "2|2|4|1|-0.000000001|Missing frames between this and last frame.,"
        "Sequence number skips 4 frames, the header reports 1 missing,"
        "Time stamp earlier than the stream's last valid one",
        "1|4|0|2||Time stamp with 1000000000 nanoseconds (over 999,999,999)",
        // Measured from the last valid time stamp, frame 4's.
        "1|6|0|2|1.999998000|",
    };
    Lines two_pass = one_pass;
    two_pass.push_back("-2");
    EXPECT_EQ(stage_.lines(two_pass), expected);
    // One pass cannot know yet whether the 3 frames over the header's count
    // come late.
    expected[4] = "2|2|4|1|-0.000000001|Missing frames between this and last frame.,"
                  "Sequence number skips 4 frames, the header reports 1 missing (pending: records that come late "
                  "may still fill it),Time stamp earlier than the stream's last valid one";
    EXPECT_EQ(stage_.lines(one_pass), expected);

    Lines off = one_pass;
    off.insert(off.end(), {"-o", "ovk5seq.analyze:FALSE"});
    EXPECT_EQ(stage_.lines(off), (Lines{"1|||||", "2|||||", "1|||||",
                                        "1|||||Missing frames between this and last frame.",
                                        "2|||||Missing frames between this and last frame.", "1|||||", "1|||||"}));

    // Rows by name, each stream with all its figures.
    for (const bool two_passes : {false, true}) {
        SCOPED_TRACE(two_passes ? "-2" : "one pass");
        Lines args = {"-r", path, "-q", "-z", "ovk5seq,tree"};
        if (two_passes)
            args.push_back("-2");
        std::vector<std::pair<std::string, std::string>> counts;
        for (const TreeRow &row : tree_rows(stage_.lines(args)))
            counts.emplace_back(row.name, row.figures.at(0));
        EXPECT_EQ(counts, (std::vector<std::pair<std::string, std::string>>{
                              {"Interface 1", "5"},
                              {" Clock faults", "1"},
                              {"  Time stamp backwards", "0"},
                              {"  Time stamp invalid", "1"},
                              {" Duplicates", "0"},
                              {" Frames skipped by sequence number", "2"},
                              {" Gaps over 255 frames", "0"},
                              {" Missing frames (reported)", "2"},
                              {"  Reported by the stream's first record", "0"},
                              {" Out of order", "0"},
                              {" Restarts", "0"},
                              {" Sequence mismatches", "0"},
                              {"Interface 2", "2"},
                              {" Clock faults", "1"},
                              {"  Time stamp backwards", "1"},
                              {"  Time stamp invalid", "0"},
                              {" Duplicates", "0"},
                              {" Frames skipped by sequence number", "4"},
                              {" Gaps over 255 frames", "0"},
                              {" Missing frames (reported)", "1"},
                              {"  Reported by the stream's first record", "0"},
                              {" Out of order", "0"},
                              {" Restarts", "0"},
                              {" Sequence mismatches", "1"},
                          }));
    }
}

TEST_F(AnalysisTshark, Ovk5DelayTree)
{
    // Interface 0: delays of 1, 3 and 2 ms; interface 1: 10 ms.
    const std::pair<std::uint8_t, std::uint32_t> headers[] = {{0, 1}, {1, 10}, {0, 3}, {0, 2}};
    const std::string path = stage_.path("ovk5.pcap");
    {
        CaptureWriter writer(path, linktype_ethernet);
        std::uint32_t seconds = 1000;
        for (const auto &[interface, delay_ms] : headers) {
            Ovk5Header header;
            header.interface = interface;
            header.ts_seconds = seconds;
            writer.write(seconds * 1000000000ull + delay_ms * 1000000ull,
                         over_udp(ovk5_payload(header, inner_frame_for(0))));
            ++seconds;
        }
        writer.commit();
    }

    EXPECT_EQ(stage_.lines({"-r", path, "-T", "fields", "-e", "ovk5.delay", "-e", "ovk5.prev_frame"}),
              (Lines{"0.001000000\t", "0.010000000\t", "0.003000000\t1", "0.002000000\t3"}));

    // One sender: its streams as rows "Interface N"; the delay in whole
    // microseconds.
    std::vector<std::vector<std::string>> rows;
    for (const TreeRow &row : tree_rows(stage_.lines({"-r", path, "-q", "-z", "ovk5,tree"}))) {
        std::vector<std::string> figures = {row.name};
        const std::size_t shown = row.name.find("delay") != std::string::npos ? 4 : 1;
        for (std::size_t i = 0; i < std::min(row.figures.size(), shown); ++i)
            figures.push_back(row.figures[i]);
        if (row.name.find("Clock") == std::string::npos && row.name.find("Time stamp") == std::string::npos &&
            row.name.find("Came late") == std::string::npos)
            rows.push_back(figures);
    }
    EXPECT_EQ(rows, (std::vector<std::vector<std::string>>{
                        {"192.0.2.1:50000", "4"},
                        {" Interface 0", "3"},
                        {"  Delivery delay (us)", "3", "2000.00", "1000", "3000"},
                        {" Interface 1", "1"},
                        {"  Delivery delay (us)", "1", "10000.00", "10000", "10000"},
                    }));
}

} // namespace
} // namespace ovk::test
