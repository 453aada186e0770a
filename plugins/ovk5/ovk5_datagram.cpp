// SPDX-License-Identifier: GPL-2.0-or-later
// A UDP payload: one OVK5 record, or several back to back as a sender
// batching records into one datagram writes them, framed by the record
// module's rule, which the live capture follows too.

#include "ovk5_dissector.h"
#include "ovk5_record.h"

namespace ovk5 {

int dissect_ovk5_datagram(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *data)
{
    const ovk5_datagram_framing framing = ovk5_frame_datagram(ovk5_captured_run(tvb, 0, tvb_reported_length(tvb)));
    if (framing.records < 2)
        return dissect_ovk5(tvb, pinfo, tree, data);

    const ovk5_carrier carrier = ovk5_save_carrier(pinfo);
    guint offset = 0;
    for (std::size_t i = 0; i < framing.records; ++i) {
        const guint size = ovk5_header_length + tvb_get_letohs(tvb, static_cast<gint>(offset + ovk5_blob_size_offset));
        ovk5_restore_carrier(pinfo, carrier);
        dissect_ovk5(tvb_new_subset_length(tvb, static_cast<gint>(offset), static_cast<gint>(size)), pinfo, tree,
                     data);
        offset += size;
    }
    return tvb_captured_length(tvb);
}

} // namespace ovk5
