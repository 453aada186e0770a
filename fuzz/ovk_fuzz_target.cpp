// SPDX-License-Identifier: GPL-2.0-or-later
// libFuzzer target: starts libwireshark once with both dissectors
// registered, then gives every input to OVK5 as a UDP payload and as a TCP
// payload (the dissector bound to its default port in "udp.port" and
// "tcp.port", called the way fuzzshark calls a table entry) and to OVK5SEQ
// as a whole link-type 150 record. Every displayed field value is rendered,
// as "tshark -V" would. Built twice: OVK_FUZZ_MODE_HEADER turns Ethernet
// off, OVK_FUZZ_MODE_FULL decodes the frame behind the header too. Every
// input is a capture file of its own.

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "epan_harness.h"
#include "test_captures.h"

namespace {

void feed_ovk5(const char *table, std::uint32_t port, const ovk::Bytes &payload)
{
    const ovk::test::ProbeResult result = ovk::test::call_bound_dissector(table, port, payload);
    // A fuzzer that no longer reaches the dissector would pass for nothing.
    if (!result.handle_found) {
        std::fprintf(stderr, "no dissector bound to %s %u\n", table, port);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    ovk::test::start_epan();
#if defined(OVK_FUZZ_MODE_HEADER)
    ovk::test::disable_protocol("eth");
#endif
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size > 65535)
        return -1;  // larger than any UDP payload or capture record we accept
    // An exact-size copy: reading one byte past the input is a finding.
    const ovk::Bytes input(data, data + size);
    feed_ovk5("udp.port", ovk::test::ovk5_udp_port, input);
    feed_ovk5("tcp.port", ovk::test::ovk5_tcp_port, input);
    ovk::test::dissect(WTAP_ENCAP_USER3, input);
#ifdef OVK_FUZZ_MODE_HEADER
    // What the analysis kept per file for this input goes before the input
    // ends: the per-input leak check then sees no growth (a memory scan
    // after every input otherwise), and no input depends on those before
    // it. Not with the frame decoded: the analyser's own dissectors keep
    // g_malloc'd state that only their cleanup routines free, and freeing
    // the file scope under them would lose it (that mode checks leaks at
    // exit only).
    ovk::test::forget_capture_file();
#endif
    return 0;
}
