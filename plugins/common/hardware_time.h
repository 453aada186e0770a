// SPDX-License-Identifier: GPL-2.0-or-later
// The capture hardware's time stamps (seconds, then nanoseconds, both
// unsigned 32-bit little-endian) as the per-interface analysis of both
// plug-ins compares them.
#ifndef OVK_HARDWARE_TIME_H
#define OVK_HARDWARE_TIME_H

#include <epan/packet.h>

#include "ovk_record_format.h"

struct ovk_hardware_time {
    guint32 secs;
    guint32 nsecs;

    bool valid() const { return ovk_time_valid(nsecs); }
};

// Reads the time stamp at offset; the caller has made sure its 8 bytes
// were captured.
inline ovk_hardware_time ovk_read_hardware_time(tvbuff_t *tvb, gint offset)
{
    return {tvb_get_letohl(tvb, offset), tvb_get_letohl(tvb, offset + 4)};
}

// later - earlier, in nanoseconds (negative when the clock ran backwards).
inline gint64 ovk_nanoseconds_between(const ovk_hardware_time &later, const ovk_hardware_time &earlier)
{
    return (static_cast<gint64>(later.secs) - earlier.secs) * ovk_nanoseconds_per_second +
           (static_cast<gint64>(later.nsecs) - earlier.nsecs);
}

// capture - hardware, in nanoseconds, into *nanoseconds; false when they
// lie too far apart for that.
inline bool ovk_nanoseconds_since(const nstime_t &capture, const ovk_hardware_time &hardware, gint64 *nanoseconds)
{
    return ovk_nanoseconds_since(capture.secs, capture.nsecs, hardware.secs, hardware.nsecs, nanoseconds);
}

// A relative time as the analyser shows it: seconds and nanoseconds of
// the same sign.
inline nstime_t ovk_relative_time(gint64 nanoseconds)
{
    nstime_t relative;
    relative.secs = static_cast<time_t>(nanoseconds / ovk_nanoseconds_per_second);
    relative.nsecs = static_cast<int>(nanoseconds % ovk_nanoseconds_per_second);
    return relative;
}

#endif
