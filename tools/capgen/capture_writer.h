// SPDX-License-Identifier: GPL-2.0-or-later
// Writes a pcap or pcapng capture with nanosecond time stamps. The file
// appears at its path only when commit() succeeds; until then it is written
// beside it under a temporary name, which is removed if the writer is
// dropped or a write fails (a full disk leaves no half-written capture).
#ifndef OVK_CAPGEN_CAPTURE_WRITER_H
#define OVK_CAPGEN_CAPTURE_WRITER_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "frames.h"

namespace ovk {

// pcap link-layer header types the generator writes.
constexpr int linktype_ethernet = 1;
constexpr int linktype_user3 = 150;

// Where a capture of path is written until it is complete.
std::string temp_path_for(const std::string &path);

enum class CaptureFormat {
    pcap,    // classic libpcap format, nanosecond variant (magic a1b23c4d)
    pcapng,  // one section, one interface with if_tsresol 9, enhanced packet blocks
};

class CaptureWriter {
public:
    // Throws std::runtime_error when the file cannot be created.
    CaptureWriter(std::string path, int linktype, std::uint32_t snaplen = 262144,
                  CaptureFormat format = CaptureFormat::pcap);
    ~CaptureWriter();
    CaptureWriter(const CaptureWriter &) = delete;
    CaptureWriter &operator=(const CaptureWriter &) = delete;

    // Records frame at ts_ns nanoseconds since the epoch. wire_length is the
    // frame's length on the wire; when larger than frame.size() the record
    // is a truncated capture of it. Frames longer than the snap length are
    // cut to it. Throws std::runtime_error when the write fails.
    void write(std::uint64_t ts_ns, const Bytes &frame, std::uint32_t wire_length = 0);

    // Flushes, closes and moves the file into place; throws on failure.
    void commit();

    // Where the capture is written until commit(), for a signal handler that
    // must remove it.
    const std::string &temp_path() const { return temp_path_; }

private:
    void put(const Bytes &bytes);
    [[noreturn]] void fail(int error);

    std::string path_;
    std::string temp_path_;
    std::uint32_t snaplen_;
    CaptureFormat format_;
    std::FILE *file_ = nullptr;
};

} // namespace ovk

#endif
