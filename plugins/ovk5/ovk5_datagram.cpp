// SPDX-License-Identifier: GPL-2.0-or-later
// A UDP payload holding several OVK5 records back to back, as a sender
// batching records into one datagram writes them.

#include "ovk5_dissector.h"
#include "ovk5_record.h"

namespace ovk5 {

namespace {

// How many records make up a payload that is exactly a chain of plausible
// records; 0 when it is not one. The last record may be cut by the
// snap length before it can be checked, as long as its Blob size ends the
// payload.
guint32 chained_records(tvbuff_t *tvb)
{
    const guint length = tvb_reported_length(tvb);
    const ovk5_chain chain = ovk5_walk_tvb(tvb, 0, ovk5_dissector_rule(nullptr, 0));
    if (chain.stop == ovk5_chain_stop::exact)
        return static_cast<guint32>(chain.records);
    const gint last = static_cast<gint>(chain.end);
    if (chain.stop != ovk5_chain_stop::incomplete || chain.records == 0
        || tvb_captured_length_remaining(tvb, last) < static_cast<gint>(ovk5_header_length))
        return 0;
    const guint last_end = chain.end + ovk5_header_length + tvb_get_letohs(tvb, last + ovk5_blob_size_offset);
    return last_end == length ? static_cast<guint32>(chain.records + 1) : 0;
}

} // namespace

int dissect_ovk5_datagram(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *data)
{
    // Nearly every datagram is one record its Blob size fills exactly:
    // nothing to check.
    const guint length = tvb_reported_length(tvb);
    if (tvb_captured_length(tvb) < ovk5_header_length
        || ovk5_header_length + tvb_get_letohs(tvb, ovk5_blob_size_offset) >= length)
        return dissect_ovk5(tvb, pinfo, tree, data);
    const guint32 records = chained_records(tvb);
    if (records < 2)
        return dissect_ovk5(tvb, pinfo, tree, data);

    const ovk5_carrier carrier = ovk5_save_carrier(pinfo);
    guint offset = 0;
    for (guint32 i = 0; i < records; ++i) {
        const guint size = ovk5_header_length + tvb_get_letohs(tvb, static_cast<gint>(offset + ovk5_blob_size_offset));
        ovk5_restore_carrier(pinfo, carrier);
        dissect_ovk5(tvb_new_subset_length(tvb, static_cast<gint>(offset), static_cast<gint>(size)), pinfo, tree,
                     data);
        offset += size;
    }
    return tvb_captured_length(tvb);
}

} // namespace ovk5
