// SPDX-License-Identifier: GPL-2.0-or-later
// ovk5-export as a user runs it, its output read back by tshark WITHOUT the
// OVK5 plug-ins: what a colleague's Wireshark sees.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <tuple>

#include "capture_writer.h"
#include "test_captures.h"
#include "tshark_runner.h"

namespace ovk::test {
namespace {

namespace fs = std::filesystem;

struct ExportRun {
    int exit_code = -1;
    std::string out;
    std::string err;
};

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

Lines operator+(Lines a, const Lines &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Lines exported_fields = {
    "-T", "fields", "-E", "separator=|",
    "-e", "frame.time_epoch", "-e", "frame.interface_name", "-e", "frame.interface_description",
    "-e", "frame.drop_count", "-e", "frame.comment", "-e", "frame.protocols", "-e", "frame.len"};

class Ovk5Export : public ::testing::Test {
protected:
    void SetUp() override
    {
        // tshark as a user without the plug-ins reads the result: none
        // staged, and those installed on the machine switched off.
        fs::remove_all(stage_.path("plugins"));
    }

    // Runs the exporter with standard output to export.out, or read and
    // written on stdout_file (as "1<>FILE" does), and standard input from
    // stdin_file when given.
    ExportRun export_capture(const Lines &args, const std::string &exporter = OVK5_EXPORT,
                             const std::string &stdin_file = "", const std::string &stdout_file = "")
    {
        const std::string out = stage_.path("export.out"), err = stage_.path("export.err");
        const pid_t pid = fork();
        if (pid == 0) {
            const int out_fd = stdout_file.empty() ? open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)
                                                   : open(stdout_file.c_str(), O_RDWR);
            const int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int in_fd = stdin_file.empty() ? 0 : open(stdin_file.c_str(), O_RDONLY);
            if (out_fd < 0 || err_fd < 0 || in_fd < 0 || chdir(stage_.path("").c_str()) != 0)
                _exit(126);
            dup2(in_fd, 0);
            dup2(out_fd, 1);
            dup2(err_fd, 2);
            // No user configuration: the defaults, and what the test gives.
            setenv("HOME", stage_.path("home").c_str(), 1);
            unsetenv("XDG_CONFIG_HOME");
            unsetenv("WIRESHARK_CONFIG_DIR");
            std::vector<char *> argv{const_cast<char *>(exporter.c_str())};
            for (const std::string &a : args)
                argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), slurp(out), slurp(err)};
    }

    void expect_no_partial_files()
    {
        for (const auto &entry : fs::directory_iterator(stage_.path("")))
            EXPECT_NE(entry.path().extension(), ".partial") << "left behind: " << entry.path();
    }

    // The output must read as plain Ethernet even where the plug-ins are
    // installed on the machine: OVK5 and OVK5SEQ are turned off where tshark
    // has them. From Wireshark 4.4 on, tshark refuses to turn off a protocol
    // it does not know.
    Lines read_back(const std::string &name)
    {
        static const Lines turned_off = [this] {
            Lines flags;
            for (const std::string &row : stage_.lines(Lines{"-G", "protocols"}))
                for (const char *filter : {"ovk5", "ovk5seq"})
                    if (row.size() > std::strlen(filter)
                        && row.compare(row.size() - std::strlen(filter) - 1, std::string::npos,
                                       std::string("\t") + filter) == 0)
                        flags.insert(flags.end(), {"--disable-protocol", filter});
            return flags;
        }();
        return stage_.lines(Lines{"-r", stage_.path(name)} + turned_off + exported_fields);
    }

    std::string seq_capture(const std::string &name, std::uint32_t count)
    {
        Ovk5SeqCaptureOptions options;
        options.count = count;
        options.interface = 7;
        options.time_base = 1700000000;
        options.interval_ns = 1500;
        options.gap_every = 2;
        options.missing_per_gap = 3;
        write_ovk5seq_capture(stage_.path(name), options);
        return stage_.path(name);
    }

    std::string ovk5_capture(const std::string &name, Transport transport, std::uint16_t port)
    {
        Ovk5CaptureOptions options;
        options.transport = transport;
        options.port = port;
        options.count = 3;
        options.interface = 2;
        options.rid0 = 0x1234;
        options.rid1 = 0xbeef;
        options.time_base = 1700000001;
        options.interval_ns = 250;
        write_ovk5_capture(stage_.path(name), options);
        return stage_.path(name);
    }

    TsharkStage stage_;
};

const Lines ovk5_packets = {
    "1700000001.000000000|ovk5-if2@192.0.2.1:50000|OVK5 interface 2 from 192.0.2.1:50000||RID 0 0x1234, RID 1 0xbeef|eth:ethertype:ip:udp:data|50",
    "1700000001.000000250|ovk5-if2@192.0.2.1:50000|OVK5 interface 2 from 192.0.2.1:50000||RID 0 0x1234, RID 1 0xbeef|eth:ethertype:ip:udp:data|50",
    "1700000001.000000500|ovk5-if2@192.0.2.1:50000|OVK5 interface 2 from 192.0.2.1:50000||RID 0 0x1234, RID 1 0xbeef|eth:ethertype:ip:udp:data|50",
};

TEST_F(Ovk5Export, Ovk5SeqRecordsKeepHardwareTimeInterfaceAndLosses)
{
    const ExportRun run = export_capture({seq_capture("seq.pcap", 4), "out.pcapng"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.err, "ovk5-export: 4 records read, 4 packets written (4 OVK5SEQ, 0 OVK5), 0 skipped\n");
    EXPECT_EQ(read_back("out.pcapng"), (Lines{
        "1700000000.000000000|ovk5seq-if7@#0|OVK5SEQ interface 7 on capture interface #0|0||eth:ethertype:ip:udp:data|50",
        "1700000000.000001500|ovk5seq-if7@#0|OVK5SEQ interface 7 on capture interface #0|3||eth:ethertype:ip:udp:data|50",
        "1700000000.000003000|ovk5seq-if7@#0|OVK5SEQ interface 7 on capture interface #0|0||eth:ethertype:ip:udp:data|50",
        "1700000000.000004500|ovk5seq-if7@#0|OVK5SEQ interface 7 on capture interface #0|3||eth:ethertype:ip:udp:data|50",
    }));
}

TEST_F(Ovk5Export, EachHeaderInterfaceBecomesAnInterface)
{
    CaptureWriter writer(stage_.path("interfaces.pcap"), linktype_user3);
    for (std::uint8_t i = 0; i < 4; ++i) {
        Ovk5SeqHeader header;
        header.sequence = i;
        header.interface = i % 2 ? 9 : 1;
        header.missing_frames = i;
        header.ts_seconds = 1700000000;
        header.ts_nanoseconds = i;
        writer.write(0, ovk5seq_record(header, inner_frame_for(i)));
    }
    writer.commit();
    const ExportRun run = export_capture({"-q", stage_.path("interfaces.pcap"), "interfaces.pcapng"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(read_back("interfaces.pcapng"), (Lines{
        "1700000000.000000000|ovk5seq-if1@#0|OVK5SEQ interface 1 on capture interface #0|0||eth:ethertype:ip:udp:data|50",
        "1700000000.000000001|ovk5seq-if9@#0|OVK5SEQ interface 9 on capture interface #0|1||eth:ethertype:ip:udp:data|50",
        "1700000000.000000002|ovk5seq-if1@#0|OVK5SEQ interface 1 on capture interface #0|2||eth:ethertype:ip:udp:data|50",
        "1700000000.000000003|ovk5seq-if9@#0|OVK5SEQ interface 9 on capture interface #0|3||eth:ethertype:ip:udp:data|50",
    }));
}

TEST_F(Ovk5Export, Ovk5FoundInUdpAndTcpByDissection)
{
    ExportRun run = export_capture({ovk5_capture("udp.pcap", Transport::udp, ovk5_udp_port), "udp.pcapng"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(read_back("udp.pcapng"), ovk5_packets);

    run = export_capture({ovk5_capture("tcp.pcap", Transport::tcp, ovk5_tcp_port), "tcp.pcapng"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(read_back("tcp.pcapng"), ovk5_packets);
}

TEST_F(Ovk5Export, TcpRecordsSharingAndSpanningSegmentsWithReassembly)
{
    // Three records written back to back: the first segment carries the
    // first and the start of the second, the next the rest.
    Bytes stream;
    for (std::uint32_t i = 0; i < 3; ++i) {
        Ovk5Header header;
        header.interface = 2;
        header.ts_seconds = 1700000001;
        header.ts_nanoseconds = 250 * i;
        header.rid0 = 0x1234;
        header.rid1 = 0xbeef;
        const Bytes record = ovk5_payload(header, inner_frame_for(i));
        stream.insert(stream.end(), record.begin(), record.end());
    }
    const std::size_t cut = 66 + 30;
    Endpoints ends;
    ends.src_port = 50000;
    ends.dst_port = ovk5_tcp_port;
    CaptureWriter writer(stage_.path("tcp-stream.pcap"), linktype_ethernet);
    TcpSegment segment;
    // Captured when the records were stamped: framing without the SYN
    // resumes only on time stamps near the capture's.
    const std::uint64_t captured_ns = 1700000001ull * 1000000000u;
    writer.write(captured_ns, ethernet_ipv4_tcp(ends, segment, Bytes(stream.begin(), stream.begin() + cut)));
    segment.seq += static_cast<std::uint32_t>(cut);
    writer.write(captured_ns + 1000, ethernet_ipv4_tcp(ends, segment, Bytes(stream.begin() + cut, stream.end())));
    writer.commit();

    const ExportRun run = export_capture(
        {"-o", "ovk5.tcp.desegment:TRUE", stage_.path("tcp-stream.pcap"), "tcp-stream.pcapng"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.err, "ovk5-export: 2 records read, 3 packets written (0 OVK5SEQ, 3 OVK5), 0 skipped\n");
    EXPECT_EQ(read_back("tcp-stream.pcapng"), ovk5_packets);
}

TEST_F(Ovk5Export, PortPreferencesAndDecodeAsDecideWhatIsOvk5)
{
    // Without the heuristics, which would find OVK5 on any port.
    stage_.write_profile_file("heuristic_protos", "ovk5_udp,0\novk5_tcp,0\n");
    const std::string capture = ovk5_capture("p30000.pcap", Transport::udp, 30000);
    ExportRun run = export_capture({"-q", capture, "none.pcapng"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(read_back("none.pcapng"), Lines{});

    run = export_capture({capture, "none.pcapng"});
    EXPECT_EQ(run.err, "ovk5-export: 3 records read, 0 packets written (0 OVK5SEQ, 0 OVK5), 3 skipped: "
                       "3 without OVK5 or OVK5SEQ\n");

    run = export_capture({"-q", "-o", "ovk5.udp.port:30000", capture, "pref.pcapng"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(read_back("pref.pcapng"), ovk5_packets);

    run = export_capture({"-q", "-d", "udp.port==29999-30001,ovk5", capture, "decode-as.pcapng"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(read_back("decode-as.pcapng"), ovk5_packets);

    // The user's own Decode As entries, as Wireshark saves them.
    stage_.write_profile_file("decode_as_entries", "decode_as_entry: udp.port,30000,(none),OVK5\n");
    run = export_capture({"-q", capture, "saved.pcapng"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(read_back("saved.pcapng"), ovk5_packets);
}

TEST_F(Ovk5Export, StandardOutput)
{
    const std::string capture = seq_capture("seq.pcap", 2);
    const ExportRun run = export_capture({"-q", capture, "-"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    std::ofstream(stage_.path("from-stdout.pcapng"), std::ios::binary) << run.out;
    EXPECT_EQ(read_back("from-stdout.pcapng").size(), 2u);
}

TEST_F(Ovk5Export, SymlinkOutputWritesItsTarget)
{
    fs::create_symlink("target.pcapng", stage_.path("link.pcapng"));
    const ExportRun run = export_capture({"-q", seq_capture("seq.pcap", 2), "link.pcapng"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_TRUE(fs::is_symlink(stage_.path("link.pcapng")));
    EXPECT_EQ(read_back("target.pcapng").size(), 2u);
    expect_no_partial_files();
}

TEST_F(Ovk5Export, BadInputIsNamedAndLeavesNoOutput)
{
    ExportRun run = export_capture({"missing.pcap", "out.pcapng"});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.err, "ovk5-export: cannot read 'missing.pcap': No such file or directory\n");
    EXPECT_FALSE(fs::exists(stage_.path("out.pcapng")));

    std::ofstream(stage_.path("notes.txt")) << "not a capture, only some text long enough to be looked at\n";
    run = export_capture({"notes.txt", "out.pcapng"});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.err.find("cannot read 'notes.txt'"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(stage_.path("out.pcapng")));

    for (const Lines &args : {Lines{"-o", "ovk5.udp.port:banana"}, Lines{"-o", "ovk5.nonsense:1"},
                              Lines{"-d", "udp.port==1,nosuchprotocol"}, Lines{"-d", "udp.port==x,ovk5"},
                              Lines{"-d", "no.table==1,ovk5"}, Lines{"-x"}, Lines{"only-one-argument"}}) {
        Lines full = args;
        if (args.front() != "only-one-argument")
            full = full + Lines{ovk5_capture("udp.pcap", Transport::udp, ovk5_udp_port), "out.pcapng"};
        run = export_capture(full);
        EXPECT_EQ(run.exit_code, 2) << args.front() << " " << args.back();
        EXPECT_NE(run.err, "");
        EXPECT_FALSE(fs::exists(stage_.path("out.pcapng")));
    }
    expect_no_partial_files();
}

TEST_F(Ovk5Export, MissingDissectionModuleIsAnInstallationFault)
{
    // The exporter copied away from its module fails with 1, not as for
    // bad options (2).
    fs::create_directories(stage_.path("lone"));
    const std::string lone = stage_.path("lone/ovk5-export");
    fs::copy_file(OVK5_EXPORT, lone);
    const ExportRun run = export_capture({ovk5_capture("udp.pcap", Transport::udp, ovk5_udp_port), "out.pcapng"}, lone);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.err.find("the dissection module is missing"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(stage_.path("out.pcapng")));
}

TEST_F(Ovk5Export, CaptureCutShortKeepsEveryCompleteRecord)
{
    // pcap: 24-byte file header, then 16-byte record headers; each record
    // here carries 16 + 50 bytes. Cut the third record in half.
    const std::string capture = seq_capture("cut.pcap", 3);
    fs::resize_file(capture, 24 + 2 * (16 + 66) + 40);
    const ExportRun run = export_capture({capture, "cut.pcapng"});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.err.find(capture + ": cut short inside record 3"), std::string::npos) << run.err;
    EXPECT_EQ(read_back("cut.pcapng"), (Lines{
        "1700000000.000000000|ovk5seq-if7@#0|OVK5SEQ interface 7 on capture interface #0|0||eth:ethertype:ip:udp:data|50",
        "1700000000.000001500|ovk5seq-if7@#0|OVK5SEQ interface 7 on capture interface #0|3||eth:ethertype:ip:udp:data|50",
    }));
}


// Overwrites the little-endian 32-bit word at offset of file path.
void patch_le32(const std::string &path, std::streamoff offset, std::uint32_t value)
{
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    file.seekp(offset);
    for (int shift = 0; shift < 32; shift += 8)
        file.put(static_cast<char>(value >> shift));
}

Bytes ovk5_record(std::uint8_t interface, std::uint32_t nanoseconds, std::uint32_t index)
{
    return ovk5_payload({0, interface, 0, 1700000001, nanoseconds, 0x1234, 0xbeef}, inner_frame_for(index));
}

Bytes seq_record(std::uint8_t interface, std::uint32_t nanoseconds, const Bytes &frame)
{
    return ovk5seq_record({0, interface, 0, 1700000000, nanoseconds, 0}, frame);
}

TEST_F(Ovk5Export, EachStreamHasAnInterfaceNamingItsSenderOrCaptureInterface)
{
    // Two senders with header interface 0; OVK5SEQ interface 0 on three
    // capture interfaces: two named as the one of the UDP packets, one
    // unnamed. No two streams share an interface.
    Endpoints a, b;
    a.src_port = b.src_port = 40000;
    a.dst_port = b.dst_port = ovk5_udp_port;
    b.src_ip = 0xc0000263;  // 192.0.2.99
    std::string files;
    for (const auto &[name, link, packets] :
         {std::tuple<std::string, int, std::vector<Bytes>>{"senders.pcapng", linktype_ethernet,
              {ethernet_ipv4_udp(a, ovk5_record(0, 1, 0)), ethernet_ipv4_udp(b, ovk5_record(0, 2, 1)),
               ethernet_ipv4_udp(a, ovk5_record(0, 3, 2))}},
          {"named.pcapng", linktype_user3, {seq_record(0, 4, inner_frame_for(3))}},
          {"same-name.pcapng", linktype_user3, {seq_record(0, 5, inner_frame_for(4))}},
          {"unnamed.pcap", linktype_user3, {seq_record(0, 6, inner_frame_for(5))}}}) {
        CaptureWriter writer(stage_.path(name), link, default_snaplen,
                             name.back() == 'g' ? CaptureFormat::pcapng : CaptureFormat::pcap);
        for (const Bytes &packet : packets)
            writer.write(0, packet);
        writer.commit();
        files += " " + stage_.path(name);
    }
    ASSERT_EQ(std::system(("mergecap -I none -a -w " + stage_.path("streams.pcapng") + files).c_str()), 0);
    const ExportRun run = export_capture({"-q", stage_.path("streams.pcapng"), "streams.out"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(stage_.fields(stage_.path("streams.out"), {"-e", "frame.interface_id", "-e", "frame.interface_name",
                                                         "-e", "frame.interface_description"}),
              (Lines{"0|ovk5-if0@192.0.2.1:40000|OVK5 interface 0 from 192.0.2.1:40000",
                     "1|ovk5-if0@192.0.2.99:40000|OVK5 interface 0 from 192.0.2.99:40000",
                     "0|ovk5-if0@192.0.2.1:40000|OVK5 interface 0 from 192.0.2.1:40000",
                     "2|ovk5seq-if0@ovk5-capgen#1|OVK5SEQ interface 0 on capture interface ovk5-capgen#1",
                     "3|ovk5seq-if0@ovk5-capgen#2|OVK5SEQ interface 0 on capture interface ovk5-capgen#2",
                     "4|ovk5seq-if0@#3|OVK5SEQ interface 0 on capture interface #3"}));
}

TEST_F(Ovk5Export, InvalidTimeStampsAreNeverWrittenAsATime)
{
    // Nanoseconds of 1e9 and more: the packet stays, at the capture time
    // of the packet carrying it, and says so.
    CaptureWriter writer(stage_.path("times.pcapng"), linktype_ethernet, default_snaplen, CaptureFormat::pcapng);
    writer.write(1600000000000000007, over_udp(ovk5_record(1, 1000000000, 0)));
    writer.write(1600000000000000008, over_udp(ovk5_record(1, 0xFFFFFFFF, 1)));
    writer.write(1600000000000000009, over_udp(ovk5_record(1, 999999999, 2)));
    writer.commit();
    const std::string why = "time stamp invalid (nanoseconds over 999999999): written with the capture time of "
                            "the packet carrying it";
    const ExportRun run = export_capture({stage_.path("times.pcapng"), "times.out"});
    EXPECT_EQ(run.err, "ovk5-export: 3 records read, 3 packets written (0 OVK5SEQ, 3 OVK5), 0 skipped; 2 packets "
                       "with an invalid time stamp (nanoseconds over 999999999) written with the capture time "
                       "instead\n");
    EXPECT_EQ(stage_.fields(stage_.path("times.out"), {"-e", "frame.time_epoch", "-e", "frame.comment"}),
              (Lines{"1600000000.000000007|RID 0 0x1234, RID 1 0xbeef; " + why,
                     "1600000000.000000008|RID 0 0x1234, RID 1 0xbeef; " + why,
                     "1700000001.999999999|RID 0 0x1234, RID 1 0xbeef"}));
}
TEST_F(Ovk5Export, EveryRecordOfADatagramIsExported)
{
    // Two records whose Blob sizes add up to the datagram.
    Bytes two = ovk5_record(2, 0, 0);
    const Bytes second = ovk5_record(2, 250, 1);
    two.insert(two.end(), second.begin(), second.end());
    CaptureWriter writer(stage_.path("chain.pcap"), linktype_ethernet);
    writer.write(1700000001000000000, over_udp(two));
    writer.commit();
    const ExportRun run = export_capture({stage_.path("chain.pcap"), "chain.pcapng"});
    EXPECT_EQ(run.err, "ovk5-export: 1 record read, 2 packets written (0 OVK5SEQ, 2 OVK5), 0 skipped\n");
    EXPECT_EQ(read_back("chain.pcapng"), Lines(ovk5_packets.begin(), ovk5_packets.begin() + 2));
}

TEST_F(Ovk5Export, Ovk5SeqRecordsAsWiresharkReadsThem)
{
    // A record captured longer than its wire length (10), one with an
    // invalid time stamp, OVK5 inside records on the OVK5 port and on
    // another; then records cut by the snap length and too short.
    CaptureWriter writer(stage_.path("seq.pcap"), linktype_user3);
    writer.write(1, seq_record(1, 1, inner_frame_for(0)));
    writer.write(2, seq_record(1, 1000000000, inner_frame_for(1)));
    writer.write(3, seq_record(4, 7, over_udp(ovk5_record(2, 250, 0))));
    writer.write(4, seq_record(4, 8, over_udp(ovk5_record(2, 500, 1), 30000)));
    writer.commit();
    patch_le32(stage_.path("seq.pcap"), 24 + 12, 10);
    CaptureWriter snapped(stage_.path("snapped.pcap"), linktype_user3, 10);
    snapped.write(1, seq_record(1, 2, inner_frame_for(1)));
    snapped.write(2, Bytes(10, 0));
    snapped.commit();

    ExportRun run = export_capture({stage_.path("seq.pcap"), "seq.out"});
    EXPECT_EQ(run.err, "ovk5-export: 4 records read, 5 packets written (4 OVK5SEQ, 1 OVK5), 0 skipped; 1 packet with "
                       "an invalid time stamp (nanoseconds over 999999999) written with the capture time instead\n");
    EXPECT_EQ(stage_.fields(stage_.path("seq.out"), {"-e", "frame.time_epoch", "-e", "frame.interface_name", "-e",
                                                     "frame.len", "-e", "frame.cap_len", "-e", "frame.comment"}),
              (Lines{"1700000000.000000001|ovk5seq-if1@#0|50|50|",
                     "0.000000002|ovk5seq-if1@#0|50|50|time stamp invalid (nanoseconds over 999999999): written "
                     "with the capture time of the packet carrying it",
                     "1700000000.000000007|ovk5seq-if4@#0|108|108|",
                     "1700000001.000000250|ovk5-if2@192.0.2.1:50000|50|50|RID 0 0x1234, RID 1 0xbeef",
                     "1700000000.000000008|ovk5seq-if4@#0|108|108|"}));
    // The port decides, as for OVK5 in the capture's own packets.
    run = export_capture({"-q", "-d", "udp.port==30000,ovk5", stage_.path("seq.pcap"), "seq.out"});
    EXPECT_EQ(stage_.fields(stage_.path("seq.out"), {"-e", "frame.interface_name"}).back(),
              "ovk5-if2@192.0.2.1:50000");

    // On a port of no preference, OVK5 found by the dissection's
    // heuristics, the capture's time close to the header's.
    CaptureWriter found(stage_.path("heuristic.pcap"), linktype_user3);
    found.write(1700000001000000000, seq_record(4, 9, over_udp(ovk5_record(2, 750, 2), 30000)));
    found.commit();
    run = export_capture({"-q", stage_.path("heuristic.pcap"), "heuristic.out"});
    EXPECT_EQ(stage_.fields(stage_.path("heuristic.out"), {"-e", "frame.interface_name"}),
              (Lines{"ovk5seq-if4@#0", "ovk5-if2@192.0.2.1:50000"}));

    run = export_capture({stage_.path("snapped.pcap"), "snapped.out"});
    EXPECT_EQ(run.err, "ovk5-export: 2 records read, 0 packets written (0 OVK5SEQ, 0 OVK5), 2 skipped: 1 OVK5SEQ "
                       "shorter than the 16-byte header, 1 OVK5SEQ header cut by the snap length\n");
}

TEST_F(Ovk5Export, RefusalsAndFailuresSayWhatWentWrong)
{
    // OUTPUT through a redirection to INPUT: a usage error, INPUT intact.
    const std::string capture = seq_capture("seq.pcap", 4), before = slurp(capture);
    for (const auto &[args, in, out] : {std::tuple<Lines, std::string, std::string>{{"-", capture}, capture, ""},
                                        {{capture, "-"}, "", capture}, {{"-", "-"}, capture, capture}}) {
        const ExportRun run = export_capture(args, OVK5_EXPORT, in, out);
        EXPECT_EQ(run.exit_code, 2) << args.front() << " " << args.back() << ": " << run.err;
        EXPECT_EQ(slurp(capture), before);
    }
    EXPECT_EQ(export_capture({"-q", "-", "copy.pcapng"}, OVK5_EXPORT, capture).exit_code, 0);

    // Selectors beyond the table's width: bad options.
    const std::string udp = ovk5_capture("udp.pcap", Transport::udp, ovk5_udp_port);
    for (const char *decode_as : {"udp.port==0-4294967295,ovk5", "udp.port==70000,ovk5", "udp.port==65530:10,ovk5"}) {
        const ExportRun run = export_capture({"-d", decode_as, udp, "out.pcapng"});
        EXPECT_EQ(run.exit_code, 2) << decode_as;
        EXPECT_NE(run.err.find("udp.port goes up to 65535"), std::string::npos) << run.err;
    }

    std::ofstream(stage_.path("empty.pcap"));
    ExportRun run = export_capture({"empty.pcap", "out.pcapng"});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.err, "ovk5-export: cannot read 'empty.pcap': not a capture file (it is empty)\n");
    const int piped = std::system((": | " OVK5_EXPORT " -q - " + stage_.path("out.pcapng") + " 2>/dev/null").c_str());
    EXPECT_EQ(WEXITSTATUS(piped), 1);
    EXPECT_FALSE(fs::exists(stage_.path("out.pcapng")));

    // A record header claiming more than the snap length: the message
    // points at that record, not at where reading ahead stopped.
    const std::uint32_t third = 24 + 2 * (16 + 66);
    patch_le32(capture, third + 8, 0x7fffffff);
    run = export_capture({capture, "damaged.pcapng"});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.err.find(": unreadable record 3 (at byte " + std::to_string(third) + "): "), std::string::npos)
        << run.err;
}

} // namespace
} // namespace ovk::test
