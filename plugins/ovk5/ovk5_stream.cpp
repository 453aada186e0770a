// SPDX-License-Identifier: GPL-2.0-or-later
#include "ovk5_stream.h"

#include <cstring>

guint ovk5_clock_window_hours = 24;

namespace {

// Consecutive records that must pass the check before framing resumes
// where no boundary is known. Bytes inside a frame pass it for one header
// now and then; for three in a row, practically never. Two confirm a
// chain from the first byte of a segment (where senders' writes start
// records) and one before a gap, where no more can come.
constexpr guint32 confirming_records = 3;
constexpr guint32 confirming_records_short = 2;

// Sequence numbers wrap: the signed distance from b to a.
gint32 seq_distance(guint32 a, guint32 b)
{
    return static_cast<gint32>(a - b);
}

guint32 smaller(guint32 a, guint32 b)
{
    return a < b ? a : b;
}

guint32 larger(guint32 a, guint32 b)
{
    return a > b ? a : b;
}

guint32 be16(const guint8 *p)
{
    return static_cast<guint32>(p[0]) << 8 | p[1];
}

guint32 record_length_at(const guint8 *header)
{
    return ovk5_header_length + ovk_le16(header + ovk5_blob_size_offset);
}

// The times a header's is compared with.
struct TimeReference {
    bool last_known;
    gint64 last_secs;
    bool capture_known;
    gint64 capture_secs;

    bool fits(gint64 secs) const
    {
        if (!last_known && !capture_known)
            return true;
        return (last_known && near(secs, last_secs)) || (capture_known && near(secs, capture_secs));
    }

    static bool near(gint64 a, gint64 b)
    {
        const gint64 window = ovk5_max_clock_offset();
        return a - b <= window && b - a <= window;
    }
};

// The check the heuristics make (ovk5_check_at: time stamp, Blob size,
// source address, EtherType), with the time stamp near the reference; for
// IPv4 and IPv6 frames also the IP header: its version, and a packet
// length that fits the Blob size (allowing for the padding of a short
// frame and a frame check sequence). Bytes inside a frame seldom pass all.
ovk5_plausibility check_header(const guint8 *p, guint32 available, const TimeReference &reference)
{
    static const ovk5_check_rule rule = ovk5_dissector_rule(nullptr, 0);
    if (available >= ovk5_header_length && !reference.fits(ovk_le32(p + ovk5_ts_offset)))
        return ovk5_plausibility::implausible;
    const ovk5_plausibility verdict = ovk5_check_at({p, available, available}, 0, rule);
    if (verdict != ovk5_plausibility::plausible || available < ovk5_checked_length + 6)
        return verdict;

    const guint32 type = be16(p + ovk5_checked_length - 2);
    const guint8 *ip = p + ovk5_checked_length;
    const guint32 version = ip[0] >> 4;
    // What the frame's own header says its payload is.
    guint32 claimed;
    guint32 least;
    if (type == 0x0800) {
        claimed = version == 4 && (ip[0] & 0x0f) >= 5 ? be16(ip + 2) : 0;
        least = 20;
    } else if (type == 0x86dd) {
        claimed = version == 6 ? 40u + be16(ip + 4) : 0;
        least = 40;
    } else if (type <= ovk_max_8023_length) {
        claimed = type;
        least = 3;  // an LLC header
    } else {
        return verdict;
    }
    constexpr guint32 min_payload = 46;  // an Ethernet frame's, padded up to it
    constexpr guint32 fcs_length = 4;
    const guint32 payload = ovk_le16(p + ovk5_blob_size_offset) - ovk_ethernet_header_length;
    if (claimed < least || claimed > payload || (payload - claimed > fcs_length && payload > min_payload + fcs_length))
        return ovk5_plausibility::implausible;
    return verdict;
}

class Planner {
public:
    // Pieces gather in a scratch array; the plan keeps an exact copy in
    // file scope, one per TCP segment.
    explicit Planner(wmem_allocator_t *scratch) : pieces_(wmem_array_new(scratch, sizeof(ovk5_stream_piece))) {}

    void lose_record() { ++pending_.records_lost; }
    void note_gap(guint32 missing) { pending_.missing_before = missing; }

    void add(ovk5_piece_kind kind, guint32 offset, guint32 length, guint32 record_captured = 0,
             guint32 record_length = 0, const guint8 *bytes = nullptr, guint32 records_lost = 0,
             guint32 held_skipped = 0)
    {
        ovk5_stream_piece piece = pending_;
        piece.kind = kind;
        piece.offset = offset;
        piece.length = length;
        piece.record_captured = record_captured;
        piece.record_length = record_length;
        piece.bytes = bytes;
        piece.records_lost += records_lost;
        piece.held_skipped = held_skipped;
        wmem_array_append_one(pieces_, piece);
        pending_ = ovk5_stream_piece{};
    }

    // Ends the planner.
    ovk5_segment_plan plan()
    {
        if (pending_.missing_before || pending_.records_lost)
            add(ovk5_piece_kind::part, 0, 0);
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

enum class chain { confirmed, undecided, refuted };

// Whether records framed from pos on pass the check, as many as confirm a
// boundary; undecided when the bytes end first (at a gap, where no more
// come, fewer confirm).
chain follow_chain(const guint8 *data, guint32 n, guint32 pos, TimeReference reference, bool at_gap, guint32 needed)
{
    for (guint32 count = 0; count < needed; ++count) {
        const ovk5_plausibility verdict = pos < n ? check_header(data + pos, n - pos, reference)
                                                  : ovk5_plausibility::incomplete;
        if (verdict == ovk5_plausibility::implausible)
            return chain::refuted;
        if (verdict == ovk5_plausibility::incomplete) {
            if (!at_gap)
                return chain::undecided;
            return count >= confirming_records_short ? chain::confirmed : chain::refuted;
        }
        if (!reference.last_known && !reference.capture_known) {
            // Without a time to compare with, the chain's first sets it.
            reference.last_known = true;
            reference.last_secs = ovk_le32(data + pos + ovk5_ts_offset);
        }
        pos += record_length_at(data + pos);
    }
    return chain::confirmed;
}

struct Found {
    chain verdict;
    guint32 at;
};

// The first position from from up to limit where a chain is confirmed or
// still undecided; segment_start and held_start are segments' first bytes
// (G_MAXUINT32: none).
Found search_chain(const guint8 *data, guint32 n, guint32 from, guint32 limit, const TimeReference &reference,
                   bool at_gap, guint32 segment_start, guint32 held_start)
{
    const guint32 end = smaller(limit, n);
    for (guint32 pos = from; pos < end; ++pos) {
        const chain verdict = follow_chain(data, n, pos, reference, at_gap,
                                           pos == segment_start || pos == held_start ? confirming_records_short
                                                                                     : confirming_records);
        if (verdict != chain::refuted)
            return {verdict, pos};
    }
    return {chain::refuted, end};
}

void forget_record(ovk5_stream_direction *d)
{
    d->have = 0;
    d->length = 0;
    d->keep = false;
    d->bytes = nullptr;
}

bool time_valid_at(const guint8 *header)
{
    return ovk_time_valid(ovk_le32(header + ovk5_ts_offset + 4));
}

void note_time(ovk5_stream_direction *d, const guint8 *header)
{
    d->time_known = true;
    d->last_secs = ovk_le32(header + ovk5_ts_offset);
}

// Makes bytes (length of them) the direction's held bytes.
void keep_held(ovk5_stream_direction *d, const guint8 *bytes, guint32 length)
{
    if (length > d->held_capacity) {
        auto *grown = static_cast<guint8 *>(wmem_alloc(wmem_file_scope(), length));
        std::memcpy(grown, bytes, length);
        wmem_free(wmem_file_scope(), d->held);
        d->held = grown;
        d->held_capacity = length;
    } else {
        std::memmove(d->held, bytes, length);
    }
    d->held_length = length;
}

// The bytes a resolution works on: those held from earlier segments, then
// the current segment's captured bytes from tvb_offset on.
struct View {
    const guint8 *data;
    guint32 n;
    guint32 held;        // positions before it are earlier segments' bytes
    guint32 tvb_offset;  // where position held lies in the payload
    bool at_gap;         // nothing follows these bytes

    // The payload bytes of positions from..to.
    guint32 in_payload(guint32 from, guint32 to) const { return larger(to, held) - larger(from, held); }
    guint32 payload_offset(guint32 pos) const { return tvb_offset + (pos > held ? pos - held : 0); }
};

class Resolver {
public:
    Resolver(ovk5_stream_direction *d, Planner &planner, const TimeReference &framing,
             const TimeReference &searching)
        : d_(d), planner_(planner), framing_(framing), searching_(searching)
    {
    }

    // Works out what the view holds. Returns true when it is used up
    // (shown, skipped or held); otherwise the payload is framed by Blob
    // size again from *resume_offset, its first header taken without a
    // check when *trusted.
    bool resolve(View view, guint32 *resume_offset, bool *trusted)
    {
        *trusted = false;
        for (;;) {
            guint32 start;
            if (d_->state == ovk5_framing_state::checking) {
                const ovk5_plausibility verdict = check_header(view.data, view.n, framing_);
                if (verdict == ovk5_plausibility::implausible) {
                    start_search(view.data);
                    continue;
                }
                if (verdict == ovk5_plausibility::incomplete && !view.at_gap) {
                    hold(view, 0);
                    return true;
                }
                if (verdict == ovk5_plausibility::plausible)
                    note_time(d_, view.data);
                start = 0;
            } else {
                // A header that failed the check (the view's first) but
                // whose time stamp is good stands unless a chain starts
                // inside its record.
                const guint32 suspect_end = d_->suspect_end;
                const Found found = search_chain(view.data, view.n, d_->scan_from,
                                                 suspect_end ? suspect_end : G_MAXUINT32, searching_, view.at_gap,
                                                 view.held < view.n ? view.held : G_MAXUINT32,
                                                 d_->held_from_segment_start && view.held ? 0 : G_MAXUINT32);
                const bool stands = suspect_end && found.verdict == chain::refuted;
                if (found.verdict == chain::undecided) {
                    const guint32 keep_from = suspect_end ? 0 : found.at;
                    skip(view, 0, keep_from);
                    d_->scan_from = found.at - keep_from;
                    hold(view, keep_from);
                    return true;
                }
                if (found.verdict == chain::refuted && !stands) {
                    skip(view, 0, view.n);
                    d_->held_length = 0;
                    d_->scan_from = 0;
                    return true;
                }
                start = stands ? 0 : found.at;
                skip(view, 0, start);
                note_time(d_, view.data + start);
            }
            d_->state = ovk5_framing_state::framing;
            d_->held_length = 0;
            d_->scan_from = 0;
            d_->suspect_end = 0;
            if (frame_held(&view, start, trusted))
                return true;
            if (d_->state == ovk5_framing_state::framing) {
                *resume_offset = view.tvb_offset;
                return false;
            }
        }
    }

    // Searching from the byte after header on, which failed the check.
    void start_search(const guint8 *header)
    {
        d_->state = ovk5_framing_state::searching;
        d_->scan_from = 1;
        d_->suspect_end = good_time(header) ? record_length_at(header) : 0;
    }

private:
    bool good_time(const guint8 *header) const
    {
        return time_valid_at(header) && searching_.fits(ovk_le32(header + ovk5_ts_offset));
    }

    // Records from pos on that begin in held bytes: shown whole (put
    // together) or begun. True when the view is used up; otherwise
    // framing goes on where the view now starts, or the view has moved on
    // to a header that failed the check (state searching) or needs more
    // bytes (state checking).
    bool frame_held(View *view, guint32 pos, bool *trusted)
    {
        const guint32 first = pos;
        while (pos < view->held) {
            if (pos != first) {
                const ovk5_plausibility verdict = check_header(view->data + pos, view->n - pos, framing_);
                if (verdict == ovk5_plausibility::implausible
                    || (verdict == ovk5_plausibility::incomplete && !view->at_gap)) {
                    move_to(view, pos);
                    if (verdict == ovk5_plausibility::implausible)
                        start_search(view->data);
                    else
                        d_->state = ovk5_framing_state::checking;
                    return false;
                }
                if (verdict == ovk5_plausibility::plausible)
                    note_time(d_, view->data + pos);
            }
            if (view->n - pos < ovk5_header_length) {
                // At a gap: a header cut off by it.
                planner_.lose_record();
                return true;
            }
            const guint32 length = record_length_at(view->data + pos);
            if (pos + length <= view->n) {
                auto *bytes = static_cast<guint8 *>(wmem_memdup(wmem_file_scope(), view->data + pos, length));
                planner_.add(ovk5_piece_kind::record, view->payload_offset(pos), view->in_payload(pos, pos + length),
                             length, length, bytes);
                pos += length;
                continue;
            }
            if (view->at_gap) {
                planner_.lose_record();
                return true;
            }
            // Goes on in later segments.
            d_->have = view->n - pos;
            d_->length = length;
            d_->keep = true;
            d_->bytes = static_cast<guint8 *>(wmem_alloc(wmem_file_scope(), length));
            std::memcpy(d_->bytes, view->data + pos, d_->have);
            if (view->in_payload(pos, view->n))
                planner_.add(ovk5_piece_kind::part, view->payload_offset(pos), view->in_payload(pos, view->n));
            return true;
        }
        // A header in the payload itself, confirmed or standing: framing
        // takes it as it is.
        *trusted = pos == first;
        move_to(view, pos);
        return false;
    }

    // Drops the view's bytes before pos (shown or skipped already).
    static void move_to(View *view, guint32 pos)
    {
        const guint32 from_held = smaller(pos, view->held);
        view->tvb_offset += pos - from_held;
        view->held -= from_held;
        view->data += pos;
        view->n -= pos;
    }

    void skip(const View &view, guint32 from, guint32 to)
    {
        if (to <= from)
            return;
        const guint32 held_bytes = smaller(to, view.held) - smaller(from, view.held);
        planner_.add(ovk5_piece_kind::skipped, view.payload_offset(from), view.in_payload(from, to), 0, 0, nullptr,
                     0, held_bytes);
    }

    // Keeps the view's bytes from pos on for the next segment.
    void hold(const View &view, guint32 pos)
    {
        const guint32 length = view.n - pos;
        if (view.in_payload(pos, view.n))
            planner_.add(ovk5_piece_kind::part, view.payload_offset(pos), view.in_payload(pos, view.n));
        d_->held_from_segment_start = pos == view.held || (pos == 0 && d_->held_from_segment_start);
        keep_held(d_, view.data + pos, length);
    }

    ovk5_stream_direction *d_;
    Planner &planner_;
    const TimeReference &framing_;
    const TimeReference &searching_;
};

// Goes on with the record begun in an earlier segment; returns the bytes
// of the payload it took.
guint32 continue_record(ovk5_stream_direction *d, Planner &planner, const guint8 *payload, guint32 offset,
                        guint32 remaining, guint32 captured)
{
    const guint32 take = smaller(d->length - d->have, remaining);
    const guint32 got = smaller(take, captured);
    bool shown = false;
    if (d->keep) {
        std::memcpy(d->bytes + d->have, payload + offset, got);
        if (got < take) {
            // Cut by the snap length: shown as far as captured, the rest passed over.
            planner.add(ovk5_piece_kind::record, offset, take, d->have + got, d->length, d->bytes);
            d->keep = false;
            shown = true;
        }
    }
    d->have += take;
    if (d->have == d->length && d->keep) {
        planner.add(ovk5_piece_kind::record, offset, take, d->length, d->length, d->bytes);
        shown = true;
    }
    if (!shown)
        planner.add(ovk5_piece_kind::part, offset, take);
    if (d->have == d->length)
        forget_record(d);
    return take;
}

// What a header's time is compared with where a boundary is searched for;
// when framing (boundary known), nothing until the stream has a good
// time: a device's clock may be anything.
TimeReference reference_of(const ovk5_stream_direction *d, const nstime_t *capture_time, bool framing)
{
    TimeReference reference{};
    reference.last_known = d->time_known;
    reference.last_secs = d->last_secs;
    reference.capture_known = capture_time != nullptr && (d->time_known || !framing);
    if (capture_time)
        reference.capture_secs = capture_time->secs;
    return reference;
}

// At a gap: what the held bytes hold, with no more to come.
void resolve_at_gap(ovk5_stream_direction *d, Planner &planner, const nstime_t *capture_time)
{
    if (d->state != ovk5_framing_state::framing && d->held_length) {
        const TimeReference framing = reference_of(d, capture_time, true);
        const TimeReference searching = reference_of(d, capture_time, false);
        Resolver resolver(d, planner, framing, searching);
        guint32 resumed;
        bool trusted;
        resolver.resolve({d->held, d->held_length, d->held_length, 0, true}, &resumed, &trusted);
    }
    d->state = ovk5_framing_state::searching;
    d->held_length = 0;
    d->scan_from = 0;
    d->suspect_end = 0;
}

} // namespace

ovk5_segment_plan ovk5_plan_segment(ovk5_stream_direction *d, tvbuff_t *tvb, guint32 seq, bool opened_in_capture,
                                    const nstime_t *capture_time, wmem_allocator_t *scratch)
{
    const guint32 length = tvb_reported_length(tvb);
    const guint32 captured_end = smaller(tvb_captured_length(tvb), length);
    const guint8 *payload = captured_end ? tvb_get_ptr(tvb, 0, static_cast<gint>(captured_end)) : nullptr;
    guint32 offset = 0;
    Planner planner(scratch);

    if (!d->started) {
        // A capture may start inside a record: unless the connection
        // opened in it, the first boundary is found, not assumed.
        d->started = true;
        d->state = opened_in_capture ? ovk5_framing_state::framing : ovk5_framing_state::searching;
        d->next_seq = seq;
    }
    const gint32 ahead = seq_distance(seq, d->next_seq);
    if (ahead > 0) {
        // Stream bytes that never reached the capture.
        if (d->have && d->keep)
            planner.lose_record();
        forget_record(d);
        resolve_at_gap(d, planner, capture_time);
        planner.note_gap(static_cast<guint32>(ahead));
    } else if (ahead < 0) {
        // Bytes already framed (a retransmission overlapping new data).
        const guint32 seen = static_cast<guint32>(-ahead);
        if (seen >= length)
            return planner.plan();
        offset = seen;
    }
    d->next_seq = seq + length;

    bool trusted = false;
    while (offset < length) {
        const guint32 remaining = length - offset;
        const guint32 captured = offset < captured_end ? captured_end - offset : 0;
        const TimeReference reference = reference_of(d, capture_time, true);
        if (d->have) {
            const guint32 rest = d->length - d->have;
            if (d->keep && rest <= remaining && rest + ovk5_checked_length <= captured
                && check_header(payload + offset + rest, captured - rest, reference) == ovk5_plausibility::implausible) {
                // What follows the record is no record: its own header may
                // have been none. Searched like a header failing the check.
                std::memcpy(d->bytes + d->have, payload + offset, rest);
                planner.add(ovk5_piece_kind::part, offset, rest);
                keep_held(d, d->bytes, d->length);
                Resolver(d, planner, reference, reference_of(d, capture_time, false)).start_search(d->bytes);
                forget_record(d);
                offset += rest;
                continue;
            }
            offset += continue_record(d, planner, payload, offset, remaining, captured);
            continue;
        }
        if (d->state != ovk5_framing_state::framing) {
            if (captured < remaining && d->held_length) {
                // Cut by the snap length: the held bytes end at a gap.
                resolve_at_gap(d, planner, capture_time);
                continue;
            }
            // The held bytes, then the payload's.
            const guint8 *data = payload ? payload + offset : nullptr;
            if (d->held_length) {
                auto *joined = static_cast<guint8 *>(wmem_alloc(scratch, d->held_length + captured));
                std::memcpy(joined, d->held, d->held_length);
                if (captured)
                    std::memcpy(joined + d->held_length, data, captured);
                data = joined;
            }
            const View view{data, d->held_length + captured, d->held_length, offset, captured < remaining};
            guint32 resumed = 0;
            const TimeReference searching = reference_of(d, capture_time, false);
            if (Resolver(d, planner, reference, searching).resolve(view, &resumed, &trusted)) {
                if (captured < remaining)
                    planner.add(ovk5_piece_kind::not_captured, captured_end, remaining - captured);
                break;
            }
            offset = resumed;
            continue;
        }
        if (captured < smaller(remaining, ovk5_header_length)) {
            // A header the snap length cut: where its record ends is unknown.
            planner.add(ovk5_piece_kind::not_captured, offset, remaining, 0, 0, nullptr, 1);
            d->state = ovk5_framing_state::searching;
            break;
        }
        if (!trusted) {
            if (remaining < ovk5_checked_length && captured == remaining) {
                // The header's check needs bytes of the next segment.
                d->state = ovk5_framing_state::checking;
                continue;
            }
            if (captured >= ovk5_checked_length) {
                if (check_header(payload + offset, captured, reference) == ovk5_plausibility::implausible) {
                    Resolver(d, planner, reference, reference_of(d, capture_time, false)).start_search(payload + offset);
                    continue;
                }
                note_time(d, payload + offset);
            }
        }
        trusted = false;
        const guint32 record_length = record_length_at(payload + offset);
        if (record_length <= remaining) {
            planner.add(ovk5_piece_kind::record, offset, record_length, smaller(record_length, captured), record_length);
            offset += record_length;
            continue;
        }
        // The record goes on in later segments.
        d->have = remaining;
        d->length = record_length;
        if (captured < remaining) {
            auto *bytes = static_cast<guint8 *>(wmem_memdup(wmem_file_scope(), payload + offset, captured));
            planner.add(ovk5_piece_kind::record, offset, remaining, captured, record_length, bytes);
            d->keep = false;
        } else {
            d->keep = true;
            d->bytes = static_cast<guint8 *>(wmem_alloc(wmem_file_scope(), record_length));
            std::memcpy(d->bytes, payload + offset, remaining);
            planner.add(ovk5_piece_kind::part, offset, remaining);
        }
        break;
    }
    return planner.plan();
}

bool ovk5_find_chain(const guint8 *bytes, guint32 length, const nstime_t *capture_time, guint32 *start)
{
    TimeReference reference{};
    reference.capture_known = capture_time != nullptr;
    if (capture_time)
        reference.capture_secs = capture_time->secs;
    const Found found = search_chain(bytes, length, 0, length, reference, true, 0, G_MAXUINT32);
    *start = found.at;
    return found.verdict == chain::confirmed;
}

void ovk5_search_from(ovk5_stream_direction *d, guint32 seq)
{
    if (d->started)
        return;
    d->started = true;
    d->state = ovk5_framing_state::searching;
    d->next_seq = seq;
}
