// SPDX-License-Identifier: GPL-2.0-or-later
// The shared record check on a tvb, with the analyser's own table of the
// EtherTypes it decodes: used wherever OVK5 is recognised from its content
// rather than from its port (a payload on any port, several records in one
// UDP payload, the next record after damage in a TCP stream).
#ifndef OVK5_RECORD_H
#define OVK5_RECORD_H

#include <epan/packet.h>

#include "hardware_time.h"
#include "ovk_record_format.h"
#include "wireshark_compat.h"

// Whether the analyser decodes type as an EtherType.
inline bool ovk5_known_ethertype(std::uint16_t type)
{
    static dissector_table_t ethertypes = find_dissector_table("ethertype");
    return ethertypes && dissector_get_uint_handle(ethertypes, type);
}

// The dissectors' rule: with capture_time (the capture's own time stamp),
// the header's time must lie within max_clock_offset seconds of it.
inline ovk5_check_rule ovk5_dissector_rule(const nstime_t *capture_time, gint64 max_clock_offset)
{
    ovk5_check_rule rule{ovk5_known_ethertype, false, 0, 0, 0};
    if (capture_time) {
        rule.has_reference = true;
        rule.reference_secs = capture_time->secs;
        rule.reference_nsecs = capture_time->nsecs;
        rule.max_clock_offset = max_clock_offset;
    }
    return rule;
}

// The captured bytes of tvb from offset on, at most length of them.
inline ovk_byte_run ovk5_captured_run(tvbuff_t *tvb, gint offset, guint length)
{
    const gint available = tvb_captured_length_remaining(tvb, offset);
    guint captured = available > 0 ? static_cast<guint>(available) : 0;
    if (captured > length)
        captured = length;
    return {captured ? tvb_get_ptr(tvb, offset, static_cast<gint>(captured)) : nullptr, captured, length};
}

// ovk5_check_at on the record at offset in tvb. Never throws.
inline ovk5_plausibility ovk5_check_record(tvbuff_t *tvb, gint offset, const nstime_t *capture_time,
                                           gint64 max_clock_offset)
{
    const ovk_byte_run run = ovk5_captured_run(tvb, offset, ovk5_checked_length);
    return ovk5_check_at(run, 0, ovk5_dissector_rule(capture_time, max_clock_offset));
}

// ovk5_walk_chain over the whole of tvb (its reported length) from offset.
inline ovk5_chain ovk5_walk_tvb(tvbuff_t *tvb, guint offset, const ovk5_check_rule &rule,
                                std::size_t max_records = SIZE_MAX)
{
    const ovk_byte_run run = ovk5_captured_run(tvb, 0, tvb_reported_length(tvb));
    return ovk5_walk_chain(run, offset, rule, max_records);
}

#endif
