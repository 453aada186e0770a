// SPDX-License-Identifier: GPL-2.0-or-later
// Ovkan Link Protocol 5 (OVK5): a 16-byte little-endian metadata header
// carried in TCP or UDP payloads, followed by the Ethernet frame it
// describes.

#include <epan/exceptions.h>
#include <epan/expert.h>
#include <epan/packet.h>
#include <epan/prefs.h>
#include <epan/proto_data.h>
// Declared without C linkage in its header.
extern "C" {
#include <epan/show_exception.h>
}
#include <epan/stats_tree.h>
#include <epan/tap.h>

#include <cstdio>

#include "ethernet_handoff.h"
#include "ovk5_dissector.h"
#include "ovk5_stream.h"
#include "ovk5_tap.h"

void proto_register_ovk5(void);
void proto_reg_handoff_ovk5(void);

namespace ovk5 {

namespace {

// OVK5 headers one packet may nest (a frame carrying OVK5 that carries
// OVK5...). Without a bound, a crafted packet recurses until the analyser's
// layer limit, which it reports as a dissector bug.
constexpr unsigned ovk5_max_nesting = 8;
// Protocol layers kept free for the frame of a record: the analyser
// refuses every dissector call once a packet holds gui.max_tree_depth
// layers, and each record's frame adds its own (Ethernet, IP, UDP...; an
// OVK5 header inside checks again for its own frame).
constexpr guint ovk5_frame_layer_reserve = 32;
// Interface and time stamp: what the analysis reads.
constexpr guint ovk5_analysed_length = ovk5_ts_offset + 8;

} // namespace

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
int hf_ovk5_frame = -1;
int hf_ovk5_record_part = -1;
int ett_ovk5 = -1;
int ovk5_tap = -1;
int ovk5_damage_tap = -1;

expert_field ei_ovk5_nested_too_deep = EI_INIT;
expert_field ei_ovk5_frame_not_decoded = EI_INIT;
expert_field ei_ovk5_stream_gap = EI_INIT;
expert_field ei_ovk5_late = EI_INIT;
expert_field ei_ovk5_bytes_skipped = EI_INIT;
expert_field ei_ovk5_not_captured = EI_INIT;
expert_field ei_ovk5_record_cut = EI_INIT;
expert_field ei_ovk5_ts_backwards = EI_INIT;
expert_field ei_ovk5_ts_invalid = EI_INIT;
expert_field ei_ovk5_more_records = EI_INIT;

ovk_pref_bool analyze_headers = TRUE;

dissector_handle_t ovk5_handle = nullptr;
dissector_handle_t eth_handle = nullptr;

guint32 *packet_counter(packet_info *pinfo, guint32 key)
{
    auto *count = static_cast<guint32 *>(p_get_proto_data(pinfo->pool, pinfo, proto_ovk5, key));
    if (!count) {
        count = wmem_new0(pinfo->pool, guint32);
        p_add_proto_data(pinfo->pool, pinfo, proto_ovk5, key, count);
    }
    return count;
}

namespace {

// The Ethernet dissector, with whatever it throws shown in the frame.
// Nothing but the call between setjmp and longjmp.
void call_ethernet_contained(tvbuff_t *frame_tvb, packet_info *pinfo, proto_tree *tree)
{
    TRY {
        ovk_call_ethernet(eth_handle, frame_tvb, pinfo, tree);
    }
    CATCH_BOUNDS_AND_DISSECTOR_ERRORS {
        show_exception(frame_tvb, pinfo, tree, EXCEPT_CODE, GET_MESSAGE);
    }
    ENDTRY;
}

// The frame behind a header. An exception inside it (a frame shorter than
// an Ethernet header, a snapped frame) is shown in that frame and goes no
// further, so the records after it are framed and decoded as ever.
void dissect_frame(tvbuff_t *frame_tvb, packet_info *pinfo, proto_tree *tree, proto_item *ti)
{
    const guint layers = wmem_list_count(pinfo->layers);
    if (layers + ovk5_frame_layer_reserve >= prefs.gui_max_tree_depth) {
        proto_tree_add_item(tree, hf_ovk5_frame, frame_tvb, 0, -1, ENC_NA);
        expert_add_info_format(pinfo, ti, &ei_ovk5_frame_not_decoded,
                               "Frame not decoded: this packet already holds %u protocol layers of the %u "
                               "the analyser decodes (raise the preference gui.max_tree_depth \"Maximum "
                               "tree depth\" to decode it)",
                               layers, prefs.gui_max_tree_depth);
        return;
    }
    guint32 *depth = packet_counter(pinfo, nesting_depth_key);
    if (*depth >= ovk5_max_nesting) {
        expert_add_info(pinfo, ti, &ei_ovk5_nested_too_deep);
        call_data_dissector(frame_tvb, pinfo, tree);
        return;
    }

    const guint32 saved_depth = (*depth)++;
    const char *saved_proto = pinfo->current_proto;
    const guint16 saved_can_desegment = pinfo->can_desegment;
    const guint16 saved_saved_can_desegment = pinfo->saved_can_desegment;
    call_ethernet_contained(frame_tvb, pinfo, tree);
    // What the analyser's dissector calls restore only when they return.
    pinfo->current_proto = saved_proto;
    pinfo->can_desegment = saved_can_desegment;
    pinfo->saved_can_desegment = saved_saved_can_desegment;
    *depth = saved_depth;
}

} // namespace

int dissect_ovk5(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *)
{
    if (tvb_reported_length(tvb) < ovk5_header_length)
        return 0;

    proto_item *ti = proto_tree_add_item(tree, proto_ovk5, tvb, 0, ovk5_header_length, ENC_NA);
    proto_tree *ovk5_tree = proto_item_add_subtree(ti, ett_ovk5);

    proto_tree_add_item(ovk5_tree, hf_ovk5_bs, tvb, ovk5_blob_size_offset, 2, ENC_LITTLE_ENDIAN);
    proto_tree_add_item(ovk5_tree, hf_ovk5_if, tvb, ovk5_if_offset, 1, ENC_LITTLE_ENDIAN);
    proto_tree_add_item(ovk5_tree, hf_ovk5_res, tvb, ovk5_res_offset, 1, ENC_LITTLE_ENDIAN);
    proto_item *ts_item = proto_tree_add_item(ovk5_tree, hf_ovk5_ts, tvb, ovk5_ts_offset, 8, ENC_LITTLE_ENDIAN);
    proto_tree_add_item(ovk5_tree, hf_ovk5_rid0, tvb, ovk5_rid0_offset, 2, ENC_LITTLE_ENDIAN);
    proto_tree_add_item(ovk5_tree, hf_ovk5_rid1, tvb, ovk5_rid1_offset, 2, ENC_LITTLE_ENDIAN);

    header_analysis analysis;
    bool analysed = false;
    ovk_hardware_time header_time{};
    gint64 delay_ns = 0;
    bool delay_known = false;
    // A header cut short before its time stamp ends is not analysed.
    const bool header_readable = tvb_captured_length(tvb) >= ovk5_analysed_length;
    if (header_readable) {
        header_time = ovk_read_hardware_time(tvb, ovk5_ts_offset);
        if (analyze_headers || have_tap_listener(ovk5_tap))
            delay_known = delivery_delay(pinfo, header_time, &delay_ns);
    }
    if (analyze_headers && header_readable) {
        if (!header_time.valid())
            expert_add_info_format(pinfo, ts_item, &ei_ovk5_ts_invalid,
                                   "Time stamp with %u nanoseconds (over 999,999,999)", header_time.nsecs);
        // A copy quoted in an ICMP error was sent before: it belongs to no
        // stream's history.
        if (!pinfo->flags.in_error_pkt) {
            analysed = analyse_header(pinfo, tvb_get_uint8(tvb, ovk5_if_offset), header_time, &analysis);
            if (analysed)
                add_analysis(ovk5_tree, pinfo, tvb, header_time, analysis);
        }
        if (delay_known) {
            const nstime_t delay = ovk_relative_time(delay_ns);
            proto_item *item = proto_tree_add_time(ovk5_tree, hf_ovk5_delay, tvb, ovk5_ts_offset, 8, &delay);
            proto_item_set_generated(item);
        }
    }

    // "Blob size" is informative only: the frame is everything after the header.
    tvbuff_t *next_tvb = tvb_new_subset_remaining(tvb, ovk5_header_length);

    if (have_tap_listener(ovk5_tap)) {
        ovk5_tap_info *info = wmem_new0(pinfo->pool, ovk5_tap_info);
        info->blob_size = tvb_get_letohs(tvb, ovk5_blob_size_offset);
        info->interface_id = tvb_get_uint8(tvb, ovk5_if_offset);
        info->hw_time.secs = tvb_get_letohl(tvb, ovk5_ts_offset);
        info->hw_time.nsecs = static_cast<int>(tvb_get_letohl(tvb, ovk5_ts_offset + 4));
        info->rid0 = tvb_get_letohs(tvb, ovk5_rid0_offset);
        info->rid1 = tvb_get_letohs(tvb, ovk5_rid1_offset);
        info->frame_tvb = next_tvb;
        info->hw_time_valid = header_readable && header_time.valid();
        info->delay_known = delay_known;
        if (delay_known)
            info->delay = ovk_relative_time(delay_ns);
        // The sender now: the frame inside replaces pinfo's addresses.
        copy_address_wmem(pinfo->pool, &info->sender, &pinfo->src);
        info->sender_port = pinfo->srcport;
        info->over_tcp = pinfo->ptype == PT_TCP;
        if (analysed) {
            info->analysed = true;
            info->prev_frame = analysis.prev_frame;
            gint64 delta_ns;
            info->ts_delta_known = time_step(analysis, header_time, &delta_ns);
            if (info->ts_delta_known)
                info->ts_delta = ovk_relative_time(delta_ns);
            info->late = analysis.late;
            info->ts_backwards = info->ts_delta_known && delta_ns < 0 && !analysis.late;
            info->settled_late = analysis.settled_late;
        }
        tap_queue_packet(ovk5_tap, pinfo, info);
    }

    dissect_frame(next_tvb, pinfo, tree, ti);

    // Written last, so OVK5 replaces what the protocols inside wrote.
    col_clear(pinfo->cinfo, COL_PROTOCOL);
    col_set_str(pinfo->cinfo, COL_PROTOCOL, "OVK5");

    return tvb_captured_length(tvb);
}

} // namespace ovk5

using namespace ovk5;

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
          { "Previous header of this stream", "ovk5.prev_frame",
            FT_FRAMENUM, BASE_NONE, NULL, 0x0,
            NULL, HFILL }
        },
        { &hf_ovk5_ts_delta,
          { "Time since the stream's last valid time stamp", "ovk5.ts_delta",
            FT_RELATIVE_TIME, BASE_NONE, NULL, 0x0,
            NULL, HFILL }
        },
        { &hf_ovk5_delay,
          { "Delivery delay", "ovk5.delay",
            FT_RELATIVE_TIME, BASE_NONE, NULL, 0x0,
            NULL, HFILL }
        },
        { &hf_ovk5_frame,
          { "Frame (not decoded)", "ovk5.frame",
            FT_BYTES, BASE_NONE, NULL, 0x0,
            NULL, HFILL }
        },
        { &hf_ovk5_record_part,
          { "Part of an OVK5 record spanning TCP segments", "ovk5.record_part",
            FT_BYTES, BASE_NONE, NULL, 0x0,
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
            "Time stamp earlier than the last valid one of this stream", EXPFILL }
        },
        { &ei_ovk5_late,
          { "ovk5.late", PI_SEQUENCE, PI_NOTE,
            "Came late: time stamp behind the stream's, which went on from where it was", EXPFILL }
        },
        { &ei_ovk5_ts_invalid,
          { "ovk5.ts_invalid", PI_MALFORMED, PI_WARN,
            "Time stamp with over 999,999,999 nanoseconds", EXPFILL }
        },
        { &ei_ovk5_frame_not_decoded,
          { "ovk5.frame_not_decoded", PI_UNDECODED, PI_NOTE,
            "Frame not decoded: the packet holds as many protocol layers as the analyser decodes "
            "(preference gui.max_tree_depth)", EXPFILL }
        },
        { &ei_ovk5_stream_gap,
          { "ovk5.stream_gap", PI_SEQUENCE, PI_WARN,
            "Bytes of the TCP stream before this were not captured", EXPFILL }
        },
        { &ei_ovk5_bytes_skipped,
          { "ovk5.bytes_skipped", PI_SEQUENCE, PI_WARN,
            "Bytes skipped until the next plausible OVK5 header", EXPFILL }
        },
        { &ei_ovk5_not_captured,
          { "ovk5.not_captured", PI_SEQUENCE, PI_WARN,
            "Bytes not captured (snap length)", EXPFILL }
        },
        { &ei_ovk5_more_records,
          { "ovk5.more_records", PI_UNDECODED, PI_NOTE,
            "This TCP segment holds more OVK5 records after this one; \"Reassemble OVK5 records spanning "
            "TCP segments\" (ovk5.tcp.desegment) decodes them", EXPFILL }
        },
        { &ei_ovk5_record_cut,
          { "ovk5.record_cut", PI_MALFORMED, PI_WARN,
            "OVK5 record cut by the snap length", EXPFILL }
        },
    };

    // Parsed into the preference code's scope, which frees and replaces
    // these ranges when the user changes a preference.
    char default_port[8];
    std::snprintf(default_port, sizeof default_port, "%u,", ovk5_default_tcp_port);
    range_convert_str(wmem_epan_scope(), &tcp_ports, default_port, ovk5_max_port);
    std::snprintf(default_port, sizeof default_port, "%u,", ovk5_default_udp_port);
    range_convert_str(wmem_epan_scope(), &udp_ports, default_port, ovk5_max_port);

    proto_ovk5 = proto_register_protocol("Ovkan Link Protocol 5", "OVK5", "ovk5");
    proto_register_field_array(proto_ovk5, hf, array_length(hf));
    proto_register_subtree_array(ett, array_length(ett));
    expert_register_field_array(expert_register_protocol(proto_ovk5), ei, array_length(ei));
    ovk5_handle = register_dissector("ovk5", dissect_ovk5_payload, proto_ovk5);
    register_shutdown_routine(free_bound_ranges);
    register_init_routine(bind_ports_first_time);
    ovk5_tap = register_tap(ovk5_tap_name);
    ovk5_damage_tap = register_tap(ovk5_damage_tap_name);
    register_tcp_framing();
    register_analysis();
    ovk_register_stats_tree(ovk5_tap_name, "ovk5", "OVK5 Interfaces", ovk5_stats_packet,
                            REGISTER_PACKET_STAT_GROUP_UNSORTED, ovk5_stats_init, ovk5_stats_init);

    module_t *ovk5_module = prefs_register_protocol(proto_ovk5, proto_reg_handoff_ovk5);
    prefs_register_range_preference(ovk5_module, "tcp.port", "OVK5 TCP Ports",
                                    "TCP Ports range", &tcp_ports, ovk5_max_port);
    prefs_register_range_preference(ovk5_module, "udp.port", "OVK5 UDP Ports",
                                    "UDP Ports range", &udp_ports, ovk5_max_port);
    prefs_register_bool_preference(ovk5_module, "analyze", "Analyse time stamps",
                                   "Per stream (sender and interface): the previous header, the time since "
                                   "the last valid time stamp, with a warning where it runs backwards, and "
                                   "the delivery delay from the hardware to the capturing host",
                                   &analyze_headers);
    prefs_register_bool_preference(ovk5_module, "tcp.desegment",
                                   "Reassemble OVK5 records spanning TCP segments",
                                   "Whether OVK5 over TCP is read as a stream of records, each its 16-byte "
                                   "header followed by an Ethernet frame of Blob size bytes, so that several "
                                   "records in one segment and a record split over segments are all decoded, "
                                   "whether or not TCP's \"Allow subdissector to reassemble TCP streams\" "
                                   "is on. Off: each TCP payload is one record.",
                                   &tcp_desegment);
    prefs_register_uint_preference(ovk5_module, "clock_window", "Device clock window (hours)",
                                   "How far an OVK5 header's time stamp may lie from the capture's own time, "
                                   "either way, where OVK5 is recognised by its content: by the heuristics on "
                                   "any port, and where framing a TCP stream resumes after damage or a capture "
                                   "started mid-stream (there also from the stream's last good time stamp). "
                                   "Widen it for a device whose clock is not set (one counting from 1970).",
                                   10, &ovk5_clock_window_hours);
}

// Also the preference module's apply callback: moves the table entries
// from the ranges applied last time to the ranges in force now.
void proto_reg_handoff_ovk5(void)
{
    static bool initialized = false;

    eth_handle = ovk_find_ethernet_dissector(proto_ovk5);

    if (!initialized) {
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

