// SPDX-License-Identifier: GPL-2.0-or-later
// OVK5 dissection in-process: header fields, bytes taken, rejection of
// short payloads and the hand-on to Ethernet.

#include <gtest/gtest.h>

#include "displayed_values.h"
#include "epan_harness.h"
#include "test_captures.h"

namespace ovk::test {
namespace {

// Header bytes with every field distinct, including a blob size (42) that
// does not match the frame behind it.
const Bytes sample_header = {0x2a, 0x00, 0x07, 0xa5, 0x00, 0x00, 0x00, 0x00,
                             0x01, 0x00, 0x00, 0x00, 0x34, 0x12, 0xcd, 0xab};

Bytes with_inner_frame(const Bytes &header)
{
    Bytes payload = header;
    const Bytes inner = inner_frame_for(7);
    payload.insert(payload.end(), inner.begin(), inner.end());
    return payload;
}

void expect_sample_header_fields(const Dissection &d)
{
    EXPECT_EQ(d.value("ovk5.bs"), "42");
    EXPECT_EQ(d.value("ovk5.if"), "7");
    EXPECT_EQ(d.value("ovk5.res"), "0xa5");
    EXPECT_EQ(d.value("ovk5.ts"), utc_time(0, 1));
    EXPECT_EQ(d.value("ovk5.rid0"), "0x1234");
    EXPECT_EQ(d.value("ovk5.rid1"), "0xabcd");
}

TEST(Ovk5Dissector, DecodesHeaderAndInnerFrameOverUdp)
{
    const Dissection d = dissect(WTAP_ENCAP_ETHERNET, over_udp(with_inner_frame(sample_header)));
    expect_sample_header_fields(d);
    // Outer and inner IPv4/UDP both decoded; the inner frame is complete
    // although the blob size disagrees with it.
    EXPECT_EQ(d.fields.at("ip.src"), (std::vector<std::string>{"192.0.2.1", "192.0.2.10"}));
    EXPECT_EQ(d.fields.at("udp.dstport"), (std::vector<std::string>{"21171", "40001"}));
    EXPECT_EQ(d.count("eth.src"), 2u);
    EXPECT_FALSE(d.has("_ws.malformed"));
    EXPECT_EQ(d.protocol_column, "OVK5");
    EXPECT_EQ(d.info_column, "40000 → 40001 Len=8");
}

TEST(Ovk5Dissector, DecodesHeaderOverTcp)
{
    const Dissection d = dissect(WTAP_ENCAP_ETHERNET, over_tcp(with_inner_frame(sample_header)));
    expect_sample_header_fields(d);
    EXPECT_EQ(d.fields.at("ip.src"), (std::vector<std::string>{"192.0.2.1", "192.0.2.10"}));
    EXPECT_EQ(d.protocol_column, "OVK5");
}

TEST(Ovk5Dissector, TakesWholePayload)
{
    Bytes payload = with_inner_frame(sample_header);
    payload.resize(100, 0);
    const ProbeResult r = call_bound_dissector("udp.port", ovk5_udp_port, payload);
    ASSERT_TRUE(r.handle_found);
    EXPECT_FALSE(r.exception_raised);
    EXPECT_EQ(r.bytes_taken, 100);
}

TEST(Ovk5Dissector, RejectsPayloadShorterThanHeader)
{
    const Bytes payload(sample_header.begin(), sample_header.end() - 1);
    Dissection d;
    const ProbeResult r = call_bound_dissector("udp.port", ovk5_udp_port, payload, &d);
    ASSERT_TRUE(r.handle_found);
    EXPECT_EQ(r.bytes_taken, 0);
    EXPECT_FALSE(d.has("ovk5"));
    EXPECT_FALSE(d.has("eth.src"));
    EXPECT_NE(d.protocol_column, "OVK5");

    // Through UDP, the rejected payload falls back to data.
    const Dissection via_udp = dissect(WTAP_ENCAP_ETHERNET, over_udp(payload));
    EXPECT_FALSE(via_udp.has("ovk5"));
    EXPECT_TRUE(via_udp.has("data.data"));
    EXPECT_EQ(via_udp.protocol_column, "UDP");
}

TEST(Ovk5Dissector, HeaderOnlyPayloadShowsFieldsAndEmptyFrameIsMalformed)
{
    Dissection d;
    const ProbeResult r = call_bound_dissector("udp.port", ovk5_udp_port, sample_header, &d);
    ASSERT_TRUE(r.handle_found);
    expect_sample_header_fields(d);
    // The Ethernet dissector's exception on the empty frame is shown in
    // the frame and goes no further: the OVK5 dissector returns.
    EXPECT_FALSE(r.exception_raised);
    EXPECT_EQ(r.bytes_taken, 16);
    EXPECT_TRUE(d.has("_ws.malformed"));
}

TEST(Ovk5Dissector, TruncatedCaptureIsMarkedNotFatal)
{
    const Bytes frame = over_udp(with_inner_frame(sample_header));
    // Captured up to the middle of the OVK5 time stamp.
    const Bytes cut(frame.begin(), frame.begin() + udp_payload_offset + 6);
    const Dissection d = dissect(WTAP_ENCAP_ETHERNET, cut, static_cast<std::uint32_t>(frame.size()));
    EXPECT_EQ(d.value("ovk5.bs"), "42");
    EXPECT_FALSE(d.has("ovk5.ts"));
    EXPECT_TRUE(d.has("_ws.short"));
}

TEST(Ovk5Dissector, WithoutEthernetDissectorHandsBytesToData)
{
    Dissection d;
    probe({ProbeRequest::Action::ethernet_without_handle, "", 0}, inner_frame_for(1), &d);
    EXPECT_TRUE(d.has("data.data"));
    EXPECT_FALSE(d.has("eth.src"));
    EXPECT_FALSE(d.has("_ws.malformed"));
}

} // namespace
} // namespace ovk::test
