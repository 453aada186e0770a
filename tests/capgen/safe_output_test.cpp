// SPDX-License-Identifier: GPL-2.0-or-later
// The output file of the command-line tools, where the generator's command
// tests do not reach: a writer that closes the descriptor itself, the mode
// a rewritten file keeps, a character device, an abandoned output.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "safe_output.h"

namespace ovk::test {
namespace {

class SafeOutputs : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[] = "/tmp/ovk-safe-output-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir_ = name;
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    std::string path(const std::string &name) const { return dir_ + "/" + name; }
    static std::string contents(const std::string &file)
    {
        std::ifstream in(file, std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }

    std::string dir_;
};

TEST_F(SafeOutputs, WriterThatClosesTheDescriptorStillCommitsAndKeepsTheMode)
{
    const std::string target = path("kept.pcap");
    std::ofstream(target) << "old";
    ASSERT_EQ(chmod(target.c_str(), 0640), 0);

    SafeOutput output;
    std::string error;
    ASSERT_TRUE(output.open(target, &error)) << error;
    EXPECT_EQ(output.temp_path().rfind(target + ".", 0), 0u);
    std::FILE *file = fdopen(output.release_fd(), "wb");
    ASSERT_NE(file, nullptr);
    std::fputs("new", file);
    ASSERT_EQ(std::fclose(file), 0);
    EXPECT_EQ(contents(target), "old");
    ASSERT_TRUE(output.commit(&error)) << error;

    EXPECT_EQ(contents(target), "new");
    struct stat st;
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(SafeOutputs, AbandonedOutputLeavesTheTargetAsItWas)
{
    const std::string target = path("kept.pcap");
    std::ofstream(target) << "old";
    std::string temp, error;
    {
        SafeOutput output;
        ASSERT_TRUE(output.open(target, &error)) << error;
        ASSERT_EQ(write(output.fd(), "half", 4), 4);
        temp = output.temp_path();
    }
    EXPECT_EQ(contents(target), "old");
    EXPECT_NE(access(temp.c_str(), F_OK), 0);
}

TEST_F(SafeOutputs, CharacterDeviceIsWrittenIntoNotReplaced)
{
    // A null device of our own, so no real device is at stake if this fails.
    const std::string device = path("null");
    if (mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0)
        GTEST_SKIP() << "cannot make a device node here (needs root)";
    SafeOutput output;
    std::string error;
    ASSERT_TRUE(output.open(device, &error)) << error;
    EXPECT_TRUE(output.temp_path().empty());
    EXPECT_EQ(write(output.fd(), "x", 1), 1);
    ASSERT_TRUE(output.commit(&error)) << error;
    struct stat st;
    ASSERT_EQ(stat(device.c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
}

} // namespace
} // namespace ovk::test
