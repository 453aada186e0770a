// SPDX-License-Identifier: GPL-2.0-or-later
// What the bytes of a real OVK5 record look like: the one check used
// wherever OVK5 is recognised from its content rather than from its port
// (a payload on any port, the next record after damage in a TCP stream).
#ifndef OVK5_RECORD_H
#define OVK5_RECORD_H

#include <epan/packet.h>

#include "hardware_time.h"
#include "wireshark_compat.h"

constexpr guint ovk5_header_length = 16;
constexpr guint ovk5_blob_size_offset = 0;
constexpr guint ovk5_ts_offset = 4;
constexpr guint ovk5_ethernet_header_length = 14;
// Header and the Ethernet header of the frame: what the check reads.
constexpr guint ovk5_checked_length = ovk5_header_length + ovk5_ethernet_header_length;
// Largest EtherType value that is an IEEE 802.3 length instead.
constexpr guint16 ovk5_max_8023_length = 1500;
constexpr guint16 ovk5_min_ethertype = 0x0600;

// Whether the analyser decodes type as an EtherType: some 160 of the
// 64,000 possible values, which real frames use nearly always.
inline bool ovk5_known_ethertype(guint16 type)
{
    static dissector_table_t ethertypes = find_dissector_table("ethertype");
    return ethertypes && dissector_get_uint_handle(ethertypes, type);
}

enum class ovk5_plausibility {
    plausible,
    implausible,
    incomplete,  // too few bytes captured at offset to tell
};

// Whether the record at offset in tvb looks like OVK5: nanoseconds under
// one billion, a Blob size of at least an Ethernet header, and a frame
// from a unicast source with an EtherType the analyser knows or an 802.3
// length that fits the Blob size.
// With capture_time (the capture's own time stamp), the header's time
// must also lie within max_clock_offset seconds of it. Reads only
// captured bytes and never throws. The Blob size is not compared with
// the bytes that follow: what fits depends on the carrier.
inline ovk5_plausibility ovk5_check_record(tvbuff_t *tvb, gint offset, const nstime_t *capture_time,
                                           gint64 max_clock_offset)
{
    const gint available = tvb_captured_length_remaining(tvb, offset);
    if (available < static_cast<gint>(ovk5_header_length))
        return ovk5_plausibility::incomplete;

    const guint16 blob_size = tvb_get_letohs(tvb, offset + ovk5_blob_size_offset);
    const ovk_hardware_time time = ovk_read_hardware_time(tvb, offset + ovk5_ts_offset);
    if (!time.valid() || blob_size < ovk5_ethernet_header_length)
        return ovk5_plausibility::implausible;
    if (capture_time) {
        gint64 offset_ns;
        if (!ovk_nanoseconds_since(*capture_time, time, &offset_ns)
            || offset_ns / ovk_nanoseconds_per_second > max_clock_offset
            || offset_ns / ovk_nanoseconds_per_second < -max_clock_offset)
            return ovk5_plausibility::implausible;
    }

    if (available < static_cast<gint>(ovk5_checked_length))
        return ovk5_plausibility::incomplete;
    const gint frame = offset + static_cast<gint>(ovk5_header_length);
    // The group bit of the source address: no station sends from a
    // multicast or broadcast address.
    if (tvb_get_uint8(tvb, frame + 6) & 0x01)
        return ovk5_plausibility::implausible;
    const guint16 type_or_length = tvb_get_ntohs(tvb, frame + 12);
    if (type_or_length >= ovk5_min_ethertype)
        return ovk5_known_ethertype(type_or_length) ? ovk5_plausibility::plausible
                                                     : ovk5_plausibility::implausible;
    if (type_or_length <= ovk5_max_8023_length && type_or_length <= blob_size - ovk5_ethernet_header_length)
        return ovk5_plausibility::plausible;
    return ovk5_plausibility::implausible;
}

#endif
