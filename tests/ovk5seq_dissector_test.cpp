// SPDX-License-Identifier: GPL-2.0-or-later
// OVK5SEQ dissection in-process: header fields, the missing-frames expert
// entry, bytes taken and the link-type binding.

#include <gtest/gtest.h>

#include <epan/proto.h>

#include "displayed_values.h"
#include "epan_harness.h"
#include "test_captures.h"

namespace ovk::test {
namespace {

Bytes record(std::uint8_t missing_frames, std::uint16_t sequence = 261)
{
    Ovk5SeqHeader header;
    header.sequence = sequence;
    header.interface = 2;
    header.missing_frames = missing_frames;
    header.ts_seconds = 0;
    header.ts_nanoseconds = 1;
    header.reserved = 0xffffffff;
    return ovk5seq_record(header, inner_frame_for(3));
}

TEST(Ovk5SeqDissector, DecodesHeaderAndInnerFrame)
{
    const Bytes bytes = record(0);
    ASSERT_EQ(bytes[0], 0x05);
    ASSERT_EQ(bytes[1], 0x01);
    const Dissection d = dissect(WTAP_ENCAP_USER3, bytes);
    EXPECT_EQ(d.value("ovk5seq.seq"), "261");
    EXPECT_EQ(d.value("ovk5seq.if"), "2");
    EXPECT_EQ(d.value("ovk5seq.missing_frame"), "0");
    EXPECT_EQ(d.value("ovk5seq.ts"), utc_time(0, 1));
    // The frame behind the header, not the header, is the Ethernet frame.
    EXPECT_EQ(d.value("eth.src"), "02:00:00:00:00:0a");
    EXPECT_EQ(d.value("ip.src"), "192.0.2.10");
    EXPECT_EQ(d.value("ip.dst"), "192.0.2.20");
    EXPECT_EQ(d.value("udp.srcport"), "40000");
    EXPECT_EQ(d.value("udp.dstport"), "40001");
    EXPECT_FALSE(d.has("_ws.malformed"));
    EXPECT_FALSE(d.has("ovk5seq.missing_frames"));
    // "OVK5SEQ" is written before the inner protocols, which replace it.
    EXPECT_EQ(d.protocol_column, "UDP");
}

TEST(Ovk5SeqDissector, OneExpertErrorPerRecordWithMissingFrames)
{
    for (const std::uint8_t missing : {1, 255}) {
        SCOPED_TRACE(static_cast<int>(missing));
        // Each the first of its file: no sequence to compare with.
        Capture capture(WTAP_ENCAP_USER3);
        const Dissection d = capture.add(record(missing));
        EXPECT_EQ(d.value("ovk5seq.missing_frame"), std::to_string(missing));
        EXPECT_EQ(d.count("ovk5seq.missing_frames"), 1u);
        EXPECT_EQ(d.value("_ws.expert.message"), "Missing frames between this and last frame.");
        EXPECT_EQ(d.value("_ws.expert.severity"), std::to_string(PI_ERROR));
        EXPECT_EQ(d.value("_ws.expert.group"), std::to_string(PI_SEQUENCE));
        // Reported when no tree is built too, as tshark reads by default.
        EXPECT_EQ(Capture(WTAP_ENCAP_USER3).add(record(missing), 0, 0, Tree::none).expert_severity, PI_ERROR);
    }
    EXPECT_EQ(Capture(WTAP_ENCAP_USER3).add(record(0), 0, 0, Tree::none).expert_severity, 0);
}

TEST(Ovk5SeqDissector, TakesWholeRecordAndShowsShortOnesAsMalformed)
{
    Bytes bytes = record(0);
    bytes.resize(74, 0);
    ProbeResult r = call_bound_dissector("wtap_encap", WTAP_ENCAP_USER3, bytes);
    ASSERT_TRUE(r.handle_found);
    EXPECT_EQ(r.bytes_taken, 74);

    // Nothing else decodes link-type 150: a record of 1 to 15 bytes is shown
    // as OVK5SEQ with its bytes and an error, not as a blank line.
    for (const std::size_t size : {1u, 15u}) {
        bytes.resize(size);
        const Dissection whole = dissect(WTAP_ENCAP_USER3, bytes);
        EXPECT_EQ(whole.protocol_column, "OVK5SEQ") << size;
        EXPECT_TRUE(whole.has("ovk5seq"));
        EXPECT_EQ(whole.count("ovk5seq.too_short"), 1u);
        EXPECT_EQ(whole.value("_ws.expert.message"), "Record shorter than the 16-byte header");
        EXPECT_EQ(whole.value("_ws.expert.severity"), std::to_string(PI_ERROR));
        EXPECT_EQ(whole.value("_ws.expert.group"), std::to_string(PI_MALFORMED));
        EXPECT_EQ(whole.value("data.len"), std::to_string(size));
        EXPECT_FALSE(whole.has("ovk5seq.seq"));
    }
}

TEST(Ovk5SeqDissector, HeaderOnlyRecordShowsHeaderThenMalformedFrame)
{
    const Bytes header = encode(Ovk5SeqHeader{7, 1, 3, 0, 0, 0});
    const Dissection d = dissect(WTAP_ENCAP_USER3, header);
    EXPECT_EQ(d.value("ovk5seq.seq"), "7");
    EXPECT_EQ(d.count("ovk5seq.missing_frames"), 1u);
    EXPECT_TRUE(d.has("_ws.malformed"));
}

TEST(Ovk5SeqDissector, BoundOnlyToUser3AndKeptAcrossHandOffs)
{
    EXPECT_EQ(keys_bound_to("wtap_encap", "ovk5seq"), std::vector<std::uint32_t>{48});
    ASSERT_TRUE(set_preference("ovk5.udp.port", "21172"));
    ASSERT_TRUE(set_preference("ovk5.udp.port", "21171"));
    proto_reg_handoff_ovk5seq();
    proto_reg_handoff_ovk5seq();
    EXPECT_EQ(keys_bound_to("wtap_encap", "ovk5seq"), std::vector<std::uint32_t>{48});
    EXPECT_EQ(dissect(WTAP_ENCAP_USER3, record(1)).value("ovk5seq.seq"), "261");

    // The same bytes under other link types never reach OVK5SEQ.
    for (const int encap : {WTAP_ENCAP_USER2, WTAP_ENCAP_ETHERNET}) {
        const Dissection d = dissect(encap, record(1));
        EXPECT_FALSE(d.has("ovk5seq")) << encap;
    }
}

} // namespace
} // namespace ovk::test
