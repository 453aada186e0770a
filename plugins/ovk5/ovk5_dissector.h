// SPDX-License-Identifier: GPL-2.0-or-later
// What the parts of the OVK5 dissector share: the registered ids and
// preferences they use beyond their own file, and each part's entry points.
// packet-ovk5.cpp: the header and its frame, registration;
// ovk5_ports.cpp: the port binding; ovk5_analysis.cpp: the per-stream
// analysis and its store; ovk5_tcp_framing.cpp: records framed on TCP
// streams; ovk5_datagram.cpp: records sharing a UDP payload;
// ovk5_heuristics.cpp: OVK5 found by its content; ovk5_stats.cpp: the
// statistics tree.
#ifndef OVK5_DISSECTOR_H
#define OVK5_DISSECTOR_H

#include <epan/expert.h>
#include <epan/packet.h>
#include <epan/range.h>
#include <epan/stats_tree.h>

#include "hardware_time.h"
#include "ovk_record_format.h"
#include "wireshark_compat.h"

namespace ovk5 {

constexpr guint32 ovk5_max_port = 65535;

extern int proto_ovk5;
extern int hf_ovk5_prev_frame;
extern int hf_ovk5_ts_delta;
extern int hf_ovk5_record_part;
extern int ovk5_damage_tap;
extern expert_field ei_ovk5_stream_gap;
extern expert_field ei_ovk5_bytes_skipped;
extern expert_field ei_ovk5_not_captured;
extern expert_field ei_ovk5_record_cut;
extern expert_field ei_ovk5_ts_backwards;
extern expert_field ei_ovk5_late;
extern expert_field ei_ovk5_more_records;

// The dissector "ovk5": Decode As, udpdump's payload, Export PDU, Lua.
extern dissector_handle_t ovk5_handle;

// Per-dissection data (the packet's pool) and per-frame data (file scope),
// under proto_ovk5: the analysis' count of headers, the framing's.
constexpr guint32 header_count_key = 0;
constexpr guint32 nesting_depth_key = 0x4f560000;
constexpr guint32 payload_count_key = 0x4f560001;
// File-scope plans of a frame's TCP payloads: this key plus their place
// among the frame's OVK5 TCP payloads.
constexpr guint32 segment_plan_key = 0x4f570000;

// The addresses and ports of the packet carrying records: the frame inside
// one record replaces pinfo's, yet each record is the carrier's.
struct ovk5_carrier {
    address src;
    address dst;
    guint32 srcport;
    guint32 destport;
    port_type ptype;
};

inline ovk5_carrier ovk5_save_carrier(const packet_info *pinfo)
{
    ovk5_carrier carrier;
    copy_address_shallow(&carrier.src, &pinfo->src);
    copy_address_shallow(&carrier.dst, &pinfo->dst);
    carrier.srcport = pinfo->srcport;
    carrier.destport = pinfo->destport;
    carrier.ptype = pinfo->ptype;
    return carrier;
}

inline void ovk5_restore_carrier(packet_info *pinfo, const ovk5_carrier &carrier)
{
    copy_address_shallow(&pinfo->src, &carrier.src);
    copy_address_shallow(&pinfo->dst, &carrier.dst);
    pinfo->srcport = carrier.srcport;
    pinfo->destport = carrier.destport;
    pinfo->ptype = carrier.ptype;
}

// packet-ovk5.cpp

// One record: its header, then its frame.
int dissect_ovk5(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *);
// A per-dissection counter of the packet, starting at 0.
guint32 *packet_counter(packet_info *pinfo, guint32 key);

// ovk5_analysis.cpp

struct header_analysis {
    guint32 prev_frame;            // 0: the stream's first header
    ovk_hardware_time last_valid;  // invalid: no valid time stamp before
    bool late;                     // behind last_valid, and the stream went on from before it
    // First pass only: a step back that the stream's next time stamp will
    // settle, and an earlier step back this one settled as late.
    bool step_pending;
    bool settled_late;
};

bool analyse_header(packet_info *pinfo, guint8 interface_id, const ovk_hardware_time &header_time,
                    header_analysis *analysis);
bool delivery_delay(const packet_info *pinfo, const ovk_hardware_time &header_time, gint64 *delay_ns);
bool time_step(const header_analysis &analysis, const ovk_hardware_time &header_time, gint64 *delta_ns);
void add_analysis(proto_tree *tree, packet_info *pinfo, tvbuff_t *tvb, const ovk_hardware_time &header_time,
                  const header_analysis &analysis);
void register_analysis();

// ovk5_tcp_framing.cpp

extern ovk_pref_bool tcp_desegment;
// What the port tables call: with ovk5.tcp.desegment on, a TCP payload is
// a stretch of a stream of records; a UDP payload may hold several records;
// anything else is one record.
int dissect_ovk5_payload(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *data);
// Makes the framing of this segment's direction, when it starts with it,
// search for its first record boundary instead of taking the segment's
// first byte for one.
void search_stream_from(packet_info *pinfo, const struct tcpinfo *tcpinfo);
void register_tcp_framing();

// ovk5_datagram.cpp

// A UDP payload: several records when it is exactly a chain of plausible
// records, otherwise one record.
int dissect_ovk5_datagram(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *data);

// ovk5_ports.cpp

extern range_t *tcp_ports;
extern range_t *udp_ports;
extern bool ports_bound;
void free_bound_ranges();
void bind_ports();
void bind_ports_first_time();

// ovk5_heuristics.cpp

ovk_heur_result dissect_ovk5_heur_udp(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *data);
ovk_heur_result dissect_ovk5_heur_tcp(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *data);

// ovk5_stats.cpp

tap_packet_status ovk5_stats_packet(stats_tree *st, packet_info *, epan_dissect_t *, const void *data, tap_flags_t);
// The tree's init and cleanup routine.
void ovk5_stats_init(stats_tree *st);

} // namespace ovk5

#endif
