// SPDX-License-Identifier: GPL-2.0-or-later
// One set of UDP datagrams read three ways: sent to ovk5dump over the
// loopback interface, and written into a capture that tshark and
// ovk5-export read. A datagram that is one record its Blob size fills, or
// a chain of records, gives the same records in all three; any other is
// one record to tshark and ovk5-export (its frame everything after the
// header), and records counted as dropped to ovk5dump.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <thread>
#include <utility>

#include "capture_writer.h"
#include "displayed_values.h"
#include "export_runner.h"
#include "test_captures.h"
#include "tshark_runner.h"

namespace ovk::test {
namespace {

constexpr std::uint32_t time_base = 1700000000;

enum class Damage {
    none,
    implausible_second,   // the second frame from a multicast source
    unknown_type_second,  // the second frame of an EtherType the analyser does not decode
    padding,              // two zero bytes after the records
    overrun,              // the first Blob size one more than its frame
};

struct Record {
    std::uint16_t rid0;  // names the record in every reading
    std::uint8_t interface;
    bool time_valid;
};

struct Datagram {
    std::vector<Record> records;
    Damage damage;
    bool framed;  // records in all three readings, by the rule
};

// Streams come before a malformed datagram names them, and have a record
// after it, which carries its drop count in ovk5dump's capture.
const std::vector<Datagram> datagrams = {
    {{{1, 0, true}}, Damage::none, true},
    {{{2, 1, true}, {3, 2, true}}, Damage::none, true},
    {{{4, 0, true}, {5, 1, true}, {6, 2, true}}, Damage::none, true},
    {{{7, 0, true}, {8, 0, true}, {9, 3, true}, {10, 0, true}}, Damage::none, true},
    {{{11, 1, true}, {12, 1, true}}, Damage::implausible_second, false},
    {{{13, 1, true}, {14, 2, false}, {15, 0, true}}, Damage::none, true},
    {{{16, 3, false}, {17, 3, true}}, Damage::none, true},
    {{{18, 0, true}, {19, 0, true}}, Damage::unknown_type_second, true},
    {{{20, 2, true}}, Damage::padding, false},
    {{{21, 0, true}}, Damage::overrun, false},
    {{{22, 0, true}, {23, 3, true}}, Damage::padding, false},
    {{{24, 0, true}, {25, 1, true}, {26, 2, true}, {27, 3, true}}, Damage::none, true},
};

// Frames differ in length: rid0 bytes of UDP payload.
Bytes frame_of(const Record &record)
{
    Endpoints ends;
    ends.src_port = 40000;
    ends.dst_port = 40001;
    return ethernet_ipv4_udp(ends, Bytes(record.rid0, 0x42));
}

std::uint32_t nanoseconds_of(const Record &record)
{
    return record.time_valid ? record.rid0 * 1000u : 1000000000u;
}

Bytes payload_of(const Datagram &datagram)
{
    Bytes payload;
    for (const Record &record : datagram.records) {
        Ovk5Header header;
        header.interface = record.interface;
        header.ts_seconds = time_base + record.rid0;
        header.ts_nanoseconds = nanoseconds_of(record);
        header.rid0 = record.rid0;
        const Bytes bytes = ovk5_payload(header, frame_of(record));
        payload.insert(payload.end(), bytes.begin(), bytes.end());
    }
    const std::size_t second_frame = 2 * ovk5_header_length + frame_of(datagram.records[0]).size();
    if (datagram.damage == Damage::implausible_second)
        payload[second_frame + 6] |= 0x01;
    if (datagram.damage == Damage::unknown_type_second)
        payload[second_frame + 12] = 0x88, payload[second_frame + 13] = 0xb5;
    if (datagram.damage == Damage::padding)
        payload.insert(payload.end(), {0, 0});
    if (datagram.damage == Damage::overrun)
        ++payload[ovk5_blob_size_offset];
    return payload;
}

Lines split(const std::string &text, char separator)
{
    Lines parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, separator);)
        parts.push_back(part);
    return parts;
}

std::string hex16(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%04x", value);
    return text;
}

// A record of ovk5dump's or ovk5-export's file: "RID 0|header interface|
// time|frame length", the time "invalid" where the record says its own
// was (each writes another time for it).
std::string written_line(const Record &record, std::size_t frame_length)
{
    char time[32];
    std::snprintf(time, sizeof time, "%u.%09u", time_base + record.rid0, nanoseconds_of(record));
    return hex16(record.rid0) + "|" + std::to_string(record.interface) + "|" + (record.time_valid ? time : "invalid")
           + "|" + std::to_string(frame_length);
}

// Read back from comment, interface name ("ovk5-if3@sender"), epoch time
// and length.
Lines written_lines(const Lines &fields)
{
    Lines lines;
    for (const std::string &line : fields) {
        const Lines columns = split(line, '|');
        const std::size_t rid = columns[0].find("RID 0 "), at = columns[1].find('@');
        if (columns.size() != 4 || rid == std::string::npos || at < 7) {
            lines.push_back("unexpected: " + line);
            continue;
        }
        const bool invalid = columns[0].find("time stamp invalid") != std::string::npos;
        lines.push_back(columns[0].substr(rid + 6, 6) + "|" + columns[1].substr(7, at - 7) + "|"
                        + (invalid ? "invalid" : columns[2]) + "|" + columns[3]);
    }
    return lines;
}

// tshark's header fields of each datagram, a time stamp "invalid" where it
// is no time to the nanosecond: an impossible one shows differently in
// each series.
Lines decoded_lines(const Lines &fields)
{
    Lines lines;
    for (const std::string &line : fields) {
        Lines columns = split(line, '|');
        if (columns.size() == 4) {
            std::string times;
            for (const std::string &time : split(columns[2], ';')) {
                const std::size_t point = std::min(time.rfind('.'), time.size());
                const std::size_t end = std::min(time.find_first_not_of("0123456789", point + 1), time.size());
                times += (times.empty() ? "" : ";") + (end - point == 10 ? time : std::string("invalid"));
            }
            lines.push_back(columns[0] + "|" + columns[1] + "|" + times + "|" + columns[3]);
        } else {
            lines.push_back("unexpected: " + line);
        }
    }
    return lines;
}

std::string contents(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class SameRecords : public ::testing::Test {
protected:
    // ovk5dump on a free loopback port, sent every datagram, then stopped
    // as Wireshark's stop button stops it (SIGTERM); what it wrote to its
    // FIFO kept in output.
    void capture_live(const std::string &output)
    {
        const std::string fifo = stage_.path("fifo"), errors = stage_.path("ovk5dump.err");
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        const std::uint16_t port = free_port();
        const std::string port_option = "--port=" + std::to_string(port), fifo_option = "--fifo=" + fifo;
        const pid_t pid = fork();
        if (pid == 0) {
            const int err = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (err < 0 || dup2(err, 2) < 0)
                _exit(126);
            execl(OVK5DUMP, OVK5DUMP, "--extcap-interface=ovk5udp", "--capture", fifo_option.c_str(),
                  port_option.c_str(), "--listen-address=127.0.0.1", static_cast<char *>(nullptr));
            _exit(127);
        }
        // A reader from the start, as dumpcap is: ovk5dump's open goes through.
        const int in = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        const bool listening = wait_listening(port);
        if (listening) {
            const int out = socket(AF_INET, SOCK_DGRAM, 0);
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(port);
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            for (const Datagram &datagram : datagrams) {
                const Bytes payload = payload_of(datagram);
                EXPECT_EQ(sendto(out, payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr *>(&to),
                                 sizeof to),
                          static_cast<ssize_t>(payload.size()));
            }
            close(out);
        }
        kill(pid, SIGTERM);
        std::ofstream written(output, std::ios::binary);
        int status = 0;
        bool ended = false;
        // What it writes is far less than the pipe holds: read until it
        // has ended (10 s at most), then what is left.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (bool last = false; in >= 0 && !last;) {
            last = ended || std::chrono::steady_clock::now() > deadline;
            char buffer[65536];
            for (ssize_t n; (n = read(in, buffer, sizeof buffer)) > 0;)
                written.write(buffer, n);
            ended = ended || waitpid(pid, &status, WNOHANG) == pid;
            if (!ended)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (!ended) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        if (in >= 0)
            close(in);
        const std::string said = contents(errors);
        EXPECT_TRUE(listening) << said;
        EXPECT_TRUE(ended && WIFEXITED(status) && WEXITSTATUS(status) == 0) << said;
        EXPECT_EQ(said, "");
    }

    static std::uint16_t free_port()
    {
        const int s = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        bind(s, reinterpret_cast<const sockaddr *>(&address), sizeof address);
        getsockname(s, reinterpret_cast<sockaddr *>(&address), &length);
        close(s);
        return ntohs(address.sin_port);
    }

    // Until a socket is bound to the port on the loopback address (5 s at most).
    static bool wait_listening(std::uint16_t port)
    {
        char local[16];
        std::snprintf(local, sizeof local, "0100007F:%04X", port);
        for (int turn = 0; turn < 50; ++turn) {
            if (contents("/proc/net/udp").find(local) != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

    TsharkStage stage_;
};

TEST_F(SameRecords, InTsharkOvk5ExportAndOvk5dump)
{
    const std::string capture = stage_.path("datagrams.pcap");
    {
        CaptureWriter writer(capture, linktype_ethernet);
        std::uint64_t time_ns = std::uint64_t{time_base} * 1000000000u;
        for (const Datagram &datagram : datagrams)
            writer.write(time_ns += 1000, over_udp(payload_of(datagram)));
        writer.commit();
    }
    capture_live(stage_.path("live.pcapng"));
    const ExportRun exported = run_ovk5_export(stage_, OVK5_EXPORT, {"-q", capture, "exported.pcapng"});
    ASSERT_EQ(exported.exit_code, 0) << exported.err;

    // What the rule says each reading holds. tshark: per datagram, the
    // headers it decodes (RID 0, interface, time stamp, Blob size). The
    // files: per record, its frame; of a datagram not framed, ovk5-export
    // writes one record whose frame is everything after the header, and
    // ovk5dump counts every record as dropped on the first header's
    // stream, shown on that stream's next packet.
    Lines decoded, from_export, from_live, live_drops;
    std::map<int, std::size_t> pending_drops;
    std::size_t sent = 0;
    for (const Datagram &datagram : datagrams) {
        const Bytes payload = payload_of(datagram);
        const std::vector<Record> shown = datagram.framed ? datagram.records : std::vector{datagram.records[0]};
        Lines columns(4);
        for (const Record &record : shown) {
            const std::size_t frame_length =
                datagram.framed ? frame_of(record).size() : payload.size() - ovk5_header_length;
            const std::string values[] = {
                hex16(record.rid0), std::to_string(record.interface),
                record.time_valid ? utc_time(time_base + record.rid0, nanoseconds_of(record)) : "invalid",
                std::to_string(datagram.framed ? frame_length : ovk_le16(payload.data()))};
            for (int i = 0; i < 4; ++i)
                columns[i] += (columns[i].empty() ? "" : ";") + values[i];
            from_export.push_back(written_line(record, frame_length));
        }
        decoded.push_back(columns[0] + "|" + columns[1] + "|" + columns[2] + "|" + columns[3]);
        sent += datagram.records.size();
        if (!datagram.framed) {
            pending_drops[datagram.records[0].interface] += datagram.records.size();
            continue;
        }
        for (const Record &record : datagram.records) {
            from_live.push_back(written_line(record, frame_of(record).size()));
            if (const std::size_t drops = std::exchange(pending_drops[record.interface], 0))
                live_drops.push_back(hex16(record.rid0) + "|" + std::to_string(drops));
        }
    }

    EXPECT_EQ(decoded_lines(stage_.fields(capture, {"-E", "aggregator=;", "-e", "ovk5.rid0", "-e", "ovk5.if",
                                                    "-e", "ovk5.ts", "-e", "ovk5.bs"})),
              decoded);
    const Lines written_fields = {"-e", "frame.comment", "-e", "frame.interface_name", "-e", "frame.time_epoch",
                                  "-e", "frame.len"};
    EXPECT_EQ(written_lines(stage_.fields(stage_.path("exported.pcapng"), written_fields)), from_export);
    EXPECT_EQ(written_lines(stage_.fields(stage_.path("live.pcapng"), written_fields)), from_live);
    // Every record sent is written or counted as dropped.
    Lines drops;
    std::size_t accounted = from_live.size();
    for (const std::string &line : stage_.fields(stage_.path("live.pcapng"), {"-Y", "frame.drop_count > 0", "-e",
                                                                             "frame.comment", "-e", "frame.drop_count"})) {
        const std::size_t bar = line.rfind('|');
        drops.push_back(line.substr(line.find("RID 0 ") + 6, 6) + line.substr(bar));
        accounted += std::stoul(line.substr(bar + 1));
    }
    EXPECT_EQ(drops, live_drops);
    EXPECT_EQ(accounted, sent);
}

} // namespace
} // namespace ovk::test
