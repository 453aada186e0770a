// SPDX-License-Identifier: GPL-2.0-or-later
// What the OVK5 dissector hands to listeners of its tap "ovk5", once for
// every OVK5 header it decodes.
#ifndef OVK5_TAP_H
#define OVK5_TAP_H

#include <epan/packet.h>

constexpr const char ovk5_tap_name[] = "ovk5";

struct ovk5_tap_info {
    guint16 blob_size;
    guint8 interface_id;
    guint16 rid0;
    guint16 rid1;
    nstime_t hw_time;     // the header's time stamp
    tvbuff_t *frame_tvb;  // the Ethernet frame after the header

    bool hw_time_valid;   // nanoseconds within 0..999,999,999
    bool delay_known;     // the capture has a time and hw_time is valid
    nstime_t delay;       // capture time minus hw_time

    // Who sent the header: the address and port of the packet that
    // carries it (over TCP, one connection of the sender).
    address sender;
    guint32 sender_port;
    bool over_tcp;

    // The per-stream analysis (preference ovk5.analyze); all false and
    // zero when it is off, the header was cut short or is a copy quoted in
    // an ICMP error.
    bool analysed;
    guint32 prev_frame;   // 0 on the stream's first header
    bool ts_delta_known;  // both this time stamp and an earlier valid one
    nstime_t ts_delta;    // hw_time minus the stream's last valid time stamp
    bool ts_backwards;    // ts_delta negative: the clock stepped back (as far as known yet)
    bool late;            // ts_delta negative, and the stream went on from before: late, no clock fault
    // Only in a tap run over the first pass (one-pass tshark): this header
    // showed the stream's step back before it, counted then as the clock
    // stepping back, to be a late header.
    bool settled_late;
};

// What the OVK5 dissector hands to listeners of its tap "ovk5.damage",
// once for every stretch of a TCP stream it could not frame as records
// (ovk5.tcp.desegment): bytes never captured, bytes passed over until the
// next plausible header, a record cut by the snap length.
constexpr const char ovk5_damage_tap_name[] = "ovk5.damage";

struct ovk5_damage_info {
    guint32 records_lost;      // records known to be lost
    guint32 records_cut;       // records shown only as far as captured
    guint32 bytes_skipped;     // captured bytes passed over
    guint32 bytes_missing;     // stream bytes never captured
};

// At the end of a file: what the OVK5 TCP streams left unframed. Segments
// the analyser's TCP took in but never handed on (out of order, waiting
// for one that was never captured), and records begun but never completed
// (a capture ending inside a record), and bytes where a boundary was
// still to be confirmed.
struct ovk5_stream_leftovers {
    guint64 segments_held_back;
    guint64 records_unfinished;
    // Bytes held at the end, waiting for records that would confirm a
    // boundary in them.
    guint64 bytes_unconfirmed;
};

ovk5_stream_leftovers ovk5_tcp_stream_leftovers();

#endif
