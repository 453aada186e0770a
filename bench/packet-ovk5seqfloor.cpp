// SPDX-License-Identifier: GPL-2.0-or-later
// Benchmark floor for OVK5SEQ: what any dissector of link-layer type 150
// costs at the least, the hand-off of the frame behind the header to
// Ethernet.

#include <epan/packet.h>
#include <wiretap/wtap.h>

#include "ethernet_handoff.h"

void proto_register_ovk5seqfloor(void);
void proto_reg_handoff_ovk5seqfloor(void);

namespace {

constexpr guint header_length = 16;

int proto_ovk5seqfloor = -1;
dissector_handle_t eth_handle = nullptr;

int dissect_ovk5seqfloor(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *)
{
    if (tvb_reported_length(tvb) < header_length)
        return 0;
    ovk_call_ethernet(eth_handle, tvb_new_subset_remaining(tvb, header_length), pinfo, tree);
    return tvb_captured_length(tvb);
}

} // namespace

void proto_register_ovk5seqfloor(void)
{
    proto_ovk5seqfloor = proto_register_protocol("OVK5SEQ benchmark floor", "OVK5SEQFLOOR", "ovk5seqfloor");
}

void proto_reg_handoff_ovk5seqfloor(void)
{
    eth_handle = ovk_find_ethernet_dissector();
    dissector_add_uint("wtap_encap", WTAP_ENCAP_USER3,
                       create_dissector_handle(dissect_ovk5seqfloor, proto_ovk5seqfloor));
}
