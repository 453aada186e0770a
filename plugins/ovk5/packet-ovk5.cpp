// SPDX-License-Identifier: GPL-2.0-or-later
// Ovkan Link Protocol 5 (OVK5): a 16-byte little-endian metadata header
// carried in TCP or UDP payloads, followed by the Ethernet frame it
// describes.

#include <epan/conversation.h>
#include <epan/expert.h>
#include <epan/packet.h>
#include <epan/prefs.h>
#include <epan/proto_data.h>
#include <epan/range.h>
#include <epan/stats_tree.h>
#include <epan/tap.h>
#include <epan/dissectors/packet-tcp.h>

#include <cstdio>
#include <cstring>

#include "ethernet_handoff.h"
#include "hardware_time.h"
#include "ovk5_record.h"
#include "ovk5_tap.h"
#include "wireshark_compat.h"

void proto_register_ovk5(void);
void proto_reg_handoff_ovk5(void);

namespace {

constexpr guint32 ovk5_max_port = 65535;
// OVK5 headers one packet may nest (a frame carrying OVK5 that carries
// OVK5...). Without a bound, a crafted packet recurses until the analyser's
// layer limit, which it reports as a dissector bug.
constexpr unsigned ovk5_max_nesting = 8;
// Interface and time stamp: what the analysis reads.
constexpr guint ovk5_analysed_length = 12;
constexpr guint ovk5_interfaces = 256;

int proto_ovk5 = -1;
int hf_ovk5_bs = -1;
int hf_ovk5_if = -1;
int hf_ovk5_res = -1;
int hf_ovk5_ts = -1;
int hf_ovk5_rid0 = -1;
int hf_ovk5_rid1 = -1;
int hf_ovk5_prev_frame = -1;
int hf_ovk5_ts_delta = -1;
int hf_ovk5_delay = -1;
int ett_ovk5 = -1;
int ovk5_tap = -1;

expert_field ei_ovk5_nested_too_deep = EI_INIT;
expert_field ei_ovk5_ts_backwards = EI_INIT;
expert_field ei_ovk5_ts_invalid = EI_INIT;

ovk_pref_bool analyze_headers = TRUE;

// What the first pass found for one OVK5 header, kept with its frame so
// that every later dissection shows the same. A frame may hold several
// headers (OVK5 nested in OVK5, several records in one TCP segment): each
// is keyed by its place among the frame's OVK5 headers in dissection
// order, outer before inner, first record before second.
struct header_analysis {
    gint64 ts_delta_ns;
    guint32 prev_frame;  // 0: the interface's first header
    bool ts_delta_known;
};

// Per-dissection count of the frame's OVK5 headers analysed so far.
constexpr guint32 header_count_key = 0;

// The last header of each interface on the first pass through the file.
struct interface_state {
    guint32 last_frame;  // 0: none yet
    ovk_hardware_time last_time;
};

interface_state interfaces[ovk5_interfaces];

void forget_interfaces()
{
    std::memset(interfaces, 0, sizeof interfaces);
}

// Where this header stands among the OVK5 headers of its frame.
guint32 next_header_index(packet_info *pinfo)
{
    auto *count = static_cast<guint32 *>(p_get_proto_data(pinfo->pool, pinfo, proto_ovk5, header_count_key));
    if (!count) {
        count = wmem_new0(pinfo->pool, guint32);
        p_add_proto_data(pinfo->pool, pinfo, proto_ovk5, header_count_key, count);
    }
    return (*count)++;
}

// Only on the first pass, in frame order, does a header move its
// interface's state on.
const header_analysis *analyse_header(packet_info *pinfo, guint8 interface_id, const ovk_hardware_time &time)
{
    const guint32 index = next_header_index(pinfo);
    if (PINFO_FD_VISITED(pinfo))
        return static_cast<const header_analysis *>(p_get_proto_data(wmem_file_scope(), pinfo, proto_ovk5, index));

    interface_state &state = interfaces[interface_id];
    header_analysis *analysis = wmem_new(wmem_file_scope(), header_analysis);
    analysis->prev_frame = state.last_frame;
    analysis->ts_delta_known = state.last_frame != 0 && state.last_time.valid() && time.valid();
    analysis->ts_delta_ns = analysis->ts_delta_known ? ovk_nanoseconds_between(time, state.last_time) : 0;

    state.last_frame = pinfo->num;
    state.last_time = time;
    p_add_proto_data(wmem_file_scope(), pinfo, proto_ovk5, index, analysis);
    return analysis;
}

// The delivery delay: when the capturing host saw the packet, after the
// hardware stamped the header. Unknown without both times.
bool delivery_delay(const packet_info *pinfo, const ovk_hardware_time &time, gint64 *delay_ns)
{
    return pinfo->fd->has_ts && time.valid() && ovk_nanoseconds_since(pinfo->abs_ts, time, delay_ns);
}

void add_analysis(proto_tree *tree, packet_info *pinfo, tvbuff_t *tvb, const ovk_hardware_time &time,
                  const header_analysis &analysis, proto_item *ts_item)
{
    if (!time.valid())
        expert_add_info_format(pinfo, ts_item, &ei_ovk5_ts_invalid,
                               "Time stamp with %u nanoseconds (over 999,999,999)", time.nsecs);

    proto_item *item;
    if (analysis.prev_frame != 0) {
        item = proto_tree_add_uint(tree, hf_ovk5_prev_frame, tvb, 0, 0, analysis.prev_frame);
        proto_item_set_generated(item);
    }
    if (analysis.ts_delta_known) {
        const nstime_t delta = ovk_relative_time(analysis.ts_delta_ns);
        item = proto_tree_add_time(tree, hf_ovk5_ts_delta, tvb, ovk5_ts_offset, 8, &delta);
        proto_item_set_generated(item);
        if (analysis.ts_delta_ns < 0)
            expert_add_info(pinfo, item, &ei_ovk5_ts_backwards);
    }
    gint64 delay_ns;
    if (delivery_delay(pinfo, time, &delay_ns)) {
        const nstime_t delay = ovk_relative_time(delay_ns);
        item = proto_tree_add_time(tree, hf_ovk5_delay, tvb, ovk5_ts_offset, 8, &delay);
        proto_item_set_generated(item);
    }
}

// The port-range preferences. The preference code owns the ranges these
// point at and replaces them when the user changes a preference.
range_t *tcp_ports = nullptr;
range_t *udp_ports = nullptr;

// Our own copies of the ranges last entered in the tables, allocated with
// the NULL scope (g_malloc) and freed with g_free.
range_t *tcp_ports_bound = nullptr;
range_t *udp_ports_bound = nullptr;

// What each port held before OVK5 took it, given back when OVK5 leaves the
// port (a borrowed UDP 53 must decode as DNS again).
dissector_handle_t tcp_previous_owner[ovk5_max_port + 1];
dissector_handle_t udp_previous_owner[ovk5_max_port + 1];

// The first binding waits for the first dissection session, so that the
// Decode As choices of the command line and the profile are in the tables
// by then: one that picks OVK5 for a port OVK5 has not taken yet stays a
// user's choice the port preferences never undo.
bool ports_bound = false;

// Off: a TCP payload is one record, as a sender writing one record per
// segment produces. On: records are framed by their Blob size across and
// within segments.
ovk_pref_bool tcp_desegment = false;

dissector_handle_t ovk5_handle = nullptr;
dissector_handle_t eth_handle = nullptr;

int dissect_ovk5(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *)
{
    if (tvb_reported_length(tvb) < ovk5_header_length)
        return 0;

    proto_item *ti = proto_tree_add_item(tree, proto_ovk5, tvb, 0, ovk5_header_length, ENC_NA);
    proto_tree *ovk5_tree = proto_item_add_subtree(ti, ett_ovk5);

    proto_tree_add_item(ovk5_tree, hf_ovk5_bs, tvb, 0, 2, ENC_LITTLE_ENDIAN);
    proto_tree_add_item(ovk5_tree, hf_ovk5_if, tvb, 2, 1, ENC_LITTLE_ENDIAN);
    proto_tree_add_item(ovk5_tree, hf_ovk5_res, tvb, 3, 1, ENC_LITTLE_ENDIAN);
    proto_item *ts_item = proto_tree_add_item(ovk5_tree, hf_ovk5_ts, tvb, ovk5_ts_offset, 8, ENC_LITTLE_ENDIAN);
    proto_tree_add_item(ovk5_tree, hf_ovk5_rid0, tvb, 12, 2, ENC_LITTLE_ENDIAN);
    proto_tree_add_item(ovk5_tree, hf_ovk5_rid1, tvb, 14, 2, ENC_LITTLE_ENDIAN);

    const header_analysis *analysis = nullptr;
    ovk_hardware_time time{};
    // A header cut short before its time stamp ends is not analysed.
    const bool header_readable = tvb_captured_length(tvb) >= ovk5_analysed_length;
    if (header_readable)
        time = ovk_read_hardware_time(tvb, ovk5_ts_offset);
    if (analyze_headers && header_readable) {
        analysis = analyse_header(pinfo, tvb_get_uint8(tvb, 2), time);
        if (analysis)
            add_analysis(ovk5_tree, pinfo, tvb, time, *analysis, ts_item);
    }

    // "Blob size" is informative only: the frame is everything after the header.
    tvbuff_t *next_tvb = tvb_new_subset_remaining(tvb, ovk5_header_length);

    if (have_tap_listener(ovk5_tap)) {
        ovk5_tap_info *info = wmem_new0(pinfo->pool, ovk5_tap_info);
        info->blob_size = tvb_get_letohs(tvb, 0);
        info->interface_id = tvb_get_uint8(tvb, 2);
        info->hw_time.secs = tvb_get_letohl(tvb, 4);
        info->hw_time.nsecs = static_cast<int>(tvb_get_letohl(tvb, 8));
        info->rid0 = tvb_get_letohs(tvb, 12);
        info->rid1 = tvb_get_letohs(tvb, 14);
        info->frame_tvb = next_tvb;
        gint64 delay_ns;
        info->hw_time_valid = header_readable && time.valid();
        info->delay_known = header_readable && delivery_delay(pinfo, time, &delay_ns);
        if (info->delay_known)
            info->delay = ovk_relative_time(delay_ns);
        if (analysis) {
            info->analysed = true;
            info->prev_frame = analysis->prev_frame;
            info->ts_delta_known = analysis->ts_delta_known;
            info->ts_delta = ovk_relative_time(analysis->ts_delta_ns);
        }
        tap_queue_packet(ovk5_tap, pinfo, info);
    }

    // The analyser numbers the OVK5 layers of the packet, this one included.
    if (pinfo->curr_proto_layer_num > ovk5_max_nesting) {
        expert_add_info(pinfo, ti, &ei_ovk5_nested_too_deep);
        call_data_dissector(next_tvb, pinfo, tree);
    } else {
        ovk_call_ethernet(eth_handle, next_tvb, pinfo, tree);
    }

    // Written last, so OVK5 replaces what the protocols inside wrote.
    col_clear(pinfo->cinfo, COL_PROTOCOL);
    col_set_str(pinfo->cinfo, COL_PROTOCOL, "OVK5");

    return tvb_captured_length(tvb);
}

// Where a record of a TCP stream ends: its header, then Blob size bytes.
guint ovk5_record_length(packet_info *, tvbuff_t *tvb, int offset, void *)
{
    return ovk5_header_length + tvb_get_letohs(tvb, offset);
}

// What the port tables call: a TCP payload goes through the analyser's TCP
// record framing when the user asked for it, anything else is one record.
int dissect_ovk5_payload(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *data)
{
    if (!tcp_desegment || pinfo->ptype != PT_TCP)
        return dissect_ovk5(tvb, pinfo, tree, data);
    if (tvb_reported_length(tvb) < ovk5_header_length && !pinfo->can_desegment)
        return 0;
    tcp_dissect_pdus(tvb, pinfo, tree, TRUE, ovk5_header_length, ovk5_record_length, dissect_ovk5, data);
    return tvb_captured_length(tvb);
}

// At shutdown, before the analyser unloads the plug-in along with the
// pointers to these copies.
void free_bound_ranges()
{
    g_free(tcp_ports_bound);
    g_free(udp_ports_bound);
    tcp_ports_bound = nullptr;
    udp_ports_bound = nullptr;
}

// Moves ovk5_handle in table_name from the ports of old_ports (may be null)
// to those of new_ports, giving each port it leaves back to what held it
// before. Ports whose dissector the user chose with Decode As (the entry
// differs from its initial one) keep that choice.
void rebind_ports(const char *table_name, dissector_handle_t *previous_owner, const range_t *old_ports,
                  const range_t *new_ports)
{
    dissector_table_t table = find_dissector_table(table_name);
    if (old_ports) {
        for (guint i = 0; i < old_ports->nranges; ++i) {
            for (guint32 port = old_ports->ranges[i].low; port <= old_ports->ranges[i].high; ++port) {
                if (value_is_in_range(new_ports, port) || dissector_is_uint_changed(table, port)
                    || dissector_get_uint_handle(table, port) != ovk5_handle)
                    continue;
                if (previous_owner[port])
                    dissector_add_uint(table_name, port, previous_owner[port]);
                else
                    dissector_delete_uint(table_name, port, ovk5_handle);
                previous_owner[port] = nullptr;
            }
        }
    }
    for (guint i = 0; i < new_ports->nranges; ++i) {
        for (guint32 port = new_ports->ranges[i].low; port <= new_ports->ranges[i].high; ++port) {
            if (dissector_is_uint_changed(table, port))
                continue;
            dissector_handle_t current = dissector_get_uint_handle(table, port);
            if (current == ovk5_handle)
                continue;
            previous_owner[port] = current;
            dissector_add_uint(table_name, port, ovk5_handle);
        }
    }
}

// Statistics: a node per interface counting its headers, with the
// delivery delay's average, minimum and maximum under it.
tap_packet_status ovk5_stats_packet(stats_tree *st, packet_info *, epan_dissect_t *, const void *data, tap_flags_t)
{
    const auto *info = static_cast<const ovk5_tap_info *>(data);
    char name[sizeof "Interface 255"];
    std::snprintf(name, sizeof name, "Interface %u", info->interface_id);
    const int interface_node = tick_stat_node(st, name, 0, TRUE);
    if (info->delay_known) {
        const double delay_ms = static_cast<double>(info->delay.secs) * 1e3 + info->delay.nsecs / 1e6;
        avg_stat_node_add_value_float(st, "Delivery delay (ms)", interface_node, FALSE, static_cast<gfloat>(delay_ms));
    }
    return TAP_PACKET_REDRAW;
}

void bind_ports()
{
    rebind_ports("tcp.port", tcp_previous_owner, tcp_ports_bound, tcp_ports);
    rebind_ports("udp.port", udp_previous_owner, udp_ports_bound, udp_ports);

    free_bound_ranges();
    tcp_ports_bound = range_copy(NULL, tcp_ports);
    udp_ports_bound = range_copy(NULL, udp_ports);
    ports_bound = true;
}

// Run at the start of every dissection session; binds only the first time.
void bind_ports_first_time()
{
    if (!ports_bound)
        bind_ports();
}

// ---------------------------------------------------------------- heuristics
// OVK5 found by its content on ports no preference names. The check is
// strict because a hit decodes the whole conversation as OVK5.

// How far the header's time may lie from the capture's own: a day either
// way, for a device clock set to local time or not synchronised, while
// random bytes land in it about once in 25,000.
constexpr gint64 heur_max_clock_offset = 86400;

// The time every header is compared with: the capture's own, or without
// one the first record's, so that only a second record can confirm it.
struct heur_reference {
    nstime_t time;
    bool known;
};

heur_reference capture_reference(const packet_info *pinfo)
{
    heur_reference reference{};
    reference.known = pinfo->fd->has_ts;
    if (reference.known)
        reference.time = pinfo->abs_ts;
    return reference;
}

// Checks the record at offset against reference, which the first record
// sets when the capture has no time; *end is where the record ends.
ovk5_plausibility heur_check(tvbuff_t *tvb, guint offset, heur_reference *reference, guint *end)
{
    const gint at = static_cast<gint>(offset);
    if (!reference->known) {
        if (tvb_captured_length_remaining(tvb, at) < static_cast<gint>(ovk5_header_length))
            return ovk5_plausibility::incomplete;
        const ovk_hardware_time first = ovk_read_hardware_time(tvb, at + static_cast<gint>(ovk5_ts_offset));
        reference->time.secs = static_cast<time_t>(first.secs);
        reference->time.nsecs = static_cast<int>(first.nsecs);
        reference->known = true;
    }
    const ovk5_plausibility result = ovk5_check_record(tvb, at, &reference->time, heur_max_clock_offset);
    if (result == ovk5_plausibility::plausible)
        *end = offset + ovk5_header_length + tvb_get_letohs(tvb, at + static_cast<gint>(ovk5_blob_size_offset));
    return result;
}

// A UDP payload is one record or records back to back, exactly. Records
// cut off by the capture's snapshot length cannot be checked; at least
// one must be, and two when the capture has no time of its own.
bool udp_payload_is_ovk5(tvbuff_t *tvb, packet_info *pinfo)
{
    heur_reference reference = capture_reference(pinfo);
    const guint needed = reference.known ? 1 : 2;
    const guint length = tvb_reported_length(tvb);
    guint offset = 0;
    guint checked = 0;
    while (offset < length) {
        guint end = 0;
        const ovk5_plausibility record = heur_check(tvb, offset, &reference, &end);
        if (record == ovk5_plausibility::incomplete)
            return checked >= needed && tvb_captured_length(tvb) < length;
        if (record == ovk5_plausibility::implausible || end > length)
            return false;
        offset = end;
        ++checked;
    }
    return checked >= needed;
}

// A TCP segment starts with a record; where it ends inside the segment,
// the next must start plausibly too. A record may run on into the next
// segment; without the capture's time the segment must hold two.
bool tcp_payload_is_ovk5(tvbuff_t *tvb, packet_info *pinfo)
{
    heur_reference reference = capture_reference(pinfo);
    const bool needs_second = !reference.known;
    guint end = 0;
    if (heur_check(tvb, 0, &reference, &end) != ovk5_plausibility::plausible)
        return false;
    if (end >= tvb_reported_length(tvb))
        return !needs_second;
    guint next_end = 0;
    const ovk5_plausibility next = heur_check(tvb, end, &reference, &next_end);
    return next == ovk5_plausibility::plausible || (next == ovk5_plausibility::incomplete && !needs_second);
}

// From this frame on the conversation is OVK5, through the port tables'
// handle: TCP framing and the analysis as on OVK5's own ports.
ovk_heur_result take_conversation(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *data)
{
    conversation_t *conversation = find_or_create_conversation(pinfo);
    conversation_set_dissector_from_frame_number(conversation, pinfo->num, ovk5_handle);
    dissect_ovk5_payload(tvb, pinfo, tree, data);
    return true;
}

ovk_heur_result dissect_ovk5_heur_udp(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *data)
{
    if (!udp_payload_is_ovk5(tvb, pinfo))
        return false;
    return take_conversation(tvb, pinfo, tree, data);
}

ovk_heur_result dissect_ovk5_heur_tcp(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *data)
{
    if (!tcp_payload_is_ovk5(tvb, pinfo))
        return false;
    return take_conversation(tvb, pinfo, tree, data);
}

} // namespace

void proto_register_ovk5(void)
{
    static hf_register_info hf[] = {
        { &hf_ovk5_bs,
          { "Blob size", "ovk5.bs",
            FT_UINT16, BASE_DEC, NULL, 0x0,
            NULL, HFILL }
        },
        { &hf_ovk5_if,
          { "Interface", "ovk5.if",
            FT_UINT8, BASE_DEC, NULL, 0x0,
            NULL, HFILL }
        },
        { &hf_ovk5_res,
          { "Reserved", "ovk5.res",
            FT_UINT8, BASE_HEX, NULL, 0x0,
            NULL, HFILL }
        },
        { &hf_ovk5_ts,
          { "Timestamp (unix)", "ovk5.ts",
            FT_ABSOLUTE_TIME, ABSOLUTE_TIME_UTC, NULL, 0x0,
            NULL, HFILL }
        },
        { &hf_ovk5_rid0,
          { "RID 0", "ovk5.rid0",
            FT_UINT16, BASE_HEX, NULL, 0x0,
            NULL, HFILL }
        },
        { &hf_ovk5_rid1,
          { "RID 1", "ovk5.rid1",
            FT_UINT16, BASE_HEX, NULL, 0x0,
            NULL, HFILL }
        },
        { &hf_ovk5_prev_frame,
          { "Previous header of this interface", "ovk5.prev_frame",
            FT_FRAMENUM, BASE_NONE, NULL, 0x0,
            NULL, HFILL }
        },
        { &hf_ovk5_ts_delta,
          { "Time since previous header of this interface", "ovk5.ts_delta",
            FT_RELATIVE_TIME, BASE_NONE, NULL, 0x0,
            NULL, HFILL }
        },
        { &hf_ovk5_delay,
          { "Delivery delay", "ovk5.delay",
            FT_RELATIVE_TIME, BASE_NONE, NULL, 0x0,
            NULL, HFILL }
        },
    };

    static gint *ett[] = {
        &ett_ovk5,
    };

    static ei_register_info ei[] = {
        { &ei_ovk5_nested_too_deep,
          { "ovk5.nested_too_deep", PI_MALFORMED, PI_ERROR,
            "OVK5 nested too deeply; the frame inside is not decoded", EXPFILL }
        },
        { &ei_ovk5_ts_backwards,
          { "ovk5.ts_backwards", PI_SEQUENCE, PI_WARN,
            "Time stamp earlier than the previous header's of this interface", EXPFILL }
        },
        { &ei_ovk5_ts_invalid,
          { "ovk5.ts_invalid", PI_MALFORMED, PI_WARN,
            "Time stamp with over 999,999,999 nanoseconds", EXPFILL }
        },
    };

    // Parsed into the preference code's scope, which frees and replaces
    // these ranges when the user changes a preference.
    range_convert_str(wmem_epan_scope(), &tcp_ports, "21103,", ovk5_max_port);
    range_convert_str(wmem_epan_scope(), &udp_ports, "21171,", ovk5_max_port);

    proto_ovk5 = proto_register_protocol("Ovkan Link Protocol 5", "OVK5", "ovk5");
    proto_register_field_array(proto_ovk5, hf, array_length(hf));
    proto_register_subtree_array(ett, array_length(ett));
    expert_register_field_array(expert_register_protocol(proto_ovk5), ei, array_length(ei));
    register_shutdown_routine(free_bound_ranges);
    register_init_routine(bind_ports_first_time);
    ovk5_tap = register_tap(ovk5_tap_name);
    register_init_routine(forget_interfaces);
    ovk_register_stats_tree(ovk5_tap_name, "ovk5", "OVK5 Interfaces", ovk5_stats_packet);

    module_t *ovk5_module = prefs_register_protocol(proto_ovk5, proto_reg_handoff_ovk5);
    prefs_register_range_preference(ovk5_module, "tcp.port", "OVK5 TCP Ports",
                                    "TCP Ports range", &tcp_ports, ovk5_max_port);
    prefs_register_range_preference(ovk5_module, "udp.port", "OVK5 UDP Ports",
                                    "UDP Ports range", &udp_ports, ovk5_max_port);
    prefs_register_bool_preference(ovk5_module, "analyze", "Analyse time stamps",
                                   "Per interface: time since the previous header, with a warning where it "
                                   "runs backwards, and the delivery delay from the hardware to the "
                                   "capturing host",
                                   &analyze_headers);
    prefs_register_bool_preference(ovk5_module, "tcp.desegment",
                                   "Reassemble OVK5 records spanning TCP segments",
                                   "Whether OVK5 over TCP is read as a stream of records, each its 16-byte "
                                   "header followed by an Ethernet frame of Blob size bytes, so that several "
                                   "records in one segment and a record split over segments are all decoded. "
                                   "Needs \"Allow subdissector to reassemble TCP streams\" in the TCP "
                                   "protocol settings. Off: each TCP payload is one record.",
                                   &tcp_desegment);
}

// Also the preference module's apply callback: moves the table entries
// from the ranges applied last time to the ranges in force now, once the
// first dissection session has bound them.
void proto_reg_handoff_ovk5(void)
{
    static bool initialized = false;

    eth_handle = ovk_find_ethernet_dissector();

    if (!initialized) {
        ovk5_handle = create_dissector_handle(dissect_ovk5_payload, proto_ovk5);
        // Offered by "Decode As" (tshark -d) on any port, even when a
        // preference leaves a port range empty.
        dissector_add_for_decode_as("tcp.port", ovk5_handle);
        dissector_add_for_decode_as("udp.port", ovk5_handle);
        // Only payloads no port claims reach these.
        heur_dissector_add("udp", dissect_ovk5_heur_udp, "OVK5 over UDP", "ovk5_udp", proto_ovk5, HEURISTIC_ENABLE);
        heur_dissector_add("tcp", dissect_ovk5_heur_tcp, "OVK5 over TCP", "ovk5_tcp", proto_ovk5, HEURISTIC_ENABLE);
        initialized = true;
    }

    if (ports_bound)
        bind_ports();
}
