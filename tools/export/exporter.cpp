// SPDX-License-Identifier: GPL-2.0-or-later
#include "exporter.h"

#include <wiretap/wtap.h>

#include <algorithm>
#include <set>
#include <unordered_map>

#include "wiretap_compat.h"

namespace ovk {

namespace {

constexpr std::uint64_t progress_every = 4096;  // records

constexpr const char invalid_time_note[] =
    "time stamp invalid (nanoseconds over 999999999): written with the capture time of the packet carrying it";

// The names of the input's capture interfaces, learnt as libwiretap reads
// their descriptions (a pcapng file may add some in later sections).
class CaptureInterfaces {
public:
    explicit CaptureInterfaces(wtap *input) : input_(input) {}

    std::string name_of(const wtap_rec &rec)
    {
        const guint32 id = rec.presence_flags & WTAP_HAS_INTERFACE_ID ? rec.rec_header.packet_header.interface_id : 0;
        while (wtap_block_t idb = wtap_get_next_interface_description(input_)) {
            char *name = nullptr;
            const bool named = wtap_block_get_string_option_value(idb, OPT_IDB_NAME, &name) == WTAP_OPTTYPE_SUCCESS
                               && name && *name;
            const std::string number = "#" + std::to_string(names_.size());
            // Two capture interfaces of one name (merged captures) are
            // two streams all the same.
            names_.push_back(!named ? number : seen_.insert(name).second ? name : name + number);
        }
        return id < names_.size() ? names_[id] : "#" + std::to_string(id);
    }

private:
    wtap *input_;
    std::vector<std::string> names_;
    std::set<std::string> seen_;
};

// What the Ethernet frame of an OVK5SEQ record carries, read from its
// bytes, so that records whose frames cannot hold OVK5 (ICMP, ARP) never
// pay for the dissection engine. Whatever this cannot tell (fragments,
// tunnels, IPv6 extension headers) is left to the dissection.
enum class Carried { nothing, unknown, udp, tcp };

Carried carried_by(const std::uint8_t *frame, std::uint32_t length, std::uint16_t ports[2])
{
    const auto be16 = [frame](std::uint32_t at) { return static_cast<std::uint16_t>(frame[at] << 8 | frame[at + 1]); };
    std::uint32_t at = 12;
    if (length < at + 2)
        return Carried::nothing;
    std::uint16_t type = be16(at);
    while ((type == 0x8100 || type == 0x88a8) && length >= at + 6)  // VLAN tags
        type = be16(at += 4);
    at += 2;
    std::uint8_t protocol;
    if (type == 0x0800 && length >= at + 20) {
        if (be16(at + 6) & 0x3fff)  // a fragment
            return Carried::unknown;
        protocol = frame[at + 9];
        at += (frame[at] & 0x0f) * 4u;
    } else if (type == 0x86dd && length >= at + 40) {
        protocol = frame[at + 6];
        at += 40;
    } else {
        return type == 0x0800 || type == 0x86dd ? Carried::unknown : Carried::nothing;
    }
    if (protocol == 1 || protocol == 58)  // ICMP: quotes are not records
        return Carried::nothing;
    if ((protocol != 17 && protocol != 6) || length < at + 4)
        return Carried::unknown;
    ports[0] = be16(at);
    ports[1] = be16(at + 2);
    return protocol == 17 ? Carried::udp : Carried::tcp;
}

// An OVK5SEQ record is its header and the frame after it; no dissection
// needed.
ExportedPacket ovk5seq_packet(const wtap_rec &rec, const std::uint8_t *bytes, int interface)
{
    const wtap_packet_header &hdr = rec.rec_header.packet_header;
    ExportedPacket packet{};
    packet.kind = HeaderKind::ovk5seq;
    packet.interface = interface;
    packet.missing_frames = bytes[ovk5seq_missing_frames_offset];
    packet.time.secs = static_cast<time_t>(ovk_le32(bytes + ovk5seq_ts_offset));
    packet.time.nsecs = static_cast<int>(ovk_le32(bytes + ovk5seq_ts_offset + 4));
    if (!ovk_time_valid(ovk_le32(bytes + ovk5seq_ts_offset + 4))) {
        packet.time = rec.ts;
        packet.note = invalid_time_note;
    }
    packet.frame = bytes + ovk5seq_header_length;
    packet.captured_length = hdr.caplen - ovk5seq_header_length;
    // A wire length below the captured one is taken as the captured one,
    // as the analyser's frame length is never below what it holds.
    packet.reported_length = std::max(hdr.len, hdr.caplen) - ovk5seq_header_length;
    return packet;
}

ExportedPacket ovk5_packet(const wtap_rec &rec, const Ovk5Found &found, int interface)
{
    ExportedPacket packet{};
    packet.kind = HeaderKind::ovk5;
    packet.interface = interface;
    packet.time = found.hw_time;
    if (!found.hw_time_valid) {
        packet.time = rec.ts;
        packet.note = invalid_time_note;
    }
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
    CaptureInterfaces capture_interfaces(job.input);

    int err = 0;
    gchar *err_info = nullptr;
    gint64 offset = 0;
    std::string error;
    // The output interfaces of OVK5SEQ streams by capture interface and
    // header interface: known after the first record, without making
    // their names again for every record.
    std::unordered_map<std::uint64_t, int> ovk5seq_interfaces;
    // Writes packet on the interface (-1 when it could not be added).
    auto put = [&](int interface, ExportedPacket packet) {
        packet.interface = interface;
        if (packet.interface < 0 || !job.output->write(packet, &error)) {
            result.status = ExportStatus::failed;
            result.message = "cannot write " + job.output_name + ": " + error;
            return false;
        }
        if (packet.note)
            ++counts.invalid_time;
        ++(packet.kind == HeaderKind::ovk5 ? counts.ovk5_written : counts.ovk5seq_written);
        return true;
    };
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
        const bool ovk5seq = hdr.pkt_encap == WTAP_ENCAP_USER3;
        if (ovk5seq && hdr.caplen < ovk5seq_header_length) {
            ++(hdr.len >= ovk5seq_header_length ? counts.snapped_ovk5seq : counts.short_ovk5seq);
            continue;
        }
        Carried carried = Carried::unknown;
        std::uint16_t ports[2] = {0, 0};
        if (ovk5seq) {
            const std::uint8_t *bytes = ovk_record_bytes(&record);
            const std::uint64_t stream = static_cast<std::uint64_t>(
                                             rec.presence_flags & WTAP_HAS_INTERFACE_ID ? hdr.interface_id : 0) << 8
                                         | bytes[2];
            auto known = ovk5seq_interfaces.find(stream);
            if (known == ovk5seq_interfaces.end()) {
                const int added = job.output->interface_for(
                    ovk5seq_stream_label(capture_interfaces.name_of(rec), bytes[2]), &error);
                known = ovk5seq_interfaces.emplace(stream, added).first;
            }
            if (!put(known->second, ovk5seq_packet(rec, bytes, 0)))
                break;
            // OVK5 may be inside the record's frame too.
            carried = carried_by(bytes + ovk5seq_header_length, hdr.caplen - ovk5seq_header_length, ports);
            if (carried == Carried::nothing)
                continue;
        }

        if (job.dissection->start(job.settings, &error) != StartResult::started) {
            result.status = ExportStatus::failed;
            result.message = error;
            break;
        }
        if ((carried == Carried::udp || carried == Carried::tcp)
            && !job.dissection->ovk5_port(carried == Carried::tcp, ports[0])
            && !job.dissection->ovk5_port(carried == Carried::tcp, ports[1]))
            continue;
        const std::vector<Ovk5Found> &found = job.dissection->dissect(job.input, &record, offset);
        if (found.empty() && !ovk5seq)
            ++counts.without_header;
        for (const Ovk5Found &header : found) {
            if (!put(job.output->interface_for(ovk5_stream_label(header.sender, header.interface_id), &error),
                     ovk5_packet(rec, header, 0)))
                break;
        }
        // The dissection holds on to the record until released.
        job.dissection->end_record();
        if (result.status == ExportStatus::failed)
            break;
    }
    counts.tcp_damage = job.dissection->damage();
    if (result.status == ExportStatus::done && err != 0) {
        result.status = ExportStatus::input_cut;
        // libwiretap gives the offset of the record it failed to read.
        const std::string where = job.input_name + (err == WTAP_ERR_SHORT_READ ? ": cut short inside record " : ": unreadable record ")
                                  + std::to_string(counts.records_read + 1) + " (at byte "
                                  + std::to_string(offset) + "): ";
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
    const std::uint64_t skipped = counts.without_header + counts.short_ovk5seq + counts.snapped_ovk5seq + counts.not_packets;
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
    reason(counts.snapped_ovk5seq, "OVK5SEQ header cut by the snap length");
    reason(counts.not_packets, "not packets");
    if (!reasons.empty())
        text += ": " + reasons;
    if (counts.invalid_time)
        text += "; " + count_of(counts.invalid_time, "packet", "packets")
                + " with an invalid time stamp (nanoseconds over 999999999) written with the capture time instead";
    if (counts.tcp_damage.any())
        text += "; OVK5 TCP streams: " + damage_of(counts.tcp_damage);
    return text;
}

} // namespace ovk
