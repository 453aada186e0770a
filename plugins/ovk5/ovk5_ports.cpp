// SPDX-License-Identifier: GPL-2.0-or-later
// Binding OVK5 to the ports its preferences name, giving each port it
// leaves back to what held it before.

#include <epan/prefs.h>
#include <epan/range.h>

#include "ovk5_dissector.h"

namespace ovk5 {

// The port-range preferences. The preference code owns the ranges these
// point at and replaces them when the user changes a preference.
range_t *tcp_ports = nullptr;
range_t *udp_ports = nullptr;

namespace {

// Our own copies of the ranges last entered in the tables, allocated with
// the NULL scope (g_malloc) and freed with g_free.
range_t *tcp_ports_bound = nullptr;
range_t *udp_ports_bound = nullptr;

// What each port held before OVK5 took it, given back when OVK5 leaves the
// port (a borrowed UDP 53 must decode as DNS again).
dissector_handle_t tcp_previous_owner[ovk5_max_port + 1];
dissector_handle_t udp_previous_owner[ovk5_max_port + 1];

} // namespace

// The first binding waits for the first dissection session, so that the
// Decode As choices of the command line and the profile are in the tables
// by then: one that picks OVK5 for a port OVK5 has not taken yet stays a
// user's choice the port preferences never undo.
bool ports_bound = false;

// At shutdown, before the analyser unloads the plug-in along with the
// pointers to these copies.
void free_bound_ranges()
{
    g_free(tcp_ports_bound);
    g_free(udp_ports_bound);
    tcp_ports_bound = nullptr;
    udp_ports_bound = nullptr;
}

namespace {

// Whether the entry of port is the preferences' binding of OVK5.
bool bound_by_preference(dissector_table_t table, guint32 port)
{
    const dissector_handle_t current = dissector_get_uint_handle(table, port);
    return !dissector_is_uint_changed(table, port) && current == ovk5_handle;
}

// Moves OVK5 in table_name from the ports of old_ports (may be null) to
// those of new_ports, giving each port it leaves back to what held it
// before. Ports whose dissector the user chose with Decode As (the entry
// differs from its initial one) keep that choice.
void rebind_ports(const char *table_name, dissector_handle_t *previous_owner, const range_t *old_ports,
                  const range_t *new_ports)
{
    dissector_table_t table = find_dissector_table(table_name);
    if (old_ports) {
        for (guint i = 0; i < old_ports->nranges; ++i) {
            for (guint32 port = old_ports->ranges[i].low; port <= old_ports->ranges[i].high; ++port) {
                if (value_is_in_range(new_ports, port) || !bound_by_preference(table, port))
                    continue;
                if (previous_owner[port])
                    dissector_add_uint(table_name, port, previous_owner[port]);
                else
                    dissector_delete_uint(table_name, port, ovk5_handle);
                previous_owner[port] = nullptr;
            }
        }
    }
    for (guint i = 0; i < new_ports->nranges; ++i) {
        for (guint32 port = new_ports->ranges[i].low; port <= new_ports->ranges[i].high; ++port) {
            if (dissector_is_uint_changed(table, port) || bound_by_preference(table, port))
                continue;
            previous_owner[port] = dissector_get_uint_handle(table, port);
            dissector_add_uint(table_name, port, ovk5_handle);
        }
    }
}

} // namespace

void bind_ports()
{
    rebind_ports("tcp.port", tcp_previous_owner, tcp_ports_bound, tcp_ports);
    rebind_ports("udp.port", udp_previous_owner, udp_ports_bound, udp_ports);

    free_bound_ranges();
    tcp_ports_bound = range_copy(NULL, tcp_ports);
    udp_ports_bound = range_copy(NULL, udp_ports);
    ports_bound = true;
}

// Run at the start of every dissection session; binds only the first time.
void bind_ports_first_time()
{
    if (!ports_bound)
        bind_ports();
}

} // namespace ovk5
