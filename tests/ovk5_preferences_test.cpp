// The OVK5 port-range preferences and the hand-off that keeps the
// "tcp.port" and "udp.port" tables in step with them.

#include <gtest/gtest.h>

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

} // namespace
} // namespace ovk::test
