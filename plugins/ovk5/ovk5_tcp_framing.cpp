// SPDX-License-Identifier: GPL-2.0-or-later
// OVK5 over TCP as a stream of records (preference ovk5.tcp.desegment): the
// glue between the port tables, TCP's per-direction state and the planner
// in ovk5_stream.cpp, and how each planned piece is shown.

#include <epan/expert.h>
#include <epan/proto_data.h>
#include <epan/tap.h>
#include <epan/dissectors/packet-tcp.h>

#include "ovk5_dissector.h"
#include "ovk5_record.h"
#include "ovk5_stream.h"
#include "ovk5_tap.h"

namespace ovk5 {

// Off: a TCP payload is one record, as a sender writing one record per
// segment produces. On: records are framed by their Blob size across and
// within segments.
ovk_pref_bool tcp_desegment = false;

namespace {

// The framing state of each direction of each TCP connection, keyed by
// TCP's own flow of that direction. Forgotten with the file.
wmem_map_t *stream_directions = nullptr;

ovk5_stream_direction *stream_direction(packet_info *pinfo, bool *opened_in_capture)
{
    struct tcp_analysis *tcpd = get_tcp_conversation_data(nullptr, pinfo);
    if (!tcpd || !tcpd->fwd)
        return nullptr;
    // TCP notes the server's port on the connection's SYN or SYN-ACK: the
    // connection opened in the capture, so each direction's first bytes
    // are its first record's.
    *opened_in_capture = tcpd->server_port != 0;
    auto *direction = static_cast<ovk5_stream_direction *>(wmem_map_lookup(stream_directions, tcpd->fwd));
    if (!direction) {
        direction = wmem_new0(wmem_file_scope(), ovk5_stream_direction);
        wmem_map_insert(stream_directions, tcpd->fwd, direction);
    }
    return direction;
}

// The plan of this TCP payload: made on the first pass, kept with the frame.
const ovk5_segment_plan *segment_plan(tvbuff_t *tvb, packet_info *pinfo, const struct tcpinfo *tcpinfo)
{
    const guint32 key = segment_plan_key + (*packet_counter(pinfo, payload_count_key))++;
    if (PINFO_FD_VISITED(pinfo))
        return static_cast<const ovk5_segment_plan *>(p_get_proto_data(wmem_file_scope(), pinfo, proto_ovk5, key));
    bool opened_in_capture = false;
    ovk5_stream_direction *direction = stream_direction(pinfo, &opened_in_capture);
    if (!direction)
        return nullptr;
    auto *plan = wmem_new(wmem_file_scope(), ovk5_segment_plan);
    *plan = ovk5_plan_segment(direction, tvb, tcpinfo->seq, opened_in_capture,
                              pinfo->fd->has_ts ? &pinfo->abs_ts : nullptr, pinfo->pool);
    p_add_proto_data(wmem_file_scope(), pinfo, proto_ovk5, key, plan);
    return plan;
}

// With ovk5.tcp.desegment off: a note where a segment plainly holds
// another record after the one it is read as.
void note_more_records(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree)
{
    const guint captured = tvb_captured_length(tvb);
    if (captured < ovk5_header_length)
        return;
    const guint end = ovk5_header_length + tvb_get_letohs(tvb, ovk5_blob_size_offset);
    if (end >= captured || ovk5_check_record(tvb, static_cast<gint>(end), pinfo->fd->has_ts ? &pinfo->abs_ts : nullptr,
                                             ovk5_max_clock_offset()) != ovk5_plausibility::plausible)
        return;
    proto_tree_add_expert(tree, pinfo, &ei_ovk5_more_records, tvb, static_cast<gint>(end),
                          static_cast<gint>(captured - end));
}

void report_damage(packet_info *pinfo, const ovk5_damage_info &damage)
{
    if (!have_tap_listener(ovk5_damage_tap))
        return;
    auto *info = wmem_new(pinfo->pool, ovk5_damage_info);
    *info = damage;
    tap_queue_packet(ovk5_damage_tap, pinfo, info);
}

// An item over the captured bytes of offset and length (a range past them
// is an exception).
proto_item *add_damage(proto_tree *tree, packet_info *pinfo, expert_field *ei, tvbuff_t *tvb, guint32 offset,
                       guint32 length, const char *format, ...) G_GNUC_PRINTF(7, 8);

proto_item *add_damage(proto_tree *tree, packet_info *pinfo, expert_field *ei, tvbuff_t *tvb, guint32 offset,
                       guint32 length, const char *format, ...)
{
    const guint32 captured = tvb_captured_length(tvb);
    const guint32 start = offset < captured ? offset : captured;
    const guint32 end = offset + length < captured ? offset + length : captured;
    va_list args;
    va_start(args, format);
    // In the packet's pool: the tree may throw before the text is freed.
    const char *text = wmem_strdup_vprintf(pinfo->pool, format, args);
    va_end(args);
    return proto_tree_add_expert_format(tree, pinfo, ei, tvb, static_cast<gint>(start),
                                        static_cast<gint>(end > start ? end - start : 0), "%s", text);
}

void show_piece(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, const ovk5_stream_piece &piece)
{
    ovk5_damage_info damage{};
    damage.records_lost = piece.records_lost;
    damage.bytes_missing = piece.missing_before;
    if (piece.missing_before)
        add_damage(tree, pinfo, &ei_ovk5_stream_gap, tvb, piece.offset, 0,
                                     "%u bytes of the TCP stream before this were not captured%s",
                                     piece.missing_before,
                                     piece.records_lost ? "; the record they belong to is lost" : "");

    switch (piece.kind) {
    case ovk5_piece_kind::record: {
        tvbuff_t *record_tvb;
        if (piece.bytes) {
            record_tvb = tvb_new_child_real_data(tvb, piece.bytes, piece.record_captured, piece.record_length);
            add_new_data_source(pinfo, record_tvb, "Reassembled OVK5 record");
        } else {
            record_tvb = tvb_new_subset_length_caplen(tvb, piece.offset, piece.record_captured, piece.record_length);
        }
        if (piece.record_captured < piece.record_length) {
            damage.records_cut = 1;
            add_damage(tree, pinfo, &ei_ovk5_record_cut, tvb, piece.offset, piece.length,
                                         "OVK5 record cut by the snap length: %u of its %u bytes captured",
                                         piece.record_captured, piece.record_length);
        }
        dissect_ovk5(record_tvb, pinfo, tree, nullptr);
        break;
    }
    case ovk5_piece_kind::part: {
        const gint captured = tvb_captured_length_remaining(tvb, static_cast<gint>(piece.offset));
        if (captured > 0 && piece.length)
            proto_tree_add_item(tree, hf_ovk5_record_part, tvb, piece.offset,
                                captured < static_cast<gint>(piece.length) ? captured : static_cast<gint>(piece.length),
                                ENC_NA);
        break;
    }
    case ovk5_piece_kind::skipped:
        damage.bytes_skipped = piece.length + piece.held_skipped;
        if (piece.held_skipped)
            add_damage(tree, pinfo, &ei_ovk5_bytes_skipped, tvb, piece.offset, 0,
                       "%u bytes of earlier segments skipped: no confirmed chain of OVK5 records starts in them",
                       piece.held_skipped);
        if (piece.length)
            add_damage(tree, pinfo, &ei_ovk5_bytes_skipped, tvb, piece.offset, piece.length,
                       "%u bytes skipped: no OVK5 record boundary is known here (the capture "
                       "starts inside a record or stream bytes were lost); framing resumes "
                       "at the next plausible header",
                       piece.length);
        break;
    case ovk5_piece_kind::not_captured:
        damage.bytes_missing += piece.length;
        add_damage(tree, pinfo, &ei_ovk5_not_captured, tvb, piece.offset, piece.length,
                                     "%u bytes not captured (snap length)%s", piece.length,
                                     piece.records_lost ? ": the records in them are lost" : "");
        break;
    }
    if (damage.records_lost || damage.records_cut || damage.bytes_skipped || damage.bytes_missing)
        report_damage(pinfo, damage);
}

void add_leftovers(gpointer flow, gpointer direction, gpointer total)
{
    const auto *tcp = static_cast<const tcp_flow_t *>(flow);
    const auto *d = static_cast<const ovk5_stream_direction *>(direction);
    auto *leftovers = static_cast<ovk5_stream_leftovers *>(total);
    // Out-of-order segments TCP still holds, waiting for one never captured.
    if (d->started && tcp->ooo_segments)
        leftovers->segments_held_back += wmem_list_count(tcp->ooo_segments);
    if ((d->have && d->keep) || (d->state == ovk5_framing_state::checking && d->held_length))
        ++leftovers->records_unfinished;
    if (d->state == ovk5_framing_state::searching)
        leftovers->bytes_unconfirmed += d->held_length;
}

} // namespace


// What the port tables call. With ovk5.tcp.desegment on, a TCP payload is
// a stretch of a stream of records, framed here by their Blob size from
// the TCP sequence numbers (the analyser's TCP reassembly is not asked
// for, so records spanning segments are put together whether or not
// tcp.desegment_tcp_streams is on). A UDP payload may hold several records
// (ovk5_datagram.cpp); anything else is one record.
int dissect_ovk5_payload(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *data)
{
    if (pinfo->ptype == PT_UDP && !pinfo->flags.in_error_pkt)
        return dissect_ovk5_datagram(tvb, pinfo, tree, data);
    if (pinfo->ptype == PT_TCP && !tcp_desegment && !pinfo->flags.in_error_pkt) {
        const int taken = dissect_ovk5(tvb, pinfo, tree, data);
        note_more_records(tvb, pinfo, tree);
        return taken;
    }
    if (!tcp_desegment || pinfo->ptype != PT_TCP || !data || pinfo->flags.in_error_pkt)
        return dissect_ovk5(tvb, pinfo, tree, data);

    const ovk5_segment_plan *plan = segment_plan(tvb, pinfo, static_cast<const struct tcpinfo *>(data));
    if (!plan)
        return dissect_ovk5(tvb, pinfo, tree, data);
    // Each record is the TCP segment's: the carrier's addresses and ports,
    // which the frame inside the one before has replaced, name its stream.
    const ovk5_carrier carrier = ovk5_save_carrier(pinfo);
    bool parts_only = true;
    for (guint32 i = 0; i < plan->count; ++i) {
        ovk5_restore_carrier(pinfo, carrier);
        show_piece(tvb, pinfo, tree, plan->pieces[i]);
        parts_only = parts_only && plan->pieces[i].kind == ovk5_piece_kind::part && !plan->pieces[i].missing_before;
    }
    // A segment that only carries part of a record stays TCP's, as with
    // the analyser's own reassembly.
    if (!parts_only) {
        col_clear(pinfo->cinfo, COL_PROTOCOL);
        col_set_str(pinfo->cinfo, COL_PROTOCOL, "OVK5");
    }
    // The frames inside may have asked TCP for more of their own streams:
    // not of this one.
    pinfo->desegment_offset = 0;
    pinfo->desegment_len = 0;
    return tvb_captured_length(tvb);
}

void search_stream_from(packet_info *pinfo, const struct tcpinfo *tcpinfo)
{
    bool opened_in_capture;
    if (PINFO_FD_VISITED(pinfo))
        return;
    ovk5_stream_direction *direction = stream_direction(pinfo, &opened_in_capture);
    if (direction)
        ovk5_search_from(direction, tcpinfo->seq);
}

void register_tcp_framing()
{
    // Emptied whenever the file scope is freed.
    stream_directions = wmem_map_new_autoreset(wmem_epan_scope(), wmem_file_scope(), g_direct_hash, g_direct_equal);
}

} // namespace ovk5

ovk5_stream_leftovers ovk5_tcp_stream_leftovers()
{
    ovk5_stream_leftovers leftovers{};
    if (ovk5::stream_directions)
        wmem_map_foreach(ovk5::stream_directions, ovk5::add_leftovers, &leftovers);
    return leftovers;
}
