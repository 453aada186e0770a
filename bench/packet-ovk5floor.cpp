// SPDX-License-Identifier: GPL-2.0-or-later
// Benchmark floor for OVK5 and OVK5SEQ: what any dissector on the OVK5
// ports or of link-type 150 records costs at the least, the hand-off of the
// frame behind the header to Ethernet.

#include <epan/packet.h>
#include <wiretap/wtap.h>

#include "ethernet_handoff.h"
#include "ovk_record_format.h"

void proto_register_ovk5floor(void);
void proto_reg_handoff_ovk5floor(void);

namespace {

// Both headers are of one length.
static_assert(ovk5_header_length == ovk5seq_header_length, "one floor for both");
constexpr guint header_length = ovk5_header_length;

int proto_ovk5floor = -1;
dissector_handle_t eth_handle = nullptr;

int dissect_ovk5floor(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *)
{
    if (tvb_reported_length(tvb) < header_length)
        return 0;
    ovk_call_ethernet(eth_handle, tvb_new_subset_remaining(tvb, header_length), pinfo, tree);
    return tvb_captured_length(tvb);
}

} // namespace

void proto_register_ovk5floor(void)
{
    proto_ovk5floor = proto_register_protocol("OVK5 benchmark floor", "OVK5FLOOR", "ovk5floor");
}

void proto_reg_handoff_ovk5floor(void)
{
    eth_handle = ovk_find_ethernet_dissector(proto_ovk5floor);
    dissector_handle_t handle = create_dissector_handle(dissect_ovk5floor, proto_ovk5floor);
    dissector_add_uint("udp.port", ovk5_default_udp_port, handle);
    dissector_add_uint("tcp.port", ovk5_default_tcp_port, handle);
    dissector_add_uint("wtap_encap", WTAP_ENCAP_USER3, handle);
}
