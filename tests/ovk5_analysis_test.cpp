// SPDX-License-Identifier: GPL-2.0-or-later
// The OVK5 per-stream analysis under real traffic: several senders on one
// interface number, copies quoted in ICMP errors, a clock running
// backwards behind an invalid time stamp, "tshark -2 -R", the statistics
// tree, and the dissector reached by name (udpdump).

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <regex>
#include <thread>

#include "capture_writer.h"
#include "epan_harness.h"
#include "generator.h"
#include "test_captures.h"
#include "tshark_runner.h"

namespace ovk::test {
namespace {

using Values = std::vector<std::string>;

// One OVK5 header over UDP to the default port.
struct Sent {
    std::uint32_t sender_ip;
    std::uint16_t sender_port;
    std::uint8_t interface;
    std::uint32_t seconds, nanoseconds;
    std::uint16_t rid0 = 0;
};

constexpr std::uint32_t device_a = 0xc0000201;  // 192.0.2.1
constexpr std::uint32_t device_b = 0xc0000203;  // 192.0.2.3

Bytes ovk5_from(const Sent &sent)
{
    Ovk5Header header;
    header.interface = sent.interface;
    header.ts_seconds = sent.seconds;
    header.ts_nanoseconds = sent.nanoseconds;
    header.rid0 = sent.rid0;
    Endpoints ends;
    ends.src_ip = sent.sender_ip;
    ends.src_port = sent.sender_port;
    ends.dst_port = ovk5_udp_port;
    return ethernet_ipv4_udp(ends, ovk5_payload(header, inner_frame_for(0)));
}

std::uint16_t internet_checksum(const Bytes &bytes, std::size_t from, std::size_t length)
{
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < length; i += 2)
        sum += (bytes[from + i] << 8) | (i + 1 < length ? bytes[from + i + 1] : 0);
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

// An ICMP port unreachable from the collector back to the sender, quoting
// the IPv4 datagram of frame (an Ethernet frame) in full.
Bytes icmp_error_quoting(const Bytes &frame)
{
    const Bytes quoted(frame.begin() + 14, frame.end());
    Bytes out(frame.begin(), frame.begin() + 14);
    const std::size_t ip = out.size();
    const std::uint16_t total = static_cast<std::uint16_t>(20 + 8 + quoted.size());
    out.insert(out.end(), {0x45, 0x00});
    put_be16(out, total);
    out.insert(out.end(), {0, 0, 0, 0, 64, 1, 0, 0});
    put_be32(out, 0xc0000202);
    put_be32(out, 0xc0000201);
    const std::uint16_t ip_sum = internet_checksum(out, ip, 20);
    out[ip + 10] = static_cast<std::uint8_t>(ip_sum >> 8);
    out[ip + 11] = static_cast<std::uint8_t>(ip_sum);
    const std::size_t icmp = out.size();
    out.insert(out.end(), {3, 3, 0, 0, 0, 0, 0, 0});
    out.insert(out.end(), quoted.begin(), quoted.end());
    const std::uint16_t icmp_sum = internet_checksum(out, icmp, out.size() - icmp);
    out[icmp + 2] = static_cast<std::uint8_t>(icmp_sum >> 8);
    out[icmp + 3] = static_cast<std::uint8_t>(icmp_sum);
    return out;
}

Values values(const Dissection &d, const std::string &field)
{
    auto it = d.fields.find(field);
    return it == d.fields.end() ? Values{} : it->second;
}

// What the analysis shows on one header: previous frame, time step (empty
// when absent) and whether the clock ran backwards.
struct Shown {
    std::string prev_frame;
    std::string ts_delta;
    bool backwards;
    bool operator==(const Shown &o) const
    {
        return prev_frame == o.prev_frame && ts_delta == o.ts_delta && backwards == o.backwards;
    }
};

std::ostream &operator<<(std::ostream &out, const Shown &s)
{
    return out << "{" << s.prev_frame << ", " << s.ts_delta << ", " << s.backwards << "}";
}

Shown shown(const Dissection &d)
{
    const Values prev = values(d, "ovk5.prev_frame"), delta = values(d, "ovk5.ts_delta");
    return {prev.empty() ? "" : prev.back(), delta.empty() ? "" : delta.back(), d.has("ovk5.ts_backwards")};
}

struct StreamCase {
    const char *name;
    std::vector<Bytes> frames;
    std::vector<Shown> expected;
};

TEST(Ovk5Streams, EachSenderAndInterfaceIsAStreamOfItsOwn)
{
    const Bytes a0_10 = ovk5_from({device_a, 40000, 0, 10, 0});
    const StreamCase cases[] = {
        {"two devices on interface 0, their clocks 100 s apart",
         {a0_10, ovk5_from({device_b, 40000, 0, 110, 0}), ovk5_from({device_a, 40000, 0, 10, 1000}),
          ovk5_from({device_b, 40000, 0, 110, 500})},
         {{"", "", false}, {"", "", false}, {"1", "0.000001000", false}, {"2", "0.000000500", false}}},
        {"one address, two ports",
         {a0_10, ovk5_from({device_a, 40001, 0, 5, 0}), ovk5_from({device_a, 40000, 0, 11, 0})},
         {{"", "", false}, {"", "", false}, {"1", "1.000000000", false}}},
        {"one sender, two interfaces",
         {a0_10, ovk5_from({device_a, 40000, 1, 5, 0}), ovk5_from({device_a, 40000, 1, 6, 0})},
         {{"", "", false}, {"", "", false}, {"2", "1.000000000", false}}},
        {"backwards behind an invalid time stamp (20 s, invalid, 15 s)",
         {ovk5_from({device_a, 40000, 0, 20, 0}), ovk5_from({device_a, 40000, 0, 21, 1000000000}),
          ovk5_from({device_a, 40000, 0, 15, 0}), ovk5_from({device_a, 40000, 0, 16, 0})},
         {{"", "", false}, {"1", "", false}, {"2", "-5.000000000", true}, {"3", "1.000000000", false}}},
        {"a copy quoted in an ICMP error is no header of the stream",
         {ovk5_from({device_a, 40000, 0, 20, 0}), icmp_error_quoting(ovk5_from({device_a, 40000, 0, 10, 0})),
          ovk5_from({device_a, 40000, 0, 21, 0})},
         {{"", "", false}, {"", "", false}, {"1", "1.000000000", false}}},
    };
    for (const StreamCase &c : cases) {
        SCOPED_TRACE(c.name);
        Capture capture(WTAP_ENCAP_ETHERNET);
        std::vector<Shown> first, again;
        for (const Bytes &frame : c.frames)
            first.push_back(shown(capture.add(frame, 30, 0)));
        for (std::uint32_t n = 1; n <= c.frames.size(); ++n)
            again.push_back(shown(capture.again(n)));
        EXPECT_EQ(first, c.expected);
        EXPECT_EQ(again, c.expected);
    }
}

TEST(Ovk5Streams, QuotedCopyKeepsItsOwnFindings)
{
    // The copy still shows what needs no history.
    Capture capture(WTAP_ENCAP_ETHERNET);
    capture.add(ovk5_from({device_a, 40000, 0, 20, 0}), 20, 0);
    const Dissection copy = capture.add(icmp_error_quoting(ovk5_from({device_a, 40000, 0, 10, 1000000000})), 21, 0);
    EXPECT_EQ(copy.count("ovk5.ts_invalid"), 1u);
    EXPECT_FALSE(copy.has("ovk5.prev_frame"));
    EXPECT_FALSE(copy.has("ovk5.ts_backwards"));
}

// A line of a "-z <tree>" report: the item's name, then its figures.
struct TreeRow {
    std::string name;
    std::vector<std::string> figures;
};

std::vector<TreeRow> tree_rows(const Lines &report)
{
    std::vector<TreeRow> rows;
    bool below_headings = false;
    for (const std::string &line : report) {
        if (line.rfind("Topic / Item", 0) == 0) {
            below_headings = true;
            continue;
        }
        if (!below_headings || line.empty() || line[0] == '-' || line[0] == '=')
            continue;
        // The name keeps its indent, one space a level.
        const std::size_t indent = line.find_first_not_of(' ');
        static const std::regex gap("\\s{2,}");
        std::sregex_token_iterator it(line.begin() + static_cast<long>(indent), line.end(), gap, -1), end;
        TreeRow row{line.substr(0, indent) + it->str(), {}};
        ++it;
        for (; it != end; ++it)
            if (!it->str().empty())
                row.figures.push_back(*it);
        rows.push_back(row);
    }
    return rows;
}

class Ovk5AnalysisTshark : public ::testing::Test {
protected:
    // Writes the headers, captured at capture_ns since 1970.
    std::string write(const std::string &name, const std::vector<Sent> &sent,
                      const std::vector<std::uint64_t> &capture_ns)
    {
        const std::string path = stage_.path(name);
        CaptureWriter writer(path, linktype_ethernet);
        for (std::size_t i = 0; i < sent.size(); ++i)
            writer.write(capture_ns[i], ovk5_from(sent[i]));
        writer.commit();
        return path;
    }
    TsharkStage stage_;
};

TEST_F(Ovk5AnalysisTshark, PreviousFrameIsInTheOutputWithTwoPassesAndAReadFilter)
{
    // Device A on interface 0 and 1, RID 0 marking what the filter drops.
    const std::vector<Sent> sent = {
        {device_a, 40000, 0, 100, 0, 1}, {device_a, 40000, 0, 101, 0, 2}, {device_a, 40000, 0, 102, 0, 1},
        {device_a, 40000, 1, 200, 0, 2}, {device_a, 40000, 0, 103, 0, 1}, {device_a, 40000, 1, 201, 0, 1},
    };
    std::vector<std::uint64_t> times;
    for (std::size_t i = 0; i < sent.size(); ++i)
        times.push_back(300000000000ull + i);
    const std::string path = write("filtered.pcap", sent, times);
    // Out: frames 1, 3, 5, 6 of the file, numbered 1 to 4.
    EXPECT_EQ(stage_.fields(path, {"-2", "-R", "ovk5.rid0 == 1", "-e", "frame.number", "-e", "ovk5.if", "-e",
                                   "ovk5.prev_frame", "-e", "ovk5.ts_delta"}),
              (Lines{"1|0||", "2|0|1|2.000000000", "3|0|2|1.000000000", "4|1||"}));
}

TEST_F(Ovk5AnalysisTshark, TreeHasARowPerStreamWithDelaysAndClockFaults)
{
    const std::uint64_t s = 1000000000ull;
    // Device A, interface 0: delays 3 and 4 us, then 1 us after an invalid
    // time stamp; device B, interface 0: its clock 100 s behind A's, once
    // stepping back; device B, interface 1: a capture time far from its
    // time stamps.
    const std::vector<Sent> sent = {
        {device_a, 40000, 0, 1000, 0},    {device_b, 40000, 0, 900, 0}, {device_a, 40000, 0, 1001, 1000000000},
        {device_a, 40000, 0, 1002, 0},    {device_b, 40000, 0, 899, 0}, {device_a, 40000, 0, 1003, 0},
        {device_b, 40000, 1, 5, 0},
    };
    const std::vector<std::uint64_t> times = {1000 * s + 3000, 1000 * s + 1000, 1001 * s, 1002 * s + 4000,
                                              1001 * s,        1003 * s + 1000, 1700000000 * s};
    const std::string path = write("tree.pcap", sent, times);

    auto rows = [&](const Lines &extra) {
        Lines args = {"-r", path, "-q", "-z", "ovk5,tree"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<Values> found;
        for (const TreeRow &row : tree_rows(stage_.lines(args))) {
            Values figures = {row.name};
            // The count; for the delay also average, minimum and maximum.
            const bool averaged = row.name.find("(us)") != std::string::npos;
            for (std::size_t i = 0; i < row.figures.size() && i < (averaged ? 4u : 1u); ++i)
                figures.push_back(row.figures[i]);
            found.push_back(figures);
        }
        return found;
    };
    const std::vector<Values> analysed = rows({});
    // The average is the tree's own, shown in single precision.
    EXPECT_EQ(analysed, (std::vector<Values>{
                            {"192.0.2.1:40000", "4"},
                            {" Interface 0", "4"},
                            {"  Clock faults", "1"},
                            {"   Time stamp backwards", "0"},
                            {"   Time stamp invalid", "1"},
                            {"  Delivery delay (us)", "3", "2.67", "1", "4"},
                            {"192.0.2.3:40000", "3"},
                            {" Interface 0", "2"},
                            {"  Clock faults", "1"},
                            {"   Time stamp backwards", "1"},
                            {"   Time stamp invalid", "0"},
                            {"  Delivery delay (us)", "2", "101000000.00", "100000001", "102000000"},
                            {" Interface 1", "1"},
                            {"  Clock faults", "0"},
                            {"   Time stamp backwards", "0"},
                            {"   Time stamp invalid", "0"},
                            {"  Delivery delay over 35 minutes", "1"},
                        }));
    std::vector<Values> plain;
    for (const Values &row : analysed)
        if (row[0].find("Clock faults") == std::string::npos && row[0].find("Time stamp") == std::string::npos)
            plain.push_back(row);
    EXPECT_EQ(rows({"-o", "ovk5.analyze:FALSE"}), plain);
}

TEST_F(Ovk5AnalysisTshark, DefaultPortsAreListedFromStartUp)
{
    const Lines decodes = stage_.lines({"-G", "decodes"});
    for (const char *binding : {"udp.port\t21171\tovk5", "tcp.port\t21103\tovk5"})
        EXPECT_NE(std::find(decodes.begin(), decodes.end(), binding), decodes.end()) << binding;
}

#ifdef OVK_UDPDUMP
// Runs Wireshark's udpdump on a free loopback port, sends it one OVK5
// datagram and returns the capture it wrote.
std::string capture_with_udpdump(const TsharkStage &stage, const Bytes &payload)
{
    const std::string out = stage.path("udpdump.pcap");
    const int probe = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(probe, reinterpret_cast<sockaddr *>(&address), sizeof address);
    getsockname(probe, reinterpret_cast<sockaddr *>(&address), &length);
    close(probe);
    const std::string port = std::to_string(ntohs(address.sin_port));

    const pid_t child = fork();
    if (child == 0) {
        execl(OVK_UDPDUMP, OVK_UDPDUMP, "--extcap-interface=udpdump", "--capture", "--port", port.c_str(),
              "--payload", "ovk5", "--fifo", out.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    const int sender = socket(AF_INET, SOCK_DGRAM, 0);
    // udpdump binds its port after starting up: send until it has written
    // the record.
    for (int attempt = 0; attempt < 50; ++attempt) {
        sendto(sender, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr *>(&address), sizeof address);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::ifstream written(out, std::ios::binary | std::ios::ate);
        if (written && written.tellg() > 200)
            break;
    }
    close(sender);
    kill(child, SIGTERM);
    int status = 0;
    waitpid(child, &status, 0);
    return out;
}
#endif

TEST_F(Ovk5AnalysisTshark, UdpdumpReachesTheDissectorByName)
{
#ifndef OVK_UDPDUMP
    GTEST_SKIP() << "udpdump not installed";
#else
    Ovk5Header header;
    header.interface = 7;
    header.rid0 = 0x4242;
    const std::string path = capture_with_udpdump(stage_, ovk5_payload(header, inner_frame_for(0)));
    const Lines decoded = stage_.fields(path, {"-c", "1", "-e", "exported_pdu.prot_name", "-e", "ovk5.if", "-e",
                                               "ovk5.rid0", "-e", "eth.src"});
    EXPECT_EQ(decoded, (Lines{"ovk5|7|0x4242|02:00:00:00:00:0a"}));
#endif
}

} // namespace
} // namespace ovk::test
