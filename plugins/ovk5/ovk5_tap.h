// SPDX-License-Identifier: GPL-2.0-or-later
// What the OVK5 dissector hands to listeners of its tap "ovk5", once for
// every OVK5 header it decodes.
#ifndef OVK5_TAP_H
#define OVK5_TAP_H

#include <epan/packet.h>

constexpr const char ovk5_tap_name[] = "ovk5";

struct ovk5_tap_info {
    guint16 blob_size;
    guint8 interface_id;
    guint16 rid0;
    guint16 rid1;
    nstime_t hw_time;     // the header's time stamp
    tvbuff_t *frame_tvb;  // the Ethernet frame after the header
};

#endif
