// The OVK5 port-range preferences and the hand-off that keeps the
// "tcp.port" and "udp.port" tables in step with them.

#include <gtest/gtest.h>

#include <epan/packet.h>

#include "epan_harness.h"

void proto_reg_handoff_ovk5(void);

namespace ovk::test {
namespace {

using Ports = std::vector<std::uint32_t>;

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
    EXPECT_EQ(tcp(), Ports{21103});
    EXPECT_EQ(udp(), Ports{21171});
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

} // namespace
} // namespace ovk::test
