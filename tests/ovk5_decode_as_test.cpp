// SPDX-License-Identifier: GPL-2.0-or-later
// "Decode As": OVK5 on ports its preferences do not name, chosen by the
// user in the dialog or with tshark -d.

#include <gtest/gtest.h>

#include <epan/packet.h>

#include "epan_harness.h"
#include "test_captures.h"
#include "tshark_runner.h"

namespace ovk::test {
namespace {

bool offered_for_decode_as(const char *table_name)
{
    dissector_table_t table = find_dissector_table(table_name);
    if (!table || !dissector_table_supports_decode_as(table))
        return false;
    // The table's own list, not a copy.
    bool found = false;
    for (GSList *entry = dissector_table_get_dissector_handles(table); entry; entry = entry->next) {
        const char *name = dissector_handle_get_protocol_short_name(static_cast<dissector_handle_t>(entry->data));
        found = found || (name && std::string(name) == "OVK5");
    }
    return found;
}

TEST(Ovk5DecodeAs, OfferedForTcpAndUdpPortsEvenWithEmptyRanges)
{
    start_epan();
    ASSERT_TRUE(set_preference("ovk5.tcp.port", ""));
    ASSERT_TRUE(set_preference("ovk5.udp.port", ""));
    EXPECT_TRUE(offered_for_decode_as("tcp.port"));
    EXPECT_TRUE(offered_for_decode_as("udp.port"));
    ASSERT_TRUE(set_preference("ovk5.tcp.port", "21103"));
    ASSERT_TRUE(set_preference("ovk5.udp.port", "21171"));
}

TEST(Ovk5DecodeAs, ChoiceOnAnOvk5PortSurvivesPreferenceChanges)
{
    start_epan();
    dissector_table_t udp = find_dissector_table("udp.port");
    dissector_handle_t data = find_dissector("data");
    dissector_change_uint("udp.port", 21171, data);

    ASSERT_TRUE(set_preference("ovk5.tcp.port", "5"));
    EXPECT_EQ(dissector_get_uint_handle(udp, 21171), data);
    ASSERT_TRUE(set_preference("ovk5.udp.port", "21171,30000"));
    EXPECT_EQ(dissector_get_uint_handle(udp, 21171), data);
    EXPECT_EQ(keys_bound_to("udp.port", "ovk5"), (std::vector<std::uint32_t>{30000}));
    ASSERT_TRUE(set_preference("ovk5.udp.port", "30000"));
    EXPECT_EQ(dissector_get_uint_handle(udp, 21171), data);

    // Undoing the choice gives the port back to OVK5 once its range has it.
    dissector_reset_uint("udp.port", 21171);
    ASSERT_TRUE(set_preference("ovk5.udp.port", "21171"));
    ASSERT_TRUE(set_preference("ovk5.tcp.port", "21103"));
    EXPECT_EQ(keys_bound_to("udp.port", "ovk5"), (std::vector<std::uint32_t>{21171}));
    EXPECT_EQ(keys_bound_to("tcp.port", "ovk5"), (std::vector<std::uint32_t>{21103}));
}

class Ovk5DecodeAsTshark : public ::testing::Test {
protected:
    // What the ports and Decode As decide alone: the heuristics would find
    // OVK5 on any port.
    void SetUp() override { stage_.write_profile_file("heuristic_protos", "ovk5_udp,0\novk5_tcp,0\n"); }
    std::string capture(const std::string &name, Transport transport, std::uint16_t port)
    {
        Ovk5CaptureOptions options;
        options.transport = transport;
        options.port = port;
        options.count = 2;
        const std::string path = stage_.path(name);
        write_ovk5_capture(path, options);
        return path;
    }
    Lines decode(const std::string &path, Lines options)
    {
        options.insert(options.end(), {"-e", "_ws.col.Protocol", "-e", "ovk5.rid0", "-e", "udp.dstport"});
        return stage_.fields(path, options);
    }
    TsharkStage stage_;
};

TEST_F(Ovk5DecodeAsTshark, UdpPortChosenOnCommandLine)
{
    const std::string path = capture("udp-30000.pcap", Transport::udp, 30000);
    EXPECT_EQ(decode(path, {}), Lines(2, "UDP||30000"));
    EXPECT_EQ(decode(path, {"-d", "udp.port==30000,ovk5"}), Lines(2, "OVK5|0x1234|30000,40001"));
    EXPECT_EQ(decode(path, {"-d", "udp.port==30001,ovk5"}), Lines(2, "UDP||30000"));
}

TEST_F(Ovk5DecodeAsTshark, TcpPortChosenOnCommandLine)
{
    const std::string path = capture("tcp-443.pcap", Transport::tcp, 443);
    EXPECT_EQ(decode(path, {"-d", "tcp.port==443,ovk5"}), Lines(2, "OVK5|0x1234|40001"));
}

TEST_F(Ovk5DecodeAsTshark, WorksWithThePortPreferencesEmptied)
{
    const std::string path = capture("udp-30000.pcap", Transport::udp, 30000);
    EXPECT_EQ(decode(path, {"-o", "ovk5.udp.port:", "-o", "ovk5.tcp.port:", "-d", "udp.port==30000,ovk5"}),
              Lines(2, "OVK5|0x1234|30000,40001"));
}

TEST_F(Ovk5DecodeAsTshark, EntrySavedByTheDecodeAsDialogApplies)
{
    // What Wireshark's Decode As dialog saves in the profile when "OVK5" is
    // chosen for a UDP port; tshark reads the same file.
    const std::string path = capture("udp-30000.pcap", Transport::udp, 30000);
    stage_.write_profile_file("decode_as_entries", "# \"Decode As\" entries file for Wireshark 4.0.\n"
                                                   "decode_as_entry: udp.port,30000,(none),OVK5\n");
    EXPECT_EQ(decode(path, {}), Lines(2, "OVK5|0x1234|30000,40001"));
}

TEST_F(Ovk5DecodeAsTshark, SavedChoiceForAnOvk5PortBeatsChangedPreferences)
{
    // Decode As set the default OVK5 port to "Data", and some OVK5
    // preference differs from its default: applying the preferences after
    // the Decode As entries must not undo the user's choice.
    const std::string path = capture("udp-default.pcap", Transport::udp, ovk5_udp_port);
    stage_.write_profile_file("decode_as_entries", "decode_as_entry: udp.port,21171,OVK5,Data\n");
    stage_.write_profile_file("preferences", "ovk5.tcp.port: 5\n");
    EXPECT_EQ(decode(path, {}), Lines(2, "UDP||21171"));
    EXPECT_EQ(decode(path, {"-o", "ovk5.udp.port:21171,30000"}), Lines(2, "UDP||21171"));
    EXPECT_EQ(decode(path, {"-d", "udp.port==21171,ovk5"}), Lines(2, "OVK5|0x1234|21171,40001"));
}

TEST_F(Ovk5DecodeAsTshark, ChoiceOfOvk5OnItsDefaultPortsHoldsWhateverTheRanges)
{
    const std::string udp = capture("udp-default.pcap", Transport::udp, ovk5_udp_port);
    const Lines as_ovk5(2, "OVK5|0x1234|21171,40001");
    EXPECT_EQ(decode(udp, {"-o", "ovk5.udp.port:30000", "-d", "udp.port==21171,ovk5"}), as_ovk5);
    EXPECT_EQ(decode(udp, {"-o", "ovk5.udp.port:", "-d", "udp.port==21171,ovk5"}), as_ovk5);
    const std::string tcp = capture("tcp-default.pcap", Transport::tcp, ovk5_tcp_port);
    EXPECT_EQ(decode(tcp, {"-o", "ovk5.tcp.port:", "-d", "tcp.port==21103,ovk5"}), Lines(2, "OVK5|0x1234|40001"));

    stage_.write_profile_file("decode_as_entries", "decode_as_entry: udp.port,21171,OVK5,OVK5\n");
    EXPECT_EQ(decode(udp, {"-o", "ovk5.udp.port:30000"}), as_ovk5);
}

TEST_F(Ovk5DecodeAsTshark, UnknownProtocolNameIsRefused)
{
    const std::string path = capture("udp-30000.pcap", Transport::udp, 30000);
    const TsharkResult result = stage_.run({"-r", path, "-d", "udp.port==30000,ovk6"});
    EXPECT_NE(result.exit_code, 0);
    EXPECT_NE(result.err.find("ovk6"), std::string::npos) << result.err;
}

} // namespace
} // namespace ovk::test
