// SPDX-License-Identifier: GPL-2.0-or-later
// What differs between the Wireshark series that only the in-process test
// harness needs, besides what it shares with the tools
// (tools/common/wiretap_compat.h); the plug-ins' own differences are in
// plugins/common/wireshark_compat.h.
#ifndef OVK_TESTS_EPAN_COMPAT_H
#define OVK_TESTS_EPAN_COMPAT_H

#include <epan/epan.h>
#include <epan/epan_dissect.h>
#include <epan/proto.h>
#include <wiretap/wtap.h>

#include "wiretap_compat.h"

// The value of a field: a member of field_info up to 4.0, a pointer from 4.2.
inline const fvalue_t *ovk_field_value(const field_info *fi)
{
#if OVK_WIRESHARK_AT_LEAST(4, 2)
    return fi->value;
#else
    return &fi->value;
#endif
}

// Dissects the record rec with the bytes data (caplen captured of len),
// taps included: up to 4.4 the bytes come as a tvb of their own, from 4.6
// inside the record, whose buffer the dissection then reads.
inline void ovk_dissect_record(epan_dissect_t *edt, wtap_rec *rec, const guint8 *data, guint32 caplen,
                               guint32 len, frame_data *fd, struct epan_column_info *cinfo)
{
#if OVK_WIRESHARK_AT_LEAST(4, 6)
    (void)len;
    ws_buffer_append(&rec->data, data, caplen);
    epan_dissect_run_with_taps(edt, WTAP_FILE_TYPE_SUBTYPE_UNKNOWN, rec, fd, cinfo);
#else
    tvbuff_t *tvb = tvb_new_real_data(data, caplen, static_cast<gint>(len));
    epan_dissect_run_with_taps(edt, WTAP_FILE_TYPE_SUBTYPE_UNKNOWN, rec, tvb, fd, cinfo);
#endif
}

#endif
