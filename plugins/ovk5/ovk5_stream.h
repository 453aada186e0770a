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

// What one stretch of a segment's payload is.
enum class ovk5_piece_kind : guint8 {
    record,       // a whole record, possibly cut by the snap length
    part,         // part of a record that spans segments
    skipped,      // bytes after damage, before the next plausible header
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
};

struct ovk5_segment_plan {
    guint32 count;
    const ovk5_stream_piece *pieces;
};

// One direction of a TCP connection, as far as the first pass has read it.
struct ovk5_stream_direction {
    bool started;
    bool synced;          // next_seq is a record boundary (or inside a known record)
    guint32 next_seq;     // the stream byte expected next
    // A record begun in an earlier segment.
    guint32 have;         // its bytes seen so far; 0: none pending
    guint32 length;       // its length; 0 until its header is complete
    bool keep;            // its bytes are collected (false: it was cut, the rest is passed over)
    bool unconfirmed;     // found after damage: a record only if a plausible header follows it
    guint8 header[ovk5_header_length];
    guint8 *bytes;        // length bytes when kept and the length is known
};

// Plans the payload tvb, which holds the stream bytes from seq on (its
// reported length; what it captured may be less), and moves the
// direction on. opened_in_capture: the direction's SYN was captured, so
// its first bytes start a record. Pieces live in file scope; scratch
// (the packet's pool) holds what planning needs meanwhile, so that an
// exception leaves nothing behind.
ovk5_segment_plan ovk5_plan_segment(ovk5_stream_direction *direction, tvbuff_t *tvb, guint32 seq,
                                    bool opened_in_capture, wmem_allocator_t *scratch);

#endif
