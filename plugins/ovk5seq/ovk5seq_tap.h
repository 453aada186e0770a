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

    // The per-interface analysis (preference ovk5seq.analyze); all false
    // and zero when it is off or the header was cut short.
    bool analysed;
    bool seq_gap_known;  // false on the interface's first record
    guint16 seq_gap;     // frames skipped by sequence number
    bool seq_mismatch;   // seq_gap differs from missing_frames
    bool ts_backwards;
    bool ts_invalid;     // nanoseconds over 999,999,999
};

#endif
