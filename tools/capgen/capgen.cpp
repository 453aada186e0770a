// SPDX-License-Identifier: GPL-2.0-or-later
// ovk5-capgen: writes pcap or pcapng captures of OVK5 traffic for testing
// and demonstration.

#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <string>

#include "generator.h"
#ifdef OVK_CAPGEN_SEND
#include "sender.h"
#endif

namespace {

constexpr int exit_failure = 1;
constexpr int exit_usage = 2;
// Fewer packets than this are written too fast for a progress bar to help.
constexpr std::uint32_t progress_threshold = 100000;
constexpr unsigned long max_count = 100000000;

const char usage[] =
    "Usage: ovk5-capgen [OPTION]... -o FILE\n"
    "       ovk5-capgen [OPTION]... --send udp://HOST:PORT|tcp://HOST:PORT\n"
    "Writes a capture of OVK5 packets over UDP or TCP, or of OVK5SEQ records\n"
    "(link-layer type 150), each header followed by an Ethernet frame; or sends\n"
    "the OVK5 records to a collector, as the capture hardware does.\n"
    "\n"
    "  -o, --output FILE      capture to write, - for standard output; a file\n"
    "                         appears only when complete, a FIFO or device is written into\n"
    "      --send TARGET      instead of -o: send the records to udp://HOST:PORT or\n"
    "                         tcp://HOST:PORT (IPv6 as [ADDRESS]:PORT); prints what was sent\n"
    "      --rate N           with --send: records per second (default 0: as fast as possible)\n"
    "      --per-send N       with --send: records per datagram or TCP write (default 1)\n"
    "      --split BYTES      with --send tcp://: cut each write into pieces of BYTES,\n"
    "                         splitting records across segments (default 0: whole writes)\n"
    "      --bad-every N      with --send udp://: every Nth record claims one byte more than\n"
    "                         its frame, making its datagram malformed (default 0: none)\n"
    "  -P, --protocol KIND    ovk5-udp (default), ovk5-tcp or ovk5seq (also udp, tcp, seq)\n"
    "  -t, --transport KIND   the same as -P\n"
    "  -n, --count N          number of packets (default 10, at most 100000000)\n"
    "  -p, --port N           OVK5 server port (default 21171 for UDP, 21103 for TCP)\n"
    "      --source-port N    OVK5 sender port (default 50000)\n"
    "  -i, --interface N      interface number in the header, 0-255 (default 0)\n"
    "      --time-base T      time of the first packet: seconds since 1970 or\n"
    "                         YYYY-MM-DDTHH:MM:SSZ (default 1700000000); the last\n"
    "                         packet must be before 2106-02-07T06:28:16Z\n"
    "      --interval NS      nanoseconds between packets (default 1000)\n"
    "      --inner KIND       inner frame: udp (default), tcp, icmp, arp, or random\n"
    "                         (UDP with random payloads)\n"
    "      --loss-rate R      OVK5SEQ: probability that each frame before a record\n"
    "                         was lost, 0 to below 1 (default 0)\n"
    "      --gap-every N      OVK5SEQ: every Nth record also reports lost frames (default 0: none)\n"
    "      --missing N        OVK5SEQ: frames lost at each such gap, 1-255 (default 1;\n"
    "                         needs --gap-every)\n"
    "  -F, --format FORMAT    pcap or pcapng (default: pcapng for a FILE ending in\n"
    "                         .pcapng, pcap otherwise)\n"
    "  -s, --seed N           seed of the random choices (default 1); the same\n"
    "                         options and seed always give the same capture\n"
    "  -q, --quiet            no progress bar (shown on a terminal from 100000 packets)\n"
    "  -h, --help             show this help\n"
    "  -V, --version          show the version\n"
    "\n"
    "Exit status: 0 on success, 1 when the capture cannot be written, 2 on bad options.\n"
    "\n"
    "Examples:\n"
    "  ovk5-capgen -P ovk5-udp -n 100 -o ovk5-udp.pcap\n"
    "  ovk5-capgen -P ovk5-tcp -p 30000 -n 100 -o ovk5-tcp.pcapng\n"
    "  ovk5-capgen -P ovk5seq -n 1000 --loss-rate 0.01 --seed 7 -o ovk5seq.pcap\n"
    "  ovk5-capgen -n 10000 --rate 1000 --send udp://127.0.0.1:21171\n";

[[noreturn]] void usage_error(const std::string &message)
{
    std::fprintf(stderr, "ovk5-capgen: %s\nTry 'ovk5-capgen --help'.\n", message.c_str());
    std::exit(exit_usage);
}

std::string option_name(int code, const struct option *long_options)
{
    for (const struct option *o = long_options; o->name; ++o)
        if (o->val == code)
            return std::string("--") + o->name;
    return std::string("-") + static_cast<char>(code);
}

unsigned long parse_number(const std::string &option, const char *text, unsigned long min, unsigned long max)
{
    char *end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (!*text || *text == '-' || *text == '+' || *text == ' ' || *end || errno == ERANGE || value < min || value > max)
        usage_error("invalid value '" + std::string(text) + "' for " + option + " (" + std::to_string(min)
                    + " to " + std::to_string(max) + ")");
    return value;
}

std::uint64_t parse_seed(const char *text)
{
    char *end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (!*text || *text == '-' || *text == '+' || *end || errno == ERANGE)
        usage_error("invalid value '" + std::string(text) + "' for --seed (a number from 0 to 18446744073709551615)");
    return value;
}

double parse_rate(const char *text)
{
    char *end = nullptr;
    errno = 0;
    const double value = std::strtod(text, &end);
    if (!*text || *end || errno == ERANGE || !std::isfinite(value) || value < 0 || value >= 1)
        usage_error("invalid value '" + std::string(text) + "' for --loss-rate (0 to below 1, e.g. 0.01)");
    return value;
}

std::uint32_t parse_time_base(const char *text)
{
    if (std::strchr(text, 'T')) {
        std::tm tm{};
        const char *end = strptime(text, "%Y-%m-%dT%H:%M:%S", &tm);
        if (end && (*end == 'Z' || *end == '\0') && (*end == '\0' || end[1] == '\0')) {
            std::tm given = tm;
            time_t seconds = timegm(&tm);
            // timegm moves 2024-02-30 to March 1st: a date that is not one.
            const bool real_date = tm.tm_year == given.tm_year && tm.tm_mon == given.tm_mon
                                   && tm.tm_mday == given.tm_mday && tm.tm_hour == given.tm_hour
                                   && tm.tm_min == given.tm_min && tm.tm_sec == given.tm_sec;
            if (real_date && seconds >= 0 && static_cast<unsigned long long>(seconds) <= 0xffffffffULL)
                return static_cast<std::uint32_t>(seconds);
        }
        usage_error("invalid value '" + std::string(text)
                    + "' for --time-base (seconds since 1970, or YYYY-MM-DDTHH:MM:SSZ from 1970 to 2106)");
    }
    return static_cast<std::uint32_t>(parse_number("--time-base", text, 0, 0xffffffffUL));
}

ovk::InnerFrame parse_inner(const std::string &text)
{
    if (text == "udp") return ovk::InnerFrame::udp;
    if (text == "tcp") return ovk::InnerFrame::tcp;
    if (text == "icmp") return ovk::InnerFrame::icmp;
    if (text == "arp") return ovk::InnerFrame::arp;
    if (text == "random") return ovk::InnerFrame::random;
    usage_error("unknown inner frame '" + text + "' (udp, tcp, icmp, arp or random)");
}

bool ends_with(const std::string &text, const std::string &suffix)
{
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

class ProgressBar {
public:
    void operator()(std::uint32_t written, std::uint32_t total)
    {
        const unsigned percent = static_cast<unsigned>(static_cast<std::uint64_t>(written) * 100 / total);
        if (percent == shown_ && written != total)
            return;
        shown_ = percent;
        constexpr unsigned width = 40;
        char bar[width + 1];
        const unsigned filled = percent * width / 100;
        std::memset(bar, '#', filled);
        std::memset(bar + filled, ' ', width - filled);
        bar[width] = '\0';
        std::fprintf(stderr, "\r[%s] %3u%% %u/%u packets", bar, percent, written, total);
        if (written == total)
            std::fputc('\n', stderr);
        std::fflush(stderr);
    }

private:
    unsigned shown_ = 101;
};

} // namespace

int main(int argc, char **argv)
{
    enum : int {
        opt_source_port = 256, opt_time_base, opt_interval, opt_inner, opt_loss_rate, opt_gap_every, opt_missing,
        opt_send, opt_rate, opt_per_send, opt_split, opt_bad_every,
    };
    static const struct option long_options[] = {
        {"output", required_argument, nullptr, 'o'},
        {"protocol", required_argument, nullptr, 'P'},
        {"transport", required_argument, nullptr, 't'},
        {"count", required_argument, nullptr, 'n'},
        {"port", required_argument, nullptr, 'p'},
        {"source-port", required_argument, nullptr, opt_source_port},
        {"interface", required_argument, nullptr, 'i'},
        {"time-base", required_argument, nullptr, opt_time_base},
        {"interval", required_argument, nullptr, opt_interval},
        {"inner", required_argument, nullptr, opt_inner},
        {"loss-rate", required_argument, nullptr, opt_loss_rate},
        {"gap-every", required_argument, nullptr, opt_gap_every},
        {"missing", required_argument, nullptr, opt_missing},
        {"send", required_argument, nullptr, opt_send},
        {"rate", required_argument, nullptr, opt_rate},
        {"per-send", required_argument, nullptr, opt_per_send},
        {"split", required_argument, nullptr, opt_split},
        {"bad-every", required_argument, nullptr, opt_bad_every},
        {"format", required_argument, nullptr, 'F'},
        {"seed", required_argument, nullptr, 's'},
        {"quiet", no_argument, nullptr, 'q'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };

    ovk::Ovk5CaptureOptions options;
    ovk::Ovk5SeqCaptureOptions seq_options;
    ovk::CaptureOutput output;
    bool sequenced = false;
    bool port_given = false;
    bool format_given = false;
    bool quiet = false;
    bool gap_every_given = false;
    bool missing_given = false;
    std::string path;
    std::string target;
    unsigned long rate = 0, per_send = 1, split = 0, bad_every = 0;
    bool source_port_given = false;
    std::string send_only_option;  // a --send option given, for the error
    std::string seq_only_option;  // an OVK5SEQ option given, for the error
    std::string ovk5_only_option; // an OVK5 option given, likewise
    std::string transport_option; // -P ovk5-udp or ovk5-tcp as given, checked against --send

    opterr = 0;
    int code;
    while ((code = getopt_long(argc, argv, ":o:P:t:n:p:i:F:s:qhV", long_options, nullptr)) != -1) {
        const std::string name = option_name(code, long_options);
        switch (code) {
        case 'o':
            path = optarg;
            break;
        case 'P':
        case 't': {
            const std::string kind = optarg;
            if (kind == "udp" || kind == "ovk5-udp") {
                sequenced = false;
                options.transport = ovk::Transport::udp;
                transport_option = name + " " + kind;
            } else if (kind == "tcp" || kind == "ovk5-tcp") {
                sequenced = false;
                options.transport = ovk::Transport::tcp;
                transport_option = name + " " + kind;
            } else if (kind == "seq" || kind == "ovk5seq") {
                sequenced = true;
                transport_option.clear();
            } else {
                usage_error("unknown protocol '" + kind + "' (ovk5-udp, ovk5-tcp or ovk5seq)");
            }
            break;
        }
        case 'n':
            options.count = static_cast<std::uint32_t>(parse_number(name, optarg, 0, max_count));
            break;
        case 'p':
            options.port = static_cast<std::uint16_t>(parse_number(name, optarg, 1, 65535));
            port_given = true;
            ovk5_only_option = name;
            break;
        case opt_source_port:
            options.source_port = static_cast<std::uint16_t>(parse_number(name, optarg, 1, 65535));
            ovk5_only_option = name;
            source_port_given = true;
            break;
        case 'i':
            options.interface = static_cast<std::uint8_t>(parse_number(name, optarg, 0, 255));
            break;
        case opt_time_base:
            options.time_base = parse_time_base(optarg);
            break;
        case opt_interval:
            options.interval_ns = static_cast<std::uint32_t>(parse_number(name, optarg, 0, 0xffffffffUL));
            break;
        case opt_inner:
            options.inner = parse_inner(optarg);
            break;
        case opt_loss_rate:
            seq_options.loss_rate = parse_rate(optarg);
            seq_only_option = name;
            break;
        case opt_gap_every:
            seq_options.gap_every = static_cast<std::uint32_t>(parse_number(name, optarg, 0, 0xffffffffUL));
            seq_only_option = name;
            gap_every_given = true;
            break;
        case opt_missing:
            seq_options.missing_per_gap = static_cast<std::uint8_t>(parse_number(name, optarg, 1, 255));
            seq_only_option = name;
            missing_given = true;
            break;
        case opt_send:
            target = optarg;
            break;
        case opt_rate:
            rate = parse_number(name, optarg, 0, 100000000);
            send_only_option = name;
            break;
        case opt_per_send:
            per_send = parse_number(name, optarg, 1, 1000);
            send_only_option = name;
            break;
        case opt_split:
            split = parse_number(name, optarg, 0, 1000000);
            send_only_option = name;
            break;
        case opt_bad_every:
            bad_every = parse_number(name, optarg, 0, 0xffffffffUL);
            send_only_option = name;
            break;
        case 'F':
            if (std::strcmp(optarg, "pcap") == 0)
                output.format = ovk::CaptureFormat::pcap;
            else if (std::strcmp(optarg, "pcapng") == 0)
                output.format = ovk::CaptureFormat::pcapng;
            else
                usage_error("unknown format '" + std::string(optarg) + "' (pcap or pcapng)");
            format_given = true;
            break;
        case 's':
            options.seed = parse_seed(optarg);
            break;
        case 'q':
            quiet = true;
            break;
        case 'h':
            std::fputs(usage, stdout);
            return 0;
        case 'V':
            std::printf("ovk5-capgen %s\n", OVK_VERSION);
            return 0;
        case ':':
            usage_error("option " + (optopt ? option_name(optopt, long_options) : std::string(argv[optind - 1]))
                        + " needs a value");
        default:
            usage_error("unknown option '" + std::string(optopt ? std::string("-") + static_cast<char>(optopt)
                                                               : std::string(argv[optind - 1])) + "'");
        }
    }
    if (optind < argc)
        usage_error("unexpected argument '" + std::string(argv[optind]) + "'");
    if (!target.empty()) {
#ifdef OVK_CAPGEN_SEND
        if (!path.empty())
            usage_error("-o and --send exclude each other");
        ovk::SendOptions send;
        const ovk::Transport asked = options.transport;
        if (!ovk::parse_send_target(target, &options.transport, &send))
            usage_error("invalid value '" + target + "' for --send (udp://HOST:PORT or tcp://HOST:PORT)");
        if (!transport_option.empty() && options.transport != asked)
            usage_error(transport_option + " and --send " + target + " name different transports");
        if (sequenced)
            usage_error("--send sends OVK5 over UDP or TCP; OVK5SEQ records have no carrier to send them");
        if (split > 0 && options.transport != ovk::Transport::tcp)
            usage_error("--split applies to tcp:// targets only");
        if (bad_every > 0 && options.transport != ovk::Transport::udp)
            usage_error("--bad-every applies to udp:// targets only");
        if (!seq_only_option.empty())
            usage_error(seq_only_option + " applies to OVK5SEQ captures only (-P ovk5seq)");
        send.rate = static_cast<double>(rate);
        send.per_send = static_cast<std::uint32_t>(per_send);
        send.split = static_cast<std::uint32_t>(split);
        send.bad_every = static_cast<std::uint32_t>(bad_every);
        send.bind_source_port = source_port_given;
        if (options.count > 0 && ovk::packet_time_ns(options, options.count - 1) > ovk::latest_time_ns)
            usage_error("the last record would be after 2106-02-07T06:28:15Z, the latest time a header can hold"
                        " (--time-base plus --count times --interval)");
        try {
            const ovk::SendResult result = ovk::send_ovk5(options, send);
            if (!quiet)
                std::fprintf(stderr, "ovk5-capgen: sent %llu record%s to %s in %.3f s\n",
                             static_cast<unsigned long long>(result.records), result.records == 1 ? "" : "s",
                             target.c_str(), result.seconds);
        } catch (const std::exception &e) {
            std::fprintf(stderr, "ovk5-capgen: %s\n", e.what());
            return exit_failure;
        }
        return 0;
#else
        usage_error("--send is not available on this system");
#endif
    }
    if (!send_only_option.empty())
        usage_error(send_only_option + " applies with --send only");
    if (path.empty())
        usage_error("no output file given (-o FILE or --send TARGET)");
    if (!sequenced && !seq_only_option.empty())
        usage_error(seq_only_option + " applies to OVK5SEQ captures only (-P ovk5seq)");
    if (sequenced && !ovk5_only_option.empty())
        usage_error(ovk5_only_option + " applies to OVK5 over UDP or TCP only; OVK5SEQ records have no ports");
    if (missing_given && !gap_every_given)
        usage_error("--missing needs --gap-every (which records report the lost frames)");
    if (options.count > 0 && ovk::packet_time_ns(options, options.count - 1) > ovk::latest_time_ns)
        usage_error("the last packet would be after 2106-02-07T06:28:15Z, the latest time a capture can hold"
                    " (--time-base plus --count minus 1 times --interval)");
    if (!port_given)
        options.port = options.transport == ovk::Transport::udp ? ovk5_default_udp_port : ovk5_default_tcp_port;
    if (!format_given && ends_with(path, ".pcapng"))
        output.format = ovk::CaptureFormat::pcapng;

    static_cast<ovk::CaptureOptions &>(seq_options) = options;

    ProgressBar bar;
    if (!quiet && options.count >= progress_threshold && isatty(STDERR_FILENO))
        output.progress = [&bar](std::uint32_t written, std::uint32_t total) { bar(written, total); };

    // An interrupted run must not leave a half-written capture behind.
    ovk::install_output_cleanup_handlers();

    try {
        if (sequenced)
            ovk::write_ovk5seq_capture(path, seq_options, output);
        else
            ovk::write_ovk5_capture(path, options, output);
    } catch (const std::exception &e) {
        if (output.progress)
            std::fputc('\n', stderr);
        std::fprintf(stderr, "ovk5-capgen: %s\n", e.what());
        return exit_failure;
    }
    return 0;
}
