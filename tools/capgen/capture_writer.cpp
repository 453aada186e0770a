#include "capture_writer.h"

#include <pcap/pcap.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace ovk {

CaptureWriter::CaptureWriter(std::string path, int linktype, std::uint32_t snaplen)
    : path_(std::move(path)), temp_path_(path_ + ".partial"), snaplen_(snaplen)
{
    pcap_ = pcap_open_dead_with_tstamp_precision(linktype, static_cast<int>(snaplen),
                                                 PCAP_TSTAMP_PRECISION_NANO);
    if (!pcap_)
        throw std::runtime_error("cannot set up a pcap writer");
    dumper_ = pcap_dump_open(pcap_, temp_path_.c_str());
    if (!dumper_) {
        std::string reason = pcap_geterr(pcap_);
        pcap_close(pcap_);
        pcap_ = nullptr;
        throw std::runtime_error("cannot write " + path_ + ": " + reason);
    }
}

CaptureWriter::~CaptureWriter()
{
    if (dumper_) {
        pcap_dump_close(dumper_);
        std::remove(temp_path_.c_str());
    }
    if (pcap_)
        pcap_close(pcap_);
}

void CaptureWriter::write(std::uint64_t ts_ns, const Bytes &frame, std::uint32_t wire_length)
{
    struct pcap_pkthdr header {};
    header.ts.tv_sec = static_cast<time_t>(ts_ns / 1000000000u);
    // With nanosecond precision libpcap stores tv_usec as nanoseconds.
    header.ts.tv_usec = static_cast<suseconds_t>(ts_ns % 1000000000u);
    const std::uint32_t size = static_cast<std::uint32_t>(frame.size());
    header.caplen = size < snaplen_ ? size : snaplen_;
    header.len = wire_length > size ? wire_length : size;
    pcap_dump(reinterpret_cast<u_char *>(dumper_), &header, frame.data());
}

void CaptureWriter::commit()
{
    if (!dumper_)
        throw std::runtime_error("capture " + path_ + " already committed");
    const bool flushed = pcap_dump_flush(dumper_) == 0 && !std::ferror(pcap_dump_file(dumper_));
    pcap_dump_close(dumper_);
    dumper_ = nullptr;
    if (!flushed || std::rename(temp_path_.c_str(), path_.c_str()) != 0) {
        const std::string reason = std::strerror(errno);
        std::remove(temp_path_.c_str());
        throw std::runtime_error("cannot write " + path_ + ": " + reason);
    }
}

} // namespace ovk
