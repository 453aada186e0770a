// SPDX-License-Identifier: GPL-2.0-or-later
// The live capture of ovk5dump: OVK5 records received over UDP or TCP,
// their Ethernet frames written as pcapng to the FIFO Wireshark reads, one
// interface per stream (the sender's address and the header interface).
#ifndef OVK_EXTCAP_RECEIVER_H
#define OVK_EXTCAP_RECEIVER_H

#include <cstdint>
#include <string>

namespace ovk {

enum class Carrier { udp, tcp };

struct ReceiverOptions {
    Carrier carrier = Carrier::udp;
    std::string listen_address;  // empty: every local address
    std::uint16_t port = 0;      // to listen on
    // TCP only: connect to the hardware instead of listening.
    std::string connect_host;    // empty: listen
    std::uint16_t connect_port = 0;
    std::string fifo;
    std::string capture_filter;  // BPF, applied to the inner frames
};

// Connections served at once in TCP listening mode; more are closed at once.
constexpr int max_connections = 64;
// Streams (pcapng interfaces) of one capture, and devices; records of
// further ones are counted as dropped.
constexpr int max_streams = 1024;

// Checks filter with libpcap's compiler for Ethernet frames; the compiler's
// message in *error when it is refused.
bool capture_filter_valid(const std::string &filter, std::string *error);

// A capture that cannot run: opens the FIFO and closes it unwritten, so
// that the reader waiting for it (dumpcap) learns at once that nothing
// comes, and does not wait for ever. Bounded to a few seconds.
void release_fifo(const std::string &fifo);

// Runs the capture until a signal (SIGINT, SIGTERM) or the reader closing
// the FIFO; returns the exit status.
int run_capture(const ReceiverOptions &options);

} // namespace ovk

#endif
