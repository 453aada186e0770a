// SPDX-License-Identifier: GPL-2.0-or-later
// PcapngWriter for ovk5dump.exe, which stands alone: the blocks libwiretap
// writes for the live capture (section header, one interface per stream,
// enhanced packets with comment and drop count, statistics), in the
// host's byte order, as libwiretap writes them.
#include "pcapng_writer.h"

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace ovk {

namespace {

constexpr std::uint64_t nanoseconds_per_second = 1000000000;
constexpr std::uint32_t snap_length = 262144;
enum : std::uint32_t {
    block_section = 0x0a0d0d0a,
    block_interface = 1,
    block_statistics = 5,
    block_enhanced_packet = 6,
};
enum : std::uint16_t {
    opt_end = 0,
    opt_comment = 1,
    opt_if_name = 2,
    opt_if_description = 3,
    opt_if_tsresol = 9,
    opt_if_filter = 11,
    opt_shb_hardware = 2,
    opt_shb_os = 3,
    opt_shb_userappl = 4,
    opt_epb_dropcount = 4,
    opt_isb_ifrecv = 4,
    opt_isb_ifdrop = 5,
    opt_isb_filteraccept = 6,
    opt_isb_osdrop = 7,
};

class Block {
public:
    explicit Block(std::uint32_t type)
    {
        u32(type);
        u32(0);  // length, set by finish()
    }
    void u16(std::uint16_t value) { bytes_.append(reinterpret_cast<const char *>(&value), sizeof value); }
    void u32(std::uint32_t value) { bytes_.append(reinterpret_cast<const char *>(&value), sizeof value); }
    void u64(std::uint64_t value) { bytes_.append(reinterpret_cast<const char *>(&value), sizeof value); }
    void data(const void *bytes, std::size_t length)
    {
        bytes_.append(static_cast<const char *>(bytes), length);
        bytes_.append((4 - length % 4) % 4, '\0');
    }
    void option(std::uint16_t code, const void *value, std::size_t length)
    {
        u16(code);
        u16(static_cast<std::uint16_t>(length));
        data(value, length);
    }
    void option(std::uint16_t code, const std::string &text) { option(code, text.data(), text.size()); }
    void option64(std::uint16_t code, std::uint64_t value) { option(code, &value, sizeof value); }
    void end_options() { u32(0); }
    const std::string &finish()
    {
        const std::uint32_t length = static_cast<std::uint32_t>(bytes_.size() + 4);
        std::memcpy(&bytes_[4], &length, sizeof length);
        u32(length);
        return bytes_;
    }

private:
    std::string bytes_;
};

std::uint64_t nanoseconds(const nstime_t &time)
{
    return static_cast<std::uint64_t>(time.secs) * nanoseconds_per_second + static_cast<std::uint64_t>(time.nsecs);
}

} // namespace

PcapngWriter::~PcapngWriter()
{
    if (fd_ >= 0)
        ::_close(fd_);
}

void PcapngWriter::open(int fd)
{
    fd_ = fd;
    // Bytes as they are: a descriptor in text mode would turn LF into CR LF.
    ::_setmode(fd_, _O_BINARY);
}

void PcapngWriter::describe_section(const SectionInfo &info)
{
    section_ = info;
}

bool PcapngWriter::start(std::string *error)
{
    if (!section_started_) {
        Block section(block_section);
        section.u32(0x1a2b3c4d);  // byte-order magic
        section.u16(1);
        section.u16(0);
        section.u64(~std::uint64_t{0});  // section length not known
        bool options = false;
        for (const auto &[code, text] : {std::pair{opt_shb_hardware, &section_.hardware},
                                          std::pair{opt_shb_os, &section_.os},
                                          std::pair{opt_shb_userappl, &section_.application}}) {
            if (!text->empty()) {
                section.option(code, *text);
                options = true;
            }
        }
        if (options)
            section.end_options();
        pending_ += section.finish();
        section_started_ = true;
    }
    return flush(error);
}

int PcapngWriter::interface_for(const InterfaceLabel &label, std::string *error)
{
    const auto known = interfaces_.find(label.name);
    if (known != interfaces_.end())
        return known->second;
    if (!section_started_ && !start(error))
        return -1;
    Block interface(block_interface);
    interface.u16(1);  // LINKTYPE_ETHERNET
    interface.u16(0);
    interface.u32(snap_length);
    interface.option(opt_if_name, label.name);
    interface.option(opt_if_description, label.description);
    const std::uint8_t resolution = 9;  // 10^-9 s
    interface.option(opt_if_tsresol, &resolution, 1);
    if (!capture_filter_.empty())
        interface.option(opt_if_filter, std::string(1, '\0') + capture_filter_);  // 0: libpcap's syntax
    interface.end_options();
    pending_ += interface.finish();
    const int index = static_cast<int>(interfaces_.size());
    interfaces_.emplace(label.name, index);
    return index;
}

bool PcapngWriter::write(const ExportedPacket &packet, std::string *)
{
    std::string comment;
    std::uint64_t drops = 0;
    bool with_drops = false;
    if (packet.kind == HeaderKind::ovk5seq) {
        drops = packet.missing_frames;
        with_drops = true;
    } else {
        drops = packet.lost_before;
        with_drops = packet.lost_before != 0;
        char rids[32];
        std::snprintf(rids, sizeof rids, "RID 0 0x%04x, RID 1 0x%04x", packet.rid0, packet.rid1);
        comment = rids;
    }
    if (packet.note)
        comment += (comment.empty() ? "" : "; ") + std::string(packet.note);

    Block record(block_enhanced_packet);
    record.u32(static_cast<std::uint32_t>(packet.interface));
    const std::uint64_t stamp = nanoseconds(packet.time);
    record.u32(static_cast<std::uint32_t>(stamp >> 32));
    record.u32(static_cast<std::uint32_t>(stamp));
    record.u32(packet.captured_length);
    record.u32(packet.reported_length);
    record.data(packet.frame, packet.captured_length);
    if (!comment.empty())
        record.option(opt_comment, comment);
    if (with_drops)
        record.option64(opt_epb_dropcount, drops);
    if (!comment.empty() || with_drops)
        record.end_options();
    pending_ += record.finish();
    return true;
}

bool PcapngWriter::flush(std::string *error)
{
    std::size_t done = 0;
    while (done < pending_.size()) {
        const int n = ::_write(fd_, pending_.data() + done, static_cast<unsigned>(pending_.size() - done));
        if (n <= 0) {
            *error = std::strerror(errno);
            pending_.erase(0, done);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    pending_.clear();
    return true;
}

bool PcapngWriter::write_statistics(int interface, const InterfaceStatistics &statistics, const nstime_t &time,
                                    std::string *error)
{
    Block block(block_statistics);
    block.u32(static_cast<std::uint32_t>(interface));
    const std::uint64_t stamp = nanoseconds(time);
    block.u32(static_cast<std::uint32_t>(stamp >> 32));
    block.u32(static_cast<std::uint32_t>(stamp));
    block.option64(opt_isb_ifrecv, statistics.received);
    block.option64(opt_isb_ifdrop, statistics.dropped);
    if (statistics.filtered)
        block.option64(opt_isb_filteraccept, statistics.accepted);
    if (statistics.os_dropped)
        block.option64(opt_isb_osdrop, statistics.os_dropped);
    if (!statistics.comment.empty())
        block.option(opt_comment, statistics.comment);
    block.end_options();
    pending_ += block.finish();
    return flush(error);
}

bool PcapngWriter::close(std::string *error)
{
    if (!section_started_ && !start(error))
        return false;
    const bool flushed = flush(error);
    const int closed = fd_ >= 0 ? ::_close(fd_) : 0;
    fd_ = -1;
    if (flushed && closed != 0)
        *error = std::strerror(errno);
    return flushed && closed == 0;
}

} // namespace ovk
