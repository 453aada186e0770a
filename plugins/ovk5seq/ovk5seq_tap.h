// SPDX-License-Identifier: GPL-2.0-or-later
// What the OVK5SEQ dissector hands to listeners of its tap "ovk5seq", once
// for every record it decodes.
#ifndef OVK5SEQ_TAP_H
#define OVK5SEQ_TAP_H

#include <epan/packet.h>

constexpr const char ovk5seq_tap_name[] = "ovk5seq";

// What a record showed of an earlier one's figures, which a tap run over
// the first pass (one-pass tshark) has already counted otherwise: a late
// record fills the gap an earlier one skipped; a record that goes on from
// before shows an earlier jump to be no restart but a record out of order.
// The earlier record is of the stream of interface_id on the same capture
// interface; each member is what to add to that stream's count.
struct ovk5seq_tap_correction {
    bool present;
    guint8 interface_id;
    gint8 frames_skipped;
    gint8 seq_mismatches;
    gint8 long_gaps;
    gint8 out_of_order;
    gint8 restarts;
    gint8 ts_backwards;
    gint8 clock_faults;
};

struct ovk5seq_tap_info {
    guint16 seq;
    guint8 interface_id;
    guint8 missing_frames;
    nstime_t hw_time;  // the header's time stamp
    // The capture interface the record came in on (frame.interface_id; 0
    // when the file names none): with interface_id, the record's stream.
    guint32 capture_interface;
    bool missing_frames_known;  // false when the snap length cut the record before it
    bool ts_invalid;            // nanoseconds over 999,999,999

    // The per-stream analysis (preference ovk5seq.analyze); all false and
    // zero when it is off.
    bool analysed;
    bool first_of_stream;  // the stream's first record: its losses came before the capture
    bool seq_gap_known;    // a forward step from the previous record of the sequence
    guint16 seq_gap;       // frames skipped by sequence number
    guint16 seq_gap_late;  // of these, frames that came late (known once the file is read)
    bool seq_mismatch;     // seq_gap differs from missing_frames beyond the cases below
    bool long_gap;         // over 255 frames skipped, the count saturated or wrapped
    bool duplicate;        // the same sequence number as the previous record
    bool out_of_order;     // a step back: a record late or sent again
    bool restart;          // a jump that starts a new sequence
    bool ts_backwards;     // earlier than the stream's last valid time stamp
    ovk5seq_tap_correction corrections[2];
};

#endif
