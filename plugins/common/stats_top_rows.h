// SPDX-License-Identifier: GPL-2.0-or-later
// Rows at the top of a statistics tree, added in constant time. The stats
// tree appends a new row after walking every row beside it, so a tree
// with a row per sender took time quadratic in senders (minutes for
// 50,000). While a top row is looked up, the root's list of rows is handed
// over as starting at its last row; the tree finds existing rows by name,
// never through that list.
#ifndef OVK_STATS_TOP_ROWS_H
#define OVK_STATS_TOP_ROWS_H

#include <epan/stats_tree.h>
#include <epan/stats_tree_priv.h>

// Each open tree's last top row.
inline GHashTable *&ovk_stats_last_top_rows()
{
    static GHashTable *last_rows = nullptr;
    return last_rows;
}

// For the tree's init and cleanup routines: a tree made anew has none of
// its former rows.
inline void ovk_stats_forget_top_rows(stats_tree *st)
{
    if (ovk_stats_last_top_rows())
        g_hash_table_remove(ovk_stats_last_top_rows(), st);
}

// increase_stat_node() of the top row name.
inline int ovk_stats_top_row(stats_tree *st, const char *name, gint value, gboolean with_children)
{
    GHashTable *&last_rows = ovk_stats_last_top_rows();
    if (!last_rows)
        last_rows = g_hash_table_new(g_direct_hash, g_direct_equal);
    stat_node *root = &st->root;
    stat_node *const first = root->children;
    auto *last = first ? static_cast<stat_node *>(g_hash_table_lookup(last_rows, st)) : nullptr;
    if (first && !last)
        for (last = first; last->next; last = last->next) {
        }
    if (last)
        root->children = last;
    const int id = increase_stat_node(st, name, 0, with_children, value);
    if (last) {
        root->children = first;
        if (last->next)
            last = last->next;
    } else {
        last = root->children;
    }
    g_hash_table_insert(last_rows, st, last);
    return id;
}

#endif
