// The capture writer's file formats and the generator's options, checked
// byte by byte and through the installed tshark.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "capture_writer.h"
#include "displayed_values.h"
#include "generator.h"
#include "tshark_runner.h"

namespace ovk::test {
namespace {

using Lines = std::vector<std::string>;

Bytes read_bytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class CaptureFiles : public ::testing::Test {
protected:
    std::string written(const std::string &name, CaptureFormat format, const Bytes &frame,
                        std::uint64_t ts_ns, std::uint32_t wire_length = 0)
    {
        const std::string path = stage_.path(name);
        CaptureWriter writer(path, linktype_user3, 65535, format);
        writer.write(ts_ns, frame, wire_length);
        writer.commit();
        stage_.publish();
        return path;
    }
    TsharkStage stage_;
};

TEST_F(CaptureFiles, PcapngBlocksAreByteExact)
{
    const Bytes frame = {1, 2, 3, 4, 5};
    const Bytes file = read_bytes(written("one.pcapng", CaptureFormat::pcapng, frame, 0x0102030405060708u, 9));
    const Bytes expected = {
        // Section header block: little-endian, version 1.0, length unknown.
        0x0a, 0x0d, 0x0d, 0x0a, 28, 0, 0, 0, 0x4d, 0x3c, 0x2b, 0x1a, 1, 0, 0, 0,
        0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 28, 0, 0, 0,
        // Interface description block: link type 150, snap length 65535,
        // if_name "ovk5-capgen", if_tsresol 9 (nanoseconds), end of options.
        1, 0, 0, 0, 48, 0, 0, 0, 150, 0, 0, 0, 0xff, 0xff, 0, 0,
        2, 0, 11, 0, 'o', 'v', 'k', '5', '-', 'c', 'a', 'p', 'g', 'e', 'n', 0,
        9, 0, 1, 0, 9, 0, 0, 0, 0, 0, 0, 0, 48, 0, 0, 0,
        // Enhanced packet block: interface 0, time stamp high and low words,
        // captured 5 of 9 bytes, data padded to 8.
        6, 0, 0, 0, 40, 0, 0, 0, 0, 0, 0, 0, 4, 3, 2, 1, 8, 7, 6, 5,
        5, 0, 0, 0, 9, 0, 0, 0, 1, 2, 3, 4, 5, 0, 0, 0, 40, 0, 0, 0,
    };
    EXPECT_EQ(file, expected);
}

TEST_F(CaptureFiles, PcapIsNanosecondLibpcapFormat)
{
    const Bytes file = read_bytes(written("one.pcap", CaptureFormat::pcap, {0xaa, 0xbb}, 5000000007u));
    const Bytes expected = {
        0x4d, 0x3c, 0xb2, 0xa1, 2, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0, 0, 150, 0, 0, 0,
        5, 0, 0, 0, 7, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0, 0xaa, 0xbb,
    };
    EXPECT_EQ(file, expected);
}

TEST_F(CaptureFiles, TsharkReadsBothFormatsAlike)
{
    Ovk5CaptureOptions options;
    options.count = 3;
    options.time_base = 1234567890;
    options.interval_ns = 999999999;
    CaptureOutput pcapng;
    pcapng.format = CaptureFormat::pcapng;
    write_ovk5_capture(stage_.path("a.pcap"), options);
    write_ovk5_capture(stage_.path("a.pcapng"), options, pcapng);
    stage_.publish();
    const Lines fields = {"-T", "fields", "-e", "frame.time_epoch", "-e", "frame.len", "-e", "ovk5.ts"};
    Lines pcap_args = {"-r", stage_.path("a.pcap")}, pcapng_args = {"-r", stage_.path("a.pcapng")};
    pcap_args.insert(pcap_args.end(), fields.begin(), fields.end());
    pcapng_args.insert(pcapng_args.end(), fields.begin(), fields.end());
    const Lines from_pcapng = stage_.lines(pcapng_args);
    EXPECT_EQ(from_pcapng, stage_.lines(pcap_args));
    ASSERT_EQ(from_pcapng.size(), 3u);
    EXPECT_EQ(from_pcapng[2], "1234567891.999999998\t108\t" + utc_time(1234567891, 999999998));
    EXPECT_EQ(stage_.lines({"-r", stage_.path("a.pcapng"), "-T", "fields", "-e", "frame.interface_id",
                            "-e", "frame.interface_name"}),
              Lines(3, "0\tovk5-capgen"));
}

TEST_F(CaptureFiles, FailedCaptureLeavesNoFile)
{
    EXPECT_THROW(CaptureWriter(stage_.path("missing/x.pcap"), linktype_ethernet), std::runtime_error);
    std::string temp;
    {
        CaptureWriter abandoned(stage_.path("abandoned.pcap"), linktype_ethernet);
        abandoned.write(0, {1, 2, 3});
        temp = abandoned.temp_path();
        EXPECT_TRUE(std::ifstream(temp).good());
    }
    EXPECT_FALSE(std::ifstream(stage_.path("abandoned.pcap")).good());
    EXPECT_FALSE(std::ifstream(temp).good());
}

TEST(Generator, LossRateIsSeededAndKeepsSequenceNumbersConsistent)
{
    Ovk5SeqCaptureOptions options;
    options.count = 20000;
    options.loss_rate = 0.2;
    options.seed = 42;
    const std::vector<Ovk5SeqHeader> headers = ovk5seq_headers(options);
    ASSERT_EQ(headers.size(), options.count);
    EXPECT_EQ(headers[0].missing_frames, 0);
    std::uint64_t lost = 0;
    for (std::size_t i = 1; i < headers.size(); ++i) {
        ASSERT_EQ(static_cast<std::uint16_t>(headers[i - 1].sequence + 1 + headers[i].missing_frames),
                  headers[i].sequence) << "record " << i;
        lost += headers[i].missing_frames;
    }
    // A frame is lost with probability 0.2, so 0.25 lost per delivered frame.
    const double per_record = static_cast<double>(lost) / (options.count - 1);
    EXPECT_NEAR(per_record, 0.25, 0.02);

    const std::vector<Ovk5SeqHeader> again = ovk5seq_headers(options);
    EXPECT_TRUE(std::equal(headers.begin(), headers.end(), again.begin(), [](const auto &a, const auto &b) {
        return a.sequence == b.sequence && a.missing_frames == b.missing_frames;
    }));
    options.seed = 43;
    const std::vector<Ovk5SeqHeader> other = ovk5seq_headers(options);
    EXPECT_FALSE(std::equal(headers.begin(), headers.end(), other.begin(), [](const auto &a, const auto &b) {
        return a.missing_frames == b.missing_frames;
    }));
}

TEST(Generator, LossRateNearOneCapsReportAt255)
{
    Ovk5SeqCaptureOptions options;
    options.count = 3;
    options.loss_rate = 0.9999;
    const std::vector<Ovk5SeqHeader> headers = ovk5seq_headers(options);
    EXPECT_EQ(headers[1].missing_frames, 255);
    EXPECT_EQ(headers[2].missing_frames, 255);
    EXPECT_EQ(headers[2].sequence, 2 * (1 + 255));
}

TEST(Generator, RandomInnerFramesFollowTheSeed)
{
    EXPECT_EQ(inner_frame_for(InnerFrame::random, 5, 1), inner_frame_for(InnerFrame::random, 5, 1));
    EXPECT_NE(inner_frame_for(InnerFrame::random, 5, 1), inner_frame_for(InnerFrame::random, 5, 2));
    EXPECT_NE(inner_frame_for(InnerFrame::random, 5, 1), inner_frame_for(InnerFrame::random, 6, 1));
    EXPECT_EQ(inner_frame_for(InnerFrame::udp, 5, 9), inner_frame_for(5));
}

TEST(Generator, ProgressIsReportedForEveryPacket)
{
    TsharkStage stage;
    Ovk5CaptureOptions options;
    options.count = 5;
    std::vector<std::uint32_t> seen;
    CaptureOutput output;
    output.progress = [&seen](std::uint32_t written, std::uint32_t total) {
        EXPECT_EQ(total, 5u);
        seen.push_back(written);
    };
    write_ovk5_capture(stage.path("p.pcap"), options, output);
    EXPECT_EQ(seen, (std::vector<std::uint32_t>{1, 2, 3, 4, 5}));
}

TEST_F(CaptureFiles, EveryInnerFrameKindDecodes)
{
    const std::vector<std::pair<InnerFrame, std::string>> kinds = {
        {InnerFrame::udp, "UDP|40000 → 40001 Len=8"},
        {InnerFrame::tcp, "TCP|40000 → 40001 [PSH, ACK] Seq=1 Ack=1 Win=65535 Len=8"},
        {InnerFrame::icmp, "ICMP|Echo (ping) request  id=0x4f56, seq=0/0, ttl=64"},
        {InnerFrame::arp, "ARP|Who has 192.0.2.20? Tell 192.0.2.10"},
        {InnerFrame::random, "UDP|40000 → 40001 Len=104"},
    };
    for (const auto &[kind, expected] : kinds) {
        Ovk5SeqCaptureOptions options;
        options.count = 1;
        options.inner = kind;
        options.seed = 1;
        const std::string path = stage_.path("inner.pcap");
        write_ovk5seq_capture(path, options);
        stage_.publish();
        EXPECT_EQ(stage_.lines({"-r", path, "-T", "fields", "-E", "separator=|", "-e", "_ws.col.Protocol",
                                "-e", "_ws.col.Info", "-e", "_ws.expert.message"}),
                  Lines{expected + "|"})
            << static_cast<int>(kind);
    }
}

} // namespace
} // namespace ovk::test
