// SPDX-License-Identifier: GPL-2.0-or-later
// ovk5dump: a Wireshark extcap that receives the OVK5 stream capture
// hardware sends to a collector, over UDP or TCP, and hands Wireshark the
// Ethernet frames behind the headers on the hardware's clock.

#include <getopt.h>
#include <netdb.h>
#include <sys/socket.h>

#include <wsutil/wslog.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "help_url.h"
#include "ovk_record_format.h"
#include "receiver.h"
#include "wiretap_compat.h"

namespace {

constexpr int exit_failure = 1;
constexpr int exit_usage = 2;

constexpr const char *udp_interface = "ovk5udp";
constexpr const char *tcp_interface = "ovk5tcp";
constexpr unsigned min_listen_port = 1024;

const char usage[] =
    "Usage: ovk5dump --extcap-interfaces\n"
    "       ovk5dump --extcap-interface=ovk5udp|ovk5tcp --extcap-dlts\n"
    "       ovk5dump --extcap-interface=ovk5udp|ovk5tcp --extcap-config\n"
    "       ovk5dump --extcap-interface=ovk5udp|ovk5tcp --extcap-capture-filter=FILTER\n"
    "       ovk5dump --extcap-interface=ovk5udp|ovk5tcp --capture --fifo=PATH [OPTION]...\n"
    "Receives the OVK5 records capture hardware sends over UDP or TCP and writes\n"
    "the Ethernet frames behind their headers as pcapng, on the hardware's clock,\n"
    "one interface per stream (the sender's address and the header interface).\n"
    "Wireshark and tshark start it from their extcap folder.\n"
    "\n"
    "  --extcap-interfaces            list the interfaces\n"
    "  --extcap-version[=VERSION]     print the version (with --extcap-interfaces:\n"
    "                                 the Wireshark version asking)\n"
    "  --extcap-interface=NAME        ovk5udp or ovk5tcp\n"
    "  --extcap-dlts                  list the interface's link-layer types\n"
    "  --extcap-config                list the interface's options\n"
    "  --extcap-capture-filter=FILTER with --capture, the capture filter (BPF, on the\n"
    "                                 inner frames); without, check it\n"
    "  --capture                      capture\n"
    "  --fifo=PATH                    where the capture is written\n"
    "  --port=N                       port to listen on, 1024-65535 (default 21171 for\n"
    "                                 UDP, 21103 for TCP)\n"
    "  --listen-address=ADDRESS       local address to listen on, fe80::1%eth0 for a\n"
    "                                 link-local one (default: all)\n"
    "  --mode=listen|connect          TCP: listen for the hardware's connections\n"
    "                                 (default) or connect to it\n"
    "  --connect-host=HOST            TCP, connect mode: the hardware's address\n"
    "  --connect-port=N               TCP, connect mode: its port (default 21103)\n"
    "  --log-level=LEVEL              message (default), info, debug or noisy\n"
    "  --log-file=PATH                also write the log messages to PATH\n"
    "  --help, --version\n"
    "\n"
    "Exit status: 0 when the capture stopped or a question was answered, 1 when\n"
    "the capture could not run, 2 on bad options.\n";

// The FIFO of a capture Wireshark asked for, found before the options are
// read: refused options must still release its reader.
std::string capture_fifo;

[[noreturn]] void usage_error(const std::string &message)
{
    std::fprintf(stderr, "ovk5dump: %s\nTry 'ovk5dump --help'.\n", message.c_str());
    if (!capture_fifo.empty())
        ovk::release_fifo(capture_fifo);
    std::exit(exit_usage);
}

void find_capture_fifo(int argc, char **argv)
{
    bool capture = false;
    std::string fifo;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--capture")
            capture = true;
        else if (arg.rfind("--fifo=", 0) == 0)
            fifo = arg.substr(7);
        else if (arg == "--fifo" && i + 1 < argc)
            fifo = argv[i + 1];
    }
    if (capture)
        capture_fifo = fifo;
}

unsigned parse_port(const char *option, const char *text, unsigned min)
{
    char *end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (!*text || *text < '0' || *text > '9' || *end || errno == ERANGE || value < min || value > 65535)
        usage_error("invalid value '" + std::string(text) + "' for " + option + " (" + std::to_string(min)
                    + " to 65535)");
    return static_cast<unsigned>(value);
}

// An IPv4 or IPv6 address, a link-local one with its link ("fe80::1%eth0").
bool numeric_address(const std::string &text)
{
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
    addrinfo *found = nullptr;
    if (getaddrinfo(text.c_str(), nullptr, &hints, &found) != 0)
        return false;
    freeaddrinfo(found);
    return true;
}

// Wireshark takes whatever an extcap writes on standard error for an
// error of the capture: only warnings and worse go there; every message
// goes to the log file (--log-file) as well, which libwsutil writes itself.
void write_log_message(const char *domain, enum ws_log_level level, const char *user_format, va_list user_ap)
{
    if (level < LOG_LEVEL_WARNING)
        return;
    std::fprintf(stderr, "%s: ", domain && *domain ? domain : "ovk5dump");
    std::vfprintf(stderr, user_format, user_ap);
    std::fputc('\n', stderr);
}

#if OVK_WIRESHARK_AT_LEAST(4, 4)
void log_writer(const char *domain, enum ws_log_level level, const char *, long, const char *, const char *,
                ws_log_manifest_t *, const char *user_format, va_list user_ap, void *)
{
    write_log_message(domain, level, user_format, user_ap);
}
#else
void log_writer(const char *domain, enum ws_log_level level, struct timespec, const char *, long, const char *,
                const char *user_format, va_list user_ap, void *)
{
    write_log_message(domain, level, user_format, user_ap);
}
#endif

void print_interfaces()
{
    std::printf("extcap {version=%s}{help=%s}\n", OVK_VERSION, ovk::help_url().c_str());
    std::printf("interface {value=%s}{display=OVK5 receiver (UDP)}\n", udp_interface);
    std::printf("interface {value=%s}{display=OVK5 receiver (TCP)}\n", tcp_interface);
}

// Wireshark's dialog checks these itself: a port in range, an address of
// digits, hex digits, dots and colons, a host name's characters.
void print_config(bool tcp)
{
    unsigned n = 0;
    std::printf("arg {number=%u}{call=--port}{display=Port}{type=unsigned}{range=%u,65535}{default=%u}"
                "{tooltip=%s}{group=Receiver}\n",
                n++, min_listen_port, static_cast<unsigned>(tcp ? ovk5_default_tcp_port : ovk5_default_udp_port),
                tcp ? "TCP port to listen on for the hardware's connections"
                    : "UDP port the hardware sends its records to");
    std::printf("arg {number=%u}{call=--listen-address}{display=Listen address}{type=string}"
                "{validation=^[0-9A-Za-z.:%%_-]*$}"
                "{tooltip=Local IPv4 or IPv6 address to listen on (fe80::1%%eth0 for a link-local one); empty for all}"
                "{group=Receiver}\n",
                n++);
    if (tcp) {
        const unsigned mode = n++;
        std::printf("arg {number=%u}{call=--mode}{display=Connection}{type=radio}"
                    "{tooltip=Whether the hardware connects to this host or this host to the hardware}"
                    "{group=Receiver}\n",
                    mode);
        std::printf("value {arg=%u}{value=listen}{display=Listen for the hardware's connections}{default=true}\n",
                    mode);
        std::printf("value {arg=%u}{value=connect}{display=Connect to the hardware}{default=false}\n", mode);
        std::printf("arg {number=%u}{call=--connect-host}{display=Hardware address}{type=string}"
                    "{validation=^[A-Za-z0-9.:%%_-]*$}{tooltip=Host name or address of the hardware (connect mode)}"
                    "{group=Receiver}\n",
                    n++);
        std::printf("arg {number=%u}{call=--connect-port}{display=Hardware port}{type=unsigned}{range=1,65535}"
                    "{default=%u}{tooltip=TCP port of the hardware (connect mode)}{group=Receiver}\n",
                    n++, static_cast<unsigned>(ovk5_default_tcp_port));
    }
    // Wireshark's standard log options, as its own extcaps offer them.
    std::printf("arg {number=%u}{call=--log-level}{display=Set the log level}{type=selector}"
                "{tooltip=Set the log level}{required=false}{group=Debug}\n",
                n);
    std::printf("value {arg=%u}{value=message}{display=Message}{default=true}\n", n);
    std::printf("value {arg=%u}{value=info}{display=Info}\n", n);
    std::printf("value {arg=%u}{value=debug}{display=Debug}\n", n);
    std::printf("value {arg=%u}{value=noisy}{display=Noisy}\n", n);
    ++n;
    std::printf("arg {number=%u}{call=--log-file}{display=Use a file for logging}{type=fileselect}"
                "{tooltip=Set a file where log messages are written}{required=false}{group=Debug}\n",
                n);
}

} // namespace

int main(int argc, char **argv)
{
    enum : int {
        opt_interfaces = 256, opt_version, opt_dlts, opt_interface, opt_config, opt_capture, opt_filter, opt_fifo,
        opt_log_level, opt_log_file, opt_port, opt_listen_address, opt_mode, opt_connect_host, opt_connect_port,
        opt_help, opt_program_version,
    };
    static const struct option long_options[] = {
        {"extcap-interfaces", no_argument, nullptr, opt_interfaces},
        {"extcap-version", optional_argument, nullptr, opt_version},
        {"extcap-dlts", no_argument, nullptr, opt_dlts},
        {"extcap-interface", required_argument, nullptr, opt_interface},
        {"extcap-config", no_argument, nullptr, opt_config},
        {"capture", no_argument, nullptr, opt_capture},
        {"extcap-capture-filter", required_argument, nullptr, opt_filter},
        {"fifo", required_argument, nullptr, opt_fifo},
        {"log-level", required_argument, nullptr, opt_log_level},
        {"log-file", required_argument, nullptr, opt_log_file},
        {"port", required_argument, nullptr, opt_port},
        {"listen-address", required_argument, nullptr, opt_listen_address},
        {"mode", required_argument, nullptr, opt_mode},
        {"connect-host", required_argument, nullptr, opt_connect_host},
        {"connect-port", required_argument, nullptr, opt_connect_port},
        {"help", no_argument, nullptr, opt_help},
        {"version", no_argument, nullptr, opt_program_version},
        {nullptr, 0, nullptr, 0},
    };

    // Wireshark shows whatever an extcap writes on standard error as the
    // capture's error: what is no error is logged at the info level and
    // below, which the log options turn on, into the log file only.
    ovk_log_init("ovk5dump");
    ws_log_set_writer(log_writer);
    find_capture_fifo(argc, argv);

    bool list_interfaces = false, version = false, list_dlts = false, config = false, capture = false;
    bool filter_given = false, port_given = false, connect_port_given = false, connect = false;
    std::string interface, log_file;
    ovk::ReceiverOptions options;

    opterr = 0;
    int code;
    while ((code = getopt_long(argc, argv, "", long_options, nullptr)) != -1) {
        switch (code) {
        case opt_interfaces: list_interfaces = true; break;
        case opt_version: version = true; break;
        case opt_dlts: list_dlts = true; break;
        case opt_interface: interface = optarg; break;
        case opt_config: config = true; break;
        case opt_capture: capture = true; break;
        case opt_filter:
            options.capture_filter = optarg;
            filter_given = true;
            break;
        case opt_fifo: options.fifo = optarg; break;
        case opt_log_level:
            if (ws_log_set_level_str(optarg) == LOG_LEVEL_NONE)
                usage_error("invalid value '" + std::string(optarg)
                            + "' for --log-level (message, info, debug or noisy)");
            break;
        case opt_log_file: log_file = optarg; break;
        case opt_port:
            options.port = static_cast<std::uint16_t>(parse_port("--port", optarg, min_listen_port));
            port_given = true;
            break;
        case opt_listen_address:
            options.listen_address = optarg;
            if (!options.listen_address.empty() && !numeric_address(options.listen_address))
                usage_error("invalid value '" + options.listen_address
                            + "' for --listen-address (an IPv4 or IPv6 address of this host, fe80::1%eth0 for a "
                              "link-local one)");
            break;
        case opt_mode:
            if (std::strcmp(optarg, "listen") == 0)
                connect = false;
            else if (std::strcmp(optarg, "connect") == 0)
                connect = true;
            else
                usage_error("invalid value '" + std::string(optarg) + "' for --mode (listen or connect)");
            break;
        case opt_connect_host: options.connect_host = optarg; break;
        case opt_connect_port:
            options.connect_port = static_cast<std::uint16_t>(parse_port("--connect-port", optarg, 1));
            connect_port_given = true;
            break;
        case opt_help: std::fputs(usage, stdout); return 0;
        case opt_program_version: std::printf("ovk5dump %s\n", OVK_VERSION); return 0;
        case ':':
        case '?':
        default:
            usage_error("unknown option or missing value: '" + std::string(argv[optind - 1]) + "'");
        }
    }
    if (optind < argc)
        usage_error("unexpected argument '" + std::string(argv[optind]) + "'");

    if (!log_file.empty()) {
        FILE *log = std::fopen(log_file.c_str(), "a");
        if (!log) {
            std::fprintf(stderr, "ovk5dump: cannot open %s: %s\n", log_file.c_str(), std::strerror(errno));
            return exit_failure;
        }
        ws_log_add_custom_file(log);
    }

    if (list_interfaces) {
        print_interfaces();
        return 0;
    }
    if (version && interface.empty()) {
        std::printf("extcap {version=%s}{help=%s}\n", OVK_VERSION, ovk::help_url().c_str());
        return 0;
    }
    if (interface.empty())
        usage_error("no interface given (--extcap-interface=ovk5udp or ovk5tcp)");
    const bool tcp = interface == tcp_interface;
    if (!tcp && interface != udp_interface)
        usage_error("unknown interface '" + interface + "' (ovk5udp or ovk5tcp)");
    if (list_dlts) {
        std::printf("dlt {number=1}{name=EN10MB}{display=Ethernet}\n");
        return 0;
    }
    if (config) {
        print_config(tcp);
        return 0;
    }
    if (filter_given && !capture) {
        // Wireshark's check of a capture filter: nothing printed when it
        // is valid, the reason on the first line when not.
        std::string error;
        if (!ovk::capture_filter_valid(options.capture_filter, &error))
            std::printf("%s\n", error.c_str());
        return 0;
    }
    if (!capture)
        usage_error("nothing to do (--extcap-interfaces, --extcap-dlts, --extcap-config or --capture)");
    if (options.fifo.empty())
        usage_error("--capture needs --fifo=PATH");

    options.carrier = tcp ? ovk::Carrier::tcp : ovk::Carrier::udp;
    if (!port_given)
        options.port = tcp ? ovk5_default_tcp_port : ovk5_default_udp_port;
    if (!connect_port_given)
        options.connect_port = ovk5_default_tcp_port;
    if (connect && !tcp)
        usage_error("--mode=connect applies to the TCP interface only");
    if (connect && options.connect_host.empty())
        usage_error("--mode=connect needs --connect-host=HOST (the hardware's address)");
    // The dialog passes every field; the host counts in connect mode only.
    if (!connect)
        options.connect_host.clear();
    return ovk::run_capture(options);
}
