// SPDX-License-Identifier: GPL-2.0-or-later
// The OVK5 port-range preferences: the hand-off that keeps the "tcp.port"
// and "udp.port" tables in step with them (in-process), and what tshark
// decodes with them set on the command line or in a preferences file,
// malformed values included.

#include <gtest/gtest.h>

#include <epan/packet.h>

#include <algorithm>

#include "displayed_values.h"
#include "epan_harness.h"
#include "test_captures.h"
#include "tshark_runner.h"

namespace ovk::test {
namespace {

using Ports = std::vector<std::uint32_t>;

const Lines bad_ranges = {"abc", "70000", "65530-65536", "1--2", "x-5"};

class Ovk5Preferences : public ::testing::Test {
protected:
    void SetUp() override { start_epan(); }
    void TearDown() override
    {
        set_preference("ovk5.tcp.port", "21103");
        set_preference("ovk5.udp.port", "21171");
    }
    static Ports tcp() { return keys_bound_to("tcp.port", "ovk5"); }
    static Ports udp() { return keys_bound_to("udp.port", "ovk5"); }
};

TEST_F(Ovk5Preferences, DefaultsBindOnePortPerTransport)
{
    EXPECT_EQ(tcp(), Ports{ovk5_tcp_port});
    EXPECT_EQ(udp(), Ports{ovk5_udp_port});
}

TEST_F(Ovk5Preferences, ChangedRangeMovesBindings)
{
    ASSERT_TRUE(set_preference("ovk5.tcp.port", "100-102,400"));
    EXPECT_EQ(tcp(), (Ports{100, 101, 102, 400}));
    EXPECT_EQ(udp(), Ports{21171});

    ASSERT_TRUE(set_preference("ovk5.tcp.port", "101"));
    EXPECT_EQ(tcp(), Ports{101});
}

TEST_F(Ovk5Preferences, EmptyRangeUnbindsAndNextRangeStartsFromIt)
{
    ASSERT_TRUE(set_preference("ovk5.udp.port", ""));
    EXPECT_EQ(udp(), Ports{});
    EXPECT_EQ(tcp(), Ports{21103});

    ASSERT_TRUE(set_preference("ovk5.udp.port", "7000-7001"));
    EXPECT_EQ(udp(), (Ports{7000, 7001}));
}

TEST_F(Ovk5Preferences, RepeatedHandOffKeepsSameBindings)
{
    ASSERT_TRUE(set_preference("ovk5.tcp.port", "100-102"));
    for (int i = 0; i < 3; ++i) {
        proto_reg_handoff_ovk5();
        EXPECT_EQ(tcp(), (Ports{100, 101, 102}));
        EXPECT_EQ(udp(), Ports{21171});
    }
}

TEST_F(Ovk5Preferences, PortInBothRangesIsBoundInEachTableIndependently)
{
    ASSERT_TRUE(set_preference("ovk5.tcp.port", "5000"));
    ASSERT_TRUE(set_preference("ovk5.udp.port", "5000"));
    EXPECT_EQ(tcp(), Ports{5000});
    EXPECT_EQ(udp(), Ports{5000});

    ASSERT_TRUE(set_preference("ovk5.tcp.port", "6000"));
    EXPECT_EQ(tcp(), Ports{6000});
    EXPECT_EQ(udp(), Ports{5000});
}

TEST_F(Ovk5Preferences, PortLeftIsGivenBackToItsOwner)
{
    dissector_table_t udp_table = find_dissector_table("udp.port");
    dissector_table_t tcp_table = find_dissector_table("tcp.port");
    const dissector_handle_t dns = dissector_get_uint_handle(udp_table, 53);
    const dissector_handle_t http = dissector_get_uint_handle(tcp_table, 80);
    ASSERT_NE(dns, nullptr);
    ASSERT_NE(http, nullptr);
    // The GUI applies the preferences on every OK, changed or not.
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(set_preference("ovk5.udp.port", "53,21171"));
        ASSERT_TRUE(set_preference("ovk5.tcp.port", "80"));
        proto_reg_handoff_ovk5();
        EXPECT_EQ(udp(), (Ports{53, 21171}));
        EXPECT_EQ(tcp(), Ports{80});
        ASSERT_TRUE(set_preference("ovk5.udp.port", "21171"));
        ASSERT_TRUE(set_preference("ovk5.tcp.port", "21103"));
        proto_reg_handoff_ovk5();
        EXPECT_EQ(dissector_get_uint_handle(udp_table, 53), dns) << "round " << round;
        EXPECT_EQ(dissector_get_uint_handle(tcp_table, 80), http) << "round " << round;
        EXPECT_FALSE(dissector_is_uint_changed(udp_table, 53));
    }
}

TEST_F(Ovk5Preferences, MalformedRangeIsRefusedAndBindingStays)
{
    ASSERT_TRUE(set_preference("ovk5.udp.port", "30000,30002"));
    for (const std::string &value : bad_ranges) {
        EXPECT_FALSE(set_preference("ovk5.udp.port", value)) << value;
        EXPECT_FALSE(set_preference("ovk5.tcp.port", value)) << value;
        EXPECT_EQ(udp(), (Ports{30000, 30002})) << value;
        EXPECT_EQ(tcp(), Ports{21103}) << value;
    }
}

TEST_F(Ovk5Preferences, OpenAndChainedRangesFollowAnalyserSyntax)
{
    // "5-" is the analyser's open range: 5 up to the highest port.
    ASSERT_TRUE(set_preference("ovk5.udp.port", "5-"));
    const Ports open = udp();
    ASSERT_EQ(open.size(), 65531u);
    EXPECT_EQ(open.front(), 5u);
    EXPECT_EQ(open.back(), 65535u);

    // Back to one port: none of the 65531 entries may linger.
    ASSERT_TRUE(set_preference("ovk5.udp.port", "21171"));
    EXPECT_EQ(udp(), Ports{21171});

    // Wireshark 4.0 reads "1-2-3" as "1-2,1-3"; later parsers may refuse
    // it. Either way the table holds exactly what the analyser accepted.
    if (set_preference("ovk5.udp.port", "1-2-3"))
        EXPECT_EQ(udp(), (Ports{1, 2, 3}));
    else
        EXPECT_EQ(udp(), Ports{21171});
}

class Ovk5PreferencesTshark : public ::testing::Test {
protected:
    // What the ports and Decode As decide alone: the heuristics would find
    // OVK5 on any port.
    void SetUp() override { stage_.write_profile_file("heuristic_protos", "ovk5_udp,0\novk5_tcp,0\n"); }
    std::string capture(const std::string &name, std::uint16_t port)
    {
        Ovk5CaptureOptions options;
        options.port = port;
        options.count = 1;
        const std::string path = stage_.path(name);
        write_ovk5_capture(path, options);
        return path;
    }
    TsharkStage stage_;
};

TEST_F(Ovk5PreferencesTshark, DefaultsAreListed)
{
    const Lines prefs = stage_.lines({"-G", "defaultprefs"});
    const Lines expected = {
        "# TCP Ports range",
        "# A string denoting an positive integer range (e.g., \"1-20,30-40\")",
        "#ovk5.tcp.port: 21103",
        "",
        "# UDP Ports range",
        "# A string denoting an positive integer range (e.g., \"1-20,30-40\")",
        "#ovk5.udp.port: 21171",
        "",
        "# Per stream (sender and interface): the previous header, the time since the last valid time stamp, "
        "with a warning where it runs backwards, and the delivery delay from the hardware to the capturing host",
        boolean_preference_hint,
        "#ovk5.analyze: TRUE",
        "",
        "# Whether OVK5 over TCP is read as a stream of records, each its 16-byte header followed by an Ethernet "
        "frame of Blob size bytes, so that several records in one segment and a record split over segments are "
        "all decoded, whether or not TCP's \"Allow subdissector to reassemble TCP streams\" is on. Off: each TCP "
        "payload is one record.",
        boolean_preference_hint,
        "#ovk5.tcp.desegment: FALSE",
    };
    EXPECT_NE(std::search(prefs.begin(), prefs.end(), expected.begin(), expected.end()), prefs.end());
}

TEST_F(Ovk5PreferencesTshark, PortsOnCommandLineSelectWhatIsDecoded)
{
    const std::string on_30000 = capture("30000.pcap", 30000);
    const std::string on_default = capture("default.pcap", ovk5_udp_port);
    const Lines protocol = {"-e", "_ws.col.Protocol", "-e", "ovk5.if"};
    auto decode = [&](const std::string &path, Lines prefs) {
        prefs.insert(prefs.end(), protocol.begin(), protocol.end());
        return stage_.fields(path, prefs);
    };

    EXPECT_EQ(decode(on_30000, {}), Lines{"UDP|"});
    EXPECT_EQ(decode(on_30000, {"-o", "ovk5.udp.port:30000"}), Lines{"OVK5|0"});
    EXPECT_EQ(decode(on_default, {"-o", "ovk5.udp.port:30000"}), Lines{"UDP|"});
    EXPECT_EQ(decode(on_default, {"-o", "ovk5.udp.port:1-100,21171"}), Lines{"OVK5|0"});
    // A TCP range does not bind UDP ports.
    EXPECT_EQ(decode(on_default, {"-o", "ovk5.udp.port:", "-o", "ovk5.tcp.port:21171"}), Lines{"UDP|"});
}

TEST_F(Ovk5PreferencesTshark, MalformedRangeOnCommandLineIsRefused)
{
    const std::string path = capture("one.pcap", ovk5_udp_port);
    for (const std::string &value : bad_ranges) {
        for (const std::string pref : {"ovk5.udp.port:", "ovk5.tcp.port:"}) {
            const TsharkResult r = stage_.run({"-o", pref + value, "-r", path});
            EXPECT_EQ(r.exit_code, 1) << pref << value;
            EXPECT_EQ(r.err, "tshark: Invalid -o flag \"" + pref + value + "\"\n");
            EXPECT_EQ(r.out, "");
        }
    }
}

TEST_F(Ovk5PreferencesTshark, MalformedRangeInPreferencesFileKeepsDefault)
{
    const std::string path = capture("one.pcap", ovk5_udp_port);
    stage_.write_profile_file("preferences", "ovk5.udp.port: abc\n");

    const TsharkResult r = stage_.run({"-r", path, "-T", "fields", "-e", "_ws.col.Protocol", "-e", "ovk5.if"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.err.find("Syntax error in preference"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("ovk5.udp.port"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "OVK5\t0\n");
}

TEST_F(Ovk5PreferencesTshark, PortOverMaximumInPreferencesFileIsClampedByAnalyser)
{
    // The analyser lowers numbers over the maximum read from a preferences
    // file to the maximum, without a warning, instead of refusing them.
    const std::string on_max = capture("max.pcap", 65535);
    const std::string on_default = capture("default.pcap", ovk5_udp_port);
    stage_.write_profile_file("preferences", "ovk5.udp.port: 70000\n");

    EXPECT_EQ(stage_.fields(on_max, {"-e", "_ws.col.Protocol"}), Lines{"OVK5"});
    EXPECT_EQ(stage_.fields(on_default, {"-e", "_ws.col.Protocol"}), Lines{"UDP"});
}

} // namespace
} // namespace ovk::test
