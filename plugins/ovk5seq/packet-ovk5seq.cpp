// SPDX-License-Identifier: GPL-2.0-or-later
// Ovkan Link Protocol 5 with sequence numbers (OVK5SEQ): capture records of
// link-layer type 150 (USER3) that start with a 16-byte little-endian
// metadata header, followed by the Ethernet frame it describes.

#include <epan/expert.h>
#include <epan/packet.h>
#include <epan/prefs.h>
#include <epan/proto_data.h>
#include <epan/stats_tree.h>
#include <epan/tap.h>
#include <wiretap/wtap.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "ethernet_handoff.h"
#include "hardware_time.h"
#include "ovk5seq_tap.h"
#include "wireshark_compat.h"

void proto_register_ovk5seq(void);
void proto_reg_handoff_ovk5seq(void);

namespace {

// What a record cut by the snap length must still hold to take its place
// in the sequence: the sequence number and the interface.
constexpr guint ovk5seq_sequenced_length = 3;
constexpr guint ovk5seq_timed_length = 12;
constexpr guint ovk5seq_interfaces = 256;
// The 8-bit missing-frames count and the 16-bit sequence number.
constexpr guint ovk5seq_max_missing = 255;
constexpr guint16 ovk5seq_half_sequence = 0x8000;
// RFC 3550's limits: a step forward beyond max_dropout (that the header's
// count does not explain) or back beyond max_misorder (into no gap) is a
// jump, which starts a new sequence once the next record follows on.
constexpr guint16 ovk5seq_max_dropout = 3000;
constexpr guint16 ovk5seq_max_misorder = 100;
// The latest gaps of a sequence that records coming late can still fill.
constexpr guint ovk5seq_open_gaps = 16;

int proto_ovk5seq = -1;
int hf_ovk5seq_seq = -1;
int hf_ovk5seq_if = -1;
int hf_ovk5seq_res = -1;
int hf_ovk5seq_ts = -1;
int hf_ovk5seq_prev_frame = -1;
int hf_ovk5seq_seq_gap = -1;
int hf_ovk5seq_lost_total = -1;
int hf_ovk5seq_ts_delta = -1;
int hf_ovk5seq_seq_gap_late = -1;
int hf_ovk5seq_skipped_by = -1;
int ett_ovk5seq = -1;
int ovk5seq_tap = -1;

expert_field ei_ovk5seq_missing_frames = EI_INIT;
expert_field ei_ovk5seq_seq_mismatch = EI_INIT;
expert_field ei_ovk5seq_long_gap = EI_INIT;
expert_field ei_ovk5seq_duplicate = EI_INIT;
expert_field ei_ovk5seq_out_of_order = EI_INIT;
expert_field ei_ovk5seq_ts_backwards = EI_INIT;
expert_field ei_ovk5seq_ts_invalid = EI_INIT;
expert_field ei_ovk5seq_too_short = EI_INIT;
expert_field ei_ovk5seq_restart = EI_INIT;

dissector_handle_t eth_handle = nullptr;

ovk_pref_bool analyze_records = TRUE;
// Hardware whose one sequence counter numbers the records of all its
// interfaces: the sequence is then followed per capture interface.
ovk_pref_bool shared_sequence = FALSE;

// What the first pass found for a record, kept per frame number so that
// every later dissection (random access, "-2", taps) shows the same. Packed
// into 20 bytes: a 64-bit field would align the entry to 24.
struct record_analysis {
    guint32 prev_frame;    // the stream's previous record; 0: none
    guint32 ts_delta_low;  // nanoseconds since the stream's last valid time stamp
    gint32 ts_delta_high;
    guint32 lost_total_low;  // at most 255 per record: 40 bits never wrap
    guint16 seq_step;        // seq - previous seq of the sequence, modulo 65536
    guint8 lost_total_high;
    guint8 flags;
};
static_assert(sizeof(record_analysis) == 20, "the per-record cost of the analysis");

enum : guint8 {
    record_stored = 1,
    record_seq_step_known = 2,
    record_ts_delta_known = 4,
    // A jump: the stream restarted here unless the sequence's next record
    // went on from before (refuted: the record is out of order).
    record_jump = 8,
    record_jump_refuted = 16,
    record_jump_confirmed = 32,
    // Came late into a gap; late_links gives the record that skipped it.
    record_late = 64,
    // Frames it skipped came late; late_links gives how many.
    record_gap_filled = 128,
};

gint64 ts_delta_of(const record_analysis &a)
{
    return static_cast<gint64>((static_cast<guint64>(static_cast<guint32>(a.ts_delta_high)) << 32) |
                               a.ts_delta_low);
}

guint64 lost_total_of(const record_analysis &a)
{
    return (static_cast<guint64>(a.lost_total_high) << 32) | a.lost_total_low;
}

// The records' analysis by frame number, in chunks so that the table never
// holds twice what it needs while growing. In file scope: gone with the file.
constexpr guint32 chunk_bits = 8;
constexpr guint32 chunk_records = 1u << chunk_bits;
record_analysis **chunks = nullptr;
guint32 chunk_count = 0;

record_analysis *stored_record(guint32 frame, bool create)
{
    const guint32 chunk = frame >> chunk_bits;
    if (chunk >= chunk_count) {
        if (!create)
            return nullptr;
        guint32 count = chunk_count ? chunk_count : 16;
        while (count <= chunk)
            count *= 2;
        chunks = static_cast<record_analysis **>(
            wmem_realloc(wmem_file_scope(), chunks, count * sizeof *chunks));
        std::memset(chunks + chunk_count, 0, (count - chunk_count) * sizeof *chunks);
        chunk_count = count;
    }
    if (!chunks[chunk]) {
        if (!create)
            return nullptr;
        chunks[chunk] = wmem_alloc0_array(wmem_file_scope(), record_analysis, chunk_records);
    }
    return &chunks[chunk][frame & (chunk_records - 1)];
}

struct stream_state;

// A gap the sequence skipped, open to the records that come late into it.
struct open_gap {
    guint32 first;     // its first skipped number, extended by the sequence's wraps
    guint32 frame;     // the record that skipped it; 0: none to show it on
    guint64 *arrived;  // a bit per skipped number that came late; with the first
    guint16 seq_gap;   // 0: an empty slot
    guint16 late;
    guint8 missing;
    guint8 interface_id;
    bool missing_known;
};

// The record of a jump, while the sequence's next record has yet to show
// whether the stream restarted there.
struct jump_candidate {
    guint32 frame;  // 0: its number went to another record
    stream_state *stream;
    ovk_hardware_time hw_time;
    guint16 seq;
    guint8 interface_id;
    bool time_valid;
    bool ts_backwards;  // as counted while the jump is taken for a restart
};

struct sequence_state {
    guint32 ext_last;    // the last number in order, extended by its wraps
    guint16 last_seen;   // the latest record's, in order or not
    bool known;
    bool jump_pending;
    guint8 next_gap;
    open_gap *gaps;      // ovk5seq_open_gaps of them, with the first gap
    jump_candidate *jump;

    guint16 last_seq() const { return static_cast<guint16>(ext_last); }
};

// The last record of a stream on the first pass through the file.
struct stream_state {
    guint64 lost_total;
    guint32 last_frame;  // 0: none yet
    sequence_state sequence;
    bool time_known;
    ovk_hardware_time last_valid_time;
};

// The streams of one capture interface, and the sequence they share on
// hardware with one counter.
struct capture_interface_state {
    sequence_state shared;
    stream_state streams[ovk5seq_interfaces];
};

// Capture interface id -> capture_interface_state, emptied with every file.
wmem_map_t *capture_interfaces = nullptr;
// The last one looked up: captures seldom change interface between records.
capture_interface_state *last_capture_state = nullptr;
guint32 last_capture_interface = 0;

// Frame number -> the record a late one came into the gap of (record_late),
// or how many of a record's skipped frames came late (record_gap_filled).
wmem_map_t *late_links = nullptr;

// The record that last moved a stream on, and the stream's previous record
// before it: should the next record come with the same number, a read
// filter ("tshark -2 -R") dropped that one and handed its number on, and
// the stream's previous record is again the one before.
struct moved_stream {
    guint32 frame;
    guint32 previous_frame;
    struct stream_state *stream;
} last_moved{};
// The last record of the first pass and the sequence it went into.
guint32 last_first_pass_frame = 0;
sequence_state *last_first_pass_sequence = nullptr;

// Everything above points into the file scope: forgotten whenever that is
// freed, as when a capture file is closed, whoever frees it.
ovk_wmem_cb_result forget_streams(wmem_allocator_t *, wmem_cb_event_t, void *)
{
    last_moved = moved_stream{};
    last_first_pass_frame = 0;
    last_first_pass_sequence = nullptr;
    last_capture_state = nullptr;
    chunks = nullptr;
    chunk_count = 0;
    return TRUE;  // again with the next file
}

stream_state &stream_of(guint32 capture_interface, guint8 interface_id, sequence_state **sequence)
{
    if (!last_capture_state || last_capture_interface != capture_interface) {
        auto *state = static_cast<capture_interface_state *>(
            wmem_map_lookup(capture_interfaces, GUINT_TO_POINTER(capture_interface)));
        if (!state) {
            state = wmem_new0(wmem_file_scope(), capture_interface_state);
            wmem_map_insert(capture_interfaces, GUINT_TO_POINTER(capture_interface), state);
        }
        last_capture_state = state;
        last_capture_interface = capture_interface;
    }
    stream_state &stream = last_capture_state->streams[interface_id];
    *sequence = shared_sequence ? &last_capture_state->shared : &stream.sequence;
    return stream;
}

guint32 capture_interface_of(const packet_info *pinfo)
{
    return (pinfo->rec && (pinfo->rec->presence_flags & WTAP_HAS_INTERFACE_ID))
               ? pinfo->rec->rec_header.packet_header.interface_id
               : 0;
}

// What the header gives the analysis; time and missing frames only where
// the snap length left them.
struct record_header {
    guint32 capture_interface;
    guint16 seq;
    guint8 interface_id;
    guint8 missing_frames;
    bool missing_known;
    bool time_known;
    ovk_hardware_time hw_time;
};

// How a record's sequence number steps from the previous one of its
// sequence, as RTP's analysis reads a 16-bit sequence.
enum class seq_step_kind { unknown, forward, duplicate, out_of_order, restart };

seq_step_kind step_kind(const record_analysis &a)
{
    if (!(a.flags & record_seq_step_known))
        return seq_step_kind::unknown;
    if (a.flags & record_jump)
        return (a.flags & record_jump_refuted) ? seq_step_kind::out_of_order : seq_step_kind::restart;
    if (a.seq_step == 0)
        return seq_step_kind::duplicate;
    if (a.seq_step >= ovk5seq_half_sequence)
        return seq_step_kind::out_of_order;
    return seq_step_kind::forward;
}

// Over 255 frames lost in one gap: the 8-bit count says 255 or wraps.
bool is_long_gap(guint16 gap, guint8 missing)
{
    return gap > ovk5seq_max_missing && (missing == ovk5seq_max_missing || gap % 256 == missing);
}

// How frames skipped and never come compare with the header's count.
struct gap_verdict {
    bool mismatch;
    bool long_gap;
};

gap_verdict judge_gap(guint16 lost, guint8 missing, bool missing_known)
{
    if (!missing_known || lost == missing)
        return {false, false};
    const bool long_gap = is_long_gap(lost, missing);
    return {!long_gap, long_gap};
}

// What a one-pass tap already counted for an earlier record and a later
// one changed: the late record that filled its gap, the record that showed
// a jump to be no restart.
void correct_earlier(ovk5seq_tap_correction *corrections, const ovk5seq_tap_correction &correction)
{
    if (!corrections)
        return;
    ovk5seq_tap_correction &slot = corrections[corrections[0].present ? 1 : 0];
    slot = correction;
    slot.present = true;
}

guint32 late_link(guint32 frame)
{
    return GPOINTER_TO_UINT(wmem_map_lookup(late_links, GUINT_TO_POINTER(frame)));
}

void start_sequence(sequence_state &sequence, guint16 seq)
{
    sequence.ext_last = seq;
    sequence.last_seen = seq;
    sequence.known = true;
    if (sequence.gaps)
        for (guint i = 0; i < ovk5seq_open_gaps; ++i)
            sequence.gaps[i].seq_gap = 0;
}

void open_gap_of(sequence_state &sequence, guint32 frame, const record_header &header, guint16 seq_gap)
{
    if (!sequence.gaps)
        sequence.gaps = wmem_alloc0_array(wmem_file_scope(), open_gap, ovk5seq_open_gaps);
    open_gap &gap = sequence.gaps[sequence.next_gap];
    sequence.next_gap = static_cast<guint8>((sequence.next_gap + 1) % ovk5seq_open_gaps);
    if (gap.arrived)
        wmem_free(wmem_file_scope(), gap.arrived);
    gap = open_gap{sequence.ext_last + 1, frame, nullptr, seq_gap, 0, header.missing_frames,
                   header.interface_id, header.missing_known};
}

// The open gap that skipped the number back steps behind the last one in
// order, unless a record already came late into it there.
open_gap *gap_holding(sequence_state &sequence, guint16 back, guint32 *arrival_bit)
{
    if (!sequence.gaps)
        return nullptr;
    const guint32 ext_seq = sequence.ext_last - back;
    for (guint i = 0; i < ovk5seq_open_gaps; ++i) {
        open_gap &gap = sequence.gaps[i];
        const guint32 offset = ext_seq - gap.first;
        if (offset < gap.seq_gap) {
            if (gap.arrived && (gap.arrived[offset / 64] >> (offset % 64) & 1))
                return nullptr;
            *arrival_bit = offset;
            return &gap;
        }
    }
    return nullptr;
}

void fill_gap(open_gap &gap, guint32 arrival_bit, guint32 late_frame, ovk5seq_tap_correction *corrections)
{
    if (!gap.arrived)
        gap.arrived = wmem_alloc0_array(wmem_file_scope(), guint64, (gap.seq_gap + 63u) / 64);
    gap.arrived[arrival_bit / 64] |= G_GUINT64_CONSTANT(1) << (arrival_bit % 64);
    const gap_verdict before = judge_gap(static_cast<guint16>(gap.seq_gap - gap.late), gap.missing,
                                         gap.missing_known);
    ++gap.late;
    const gap_verdict after = judge_gap(static_cast<guint16>(gap.seq_gap - gap.late), gap.missing,
                                        gap.missing_known);
    if (gap.frame) {
        stored_record(gap.frame, true)->flags |= record_gap_filled;
        wmem_map_insert(late_links, GUINT_TO_POINTER(gap.frame), GUINT_TO_POINTER(gap.late));
        wmem_map_insert(late_links, GUINT_TO_POINTER(late_frame), GUINT_TO_POINTER(gap.frame));
    }
    ovk5seq_tap_correction correction{};
    correction.interface_id = gap.interface_id;
    correction.frames_skipped = -1;
    correction.seq_mismatches = static_cast<gint8>(after.mismatch - before.mismatch);
    correction.long_gaps = static_cast<gint8>(after.long_gap - before.long_gap);
    correct_earlier(corrections, correction);
}

// Whether the sequence's last number in order leads on to seq: a step
// forward within reach, one the header's count explains, or a step back
// that a reordering explains.
bool continues_sequence(sequence_state &sequence, const record_header &header)
{
    const guint16 step = static_cast<guint16>(header.seq - sequence.last_seq());
    if (step < ovk5seq_half_sequence)
        return step <= ovk5seq_max_dropout ||
               (header.missing_known && is_long_gap(static_cast<guint16>(step - 1), header.missing_frames));
    guint32 arrival_bit;
    const guint16 back = static_cast<guint16>(-step);
    return back <= ovk5seq_max_misorder || gap_holding(sequence, back, &arrival_bit);
}

// The sequence's next record after a jump: one that follows on from the
// jump, and not from before, makes the jump the start of a new sequence.
void decide_jump(sequence_state &sequence, const record_header &header, ovk5seq_tap_correction *corrections)
{
    jump_candidate &jump = *sequence.jump;
    sequence.jump_pending = false;
    const guint16 step = static_cast<guint16>(header.seq - jump.seq);
    record_analysis *stored = jump.frame ? stored_record(jump.frame, true) : nullptr;
    if (!continues_sequence(sequence, header) && step >= 1 && step <= ovk5seq_max_dropout) {
        if (stored)
            stored->flags |= record_jump_confirmed;
        start_sequence(sequence, jump.seq);
        stream_state &stream = *jump.stream;
        if (jump.frame)
            stream.last_frame = jump.frame;
        if (jump.time_valid) {
            stream.last_valid_time = jump.hw_time;
            stream.time_known = true;
        }
        return;
    }
    if (stored)
        stored->flags |= record_jump_refuted;
    ovk5seq_tap_correction correction{};
    correction.interface_id = jump.interface_id;
    correction.restarts = -1;
    correction.out_of_order = 1;
    correction.ts_backwards = static_cast<gint8>(-jump.ts_backwards);
    correction.clock_faults = correction.ts_backwards;
    correct_earlier(corrections, correction);
}

// The first pass saw this frame number before: a read filter dropped that
// record ("tshark -2 -R") and gave its number to this one. The dropped
// record stays analysed, but nothing may point to its number any more.
void forget_dropped_record(guint32 frame)
{
    if (last_moved.stream && last_moved.frame == frame && last_moved.stream->last_frame == frame)
        last_moved.stream->last_frame = last_moved.previous_frame;
    wmem_map_remove(late_links, GUINT_TO_POINTER(frame));
    sequence_state *sequence = last_first_pass_sequence;
    if (!sequence)
        return;
    if (sequence->gaps)
        for (guint i = 0; i < ovk5seq_open_gaps; ++i)
            if (sequence->gaps[i].frame == frame)
                sequence->gaps[i].frame = 0;
    if (sequence->jump && sequence->jump->frame == frame)
        sequence->jump->frame = 0;
}

// Only on the first pass, in frame order, does a record move its stream's
// state on; a duplicate, a record out of order or a jump leaves it where
// it is. What the record changes of earlier ones' figures, as a one-pass
// tap counted them, goes to corrections.
const record_analysis *analyse_record(packet_info *pinfo, const record_header &header,
                                      ovk5seq_tap_correction *corrections)
{
    if (PINFO_FD_VISITED(pinfo)) {
        const record_analysis *stored = stored_record(pinfo->num, false);
        return stored && (stored->flags & record_stored) ? stored : nullptr;
    }

    if (pinfo->num == last_first_pass_frame)
        forget_dropped_record(pinfo->num);
    sequence_state *sequence;
    stream_state &stream = stream_of(header.capture_interface, header.interface_id, &sequence);
    last_first_pass_frame = pinfo->num;
    last_first_pass_sequence = sequence;

    record_analysis analysis{};
    analysis.flags = record_stored;
    bool in_order = true;
    if (!sequence->known) {
        start_sequence(*sequence, header.seq);
    } else {
        if (sequence->jump_pending && header.seq != sequence->last_seen && header.seq != sequence->last_seq())
            decide_jump(*sequence, header, corrections);
        analysis.flags |= record_seq_step_known;
        const guint16 step = static_cast<guint16>(header.seq - sequence->last_seq());
        in_order = false;
        if (step == 0 || header.seq == sequence->last_seen) {
            analysis.seq_step = 0;  // a duplicate of the sequence's latest record
        } else {
            analysis.seq_step = step;
            const guint16 back = static_cast<guint16>(-step);
            guint32 arrival_bit;
            open_gap *gap;
            if (!continues_sequence(*sequence, header)) {
                analysis.flags |= record_jump;
            } else if (step < ovk5seq_half_sequence) {
                if (step > 1)
                    open_gap_of(*sequence, pinfo->num, header, static_cast<guint16>(step - 1));
                sequence->ext_last += step;
                in_order = true;
            } else if ((gap = gap_holding(*sequence, back, &arrival_bit)) != nullptr) {
                analysis.flags |= record_late;
                fill_gap(*gap, arrival_bit, pinfo->num, corrections);
            }
        }
        sequence->last_seen = header.seq;
    }

    analysis.prev_frame = stream.last_frame < pinfo->num ? stream.last_frame : 0;
    // A duplicate's losses were counted with the record it copies.
    if (header.missing_known && step_kind(analysis) != seq_step_kind::duplicate)
        stream.lost_total += header.missing_frames;
    const guint64 lost_total = stream.lost_total;
    analysis.lost_total_low = static_cast<guint32>(lost_total);
    analysis.lost_total_high = static_cast<guint8>(lost_total >> 32);
    const bool time_valid = header.time_known && header.hw_time.valid();
    gint64 delta = 0;
    if (time_valid && stream.time_known) {
        delta = ovk_nanoseconds_between(header.hw_time, stream.last_valid_time);
        analysis.flags |= record_ts_delta_known;
        analysis.ts_delta_low = static_cast<guint32>(delta);
        analysis.ts_delta_high = static_cast<gint32>(delta >> 32);
    }

    if (in_order) {
        last_moved = {pinfo->num, analysis.prev_frame, &stream};
        stream.last_frame = pinfo->num;
        if (time_valid) {
            stream.last_valid_time = header.hw_time;
            stream.time_known = true;
        }
    } else if (analysis.flags & record_jump) {
        if (!sequence->jump)
            sequence->jump = wmem_new0(wmem_file_scope(), jump_candidate);
        *sequence->jump = jump_candidate{pinfo->num, &stream, header.hw_time, header.seq, header.interface_id,
                                         time_valid, (analysis.flags & record_ts_delta_known) && delta < 0};
        sequence->jump_pending = true;
    }
    record_analysis *stored = stored_record(pinfo->num, true);
    *stored = analysis;
    return stored;
}

// What the analysis says of one record, for the tree and the tap alike.
// Until a later record settles it (on the first pass), a gap may still be
// filled by records that come late and a jump may still prove no restart:
// such findings are pending.
struct record_findings {
    seq_step_kind kind;
    guint16 seq_gap;   // forward steps only
    guint16 seq_late;  // of seq_gap, frames that came late
    bool seq_mismatch;
    bool mismatch_pending;
    bool long_gap;
    bool restart_pending;
    bool ts_backwards;
};

record_findings findings_of(const record_analysis &analysis, const record_header &header, guint32 frame,
                            bool settled)
{
    record_findings f{};
    f.kind = step_kind(analysis);
    if (f.kind == seq_step_kind::forward) {
        f.seq_gap = static_cast<guint16>(analysis.seq_step - 1);
        if (analysis.flags & record_gap_filled)
            f.seq_late = static_cast<guint16>(late_link(frame));
        const gap_verdict verdict =
            judge_gap(static_cast<guint16>(f.seq_gap - f.seq_late), header.missing_frames, header.missing_known);
        f.seq_mismatch = verdict.mismatch;
        f.long_gap = verdict.long_gap;
        f.mismatch_pending = !settled && f.seq_mismatch && f.seq_gap > header.missing_frames;
    }
    f.restart_pending = f.kind == seq_step_kind::restart && !settled;
    // A late record's time lies behind by nature, not by the clock's fault;
    // a restarted device's clock may well have stepped.
    f.ts_backwards = (f.kind == seq_step_kind::forward || f.kind == seq_step_kind::unknown ||
                      f.kind == seq_step_kind::restart) &&
                     (analysis.flags & record_ts_delta_known) && ts_delta_of(analysis) < 0;
    return f;
}

void add_analysis(proto_tree *tree, packet_info *pinfo, tvbuff_t *tvb, const record_header &header,
                  const record_analysis &analysis, const record_findings &f, proto_item *seq_item)
{
    proto_item *item;
    if (analysis.prev_frame != 0) {
        item = proto_tree_add_uint(tree, hf_ovk5seq_prev_frame, tvb, 0, 0, analysis.prev_frame);
        proto_item_set_generated(item);
    }
    const guint16 previous_seq = static_cast<guint16>(header.seq - analysis.seq_step);
    switch (f.kind) {
    case seq_step_kind::forward:
        item = proto_tree_add_uint(tree, hf_ovk5seq_seq_gap, tvb, 0, 2, f.seq_gap);
        proto_item_set_generated(item);
        if (f.seq_late != 0) {
            proto_item *late_item = proto_tree_add_uint(tree, hf_ovk5seq_seq_gap_late, tvb, 0, 2, f.seq_late);
            proto_item_set_generated(late_item);
        }
        if (f.long_gap)
            expert_add_info_format(pinfo, item, &ei_ovk5seq_long_gap,
                                   "Sequence number skips %u frames, over the 255 the header can report (it %s %u)",
                                   f.seq_gap - f.seq_late,
                                   header.missing_frames == ovk5seq_max_missing ? "stops at" : "wraps to",
                                   header.missing_frames);
        else if (f.mismatch_pending)
            expert_add_info_format(pinfo, item, &ei_ovk5seq_seq_mismatch,
                                   "Sequence number skips %u frames, the header reports %u missing "
                                   "(pending: records that come late may still fill it)",
                                   f.seq_gap, header.missing_frames);
        else if (f.seq_mismatch && f.seq_late != 0)
            expert_add_info_format(pinfo, item, &ei_ovk5seq_seq_mismatch,
                                   "Sequence number skips %u frames, %u of them came late, the header reports %u "
                                   "missing",
                                   f.seq_gap, f.seq_late, header.missing_frames);
        else if (f.seq_mismatch)
            expert_add_info_format(pinfo, item, &ei_ovk5seq_seq_mismatch,
                                   "Sequence number skips %u frames, the header reports %u missing", f.seq_gap,
                                   header.missing_frames);
        break;
    case seq_step_kind::duplicate:
        expert_add_info_format(pinfo, seq_item, &ei_ovk5seq_duplicate,
                               "Duplicate of the previous record (sequence number %u)", header.seq);
        break;
    case seq_step_kind::out_of_order:
        expert_add_info_format(pinfo, seq_item, &ei_ovk5seq_out_of_order,
                               "Out of order: sequence number %u after %u", header.seq, previous_seq);
        if (analysis.flags & record_late) {
            const guint32 skipped_by = late_link(pinfo->num);
            if (skipped_by != 0) {
                item = proto_tree_add_uint(tree, hf_ovk5seq_skipped_by, tvb, 0, 2, skipped_by);
                proto_item_set_generated(item);
            }
        }
        break;
    case seq_step_kind::restart:
        if (f.restart_pending)
            expert_add_info_format(pinfo, seq_item, &ei_ovk5seq_restart,
                                   "Sequence number %u after %u: the stream restarted if the next record follows "
                                   "on (pending)",
                                   header.seq, previous_seq);
        else if (analysis.flags & record_jump_confirmed)
            expert_add_info_format(pinfo, seq_item, &ei_ovk5seq_restart,
                                   "Stream restarted: sequence number %u after %u", header.seq, previous_seq);
        else
            expert_add_info_format(pinfo, seq_item, &ei_ovk5seq_restart,
                                   "Stream restarted: sequence number %u after %u (no later record to confirm it)",
                                   header.seq, previous_seq);
        break;
    case seq_step_kind::unknown:
        break;
    }
    item = proto_tree_add_uint64(tree, hf_ovk5seq_lost_total, tvb, ovk5seq_missing_frames_offset, 1,
                                 lost_total_of(analysis));
    proto_item_set_generated(item);
    if (analysis.flags & record_ts_delta_known) {
        const nstime_t delta = ovk_relative_time(ts_delta_of(analysis));
        item = proto_tree_add_time(tree, hf_ovk5seq_ts_delta, tvb, ovk5seq_ts_offset, 8, &delta);
        proto_item_set_generated(item);
        if (f.ts_backwards)
            expert_add_info(pinfo, item, &ei_ovk5seq_ts_backwards);
    }
}

// Nothing else decodes link-type 150, so a record too short for the header
// is still shown, as bytes marked malformed, rather than as nothing.
int dissect_short_record(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree)
{
    col_set_str(pinfo->cinfo, COL_PROTOCOL, "OVK5SEQ");
    proto_item *ti = proto_tree_add_item(tree, proto_ovk5seq, tvb, 0, -1, ENC_NA);
    expert_add_info(pinfo, ti, &ei_ovk5seq_too_short);
    call_data_dissector(tvb, pinfo, tree);
    return tvb_captured_length(tvb);
}

void queue_tap(tvbuff_t *tvb, packet_info *pinfo, const record_header &header, const record_findings *f,
               bool first_of_stream, const ovk5seq_tap_correction *corrections)
{
    ovk5seq_tap_info *info = wmem_new0(pinfo->pool, ovk5seq_tap_info);
    info->seq = header.seq;
    info->interface_id = header.interface_id;
    info->capture_interface = header.capture_interface;
    info->missing_frames = header.missing_frames;
    info->missing_frames_known = header.missing_known;
    if (header.time_known) {
        info->hw_time.secs = header.hw_time.secs;
        info->hw_time.nsecs = static_cast<int>(tvb_get_letohl(tvb, ovk5seq_ts_offset + 4));
        info->ts_invalid = !header.hw_time.valid();
    }
    if (f) {
        info->analysed = true;
        info->first_of_stream = first_of_stream;
        info->seq_gap_known = f->kind == seq_step_kind::forward;
        info->seq_gap = f->seq_gap;
        info->seq_gap_late = f->seq_late;
        info->seq_mismatch = f->seq_mismatch;
        info->long_gap = f->long_gap;
        info->duplicate = f->kind == seq_step_kind::duplicate;
        info->out_of_order = f->kind == seq_step_kind::out_of_order;
        info->restart = f->kind == seq_step_kind::restart;
        info->ts_backwards = f->ts_backwards;
        info->corrections[0] = corrections[0];
        info->corrections[1] = corrections[1];
    }
    tap_queue_packet(ovk5seq_tap, pinfo, info);
}

int dissect_ovk5seq(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *)
{
    if (tvb_reported_length(tvb) < ovk5seq_header_length)
        return dissect_short_record(tvb, pinfo, tree);

    const guint captured = tvb_captured_length(tvb);
    if (captured < ovk5seq_header_length) {
        // Cut inside its header: the fields throw before the Ethernet frame
        // could name the packet, so the record names it by its stream.
        col_set_str(pinfo->cinfo, COL_PROTOCOL, "OVK5SEQ");
        if (captured >= ovk5seq_sequenced_length)
            col_add_fstr(pinfo->cinfo, COL_DEF_SRC, "Interface %u", tvb_get_uint8(tvb, ovk5seq_if_offset));
        col_add_fstr(pinfo->cinfo, COL_DEF_DST, "Capture interface %u", capture_interface_of(pinfo));
    }
    proto_item *ti = proto_tree_add_item(tree, proto_ovk5seq, tvb, 0, ovk5seq_header_length, ENC_NA);
    proto_tree *ovk5seq_tree = proto_item_add_subtree(ti, ett_ovk5seq);

    proto_item *seq_item = proto_tree_add_item(ovk5seq_tree, hf_ovk5seq_seq, tvb, 0, 2, ENC_LITTLE_ENDIAN);
    proto_tree_add_item(ovk5seq_tree, hf_ovk5seq_if, tvb, ovk5seq_if_offset, 1, ENC_LITTLE_ENDIAN);

    record_header header{};
    header.capture_interface = capture_interface_of(pinfo);
    // Read without a tree too: the expert entry is wanted either way.
    // What the snap length cut off is added after the analysis, whose
    // record it does not stop; the exception it raises marks the cut.
    if (captured > ovk5seq_missing_frames_offset) {
        guint32 missing_frames = 0;
        proto_item *missing_item = proto_tree_add_item_ret_uint(ovk5seq_tree, hf_ovk5seq_res, tvb,
                                                                ovk5seq_missing_frames_offset, 1,
                                                                ENC_LITTLE_ENDIAN, &missing_frames);
        if (missing_frames != 0)
            expert_add_info(pinfo, missing_item, &ei_ovk5seq_missing_frames);
        header.missing_frames = static_cast<guint8>(missing_frames);
        header.missing_known = true;
    }
    if (captured >= ovk5seq_timed_length) {
        proto_item *ts_item = proto_tree_add_item(ovk5seq_tree, hf_ovk5seq_ts, tvb, ovk5seq_ts_offset, 8,
                                                  ENC_LITTLE_ENDIAN);
        header.hw_time = ovk_read_hardware_time(tvb, ovk5seq_ts_offset);
        header.time_known = true;
        if (analyze_records && !header.hw_time.valid())
            expert_add_info_format(pinfo, ts_item, &ei_ovk5seq_ts_invalid,
                                   "Time stamp with %u nanoseconds (over 999,999,999)", header.hw_time.nsecs);
    }

    const bool sequenced = captured >= ovk5seq_sequenced_length;
    if (sequenced) {
        header.seq = tvb_get_letohs(tvb, 0);
        header.interface_id = tvb_get_uint8(tvb, ovk5seq_if_offset);
    }
    // The first pass settles what earlier records left pending; a record
    // shown then cannot know what comes after it.
    const bool settled = PINFO_FD_VISITED(pinfo);
    ovk5seq_tap_correction corrections[2] = {};
    const record_analysis *analysis =
        analyze_records && sequenced ? analyse_record(pinfo, header, corrections) : nullptr;
    record_findings findings{};
    if (analysis) {
        findings = findings_of(*analysis, header, pinfo->num, settled);
        add_analysis(ovk5seq_tree, pinfo, tvb, header, *analysis, findings, seq_item);
    }
    if (sequenced && have_tap_listener(ovk5seq_tap))
        queue_tap(tvb, pinfo, header, analysis ? &findings : nullptr,
                  analysis && analysis->prev_frame == 0 && step_kind(*analysis) == seq_step_kind::unknown,
                  corrections);

    if (!header.missing_known)
        proto_tree_add_item(ovk5seq_tree, hf_ovk5seq_res, tvb, ovk5seq_missing_frames_offset, 1, ENC_LITTLE_ENDIAN);
    if (!header.time_known)
        proto_tree_add_item(ovk5seq_tree, hf_ovk5seq_ts, tvb, ovk5seq_ts_offset, 8, ENC_LITTLE_ENDIAN);

    // Set before the Ethernet frame is decoded: the protocols inside it
    // name the packet.
    col_clear(pinfo->cinfo, COL_PROTOCOL);
    col_set_str(pinfo->cinfo, COL_PROTOCOL, "OVK5SEQ");

    tvbuff_t *next_tvb = tvb_new_subset_remaining(tvb, ovk5seq_header_length);
    ovk_call_ethernet(eth_handle, next_tvb, pinfo, tree);

    return tvb_captured_length(tvb);
}

// Statistics: a row per stream counting its records, under it the losses
// the headers report and those the sequence numbers show, and the faults of
// sequence and clock. The stats tree's counters are 32-bit: sums of frames
// stop at their maximum rather than wrap.
constexpr const char stats_reported[] = "Missing frames (reported)";
constexpr const char stats_before_first[] = "Reported by the stream's first record";
constexpr const char stats_skipped[] = "Frames skipped by sequence number";
constexpr const char stats_mismatches[] = "Sequence mismatches";
constexpr const char stats_long_gaps[] = "Gaps over 255 frames";
constexpr const char stats_duplicates[] = "Duplicates";
constexpr const char stats_out_of_order[] = "Out of order";
constexpr const char stats_restarts[] = "Restarts";
constexpr const char stats_clock_faults[] = "Clock faults";
constexpr const char stats_backwards[] = "Time stamp backwards";
constexpr const char stats_invalid[] = "Time stamp invalid";

// The sum behind each summing node of each open tree.
GHashTable *stats_sums = nullptr;

struct stats_sum_key {
    const stats_tree *tree;
    int node;
};

guint stats_sum_hash(gconstpointer key)
{
    const auto *k = static_cast<const stats_sum_key *>(key);
    return g_direct_hash(k->tree) ^ static_cast<guint>(k->node);
}

gboolean stats_sum_equal(gconstpointer a, gconstpointer b)
{
    const auto *x = static_cast<const stats_sum_key *>(a);
    const auto *y = static_cast<const stats_sum_key *>(b);
    return x->tree == y->tree && x->node == y->node;
}

gboolean stats_sum_of_tree(gpointer key, gpointer, gpointer tree)
{
    return static_cast<const stats_sum_key *>(key)->tree == tree;
}

void stats_forget_tree(stats_tree *st)
{
    if (stats_sums)
        g_hash_table_foreach_remove(stats_sums, stats_sum_of_tree, st);
}

// Adds value (negative: takes away) to the node name under parent, which
// shows the sum up to the counter's maximum.
int stats_add_frames(stats_tree *st, const char *name, int parent, gint64 value, gboolean with_children = FALSE)
{
    if (!stats_sums)
        stats_sums = g_hash_table_new_full(stats_sum_hash, stats_sum_equal, g_free, g_free);
    const int node = increase_stat_node(st, name, parent, with_children, 0);
    stats_sum_key key{st, node};
    auto *sum = static_cast<guint64 *>(g_hash_table_lookup(stats_sums, &key));
    if (!sum) {
        sum = g_new0(guint64, 1);
        auto *stored_key = g_new(stats_sum_key, 1);
        *stored_key = key;
        g_hash_table_insert(stats_sums, stored_key, sum);
    }
    const auto shown = [](guint64 total) { return total < G_MAXINT ? static_cast<gint>(total) : G_MAXINT; };
    const gint before = shown(*sum);
    if (value >= 0)
        *sum += static_cast<guint64>(value);
    else
        *sum -= std::min(*sum, static_cast<guint64>(-value));
    const gint change = shown(*sum) - before;
    if (change != 0)
        increase_stat_node(st, name, parent, with_children, change);
    return node;
}

// A stream's row: "Interface N" on the first capture interface (every
// record of a pcap file), "Interface N on capture interface K" on others.
int stream_node_of(stats_tree *st, guint8 interface_id, guint32 capture_interface, int records)
{
    char name[sizeof "Interface 255 on capture interface 4294967295"];
    if (capture_interface == 0)
        std::snprintf(name, sizeof name, "Interface %u", interface_id);
    else
        std::snprintf(name, sizeof name, "Interface %u on capture interface %u", interface_id, capture_interface);
    return increase_stat_node(st, name, 0, TRUE, records);
}

void stats_correct(stats_tree *st, guint32 capture_interface, const ovk5seq_tap_correction &c)
{
    const int stream_node = stream_node_of(st, c.interface_id, capture_interface, 0);
    const int clock_node = increase_stat_node(st, stats_clock_faults, stream_node, TRUE, c.clock_faults);
    increase_stat_node(st, stats_backwards, clock_node, FALSE, c.ts_backwards);
    stats_add_frames(st, stats_skipped, stream_node, c.frames_skipped);
    increase_stat_node(st, stats_mismatches, stream_node, FALSE, c.seq_mismatches);
    increase_stat_node(st, stats_long_gaps, stream_node, FALSE, c.long_gaps);
    increase_stat_node(st, stats_out_of_order, stream_node, FALSE, c.out_of_order);
    increase_stat_node(st, stats_restarts, stream_node, FALSE, c.restarts);
}

tap_packet_status ovk5seq_stats_packet(stats_tree *st, packet_info *, epan_dissect_t *, const void *data,
                                       tap_flags_t)
{
    const auto *info = static_cast<const ovk5seq_tap_info *>(data);
    const int stream_node = stream_node_of(st, info->interface_id, info->capture_interface, 1);
    // Every row the stream can have appears with its first record, zero
    // included; those the analysis gives only with the analysis on.
    const int reported_node =
        stats_add_frames(st, stats_reported, stream_node, info->duplicate ? 0 : info->missing_frames, TRUE);
    if (!info->analysed)
        return TAP_PACKET_REDRAW;
    const int clock_node = increase_stat_node(st, stats_clock_faults, stream_node, TRUE,
                                              info->ts_invalid || info->ts_backwards ? 1 : 0);
    increase_stat_node(st, stats_invalid, clock_node, FALSE, info->ts_invalid ? 1 : 0);
    stats_add_frames(st, stats_before_first, reported_node, info->first_of_stream ? info->missing_frames : 0);
    // Net of the frames that came late: those were not lost.
    stats_add_frames(st, stats_skipped, stream_node, info->seq_gap_known ? info->seq_gap - info->seq_gap_late : 0);
    increase_stat_node(st, stats_mismatches, stream_node, FALSE, info->seq_mismatch ? 1 : 0);
    increase_stat_node(st, stats_long_gaps, stream_node, FALSE, info->long_gap ? 1 : 0);
    increase_stat_node(st, stats_duplicates, stream_node, FALSE, info->duplicate ? 1 : 0);
    increase_stat_node(st, stats_out_of_order, stream_node, FALSE, info->out_of_order ? 1 : 0);
    increase_stat_node(st, stats_restarts, stream_node, FALSE, info->restart ? 1 : 0);
    increase_stat_node(st, stats_backwards, clock_node, FALSE, info->ts_backwards ? 1 : 0);
    for (const ovk5seq_tap_correction &correction : info->corrections)
        if (correction.present)
            stats_correct(st, info->capture_interface, correction);
    return TAP_PACKET_REDRAW;
}

} // namespace

void proto_register_ovk5seq(void)
{
    static hf_register_info hf[] = {
        { &hf_ovk5seq_seq,
          { "Sequence number", "ovk5seq.seq",
            FT_UINT32, BASE_DEC, NULL, 0x0,
            NULL, HFILL }
        },
        { &hf_ovk5seq_if,
          { "Interface", "ovk5seq.if",
            FT_UINT8, BASE_DEC, NULL, 0x0,
            NULL, HFILL }
        },
        { &hf_ovk5seq_res,
          { "Missing frames", "ovk5seq.missing_frame",
            FT_UINT8, BASE_DEC, NULL, 0x0,
            NULL, HFILL }
        },
        { &hf_ovk5seq_ts,
          { "Timestamp (unix)", "ovk5seq.ts",
            FT_ABSOLUTE_TIME, ABSOLUTE_TIME_UTC, NULL, 0x0,
            NULL, HFILL }
        },
        { &hf_ovk5seq_prev_frame,
          { "Previous record of this stream", "ovk5seq.prev_frame",
            FT_FRAMENUM, BASE_NONE, NULL, 0x0,
            NULL, HFILL }
        },
        { &hf_ovk5seq_seq_gap,
          { "Frames skipped by sequence number", "ovk5seq.seq_gap",
            FT_UINT16, BASE_DEC, NULL, 0x0,
            NULL, HFILL }
        },
        { &hf_ovk5seq_lost_total,
          { "Missing frames of this stream so far", "ovk5seq.lost_total",
            FT_UINT64, BASE_DEC, NULL, 0x0,
            NULL, HFILL }
        },
        { &hf_ovk5seq_ts_delta,
          { "Time since the stream's last valid time stamp", "ovk5seq.ts_delta",
            FT_RELATIVE_TIME, BASE_NONE, NULL, 0x0,
            NULL, HFILL }
        },
        { &hf_ovk5seq_seq_gap_late,
          { "Skipped frames that came late", "ovk5seq.seq_gap_late",
            FT_UINT16, BASE_DEC, NULL, 0x0,
            NULL, HFILL }
        },
        { &hf_ovk5seq_skipped_by,
          { "Late: skipped by the record in frame", "ovk5seq.skipped_by",
            FT_FRAMENUM, BASE_NONE, NULL, 0x0,
            NULL, HFILL }
        },
    };

    static gint *ett[] = {
        &ett_ovk5seq,
    };

    static ei_register_info ei[] = {
        { &ei_ovk5seq_missing_frames,
          { "ovk5seq.missing_frames", PI_SEQUENCE, PI_ERROR,
            "Missing frames between this and last frame.", EXPFILL }
        },
        { &ei_ovk5seq_seq_mismatch,
          { "ovk5seq.seq_mismatch", PI_SEQUENCE, PI_WARN,
            "Sequence gap differs from the reported missing frames", EXPFILL }
        },
        { &ei_ovk5seq_long_gap,
          { "ovk5seq.long_gap", PI_SEQUENCE, PI_NOTE,
            "Sequence number skips over 255 frames, more than the header can report", EXPFILL }
        },
        { &ei_ovk5seq_duplicate,
          { "ovk5seq.duplicate", PI_SEQUENCE, PI_NOTE,
            "Duplicate of the previous record", EXPFILL }
        },
        { &ei_ovk5seq_out_of_order,
          { "ovk5seq.out_of_order", PI_SEQUENCE, PI_WARN,
            "Out of order: sequence number behind the previous record's", EXPFILL }
        },
        { &ei_ovk5seq_ts_backwards,
          { "ovk5seq.ts_backwards", PI_SEQUENCE, PI_WARN,
            "Time stamp earlier than the stream's last valid one", EXPFILL }
        },
        { &ei_ovk5seq_ts_invalid,
          { "ovk5seq.ts_invalid", PI_MALFORMED, PI_WARN,
            "Time stamp with over 999,999,999 nanoseconds", EXPFILL }
        },
        { &ei_ovk5seq_too_short,
          { "ovk5seq.too_short", PI_MALFORMED, PI_ERROR,
            "Record shorter than the 16-byte header", EXPFILL }
        },
        { &ei_ovk5seq_restart,
          { "ovk5seq.restart", PI_SEQUENCE, PI_WARN,
            "Stream restarted: the sequence number jumps and the next record follows on", EXPFILL }
        },
    };

    proto_ovk5seq = proto_register_protocol("Ovkan Link Protocol 5 with sequence numbers",
                                            "OVK5SEQ", "ovk5seq");
    proto_register_field_array(proto_ovk5seq, hf, array_length(hf));
    proto_register_subtree_array(ett, array_length(ett));

    expert_module_t *expert_ovk5seq = expert_register_protocol(proto_ovk5seq);
    expert_register_field_array(expert_ovk5seq, ei, array_length(ei));
    ovk5seq_tap = register_tap(ovk5seq_tap_name);
    wmem_register_callback(wmem_file_scope(), forget_streams, nullptr);
    capture_interfaces = wmem_map_new_autoreset(wmem_epan_scope(), wmem_file_scope(), g_direct_hash,
                                                g_direct_equal);
    late_links = wmem_map_new_autoreset(wmem_epan_scope(), wmem_file_scope(), g_direct_hash, g_direct_equal);
    ovk_register_stats_tree(ovk5seq_tap_name, "ovk5seq", "OVK5SEQ Interfaces", ovk5seq_stats_packet,
                            REGISTER_PACKET_STAT_GROUP_UNSORTED, stats_forget_tree, stats_forget_tree);

    module_t *ovk5seq_module = prefs_register_protocol(proto_ovk5seq, proto_reg_handoff_ovk5seq);
    prefs_register_bool_preference(ovk5seq_module, "analyze", "Analyse sequence numbers and time stamps",
                                   "Per stream (capture interface and header interface): frames skipped by "
                                   "sequence number, missing frames so far and time since the last valid time "
                                   "stamp, with warnings where they disagree with the header, repeat, come out "
                                   "of order or run backwards",
                                   &analyze_records);
    prefs_register_bool_preference(ovk5seq_module, "shared_sequence",
                                   "One sequence counter for all interfaces of the hardware",
                                   "The hardware numbers the records of all its interfaces with one counter: "
                                   "follow the sequence per capture interface instead of per header interface",
                                   &shared_sequence);
}

void proto_reg_handoff_ovk5seq(void)
{
    static bool initialized = false;
    static dissector_handle_t ovk5seq_handle = nullptr;

    eth_handle = ovk_find_ethernet_dissector(proto_ovk5seq);

    if (!initialized) {
        ovk5seq_handle = create_dissector_handle(dissect_ovk5seq, proto_ovk5seq);
        dissector_add_uint("wtap_encap", WTAP_ENCAP_USER3, ovk5seq_handle);
        initialized = true;
    }
}
