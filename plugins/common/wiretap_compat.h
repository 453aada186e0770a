// SPDX-License-Identifier: GPL-2.0-or-later
// Reading and writing capture records the same way on every Wireshark
// series the project builds for. Up to 4.4 a record's bytes travel beside it
// in a Buffer; from 4.6 they live inside the record. Only the tools that
// read and write capture files (ovk5-export) need this.
#ifndef OVK_WIRETAP_COMPAT_H
#define OVK_WIRETAP_COMPAT_H

#include <epan/epan.h>
#include <epan/epan_dissect.h>
#include <epan/frame_data.h>
#include <wiretap/wtap.h>
#include <wsutil/buffer.h>

#include "wireshark_compat.h"

// A record and the bytes it carries, as wtap_read fills them in.
struct ovk_read_record {
    wtap_rec rec;
#if !OVK_WIRESHARK_AT_LEAST(4, 6)
    Buffer buf;
#endif
};

inline void ovk_read_record_init(ovk_read_record *r)
{
#if OVK_WIRESHARK_AT_LEAST(4, 6)
    wtap_rec_init(&r->rec, 1514);
#else
    wtap_rec_init(&r->rec);
    ws_buffer_init(&r->buf, 1514);
#endif
}

inline void ovk_read_record_cleanup(ovk_read_record *r)
{
    wtap_rec_cleanup(&r->rec);
#if !OVK_WIRESHARK_AT_LEAST(4, 6)
    ws_buffer_free(&r->buf);
#endif
}

// Reads the next record; what the previous one left (its options block)
// is released first.
inline bool ovk_read(wtap *wth, ovk_read_record *r, int *err, gchar **err_info, gint64 *offset)
{
    wtap_rec_reset(&r->rec);
#if OVK_WIRESHARK_AT_LEAST(4, 6)
    return wtap_read(wth, &r->rec, err, err_info, offset);
#else
    return wtap_read(wth, &r->rec, &r->buf, err, err_info, offset);
#endif
}

inline const guint8 *ovk_record_bytes(const ovk_read_record *r)
{
#if OVK_WIRESHARK_AT_LEAST(4, 6)
    return ws_buffer_start_ptr(&r->rec.data);
#else
    return ws_buffer_start_ptr(&r->buf);
#endif
}

// Dissects the record just read, running the taps; the dissection's
// buffers stay valid until epan_dissect_reset.
inline void ovk_dissect_read_record(epan_dissect_t *edt, int file_type_subtype, ovk_read_record *r,
                                    frame_data *fd)
{
#if OVK_WIRESHARK_AT_LEAST(4, 6)
    epan_dissect_run_with_taps(edt, file_type_subtype, &r->rec, fd, nullptr);
#else
    const wtap_packet_header &hdr = r->rec.rec_header.packet_header;
    tvbuff_t *tvb = tvb_new_real_data(ws_buffer_start_ptr(&r->buf), hdr.caplen, static_cast<gint>(hdr.len));
    epan_dissect_run_with_taps(edt, file_type_subtype, &r->rec, tvb, fd, nullptr);
#endif
}

// Writes the packet record rec whose bytes are data (caplen of them, as
// rec says). From 4.6 the bytes are copied into the record first.
inline bool ovk_dump_packet(wtap_dumper *wdh, wtap_rec *rec, const guint8 *data, int *err, gchar **err_info)
{
#if OVK_WIRESHARK_AT_LEAST(4, 6)
    ws_buffer_clean(&rec->data);
    ws_buffer_append(&rec->data, data, rec->rec_header.packet_header.caplen);
    return wtap_dump(wdh, rec, err, err_info);
#else
    return wtap_dump(wdh, rec, data, err, err_info);
#endif
}

#endif
