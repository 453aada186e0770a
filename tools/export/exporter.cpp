// SPDX-License-Identifier: GPL-2.0-or-later
#include "exporter.h"

#include <wiretap/wtap.h>

#include "wiretap_compat.h"

namespace ovk {

namespace {

constexpr std::uint64_t progress_every = 4096;  // records

std::uint32_t le32(const std::uint8_t *p)
{
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8
           | static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// The output interface of a header interface number.
InterfaceLabel label_of(HeaderKind kind, std::uint8_t interface_id)
{
    return {"if" + std::to_string(interface_id),
            std::string(kind == HeaderKind::ovk5 ? "OVK5" : "OVK5SEQ") + " interface " + std::to_string(interface_id)};
}

// An OVK5SEQ record is its header and the frame after it; no dissection
// needed.
ExportedPacket ovk5seq_packet(const wtap_packet_header &hdr, const std::uint8_t *bytes, int interface)
{
    ExportedPacket packet{};
    packet.kind = HeaderKind::ovk5seq;
    packet.interface = interface;
    packet.missing_frames = bytes[3];
    packet.time.secs = static_cast<time_t>(le32(bytes + 4));
    packet.time.nsecs = static_cast<int>(le32(bytes + 8));
    packet.frame = bytes + header_length;
    packet.captured_length = hdr.caplen - header_length;
    packet.reported_length = hdr.len - header_length;
    return packet;
}

ExportedPacket ovk5_packet(const Ovk5Found &found, int interface)
{
    ExportedPacket packet{};
    packet.kind = HeaderKind::ovk5;
    packet.interface = interface;
    packet.time = found.hw_time;
    packet.frame = found.frame;
    packet.captured_length = found.captured_length;
    packet.reported_length = found.reported_length;
    packet.rid0 = found.rid0;
    packet.rid1 = found.rid1;
    return packet;
}

std::string count_of(std::uint64_t count, const char *singular, const char *plural)
{
    return std::to_string(count) + " " + (count == 1 ? singular : plural);
}

std::string damage_of(const StreamDamage &damage)
{
    std::string text;
    auto add = [&text](std::uint64_t count, const char *singular, const char *plural) {
        if (count)
            text += (text.empty() ? "" : ", ") + count_of(count, singular, plural);
    };
    add(damage.records_lost, "record lost", "records lost");
    add(damage.records_cut, "record cut by the snap length", "records cut by the snap length");
    add(damage.bytes_missing, "byte not captured", "bytes not captured");
    add(damage.bytes_skipped, "byte skipped", "bytes skipped");
    add(damage.segments_held_back, "segment held back after an uncaptured one", "segments held back after an uncaptured one");
    return text;
}

std::string read_error(int err, gchar *err_info)
{
    std::string text = wtap_strerror(err);
    if (err_info) {
        text += std::string(" (") + err_info + ")";
        g_free(err_info);
    }
    return text;
}

} // namespace

ExportResult run_export(const ExportJob &job)
{
    ExportResult result;
    ExportCounts &counts = result.counts;
    ovk_read_record record;
    ovk_read_record_init(&record);

    int err = 0;
    gchar *err_info = nullptr;
    gint64 offset = 0;
    std::string error;
    while (ovk_read(job.input, &record, &err, &err_info, &offset)) {
        ++counts.records_read;
        if (job.progress && counts.records_read % progress_every == 0)
            job.progress(wtap_read_so_far(job.input));

        const wtap_rec &rec = record.rec;
        if (rec.rec_type != REC_TYPE_PACKET) {
            ++counts.not_packets;
            continue;
        }
        const wtap_packet_header &hdr = rec.rec_header.packet_header;
        if (hdr.pkt_encap == WTAP_ENCAP_USER3) {
            if (hdr.caplen < header_length) {
                ++counts.short_ovk5seq;
                continue;
            }
            const std::uint8_t *bytes = ovk_record_bytes(&record);
            const int interface = job.output->interface_for(label_of(HeaderKind::ovk5seq, bytes[2]), &error);
            if (interface < 0 || !job.output->write(ovk5seq_packet(hdr, bytes, interface), &error)) {
                result.status = ExportStatus::failed;
                result.message = "cannot write " + job.output_name + ": " + error;
                break;
            }
            ++counts.ovk5seq_written;
            continue;
        }

        if (!job.dissection->start(job.settings, &error)) {
            result.status = ExportStatus::failed;
            result.message = error;
            break;
        }
        const std::vector<Ovk5Found> &found = job.dissection->dissect(job.input, &record, offset);
        if (found.empty())
            ++counts.without_header;
        for (const Ovk5Found &header : found) {
            const int interface = job.output->interface_for(label_of(HeaderKind::ovk5, header.interface_id), &error);
            if (interface < 0 || !job.output->write(ovk5_packet(header, interface), &error)) {
                result.status = ExportStatus::failed;
                result.message = "cannot write " + job.output_name + ": " + error;
                break;
            }
            ++counts.ovk5_written;
        }
        // The dissection holds on to the record until released.
        job.dissection->end_record();
        if (result.status == ExportStatus::failed)
            break;
    }
    counts.tcp_damage = job.dissection->damage();
    if (result.status == ExportStatus::done && err != 0) {
        result.status = ExportStatus::input_cut;
        const std::string where = job.input_name + (err == WTAP_ERR_SHORT_READ ? ": cut short inside record " : ": unreadable record ")
                                  + std::to_string(counts.records_read + 1) + " (after byte "
                                  + std::to_string(wtap_read_so_far(job.input)) + "): ";
        result.message = where + read_error(err, err_info) + "; the "
                         + count_of(counts.records_read, "complete record", "complete records") + " before it "
                         + (counts.records_read == 1 ? "is" : "are") + " exported";
    } else {
        g_free(err_info);
    }
    if (result.status == ExportStatus::done && counts.tcp_damage.any()) {
        result.status = ExportStatus::damaged;
        result.message = job.input_name + ": damaged OVK5 TCP stream (" + damage_of(counts.tcp_damage)
                         + "); every record captured is exported";
    }
    ovk_read_record_cleanup(&record);
    return result;
}

std::string summary(const ExportCounts &counts)
{
    const std::uint64_t written = counts.ovk5seq_written + counts.ovk5_written;
    const std::uint64_t skipped = counts.without_header + counts.short_ovk5seq + counts.not_packets;
    std::string text = count_of(counts.records_read, "record", "records") + " read, "
                       + count_of(written, "packet", "packets") + " written (" + std::to_string(counts.ovk5seq_written) + " OVK5SEQ, "
                       + std::to_string(counts.ovk5_written) + " OVK5), " + std::to_string(skipped) + " skipped";
    std::string reasons;
    auto reason = [&reasons](std::uint64_t count, const char *why) {
        if (count)
            reasons += (reasons.empty() ? "" : ", ") + std::to_string(count) + " " + why;
    };
    reason(counts.without_header, "without OVK5 or OVK5SEQ");
    reason(counts.short_ovk5seq, "OVK5SEQ shorter than the 16-byte header");
    reason(counts.not_packets, "not packets");
    if (!reasons.empty())
        text += ": " + reasons;
    if (counts.tcp_damage.any())
        text += "; OVK5 TCP streams: " + damage_of(counts.tcp_damage);
    return text;
}

} // namespace ovk
