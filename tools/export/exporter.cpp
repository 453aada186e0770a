// SPDX-License-Identifier: GPL-2.0-or-later
#include "exporter.h"

#include <wiretap/wtap.h>

#include <wsutil/filesystem.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "stream_order.h"
#include "transport.h"
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
    add(damage.records_lost, "record lost (partly captured)", "records lost (partly captured)");
    add(damage.records_cut, "record cut by the snap length", "records cut by the snap length");
    add(damage.bytes_missing, "byte not captured", "bytes not captured");
    add(damage.bytes_skipped, "byte skipped (no record boundary known)", "bytes skipped (no record boundary known)");
    add(damage.segments_held_back, "segment held back by TCP after one not captured",
        "segments held back by TCP after one not captured");
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

namespace {

// A record whose dissection waits for the segments before it: a copy of
// it, the options block left behind.
struct HeldRecord {
    HeldRecord() { ovk_read_record_init(&record); }
    ~HeldRecord() { ovk_read_record_cleanup(&record); }
    HeldRecord(const HeldRecord &) = delete;
    HeldRecord &operator=(const HeldRecord &) = delete;

    ovk_read_record record;
    std::int64_t offset = 0;
};

void copy_record(const ovk_read_record &from, ovk_read_record *to)
{
    const std::uint32_t caplen = from.rec.rec_header.packet_header.caplen;
#if OVK_WIRESHARK_AT_LEAST(4, 6)
    const Buffer options = to->rec.options_buf, data = to->rec.data;
    to->rec = from.rec;
    to->rec.options_buf = options;
    to->rec.data = data;
    to->rec.block = nullptr;
    ws_buffer_clean(&to->rec.data);
    ws_buffer_append(&to->rec.data, const_cast<guint8 *>(ovk_record_bytes(&from)), caplen);
#else
    const Buffer options = to->rec.options_buf;
    to->rec = from.rec;
    to->rec.options_buf = options;
    to->rec.block = nullptr;
    ws_buffer_clean(&to->buf);
    ws_buffer_append(&to->buf, const_cast<guint8 *>(ovk_record_bytes(&from)), caplen);
#endif
}

// How long a stream waits, without a first reading of the capture to
// tell, for bytes that may never come.
constexpr std::uint64_t held_limit = 16 * 1024 * 1024;

// How far a header's time may lie from the capture's for the dissection's
// heuristics to take it: a day.
constexpr std::int64_t heuristic_clock_window = 86400;

// Whether an OVK5 header may start at offset of the captured bytes: the
// shared check, the capture time the reference when the record has one.
bool plausible_header(const std::uint8_t *bytes, std::uint32_t captured, std::uint32_t offset, const wtap_rec &rec)
{
    if (captured < offset + ovk5_header_length)
        return false;
    ovk5_check_rule rule = ovk5_tool_rule;
    if (rec.presence_flags & WTAP_HAS_TS) {
        rule.has_reference = true;
        rule.reference_secs = rec.ts.secs;
        rule.reference_nsecs = rec.ts.nsecs;
        rule.max_clock_offset = heuristic_clock_window;
    }
    // A header whose frame was cut short cannot be told from one.
    return ovk5_check_at({bytes, captured, captured}, offset, rule) != ovk5_plausibility::implausible;
}

// Whether the user names OVK5 in the profile's preferences or Decode As
// entries: ports OVK5 takes are then known only to the dissection.
bool profile_names_ovk5()
{
    for (const char *name : {"preferences", "decode_as_entries"}) {
        char *path = get_persconffile_path(name, true);
        FILE *file = path ? std::fopen(path, "r") : nullptr;
        g_free(path);
        if (!file)
            continue;
        char line[1024];
        bool named = false;
        while (!named && std::fgets(line, sizeof line, file)) {
            if (line[0] == '#')
                continue;
            gchar *lower = g_ascii_strdown(line, -1);
            named = std::strstr(lower, "ovk5") != nullptr;
            g_free(lower);
        }
        std::fclose(file);
        if (named)
            return true;
    }
    return false;
}

class Exporter {
public:
    explicit Exporter(const ExportJob &job) : job_(job), capture_interfaces_(job.input), order_(held_limit)
    {
        ovk_read_record_init(&record_);
        user_names_ovk5_ = !job.settings.preferences.empty() || !job.settings.decode_as.empty() || profile_names_ovk5();
    }
    ~Exporter() { ovk_read_record_cleanup(&record_); }

    ExportResult run();

private:
    bool export_record(std::int64_t offset);
    bool needs_dissection(const Transport &carried, const wtap_rec &rec, const std::uint8_t *bytes) const;
    bool start_dissection();
    void read_coverage();
    bool dissect(ovk_read_record *r, std::int64_t offset, bool ovk5seq, const Transport &carried);
    bool put(int interface, ExportedPacket packet);
    void report_end(int err, gchar *err_info, std::int64_t offset);

    const ExportJob &job_;
    ExportResult result_;
    ExportCounts &counts_ = result_.counts;
    std::string error_;
    ovk_read_record record_;
    CaptureInterfaces capture_interfaces_;
    // The output interfaces of OVK5SEQ streams by capture interface and
    // header interface: known after the first record, without making
    // their names again for every record.
    std::unordered_map<std::uint64_t, int> ovk5seq_interfaces_;
    bool user_names_ovk5_ = false;
    // Conversations inside OVK5SEQ records where OVK5 was found: their
    // records go to the dissection whatever they hold, as the dissection
    // keeps the conversation OVK5's.
    std::unordered_set<Endpoints, EndpointsHash> ovk5_conversations_;

    StreamOrder order_;
    bool coverage_read_ = false;
    StreamCoverage coverage_;
    std::unordered_map<StreamOrder::Token, std::unique_ptr<HeldRecord>> held_;
    StreamOrder::Token next_token_ = 0;
    std::vector<StreamOrder::Token> ready_;
};

// Writes packet on the interface (-1 when it could not be added).
bool Exporter::put(int interface, ExportedPacket packet)
{
    packet.interface = interface;
    if (packet.interface < 0 || !job_.output->write(packet, &error_)) {
        result_.status = ExportStatus::failed;
        result_.message = "cannot write " + job_.output_name + ": " + error_;
        return false;
    }
    if (packet.note)
        ++counts_.invalid_time;
    ++(packet.kind == HeaderKind::ovk5 ? counts_.ovk5_written : counts_.ovk5seq_written);
    return true;
}

bool Exporter::start_dissection()
{
    if (job_.dissection->start(job_.settings, &error_) == StartResult::started)
        return true;
    result_.status = ExportStatus::failed;
    result_.message = error_;
    return false;
}

// Whether OVK5 may be in the frame of an OVK5SEQ record: what the
// dissection would take for OVK5, by port or by content, passes.
bool Exporter::needs_dissection(const Transport &carried, const wtap_rec &rec, const std::uint8_t *bytes) const
{
    switch (carried.carried) {
    case Carried::nothing:
        return false;
    case Carried::unknown:
        return true;
    case Carried::udp:
    case Carried::tcp:
        break;
    }
    if (carried.payload_length == 0)
        return false;
    const bool tcp = carried.carried == Carried::tcp;
    const std::uint16_t port = tcp ? ovk5_default_tcp_port : ovk5_default_udp_port;
    if (user_names_ovk5_ || carried.source_port == port || carried.destination_port == port
        || (!ovk5_conversations_.empty() && ovk5_conversations_.count(carried.conversation())))
        return true;
    if (!tcp && carried.payload_length < ovk5_header_length)
        return false;
    const std::uint32_t captured = std::min(rec.rec_header.packet_header.caplen,
                                            carried.payload_offset + carried.payload_length);
    // A datagram starts with a record; a segment may hold one anywhere.
    const std::uint32_t last = tcp ? captured : carried.payload_offset + 1;
    for (std::uint32_t at = carried.payload_offset; at < last; ++at) {
        if (plausible_header(bytes, captured, at, rec))
            return true;
    }
    return false;
}

// The segments the whole capture holds of each TCP stream, read once
// more from the file before its first TCP segment is dissected.
void Exporter::read_coverage()
{
    coverage_read_ = true;
    if (job_.reread_name.empty())
        return;
    int err = 0;
    gchar *err_info = nullptr;
    wtap *again = wtap_open_offline(job_.reread_name.c_str(), WTAP_TYPE_AUTO, &err, &err_info, FALSE);
    g_free(err_info);
    if (!again)
        return;
    ovk_read_record r;
    ovk_read_record_init(&r);
    gint64 offset = 0;
    while (ovk_read(again, &r, &err, &err_info, &offset)) {
        const wtap_packet_header &hdr = r.rec.rec_header.packet_header;
        if (r.rec.rec_type != REC_TYPE_PACKET || hdr.pkt_encap == WTAP_ENCAP_USER3)
            continue;
        const Transport carried = transport_in_packet(hdr.pkt_encap, ovk_record_bytes(&r), hdr.caplen);
        if (carried.carried == Carried::tcp)
            coverage_.add(carried);
    }
    g_free(err_info);
    ovk_read_record_cleanup(&r);
    wtap_close(again);
    coverage_.finish();
    order_.set_coverage(&coverage_);
}

bool Exporter::dissect(ovk_read_record *r, std::int64_t offset, bool ovk5seq, const Transport &carried)
{
    const std::vector<Ovk5Found> &found = job_.dissection->dissect(job_.input, r, offset);
    const bool ovk5 = job_.dissection->ovk5_took_part();
    if (found.empty() && !ovk5seq)
        ++(ovk5 ? counts_.parts_only : counts_.without_header);
    if (ovk5 && ovk5seq && (carried.carried == Carried::udp || carried.carried == Carried::tcp))
        ovk5_conversations_.insert(carried.conversation());
    bool written = true;
    for (const Ovk5Found &header : found) {
        written = put(job_.output->interface_for(ovk5_stream_label(header.sender, header.interface_id), &error_),
                      ovk5_packet(r->rec, header, 0));
        if (!written)
            break;
    }
    // The dissection holds on to the record until released.
    job_.dissection->end_record();
    return written;
}

bool Exporter::export_record(std::int64_t offset)
{
    const wtap_rec &rec = record_.rec;
    if (rec.rec_type != REC_TYPE_PACKET) {
        ++counts_.not_packets;
        return true;
    }
    const wtap_packet_header &hdr = rec.rec_header.packet_header;
    const std::uint8_t *bytes = ovk_record_bytes(&record_);
    const bool ovk5seq = hdr.pkt_encap == WTAP_ENCAP_USER3;
    if (ovk5seq && hdr.caplen < ovk5seq_header_length) {
        ++(hdr.len >= ovk5seq_header_length ? counts_.snapped_ovk5seq : counts_.short_ovk5seq);
        return true;
    }
    const Transport carried = transport_in_packet(hdr.pkt_encap, bytes, hdr.caplen);
    if (ovk5seq) {
        const std::uint64_t stream = static_cast<std::uint64_t>(
                                         rec.presence_flags & WTAP_HAS_INTERFACE_ID ? hdr.interface_id : 0) << 8
                                     | bytes[2];
        auto known = ovk5seq_interfaces_.find(stream);
        if (known == ovk5seq_interfaces_.end()) {
            const int added = job_.output->interface_for(
                ovk5seq_stream_label(capture_interfaces_.name_of(rec), bytes[2]), &error_);
            known = ovk5seq_interfaces_.emplace(stream, added).first;
        }
        if (!put(known->second, ovk5seq_packet(rec, bytes, 0)))
            return false;
        // OVK5 may be inside the record's frame too.
        if (!needs_dissection(carried, rec, bytes))
            return true;
    }
    if (!start_dissection())
        return false;
    if (ovk5seq || carried.carried != Carried::tcp || !job_.dissection->frames_tcp_records())
        return dissect(&record_, offset, ovk5seq, carried);

    // A TCP segment: in stream order.
    if (!coverage_read_)
        read_coverage();
    const StreamOrder::Token token = next_token_++;
    ready_.clear();
    order_.arrive(carried, token, &ready_);
    if (ready_.empty() || ready_.front() != token) {
        auto copy = std::make_unique<HeldRecord>();
        copy_record(record_, &copy->record);
        copy->offset = offset;
        held_.emplace(token, std::move(copy));
    }
    for (const StreamOrder::Token go : ready_) {
        if (go == token) {
            if (!dissect(&record_, offset, false, carried))
                return false;
            continue;
        }
        const auto waited = held_.find(go);
        const bool written = dissect(&waited->second->record, waited->second->offset, false, carried);
        held_.erase(waited);
        if (!written)
            return false;
    }
    return true;
}

void Exporter::report_end(int err, gchar *err_info, std::int64_t offset)
{
    counts_.tcp_damage = job_.dissection->damage();
    counts_.damaged_streams = job_.dissection->damage_by_sender();
    if (result_.status == ExportStatus::done && err != 0) {
        result_.status = ExportStatus::input_cut;
        // libwiretap gives the offset of the record it failed to read.
        const std::string where = job_.input_name + (err == WTAP_ERR_SHORT_READ ? ": cut short inside record " : ": unreadable record ")
                                  + std::to_string(counts_.records_read + 1) + " (at byte "
                                  + std::to_string(offset) + "): ";
        result_.message = where + read_error(err, err_info) + "; the "
                          + count_of(counts_.records_read, "complete record", "complete records") + " before it "
                          + (counts_.records_read == 1 ? "is" : "are") + " exported";
    } else {
        g_free(err_info);
    }
    if (result_.status == ExportStatus::done && counts_.tcp_damage.any()) {
        result_.status = ExportStatus::damaged;
        result_.message = job_.input_name + ": damaged OVK5 TCP streams (" + damage_of(counts_.tcp_damage)
                          + "); the records in bytes not captured or skipped are lost, every record framed in the bytes "
                            "captured is exported";
    }
}

ExportResult Exporter::run()
{
    int err = 0;
    gchar *err_info = nullptr;
    gint64 offset = 0;
    while (ovk_read(job_.input, &record_, &err, &err_info, &offset)) {
        ++counts_.records_read;
        if (job_.progress && counts_.records_read % progress_every == 0)
            job_.progress(wtap_read_so_far(job_.input));
        if (!export_record(offset))
            break;
    }
    // Segments still waiting for bytes the capture never brought.
    ready_.clear();
    if (result_.status != ExportStatus::failed)
        order_.finish(&ready_);
    for (const StreamOrder::Token go : ready_) {
        const auto waited = held_.find(go);
        const bool written = dissect(&waited->second->record, waited->second->offset, false, Transport{});
        held_.erase(waited);
        if (!written)
            break;
    }
    report_end(err, err_info, offset);
    return result_;
}

} // namespace

ExportResult run_export(const ExportJob &job)
{
    return Exporter(job).run();
}

std::string summary(const ExportCounts &counts)
{
    const std::uint64_t written = counts.ovk5seq_written + counts.ovk5_written;
    const std::uint64_t skipped = counts.without_header + counts.parts_only + counts.short_ovk5seq
                                  + counts.snapped_ovk5seq + counts.not_packets;
    std::string text = count_of(counts.records_read, "record", "records") + " read, "
                       + count_of(written, "packet", "packets") + " written (" + std::to_string(counts.ovk5seq_written) + " OVK5SEQ, "
                       + std::to_string(counts.ovk5_written) + " OVK5), " + std::to_string(skipped) + " skipped";
    std::string reasons;
    auto reason = [&reasons](std::uint64_t count, const char *why) {
        if (count)
            reasons += (reasons.empty() ? "" : ", ") + std::to_string(count) + " " + why;
    };
    reason(counts.without_header, "without OVK5 or OVK5SEQ");
    reason(counts.parts_only, "with parts of OVK5 records only");
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

std::vector<std::string> damage_lines(const ExportCounts &counts, std::size_t max_lines)
{
    std::vector<std::string> lines;
    // What the streams left at the end of the capture (a record begun,
    // segments TCP held back) is known in all only.
    StreamDamage at_end = counts.tcp_damage;
    for (const SenderDamage &stream : counts.damaged_streams) {
        at_end.records_lost -= stream.damage.records_lost;
        at_end.records_cut -= stream.damage.records_cut;
        at_end.bytes_skipped -= stream.damage.bytes_skipped;
        at_end.bytes_missing -= stream.damage.bytes_missing;
        at_end.segments_held_back -= stream.damage.segments_held_back;
    }
    const std::size_t streams = counts.damaged_streams.size();
    for (std::size_t i = 0; i < streams; ++i) {
        if (lines.size() + 1 == max_lines && streams > max_lines) {
            lines.push_back("and " + count_of(streams - i, "more damaged stream", "more damaged streams"));
            break;
        }
        const SenderDamage &stream = counts.damaged_streams[i];
        lines.push_back("OVK5 TCP stream from " + stream.sender + ": " + damage_of(stream.damage));
    }
    if (at_end.any())
        lines.push_back("OVK5 TCP streams at the end of the capture: " + damage_of(at_end));
    return lines;
}

} // namespace ovk
