// SPDX-License-Identifier: GPL-2.0-or-later
// What differs between the Wireshark series the plug-ins build for (4.0,
// 4.4 and 4.6), kept in this one header so the dissectors and the plug-in
// frame read the same everywhere.
#ifndef OVK_WIRESHARK_COMPAT_H
#define OVK_WIRESHARK_COMPAT_H

#include <ws_version.h>
#include <epan/stats_tree.h>
#include <epan/tvbuff.h>

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

// What a heuristic dissector and a wmem allocator's callback return:
// gboolean up to 4.2, bool from 4.4.
#if OVK_WIRESHARK_AT_LEAST(4, 4)
using ovk_heur_result = bool;
using ovk_wmem_cb_result = bool;
#else
using ovk_heur_result = gboolean;
using ovk_wmem_cb_result = gboolean;
#endif

// Wireshark's statistics window calls a tree's initialisation on every
// reset without checking for one; trees whose rows all appear with their
// first packet need nothing done.
inline void ovk_stats_tree_no_init(stats_tree *) {}

// A plug-in's statistics tree, shown as "-z abbr,tree" in tshark and under
// path in Wireshark's Statistics menu, fed by the tap tap_name. Its rows
// are sorted by name, so every report lists them in the same order. From
// 4.4 the registration returns the tree's configuration, through which the
// tree joins the menu group group (-1: the default); 4.0 cannot set it and
// lists plug-in trees under the menu's own unsorted part. init runs on
// every reset of the tree, cleanup when it goes.
inline void ovk_register_stats_tree(const char *tap_name, const char *abbr, const char *path,
                                    stat_tree_packet_cb packet, int group = -1,
                                    stat_tree_init_cb init = ovk_stats_tree_no_init,
                                    stat_tree_cleanup_cb cleanup = nullptr)
{
#if OVK_WIRESHARK_AT_LEAST(4, 4)
    stats_tree_cfg *config = stats_tree_register_plugin(tap_name, abbr, path,
                                                        ST_SORT_COL_NAME << ST_FLG_SRTCOL_SHIFT, packet, init,
                                                        cleanup);
    if (group >= 0)
        stats_tree_set_group(config, static_cast<register_stat_group_t>(group));
#else
    (void)group;
    stats_tree_register_plugin(tap_name, abbr, path, ST_SORT_COL_NAME << ST_FLG_SRTCOL_SHIFT, packet, init,
                               cleanup);
#endif
}

// From 4.4 the loader asks a plug-in what it provides (plugin_describe);
// without the answer "tshark -G plugins" lists it as of type "unknown".
#if OVK_WIRESHARK_AT_LEAST(4, 4)
#include <wsutil/plugins.h>
#define OVK_PLUGIN_DESCRIBE 1
#endif

#endif
