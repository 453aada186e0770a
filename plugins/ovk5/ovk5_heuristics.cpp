// SPDX-License-Identifier: GPL-2.0-or-later
// OVK5 found by its content on ports no preference names. The check is
// strict because a hit decodes the whole conversation as OVK5.

#include <epan/conversation.h>
#include <epan/dissectors/packet-tcp.h>

#include "ovk5_dissector.h"
#include "ovk5_record.h"
#include "ovk5_stream.h"

namespace ovk5 {

namespace {

// The time every header is compared with: the capture's own, or without
// one the first record's, so that only a second record can confirm it.
struct heur_reference {
    nstime_t capture_time;
    bool known;
};

heur_reference capture_reference(const packet_info *pinfo)
{
    heur_reference reference{};
    reference.known = pinfo->fd->has_ts;
    if (reference.known)
        reference.capture_time = pinfo->abs_ts;
    return reference;
}

// Checks the record at offset against reference, which the first record
// sets when the capture has no time; *end is where the record ends.
ovk5_plausibility heur_check(tvbuff_t *tvb, guint offset, heur_reference *reference, guint *end)
{
    const gint at = static_cast<gint>(offset);
    if (!reference->known) {
        if (tvb_captured_length_remaining(tvb, at) < static_cast<gint>(ovk5_header_length))
            return ovk5_plausibility::incomplete;
        const ovk_hardware_time first = ovk_read_hardware_time(tvb, at + static_cast<gint>(ovk5_ts_offset));
        reference->capture_time.secs = static_cast<time_t>(first.secs);
        reference->capture_time.nsecs = static_cast<int>(first.nsecs);
        reference->known = true;
    }
    const ovk5_plausibility result = ovk5_check_record(tvb, at, &reference->capture_time, ovk5_max_clock_offset());
    if (result == ovk5_plausibility::plausible)
        *end = offset + ovk5_header_length + tvb_get_letohs(tvb, at + static_cast<gint>(ovk5_blob_size_offset));
    return result;
}

// Whether the payload's bytes from offset on are all captured and zero:
// padding a sender added after its records.
bool zero_padding(tvbuff_t *tvb, guint offset)
{
    const guint length = tvb_reported_length(tvb);
    if (tvb_captured_length(tvb) < length)
        return false;
    for (; offset < length; ++offset) {
        if (tvb_get_uint8(tvb, static_cast<gint>(offset)) != 0)
            return false;
    }
    return true;
}

// A UDP payload is one record or records back to back, exactly, or
// followed by zero bytes of padding. Records cut off by the capture's
// snapshot length cannot be checked; at least one must be, and two when
// the capture has no time of its own.
bool udp_payload_is_ovk5(tvbuff_t *tvb, packet_info *pinfo)
{
    heur_reference reference = capture_reference(pinfo);
    const guint needed = reference.known ? 1 : 2;
    const guint length = tvb_reported_length(tvb);
    guint offset = 0;
    guint checked = 0;
    while (offset < length) {
        if (checked && zero_padding(tvb, offset))
            break;
        guint end = 0;
        const ovk5_plausibility record = heur_check(tvb, offset, &reference, &end);
        if (record == ovk5_plausibility::incomplete)
            return checked >= needed && tvb_captured_length(tvb) < length;
        if (record == ovk5_plausibility::implausible || end > length)
            return false;
        offset = end;
        ++checked;
    }
    return checked >= needed;
}

// A TCP segment starts with a record; where it ends inside the segment,
// the next must start plausibly too. A record may run on into the next
// segment; without the capture's time the segment must hold two.
bool tcp_payload_starts_ovk5(tvbuff_t *tvb, packet_info *pinfo)
{
    heur_reference reference = capture_reference(pinfo);
    const bool needs_second = !reference.known;
    guint end = 0;
    if (heur_check(tvb, 0, &reference, &end) != ovk5_plausibility::plausible)
        return false;
    if (end >= tvb_reported_length(tvb))
        return !needs_second;
    guint next_end = 0;
    const ovk5_plausibility next = heur_check(tvb, end, &reference, &next_end);
    return next == ovk5_plausibility::plausible || (next == ovk5_plausibility::incomplete && !needs_second);
}

// A stream captured mid-way, framed by OVK5 (ovk5.tcp.desegment): the
// segment holds, anywhere, a chain of records that would resume framing
// after a gap (the same check, two records or more).
bool tcp_payload_holds_ovk5(tvbuff_t *tvb, packet_info *pinfo)
{
    if (!tcp_desegment)
        return false;
    const guint captured = tvb_captured_length(tvb);
    if (captured < 2 * ovk5_checked_length)
        return false;
    guint32 start;
    return ovk5_find_chain(tvb_get_ptr(tvb, 0, static_cast<gint>(captured)), captured,
                           pinfo->fd->has_ts ? &pinfo->abs_ts : nullptr, &start);
}

// From this frame on the conversation is OVK5, through the port tables'
// handle: TCP framing and the analysis as on OVK5's own ports.
ovk_heur_result take_conversation(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *data)
{
    conversation_t *conversation = find_or_create_conversation(pinfo);
    conversation_set_dissector_from_frame_number(conversation, pinfo->num, ovk5_handle);
    dissect_ovk5_payload(tvb, pinfo, tree, data);
    return true;
}

} // namespace

ovk_heur_result dissect_ovk5_heur_udp(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *data)
{
    if (!udp_payload_is_ovk5(tvb, pinfo))
        return false;
    return take_conversation(tvb, pinfo, tree, data);
}

ovk_heur_result dissect_ovk5_heur_tcp(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *data)
{
    if (tcp_payload_starts_ovk5(tvb, pinfo))
        return take_conversation(tvb, pinfo, tree, data);
    if (!data || !tcp_payload_holds_ovk5(tvb, pinfo))
        return false;
    // The segment's first byte starts no record: framing searches for the
    // first boundary, whatever TCP saw of the connection's start.
    search_stream_from(pinfo, static_cast<const struct tcpinfo *>(data));
    return take_conversation(tvb, pinfo, tree, data);
}

} // namespace ovk5
