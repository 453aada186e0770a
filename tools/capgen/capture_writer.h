// SPDX-License-Identifier: GPL-2.0-or-later
// Writes a pcap or pcapng capture with nanosecond time stamps through a
// SafeOutput: a regular file appears at its path only when commit()
// succeeds, and a dropped writer or a failed write (a full disk) leaves no
// half-written capture; "-", FIFOs, devices and symbolic links are written
// as such.
#ifndef OVK_CAPGEN_CAPTURE_WRITER_H
#define OVK_CAPGEN_CAPTURE_WRITER_H

#include <cstdint>
#include <string>

#include "frames.h"
#include "safe_output.h"

namespace ovk {

// pcap link-layer header types the generator writes.
constexpr int linktype_ethernet = 1;
constexpr int linktype_user3 = 150;

// Larger than any frame the generator makes.
constexpr std::uint32_t default_snaplen = 262144;

// The name pcapng captures give their one interface.
constexpr const char *capture_interface_name = "ovk5-capgen";

enum class CaptureFormat {
    pcap,    // classic libpcap format, nanosecond variant (magic a1b23c4d)
    pcapng,  // one section, one interface with if_tsresol 9, enhanced packet blocks
};

class CaptureWriter {
public:
    // Throws std::runtime_error when the file cannot be created.
    CaptureWriter(const std::string &path, int linktype, std::uint32_t snaplen = default_snaplen,
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

    // Where the capture is written until commit(); empty when written
    // straight into its target.
    const std::string &temp_path() const { return output_.temp_path(); }

private:
    void put(const Bytes &bytes);
    void flush();
    [[noreturn]] void fail(int error);

    SafeOutput output_;
    std::uint32_t snaplen_;
    CaptureFormat format_;
    Bytes buffer_;
    bool open_ = false;
};

} // namespace ovk

#endif
