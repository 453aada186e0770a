// SPDX-License-Identifier: GPL-2.0-or-later
// Sends the OVK5 records a capture would hold to a collector, as the
// hardware does: over UDP or TCP, at a given rate.
#ifndef OVK_CAPGEN_SENDER_H
#define OVK_CAPGEN_SENDER_H

#include <cstdint>
#include <string>

#include "generator.h"

namespace ovk {

struct SendOptions {
    std::string host;              // numeric address or name
    std::uint16_t port = 0;
    double rate = 0;               // records per second; 0: as fast as the socket takes them
    std::uint32_t per_send = 1;    // records per datagram or per TCP write
    std::uint32_t split = 0;       // TCP: bytes per write, cutting records (0: whole sends)
    bool bind_source_port = false; // send from options' source_port
    std::uint32_t bad_every = 0;   // UDP: every Nth record claims a Blob size one too large
};

struct SendResult {
    std::uint64_t records = 0;
    double seconds = 0;
};

// "udp://HOST:PORT" or "tcp://HOST:PORT" ("[v6]:PORT" too) into transport
// and send; false when target is not one.
bool parse_send_target(const std::string &target, Transport *transport, SendOptions *send);

// Sends options.count records of options (interface, times, inner frames)
// as options.transport says; throws std::runtime_error when it cannot.
SendResult send_ovk5(const Ovk5CaptureOptions &options, const SendOptions &send);

} // namespace ovk

#endif
