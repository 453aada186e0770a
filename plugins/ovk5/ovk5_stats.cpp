// SPDX-License-Identifier: GPL-2.0-or-later
// The OVK5 statistics tree: a row per sender, under it a row per stream.

#include <epan/stats_tree.h>
#include <epan/to_str.h>

#include <cstdio>

#include "ovk5_dissector.h"
#include "ovk5_tap.h"
#include "stats_top_rows.h"

namespace ovk5 {

namespace {

// The statistics' row of a sender: "192.0.2.1:50000", "[2001:db8::1]:50000",
// with " (TCP)" over TCP.
void sender_row_name(const ovk5_tap_info *info, char *name, std::size_t size)
{
    if (info->sender.type == AT_NONE) {
        g_strlcpy(name, "No sender address", size);
        return;
    }
    char address_text[64];
    address_to_str_buf(&info->sender, address_text, sizeof address_text);
    std::snprintf(name, size, info->sender.type == AT_IPv6 ? "[%s]:%u%s" : "%s:%u%s", address_text,
                  info->sender_port, info->over_tcp ? " (TCP)" : "");
}

// A delay to the nearest microsecond, if the statistics' 32-bit values
// hold it (up to 35 minutes either way).
bool whole_microseconds(const nstime_t &duration, gint *microseconds)
{
    const gint64 ns = static_cast<gint64>(duration.secs) * ovk_nanoseconds_per_second + duration.nsecs;
    const gint64 rounded = (ns >= 0 ? ns + 500 : ns - 500) / 1000;
    if (rounded > G_MAXINT || rounded < G_MININT)
        return false;
    *microseconds = static_cast<gint>(rounded);
    return true;
}

} // namespace


// Statistics: a row per sender; under it a row per stream, "Interface N",
// counting its headers; under that the delivery delay's average, minimum
// and maximum and, with the analysis, the clock faults.
tap_packet_status ovk5_stats_packet(stats_tree *st, packet_info *, epan_dissect_t *, const void *data, tap_flags_t)
{
    const auto *info = static_cast<const ovk5_tap_info *>(data);
    char name[128];
    sender_row_name(info, name, sizeof name);
    // A capture may hold many thousands of senders.
    const int sender_node = ovk_stats_top_row(st, name, 1, TRUE);
    std::snprintf(name, sizeof name, "Interface %u", info->interface_id);
    const int stream_node = tick_stat_node(st, name, sender_node, TRUE);
    gint delay_us;
    if (info->delay_known && whole_microseconds(info->delay, &delay_us))
        avg_stat_node_add_value_int(st, "Delivery delay (us)", stream_node, FALSE, delay_us);
    else if (info->delay_known)
        tick_stat_node(st, "Delivery delay over 35 minutes", stream_node, FALSE);
    if (info->analysed) {
        const bool backwards = info->ts_backwards;
        const bool invalid = !info->hw_time_valid;
        // What the header before showed, taken back: it came late.
        const int settled = info->settled_late ? 1 : 0;
        const int faults_node =
            increase_stat_node(st, "Clock faults", stream_node, TRUE, (backwards || invalid) - settled);
        increase_stat_node(st, "Time stamp backwards", faults_node, FALSE, backwards - settled);
        increase_stat_node(st, "Time stamp invalid", faults_node, FALSE, invalid);
        increase_stat_node(st, "Came late", stream_node, FALSE, info->late + settled);
    }
    return TAP_PACKET_REDRAW;
}

void ovk5_stats_init(stats_tree *st)
{
    ovk_stats_forget_top_rows(st);
}

} // namespace ovk5
