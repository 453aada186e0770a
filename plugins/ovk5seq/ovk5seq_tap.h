// SPDX-License-Identifier: GPL-2.0-or-later
// What the OVK5SEQ dissector hands to listeners of its tap "ovk5seq", once
// for every record it decodes.
#ifndef OVK5SEQ_TAP_H
#define OVK5SEQ_TAP_H

#include <epan/packet.h>

constexpr const char ovk5seq_tap_name[] = "ovk5seq";

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
    bool seq_mismatch;     // seq_gap differs from missing_frames beyond the cases below
    bool long_gap;         // over 255 frames skipped, the count saturated or wrapped
    bool duplicate;        // the same sequence number as the previous record
    bool out_of_order;     // a step back: a record late or sent again
    bool ts_backwards;     // earlier than the stream's last valid time stamp
};

#endif
