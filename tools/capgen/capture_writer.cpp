// SPDX-License-Identifier: GPL-2.0-or-later
#include "capture_writer.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace ovk {

namespace {

constexpr std::uint32_t pcap_nanosecond_magic = 0xa1b23c4d;
constexpr std::uint32_t pcapng_section_header = 0x0a0d0d0a;
constexpr std::uint32_t pcapng_byte_order_magic = 0x1a2b3c4d;
constexpr std::uint32_t pcapng_interface_description = 1;
constexpr std::uint32_t pcapng_enhanced_packet = 6;
constexpr std::uint16_t pcapng_if_name = 2;
constexpr std::uint16_t pcapng_if_tsresol = 9;
constexpr std::size_t write_chunk = 1 << 16;

void put_le64(Bytes &out, std::uint64_t value)
{
    put_le32(out, static_cast<std::uint32_t>(value));
    put_le32(out, static_cast<std::uint32_t>(value >> 32));
}

void pad_to_32_bits(Bytes &out)
{
    while (out.size() % 4)
        out.push_back(0);
}

// A pcapng block: type, total length, body, total length again.
Bytes pcapng_block(std::uint32_t type, const Bytes &body)
{
    const auto total = static_cast<std::uint32_t>(12 + body.size());
    Bytes out;
    out.reserve(total);
    put_le32(out, type);
    put_le32(out, total);
    out.insert(out.end(), body.begin(), body.end());
    put_le32(out, total);
    return out;
}

Bytes file_header(CaptureFormat format, int linktype, std::uint32_t snaplen)
{
    Bytes out;
    if (format == CaptureFormat::pcap) {
        put_le32(out, pcap_nanosecond_magic);
        put_le16(out, 2);
        put_le16(out, 4);
        put_le32(out, 0);  // time zone
        put_le32(out, 0);  // time stamp accuracy
        put_le32(out, snaplen);
        put_le32(out, static_cast<std::uint32_t>(linktype));
        return out;
    }
    Bytes section;
    put_le32(section, pcapng_byte_order_magic);
    put_le16(section, 1);
    put_le16(section, 0);
    put_le64(section, ~std::uint64_t{0});  // section length not given
    out = pcapng_block(pcapng_section_header, section);

    Bytes interface;
    put_le16(interface, static_cast<std::uint16_t>(linktype));
    put_le16(interface, 0);
    put_le32(interface, snaplen);
    // Named, so the analyser does not call it "unknown".
    const std::string name = capture_interface_name;
    put_le16(interface, pcapng_if_name);
    put_le16(interface, static_cast<std::uint16_t>(name.size()));
    interface.insert(interface.end(), name.begin(), name.end());
    pad_to_32_bits(interface);
    put_le16(interface, pcapng_if_tsresol);
    put_le16(interface, 1);
    interface.push_back(9);  // time stamps in units of 10^-9 s
    pad_to_32_bits(interface);
    put_le32(interface, 0);  // end of options
    const Bytes block = pcapng_block(pcapng_interface_description, interface);
    out.insert(out.end(), block.begin(), block.end());
    return out;
}

} // namespace

CaptureWriter::CaptureWriter(const std::string &path, int linktype, std::uint32_t snaplen, CaptureFormat format)
    : snaplen_(snaplen), format_(format)
{
    std::string error;
    if (!output_.open(path, &error))
        throw std::runtime_error(error);
    open_ = true;
    buffer_.reserve(write_chunk);
    put(file_header(format_, linktype, snaplen_));
}

CaptureWriter::~CaptureWriter() = default;

void CaptureWriter::fail(int error)
{
    open_ = false;
    output_.abandon();
    throw std::runtime_error("cannot write " + output_.display_name() + ": " + std::strerror(error));
}

void CaptureWriter::put(const Bytes &bytes)
{
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    if (buffer_.size() >= write_chunk)
        flush();
}

void CaptureWriter::flush()
{
    std::size_t done = 0;
    while (done < buffer_.size()) {
        const ssize_t written = ::write(output_.fd(), buffer_.data() + done, buffer_.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            fail(written < 0 ? errno : EIO);
        done += static_cast<std::size_t>(written);
    }
    buffer_.clear();
}

void CaptureWriter::write(std::uint64_t ts_ns, const Bytes &frame, std::uint32_t wire_length)
{
    if (!open_)
        throw std::runtime_error("capture " + output_.display_name() + " already closed");
    const auto size = static_cast<std::uint32_t>(frame.size());
    const std::uint32_t captured = size < snaplen_ ? size : snaplen_;
    const std::uint32_t original = wire_length > size ? wire_length : size;
    Bytes record;
    if (format_ == CaptureFormat::pcap) {
        put_le32(record, static_cast<std::uint32_t>(ts_ns / 1000000000u));
        put_le32(record, static_cast<std::uint32_t>(ts_ns % 1000000000u));
        put_le32(record, captured);
        put_le32(record, original);
        record.insert(record.end(), frame.begin(), frame.begin() + captured);
    } else {
        Bytes body;
        body.reserve(20 + captured + 3);
        put_le32(body, 0);  // interface
        put_le32(body, static_cast<std::uint32_t>(ts_ns >> 32));
        put_le32(body, static_cast<std::uint32_t>(ts_ns));
        put_le32(body, captured);
        put_le32(body, original);
        body.insert(body.end(), frame.begin(), frame.begin() + captured);
        pad_to_32_bits(body);
        record = pcapng_block(pcapng_enhanced_packet, body);
    }
    put(record);
}

void CaptureWriter::commit()
{
    if (!open_)
        throw std::runtime_error("capture " + output_.display_name() + " already closed");
    flush();
    open_ = false;
    std::string error;
    if (!output_.commit(&error))
        throw std::runtime_error(error);
}

} // namespace ovk
