// SPDX-License-Identifier: GPL-2.0-or-later
#include "ovk5_stream.h"

#include <cstring>

namespace {

// Sequence numbers wrap: the signed distance from b to a.
gint32 seq_distance(guint32 a, guint32 b)
{
    return static_cast<gint32>(a - b);
}

guint32 smaller(guint32 a, guint32 b)
{
    return a < b ? a : b;
}

class Planner {
public:
    // Pieces gather in a scratch array; the plan keeps an exact copy in
    // file scope, one per TCP segment.
    Planner(guint32 missing_before, wmem_allocator_t *scratch)
        : pieces_(wmem_array_new(scratch, sizeof(ovk5_stream_piece)))
    {
        pending_.missing_before = missing_before;
    }

    void lose_record() { ++pending_.records_lost; }

    void add(ovk5_piece_kind kind, guint32 offset, guint32 length, guint32 record_captured = 0,
             guint32 record_length = 0, const guint8 *bytes = nullptr, guint32 records_lost = 0)
    {
        ovk5_stream_piece piece = pending_;
        piece.kind = kind;
        piece.offset = offset;
        piece.length = length;
        piece.record_captured = record_captured;
        piece.record_length = record_length;
        piece.bytes = bytes;
        piece.records_lost += records_lost;
        wmem_array_append_one(pieces_, piece);
        pending_ = ovk5_stream_piece{};
    }

    // Ends the planner.
    ovk5_segment_plan plan()
    {
        const guint count = wmem_array_get_count(pieces_);
        const void *pieces = count ? wmem_memdup(wmem_file_scope(), wmem_array_get_raw(pieces_),
                                                 count * sizeof(ovk5_stream_piece))
                                   : nullptr;
        return {count, static_cast<const ovk5_stream_piece *>(pieces)};
    }

private:
    wmem_array_t *pieces_;
    ovk5_stream_piece pending_{};  // what the next piece carries along
};

// The shared check, and for IPv4 and IPv6 frames the IP header too: its
// version, and a packet length that fits the Blob size (allowing for the
// padding of a short frame and a frame check sequence). Frame bytes taken
// for a header seldom pass both.
ovk5_plausibility check_at(tvbuff_t *tvb, guint32 offset)
{
    const ovk5_plausibility verdict = ovk5_check_record(tvb, static_cast<gint>(offset), nullptr, 0);
    const gint ip = static_cast<gint>(offset + ovk5_checked_length);
    if (verdict != ovk5_plausibility::plausible || tvb_captured_length_remaining(tvb, ip) < 6)
        return verdict;
    const guint16 type = tvb_get_ntohs(tvb, ip - 2);
    const guint8 version = tvb_get_uint8(tvb, ip) >> 4;
    // What the frame's own header says its payload is.
    guint32 claimed;
    guint32 least;
    if (type == 0x0800) {
        claimed = version == 4 && (tvb_get_uint8(tvb, ip) & 0x0f) >= 5 ? tvb_get_ntohs(tvb, ip + 2) : 0;
        least = 20;
    } else if (type == 0x86dd) {
        claimed = version == 6 ? 40u + tvb_get_ntohs(tvb, ip + 4) : 0;
        least = 40;
    } else if (type <= ovk_max_8023_length) {
        claimed = type;
        least = 3;  // an LLC header
    } else {
        // A type the analyser knows of.
        static dissector_table_t ethertypes = find_dissector_table("ethertype");
        return !ethertypes || dissector_get_uint_handle(ethertypes, type) ? verdict : ovk5_plausibility::implausible;
    }
    constexpr guint32 min_payload = 46;  // an Ethernet frame's, padded up to it
    constexpr guint32 fcs_length = 4;
    const guint32 payload = tvb_get_letohs(tvb, static_cast<gint>(offset)) - ovk_ethernet_header_length;
    if (claimed < least || claimed > payload
        || (payload - claimed > fcs_length && payload > min_payload + fcs_length))
        return ovk5_plausibility::implausible;
    return verdict;
}

bool implausible_at(tvbuff_t *tvb, guint32 offset)
{
    return check_at(tvb, offset) == ovk5_plausibility::implausible;
}

struct Boundary {
    guint32 offset;  // captured when none was found
    bool unconfirmed;  // its record runs past the segment: the header after it is still to be checked
};

enum class chain { confirmed, unconfirmed, refuted };

// Whether records framed from offset on run through the captured payload,
// every header plausible, up to its end or a record running past it.
chain follow_chain(tvbuff_t *tvb, guint32 offset, guint32 captured, guint32 length)
{
    // Headers after the first found plausible.
    guint32 confirmations = 0;
    for (bool first = true;; first = false) {
        const ovk5_plausibility verdict = check_at(tvb, offset);
        if (verdict == ovk5_plausibility::implausible)
            return chain::refuted;
        if (verdict == ovk5_plausibility::incomplete)
            return confirmations ? chain::confirmed : chain::refuted;
        if (!first)
            ++confirmations;
        offset += ovk5_header_length + tvb_get_letohs(tvb, static_cast<gint>(offset));
        if (offset == length)
            return chain::confirmed;
        if (offset > length)
            return confirmations ? chain::confirmed : chain::unconfirmed;
        if (offset >= captured)
            return confirmations ? chain::confirmed : chain::refuted;
    }
}

// Where framing resumes after damage: the first plausible header from
// offset on from which plausible records run to the end of the payload.
// Bytes inside a frame pass the check for one header often enough that a
// header alone is not taken. Failing that, the first plausible header
// whose record runs past the payload, to be confirmed when it ends.
Boundary next_boundary(tvbuff_t *tvb, guint32 offset, guint32 captured, guint32 length)
{
    Boundary spanning{captured, false};
    for (; offset < captured; ++offset) {
        const chain verdict = follow_chain(tvb, offset, captured, length);
        if (verdict == chain::confirmed)
            return {offset, false};
        if (verdict == chain::unconfirmed && spanning.offset == captured)
            spanning = {offset, true};
    }
    return spanning;
}

void forget_record(ovk5_stream_direction *d)
{
    d->have = 0;
    d->length = 0;
    d->keep = false;
    d->unconfirmed = false;
    d->bytes = nullptr;
}

// Goes on with the record begun in an earlier segment; returns the bytes
// of the payload it took.
guint32 continue_record(ovk5_stream_direction *d, Planner &planner, tvbuff_t *tvb, guint32 offset, guint32 remaining,
                        guint32 captured)
{
    if (d->length == 0) {
        // Its header is still incomplete.
        const guint32 take = smaller(ovk5_header_length - d->have, remaining);
        if (captured < take) {
            planner.add(ovk5_piece_kind::not_captured, offset, remaining, 0, 0, nullptr, 1);
            forget_record(d);
            d->synced = false;
            return remaining;
        }
        tvb_memcpy(tvb, d->header + d->have, static_cast<gint>(offset), take);
        d->have += take;
        planner.add(ovk5_piece_kind::part, offset, take);
        if (d->have == ovk5_header_length) {
            d->length = ovk5_header_length + (d->header[0] | static_cast<guint32>(d->header[1]) << 8);
            d->keep = true;
            d->bytes = static_cast<guint8 *>(wmem_alloc(wmem_file_scope(), d->length));
            std::memcpy(d->bytes, d->header, ovk5_header_length);
            if (d->length == ovk5_header_length) {
                planner.add(ovk5_piece_kind::record, offset + take, 0, d->length, d->length, d->bytes);
                forget_record(d);
            }
        }
        return take;
    }

    const guint32 take = smaller(d->length - d->have, remaining);
    if (d->unconfirmed) {
        // Records that run plausibly through this payload inside a record
        // taken after damage: that one was none.
        const Boundary found = next_boundary(tvb, offset, offset + captured, offset + remaining);
        if (!found.unconfirmed && found.offset < offset + take) {
            if (found.offset > offset)
                planner.add(ovk5_piece_kind::skipped, offset, found.offset - offset);
            forget_record(d);
            return found.offset - offset;
        }
    }
    const guint32 got = smaller(take, captured);
    bool shown = false;
    if (d->keep) {
        tvb_memcpy(tvb, d->bytes + d->have, static_cast<gint>(offset), got);
        if (got < take) {
            // Cut by the snap length: shown as far as captured, the rest passed over.
            planner.add(ovk5_piece_kind::record, offset, take, d->have + got, d->length, d->bytes);
            d->keep = false;
            shown = true;
        }
    }
    d->have += take;
    if (d->have == d->length && d->keep && d->unconfirmed && take < captured
        && implausible_at(tvb, offset + take)) {
        // Taken after damage, and what follows it is no record: it was none.
        planner.add(ovk5_piece_kind::skipped, offset, take);
        d->synced = false;
        shown = true;
    } else if (d->have == d->length && d->keep) {
        planner.add(ovk5_piece_kind::record, offset, take, d->length, d->length, d->bytes);
        shown = true;
    }
    if (!shown)
        planner.add(ovk5_piece_kind::part, offset, take);
    if (d->have == d->length)
        forget_record(d);
    return take;
}

} // namespace

ovk5_segment_plan ovk5_plan_segment(ovk5_stream_direction *d, tvbuff_t *tvb, guint32 seq, bool opened_in_capture,
                                    wmem_allocator_t *scratch)
{
    const guint32 length = tvb_reported_length(tvb);
    const guint32 captured_end = tvb_captured_length(tvb);
    guint32 offset = 0;

    if (!d->started) {
        // A capture may start inside a record: unless the connection
        // opened in it, the first boundary is found, not assumed.
        d->started = true;
        d->synced = opened_in_capture;
        d->next_seq = seq;
    }
    const gint32 ahead = seq_distance(seq, d->next_seq);
    Planner planner(ahead > 0 ? static_cast<guint32>(ahead) : 0, scratch);
    if (ahead > 0) {
        // Stream bytes that never reached the capture.
        if (d->have && d->keep)
            planner.lose_record();
        forget_record(d);
        d->synced = false;
    } else if (ahead < 0) {
        // Bytes already framed (a retransmission overlapping new data).
        const guint32 seen = static_cast<guint32>(-ahead);
        if (seen >= length)
            return planner.plan();
        offset = seen;
    }
    d->next_seq = seq + length;

    bool unconfirmed = false;
    while (offset < length) {
        const guint32 remaining = length - offset;
        const guint32 captured = offset < captured_end ? captured_end - offset : 0;
        if (d->have) {
            offset += continue_record(d, planner, tvb, offset, remaining, captured);
            continue;
        }
        if (!d->synced) {
            const Boundary found = next_boundary(tvb, offset, captured_end, length);
            const guint32 stop = found.offset < captured_end ? found.offset : length;
            const guint32 scanned_end = smaller(stop, smaller(captured_end, length));
            if (scanned_end > offset)
                planner.add(ovk5_piece_kind::skipped, offset, scanned_end - offset);
            if (stop > scanned_end && stop > offset)
                planner.add(ovk5_piece_kind::not_captured, scanned_end > offset ? scanned_end : offset,
                            stop - (scanned_end > offset ? scanned_end : offset));
            offset = stop;
            d->synced = found.offset < captured_end;
            unconfirmed = found.unconfirmed;
            continue;
        }
        if (captured < smaller(remaining, ovk5_header_length)) {
            // A header the snap length cut: where its record ends is unknown.
            planner.add(ovk5_piece_kind::not_captured, offset, remaining, 0, 0, nullptr, 1);
            d->synced = false;
            break;
        }
        if (remaining < ovk5_header_length) {
            // The header goes on in the next segment.
            d->have = remaining;
            d->length = 0;
            d->keep = true;
            tvb_memcpy(tvb, d->header, static_cast<gint>(offset), remaining);
            planner.add(ovk5_piece_kind::part, offset, remaining);
            break;
        }
        const guint32 record_length = ovk5_header_length + tvb_get_letohs(tvb, static_cast<gint>(offset));
        if (record_length <= remaining) {
            planner.add(ovk5_piece_kind::record, offset, record_length, smaller(record_length, captured), record_length);
            offset += record_length;
            continue;
        }
        // The record goes on in later segments.
        d->have = remaining;
        d->length = record_length;
        if (captured < remaining) {
            auto *bytes = static_cast<guint8 *>(tvb_memdup(wmem_file_scope(), tvb, static_cast<gint>(offset), captured));
            planner.add(ovk5_piece_kind::record, offset, remaining, captured, record_length, bytes);
            d->keep = false;
        } else {
            d->keep = true;
            d->unconfirmed = unconfirmed;
            d->bytes = static_cast<guint8 *>(wmem_alloc(wmem_file_scope(), record_length));
            tvb_memcpy(tvb, d->bytes, static_cast<gint>(offset), remaining);
            planner.add(ovk5_piece_kind::part, offset, remaining);
        }
        break;
    }
    return planner.plan();
}
