// SPDX-License-Identifier: GPL-2.0-or-later
// Misfires of an OVK5 heuristic over generated payloads of other protocols'
// shapes, dissected in process: random bytes, payloads led by a length
// field, DNS, RTP and NTP. Prints, per shape, the payloads seen and those
// the heuristic took. With -w, writes the payloads as UDP datagrams to a
// capture file instead (for tshark runs with the heuristic on and off).
//
//   ovk5-heur-payloads [-n PER_SHAPE] [-H ovk5_udp|ovk5_tcp] [--no-time] [-s SEED] [-w FILE]

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "capture_writer.h"
#include "epan_harness.h"
#include "generator.h"

namespace {

using ovk::Bytes;
using ovk::SplitMix64;

// Captures are dated from here, one second per thousand payloads.
constexpr std::int64_t capture_start = 1700000000;
// Seconds from 1900 (NTP) to 1970.
constexpr std::uint32_t ntp_epoch_offset = 2208988800u;

void put16(Bytes &out, std::uint16_t v, bool big)
{
    big ? ovk::put_be16(out, v) : ovk::put_le16(out, v);
}

void fill_random(Bytes &out, std::size_t n, SplitMix64 &rng)
{
    for (std::size_t i = 0; i < n; ++i)
        out.push_back(static_cast<std::uint8_t>(rng.next()));
}

std::size_t random_length(SplitMix64 &rng, std::size_t max = 1472)
{
    return 1 + rng.next() % max;
}

Bytes random_bytes(SplitMix64 &rng, std::int64_t)
{
    Bytes out;
    fill_random(out, random_length(rng), rng);
    return out;
}

// A 16- or 32-bit length, either byte order, counting the whole payload,
// what follows it, or what follows a header of 4, 8 or 16 bytes.
Bytes length_first(SplitMix64 &rng, std::int64_t)
{
    const std::size_t total = 4 + random_length(rng, 1468);
    const std::size_t headers[] = {0, 2, 4, 8, 16};
    const std::size_t header = headers[rng.next() % 5];
    const std::size_t counted = total > header ? total - header : 0;
    const bool big = rng.next() & 1;
    Bytes out;
    if (rng.next() & 1) {
        put16(out, static_cast<std::uint16_t>(counted), big);
    } else if (big) {
        ovk::put_be32(out, static_cast<std::uint32_t>(counted));
    } else {
        ovk::put_le32(out, static_cast<std::uint32_t>(counted));
    }
    fill_random(out, total - out.size(), rng);
    return out;
}

void put_name(Bytes &out, SplitMix64 &rng)
{
    const unsigned labels = 1 + rng.next() % 4;
    for (unsigned l = 0; l < labels; ++l) {
        const unsigned len = 1 + rng.next() % 12;
        out.push_back(static_cast<std::uint8_t>(len));
        for (unsigned i = 0; i < len; ++i)
            out.push_back(static_cast<std::uint8_t>('a' + rng.next() % 26));
    }
    out.push_back(0);
}

// A query, or a response with A records, for a random name.
Bytes dns(SplitMix64 &rng, std::int64_t)
{
    Bytes out;
    const bool response = rng.next() & 1;
    const std::uint16_t answers = response ? static_cast<std::uint16_t>(rng.next() % 5) : 0;
    ovk::put_be16(out, static_cast<std::uint16_t>(rng.next()));
    ovk::put_be16(out, response ? 0x8180 : 0x0100);
    ovk::put_be16(out, 1);
    ovk::put_be16(out, answers);
    ovk::put_be16(out, 0);
    ovk::put_be16(out, static_cast<std::uint16_t>(rng.next() % 2));
    put_name(out, rng);
    const std::uint16_t types[] = {1, 28, 15, 16, 12, 33};
    ovk::put_be16(out, types[rng.next() % 6]);
    ovk::put_be16(out, 1);
    for (std::uint16_t a = 0; a < answers; ++a) {
        ovk::put_be16(out, 0xc00c);
        ovk::put_be16(out, 1);
        ovk::put_be16(out, 1);
        ovk::put_be32(out, static_cast<std::uint32_t>(rng.next() % 86400));
        ovk::put_be16(out, 4);
        ovk::put_be32(out, static_cast<std::uint32_t>(rng.next()));
    }
    if (out.size() < 512 && (rng.next() & 1)) {  // EDNS0 OPT record
        out.push_back(0);
        ovk::put_be16(out, 41);
        ovk::put_be16(out, 1232);
        ovk::put_be32(out, 0);
        ovk::put_be16(out, 0);
    }
    return out;
}

// Version 2, a common payload type, 20 ms of audio or a video packet.
Bytes rtp(SplitMix64 &rng, std::int64_t)
{
    const std::uint8_t types[] = {0, 8, 9, 18, 96, 97, 111};
    Bytes out;
    out.push_back(0x80);
    out.push_back(static_cast<std::uint8_t>(types[rng.next() % 7] | ((rng.next() % 8 == 0) ? 0x80 : 0)));
    ovk::put_be16(out, static_cast<std::uint16_t>(rng.next()));
    ovk::put_be32(out, static_cast<std::uint32_t>(rng.next()));
    ovk::put_be32(out, static_cast<std::uint32_t>(rng.next()));
    const std::size_t sizes[] = {160, 80, 20, 320};
    const std::size_t size = (rng.next() & 1) ? sizes[rng.next() % 4] : random_length(rng, 1200);
    fill_random(out, size, rng);
    return out;
}

void put_ntp_time(Bytes &out, std::int64_t unix_seconds, SplitMix64 &rng)
{
    ovk::put_be32(out, static_cast<std::uint32_t>(unix_seconds + ntp_epoch_offset));
    ovk::put_be32(out, static_cast<std::uint32_t>(rng.next()));
}

// Client requests and server replies, time stamps near the capture's.
Bytes ntp(SplitMix64 &rng, std::int64_t now)
{
    Bytes out;
    const bool reply = rng.next() & 1;
    out.push_back(reply ? 0x24 : 0x23);  // version 4, mode 4 or 3
    out.push_back(reply ? static_cast<std::uint8_t>(1 + rng.next() % 3) : 0);
    out.push_back(6);
    out.push_back(0xe9);
    ovk::put_be32(out, reply ? static_cast<std::uint32_t>(rng.next() % 0x10000) : 0);
    ovk::put_be32(out, reply ? static_cast<std::uint32_t>(rng.next() % 0x10000) : 0);
    ovk::put_be32(out, reply ? static_cast<std::uint32_t>(rng.next()) : 0);
    for (int i = 0; i < 4; ++i) {
        if (!reply && i < 3) {
            ovk::put_be32(out, 0);
            ovk::put_be32(out, 0);
        } else {
            put_ntp_time(out, now - static_cast<std::int64_t>(rng.next() % 3), rng);
        }
    }
    return out;
}

struct Shape {
    const char *name;
    Bytes (*make)(SplitMix64 &, std::int64_t);
};

const Shape shapes[] = {
    {"random bytes", random_bytes},
    {"length field first", length_first},
    {"DNS", dns},
    {"RTP", rtp},
    {"NTP", ntp},
};

[[noreturn]] void usage()
{
    std::fprintf(stderr, "usage: ovk5-heur-payloads [-n PER_SHAPE] [-H ovk5_udp|ovk5_tcp] [--no-time] [-s SEED] [-w FILE]\n");
    std::exit(2);
}

} // namespace

int main(int argc, char **argv)
{
    std::uint64_t per_shape = 2000000;
    std::string heuristic = "ovk5_udp";
    bool with_time = true;
    std::uint64_t seed = 1;
    std::string output;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "-n" || arg == "-H" || arg == "-s" || arg == "-w") && i + 1 < argc) {
            const char *value = argv[++i];
            if (arg == "-w")
                output = value;
            else if (arg == "-n")
                per_shape = std::strtoull(value, nullptr, 10);
            else if (arg == "-s")
                seed = std::strtoull(value, nullptr, 10);
            else
                heuristic = value;
        } else if (arg == "--no-time") {
            with_time = false;
        } else {
            usage();
        }
    }

    if (!output.empty()) {
        // The shapes interleaved, each datagram between ports of its own
        // out of a hundred, none of them OVK5's.
        ovk::CaptureWriter writer(output, ovk::linktype_ethernet);
        SplitMix64 rngs[] = {SplitMix64(seed, 1), SplitMix64(seed, 2), SplitMix64(seed, 3), SplitMix64(seed, 4),
                             SplitMix64(seed, 5)};
        ovk::Endpoints ends;
        for (std::uint64_t i = 0; i < per_shape * 5; ++i) {
            const std::int64_t now = capture_start + static_cast<std::int64_t>(i / 1000);
            ends.src_port = static_cast<std::uint16_t>(50000 + i % 100);
            ends.dst_port = static_cast<std::uint16_t>(40000 + i % 100);
            writer.write(static_cast<std::uint64_t>(now) * 1000000000u + i % 1000 * 1000000u,
                         ovk::ethernet_ipv4_udp(ends, shapes[i % 5].make(rngs[i % 5], now)));
        }
        writer.commit();
        return 0;
    }

    ovk::test::start_epan();
    std::uint64_t total_seen = 0, total_taken = 0;
    std::uint64_t stream = 0;
    for (const Shape &shape : shapes) {
        SplitMix64 rng(seed, ++stream);
        std::uint64_t taken = 0;
        for (std::uint64_t i = 0; i < per_shape; ++i) {
            const std::int64_t now = capture_start + static_cast<std::int64_t>(i / 1000);
            const Bytes payload = shape.make(rng, now);
            std::optional<std::int64_t> time;
            if (with_time)
                time = now;
            const ovk::test::ProbeResult r = ovk::test::try_heuristic(heuristic, payload, time);
            if (!r.handle_found) {
                std::fprintf(stderr, "no heuristic %s\n", heuristic.c_str());
                return 1;
            }
            if (r.bytes_taken > 0)
                ++taken;
        }
        std::printf("%-20s %10llu payloads, %llu taken by %s\n", shape.name,
                    static_cast<unsigned long long>(per_shape), static_cast<unsigned long long>(taken),
                    heuristic.c_str());
        total_seen += per_shape;
        total_taken += taken;
    }
    std::printf("%-20s %10llu payloads, %llu taken by %s (%s)\n", "all", static_cast<unsigned long long>(total_seen),
                static_cast<unsigned long long>(total_taken), heuristic.c_str(),
                with_time ? "capture times set" : "no capture times");
    return 0;
}
