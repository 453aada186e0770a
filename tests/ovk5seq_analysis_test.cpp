// SPDX-License-Identifier: GPL-2.0-or-later
// The OVK5SEQ analysis under real traffic: duplicated and reordered
// records, gaps beyond the 8-bit count, clock faults behind an invalid time
// stamp, records cut by the snap length, several capture interfaces, a
// shared sequence counter, read filters with "-2" and the statistics.

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

#include "capture_writer.h"
#include "epan_harness.h"
#include "generator.h"
#include "test_captures.h"
#include "tshark_runner.h"

namespace ovk::test {
namespace {

struct SeqRecord {
    std::uint16_t seq;
    std::uint8_t missing = 0;
    std::uint32_t seconds = 100;
    std::uint32_t nanoseconds = 0;
    std::uint8_t interface = 1;
};

Bytes record_bytes(const SeqRecord &r)
{
    return ovk5seq_record(Ovk5SeqHeader{r.seq, r.interface, r.missing, r.seconds, r.nanoseconds, 0},
                          inner_frame_for(0));
}

// What one record shows, as "skipped frames|of them late|total so far|time
// step|record it came late for|expert items of the analysis" (empty where
// absent).
const char *const analysis_experts[] = {"ovk5seq.seq_mismatch", "ovk5seq.long_gap",     "ovk5seq.duplicate",
                                        "ovk5seq.out_of_order", "ovk5seq.restart",      "ovk5seq.ts_backwards",
                                        "ovk5seq.ts_invalid"};

std::string shown(const Dissection &d)
{
    std::string s;
    for (const char *field : {"ovk5seq.seq_gap", "ovk5seq.seq_gap_late", "ovk5seq.lost_total", "ovk5seq.ts_delta",
                              "ovk5seq.skipped_by"})
        s += (d.has(field) ? d.value(field) : "") + "|";
    for (const char *expert : analysis_experts)
        if (d.has(expert))
            s += std::string(expert) + " ";
    return s;
}

struct SequenceCase {
    const char *subject;
    std::vector<SeqRecord> records;
    // As random access shows each record once the file is read.
    std::vector<std::string> settled;
    // Where the first pass, not knowing what comes, shows otherwise.
    std::map<std::size_t, std::string> first_pass;
};

// Each capture one subject; every record as the first pass shows it and as
// random access shows it again.
TEST(Ovk5SeqAnalysisSteps, DuplicatesReorderingRestartsLongGapsAndClock)
{
    const std::string pending_gap = "1||0|0.000000000||ovk5seq.seq_mismatch ";
    const SequenceCase cases[] = {
        {"mirrored: every record twice, its losses counted once",
         {{1}, {1}, {2}, {2}, {4, 1}, {4, 1}},
         {"||0|||", "||0|0.000000000||ovk5seq.duplicate ", "0||0|0.000000000||", "||0|0.000000000||ovk5seq.duplicate ",
          "1||1|0.000000000||", "||1|0.000000000||ovk5seq.duplicate "},
         {}},
        {"two records swapped: the late one fills the gap it left and moves the stream back no more",
         {{1, 0, 100, 1}, {3, 0, 100, 3}, {2, 0, 100, 2}, {4, 0, 100, 4}},
         {"||0|||", "1|1|0|0.000000002||", "||0|-0.000000001|2|ovk5seq.out_of_order ", "0||0|0.000000001||"},
         {{1, "1||0|0.000000002||ovk5seq.seq_mismatch "}}},
        {"late records fill each number of the gaps once; a copy of one is a duplicate, a third one out of order",
         {{1}, {3}, {5}, {2}, {2}, {4}, {2}},
         {"||0|||", "1|1|0|0.000000000||", "1|1|0|0.000000000||", "||0|0.000000000|2|ovk5seq.out_of_order ",
          "||0|0.000000000||ovk5seq.duplicate ", "||0|0.000000000|3|ovk5seq.out_of_order ",
          "||0|0.000000000||ovk5seq.out_of_order "},
         {{1, pending_gap}, {2, pending_gap}}},
        {"a stray number half the sequence space back: no restart, as the next record goes on from before",
         {{40000}, {7232}, {40001}},
         {"||0|||", "||0|0.000000000||ovk5seq.out_of_order ", "0||0|0.000000000||"},
         {{1, "||0|0.000000000||ovk5seq.restart "}}},
        {"a restart (a copy of its first record in between), the clock an hour back, then a loss",
         {{20099, 0, 5000}, {0, 0, 1400}, {0, 0, 1400}, {1, 0, 1400, 1000}, {3, 0, 1400, 2000}},
         {"||0|||", "||0|-3600.000000000||ovk5seq.restart ovk5seq.ts_backwards ",
          "||0|-3600.000000000||ovk5seq.duplicate ", "0||0|0.000001000||",
          "1||0|0.000001000||ovk5seq.seq_mismatch "},
         {}},
        {"over 255 frames lost: the count saturated, wrapped, or simply wrong",
         {{0}, {301, 255}, {602, 44}, {903, 10}},
         {"||0|||", "300||255|0.000000000||ovk5seq.long_gap ", "300||299|0.000000000||ovk5seq.long_gap ",
          "300||309|0.000000000||ovk5seq.seq_mismatch "},
         {}},
        {"a clock step back behind an invalid time stamp",
         {{1, 0, 20, 0}, {2, 0, 30, 1000000000}, {3, 0, 15, 0}, {4, 0, 16, 0}},
         {"||0|||", "0||0|||ovk5seq.ts_invalid ", "0||0|-5.000000000||ovk5seq.ts_backwards ", "0||0|1.000000000||"},
         {}},
    };
    for (const SequenceCase &c : cases) {
        SCOPED_TRACE(c.subject);
        Capture capture(WTAP_ENCAP_USER3);
        std::vector<std::string> first, expected_first = c.settled;
        for (const auto &[index, differs] : c.first_pass)
            expected_first.at(index) = differs;
        for (const SeqRecord &r : c.records)
            first.push_back(shown(capture.add(record_bytes(r))));
        EXPECT_EQ(first, expected_first);
        for (std::uint32_t n = static_cast<std::uint32_t>(c.records.size()); n >= 1; --n)
            EXPECT_EQ(shown(capture.again(n)), c.settled[n - 1]) << "frame " << n << " again";
    }
}

class Ovk5SeqAnalysisTshark : public ::testing::Test {
protected:
    // Writes records to name, one a second from offset_ns, cut to
    // captured[i] bytes where that is given and not 0.
    std::string write(const std::string &name, const std::vector<SeqRecord> &records,
                      const std::vector<std::uint32_t> &captured = {}, std::uint64_t offset_ns = 0)
    {
        const std::string path = stage_.path(name);
        CaptureWriter writer(path, linktype_user3);
        for (std::size_t i = 0; i < records.size(); ++i) {
            Bytes bytes = record_bytes(records[i]);
            const auto wire = static_cast<std::uint32_t>(bytes.size());
            if (i < captured.size() && captured[i] != 0)
                bytes.resize(captured[i]);
            writer.write(offset_ns + 1000000000ull * (i + 1), bytes, wire);
        }
        writer.commit();
        return path;
    }

    // The records of both files, each on a capture interface of its own.
    std::string merged(const std::string &name, const std::string &a, const std::string &b)
    {
        const std::string path = stage_.path(name);
        const std::string command = "mergecap -I none -F pcapng -w '" + path + "' '" + a + "' '" + b + "'";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        return path;
    }

    Lines fields(const std::string &capture, const Lines &extra)
    {
        Lines args = {"-r", capture, "-T", "fields", "-E", "separator=|"};
        args.insert(args.end(), extra.begin(), extra.end());
        return stage_.lines(args);
    }

    TsharkStage stage_;
};

TEST_F(Ovk5SeqAnalysisTshark, StreamsOfCaptureInterfacesAndSharedCounters)
{
    // Two capture ports, the same header interface, no loss on either;
    // mergecap interleaves them by capture time.
    std::vector<SeqRecord> port_a, port_b;
    for (std::uint16_t i = 0; i < 5; ++i) {
        port_a.push_back({static_cast<std::uint16_t>(1000 + i), 0, 100u + i, 0, 0});
        port_b.push_back({static_cast<std::uint16_t>(9 + i), 0, 100u + i, 500, 0});
    }
    const std::string two_ports = merged("ports.pcapng", write("a.pcap", port_a), write("b.pcap", port_b, {}, 500000000));
    const Lines per_stream = {"-e", "frame.interface_id", "-e", "ovk5seq.prev_frame", "-e", "ovk5seq.seq_gap",
                              "-e", "ovk5seq.ts_delta", "-e", "_ws.expert.message"};
    EXPECT_EQ(fields(two_ports, per_stream),
              (Lines{"0||||", "1||||", "0|1|0|1.000000000|", "1|2|0|1.000000000|", "0|3|0|1.000000000|",
                     "1|4|0|1.000000000|", "0|5|0|1.000000000|", "1|6|0|1.000000000|", "0|7|0|1.000000000|",
                     "1|8|0|1.000000000|"}));
    Lines rows;
    for (const std::string &line : stage_.lines({"-r", two_ports, "-q", "-z", "ovk5seq,tree"}))
        if (line.rfind("Interface", 0) == 0 || line.rfind(" Frames skipped", 0) == 0)
            rows.push_back(line.substr(0, line.find("  ")));
    EXPECT_EQ(rows, (Lines{"Interface 0", " Frames skipped by sequence number", "Interface 0 on capture interface 1",
                           " Frames skipped by sequence number"}));

    // One counter numbers the records of both header interfaces.
    std::vector<SeqRecord> shared;
    for (std::uint16_t i = 0; i < 6; ++i)
        shared.push_back({static_cast<std::uint16_t>(70 + i), 0, 100, i, static_cast<std::uint8_t>(i % 2)});
    shared.push_back({77, 1, 100, 6, 0});
    const std::string one_counter = write("shared.pcap", shared);
    const Lines gaps = {"-e", "ovk5seq.if", "-e", "ovk5seq.prev_frame", "-e", "ovk5seq.seq_gap", "-e",
                        "ovk5seq.seq_mismatch"};
    EXPECT_EQ(fields(one_counter, gaps).at(2), "0|1|1|1") << "a counter per interface";
    Lines shared_gaps = gaps;
    shared_gaps.insert(shared_gaps.end(), {"-o", "ovk5seq.shared_sequence:TRUE"});
    EXPECT_EQ(fields(one_counter, shared_gaps),
              (Lines{"0|||", "1||0|", "0|1|0|", "1|2|0|", "0|3|0|", "1|4|0|", "0|5|1|"}));
}

TEST_F(Ovk5SeqAnalysisTshark, RecordsCutByTheSnapLengthKeepTheirPlace)
{
    // Cut inside the header: to the sequence number and interface (3
    // bytes), to the missing-frames count (4) and inside the time stamp (8).
    const std::string path = write("cut.pcap", {{1}, {2}, {3}, {5, 1}, {6}, {7, 0, 101}},
                                   {0, 3, 0, 4, 8, 0});
    EXPECT_EQ(fields(path, {"-e", "ovk5seq.seq", "-e", "ovk5seq.seq_gap", "-e", "ovk5seq.lost_total", "-e",
                            "ovk5seq.ts_delta", "-e", "ovk5seq.seq_mismatch"}),
              (Lines{"1||0||", "2|0|0||", "3|0|0|0.000000000|", "5|1|1||", "6|0|1||", "7|0|1|1.000000000|"}));
}

TEST_F(Ovk5SeqAnalysisTshark, ReadFilterWithTwoPassesKeepsThePreviousFrameInTheOutput)
{
    // Interfaces 1 and 2 interleaved; the filter drops interface 1's second
    // record, whose frame number the next record inherits.
    const std::string path = write("filtered.pcap", {{1, 0, 100, 0, 1}, {1, 0, 100, 0, 2}, {2, 0, 100, 0, 1},
                                                     {2, 0, 100, 0, 2}, {3, 0, 100, 0, 1}, {4, 0, 100, 0, 1}});
    const Lines expected = {"1|1|", "2|1|", "2|2|2", "1|3|1", "1|4|4"};
    EXPECT_EQ(fields(path, {"-2", "-R", "!(ovk5seq.if == 1 && ovk5seq.seq == 2)", "-e", "ovk5seq.if", "-e",
                            "ovk5seq.seq", "-e", "ovk5seq.prev_frame"}),
              expected);
    // The same records alone: same stream, the dropped one in between.
    const std::string alone = write("alone.pcap", {{1}, {2}, {3}});
    EXPECT_EQ(fields(alone, {"-2", "-R", "ovk5seq.seq != 2", "-e", "ovk5seq.seq", "-e", "ovk5seq.prev_frame"}),
              (Lines{"1|", "3|1"}));
}

// The figures of a report's rows whose names start with one of names.
std::vector<std::pair<std::string, std::string>> tree_counts(const Lines &report)
{
    std::vector<std::pair<std::string, std::string>> counts;
    bool below_headings = false;
    for (const std::string &line : report) {
        if (line.rfind("Topic / Item", 0) == 0) {
            below_headings = true;
            continue;
        }
        if (!below_headings || line.empty() || line[0] == '-' || line[0] == '=')
            continue;
        const std::size_t end = line.find("  ", line.find_first_not_of(' '));
        const std::size_t count = line.find_first_not_of(' ', end);
        counts.emplace_back(line.substr(0, end), line.substr(count, line.find(' ', count) - count));
    }
    return counts;
}

TEST_F(Ovk5SeqAnalysisTshark, StatisticsCountEachFaultOnceAndOnlyWhatTheAnalysisGives)
{
    // A capture that starts mid-stream (its first record reports 3 frames
    // lost before it), every record mirrored, one record late, a long gap
    // and the clock running back behind an invalid time stamp.
    const std::string path = write("stats.pcap", {{10, 3, 100},
                                                  {10, 3, 100},
                                                  {12, 0, 101},
                                                  {12, 0, 101},
                                                  {11, 0, 101},
                                                  {400, 255, 102, 1000000000},
                                                  {401, 0, 90}});
    const std::vector<std::pair<std::string, std::string>> analysed = {
        {"Interface 1", "7"},
        {" Clock faults", "2"},
        {"  Time stamp backwards", "1"},
        {"  Time stamp invalid", "1"},
        {" Duplicates", "2"},
        {" Frames skipped by sequence number", "387"},
        {" Gaps over 255 frames", "1"},
        {" Missing frames (reported)", "258"},
        {"  Reported by the stream's first record", "3"},
        {" Out of order", "1"},
        {" Restarts", "0"},
        {" Sequence mismatches", "0"},
    };
    for (const bool two_passes : {false, true}) {
        SCOPED_TRACE(two_passes ? "-2" : "one pass");
        Lines args = {"-r", path, "-q", "-z", "ovk5seq,tree"};
        if (two_passes)
            args.push_back("-2");
        EXPECT_EQ(tree_counts(stage_.lines(args)), analysed);
    }
    EXPECT_EQ(tree_counts(stage_.lines({"-r", path, "-q", "-z", "ovk5seq,tree", "-o", "ovk5seq.analyze:FALSE"})),
              (std::vector<std::pair<std::string, std::string>>{{"Interface 1", "7"},
                                                                {" Missing frames (reported)", "261"}}));
}

// The figures that differ from a clean stream's, in one pass and with -2.
std::map<std::string, std::string> faults(const Lines &report)
{
    std::map<std::string, std::string> nonzero;
    for (const auto &[row, count] : tree_counts(report))
        if (row[0] == ' ' && count != "0")
            nonzero[row.substr(row.find_first_not_of(' '))] = count;
    return nonzero;
}

TEST_F(Ovk5SeqAnalysisTshark, LossesNetOfLateRecordsAndAcrossARestart)
{
    // 1,000 records, every 10th pair swapped on the way, nothing lost.
    std::vector<SeqRecord> swapped;
    for (std::uint16_t i = 0; i < 1000; ++i)
        swapped.push_back({static_cast<std::uint16_t>(i % 10 == 8 ? i + 1 : i % 10 == 9 ? i - 1 : i), 0, 100,
                           static_cast<std::uint32_t>(i) * 1000000u});
    // 20000..20099, then the device restarts at 0 with its clock an hour
    // back, and 10 records are lost after the restart.
    std::vector<SeqRecord> restarted;
    for (std::uint16_t i = 0; i < 100; ++i)
        restarted.push_back({static_cast<std::uint16_t>(20000 + i), 0, 5000, i * 1000000u});
    for (std::uint16_t i = 0; i < 300; ++i)
        if (i < 150 || i >= 160)
            restarted.push_back({i, 0, 1400, i * 1000000u});

    const struct {
        std::string capture;
        std::map<std::string, std::string> faults;
    } cases[] = {
        {write("swapped.pcap", swapped), {{"Out of order", "100"}}},
        {write("restarted.pcap", restarted),
         {{"Restarts", "1"},
          {"Clock faults", "1"},
          {"Time stamp backwards", "1"},
          {"Frames skipped by sequence number", "10"},
          {"Sequence mismatches", "1"}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.capture);
        EXPECT_EQ(faults(stage_.lines({"-r", c.capture, "-q", "-z", "ovk5seq,tree"})), c.faults);
        EXPECT_EQ(faults(stage_.lines({"-r", c.capture, "-2", "-q", "-z", "ovk5seq,tree"})), c.faults);
    }
    // One restart item, pending in one pass; the analysis goes on from the
    // new base.
    const Lines items = {"-Y", "ovk5seq.restart || ovk5seq.seq_gap > 0", "-e", "frame.number", "-e", "ovk5seq.prev_frame",
                         "-e", "ovk5seq.ts_delta", "-e", "_ws.expert.message"};
    EXPECT_EQ(fields(cases[1].capture, items),
              (Lines{"101|100|-3600.099000000|Sequence number 0 after 20099: the stream restarted if the next record "
                     "follows on (pending),Time stamp earlier than the stream's last valid one",
                     "251|250|0.011000000|Sequence number skips 10 frames, the header reports 0 missing (pending: "
                     "records that come late may still fill it)"}));
    Lines settled = items;
    settled.push_back("-2");
    EXPECT_EQ(fields(cases[1].capture, settled),
              (Lines{"101|100|-3600.099000000|Stream restarted: sequence number 0 after 20099,Time stamp earlier than "
                     "the stream's last valid one",
                     "251|250|0.011000000|Sequence number skips 10 frames, the header reports 0 missing"}));
}

} // namespace
} // namespace ovk::test
