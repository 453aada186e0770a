// SPDX-License-Identifier: GPL-2.0-or-later
// ovk5-export: the Ethernet frames inside OVK5 and OVK5SEQ captures as
// standard pcapng, time-stamped by the capture hardware.

#include <getopt.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#undef interface  // COM's, not a name this code can give up
#endif

#include <cstdio>
#include <cstring>
#include <string>

#include <wiretap/wtap.h>
#include <wsutil/privileges.h>
#include <wsutil/report_message.h>

#include "exporter.h"
#include "safe_output.h"
#include "wiretap_compat.h"

namespace {

constexpr int exit_failure = 1;
constexpr int exit_usage = 2;
// Damaged streams named one by one, the rest counted.
constexpr std::size_t max_damage_lines = 20;
// Smaller inputs are exported too fast for a progress bar to help.
constexpr std::int64_t progress_threshold = 32 * 1024 * 1024;

const char usage[] =
    "Usage: ovk5-export [OPTION]... INPUT OUTPUT\n"
    "Writes the Ethernet frame behind every OVK5SEQ record (link-layer type 150)\n"
    "and every OVK5 header found in TCP or UDP payloads of INPUT as one packet of\n"
    "the pcapng capture OUTPUT ('-' for standard output), for tools without the\n"
    "OVK5 plug-ins:\n"
    "  - time stamp: the header's, in nanoseconds; a header's invalid time stamp\n"
    "    (nanoseconds over 999999999) is replaced by the capture time of the packet\n"
    "    carrying it, and the packet's comment says so;\n"
    "  - interface: one per stream: 'ovk5-if<N>@<sender address:port>' for OVK5\n"
    "    header interface N from one sender, 'ovk5seq-if<N>@<capture interface>'\n"
    "    for OVK5SEQ header interface N in records of one capture interface, the\n"
    "    description saying the same in words;\n"
    "  - OVK5SEQ: the frames the record reports missing as the drop count;\n"
    "  - OVK5: the comment 'RID 0 0x1234, RID 1 0xbeef';\n"
    "  - packets in input order (sort by time with: reordercap OUTPUT SORTED).\n"
    "INPUT is any capture file Wireshark reads ('-' for standard input). OVK5 is\n"
    "found by Wireshark's own dissection, with your Wireshark preferences and\n"
    "Decode As entries. OVK5 records on TCP streams are framed by their Blob size\n"
    "(ovk5.tcp.desegment TRUE, unlike Wireshark's default), the segments taken in\n"
    "stream order; bytes the capture never holds are lost, not waited for.\n"
    "\n"
    "  -o NAME:VALUE       set a preference, as in tshark (e.g. ovk5.udp.port:30000;\n"
    "                      ovk5.tcp.desegment:FALSE reads one record per TCP\n"
    "                      segment); repeatable\n"
    "  -d TABLE==SELECTOR,PROTOCOL\n"
    "                      Decode As, as in tshark (e.g. udp.port==5000,ovk5); repeatable\n"
    "  -q, --quiet         no summary and no progress bar\n"
    "  -v, --verbose       name every damaged TCP stream (otherwise the first 20)\n"
    "  -h, --help          show this help\n"
    "  -V, --version       show the version\n"
    "\n"
    "A summary (records read, packets written, packets skipped and why, what\n"
    "damaged TCP streams lost, each stream named) goes to standard error at the\n"
    "end; a progress bar too on a terminal for large inputs.\n"
    "OUTPUT appears only when complete; a symlink is followed, a FIFO or device is\n"
    "written straight into.\n"
    "\n"
    "Exit status: 0 on success, nothing lost; 1 when INPUT cannot be read or OUTPUT\n"
    "written, or INPUT is cut short or holds damaged OVK5 TCP streams (every record\n"
    "read whole is still exported); 2 on bad options (OUTPUT being INPUT included).\n"
    "\n"
    "Examples:\n"
    "  ovk5-export ovk5seq.pcap inner.pcapng\n"
    "  ovk5-export -v ovk5-tcp.pcap inner.pcapng\n"
    "  ovk5-export -d udp.port==5000,ovk5 capture.pcapng - | tcpdump -r - -nn\n";

[[noreturn]] void usage_error(const std::string &message)
{
    std::fprintf(stderr, "ovk5-export: %s\nTry 'ovk5-export --help'.\n", message.c_str());
    std::exit(exit_usage);
}

void print_message(const char *kind, const char *format, va_list args)
{
    std::fprintf(stderr, "ovk5-export: %s", kind);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
}

void report_failure_message(const char *format, va_list args)
{
    print_message("", format, args);
}

void report_warning_message(const char *format, va_list args)
{
    print_message("warning: ", format, args);
}

void report_file_failure(const char *file, int err, const char *what)
{
    std::fprintf(stderr, "ovk5-export: cannot %s '%s': %s\n", what, file, std::strerror(err));
}

// The flag is a gboolean up to 4.2 and a bool from 4.4; the routine table
// picks the matching instance.
template <typename ForWriting>
void report_open_failure(const char *file, int err, ForWriting)
{
    report_file_failure(file, err, "open");
}

void report_read_failure(const char *file, int err)
{
    report_file_failure(file, err, "read");
}

void report_write_failure(const char *file, int err)
{
    report_file_failure(file, err, "write");
}

class ProgressBar {
public:
    explicit ProgressBar(std::int64_t total) : total_(total) {}

    void operator()(std::int64_t done)
    {
        const unsigned percent = static_cast<unsigned>(std::min<std::int64_t>(done * 100 / total_, 100));
        if (percent == shown_)
            return;
        shown_ = percent;
        constexpr unsigned width = 40;
        char bar[width + 1];
        const unsigned filled = percent * width / 100;
        std::memset(bar, '#', filled);
        std::memset(bar + filled, ' ', width - filled);
        bar[width] = '\0';
        std::fprintf(stderr, "\r[%s] %3u%%", bar, percent);
        std::fflush(stderr);
    }

    void finish() const
    {
        if (shown_ <= 100)
            std::fputc('\n', stderr);
    }

private:
    std::int64_t total_;
    unsigned shown_ = 101;
};

#ifdef _WIN32
std::wstring wide(const std::string &utf8)
{
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    std::wstring text(static_cast<std::size_t>(length > 0 ? length : 1), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, text.data(), length);
    return text;
}

// Windows has no inode numbers: a file is its volume and file index.
bool same_file(const std::string &input, const std::string &output)
{
    struct Identity {
        BY_HANDLE_FILE_INFORMATION info;
        bool regular;
    };
    const auto identity = [](const std::string &name, DWORD standard, Identity *id) {
        HANDLE file = name == "-" ? GetStdHandle(standard)
                                  : CreateFileW(wide(name).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE
                                                | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (file == INVALID_HANDLE_VALUE || file == nullptr)
            return false;
        id->regular = GetFileType(file) == FILE_TYPE_DISK;
        const bool known = GetFileInformationByHandle(file, &id->info) != 0;
        if (name != "-")
            CloseHandle(file);
        return known;
    };
    Identity in{}, out{};
    if (!identity(input, STD_INPUT_HANDLE, &in) || !identity(output, STD_OUTPUT_HANDLE, &out))
        return false;
    return in.regular && in.info.dwVolumeSerialNumber == out.info.dwVolumeSerialNumber
           && in.info.nFileIndexHigh == out.info.nFileIndexHigh && in.info.nFileIndexLow == out.info.nFileIndexLow;
}

bool empty_regular_file(const std::string &name)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    return name != "-" && GetFileAttributesExW(wide(name).c_str(), GetFileExInfoStandard, &data)
           && !(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && data.nFileSizeHigh == 0
           && data.nFileSizeLow == 0;
}
#else
// The file a name stands for, "-" being the standard input or output
// given: false when it cannot be told (a name not there yet).
bool identity(const std::string &name, int standard_fd, struct stat *st)
{
    return name == "-" ? fstat(standard_fd, st) == 0 : stat(name.c_str(), st) == 0;
}

// Writing OUTPUT would destroy INPUT: the same file by name, or through
// the standard input or output it was redirected to.
bool same_file(const std::string &input, const std::string &output)
{
    struct stat in, out;
    if (!identity(input, STDIN_FILENO, &in) || !identity(output, STDOUT_FILENO, &out))
        return false;
    // Pipes and terminals are streams, not files that can be overwritten.
    return S_ISREG(in.st_mode) && in.st_dev == out.st_dev && in.st_ino == out.st_ino;
}

bool empty_regular_file(const std::string &name)
{
    struct stat st;
    return name != "-" && stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0;
}
#endif

void start_libraries(const char *argv0)
{
    ovk_log_init("ovk5-export");
    init_process_policies();
    char *folder_error = ovk_configuration_init(argv0);
    if (folder_error) {
        std::fprintf(stderr, "ovk5-export: warning: cannot find Wireshark's folders: %s\n", folder_error);
        g_free(folder_error);
    }
    static report_message_routines routines{};
    routines.vreport_failure = report_failure_message;
    routines.vreport_warning = report_warning_message;
    routines.report_open_failure = report_open_failure;
    routines.report_read_failure = report_read_failure;
    routines.report_write_failure = report_write_failure;
    init_report_message("ovk5-export", &routines);
    wtap_init(TRUE);
}

} // namespace

#ifdef _WIN32
// The launcher (windows_launcher.cpp) calls this, with UTF-8 arguments,
// once it has found the analyser's DLLs of this series.
extern "C" __declspec(dllexport) int ovk5_export_main(int argc, char **argv)
#else
int main(int argc, char **argv)
#endif
{
    static const struct option long_options[] = {
        {"quiet", no_argument, nullptr, 'q'},
        {"verbose", no_argument, nullptr, 'v'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    ovk::DissectionSettings settings;
    bool quiet = false;
    bool verbose = false;
    opterr = 0;
    int code;
    while ((code = getopt_long(argc, argv, ":o:d:qvhV", long_options, nullptr)) != -1) {
        switch (code) {
        case 'o':
            settings.preferences.push_back(optarg);
            break;
        case 'd':
            settings.decode_as.push_back(optarg);
            break;
        case 'q':
            quiet = true;
            break;
        case 'v':
            verbose = true;
            break;
        case 'h':
            std::fputs(usage, stdout);
            return 0;
        case 'V':
            std::printf("ovk5-export %s\n", OVK_VERSION);
            return 0;
        case ':':
            usage_error(std::string("option -") + static_cast<char>(optopt) + " needs a value");
        default:
            usage_error("unknown option '"
                        + (optopt ? std::string("-") + static_cast<char>(optopt) : std::string(argv[optind - 1]))
                        + "'");
        }
    }
    if (argc - optind != 2)
        usage_error(argc - optind < 2 ? "INPUT and OUTPUT are required" : "unexpected argument '"
                                                                             + std::string(argv[optind + 2]) + "'");
    const std::string input_path = argv[optind];
    const std::string output_path = argv[optind + 1];
    if (same_file(input_path, output_path))
        usage_error(input_path == "-" || output_path == "-" ? "OUTPUT is INPUT itself (through a redirection)"
                                                            : "OUTPUT '" + output_path + "' is INPUT itself");
    // Per-stream interfaces, drop counts and comments need pcapng; a tool
    // that trusts the name would take the file for pcap.
    const std::size_t dot = output_path.rfind('.');
    if (dot != std::string::npos && strcasecmp(output_path.c_str() + dot, ".pcap") == 0)
        std::fprintf(stderr, "ovk5-export: warning: %s is written as pcapng, whatever its name says"
                             " (tools that read only pcap will refuse it)\n", output_path.c_str());

    start_libraries(argv[0]);

    int err = 0;
    gchar *err_info = nullptr;
    if (empty_regular_file(input_path)) {
        // libwiretap takes an empty file for a capture without packets.
        std::fprintf(stderr, "ovk5-export: cannot read '%s': not a capture file (it is empty)\n", input_path.c_str());
        return exit_failure;
    }
    wtap *input = wtap_open_offline(input_path.c_str(), WTAP_TYPE_AUTO, &err, &err_info, FALSE);
    if (!input) {
        std::fprintf(stderr, "ovk5-export: cannot read '%s': %s%s%s%s\n", input_path.c_str(), wtap_strerror(err),
                     err_info ? " (" : "", err_info ? err_info : "", err_info ? ")" : "");
        g_free(err_info);
        return exit_failure;
    }

    // Dissection starts only for input that needs it: the frames of
    // OVK5SEQ records are looked at first. Options given are checked
    // before any output is made; only refused options are a usage error.
    ovk::Dissection dissection;
    std::string error;
    const bool needs_dissection = wtap_file_encap(input) != WTAP_ENCAP_USER3 || !settings.preferences.empty()
                                  || !settings.decode_as.empty();
    const ovk::StartResult started = needs_dissection ? dissection.start(settings, &error) : ovk::StartResult::started;
    if (started != ovk::StartResult::started) {
        std::fprintf(stderr, "ovk5-export: %s\n", error.c_str());
        wtap_close(input);
        return started == ovk::StartResult::refused ? exit_usage : exit_failure;
    }

    ovk::install_output_cleanup_handlers();
    ovk::SafeOutput output;
    if (!output.open(output_path, &error)) {
        std::fprintf(stderr, "ovk5-export: %s\n", error.c_str());
        wtap_close(input);
        return exit_failure;
    }
    // libwiretap closes the descriptor itself and reports its errors.
    ovk::PcapngWriter writer;
#ifdef _WIN32
    writer.open_path(output.write_path());
#else
    writer.open(output.release_fd());
#endif

    ovk::ExportJob job;
    job.input = input;
    job.input_name = input_path;
    // A regular file can be read a second time, to learn which stream
    // bytes the capture holds.
    struct stat input_stat;
    if (input_path != "-" && stat(input_path.c_str(), &input_stat) == 0 && S_ISREG(input_stat.st_mode))
        job.reread_name = input_path;
    job.output_name = output.display_name();
    job.dissection = &dissection;
    job.settings = settings;
    job.output = &writer;
    const std::int64_t input_size = wtap_file_size(input, &err);
    ProgressBar bar(input_size > 0 ? input_size : 1);
    const bool show_progress = !quiet && input_size >= progress_threshold && isatty(STDERR_FILENO);
    if (show_progress)
        job.progress = [&bar](std::int64_t done) { bar(done); };

    const ovk::ExportResult result = ovk::run_export(job);
    if (show_progress) {
        if (result.status != ovk::ExportStatus::failed)
            bar(input_size);
        bar.finish();
    }
    // An empty pipe: libwiretap took it for a capture without packets.
    const bool empty_input = result.counts.records_read == 0 && wtap_read_so_far(input) == 0;
    wtap_close(input);
    if (empty_input) {
        std::fprintf(stderr, "ovk5-export: cannot read '%s': not a capture file (it is empty)\n", input_path.c_str());
        output.abandon();
        return exit_failure;
    }

    if (result.status == ovk::ExportStatus::failed) {
        std::fprintf(stderr, "ovk5-export: %s\n", result.message.c_str());
        output.abandon();
        return exit_failure;
    }
    if (!writer.close(&error)) {
        std::fprintf(stderr, "ovk5-export: cannot write %s: %s\n", output.display_name().c_str(), error.c_str());
        output.abandon();
        return exit_failure;
    }
    if (!output.commit(&error)) {
        std::fprintf(stderr, "ovk5-export: %s\n", error.c_str());
        return exit_failure;
    }
    if (result.status == ovk::ExportStatus::input_cut || result.status == ovk::ExportStatus::damaged)
        std::fprintf(stderr, "ovk5-export: %s\n", result.message.c_str());
    for (const std::string &line : ovk::damage_lines(result.counts, verbose ? SIZE_MAX : max_damage_lines))
        std::fprintf(stderr, "ovk5-export: %s\n", line.c_str());
    if (!quiet)
        std::fprintf(stderr, "ovk5-export: %s\n", ovk::summary(result.counts).c_str());
    return result.status == ovk::ExportStatus::done ? 0 : exit_failure;
}
