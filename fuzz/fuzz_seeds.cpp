// SPDX-License-Identifier: GPL-2.0-or-later
// ovk-fuzz-seeds DIR: writes the fuzzers' seed corpus, payloads made by the
// capture generator's frame builders: OVK5 payloads and OVK5SEQ records
// around real inner frames, and the short and header-only edge cases.

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>

#include "test_captures.h"

namespace {

void write_seed(const std::string &dir, const std::string &name, const ovk::Bytes &bytes)
{
    std::ofstream out(dir + "/" + name, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write seed " + name);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fputs("Usage: ovk-fuzz-seeds DIR\n", stderr);
        return 2;
    }
    const std::string dir = argv[1];
    try {
        ovk::Ovk5CaptureOptions options;
        const ovk::Bytes inner_tcp = ovk::test::over_tcp({'G', 'E', 'T', ' '}, 50000, 80);
        for (std::uint32_t i = 0; i < 3; ++i) {
            const ovk::Ovk5Header header = ovk::ovk5_header_for(options, i);
            write_seed(dir, "ovk5-udp-" + std::to_string(i), ovk::ovk5_payload(header, ovk::inner_frame_for(i)));
            write_seed(dir, "ovk5-tcp-" + std::to_string(i), ovk::ovk5_payload(header, inner_tcp));
        }
        const ovk::Bytes header_only = ovk::encode(ovk::ovk5_header_for(options, 0));
        write_seed(dir, "ovk5-header-only", header_only);
        write_seed(dir, "short-15", ovk::Bytes(header_only.begin(), header_only.end() - 1));
        write_seed(dir, "empty", {});

        ovk::Ovk5SeqCaptureOptions seq_options;
        seq_options.count = 4;
        seq_options.gap_every = 2;
        seq_options.missing_per_gap = 3;
        const auto headers = ovk::ovk5seq_headers(seq_options);
        for (std::uint32_t i = 0; i < headers.size(); ++i)
            write_seed(dir, "ovk5seq-" + std::to_string(i), ovk::ovk5seq_record(headers[i], ovk::inner_frame_for(i)));
        write_seed(dir, "ovk5seq-header-only", ovk::encode(headers[1]));
    } catch (const std::exception &e) {
        std::fprintf(stderr, "ovk-fuzz-seeds: %s\n", e.what());
        return 1;
    }
    return 0;
}
