// SPDX-License-Identifier: GPL-2.0-or-later
// OVK5 found by its content on ports no preference names: what the UDP and
// TCP heuristics accept, and what tshark then decodes.

#include <gtest/gtest.h>

#include <epan/packet.h>

#include <algorithm>
#include <cstdio>
#include <optional>

#include "capture_writer.h"
#include "epan_harness.h"
#include "test_captures.h"
#include "tshark_runner.h"

namespace ovk::test {
namespace {

constexpr std::int64_t now = 1700000000;
constexpr std::int64_t day = 86400;

Bytes record(std::int64_t seconds, std::uint32_t nanoseconds = 0, Bytes frame = inner_frame_for(1))
{
    Ovk5Header header;
    header.ts_seconds = static_cast<std::uint32_t>(seconds);
    header.ts_nanoseconds = nanoseconds;
    return ovk5_payload(header, frame);
}

Bytes operator+(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes cut(Bytes bytes, std::size_t size)
{
    bytes.resize(size);
    return bytes;
}

Bytes with_byte(Bytes bytes, std::size_t at, std::uint8_t value)
{
    bytes.at(at) = value;
    return bytes;
}

// An LLC frame: an 802.3 length instead of an EtherType.
Bytes llc_frame(std::uint16_t length_field)
{
    Bytes frame = cut(inner_frame_for(1), 12);
    put_be16(frame, length_field);
    frame.insert(frame.end(), 46, 0x42);
    return frame;
}

struct Case {
    const char *what;
    Bytes payload;
    std::optional<std::int64_t> capture_time;
    bool udp;  // taken by ovk5_udp
    bool tcp;  // taken by ovk5_tcp
};

TEST(Ovk5Heuristic, WhatEachHeuristicTakes)
{
    const Bytes one = record(now);
    const std::size_t eth_type_at = ovk5_header_length + 12;
    const Case cases[] = {
        {"one record", one, now, true, true},
        {"records back to back", one + record(now, 5) + one, now, true, true},
        {"clock a day minus a second behind", record(now - day + 1), now, true, true},
        {"clock a day ahead", record(now + day + 1), now, false, false},
        {"clock at zero", record(0), now, false, false},
        {"nanoseconds one billion", record(now, 1000000000), now, false, false},
        {"a non-zero byte after the record", one + Bytes{1}, now, false, true},
        {"zero padding after the record", one + Bytes(20, 0), now, true, false},
        {"zero padding after two records", one + one + Bytes(3, 0), now, true, true},
        {"zero padding alone", Bytes(64, 0), now, false, false},
        {"a record cut short", cut(one, one.size() - 1), now, false, true},
        {"second record implausible", one + record(now + 2 * day), now, false, false},
        {"next header cut by the segment's end", one + cut(one, 10), now, false, true},
        {"multicast source", with_byte(one, ovk5_header_length + 6, 0x01), now, false, false},
        {"unknown EtherType", with_byte(one, eth_type_at, 0x12), now, false, false},
        {"802.3 length that fits", record(now, 0, llc_frame(46)), now, true, true},
        {"802.3 length past the frame", record(now, 0, llc_frame(47)), now, false, false},
        {"Blob size under an Ethernet header", cut(with_byte(one, 0, 13), 29), now, false, false},
        {"no capture time, one record", one, std::nullopt, false, false},
        {"no capture time, two records", one + record(now + 1), std::nullopt, true, true},
        {"no capture time, two records two days apart", one + record(now + 2 * day), std::nullopt, false, false},
        {"empty", {}, now, false, false},
        {"one byte", cut(one, 1), now, false, false},
        {"header only", cut(one, 16), now, false, false},
        {"header and part of the Ethernet header", cut(one, 29), now, false, false},
    };
    for (const Case &c : cases) {
        for (const auto &[name, expected] : {std::pair{"ovk5_udp", c.udp}, std::pair{"ovk5_tcp", c.tcp}}) {
            const ProbeResult r = try_heuristic(name, c.payload, c.capture_time);
            ASSERT_TRUE(r.handle_found) << name;
            EXPECT_FALSE(r.exception_raised) << c.what << ", " << name;
            EXPECT_EQ(r.bytes_taken > 0, expected) << c.what << ", " << name;
        }
    }
}

TEST(Ovk5Heuristic, RegisteredOnTheTransportsLists)
{
    start_epan();
    for (const auto &[name, list, title] : {std::tuple{"ovk5_udp", "udp", "OVK5 over UDP"},
                                            std::tuple{"ovk5_tcp", "tcp", "OVK5 over TCP"}}) {
        const heur_dtbl_entry_t *entry = find_heur_dissector_by_unique_short_name(name);
        ASSERT_NE(entry, nullptr) << name;
        EXPECT_STREQ(entry->list_name, list);
        EXPECT_STREQ(entry->display_name, title);
        EXPECT_TRUE(entry->enabled) << name;
        EXPECT_EQ(proto_get_id(entry->protocol), proto_get_id_by_filter_name("ovk5"));
    }
}

class Ovk5HeuristicTshark : public ::testing::Test {
protected:
    std::string write(const std::string &name, const std::vector<std::pair<std::int64_t, Bytes>> &frames)
    {
        const std::string path = stage_.path(name);
        CaptureWriter writer(path, linktype_ethernet);
        for (const auto &[seconds, frame] : frames)
            writer.write(static_cast<std::uint64_t>(seconds) * 1000000000u, frame);
        writer.commit();
        return path;
    }

    Lines decode(const std::string &path, Lines options)
    {
        options.insert(options.end(), {"-o", "ovk5.udp.port:", "-o", "ovk5.tcp.port:", "-e", "_ws.col.Protocol",
                                       "-e", "ovk5.rid0"});
        return stage_.fields(path, options);
    }

    TsharkStage stage_;
};

// The first datagram is found; the second, whose time stamp alone would
// not pass, is OVK5 because its conversation is; port 53 stays DNS.
TEST_F(Ovk5HeuristicTshark, UdpConversationFoundOnAnyPortUnlessAPortClaimsIt)
{
    const std::string path = write("udp.pcap", {{now, over_udp(record(now), 30000)},
                                                {now, over_udp(record(0), 30000)},
                                                {now, over_udp(record(now), 53)}});
    const Lines found = {"OVK5|0x0000", "OVK5|0x0000", "DNS|"};
    EXPECT_EQ(decode(path, {}), found);
    EXPECT_EQ(decode(path, {"-2"}), found);
    EXPECT_EQ(decode(path, {"--disable-heuristic", "ovk5_udp"}), (Lines{"UDP|", "UDP|", "DNS|"}));
    // Through Decode As, as before.
    EXPECT_EQ(decode(path, {"--disable-heuristic", "ovk5_udp", "-d", "udp.port==30000,ovk5"}), found);
}

// Three records written back to back on port 30001: two in the first
// segment, the third split over the next two, reassembled as on OVK5's
// own port.
TEST_F(Ovk5HeuristicTshark, TcpStreamFoundAndFramed)
{
    Bytes stream;
    for (std::uint16_t rid0 = 1; rid0 <= 3; ++rid0) {
        Ovk5Header header;
        header.ts_seconds = now;
        header.rid0 = rid0;
        stream = stream + ovk5_payload(header, inner_frame_for(rid0));
    }
    const std::size_t size = ovk5_header_length + inner_frame_for(0).size();
    const std::size_t cuts[] = {0, 2 * size, stream.size() - 20, stream.size()};
    std::vector<std::pair<std::int64_t, Bytes>> frames;
    Endpoints ends;
    ends.src_port = 50000;
    ends.dst_port = 30001;
    for (int i = 0; i < 3; ++i) {
        TcpSegment segment;
        segment.seq = 1 + static_cast<std::uint32_t>(cuts[i]);
        frames.push_back({now, ethernet_ipv4_tcp(ends, segment, Bytes(stream.begin() + cuts[i],
                                                                       stream.begin() + cuts[i + 1]))});
    }
    const std::string path = write("tcp.pcap", frames);
    const Lines reassembled = {"OVK5|0x0001,0x0002", "TCP|", "OVK5|0x0003"};
    EXPECT_EQ(decode(path, {"-o", "ovk5.tcp.desegment:TRUE"}), reassembled);
    EXPECT_EQ(decode(path, {"-o", "ovk5.tcp.desegment:TRUE", "-2"}), reassembled);
    EXPECT_EQ(decode(path, {"--disable-heuristic", "ovk5_tcp"}), (Lines{"TCP|", "TCP|", "TCP|"}));
}

// Port 30002, the capture starting inside a record and no segment starting
// with one: with OVK5's framing on, the segment holding a chain of records
// is found and every record from the first boundary on decoded.
TEST_F(Ovk5HeuristicTshark, TcpStreamFoundMidway)
{
    Bytes stream;
    for (std::uint16_t rid0 = 1; rid0 <= 40; ++rid0) {
        Ovk5Header header;
        header.ts_seconds = now;
        header.rid0 = rid0;
        stream = stream + ovk5_payload(header, inner_frame_for(rid0));
    }
    std::vector<std::pair<std::int64_t, Bytes>> frames;
    Endpoints ends;
    ends.src_port = 50000;
    ends.dst_port = 30002;
    // 66-byte records, 1,000-byte segments from byte 30 on.
    for (std::size_t at = 30; at < stream.size(); at += 1000) {
        TcpSegment segment;
        segment.seq = 1 + static_cast<std::uint32_t>(at);
        frames.push_back({now, ethernet_ipv4_tcp(ends, segment, Bytes(stream.begin() + at,
                                                                       stream.begin() + std::min(at + 1000, stream.size())))});
    }
    const std::string path = write("midway.pcap", frames);
    std::string expected;
    char rid[8];
    for (unsigned rid0 = 2; rid0 <= 40; ++rid0) {
        std::snprintf(rid, sizeof rid, "0x%04x", rid0);
        expected += (expected.empty() ? "" : ",") + std::string(rid);
    }
    for (const Lines &passes : {Lines{}, Lines{"-2"}}) {
        Lines options = {"-o", "ovk5.tcp.desegment:TRUE"};
        options.insert(options.end(), passes.begin(), passes.end());
        std::string shown;
        for (const std::string &line : decode(path, options)) {
            const std::string rids = line.substr(line.find('|') + 1);
            if (!rids.empty())
                shown += (shown.empty() ? "" : ",") + rids;
        }
        EXPECT_EQ(shown, expected);
    }
    EXPECT_EQ(decode(path, {}), (Lines{"TCP|", "TCP|", "TCP|"}));
}

TEST_F(Ovk5HeuristicTshark, ListedAndToggled)
{
    // List, protocol, enabled; later series add more columns.
    Lines listed;
    for (const std::string &line : stage_.lines({"-G", "heuristic-decodes"})) {
        const Lines columns = tab_columns(line);
        if (columns.size() >= 3 && columns[1] == "ovk5")
            listed.push_back(columns[0] + " " + columns[2]);
    }
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, (Lines{"tcp T", "udp T"}));
    // Off in the profile (Analyze > Enabled Protocols), on for one run.
    stage_.write_profile_file("heuristic_protos", "ovk5_udp,0\n");
    const std::string path = write("one.pcap", {{now, over_udp(record(now), 30000)}});
    EXPECT_EQ(decode(path, {}), (Lines{"UDP|"}));
    EXPECT_EQ(decode(path, {"--enable-heuristic", "ovk5_udp"}), (Lines{"OVK5|0x0000"}));
}

} // namespace
} // namespace ovk::test
