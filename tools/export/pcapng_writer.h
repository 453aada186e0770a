// SPDX-License-Identifier: GPL-2.0-or-later
// The exported capture: pcapng written by libwiretap, Ethernet packets with
// nanosecond time stamps, one interface per OVK5 or OVK5SEQ interface
// number, added the first time that number is seen.
#ifndef OVK_EXPORT_PCAPNG_WRITER_H
#define OVK_EXPORT_PCAPNG_WRITER_H

#include <array>
#include <cstdint>
#include <string>

#include <wiretap/wtap.h>

namespace ovk {

enum class HeaderKind { ovk5, ovk5seq };

struct ExportedPacket {
    HeaderKind kind;
    std::uint8_t interface_id;
    nstime_t time;
    const std::uint8_t *frame;
    std::uint32_t captured_length;
    std::uint32_t reported_length;
    std::uint8_t missing_frames;  // OVK5SEQ
    std::uint16_t rid0, rid1;     // OVK5
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
    bool write(const ExportedPacket &packet, std::string *error);
    // Writes what is buffered and closes fd.
    bool close(std::string *error);

private:
    int interface_for(HeaderKind kind, std::uint8_t interface_id, std::string *error);
    bool start_dumper(wtap_block_t first_interface, std::string *error);

    int fd_ = -1;  // until the dumper takes it
    wtap_dumper *dumper_ = nullptr;
    // Output interface of each (kind, interface number); -1 until used.
    std::array<int, 512> interfaces_{};
    int interface_count_ = 0;
    wtap_rec *record_ = nullptr;  // reused for every packet
    wtap_block_t ovk5seq_options_ = nullptr;
    wtap_block_t ovk5_options_ = nullptr;
};

} // namespace ovk

#endif
