// SPDX-License-Identifier: GPL-2.0-or-later
// Ovkan Link Protocol 5 with sequence numbers (OVK5SEQ): capture records of
// link-layer type 150 (USER3) that start with a 16-byte little-endian
// metadata header, followed by the Ethernet frame it describes.

#include <epan/expert.h>
#include <epan/packet.h>
#include <epan/prefs.h>
#include <epan/proto_data.h>
#include <epan/stats_tree.h>
#include <epan/tap.h>
#include <wiretap/wtap.h>

#include <cstdio>
#include <cstring>

#include "ethernet_handoff.h"
#include "hardware_time.h"
#include "ovk5seq_tap.h"
#include "wireshark_compat.h"

void proto_register_ovk5seq(void);
void proto_reg_handoff_ovk5seq(void);

namespace {

constexpr guint ovk5seq_header_length = 16;
constexpr guint ovk5seq_missing_frames_offset = 3;
constexpr guint ovk5seq_ts_offset = 4;
// Sequence number, interface, missing frames and time stamp: what the
// analysis reads.
constexpr guint ovk5seq_analysed_length = 12;
constexpr guint ovk5seq_interfaces = 256;

int proto_ovk5seq = -1;
int hf_ovk5seq_seq = -1;
int hf_ovk5seq_if = -1;
int hf_ovk5seq_res = -1;
int hf_ovk5seq_ts = -1;
int hf_ovk5seq_prev_frame = -1;
int hf_ovk5seq_seq_gap = -1;
int hf_ovk5seq_lost_total = -1;
int hf_ovk5seq_ts_delta = -1;
int ett_ovk5seq = -1;
int ovk5seq_tap = -1;

expert_field ei_ovk5seq_missing_frames = EI_INIT;
expert_field ei_ovk5seq_seq_mismatch = EI_INIT;
expert_field ei_ovk5seq_ts_backwards = EI_INIT;
expert_field ei_ovk5seq_ts_invalid = EI_INIT;
expert_field ei_ovk5seq_too_short = EI_INIT;

dissector_handle_t eth_handle = nullptr;

ovk_pref_bool analyze_records = TRUE;

// What the first pass found for a record, kept with its frame so that
// every later dissection (random access, "-2", taps) shows the same.
struct record_analysis {
    guint64 lost_total;
    gint64 ts_delta_ns;
    guint32 prev_frame;  // 0: the interface's first record
    guint16 seq_gap;
    bool ts_delta_known;
};

// The last record of each interface on the first pass through the file.
struct interface_state {
    guint64 lost_total;
    guint32 last_frame;  // 0: none yet
    guint16 last_seq;
    ovk_hardware_time last_time;
};

interface_state interfaces[ovk5seq_interfaces];

void forget_interfaces()
{
    std::memset(interfaces, 0, sizeof interfaces);
}

struct record_header {
    guint16 seq;
    guint8 interface_id;
    guint8 missing_frames;
    ovk_hardware_time time;
};

// Only on the first pass, in frame order, does a record move its
// interface's state on.
const record_analysis *analyse_record(packet_info *pinfo, const record_header &header)
{
    if (PINFO_FD_VISITED(pinfo))
        return static_cast<const record_analysis *>(p_get_proto_data(wmem_file_scope(), pinfo, proto_ovk5seq, 0));

    interface_state &state = interfaces[header.interface_id];
    record_analysis *analysis = wmem_new(wmem_file_scope(), record_analysis);
    analysis->prev_frame = state.last_frame;
    analysis->seq_gap = static_cast<guint16>(header.seq - state.last_seq - 1);
    state.lost_total += header.missing_frames;
    analysis->lost_total = state.lost_total;
    analysis->ts_delta_known = state.last_frame != 0 && state.last_time.valid() && header.time.valid();
    analysis->ts_delta_ns = analysis->ts_delta_known ? ovk_nanoseconds_between(header.time, state.last_time) : 0;

    state.last_frame = pinfo->num;
    state.last_seq = header.seq;
    state.last_time = header.time;
    p_add_proto_data(wmem_file_scope(), pinfo, proto_ovk5seq, 0, analysis);
    return analysis;
}

void add_analysis(proto_tree *tree, packet_info *pinfo, tvbuff_t *tvb, const record_header &header,
                  const record_analysis &analysis, proto_item *ts_item)
{
    if (!header.time.valid())
        expert_add_info_format(pinfo, ts_item, &ei_ovk5seq_ts_invalid,
                               "Time stamp with %u nanoseconds (over 999,999,999)", header.time.nsecs);

    proto_item *item;
    if (analysis.prev_frame != 0) {
        item = proto_tree_add_uint(tree, hf_ovk5seq_prev_frame, tvb, 0, 0, analysis.prev_frame);
        proto_item_set_generated(item);
        item = proto_tree_add_uint(tree, hf_ovk5seq_seq_gap, tvb, 0, 2, analysis.seq_gap);
        proto_item_set_generated(item);
        if (analysis.seq_gap != header.missing_frames)
            expert_add_info_format(pinfo, item, &ei_ovk5seq_seq_mismatch,
                                   "Sequence number skips %u frames, the header reports %u missing",
                                   analysis.seq_gap, header.missing_frames);
    }
    item = proto_tree_add_uint64(tree, hf_ovk5seq_lost_total, tvb, ovk5seq_missing_frames_offset, 1,
                                 analysis.lost_total);
    proto_item_set_generated(item);
    if (analysis.ts_delta_known) {
        const nstime_t delta = ovk_relative_time(analysis.ts_delta_ns);
        item = proto_tree_add_time(tree, hf_ovk5seq_ts_delta, tvb, ovk5seq_ts_offset, 8, &delta);
        proto_item_set_generated(item);
        if (analysis.ts_delta_ns < 0)
            expert_add_info(pinfo, item, &ei_ovk5seq_ts_backwards);
    }
}

// Nothing else decodes link-type 150, so a record too short for the header
// is still shown, as bytes marked malformed, rather than as nothing.
int dissect_short_record(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree)
{
    col_set_str(pinfo->cinfo, COL_PROTOCOL, "OVK5SEQ");
    proto_item *ti = proto_tree_add_item(tree, proto_ovk5seq, tvb, 0, -1, ENC_NA);
    expert_add_info(pinfo, ti, &ei_ovk5seq_too_short);
    call_data_dissector(tvb, pinfo, tree);
    return tvb_captured_length(tvb);
}

int dissect_ovk5seq(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *)
{
    if (tvb_reported_length(tvb) < ovk5seq_header_length)
        return dissect_short_record(tvb, pinfo, tree);

    proto_item *ti = proto_tree_add_item(tree, proto_ovk5seq, tvb, 0, ovk5seq_header_length, ENC_NA);
    proto_tree *ovk5seq_tree = proto_item_add_subtree(ti, ett_ovk5seq);

    proto_tree_add_item(ovk5seq_tree, hf_ovk5seq_seq, tvb, 0, 2, ENC_LITTLE_ENDIAN);
    proto_tree_add_item(ovk5seq_tree, hf_ovk5seq_if, tvb, 2, 1, ENC_LITTLE_ENDIAN);
    // Read without a tree too: the expert entry is wanted either way, and
    // before the time stamp, so that a record cut short still reports it.
    guint32 missing_frames = 0;
    proto_item *missing_item = proto_tree_add_item_ret_uint(ovk5seq_tree, hf_ovk5seq_res, tvb,
                                                            ovk5seq_missing_frames_offset, 1, ENC_LITTLE_ENDIAN,
                                                            &missing_frames);
    if (missing_frames != 0)
        expert_add_info(pinfo, missing_item, &ei_ovk5seq_missing_frames);

    proto_item *ts_item = proto_tree_add_item(ovk5seq_tree, hf_ovk5seq_ts, tvb, ovk5seq_ts_offset, 8,
                                              ENC_LITTLE_ENDIAN);

    const record_analysis *analysis = nullptr;
    record_header header{};
    // A record cut short inside its header has no place in the sequence.
    if (analyze_records && tvb_captured_length(tvb) >= ovk5seq_analysed_length) {
        header.seq = tvb_get_letohs(tvb, 0);
        header.interface_id = tvb_get_uint8(tvb, 2);
        header.missing_frames = missing_frames;
        header.time = ovk_read_hardware_time(tvb, ovk5seq_ts_offset);
        analysis = analyse_record(pinfo, header);
        if (analysis)
            add_analysis(ovk5seq_tree, pinfo, tvb, header, *analysis, ts_item);
    }

    if (have_tap_listener(ovk5seq_tap)) {
        ovk5seq_tap_info *info = wmem_new0(pinfo->pool, ovk5seq_tap_info);
        info->seq = tvb_get_letohs(tvb, 0);
        info->interface_id = tvb_get_uint8(tvb, 2);
        info->missing_frames = static_cast<guint8>(missing_frames);
        info->hw_time.secs = tvb_get_letohl(tvb, 4);
        info->hw_time.nsecs = static_cast<int>(tvb_get_letohl(tvb, 8));
        if (analysis) {
            info->analysed = true;
            info->seq_gap_known = analysis->prev_frame != 0;
            info->seq_gap = analysis->seq_gap;
            info->seq_mismatch = info->seq_gap_known && analysis->seq_gap != missing_frames;
            info->ts_backwards = analysis->ts_delta_known && analysis->ts_delta_ns < 0;
            info->ts_invalid = !header.time.valid();
        }
        tap_queue_packet(ovk5seq_tap, pinfo, info);
    }

    // Set before the Ethernet frame is decoded: the protocols inside it
    // name the packet.
    col_clear(pinfo->cinfo, COL_PROTOCOL);
    col_set_str(pinfo->cinfo, COL_PROTOCOL, "OVK5SEQ");

    tvbuff_t *next_tvb = tvb_new_subset_remaining(tvb, ovk5seq_header_length);
    ovk_call_ethernet(eth_handle, next_tvb, pinfo, tree);

    return tvb_captured_length(tvb);
}

// Statistics: a node per interface counting its records, with the losses
// the header reports and those the sequence numbers show.
constexpr const char stats_reported[] = "Missing frames (reported)";
constexpr const char stats_skipped[] = "Frames skipped by sequence number";
constexpr const char stats_mismatches[] = "Sequence mismatches";

tap_packet_status ovk5seq_stats_packet(stats_tree *st, packet_info *, epan_dissect_t *, const void *data,
                                       tap_flags_t)
{
    const auto *info = static_cast<const ovk5seq_tap_info *>(data);
    char name[sizeof "Interface 255"];
    std::snprintf(name, sizeof name, "Interface %u", info->interface_id);
    const int interface_node = tick_stat_node(st, name, 0, TRUE);
    // All three under every interface, zero included.
    increase_stat_node(st, stats_reported, interface_node, FALSE, info->missing_frames);
    increase_stat_node(st, stats_skipped, interface_node, FALSE, info->seq_gap_known ? info->seq_gap : 0);
    increase_stat_node(st, stats_mismatches, interface_node, FALSE, info->seq_mismatch ? 1 : 0);
    return TAP_PACKET_REDRAW;
}

} // namespace

void proto_register_ovk5seq(void)
{
    static hf_register_info hf[] = {
        { &hf_ovk5seq_seq,
          { "Sequence number", "ovk5seq.seq",
            FT_UINT32, BASE_DEC, NULL, 0x0,
            NULL, HFILL }
        },
        { &hf_ovk5seq_if,
          { "Interface", "ovk5seq.if",
            FT_UINT8, BASE_DEC, NULL, 0x0,
            NULL, HFILL }
        },
        { &hf_ovk5seq_res,
          { "Missing frames", "ovk5seq.missing_frame",
            FT_UINT8, BASE_DEC, NULL, 0x0,
            NULL, HFILL }
        },
        { &hf_ovk5seq_ts,
          { "Timestamp (unix)", "ovk5seq.ts",
            FT_ABSOLUTE_TIME, ABSOLUTE_TIME_UTC, NULL, 0x0,
            NULL, HFILL }
        },
        { &hf_ovk5seq_prev_frame,
          { "Previous record of this interface", "ovk5seq.prev_frame",
            FT_FRAMENUM, BASE_NONE, NULL, 0x0,
            NULL, HFILL }
        },
        { &hf_ovk5seq_seq_gap,
          { "Frames skipped by sequence number", "ovk5seq.seq_gap",
            FT_UINT16, BASE_DEC, NULL, 0x0,
            NULL, HFILL }
        },
        { &hf_ovk5seq_lost_total,
          { "Missing frames of this interface so far", "ovk5seq.lost_total",
            FT_UINT64, BASE_DEC, NULL, 0x0,
            NULL, HFILL }
        },
        { &hf_ovk5seq_ts_delta,
          { "Time since previous record of this interface", "ovk5seq.ts_delta",
            FT_RELATIVE_TIME, BASE_NONE, NULL, 0x0,
            NULL, HFILL }
        },
    };

    static gint *ett[] = {
        &ett_ovk5seq,
    };

    static ei_register_info ei[] = {
        { &ei_ovk5seq_missing_frames,
          { "ovk5seq.missing_frames", PI_SEQUENCE, PI_ERROR,
            "Missing frames between this and last frame.", EXPFILL }
        },
        { &ei_ovk5seq_seq_mismatch,
          { "ovk5seq.seq_mismatch", PI_SEQUENCE, PI_WARN,
            "Sequence gap differs from the reported missing frames", EXPFILL }
        },
        { &ei_ovk5seq_ts_backwards,
          { "ovk5seq.ts_backwards", PI_SEQUENCE, PI_WARN,
            "Time stamp earlier than the previous record's of this interface", EXPFILL }
        },
        { &ei_ovk5seq_ts_invalid,
          { "ovk5seq.ts_invalid", PI_MALFORMED, PI_WARN,
            "Time stamp with over 999,999,999 nanoseconds", EXPFILL }
        },
        { &ei_ovk5seq_too_short,
          { "ovk5seq.too_short", PI_MALFORMED, PI_ERROR,
            "Record shorter than the 16-byte header", EXPFILL }
        },
    };

    proto_ovk5seq = proto_register_protocol("Ovkan Link Protocol 5 with sequence numbers",
                                            "OVK5SEQ", "ovk5seq");
    proto_register_field_array(proto_ovk5seq, hf, array_length(hf));
    proto_register_subtree_array(ett, array_length(ett));

    expert_module_t *expert_ovk5seq = expert_register_protocol(proto_ovk5seq);
    expert_register_field_array(expert_ovk5seq, ei, array_length(ei));
    ovk5seq_tap = register_tap(ovk5seq_tap_name);
    register_init_routine(forget_interfaces);
    ovk_register_stats_tree(ovk5seq_tap_name, "ovk5seq", "OVK5SEQ Interfaces", ovk5seq_stats_packet);

    module_t *ovk5seq_module = prefs_register_protocol(proto_ovk5seq, proto_reg_handoff_ovk5seq);
    prefs_register_bool_preference(ovk5seq_module, "analyze", "Analyse sequence numbers and time stamps",
                                   "Per interface: frames skipped by sequence number, missing frames so far "
                                   "and time since the previous record, with warnings where they disagree "
                                   "with the header or run backwards",
                                   &analyze_records);
}

void proto_reg_handoff_ovk5seq(void)
{
    static bool initialized = false;
    static dissector_handle_t ovk5seq_handle = nullptr;

    eth_handle = ovk_find_ethernet_dissector();

    if (!initialized) {
        ovk5seq_handle = create_dissector_handle(dissect_ovk5seq, proto_ovk5seq);
        dissector_add_uint("wtap_encap", WTAP_ENCAP_USER3, ovk5seq_handle);
        initialized = true;
    }
}
