// SPDX-License-Identifier: GPL-2.0-or-later
// Per-interface loss, sequence and timing analysis of both dissectors, in
// process: several OVK5 headers in one frame, each frame the same when
// selected again, a fresh start with every capture file, and the plain
// decode with the analysis off. The OVK5SEQ sequence and time cases are
// in analysis_tshark_test.cpp.

#include <gtest/gtest.h>

#include "epan_harness.h"
#include "generator.h"
#include "test_captures.h"

namespace ovk::test {
namespace {


using Values = std::vector<std::string>;

Bytes seq_record(std::uint16_t sequence, std::uint8_t interface, std::uint8_t missing, std::uint32_t seconds = 0,
                 std::uint32_t nanoseconds = 0)
{
    return ovk5seq_record(Ovk5SeqHeader{sequence, interface, missing, seconds, nanoseconds, 0}, inner_frame_for(0));
}

Values values(const Dissection &d, const std::string &field)
{
    auto it = d.fields.find(field);
    return it == d.fields.end() ? Values{} : it->second;
}

// Restores a preference at the end of a test, whatever its outcome.
class PreferenceOff {
public:
    explicit PreferenceOff(std::string name) : name_(std::move(name)) { EXPECT_TRUE(set_preference(name_, "FALSE")); }
    ~PreferenceOff() { set_preference(name_, "TRUE"); }

private:
    std::string name_;
};

TEST(Ovk5SeqAnalysis, EveryCaptureFileStartsAfresh)
{
    {
        Capture capture(WTAP_ENCAP_USER3);
        capture.add(seq_record(1, 1, 7));
        capture.add(seq_record(2, 1, 0));
    }
    Capture capture(WTAP_ENCAP_USER3);
    const Dissection d = capture.add(seq_record(9, 1, 0));
    EXPECT_FALSE(d.has("ovk5seq.prev_frame"));
    EXPECT_EQ(d.value("ovk5seq.lost_total"), "0");
}

TEST(Ovk5SeqAnalysis, OffGivesThePlainDecode)
{
    const Bytes records[] = {seq_record(1, 1, 0, 5, 0), seq_record(9, 1, 2, 4, 1000000000)};
    std::vector<Dissection> on;
    {
        Capture capture(WTAP_ENCAP_USER3);
        for (const Bytes &record : records)
            on.push_back(capture.add(record));
    }
    ASSERT_TRUE(on[1].has("ovk5seq.seq_mismatch"));

    PreferenceOff off("ovk5seq.analyze");
    Capture capture(WTAP_ENCAP_USER3);
    const Dissection plain_first = capture.add(records[0]);
    const Dissection plain_second = capture.add(records[1]);
    // The first record has no analysis finding beyond the generated fields.
    Dissection expected = on[0];
    expected.fields.erase("ovk5seq.lost_total");
    EXPECT_EQ(plain_first.fields, expected.fields);
    for (const char *analysed : {"ovk5seq.prev_frame", "ovk5seq.seq_gap", "ovk5seq.lost_total", "ovk5seq.ts_delta",
                                 "ovk5seq.seq_mismatch", "ovk5seq.ts_backwards", "ovk5seq.ts_invalid"})
        EXPECT_FALSE(plain_second.has(analysed)) << analysed;
    EXPECT_EQ(values(plain_second, "_ws.expert.message"), Values{"Missing frames between this and last frame."});
}

// OVK5 in UDP to its default port; inner, when given, is the OVK5 payload
// of a second packet inside the first one's Ethernet frame.
Bytes ovk5_frame(std::uint8_t interface, std::uint32_t seconds, std::uint32_t nanoseconds, const Bytes &inner = {})
{
    Ovk5Header header;
    header.interface = interface;
    header.ts_seconds = seconds;
    header.ts_nanoseconds = nanoseconds;
    return over_udp(ovk5_payload(header, inner.empty() ? inner_frame_for(0) : inner));
}

TEST(Ovk5Analysis, NestedHeadersEachKeepTheirOwnValues)
{
    Capture capture(WTAP_ENCAP_ETHERNET);
    // Outer headers on interface 1, inner ones on interface 2.
    capture.add(ovk5_frame(1, 100, 0, ovk5_frame(2, 50, 0)), 100, 2000);
    const Dissection second = capture.add(ovk5_frame(1, 100, 1000, ovk5_frame(2, 50, 3000)), 100, 5000);
    EXPECT_EQ(values(second, "ovk5.if"), (Values{"1", "2"}));
    EXPECT_EQ(values(second, "ovk5.prev_frame"), (Values{"1", "1"}));
    EXPECT_EQ(values(second, "ovk5.ts_delta"), (Values{"0.000001000", "0.000003000"}));
    EXPECT_EQ(values(second, "ovk5.delay"), (Values{"0.000004000", "50.000002000"}));

    const Dissection first_again = capture.again(1);
    EXPECT_FALSE(first_again.has("ovk5.prev_frame"));
    EXPECT_EQ(values(first_again, "ovk5.delay"), (Values{"0.000002000", "50.000002000"}));
    EXPECT_EQ(values(capture.again(2), "ovk5.ts_delta"), values(second, "ovk5.ts_delta"));
}

TEST(Ovk5Analysis, TimeStepsBackwardsAndInvalid)
{
    Capture capture(WTAP_ENCAP_ETHERNET);
    capture.add(ovk5_frame(3, 10, 0), 10, 0);
    const Dissection backwards = capture.add(ovk5_frame(3, 9, 0), 10, 0);
    const Dissection invalid = capture.add(ovk5_frame(3, 11, 4294967295u), 12, 0);

    EXPECT_EQ(backwards.value("ovk5.ts_delta"), "-1.000000000");
    EXPECT_EQ(backwards.count("ovk5.ts_backwards"), 1u);
    EXPECT_EQ(backwards.value("ovk5.delay"), "1.000000000");
    EXPECT_EQ(invalid.count("ovk5.ts_invalid"), 1u);
    EXPECT_EQ(invalid.value("ovk5.prev_frame"), "2");
    EXPECT_FALSE(invalid.has("ovk5.ts_delta"));
    EXPECT_FALSE(invalid.has("ovk5.delay"));
    // A capture time no 32-bit time stamp comes near gives no delay.
    EXPECT_FALSE(capture.add(ovk5_frame(3, 12, 0), std::int64_t{1} << 62, 0).has("ovk5.delay"));

    PreferenceOff off("ovk5.analyze");
    Capture plain(WTAP_ENCAP_ETHERNET);
    plain.add(ovk5_frame(3, 10, 0), 10, 0);
    const Dissection plain_invalid = plain.add(ovk5_frame(3, 11, 4294967295u), 12, 0);
    for (const char *analysed : {"ovk5.prev_frame", "ovk5.ts_delta", "ovk5.delay", "ovk5.ts_invalid", "_ws.expert"})
        EXPECT_FALSE(plain_invalid.has(analysed)) << analysed;
}

} // namespace
} // namespace ovk::test
