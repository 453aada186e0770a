// SPDX-License-Identifier: GPL-2.0-or-later
// The shared record rule without the analyser: what the tools' check
// refuses, and how a run of bytes walks as a chain of records.

#include <gtest/gtest.h>

#include "ovk_record_format.h"
#include "test_captures.h"

namespace ovk::test {
namespace {

Bytes record(std::uint32_t seconds, std::uint32_t nanoseconds = 0, std::uint16_t blob_size = 0)
{
    Ovk5Header header;
    header.ts_seconds = seconds;
    header.ts_nanoseconds = nanoseconds;
    Bytes bytes = ovk5_payload(header, inner_frame_for(1));
    if (blob_size) {
        bytes[0] = static_cast<std::uint8_t>(blob_size);
        bytes[1] = static_cast<std::uint8_t>(blob_size >> 8);
        bytes.resize(ovk5_header_length + blob_size, 0);
    }
    return bytes;
}

Bytes operator+(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bool no_ethertype_known(std::uint16_t)
{
    return false;
}

ovk5_plausibility check(const Bytes &bytes, const ovk5_check_rule &rule = ovk5_tool_rule)
{
    return ovk5_check_at({bytes.data(), bytes.size(), bytes.size()}, 0, rule);
}

TEST(RecordFormat, ToolRuleRefusesWhatTheDissectorsRefuse)
{
    const Bytes one = record(1700000000);
    Bytes small_blob = one;
    small_blob[0] = 13;
    small_blob[1] = 0;
    Bytes multicast = one;
    multicast[ovk5_header_length + 6] |= 0x01;
    EXPECT_EQ(check(one), ovk5_plausibility::plausible);
    EXPECT_EQ(check(small_blob), ovk5_plausibility::implausible);
    EXPECT_EQ(check(record(1700000000, 1000000000)), ovk5_plausibility::implausible);
    EXPECT_EQ(check(multicast), ovk5_plausibility::implausible);
    EXPECT_EQ(check(Bytes(one.begin(), one.begin() + 15)), ovk5_plausibility::incomplete);
    EXPECT_EQ(check(Bytes(one.begin(), one.begin() + 29)), ovk5_plausibility::incomplete);
    // Only the analyser can tell an EtherType unknown.
    const ovk5_check_rule strict = {no_ethertype_known, false, 0, 0, 0};
    EXPECT_EQ(check(one, strict), ovk5_plausibility::implausible);
    // The reference time: within the allowed offset, whichever side.
    ovk5_check_rule near = {nullptr, true, 1700000100, 0, 100};
    EXPECT_EQ(check(one, near), ovk5_plausibility::plausible);
    near.reference_secs = 1700000101;
    EXPECT_EQ(check(one, near), ovk5_plausibility::implausible);
    near.reference_secs = 1699999899;
    EXPECT_EQ(check(one, near), ovk5_plausibility::implausible);
}

struct ChainCase {
    const char *what;
    Bytes bytes;
    std::size_t captured;  // 0: all
    std::size_t max_records;
    std::size_t records;
    ovk5_chain_stop stop;
    std::size_t framed;  // ovk5_count_framed
};

TEST(RecordFormat, ChainWalk)
{
    const Bytes one = record(1700000000);
    const Bytes bad = record(1700000000, 1000000000);
    const Bytes two = one + record(1700000001, 5, 100);
    const ChainCase cases[] = {
        {"empty", {}, 0, SIZE_MAX, 0, ovk5_chain_stop::exact, 0},
        {"one record", one, 0, SIZE_MAX, 1, ovk5_chain_stop::exact, 1},
        {"two records", two, 0, SIZE_MAX, 2, ovk5_chain_stop::exact, 2},
        {"at most one", two, 0, 1, 1, ovk5_chain_stop::limit, 2},
        {"second implausible", one + bad, 0, SIZE_MAX, 1, ovk5_chain_stop::implausible, 2},
        {"second runs past", one + Bytes(one.begin(), one.end() - 1), 0, SIZE_MAX, 1, ovk5_chain_stop::overrun, 0},
        {"a byte after", one + Bytes{0}, 0, SIZE_MAX, 1, ovk5_chain_stop::incomplete, 0},
        {"second snapped", two, one.size() + 20, SIZE_MAX, 1, ovk5_chain_stop::incomplete, 2},
    };
    for (const ChainCase &c : cases) {
        const ovk_byte_run run = {c.bytes.data(), c.captured ? c.captured : c.bytes.size(), c.bytes.size()};
        const ovk5_chain chain = ovk5_walk_chain(run, 0, ovk5_tool_rule, c.max_records);
        EXPECT_EQ(chain.records, c.records) << c.what;
        EXPECT_EQ(chain.stop, c.stop) << c.what;
        const std::size_t ends[] = {0, one.size(), two.size()};
        EXPECT_EQ(chain.end, ends[c.records]) << c.what;
        EXPECT_EQ(ovk5_count_framed(c.bytes.data(), c.bytes.size()), c.framed) << c.what;
    }
}

} // namespace
} // namespace ovk::test
