// SPDX-License-Identifier: GPL-2.0-or-later
// ovk5-export as a user runs it, its output read back by tshark WITHOUT the
// OVK5 plug-ins: what a colleague's Wireshark sees.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

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
        // tshark as a user without the plug-ins reads the result.
        fs::remove_all(stage_.path("plugins"));
        for (const std::string &line : stage_.lines({"-G", "plugins"}))
            ASSERT_NE(line.rfind("ovk", 0), 0u) << line;
    }

    ExportRun export_capture(const Lines &args)
    {
        const std::string out = stage_.path("export.out"), err = stage_.path("export.err");
        const pid_t pid = fork();
        if (pid == 0) {
            const int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out_fd < 0 || err_fd < 0 || chdir(stage_.path("").c_str()) != 0)
                _exit(126);
            dup2(out_fd, 1);
            dup2(err_fd, 2);
            // No user configuration: the defaults, and what the test gives.
            setenv("HOME", stage_.path("home").c_str(), 1);
            unsetenv("XDG_CONFIG_HOME");
            unsetenv("WIRESHARK_CONFIG_DIR");
            std::vector<char *> argv{const_cast<char *>(OVK5_EXPORT)};
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

    Lines read_back(const std::string &name) { return stage_.lines(Lines{"-r", stage_.path(name)} + exported_fields); }

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
    "1700000001.000000000|if2|OVK5 interface 2||RID 0 0x1234, RID 1 0xbeef|eth:ethertype:ip:udp:data|50",
    "1700000001.000000250|if2|OVK5 interface 2||RID 0 0x1234, RID 1 0xbeef|eth:ethertype:ip:udp:data|50",
    "1700000001.000000500|if2|OVK5 interface 2||RID 0 0x1234, RID 1 0xbeef|eth:ethertype:ip:udp:data|50",
};

TEST_F(Ovk5Export, Ovk5SeqRecordsKeepHardwareTimeInterfaceAndLosses)
{
    const ExportRun run = export_capture({seq_capture("seq.pcap", 4), "out.pcapng"});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.err, "ovk5-export: 4 records read, 4 packets written (4 OVK5SEQ, 0 OVK5), 0 skipped\n");
    EXPECT_EQ(read_back("out.pcapng"), (Lines{
        "1700000000.000000000|if7|OVK5SEQ interface 7|0||eth:ethertype:ip:udp:data|50",
        "1700000000.000001500|if7|OVK5SEQ interface 7|3||eth:ethertype:ip:udp:data|50",
        "1700000000.000003000|if7|OVK5SEQ interface 7|0||eth:ethertype:ip:udp:data|50",
        "1700000000.000004500|if7|OVK5SEQ interface 7|3||eth:ethertype:ip:udp:data|50",
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
        "1700000000.000000000|if1|OVK5SEQ interface 1|0||eth:ethertype:ip:udp:data|50",
        "1700000000.000000001|if9|OVK5SEQ interface 9|1||eth:ethertype:ip:udp:data|50",
        "1700000000.000000002|if1|OVK5SEQ interface 1|2||eth:ethertype:ip:udp:data|50",
        "1700000000.000000003|if9|OVK5SEQ interface 9|3||eth:ethertype:ip:udp:data|50",
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
    writer.write(0, ethernet_ipv4_tcp(ends, segment, Bytes(stream.begin(), stream.begin() + cut)));
    segment.seq += static_cast<std::uint32_t>(cut);
    writer.write(1000, ethernet_ipv4_tcp(ends, segment, Bytes(stream.begin() + cut, stream.end())));
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
        "1700000000.000000000|if7|OVK5SEQ interface 7|0||eth:ethertype:ip:udp:data|50",
        "1700000000.000001500|if7|OVK5SEQ interface 7|3||eth:ethertype:ip:udp:data|50",
    }));
}

} // namespace
} // namespace ovk::test
