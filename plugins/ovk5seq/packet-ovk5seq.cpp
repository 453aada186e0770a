// Ovkan Link Protocol 5 with sequence numbers (OVK5SEQ): capture records of
// link-layer type 150 (USER3) that start with a 16-byte little-endian
// metadata header, followed by the Ethernet frame it describes.

#include <epan/expert.h>
#include <epan/packet.h>
#include <epan/prefs.h>
#include <epan/tap.h>
#include <wiretap/wtap.h>

#include "ethernet_handoff.h"
#include "ovk5seq_tap.h"
#include "wireshark_compat.h"

void proto_register_ovk5seq(void);
void proto_reg_handoff_ovk5seq(void);

namespace {

constexpr guint ovk5seq_header_length = 16;
constexpr guint ovk5seq_missing_frames_offset = 3;

int proto_ovk5seq = -1;
int hf_ovk5seq_seq = -1;
int hf_ovk5seq_if = -1;
int hf_ovk5seq_res = -1;
int hf_ovk5seq_ts = -1;
int ett_ovk5seq = -1;
int ovk5seq_tap = -1;

expert_field ei_ovk5seq_missing_frames = EI_INIT;
expert_field ei_ovk5seq_too_short = EI_INIT;

dissector_handle_t eth_handle = nullptr;

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
    proto_item *missing_item = proto_tree_add_item(ovk5seq_tree, hf_ovk5seq_res, tvb,
                                                   ovk5seq_missing_frames_offset, 1, ENC_LITTLE_ENDIAN);
    // Read without a tree too: the expert entry is wanted either way, and
    // before the time stamp, so that a record cut short still reports it.
    const guint8 missing_frames = tvb_get_uint8(tvb, ovk5seq_missing_frames_offset);
    if (missing_frames != 0)
        expert_add_info(pinfo, missing_item, &ei_ovk5seq_missing_frames);

    proto_tree_add_item(ovk5seq_tree, hf_ovk5seq_ts, tvb, 4, 8, ENC_LITTLE_ENDIAN);

    if (have_tap_listener(ovk5seq_tap)) {
        ovk5seq_tap_info *info = wmem_new(pinfo->pool, ovk5seq_tap_info);
        info->seq = tvb_get_letohs(tvb, 0);
        info->interface_id = tvb_get_uint8(tvb, 2);
        info->missing_frames = missing_frames;
        info->hw_time.secs = tvb_get_letohl(tvb, 4);
        info->hw_time.nsecs = static_cast<int>(tvb_get_letohl(tvb, 8));
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
    };

    static gint *ett[] = {
        &ett_ovk5seq,
    };

    static ei_register_info ei[] = {
        { &ei_ovk5seq_missing_frames,
          { "ovk5seq.missing_frames", PI_SEQUENCE, PI_ERROR,
            "Missing frames between this and last frame.", EXPFILL }
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

    // No preferences of its own; applying preferences refreshes the
    // Ethernet dissector look-up.
    prefs_register_protocol(proto_ovk5seq, proto_reg_handoff_ovk5seq);
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
