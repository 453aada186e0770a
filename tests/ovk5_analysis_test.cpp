// SPDX-License-Identifier: GPL-2.0-or-later
// The OVK5 per-stream analysis under real traffic: several senders on one
// interface number, copies quoted in ICMP errors, a clock running back
// behind an invalid time stamp, "tshark -2 -R", the statistics tree, and
// the dissector found by name and on its ports from start-up.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <csignal>
#include <regex>
#include <thread>

#include "capture_writer.h"
#include "epan_harness.h"
#include "generator.h"
#include "test_captures.h"
#include "tshark_runner.h"

namespace ovk::test {
namespace {

constexpr std::uint32_t device_a = 0xc0000201, device_b = 0xc0000203;  // 192.0.2.1, 192.0.2.3

// An OVK5 header over UDP from sender:port to the default port.
Bytes ovk5_from(std::uint32_t sender, std::uint16_t port, std::uint8_t interface, std::uint32_t seconds,
                std::uint32_t nanoseconds = 0, std::uint16_t rid0 = 0)
{
    Ovk5Header header;
    header.interface = interface;
    header.ts_seconds = seconds;
    header.ts_nanoseconds = nanoseconds;
    header.rid0 = rid0;
    Endpoints ends;
    ends.src_ip = sender;
    ends.src_port = port;
    ends.dst_port = ovk5_udp_port;
    return ethernet_ipv4_udp(ends, ovk5_payload(header, inner_frame_for(0)));
}

// An ICMP port unreachable (checksums left 0) quoting the IPv4 datagram of
// the Ethernet frame in full.
Bytes icmp_error_quoting(const Bytes &frame)
{
    Bytes out(frame.begin(), frame.begin() + 14);
    out.insert(out.end(), {0x45, 0});
    put_be16(out, static_cast<std::uint16_t>(20 + 8 + frame.size() - 14));
    out.insert(out.end(), {0, 0, 0, 0, 64, 1, 0, 0, 192, 0, 2, 2, 192, 0, 2, 1, 3, 3, 0, 0, 0, 0, 0, 0});
    out.insert(out.end(), frame.begin() + 14, frame.end());
    return out;
}

// Previous frame, time step, and "!" for a clock running backwards, "L"
// for a header that came late.
std::string shown(const Dissection &d)
{
    auto last = [&](const char *field) { return d.has(field) ? d.fields.at(field).back() : std::string(); };
    return last("ovk5.prev_frame") + "|" + last("ovk5.ts_delta") + (d.has("ovk5.ts_backwards") ? "!" : "") +
           (d.has("ovk5.late") ? "L" : "");
}

TEST(Ovk5Streams, EachSenderAndInterfaceIsAStreamOfItsOwn)
{
    const struct {
        const char *name;
        std::vector<Bytes> frames;
        std::vector<std::string> expected;
        // Where the first pass, before the next header settles a step
        // back, shows otherwise.
        std::map<std::size_t, std::string> first_pass = {};
    } cases[] = {
        {"two devices on interface 0, clocks 100 s apart",
         {ovk5_from(device_a, 40000, 0, 10), ovk5_from(device_b, 40000, 0, 110), ovk5_from(device_a, 40000, 0, 11),
          ovk5_from(device_b, 40000, 0, 110, 500)},
         {"|", "|", "1|1.000000000", "2|0.000000500"}},
        {"one address, two ports",
         {ovk5_from(device_a, 40000, 0, 10), ovk5_from(device_a, 40001, 0, 5), ovk5_from(device_a, 40000, 0, 11)},
         {"|", "|", "1|1.000000000"}},
        {"back behind an invalid time stamp: 20 s, invalid, 15 s",
         {ovk5_from(device_a, 40000, 0, 20), ovk5_from(device_a, 40000, 0, 21, 1000000000),
          ovk5_from(device_a, 40000, 0, 15), ovk5_from(device_a, 40000, 0, 16)},
         {"|", "1|", "2|-5.000000000!", "3|1.000000000"}},
        {"two datagrams swapped in transit: the late one leaves the stream where it was",
         {ovk5_from(device_a, 40000, 0, 10), ovk5_from(device_a, 40000, 0, 12), ovk5_from(device_a, 40000, 0, 11),
          ovk5_from(device_a, 40000, 0, 13)},
         {"|", "1|2.000000000", "2|-1.000000000L", "3|1.000000000"},
         {{2, "2|-1.000000000!"}}},
        {"two late ones, the second older still",
         {ovk5_from(device_a, 40000, 0, 10), ovk5_from(device_a, 40000, 0, 13), ovk5_from(device_a, 40000, 0, 12),
          ovk5_from(device_a, 40000, 0, 11), ovk5_from(device_a, 40000, 0, 14)},
         {"|", "1|3.000000000", "2|-1.000000000L", "3|-2.000000000L", "4|1.000000000"},
         {{2, "2|-1.000000000!"}, {3, "3|-2.000000000!"}}},
        {"a copy quoted in an ICMP error",
         {ovk5_from(device_a, 40000, 0, 20), icmp_error_quoting(ovk5_from(device_a, 40000, 0, 10)),
          ovk5_from(device_a, 40000, 0, 21)},
         {"|", "|", "1|1.000000000"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Capture capture(WTAP_ENCAP_ETHERNET);
        std::vector<std::string> first, again;
        for (const Bytes &frame : c.frames)
            first.push_back(shown(capture.add(frame, 30, 0)));
        for (std::uint32_t n = 1; n <= c.frames.size(); ++n)
            again.push_back(shown(capture.again(n)));
        std::vector<std::string> expected_first = c.expected;
        for (const auto &[index, differs] : c.first_pass)
            expected_first.at(index) = differs;
        EXPECT_EQ(first, expected_first);
        EXPECT_EQ(again, c.expected);
    }
}

class Ovk5AnalysisTshark : public ::testing::Test {
protected:
    // The frames, captured at the given nanoseconds since 1970.
    std::string write(const std::vector<Bytes> &frames, const std::vector<std::uint64_t> &times)
    {
        const std::string path = stage_.path("capture.pcap");
        CaptureWriter writer(path, linktype_ethernet);
        for (std::size_t i = 0; i < frames.size(); ++i)
            writer.write(times[i], frames[i]);
        writer.commit();
        return path;
    }
    TsharkStage stage_;
};

TEST_F(Ovk5AnalysisTshark, PreviousFrameIsInTheOutputWithTwoPassesAndAReadFilter)
{
    // RID 0 is 2 on what the filter drops: file frames 1, 3, 5 and 6 are
    // numbered 1 to 4.
    const std::string path = write({ovk5_from(device_a, 4, 0, 100, 0, 1), ovk5_from(device_a, 4, 0, 101, 0, 2),
                                    ovk5_from(device_a, 4, 0, 102, 0, 1), ovk5_from(device_a, 4, 1, 200, 0, 2),
                                    ovk5_from(device_a, 4, 0, 103, 0, 1), ovk5_from(device_a, 4, 1, 201, 0, 1)},
                                   {1, 2, 3, 4, 5, 6});
    EXPECT_EQ(stage_.fields(path, {"-2", "-R", "ovk5.rid0 == 1", "-e", "ovk5.if", "-e", "ovk5.prev_frame", "-e",
                                   "ovk5.ts_delta"}),
              (Lines{"0||", "0|1|2.000000000", "0|2|1.000000000", "1||"}));
}

TEST_F(Ovk5AnalysisTshark, TreeHasARowPerStreamWithDelaysAndClockFaults)
{
    const std::uint64_t s = 1000000000;
    // A: delays 3, 4 and 1 us around an invalid time stamp. B, interface
    // 0: its clock 100 s behind, once stepping back; interface 1: a time
    // stamp 54 years before its capture.
    const std::string path = write(
        {ovk5_from(device_a, 40000, 0, 1000), ovk5_from(device_b, 40000, 0, 900),
         ovk5_from(device_a, 40000, 0, 1001, 1000000000), ovk5_from(device_a, 40000, 0, 1002),
         ovk5_from(device_b, 40000, 0, 899), ovk5_from(device_a, 40000, 0, 1003), ovk5_from(device_b, 40000, 1, 5)},
        {1000 * s + 3000, 1000 * s + 1000, 1001 * s, 1002 * s + 4000, 1001 * s, 1003 * s + 1000, 1700000000 * s});
    // Name (indented a space a level) and count; for the delay also the
    // average (the tree's own, in single precision), minimum and maximum.
    auto rows = [&](Lines args) {
        args.insert(args.begin(), {"-r", path, "-q", "-z", "ovk5,tree"});
        Lines found;
        static const std::regex row("^( *\\S.*?)  +(\\d+)( .*)?");
        static const std::regex delay_row("^( *Delivery delay \\(us\\)) +(\\d+) +([\\d.]+) +(\\d+) +(\\d+) .*");
        std::smatch m;
        for (const std::string &line : stage_.lines(args))
            if (std::regex_match(line, m, delay_row))
                found.push_back(m[1].str() + "|" + m[2].str() + "|" + m[3].str() + "|" + m[4].str() + "|" + m[5].str());
            else if (std::regex_match(line, m, row) && line.find("Topic") == std::string::npos)
                found.push_back(m[1].str() + "|" + m[2].str());
        return found;
    };
    const Lines analysed = rows({});
    // B's step back is its last header: nothing shows it to be late.
    EXPECT_EQ(analysed, (Lines{"192.0.2.1:40000|4", " Interface 0|4", "  Came late|0", "  Clock faults|1",
                               "   Time stamp backwards|0", "   Time stamp invalid|1", "  Delivery delay (us)|3|2.67|1|4",
                               "192.0.2.3:40000|3", " Interface 0|2", "  Came late|0", "  Clock faults|1",
                               "   Time stamp backwards|1", "   Time stamp invalid|0",
                               "  Delivery delay (us)|2|101000000.00|100000001|102000000", " Interface 1|1",
                               "  Came late|0", "  Clock faults|0", "   Time stamp backwards|0",
                               "   Time stamp invalid|0", "  Delivery delay over 35 minutes|1"}));
    Lines plain;
    std::copy_if(analysed.begin(), analysed.end(), std::back_inserter(plain), [](const std::string &r) {
        return r.find("Clock") == std::string::npos && r.find("Time stamp") == std::string::npos &&
               r.find("Came late") == std::string::npos;
    });
    EXPECT_EQ(rows({"-o", "ovk5.analyze:FALSE"}), plain);
}

TEST_F(Ovk5AnalysisTshark, LateDatagramsAreNoClockFaultsAndManySendersCostNoMore)
{
    // 100 datagrams, every 10th pair swapped in transit; then 20,000
    // senders of one datagram each.
    std::vector<Bytes> frames;
    std::vector<std::uint64_t> times;
    for (std::uint32_t i = 0; i < 100; ++i) {
        const std::uint32_t sent = i % 10 == 5 ? i + 1 : i % 10 == 6 ? i - 1 : i;
        frames.push_back(ovk5_from(device_a, 40000, 0, 1000, sent * 1000000));
        times.push_back(i);
    }
    for (std::uint32_t i = 0; i < 20000; ++i) {
        frames.push_back(ovk5_from(0x0a000000 + i, 40000, 0, 1000));
        times.push_back(100 + i);
    }
    const std::string path = write(frames, times);
    // The rows of sender A's stream: name and count.
    auto rows_of_a = [&](const Lines &extra) {
        Lines args = {"-r", path, "-q", "-z", "ovk5,tree"};
        args.insert(args.end(), extra.begin(), extra.end());
        static const std::regex row("^( *\\S.*?)  +(\\d+)( .*)?");
        Lines found;
        bool in_a = false;
        std::smatch m;
        for (const std::string &line : stage_.lines(args))
            if (std::regex_match(line, m, row) && m[1].str()[0] != ' ')
                in_a = m[1] == "192.0.2.1:40000";
            else if (in_a && std::regex_match(line, m, row) && m[1].str().find("delay") == std::string::npos)
                found.push_back(m[1].str() + "|" + m[2].str());
        return found;
    };
    const Lines expected = {" Interface 0|100", "  Came late|10", "  Clock faults|0", "   Time stamp backwards|0",
                            "   Time stamp invalid|0"};
    EXPECT_EQ(rows_of_a({}), expected);
    EXPECT_EQ(rows_of_a({"-2"}), expected);

    // The statistics cost no more than reading every header's fields: a
    // new sender's row used to walk every row before it.
    auto seconds = [&](const Lines &args) {
        const auto start = std::chrono::steady_clock::now();
        stage_.lines(args);
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    const double tree = seconds({"-r", path, "-q", "-z", "ovk5,tree"});
    const double fields = seconds({"-r", path, "-T", "fields", "-e", "ovk5.if", "-e", "ovk5.prev_frame"});
    EXPECT_LT(tree, 3 * fields) << "-z ovk5,tree " << tree << " s, -T fields " << fields << " s";
}

TEST_F(Ovk5AnalysisTshark, FoundByName)
{
#ifdef OVK_UDPDUMP
    // Wireshark's udpdump on a loopback port, sent one datagram until it
    // has written it.
    const std::string out = stage_.path("udpdump.pcap"), port = "21999";
    const pid_t child = fork();
    if (child == 0) {
        execl(OVK_UDPDUMP, OVK_UDPDUMP, "--extcap-interface=udpdump", "--capture", "--port", port.c_str(),
              "--payload", "ovk5", "--fifo", out.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    Ovk5Header header;
    header.interface = 7;
    const Bytes payload = ovk5_payload(header, inner_frame_for(0));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(std::stoi(port)));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int sender = socket(AF_INET, SOCK_DGRAM, 0);
    for (int attempt = 0; attempt < 50 && stage_.run({"-r", out, "-c", "1"}).out.empty(); ++attempt) {
        sendto(sender, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    close(sender);
    kill(child, SIGTERM);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(stage_.fields(out, {"-c", "1", "-e", "exported_pdu.prot_name", "-e", "ovk5.if", "-e", "eth.src"}),
              (Lines{"ovk5|7|02:00:00:00:00:0a"}));
#endif
}

} // namespace
} // namespace ovk::test
