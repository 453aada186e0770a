// SPDX-License-Identifier: GPL-2.0-or-later
// OVK5SEQ end to end through the installed tshark.

#include <gtest/gtest.h>

#include "displayed_values.h"
#include "test_captures.h"
#include "tshark_runner.h"

namespace ovk::test {
namespace {

TEST(Ovk5SeqTshark, DecodesRecordsAndFlagsGaps)
{
    const TsharkStage stage;
    Ovk5SeqCaptureOptions options;
    options.count = 4;
    options.interface = 1;
    options.time_base = 0;
    options.interval_ns = 1;
    options.first_sequence = 65534;  // wraps
    options.gap_every = 2;
    options.missing_per_gap = 255;
    const std::string path = stage.path("seq.pcap");
    write_ovk5seq_capture(path, options);

    EXPECT_EQ(stage.fields(path, {"-e", "ovk5seq.seq", "-e", "ovk5seq.if", "-e", "ovk5seq.missing_frame",
                                  "-e", "ovk5seq.ts", "-e", "ip.src", "-e", "udp.dstport", "-e", "_ws.col.Protocol"}),
              (Lines{
                  "65534|1|0|" + utc_time(0, 0) + "|192.0.2.10|40001|UDP",
                  "254|1|255|" + utc_time(0, 1) + "|192.0.2.10|40001|UDP",
                  "255|1|0|" + utc_time(0, 2) + "|192.0.2.10|40001|UDP",
                  "511|1|255|" + utc_time(0, 3) + "|192.0.2.10|40001|UDP",
              }));
    EXPECT_EQ(stage.lines({"-r", path, "-Y", "ovk5seq.missing_frames", "-T", "fields", "-e", "frame.number"}),
              (Lines{"2", "4"}));
    // The expert entry hangs under the missing-frames field.
    const TsharkResult result = stage.run({"-r", path, "-Y", "frame.number == 2", "-V", "-O", "ovk5seq"});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_NE(result.out.find("    Missing frames: 255\n"
                              "        [Expert Info (Error/Sequence): Missing frames between this and last frame.]\n"),
              std::string::npos)
        << result.out;
}

TEST(Ovk5SeqTshark, RegistersFields)
{
    const TsharkStage stage;
    EXPECT_EQ(registered_fields(stage, "ovk5seq"), (Lines{
        "P\tOvkan Link Protocol 5 with sequence numbers\tovk5seq",
        "F\tSequence number\tovk5seq.seq\tFT_UINT32\tovk5seq\tBASE_DEC\t0x0\t",
        "F\tInterface\tovk5seq.if\tFT_UINT8\tovk5seq\tBASE_DEC\t0x0\t",
        "F\tMissing frames\tovk5seq.missing_frame\tFT_UINT8\tovk5seq\tBASE_DEC\t0x0\t",
        "F\tTimestamp (unix)\tovk5seq.ts\tFT_ABSOLUTE_TIME\tovk5seq\t\t0x0\t",
        "F\tPrevious record of this stream\tovk5seq.prev_frame\tFT_FRAMENUM\tovk5seq\t\t0x0\t",
        "F\tFrames skipped by sequence number\tovk5seq.seq_gap\tFT_UINT16\tovk5seq\tBASE_DEC\t0x0\t",
        "F\tMissing frames of this stream so far\tovk5seq.lost_total\tFT_UINT64\tovk5seq\tBASE_DEC\t0x0\t",
        "F\tTime since the stream's last valid time stamp\tovk5seq.ts_delta\tFT_RELATIVE_TIME\tovk5seq\t\t0x0\t",
        "F\tSkipped frames that came late\tovk5seq.seq_gap_late\tFT_UINT16\tovk5seq\tBASE_DEC\t0x0\t",
        "F\tLate: skipped by the record in frame\tovk5seq.skipped_by\tFT_FRAMENUM\tovk5seq\t\t0x0\t",
        "F\tMissing frames between this and last frame.\tovk5seq.missing_frames\tFT_NONE\tovk5seq\t\t0x0\t",
        "F\tSequence gap differs from the reported missing frames\tovk5seq.seq_mismatch\tFT_NONE\tovk5seq\t\t0x0\t",
        "F\tSequence number skips over 255 frames, more than the header can report\tovk5seq.long_gap\tFT_NONE\tovk5seq\t\t0x0\t",
        "F\tDuplicate of the previous record\tovk5seq.duplicate\tFT_NONE\tovk5seq\t\t0x0\t",
        "F\tOut of order: sequence number behind the previous record's\tovk5seq.out_of_order\tFT_NONE\tovk5seq\t\t0x0\t",
        "F\tTime stamp earlier than the stream's last valid one\tovk5seq.ts_backwards\tFT_NONE\tovk5seq\t\t0x0\t",
        "F\tTime stamp with over 999,999,999 nanoseconds\tovk5seq.ts_invalid\tFT_NONE\tovk5seq\t\t0x0\t",
        "F\tRecord shorter than the 16-byte header\tovk5seq.too_short\tFT_NONE\tovk5seq\t\t0x0\t",
        "F\tStream restarted: the sequence number jumps and the next record follows on\tovk5seq.restart\tFT_NONE"
        "\tovk5seq\t\t0x0\t",
    }));
}

} // namespace
} // namespace ovk::test
