// Ovkan Link Protocol 5 (OVK5): a 16-byte little-endian metadata header
// carried in TCP or UDP payloads, followed by the Ethernet frame it
// describes.

#include <epan/expert.h>
#include <epan/packet.h>
#include <epan/prefs.h>
#include <epan/range.h>
#include <epan/tap.h>
#include <epan/dissectors/packet-tcp.h>

#include "ethernet_handoff.h"
#include "ovk5_tap.h"
#include "wireshark_compat.h"

void proto_register_ovk5(void);
void proto_reg_handoff_ovk5(void);

namespace {

constexpr guint ovk5_header_length = 16;
constexpr guint32 ovk5_max_port = 65535;
// OVK5 headers one packet may nest (a frame carrying OVK5 that carries
// OVK5...). Without a bound, a crafted packet recurses until the analyser's
// layer limit, which it reports as a dissector bug.
constexpr unsigned ovk5_max_nesting = 8;

int proto_ovk5 = -1;
int hf_ovk5_bs = -1;
int hf_ovk5_if = -1;
int hf_ovk5_res = -1;
int hf_ovk5_ts = -1;
int hf_ovk5_rid0 = -1;
int hf_ovk5_rid1 = -1;
int ett_ovk5 = -1;
int ovk5_tap = -1;

expert_field ei_ovk5_nested_too_deep = EI_INIT;

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
    proto_tree_add_item(ovk5_tree, hf_ovk5_ts, tvb, 4, 8, ENC_LITTLE_ENDIAN);
    proto_tree_add_item(ovk5_tree, hf_ovk5_rid0, tvb, 12, 2, ENC_LITTLE_ENDIAN);
    proto_tree_add_item(ovk5_tree, hf_ovk5_rid1, tvb, 14, 2, ENC_LITTLE_ENDIAN);

    // "Blob size" is informative only: the frame is everything after the header.
    tvbuff_t *next_tvb = tvb_new_subset_remaining(tvb, ovk5_header_length);

    if (have_tap_listener(ovk5_tap)) {
        ovk5_tap_info *info = wmem_new(pinfo->pool, ovk5_tap_info);
        info->blob_size = tvb_get_letohs(tvb, 0);
        info->interface_id = tvb_get_uint8(tvb, 2);
        info->hw_time.secs = tvb_get_letohl(tvb, 4);
        info->hw_time.nsecs = static_cast<int>(tvb_get_letohl(tvb, 8));
        info->rid0 = tvb_get_letohs(tvb, 12);
        info->rid1 = tvb_get_letohs(tvb, 14);
        info->frame_tvb = next_tvb;
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
    };

    static gint *ett[] = {
        &ett_ovk5,
    };

    static ei_register_info ei[] = {
        { &ei_ovk5_nested_too_deep,
          { "ovk5.nested_too_deep", PI_MALFORMED, PI_ERROR,
            "OVK5 nested too deeply; the frame inside is not decoded", EXPFILL }
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

    module_t *ovk5_module = prefs_register_protocol(proto_ovk5, proto_reg_handoff_ovk5);
    prefs_register_range_preference(ovk5_module, "tcp.port", "OVK5 TCP Ports",
                                    "TCP Ports range", &tcp_ports, ovk5_max_port);
    prefs_register_range_preference(ovk5_module, "udp.port", "OVK5 UDP Ports",
                                    "UDP Ports range", &udp_ports, ovk5_max_port);
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
        initialized = true;
    }

    if (ports_bound)
        bind_ports();
}
