// SPDX-License-Identifier: GPL-2.0-or-later
// Reads a capture and writes the Ethernet frame behind every OVK5SEQ record
// and every OVK5 header found in TCP/UDP payloads as standard pcapng.
#ifndef OVK_EXPORT_EXPORTER_H
#define OVK_EXPORT_EXPORTER_H

#include <cstdint>
#include <functional>
#include <string>

#include "dissection.h"
#include "ovk_record_format.h"
#include "pcapng_writer.h"

namespace ovk {

struct ExportCounts {
    std::uint64_t records_read = 0;
    std::uint64_t ovk5seq_written = 0;
    std::uint64_t ovk5_written = 0;
    std::uint64_t without_header = 0;    // packets in which dissection found no OVK5
    std::uint64_t short_ovk5seq = 0;     // OVK5SEQ records shorter than their header
    std::uint64_t snapped_ovk5seq = 0;   // OVK5SEQ headers cut by the snap length
    std::uint64_t invalid_time = 0;      // written with the capture time instead
    std::uint64_t not_packets = 0;       // events, journal entries and other non-packet records
    StreamDamage tcp_damage;             // what OVK5 TCP streams lost
};

enum class ExportStatus {
    done,
    input_cut,     // every complete record exported; the input ended inside one
    damaged,       // every captured record exported; OVK5 TCP streams lost records or bytes
    failed,        // nothing usable: the output is to be abandoned
};

struct ExportResult {
    ExportStatus status = ExportStatus::done;
    std::string message;  // what went wrong, for the user
    ExportCounts counts;
};

struct ExportJob {
    wtap *input = nullptr;
    std::string input_name;   // for messages
    std::string output_name;  // likewise
    Dissection *dissection = nullptr;
    DissectionSettings settings;
    PcapngWriter *output = nullptr;
    // Called now and then with the input's bytes read so far.
    std::function<void(std::int64_t bytes_read)> progress;
};

ExportResult run_export(const ExportJob &job);

std::string summary(const ExportCounts &counts);

} // namespace ovk

#endif
