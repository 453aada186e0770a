// SPDX-License-Identifier: GPL-2.0-or-later
// OVK5 records framed on a TCP stream by their Blob size: where each
// segment's records start and end, which records span segments, and what
// a damaged stream (bytes never captured, a capture starting inside a
// record, a snap length) cost. Worked out once per segment on the first
// pass, in frame order; every later pass shows the stored plan.
#ifndef OVK5_STREAM_H
#define OVK5_STREAM_H

#include <epan/packet.h>

#include "ovk5_record.h"

// How far a header's time may lie from the capture's own (or a TCP
// stream's last good one) where OVK5 is recognised by its content, in
// hours (preference ovk5.clock_window): by default a day either way, for
// a device clock set to local time or not synchronised, while random
// bytes land in it about once in 25,000.
extern guint ovk5_clock_window_hours;

inline gint64 ovk5_max_clock_offset()
{
    return static_cast<gint64>(ovk5_clock_window_hours) * 3600;
}

// What one stretch of a segment's payload is.
enum class ovk5_piece_kind : guint8 {
    record,       // a whole record, possibly cut by the snap length
    part,         // part of a record that spans segments, or of one not yet confirmed
    skipped,      // bytes after damage, before the next confirmed record boundary
    not_captured, // bytes past the snap length that hold no known record
};

struct ovk5_stream_piece {
    ovk5_piece_kind kind;
    guint32 offset;          // in the segment's payload
    guint32 length;          // bytes of the payload the piece covers
    // record: its captured and full length. bytes is null when the record
    // lies in the payload at offset; otherwise it is the record put
    // together from its segments (file scope).
    guint32 record_captured;
    guint32 record_length;
    const guint8 *bytes;
    // Stream bytes never seen before this piece (a gap in the sequence
    // numbers), and records lost with them or with this piece.
    guint32 missing_before;
    guint32 records_lost;
    // skipped: bytes of earlier segments, held there until it was known
    // whether records start in them, that hold none.
    guint32 held_skipped;
};

struct ovk5_segment_plan {
    guint32 count;
    const ovk5_stream_piece *pieces;
};

enum class ovk5_framing_state : guint8 {
    searching, // for a confirmed chain of records (the capture started inside a record, or after damage)
    framing,   // by Blob size: the next header starts a record
    checking,  // by Blob size, with a header held until enough of it is seen to check it
};

// One direction of a TCP connection, as far as the first pass has read it.
struct ovk5_stream_direction {
    bool started;
    ovk5_framing_state state;
    guint32 next_seq;     // the stream byte expected next
    // A record begun in an earlier segment, its header checked.
    guint32 have;         // its bytes seen so far; 0: none pending
    guint32 length;       // its length
    bool keep;            // its bytes are collected (false: it was cut, the rest is passed over)
    guint8 *bytes;        // length bytes when kept
    // Searching or checking: stream bytes of earlier segments, held (file
    // scope) until it is known whether records start in them.
    guint8 *held;
    guint32 held_length;
    guint32 held_capacity;
    guint32 scan_from;    // searching: the first held position not yet refuted
    bool held_from_segment_start;  // the held bytes start with a segment's first byte
    // Searching: the held bytes start with a header that failed the check
    // but has a good time stamp (a runt frame, an EtherType the analyser
    // does not know); its record, ending here, stands unless a chain
    // starts inside it. 0: none.
    guint32 suspect_end;
    // The time stamp (seconds) of the last header that passed the check.
    bool time_known;
    guint32 last_secs;
};

// Plans the payload tvb, which holds the stream bytes from seq on (its
// reported length; what it captured may be less), and moves the
// direction on. opened_in_capture: the direction's SYN was captured, so
// its first bytes start a record. capture_time: the packet's, or null.
// Framing resumes after damage only on a confirmed chain: consecutive
// records passing the full check, their time stamps near the stream's
// last good one or the capture's. Pieces live in file scope; scratch (the
// packet's pool) holds what planning needs meanwhile, so that an
// exception leaves nothing behind.
ovk5_segment_plan ovk5_plan_segment(ovk5_stream_direction *direction, tvbuff_t *tvb, guint32 seq,
                                    bool opened_in_capture, const nstime_t *capture_time,
                                    wmem_allocator_t *scratch);

// Whether length bytes (all captured) hold a chain of records that would
// confirm a boundary after a gap (two or more, passing the same check),
// and where the first starts: how the heuristic finds OVK5 in a stream
// captured in mid-record.
bool ovk5_find_chain(const guint8 *bytes, guint32 length, const nstime_t *capture_time, guint32 *start);

// Makes a direction not yet planned search for its first boundary from
// stream byte seq on.
void ovk5_search_from(ovk5_stream_direction *direction, guint32 seq);

#endif
