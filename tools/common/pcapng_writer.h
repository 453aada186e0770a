// SPDX-License-Identifier: GPL-2.0-or-later
// The inner frames as a capture: pcapng written by libwiretap, Ethernet
// packets with nanosecond time stamps, one interface per stream of headers,
// added the first time the stream is seen. Shared by ovk5-export and the
// live capture.
#ifndef OVK_COMMON_PCAPNG_WRITER_H
#define OVK_COMMON_PCAPNG_WRITER_H

#include <cstdint>
#include <map>
#include <string>

#include <wiretap/wtap.h>

namespace ovk {

enum class HeaderKind { ovk5, ovk5seq };

// The pcapng interface of one stream: its name (the key: one interface
// per name) and description.
struct InterfaceLabel {
    std::string name;
    std::string description;
};

// The interface of an OVK5 stream: the header interface number of one
// sender, given as "address:port" ("[address]:port" for IPv6), e.g.
// "ovk5-if0@192.0.2.1:40000", "OVK5 interface 0 from 192.0.2.1:40000".
inline InterfaceLabel ovk5_stream_label(const std::string &sender, std::uint8_t interface_id)
{
    const std::string number = std::to_string(interface_id);
    return {"ovk5-if" + number + "@" + sender, "OVK5 interface " + number + " from " + sender};
}

// The interface of an OVK5SEQ stream: the header interface number in the
// records of one capture interface, given by its name (or "#N" for an
// unnamed one), e.g. "ovk5seq-if0@eth1", "OVK5SEQ interface 0 on capture
// interface eth1".
inline InterfaceLabel ovk5seq_stream_label(const std::string &capture_interface, std::uint8_t interface_id)
{
    const std::string number = std::to_string(interface_id);
    return {"ovk5seq-if" + number + "@" + capture_interface,
            "OVK5SEQ interface " + number + " on capture interface " + capture_interface};
}

struct ExportedPacket {
    HeaderKind kind;
    int interface;  // from PcapngWriter::interface_for
    nstime_t time;
    const std::uint8_t *frame;
    std::uint32_t captured_length;
    std::uint32_t reported_length;
    std::uint8_t missing_frames;  // OVK5SEQ
    std::uint16_t rid0, rid1;     // OVK5
    // Said in the packet's comment as well, when set: e.g. why the time
    // is not the header's.
    const char *note = nullptr;
    // OVK5: records of the interface lost since its previous packet (a
    // live capture's malformed ones), written as the packet's drop count
    // when not 0.
    std::uint64_t lost_before = 0;
};

// What an interface statistics block says of one interface when a live
// capture stops.
struct InterfaceStatistics {
    std::uint64_t received = 0;       // isb_ifrecv
    std::uint64_t dropped = 0;        // isb_ifdrop: lost on the way into the capture
    std::uint64_t os_dropped = 0;     // isb_osdrop: lost by the operating system
    bool filtered = false;            // a capture filter was applied:
    std::uint64_t accepted = 0;       // isb_filteraccept
    std::string comment;              // opt_comment, when not empty
};

// What a live capture's section header says of where it was made, as
// dumpcap writes it.
struct SectionInfo {
    std::string hardware;     // shb_hardware
    std::string os;           // shb_os
    std::string application;  // shb_userappl
};

class PcapngWriter {
public:
    PcapngWriter() = default;
    ~PcapngWriter();
    PcapngWriter(const PcapngWriter &) = delete;
    PcapngWriter &operator=(const PcapngWriter &) = delete;

    // Starts the capture on fd, which the writer owns from then on and
    // closes in close().
    void open(int fd);
#ifdef _WIN32
    // Windows: libwiretap opens path itself ("-": standard output), as a
    // descriptor of this program's C runtime means nothing to the
    // analyser's.
    void open_path(const std::string &path);
#endif
    // Before the first interface or start(): the section header's
    // description of the capture's origin.
    void describe_section(const SectionInfo &info);
    // The capture filter recorded (if_filter) on every interface added
    // from now on; empty for none.
    void set_capture_filter(const std::string &filter) { capture_filter_ = filter; }
    // The interface named label.name, added with its description the first
    // time; -1 with *error set when it cannot be written.
    int interface_for(const InterfaceLabel &label, std::string *error);
    bool write(const ExportedPacket &packet, std::string *error);

    // A live capture: writes the section header now, before any interface,
    // so that a reader sees the capture start; interfaces follow as streams
    // appear. Without it the header waits for the first interface.
    bool start(std::string *error);
    // Hands what is buffered to the reader.
    bool flush(std::string *error);
    // Appends an interface statistics block for interface (from
    // interface_for), stamped with time; before close().
    bool write_statistics(int interface, const InterfaceStatistics &statistics, const nstime_t &time,
                          std::string *error);
    // Writes what is buffered and closes fd.
    bool close(std::string *error);

private:
    bool start_dumper(wtap_block_t first_interface, bool live, std::string *error);

    int fd_ = -1;  // until the dumper takes it
    int dumper_fd_ = -1;  // the same descriptor, owned by the dumper
#ifdef _WIN32
    std::string path_;
#endif
#ifdef OVK_NATIVE_PCAPNG
    // Written without libwiretap (ovk5dump.exe): blocks not yet handed on.
    std::string pending_;
    bool section_started_ = false;
#endif
    wtap_dumper *dumper_ = nullptr;
    std::map<std::string, int> interfaces_;  // by name
    SectionInfo section_;
    GArray *sections_ = nullptr;  // the section header, while the dumper lives
    std::string capture_filter_;
    wtap_rec *record_ = nullptr;  // reused for every packet
    wtap_block_t ovk5seq_options_ = nullptr;
    wtap_block_t ovk5_options_ = nullptr;
    wtap_block_t ovk5seq_noted_options_ = nullptr;  // with a comment
    wtap_block_t ovk5_lossy_options_ = nullptr;  // with a drop count
    // The drop counts the OVK5SEQ blocks hold (both made with 0).
    std::uint64_t ovk5seq_drops_ = 0;
    std::uint64_t ovk5seq_noted_drops_ = 0;
};

} // namespace ovk

#endif
