// ovk5-capgen: writes pcap captures of OVK5 traffic for testing and
// demonstration.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "generator.h"

namespace {

constexpr int exit_usage = 2;

const char usage[] =
    "Usage: ovk5-capgen [options] -o FILE\n"
    "Writes a pcap capture of OVK5 packets over UDP or TCP, or of OVK5SEQ records\n"
    "(link-layer type 150), each carrying an Ethernet/IPv4/UDP frame.\n"
    "\n"
    "  -o, --output FILE      capture to write (required)\n"
    "  -t, --transport KIND   udp (default), tcp, or seq for OVK5SEQ records\n"
    "  -p, --port N           OVK5 port (default 21171 for udp, 21103 for tcp)\n"
    "  -n, --count N          number of packets (default 10)\n"
    "  -i, --interface N      interface number in the header, 0-255 (default 0)\n"
    "      --time-base S      time stamp of the first packet, seconds since 1970 (default 1700000000)\n"
    "      --gap-every N      OVK5SEQ: every Nth record reports lost frames (default 0: none)\n"
    "      --missing N        OVK5SEQ: frames lost at each gap, 1-255 (default 1)\n"
    "  -h, --help             show this help\n";

[[noreturn]] void usage_error(const std::string &message)
{
    std::fprintf(stderr, "ovk5-capgen: %s\nTry 'ovk5-capgen --help'.\n", message.c_str());
    std::exit(exit_usage);
}

unsigned long parse_number(const std::string &option, const char *text, unsigned long max)
{
    char *end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (!*text || *text == '-' || *end || errno == ERANGE || value > max)
        usage_error("invalid value '" + std::string(text) + "' for " + option
                    + " (0 to " + std::to_string(max) + ")");
    return value;
}

} // namespace

int main(int argc, char **argv)
{
    ovk::Ovk5CaptureOptions options;
    ovk::Ovk5SeqCaptureOptions seq_options;
    bool sequenced = false;
    std::string output;
    bool port_given = false;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(usage, stdout);
            return 0;
        }
        if (i + 1 >= argc)
            usage_error(arg.rfind('-', 0) == 0 ? "option " + arg + " needs a value"
                                               : "unexpected argument '" + arg + "'");
        const char *value = argv[++i];
        if (arg == "-o" || arg == "--output") {
            output = value;
        } else if (arg == "-t" || arg == "--transport") {
            if (std::strcmp(value, "udp") == 0)
                options.transport = ovk::Transport::udp;
            else if (std::strcmp(value, "tcp") == 0)
                options.transport = ovk::Transport::tcp;
            else if (std::strcmp(value, "seq") == 0)
                sequenced = true;
            else
                usage_error("unknown transport '" + std::string(value) + "' (udp, tcp or seq)");
        } else if (arg == "-p" || arg == "--port") {
            options.port = static_cast<std::uint16_t>(parse_number(arg, value, 65535));
            port_given = true;
        } else if (arg == "-n" || arg == "--count") {
            options.count = static_cast<std::uint32_t>(parse_number(arg, value, 100000000));
        } else if (arg == "-i" || arg == "--interface") {
            options.interface = static_cast<std::uint8_t>(parse_number(arg, value, 255));
        } else if (arg == "--time-base") {
            options.time_base = static_cast<std::uint32_t>(parse_number(arg, value, 0xffffffffUL));
        } else if (arg == "--gap-every") {
            seq_options.gap_every = static_cast<std::uint32_t>(parse_number(arg, value, 0xffffffffUL));
        } else if (arg == "--missing") {
            seq_options.missing_per_gap = static_cast<std::uint8_t>(parse_number(arg, value, 255));
            if (seq_options.missing_per_gap == 0)
                usage_error("--missing must be 1 to 255");
        } else {
            usage_error("unknown option '" + arg + "'");
        }
    }
    if (output.empty())
        usage_error("no output file given (-o FILE)");
    if (!port_given)
        options.port = options.transport == ovk::Transport::udp ? 21171 : 21103;

    seq_options.count = options.count;
    seq_options.interface = options.interface;
    seq_options.time_base = options.time_base;

    try {
        if (sequenced)
            ovk::write_ovk5seq_capture(output, seq_options);
        else
            ovk::write_ovk5_capture(output, options);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "ovk5-capgen: %s\n", e.what());
        return 1;
    }
    return 0;
}
