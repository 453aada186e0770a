// SPDX-License-Identifier: GPL-2.0-or-later
// Hand-on of the Ethernet frame that follows a metadata header, shared by
// the plug-ins.
#ifndef OVK_ETHERNET_HANDOFF_H
#define OVK_ETHERNET_HANDOFF_H

#include <epan/packet.h>

// The analyser's Ethernet dissector that honours the user's "Assume packets
// have FCS" preference. Wireshark 4 has no dissector named plain "eth".
constexpr const char ovk_ethernet_dissector_name[] = "eth_maybefcs";

// The look-up also records that proto calls it, as the analyser's own
// dissectors do, for the dependency lists of "Enabled Protocols".
inline dissector_handle_t ovk_find_ethernet_dissector(int proto)
{
    return find_dissector_add_dependency(ovk_ethernet_dissector_name, proto);
}

// Passes frame_tvb to the Ethernet dissector. Without one (a look-up that
// found nothing) the bytes go to the data dissector instead: a null handle
// given to call_dissector is a dissector bug.
inline void ovk_call_ethernet(dissector_handle_t eth_handle, tvbuff_t *frame_tvb,
                              packet_info *pinfo, proto_tree *tree)
{
    if (eth_handle)
        call_dissector(eth_handle, frame_tvb, pinfo, tree);
    else
        call_data_dissector(frame_tvb, pinfo, tree);
}

#endif
