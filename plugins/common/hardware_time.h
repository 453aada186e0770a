// SPDX-License-Identifier: GPL-2.0-or-later
// The capture hardware's time stamps (seconds, then nanoseconds, both
// unsigned 32-bit little-endian) as the per-interface analysis of both
// plug-ins compares them.
#ifndef OVK_HARDWARE_TIME_H
#define OVK_HARDWARE_TIME_H

#include <epan/packet.h>

constexpr guint32 ovk_max_nanoseconds = 999999999;
constexpr gint64 ovk_nanoseconds_per_second = 1000000000;

struct ovk_hardware_time {
    guint32 secs;
    guint32 nsecs;

    // Nanoseconds beyond a second make the time stamp meaningless.
    bool valid() const { return nsecs <= ovk_max_nanoseconds; }
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

// capture - hardware, in nanoseconds, into *nanoseconds. False when they
// lie too far apart for that: a capture file may carry any 64-bit time.
inline bool ovk_nanoseconds_since(const nstime_t &capture, const ovk_hardware_time &hardware, gint64 *nanoseconds)
{
    constexpr gint64 max_seconds = G_GINT64_CONSTANT(9000000000);
    const gint64 capture_seconds = capture.secs;
    if (capture_seconds > max_seconds * 2 || capture_seconds < -max_seconds)
        return false;
    const gint64 seconds = capture_seconds - hardware.secs;
    if (seconds > max_seconds || seconds < -max_seconds)
        return false;
    *nanoseconds = seconds * ovk_nanoseconds_per_second + (static_cast<gint64>(capture.nsecs) - hardware.nsecs);
    return true;
}

// A relative time as the analyser shows it: seconds and nanoseconds of
// the same sign.
inline nstime_t ovk_relative_time(gint64 nanoseconds)
{
    nstime_t time;
    time.secs = static_cast<time_t>(nanoseconds / ovk_nanoseconds_per_second);
    time.nsecs = static_cast<int>(nanoseconds % ovk_nanoseconds_per_second);
    return time;
}

#endif
