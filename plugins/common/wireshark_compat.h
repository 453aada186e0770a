// What differs between the Wireshark series the project builds for (4.0,
// 4.4 and 4.6), kept in this one header so the dissectors, the plug-in
// frame and the tests read the same everywhere.
#ifndef OVK_WIRESHARK_COMPAT_H
#define OVK_WIRESHARK_COMPAT_H

#include <ws_version.h>
#include <epan/epan.h>
#include <epan/proto.h>
#include <epan/stats_tree.h>
#include <epan/tvbuff.h>
#include <wiretap/wtap.h>
#include <wsutil/filesystem.h>
#include <wsutil/wslog.h>

#define OVK_WIRESHARK_AT_LEAST(major, minor)                                                   \
    (WIRESHARK_VERSION_MAJOR > (major) ||                                                      \
     (WIRESHARK_VERSION_MAJOR == (major) && WIRESHARK_VERSION_MINOR >= (minor)))

// 4.4 renamed tvb_get_guint8 and deprecates the old name.
#if !OVK_WIRESHARK_AT_LEAST(4, 4)
inline guint8 tvb_get_uint8(tvbuff_t *tvb, const gint offset)
{
    return tvb_get_guint8(tvb, offset);
}
#endif

// Storage of a boolean preference: gboolean up to 4.2, bool from 4.4.
#if OVK_WIRESHARK_AT_LEAST(4, 4)
using ovk_pref_bool = bool;
#else
using ovk_pref_bool = gboolean;
#endif

// Wireshark's statistics window calls a tree's initialisation on every
// reset without checking for one; trees whose rows all appear with their
// first packet need nothing done.
inline void ovk_stats_tree_no_init(stats_tree *) {}

// A plug-in's statistics tree, shown as "-z abbr,tree" in tshark and under
// path in Wireshark's Statistics menu, fed by the tap tap_name. Its rows
// are sorted by name, so every report lists them in the same order. From
// 4.4 the registration returns the tree's configuration (to set its menu
// group or first column's name, which 4.0 cannot); the defaults serve here.
inline void ovk_register_stats_tree(const char *tap_name, const char *abbr, const char *path,
                                    stat_tree_packet_cb packet)
{
    stats_tree_register_plugin(tap_name, abbr, path, ST_SORT_COL_NAME << ST_FLG_SRTCOL_SHIFT, packet,
                               ovk_stats_tree_no_init, nullptr);
}

// From 4.4 the loader asks a plug-in what it provides (plugin_describe);
// without the answer "tshark -G plugins" lists it as of type "unknown".
#if OVK_WIRESHARK_AT_LEAST(4, 4)
#include <wsutil/plugins.h>
#define OVK_PLUGIN_DESCRIBE 1
#endif

// The value of a field: a member of field_info up to 4.0, a pointer from 4.2.
inline const fvalue_t *ovk_field_value(const field_info *fi)
{
#if OVK_WIRESHARK_AT_LEAST(4, 2)
    return fi->value;
#else
    return &fi->value;
#endif
}

// Start-up of a program that links libwireshark itself (the tests): 4.6
// dropped the program name from ws_log_init and the folder name from
// configuration_init.
inline void ovk_log_init(const char *progname)
{
#if OVK_WIRESHARK_AT_LEAST(4, 6)
    (void)progname;
    ws_log_init(nullptr);
#else
    ws_log_init(progname, nullptr);
#endif
}

inline char *ovk_configuration_init(const char *arg0)
{
#if OVK_WIRESHARK_AT_LEAST(4, 6)
    return configuration_init(arg0);
#else
    return configuration_init(const_cast<char *>(arg0), nullptr);
#endif
}

// An empty packet record of link-layer encapsulation encap. 4.6 records
// also carry their type's name, which the frame dissector shows.
inline void ovk_packet_rec_init(wtap_rec *rec, int encap)
{
#if OVK_WIRESHARK_AT_LEAST(4, 6)
    wtap_rec_init(rec, 0);
    wtap_setup_packet_rec(rec, encap);
#else
    wtap_rec_init(rec);
    rec->rec_type = REC_TYPE_PACKET;
    rec->rec_header.packet_header.pkt_encap = encap;
#endif
}

// Dissects the record rec with the bytes data (caplen captured of len):
// up to 4.4 the bytes come as a tvb of their own, from 4.6 inside the
// record, whose buffer the dissection then reads.
inline void ovk_dissect_record(epan_dissect_t *edt, wtap_rec *rec, const guint8 *data, guint32 caplen,
                               guint32 len, frame_data *fd, struct epan_column_info *cinfo)
{
#if OVK_WIRESHARK_AT_LEAST(4, 6)
    (void)len;
    ws_buffer_append(&rec->data, data, caplen);
    epan_dissect_run(edt, WTAP_FILE_TYPE_SUBTYPE_UNKNOWN, rec, fd, cinfo);
#else
    tvbuff_t *tvb = tvb_new_real_data(data, caplen, static_cast<gint>(len));
    epan_dissect_run(edt, WTAP_FILE_TYPE_SUBTYPE_UNKNOWN, rec, tvb, fd, cinfo);
#endif
}

#endif
