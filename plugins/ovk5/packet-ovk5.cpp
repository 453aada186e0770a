// SPDX-License-Identifier: GPL-2.0-or-later
// Ovkan Link Protocol 5 (OVK5): a 16-byte little-endian metadata header
// carried in TCP or UDP payloads, followed by the Ethernet frame it
// describes.

#include <epan/conversation.h>
#include <epan/exceptions.h>
#include <epan/expert.h>
#include <epan/packet.h>
#include <epan/prefs.h>
#include <epan/proto_data.h>
#include <epan/range.h>
// Declared without C linkage in its header.
extern "C" {
#include <epan/show_exception.h>
}
#include <epan/stats_tree.h>
#include <epan/tap.h>
#include <epan/to_str.h>
#include <epan/dissectors/packet-tcp.h>

#include <cstdio>
#include <cstring>

#include "ethernet_handoff.h"
#include "hardware_time.h"
#include "ovk5_record.h"
#include "ovk5_stream.h"
#include "ovk5_tap.h"
#include "wireshark_compat.h"

void proto_register_ovk5(void);
void proto_reg_handoff_ovk5(void);

namespace {

constexpr guint32 ovk5_max_port = 65535;
// OVK5 headers one packet may nest (a frame carrying OVK5 that carries
// OVK5...). Without a bound, a crafted packet recurses until the analyser's
// layer limit, which it reports as a dissector bug.
constexpr unsigned ovk5_max_nesting = 8;
// Protocol layers kept free for the frame of a record: the analyser
// refuses every dissector call once a packet holds gui.max_tree_depth
// layers, and each record's frame adds its own (Ethernet, IP, UDP...; an
// OVK5 header inside checks again for its own frame).
constexpr guint ovk5_frame_layer_reserve = 32;
// Interface and time stamp: what the analysis reads.
constexpr guint ovk5_analysed_length = ovk5_ts_offset + 8;

int proto_ovk5 = -1;
int hf_ovk5_bs = -1;
int hf_ovk5_if = -1;
int hf_ovk5_res = -1;
int hf_ovk5_ts = -1;
int hf_ovk5_rid0 = -1;
int hf_ovk5_rid1 = -1;
int hf_ovk5_prev_frame = -1;
int hf_ovk5_ts_delta = -1;
int hf_ovk5_delay = -1;
int hf_ovk5_frame = -1;
int hf_ovk5_record_part = -1;
int ett_ovk5 = -1;
int ovk5_tap = -1;
int ovk5_damage_tap = -1;

expert_field ei_ovk5_nested_too_deep = EI_INIT;
expert_field ei_ovk5_frame_not_decoded = EI_INIT;
expert_field ei_ovk5_stream_gap = EI_INIT;
expert_field ei_ovk5_bytes_skipped = EI_INIT;
expert_field ei_ovk5_not_captured = EI_INIT;
expert_field ei_ovk5_record_cut = EI_INIT;
expert_field ei_ovk5_ts_backwards = EI_INIT;
expert_field ei_ovk5_ts_invalid = EI_INIT;

ovk_pref_bool analyze_headers = TRUE;

// A stream: one sender (address and port; over TCP, one connection of
// it) and the header's interface. Two devices both on interface 0 are two
// streams.
struct stream_key {
    address sender;
    guint32 port;
    guint32 connection;  // TCP: the conversation's index + 1; 0 otherwise
    guint8 interface_id;
};

// Where a stream stands on the first pass through the file.
struct stream_state {
    stream_key key;  // the sender's address bytes in file scope
    guint32 last_frame;            // 0: none yet
    ovk_hardware_time last_valid;  // its last valid time stamp; none while invalid
};

guint stream_hash(gconstpointer data)
{
    const auto *key = static_cast<const stream_key *>(data);
    guint hash = add_address_to_hash(key->port, &key->sender);
    return (hash * 31 + key->connection) * 31 + key->interface_id;
}

gboolean stream_equal(gconstpointer a, gconstpointer b)
{
    const auto *x = static_cast<const stream_key *>(a);
    const auto *y = static_cast<const stream_key *>(b);
    return x->port == y->port && x->connection == y->connection && x->interface_id == y->interface_id
           && addresses_equal(&x->sender, &y->sender);
}

// What the first pass found for each OVK5 header, kept in first-pass order
// so that every later dissection shows the same: the stream's previous
// header and its last valid time stamp before this one. The time step is
// worked out again from these and the header. Columns of 14 bytes a
// header, in chunks of records whose frames lie within 65,535 of the
// chunk's first.
constexpr guint32 chunk_records = 4096;
struct record_chunk {
    guint32 base_frame;
    guint32 count;
    guint16 frame_offset[chunk_records];
    guint32 prev_frame[chunk_records];
    guint32 last_secs[chunk_records];
    guint32 last_nsecs[chunk_records];
};

struct header_analysis {
    guint32 prev_frame;            // 0: the stream's first header
    ovk_hardware_time last_valid;  // invalid: no valid time stamp before
};

// The file's streams and records; all in file scope.
wmem_map_t *streams = nullptr;
record_chunk **chunks = nullptr;
guint32 chunk_count = 0;
guint32 chunk_capacity = 0;
// The streams of the last frame's records, in order: tshark -2 -R gives
// the frame after one its filter drops the dropped one's number, and the
// dropped frame's records must then go.
stream_state **frame_streams = nullptr;
guint32 frame_stream_count = 0;
guint32 frame_stream_capacity = 0;

// The arrays above point into the file scope: forgotten whenever that is
// freed, as when a capture file is closed, whoever frees it. (The maps are
// emptied by wmem itself.)
ovk_wmem_cb_result forget_records(wmem_allocator_t *, wmem_cb_event_t, void *)
{
    chunks = nullptr;
    chunk_count = chunk_capacity = 0;
    frame_streams = nullptr;
    frame_stream_count = frame_stream_capacity = 0;
    return TRUE;  // again with the next file
}

// Grows *array (file scope) to hold one more element than count.
template <typename T> void make_room(T **array, guint32 count, guint32 *capacity)
{
    if (count < *capacity)
        return;
    *capacity = *capacity ? *capacity * 2 : 64;
    *array = static_cast<T *>(wmem_realloc(wmem_file_scope(), *array, *capacity * sizeof **array));
}

constexpr ovk_hardware_time no_time = {0, G_MAXUINT32};

// Per-dissection count of the frame's OVK5 headers analysed so far.
constexpr guint32 header_count_key = 0;

// Where this header stands among the OVK5 headers of its frame, counted in
// dissection order: outer before inner, first record before the next.
guint32 next_header_index(packet_info *pinfo)
{
    auto *count = static_cast<guint32 *>(p_get_proto_data(pinfo->pool, pinfo, proto_ovk5, header_count_key));
    if (!count) {
        count = wmem_new0(pinfo->pool, guint32);
        p_add_proto_data(pinfo->pool, pinfo, proto_ovk5, header_count_key, count);
    }
    return (*count)++;
}

guint32 record_frame(const record_chunk *chunk, guint32 slot)
{
    return chunk->base_frame + chunk->frame_offset[slot];
}

const record_chunk *last_chunk()
{
    return chunk_count ? chunks[chunk_count - 1] : nullptr;
}

// Drops the last frame's records and gives their streams back the state
// they had before it.
void drop_last_frame()
{
    while (frame_stream_count) {
        record_chunk *chunk = chunks[chunk_count - 1];
        const guint32 slot = --chunk->count;
        stream_state *state = frame_streams[--frame_stream_count];
        state->last_frame = chunk->prev_frame[slot];
        state->last_valid = {chunk->last_secs[slot], chunk->last_nsecs[slot]};
        if (chunk->count == 0)
            --chunk_count;
    }
}

void append_record(guint32 frame, stream_state *state)
{
    record_chunk *chunk = chunk_count ? chunks[chunk_count - 1] : nullptr;
    if (!chunk || chunk->count == chunk_records || frame - chunk->base_frame > G_MAXUINT16) {
        make_room(&chunks, chunk_count, &chunk_capacity);
        chunk = wmem_new(wmem_file_scope(), record_chunk);
        chunk->base_frame = frame;
        chunk->count = 0;
        chunks[chunk_count++] = chunk;
    }
    const guint32 slot = chunk->count++;
    chunk->frame_offset[slot] = static_cast<guint16>(frame - chunk->base_frame);
    chunk->prev_frame[slot] = state->last_frame;
    chunk->last_secs[slot] = state->last_valid.secs;
    chunk->last_nsecs[slot] = state->last_valid.nsecs;
}

// The index-th record of frame, stored by the first pass.
bool find_record(guint32 frame, guint32 index, header_analysis *found)
{
    // The last chunk starting before frame, where its records may begin.
    guint32 low = 0, high = chunk_count;
    while (low < high) {
        const guint32 mid = (low + high) / 2;
        if (chunks[mid]->base_frame < frame)
            low = mid + 1;
        else
            high = mid;
    }
    guint32 c = low ? low - 1 : 0;
    guint32 slot = 0;
    if (low) {
        const record_chunk *chunk = chunks[c];
        guint32 a = 0, b = chunk->count;
        while (a < b) {
            const guint32 mid = (a + b) / 2;
            if (record_frame(chunk, mid) < frame)
                a = mid + 1;
            else
                b = mid;
        }
        slot = a;
    }
    for (guint32 skip = index + 1;; ++slot) {
        if (c < chunk_count && slot == chunks[c]->count) {
            ++c;
            slot = 0;
        }
        if (c >= chunk_count || record_frame(chunks[c], slot) != frame)
            return false;
        if (--skip == 0)
            break;
    }
    found->prev_frame = chunks[c]->prev_frame[slot];
    found->last_valid = {chunks[c]->last_secs[slot], chunks[c]->last_nsecs[slot]};
    return true;
}

// The stream of the header being dissected, created on its first header.
stream_state *stream_of(packet_info *pinfo, guint8 interface_id)
{
    stream_key key;
    key.sender = pinfo->src;
    key.port = pinfo->srcport;
    key.connection = 0;
    key.interface_id = interface_id;
    if (pinfo->ptype == PT_TCP) {
        const conversation_t *conversation = find_conversation_pinfo(pinfo, 0);
        if (conversation)
            key.connection = conversation->conv_index + 1;
    }
    auto *state = static_cast<stream_state *>(wmem_map_lookup(streams, &key));
    if (!state) {
        state = wmem_new0(wmem_file_scope(), stream_state);
        state->key = key;
        copy_address_wmem(wmem_file_scope(), &state->key.sender, &pinfo->src);
        state->last_valid = no_time;
        wmem_map_insert(streams, &state->key, state);
    }
    return state;
}

// Only on the first pass, in frame order, does a header move its stream's
// state on; later passes read what it stored.
bool analyse_header(packet_info *pinfo, guint8 interface_id, const ovk_hardware_time &time,
                    header_analysis *analysis)
{
    const guint32 index = next_header_index(pinfo);
    if (PINFO_FD_VISITED(pinfo))
        return find_record(pinfo->num, index, analysis);

    const record_chunk *last = last_chunk();
    if (!last || record_frame(last, last->count - 1) != pinfo->num)
        frame_stream_count = 0;
    else if (index == 0)
        // The last frame's number again at a first header: that frame was
        // dropped (or is dissected again); this one starts from before it.
        drop_last_frame();

    stream_state *state = stream_of(pinfo, interface_id);
    analysis->prev_frame = state->last_frame;
    analysis->last_valid = state->last_valid;
    append_record(pinfo->num, state);
    make_room(&frame_streams, frame_stream_count, &frame_stream_capacity);
    frame_streams[frame_stream_count++] = state;

    state->last_frame = pinfo->num;
    if (time.valid())
        state->last_valid = time;
    return true;
}

// The delivery delay: when the capturing host saw the packet, after the
// hardware stamped the header. Unknown without both times.
bool delivery_delay(const packet_info *pinfo, const ovk_hardware_time &time, gint64 *delay_ns)
{
    return pinfo->fd->has_ts && time.valid() && ovk_nanoseconds_since(pinfo->abs_ts, time, delay_ns);
}

// The time step to this header from the stream's last valid time stamp
// before it, into *delta_ns; unknown without both.
bool time_step(const header_analysis &analysis, const ovk_hardware_time &time, gint64 *delta_ns)
{
    if (!analysis.last_valid.valid() || !time.valid())
        return false;
    *delta_ns = ovk_nanoseconds_between(time, analysis.last_valid);
    return true;
}

void add_analysis(proto_tree *tree, packet_info *pinfo, tvbuff_t *tvb, const ovk_hardware_time &time,
                  const header_analysis &analysis)
{
    proto_item *item;
    if (analysis.prev_frame != 0) {
        item = proto_tree_add_uint(tree, hf_ovk5_prev_frame, tvb, 0, 0, analysis.prev_frame);
        proto_item_set_generated(item);
    }
    gint64 delta_ns;
    if (time_step(analysis, time, &delta_ns)) {
        const nstime_t delta = ovk_relative_time(delta_ns);
        item = proto_tree_add_time(tree, hf_ovk5_ts_delta, tvb, ovk5_ts_offset, 8, &delta);
        proto_item_set_generated(item);
        if (delta_ns < 0)
            expert_add_info(pinfo, item, &ei_ovk5_ts_backwards);
    }
}

// The port-range preferences. The preference code owns the ranges these
// point at and replaces them when the user changes a preference.
range_t *tcp_ports = nullptr;
range_t *udp_ports = nullptr;

// Our own copies of the ranges last entered in the tables, allocated with
// the NULL scope (g_malloc) and freed with g_free.
range_t *tcp_ports_bound = nullptr;
range_t *udp_ports_bound = nullptr;

// What each port held before OVK5 took it, given back when OVK5 leaves the
// port (a borrowed UDP 53 must decode as DNS again).
dissector_handle_t tcp_previous_owner[ovk5_max_port + 1];
dissector_handle_t udp_previous_owner[ovk5_max_port + 1];

// Off: a TCP payload is one record, as a sender writing one record per
// segment produces. On: records are framed by their Blob size across and
// within segments.
ovk_pref_bool tcp_desegment = false;

// The dissector "ovk5": Decode As, udpdump's payload, Export PDU, Lua.
dissector_handle_t ovk5_handle = nullptr;
// The first binding waits for the first dissection session, so that the
// Decode As choices of the command line and the profile are in the tables
// by then: one that picks OVK5 for a port OVK5 has not taken yet stays a
// user's choice the port preferences never undo.
bool ports_bound = false;
dissector_handle_t eth_handle = nullptr;

// Per-dissection data of the framing, apart from the analysis' keys.
constexpr guint32 nesting_depth_key = 0x4f560000;
constexpr guint32 payload_count_key = 0x4f560001;
// File-scope plans of a frame's TCP payloads: this key plus their place
// among the frame's OVK5 TCP payloads.
constexpr guint32 segment_plan_key = 0x4f570000;

// A per-dissection counter of the packet, starting at 0.
guint32 *packet_counter(packet_info *pinfo, guint32 key)
{
    auto *count = static_cast<guint32 *>(p_get_proto_data(pinfo->pool, pinfo, proto_ovk5, key));
    if (!count) {
        count = wmem_new0(pinfo->pool, guint32);
        p_add_proto_data(pinfo->pool, pinfo, proto_ovk5, key, count);
    }
    return count;
}

// The Ethernet dissector, with whatever it throws shown in the frame.
// Nothing but the call between setjmp and longjmp.
void call_ethernet_contained(tvbuff_t *frame_tvb, packet_info *pinfo, proto_tree *tree)
{
    TRY {
        ovk_call_ethernet(eth_handle, frame_tvb, pinfo, tree);
    }
    CATCH_BOUNDS_AND_DISSECTOR_ERRORS {
        show_exception(frame_tvb, pinfo, tree, EXCEPT_CODE, GET_MESSAGE);
    }
    ENDTRY;
}

// The frame behind a header. An exception inside it (a frame shorter than
// an Ethernet header, a snapped frame) is shown in that frame and goes no
// further, so the records after it are framed and decoded as ever.
void dissect_frame(tvbuff_t *frame_tvb, packet_info *pinfo, proto_tree *tree, proto_item *ti)
{
    const guint layers = wmem_list_count(pinfo->layers);
    if (layers + ovk5_frame_layer_reserve >= prefs.gui_max_tree_depth) {
        proto_tree_add_item(tree, hf_ovk5_frame, frame_tvb, 0, -1, ENC_NA);
        expert_add_info_format(pinfo, ti, &ei_ovk5_frame_not_decoded,
                               "Frame not decoded: this packet already holds %u protocol layers of the %u "
                               "the analyser decodes (raise the preference gui.max_tree_depth \"Maximum "
                               "tree depth\" to decode it)",
                               layers, prefs.gui_max_tree_depth);
        return;
    }
    guint32 *depth = packet_counter(pinfo, nesting_depth_key);
    if (*depth >= ovk5_max_nesting) {
        expert_add_info(pinfo, ti, &ei_ovk5_nested_too_deep);
        call_data_dissector(frame_tvb, pinfo, tree);
        return;
    }

    const guint32 saved_depth = (*depth)++;
    const char *saved_proto = pinfo->current_proto;
    const guint16 saved_can_desegment = pinfo->can_desegment;
    const guint16 saved_saved_can_desegment = pinfo->saved_can_desegment;
    call_ethernet_contained(frame_tvb, pinfo, tree);
    // What the analyser's dissector calls restore only when they return.
    pinfo->current_proto = saved_proto;
    pinfo->can_desegment = saved_can_desegment;
    pinfo->saved_can_desegment = saved_saved_can_desegment;
    *depth = saved_depth;
}

int dissect_ovk5(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *)
{
    if (tvb_reported_length(tvb) < ovk5_header_length)
        return 0;

    proto_item *ti = proto_tree_add_item(tree, proto_ovk5, tvb, 0, ovk5_header_length, ENC_NA);
    proto_tree *ovk5_tree = proto_item_add_subtree(ti, ett_ovk5);

    proto_tree_add_item(ovk5_tree, hf_ovk5_bs, tvb, ovk5_blob_size_offset, 2, ENC_LITTLE_ENDIAN);
    proto_tree_add_item(ovk5_tree, hf_ovk5_if, tvb, ovk5_if_offset, 1, ENC_LITTLE_ENDIAN);
    proto_tree_add_item(ovk5_tree, hf_ovk5_res, tvb, ovk5_res_offset, 1, ENC_LITTLE_ENDIAN);
    proto_item *ts_item = proto_tree_add_item(ovk5_tree, hf_ovk5_ts, tvb, ovk5_ts_offset, 8, ENC_LITTLE_ENDIAN);
    proto_tree_add_item(ovk5_tree, hf_ovk5_rid0, tvb, ovk5_rid0_offset, 2, ENC_LITTLE_ENDIAN);
    proto_tree_add_item(ovk5_tree, hf_ovk5_rid1, tvb, ovk5_rid1_offset, 2, ENC_LITTLE_ENDIAN);

    header_analysis analysis;
    bool analysed = false;
    ovk_hardware_time time{};
    gint64 delay_ns = 0;
    bool delay_known = false;
    // A header cut short before its time stamp ends is not analysed.
    const bool header_readable = tvb_captured_length(tvb) >= ovk5_analysed_length;
    if (header_readable) {
        time = ovk_read_hardware_time(tvb, ovk5_ts_offset);
        if (analyze_headers || have_tap_listener(ovk5_tap))
            delay_known = delivery_delay(pinfo, time, &delay_ns);
    }
    if (analyze_headers && header_readable) {
        if (!time.valid())
            expert_add_info_format(pinfo, ts_item, &ei_ovk5_ts_invalid,
                                   "Time stamp with %u nanoseconds (over 999,999,999)", time.nsecs);
        // A copy quoted in an ICMP error was sent before: it belongs to no
        // stream's history.
        if (!pinfo->flags.in_error_pkt) {
            analysed = analyse_header(pinfo, tvb_get_uint8(tvb, ovk5_if_offset), time, &analysis);
            if (analysed)
                add_analysis(ovk5_tree, pinfo, tvb, time, analysis);
        }
        if (delay_known) {
            const nstime_t delay = ovk_relative_time(delay_ns);
            proto_item *item = proto_tree_add_time(ovk5_tree, hf_ovk5_delay, tvb, ovk5_ts_offset, 8, &delay);
            proto_item_set_generated(item);
        }
    }

    // "Blob size" is informative only: the frame is everything after the header.
    tvbuff_t *next_tvb = tvb_new_subset_remaining(tvb, ovk5_header_length);

    if (have_tap_listener(ovk5_tap)) {
        ovk5_tap_info *info = wmem_new0(pinfo->pool, ovk5_tap_info);
        info->blob_size = tvb_get_letohs(tvb, ovk5_blob_size_offset);
        info->interface_id = tvb_get_uint8(tvb, ovk5_if_offset);
        info->hw_time.secs = tvb_get_letohl(tvb, ovk5_ts_offset);
        info->hw_time.nsecs = static_cast<int>(tvb_get_letohl(tvb, ovk5_ts_offset + 4));
        info->rid0 = tvb_get_letohs(tvb, ovk5_rid0_offset);
        info->rid1 = tvb_get_letohs(tvb, ovk5_rid1_offset);
        info->frame_tvb = next_tvb;
        info->hw_time_valid = header_readable && time.valid();
        info->delay_known = delay_known;
        if (delay_known)
            info->delay = ovk_relative_time(delay_ns);
        // The sender now: the frame inside replaces pinfo's addresses.
        copy_address_wmem(pinfo->pool, &info->sender, &pinfo->src);
        info->sender_port = pinfo->srcport;
        info->over_tcp = pinfo->ptype == PT_TCP;
        if (analysed) {
            info->analysed = true;
            info->prev_frame = analysis.prev_frame;
            gint64 delta_ns;
            info->ts_delta_known = time_step(analysis, time, &delta_ns);
            if (info->ts_delta_known)
                info->ts_delta = ovk_relative_time(delta_ns);
        }
        tap_queue_packet(ovk5_tap, pinfo, info);
    }

    dissect_frame(next_tvb, pinfo, tree, ti);

    // Written last, so OVK5 replaces what the protocols inside wrote.
    col_clear(pinfo->cinfo, COL_PROTOCOL);
    col_set_str(pinfo->cinfo, COL_PROTOCOL, "OVK5");

    return tvb_captured_length(tvb);
}

// The framing state of each direction of each TCP connection, keyed by
// TCP's own flow of that direction. Forgotten with the file.
wmem_map_t *stream_directions = nullptr;

// TCP's flags of a direction: its SYN (or SYN-ACK) seen, beside the
// sequence number base.
constexpr guint8 tcp_flow_saw_syn = 0x02;
constexpr guint8 tcp_flow_saw_syn_ack = 0x04;

ovk5_stream_direction *stream_direction(packet_info *pinfo, bool *opened_in_capture)
{
    struct tcp_analysis *tcpd = get_tcp_conversation_data(nullptr, pinfo);
    if (!tcpd || !tcpd->fwd)
        return nullptr;
    *opened_in_capture = (tcpd->fwd->static_flags & (tcp_flow_saw_syn | tcp_flow_saw_syn_ack)) != 0;
    auto *direction = static_cast<ovk5_stream_direction *>(wmem_map_lookup(stream_directions, tcpd->fwd));
    if (!direction) {
        direction = wmem_new0(wmem_file_scope(), ovk5_stream_direction);
        wmem_map_insert(stream_directions, tcpd->fwd, direction);
    }
    return direction;
}

// The plan of this TCP payload: made on the first pass, kept with the frame.
const ovk5_segment_plan *segment_plan(tvbuff_t *tvb, packet_info *pinfo, const struct tcpinfo *tcpinfo)
{
    const guint32 key = segment_plan_key + (*packet_counter(pinfo, payload_count_key))++;
    if (PINFO_FD_VISITED(pinfo))
        return static_cast<const ovk5_segment_plan *>(p_get_proto_data(wmem_file_scope(), pinfo, proto_ovk5, key));
    bool opened_in_capture = false;
    ovk5_stream_direction *direction = stream_direction(pinfo, &opened_in_capture);
    if (!direction)
        return nullptr;
    auto *plan = wmem_new(wmem_file_scope(), ovk5_segment_plan);
    *plan = ovk5_plan_segment(direction, tvb, tcpinfo->seq, opened_in_capture, pinfo->pool);
    p_add_proto_data(wmem_file_scope(), pinfo, proto_ovk5, key, plan);
    return plan;
}

void report_damage(packet_info *pinfo, const ovk5_damage_info &damage)
{
    if (!have_tap_listener(ovk5_damage_tap))
        return;
    auto *info = wmem_new(pinfo->pool, ovk5_damage_info);
    *info = damage;
    tap_queue_packet(ovk5_damage_tap, pinfo, info);
}

// An item over the captured bytes of offset and length (a range past them
// is an exception).
proto_item *add_damage(proto_tree *tree, packet_info *pinfo, expert_field *ei, tvbuff_t *tvb, guint32 offset,
                       guint32 length, const char *format, ...) G_GNUC_PRINTF(7, 8);

proto_item *add_damage(proto_tree *tree, packet_info *pinfo, expert_field *ei, tvbuff_t *tvb, guint32 offset,
                       guint32 length, const char *format, ...)
{
    const guint32 captured = tvb_captured_length(tvb);
    const guint32 start = offset < captured ? offset : captured;
    const guint32 end = offset + length < captured ? offset + length : captured;
    va_list args;
    va_start(args, format);
    // In the packet's pool: the tree may throw before the text is freed.
    const char *text = wmem_strdup_vprintf(pinfo->pool, format, args);
    va_end(args);
    return proto_tree_add_expert_format(tree, pinfo, ei, tvb, static_cast<gint>(start),
                                        static_cast<gint>(end > start ? end - start : 0), "%s", text);
}

void show_piece(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, const ovk5_stream_piece &piece)
{
    ovk5_damage_info damage{};
    damage.records_lost = piece.records_lost;
    damage.bytes_missing = piece.missing_before;
    if (piece.missing_before)
        add_damage(tree, pinfo, &ei_ovk5_stream_gap, tvb, piece.offset, 0,
                                     "%u bytes of the TCP stream before this were not captured%s",
                                     piece.missing_before,
                                     piece.records_lost ? "; the record they belong to is lost" : "");

    switch (piece.kind) {
    case ovk5_piece_kind::record: {
        tvbuff_t *record_tvb;
        if (piece.bytes) {
            record_tvb = tvb_new_child_real_data(tvb, piece.bytes, piece.record_captured, piece.record_length);
            add_new_data_source(pinfo, record_tvb, "Reassembled OVK5 record");
        } else {
            record_tvb = tvb_new_subset_length_caplen(tvb, piece.offset, piece.record_captured, piece.record_length);
        }
        if (piece.record_captured < piece.record_length) {
            damage.records_cut = 1;
            add_damage(tree, pinfo, &ei_ovk5_record_cut, tvb, piece.offset, piece.length,
                                         "OVK5 record cut by the snap length: %u of its %u bytes captured",
                                         piece.record_captured, piece.record_length);
        }
        dissect_ovk5(record_tvb, pinfo, tree, nullptr);
        break;
    }
    case ovk5_piece_kind::part: {
        const gint captured = tvb_captured_length_remaining(tvb, static_cast<gint>(piece.offset));
        if (captured > 0)
            proto_tree_add_item(tree, hf_ovk5_record_part, tvb, piece.offset,
                                captured < static_cast<gint>(piece.length) ? captured : static_cast<gint>(piece.length),
                                ENC_NA);
        break;
    }
    case ovk5_piece_kind::skipped:
        damage.bytes_skipped = piece.length;
        add_damage(tree, pinfo, &ei_ovk5_bytes_skipped, tvb, piece.offset, piece.length,
                                     "%u bytes skipped: no OVK5 record boundary is known here (the capture "
                                     "starts inside a record or stream bytes were lost); framing resumes "
                                     "at the next plausible header",
                                     piece.length);
        break;
    case ovk5_piece_kind::not_captured:
        damage.bytes_missing += piece.length;
        add_damage(tree, pinfo, &ei_ovk5_not_captured, tvb, piece.offset, piece.length,
                                     "%u bytes not captured (snap length)%s", piece.length,
                                     piece.records_lost ? ": the records in them are lost" : "");
        break;
    }
    if (damage.records_lost || damage.records_cut || damage.bytes_skipped || damage.bytes_missing)
        report_damage(pinfo, damage);
}

void add_leftovers(gpointer flow, gpointer direction, gpointer total)
{
    const auto *tcp = static_cast<const tcp_flow_t *>(flow);
    const auto *d = static_cast<const ovk5_stream_direction *>(direction);
    auto *leftovers = static_cast<ovk5_stream_leftovers *>(total);
    // Out-of-order segments TCP still holds, waiting for one never captured.
    if (d->started && tcp->ooo_segments)
        leftovers->segments_held_back += wmem_list_count(tcp->ooo_segments);
    if (d->have && d->keep)
        ++leftovers->records_unfinished;
}

// What the port tables call. With ovk5.tcp.desegment on, a TCP payload is
// a stretch of a stream of records, framed here by their Blob size from
// the TCP sequence numbers (the analyser's TCP reassembly is not asked
// for, so records spanning segments are put together whether or not
// tcp.desegment_tcp_streams is on); anything else is one record.
int dissect_ovk5_payload(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *data)
{
    if (!tcp_desegment || pinfo->ptype != PT_TCP || !data || pinfo->flags.in_error_pkt)
        return dissect_ovk5(tvb, pinfo, tree, data);

    const ovk5_segment_plan *plan = segment_plan(tvb, pinfo, static_cast<const struct tcpinfo *>(data));
    if (!plan)
        return dissect_ovk5(tvb, pinfo, tree, data);
    // Each record is the TCP segment's: the carrier's addresses and ports,
    // which the frame inside the one before has replaced, name its stream.
    address carrier_src, carrier_dst;
    copy_address_shallow(&carrier_src, &pinfo->src);
    copy_address_shallow(&carrier_dst, &pinfo->dst);
    const guint32 carrier_srcport = pinfo->srcport;
    const guint32 carrier_destport = pinfo->destport;
    const port_type carrier_ptype = pinfo->ptype;
    bool parts_only = true;
    for (guint32 i = 0; i < plan->count; ++i) {
        copy_address_shallow(&pinfo->src, &carrier_src);
        copy_address_shallow(&pinfo->dst, &carrier_dst);
        pinfo->srcport = carrier_srcport;
        pinfo->destport = carrier_destport;
        pinfo->ptype = carrier_ptype;
        show_piece(tvb, pinfo, tree, plan->pieces[i]);
        parts_only = parts_only && plan->pieces[i].kind == ovk5_piece_kind::part && !plan->pieces[i].missing_before;
    }
    // A segment that only carries part of a record stays TCP's, as with
    // the analyser's own reassembly.
    if (!parts_only) {
        col_clear(pinfo->cinfo, COL_PROTOCOL);
        col_set_str(pinfo->cinfo, COL_PROTOCOL, "OVK5");
    }
    // The frames inside may have asked TCP for more of their own streams:
    // not of this one.
    pinfo->desegment_offset = 0;
    pinfo->desegment_len = 0;
    return tvb_captured_length(tvb);
}

// At shutdown, before the analyser unloads the plug-in along with the
// pointers to these copies.
void free_bound_ranges()
{
    g_free(tcp_ports_bound);
    g_free(udp_ports_bound);
    tcp_ports_bound = nullptr;
    udp_ports_bound = nullptr;
}

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

// The statistics' row of a sender: "192.0.2.1:50000", "[2001:db8::1]:50000",
// with " (TCP)" over TCP.
void sender_row_name(const ovk5_tap_info *info, char *name, std::size_t size)
{
    if (info->sender.type == AT_NONE) {
        g_strlcpy(name, "No sender address", size);
        return;
    }
    char address_text[64];
    address_to_str_buf(&info->sender, address_text, sizeof address_text);
    std::snprintf(name, size, info->sender.type == AT_IPv6 ? "[%s]:%u%s" : "%s:%u%s", address_text,
                  info->sender_port, info->over_tcp ? " (TCP)" : "");
}

// A delay to the nearest microsecond, if the statistics' 32-bit values
// hold it (up to 35 minutes either way).
bool whole_microseconds(const nstime_t &time, gint *microseconds)
{
    const gint64 ns = static_cast<gint64>(time.secs) * ovk_nanoseconds_per_second + time.nsecs;
    const gint64 rounded = (ns >= 0 ? ns + 500 : ns - 500) / 1000;
    if (rounded > G_MAXINT || rounded < G_MININT)
        return false;
    *microseconds = static_cast<gint>(rounded);
    return true;
}

// Statistics: a row per sender; under it a row per stream, "Interface N",
// counting its headers; under that the delivery delay's average, minimum
// and maximum and, with the analysis, the clock faults.
tap_packet_status ovk5_stats_packet(stats_tree *st, packet_info *, epan_dissect_t *, const void *data, tap_flags_t)
{
    const auto *info = static_cast<const ovk5_tap_info *>(data);
    char name[128];
    sender_row_name(info, name, sizeof name);
    const int sender_node = tick_stat_node(st, name, 0, TRUE);
    std::snprintf(name, sizeof name, "Interface %u", info->interface_id);
    const int stream_node = tick_stat_node(st, name, sender_node, TRUE);
    gint delay_us;
    if (info->delay_known && whole_microseconds(info->delay, &delay_us))
        avg_stat_node_add_value_int(st, "Delivery delay (us)", stream_node, FALSE, delay_us);
    else if (info->delay_known)
        tick_stat_node(st, "Delivery delay over 35 minutes", stream_node, FALSE);
    if (info->analysed) {
        const bool backwards = info->ts_delta_known && (info->ts_delta.secs < 0 || info->ts_delta.nsecs < 0);
        const bool invalid = !info->hw_time_valid;
        const int faults_node = increase_stat_node(st, "Clock faults", stream_node, TRUE, backwards || invalid);
        increase_stat_node(st, "Time stamp backwards", faults_node, FALSE, backwards);
        increase_stat_node(st, "Time stamp invalid", faults_node, FALSE, invalid);
    }
    return TAP_PACKET_REDRAW;
}

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

// ---------------------------------------------------------------- heuristics
// OVK5 found by its content on ports no preference names. The check is
// strict because a hit decodes the whole conversation as OVK5.

// How far the header's time may lie from the capture's own: a day either
// way, for a device clock set to local time or not synchronised, while
// random bytes land in it about once in 25,000.
constexpr gint64 heur_max_clock_offset = 86400;

// The time every header is compared with: the capture's own, or without
// one the first record's, so that only a second record can confirm it.
struct heur_reference {
    nstime_t time;
    bool known;
};

heur_reference capture_reference(const packet_info *pinfo)
{
    heur_reference reference{};
    reference.known = pinfo->fd->has_ts;
    if (reference.known)
        reference.time = pinfo->abs_ts;
    return reference;
}

// Checks the record at offset against reference, which the first record
// sets when the capture has no time; *end is where the record ends.
ovk5_plausibility heur_check(tvbuff_t *tvb, guint offset, heur_reference *reference, guint *end)
{
    const gint at = static_cast<gint>(offset);
    if (!reference->known) {
        if (tvb_captured_length_remaining(tvb, at) < static_cast<gint>(ovk5_header_length))
            return ovk5_plausibility::incomplete;
        const ovk_hardware_time first = ovk_read_hardware_time(tvb, at + static_cast<gint>(ovk5_ts_offset));
        reference->time.secs = static_cast<time_t>(first.secs);
        reference->time.nsecs = static_cast<int>(first.nsecs);
        reference->known = true;
    }
    const ovk5_plausibility result = ovk5_check_record(tvb, at, &reference->time, heur_max_clock_offset);
    if (result == ovk5_plausibility::plausible)
        *end = offset + ovk5_header_length + tvb_get_letohs(tvb, at + static_cast<gint>(ovk5_blob_size_offset));
    return result;
}

// A UDP payload is one record or records back to back, exactly. Records
// cut off by the capture's snapshot length cannot be checked; at least
// one must be, and two when the capture has no time of its own.
bool udp_payload_is_ovk5(tvbuff_t *tvb, packet_info *pinfo)
{
    heur_reference reference = capture_reference(pinfo);
    const guint needed = reference.known ? 1 : 2;
    const guint length = tvb_reported_length(tvb);
    guint offset = 0;
    guint checked = 0;
    while (offset < length) {
        guint end = 0;
        const ovk5_plausibility record = heur_check(tvb, offset, &reference, &end);
        if (record == ovk5_plausibility::incomplete)
            return checked >= needed && tvb_captured_length(tvb) < length;
        if (record == ovk5_plausibility::implausible || end > length)
            return false;
        offset = end;
        ++checked;
    }
    return checked >= needed;
}

// A TCP segment starts with a record; where it ends inside the segment,
// the next must start plausibly too. A record may run on into the next
// segment; without the capture's time the segment must hold two.
bool tcp_payload_is_ovk5(tvbuff_t *tvb, packet_info *pinfo)
{
    heur_reference reference = capture_reference(pinfo);
    const bool needs_second = !reference.known;
    guint end = 0;
    if (heur_check(tvb, 0, &reference, &end) != ovk5_plausibility::plausible)
        return false;
    if (end >= tvb_reported_length(tvb))
        return !needs_second;
    guint next_end = 0;
    const ovk5_plausibility next = heur_check(tvb, end, &reference, &next_end);
    return next == ovk5_plausibility::plausible || (next == ovk5_plausibility::incomplete && !needs_second);
}

// From this frame on the conversation is OVK5, through the port tables'
// handle: TCP framing and the analysis as on OVK5's own ports.
ovk_heur_result take_conversation(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *data)
{
    conversation_t *conversation = find_or_create_conversation(pinfo);
    conversation_set_dissector_from_frame_number(conversation, pinfo->num, ovk5_handle);
    dissect_ovk5_payload(tvb, pinfo, tree, data);
    return true;
}

ovk_heur_result dissect_ovk5_heur_udp(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *data)
{
    if (!udp_payload_is_ovk5(tvb, pinfo))
        return false;
    return take_conversation(tvb, pinfo, tree, data);
}

ovk_heur_result dissect_ovk5_heur_tcp(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *data)
{
    if (!tcp_payload_is_ovk5(tvb, pinfo))
        return false;
    return take_conversation(tvb, pinfo, tree, data);
}

} // namespace

ovk5_stream_leftovers ovk5_tcp_stream_leftovers()
{
    ovk5_stream_leftovers leftovers{};
    if (stream_directions)
        wmem_map_foreach(stream_directions, add_leftovers, &leftovers);
    return leftovers;
}

void proto_register_ovk5(void)
{
    static hf_register_info hf[] = {
        { &hf_ovk5_bs,
          { "Blob size", "ovk5.bs",
            FT_UINT16, BASE_DEC, NULL, 0x0,
            NULL, HFILL }
        },
        { &hf_ovk5_if,
          { "Interface", "ovk5.if",
            FT_UINT8, BASE_DEC, NULL, 0x0,
            NULL, HFILL }
        },
        { &hf_ovk5_res,
          { "Reserved", "ovk5.res",
            FT_UINT8, BASE_HEX, NULL, 0x0,
            NULL, HFILL }
        },
        { &hf_ovk5_ts,
          { "Timestamp (unix)", "ovk5.ts",
            FT_ABSOLUTE_TIME, ABSOLUTE_TIME_UTC, NULL, 0x0,
            NULL, HFILL }
        },
        { &hf_ovk5_rid0,
          { "RID 0", "ovk5.rid0",
            FT_UINT16, BASE_HEX, NULL, 0x0,
            NULL, HFILL }
        },
        { &hf_ovk5_rid1,
          { "RID 1", "ovk5.rid1",
            FT_UINT16, BASE_HEX, NULL, 0x0,
            NULL, HFILL }
        },
        { &hf_ovk5_prev_frame,
          { "Previous header of this stream", "ovk5.prev_frame",
            FT_FRAMENUM, BASE_NONE, NULL, 0x0,
            NULL, HFILL }
        },
        { &hf_ovk5_ts_delta,
          { "Time since the stream's last valid time stamp", "ovk5.ts_delta",
            FT_RELATIVE_TIME, BASE_NONE, NULL, 0x0,
            NULL, HFILL }
        },
        { &hf_ovk5_delay,
          { "Delivery delay", "ovk5.delay",
            FT_RELATIVE_TIME, BASE_NONE, NULL, 0x0,
            NULL, HFILL }
        },
        { &hf_ovk5_frame,
          { "Frame (not decoded)", "ovk5.frame",
            FT_BYTES, BASE_NONE, NULL, 0x0,
            NULL, HFILL }
        },
        { &hf_ovk5_record_part,
          { "Part of an OVK5 record spanning TCP segments", "ovk5.record_part",
            FT_BYTES, BASE_NONE, NULL, 0x0,
            NULL, HFILL }
        },
    };

    static gint *ett[] = {
        &ett_ovk5,
    };

    static ei_register_info ei[] = {
        { &ei_ovk5_nested_too_deep,
          { "ovk5.nested_too_deep", PI_MALFORMED, PI_ERROR,
            "OVK5 nested too deeply; the frame inside is not decoded", EXPFILL }
        },
        { &ei_ovk5_ts_backwards,
          { "ovk5.ts_backwards", PI_SEQUENCE, PI_WARN,
            "Time stamp earlier than the last valid one of this stream", EXPFILL }
        },
        { &ei_ovk5_ts_invalid,
          { "ovk5.ts_invalid", PI_MALFORMED, PI_WARN,
            "Time stamp with over 999,999,999 nanoseconds", EXPFILL }
        },
        { &ei_ovk5_frame_not_decoded,
          { "ovk5.frame_not_decoded", PI_UNDECODED, PI_NOTE,
            "Frame not decoded: the packet holds as many protocol layers as the analyser decodes "
            "(preference gui.max_tree_depth)", EXPFILL }
        },
        { &ei_ovk5_stream_gap,
          { "ovk5.stream_gap", PI_SEQUENCE, PI_WARN,
            "Bytes of the TCP stream before this were not captured", EXPFILL }
        },
        { &ei_ovk5_bytes_skipped,
          { "ovk5.bytes_skipped", PI_SEQUENCE, PI_WARN,
            "Bytes skipped until the next plausible OVK5 header", EXPFILL }
        },
        { &ei_ovk5_not_captured,
          { "ovk5.not_captured", PI_SEQUENCE, PI_WARN,
            "Bytes not captured (snap length)", EXPFILL }
        },
        { &ei_ovk5_record_cut,
          { "ovk5.record_cut", PI_MALFORMED, PI_WARN,
            "OVK5 record cut by the snap length", EXPFILL }
        },
    };

    // Parsed into the preference code's scope, which frees and replaces
    // these ranges when the user changes a preference.
    char default_port[8];
    std::snprintf(default_port, sizeof default_port, "%u,", ovk5_default_tcp_port);
    range_convert_str(wmem_epan_scope(), &tcp_ports, default_port, ovk5_max_port);
    std::snprintf(default_port, sizeof default_port, "%u,", ovk5_default_udp_port);
    range_convert_str(wmem_epan_scope(), &udp_ports, default_port, ovk5_max_port);

    proto_ovk5 = proto_register_protocol("Ovkan Link Protocol 5", "OVK5", "ovk5");
    proto_register_field_array(proto_ovk5, hf, array_length(hf));
    proto_register_subtree_array(ett, array_length(ett));
    expert_register_field_array(expert_register_protocol(proto_ovk5), ei, array_length(ei));
    ovk5_handle = register_dissector("ovk5", dissect_ovk5_payload, proto_ovk5);
    register_shutdown_routine(free_bound_ranges);
    register_init_routine(bind_ports_first_time);
    ovk5_tap = register_tap(ovk5_tap_name);
    ovk5_damage_tap = register_tap(ovk5_damage_tap_name);
    // Emptied whenever the file scope is freed.
    stream_directions = wmem_map_new_autoreset(wmem_epan_scope(), wmem_file_scope(), g_direct_hash, g_direct_equal);
    streams = wmem_map_new_autoreset(wmem_epan_scope(), wmem_file_scope(), stream_hash, stream_equal);
    wmem_register_callback(wmem_file_scope(), forget_records, nullptr);
    ovk_register_stats_tree(ovk5_tap_name, "ovk5", "OVK5 Interfaces", ovk5_stats_packet,
                            REGISTER_PACKET_STAT_GROUP_UNSORTED);

    module_t *ovk5_module = prefs_register_protocol(proto_ovk5, proto_reg_handoff_ovk5);
    prefs_register_range_preference(ovk5_module, "tcp.port", "OVK5 TCP Ports",
                                    "TCP Ports range", &tcp_ports, ovk5_max_port);
    prefs_register_range_preference(ovk5_module, "udp.port", "OVK5 UDP Ports",
                                    "UDP Ports range", &udp_ports, ovk5_max_port);
    prefs_register_bool_preference(ovk5_module, "analyze", "Analyse time stamps",
                                   "Per stream (sender and interface): the previous header, the time since "
                                   "the last valid time stamp, with a warning where it runs backwards, and "
                                   "the delivery delay from the hardware to the capturing host",
                                   &analyze_headers);
    prefs_register_bool_preference(ovk5_module, "tcp.desegment",
                                   "Reassemble OVK5 records spanning TCP segments",
                                   "Whether OVK5 over TCP is read as a stream of records, each its 16-byte "
                                   "header followed by an Ethernet frame of Blob size bytes, so that several "
                                   "records in one segment and a record split over segments are all decoded. "
                                   "Needs \"Allow subdissector to reassemble TCP streams\" in the TCP "
                                   "protocol settings. Off: each TCP payload is one record.",
                                   &tcp_desegment);
}

// Also the preference module's apply callback: moves the table entries
// from the ranges applied last time to the ranges in force now.
void proto_reg_handoff_ovk5(void)
{
    static bool initialized = false;

    eth_handle = ovk_find_ethernet_dissector();

    if (!initialized) {
        // Offered by "Decode As" (tshark -d) on any port, even when a
        // preference leaves a port range empty.
        dissector_add_for_decode_as("tcp.port", ovk5_handle);
        dissector_add_for_decode_as("udp.port", ovk5_handle);
        // Only payloads no port claims reach these.
        heur_dissector_add("udp", dissect_ovk5_heur_udp, "OVK5 over UDP", "ovk5_udp", proto_ovk5, HEURISTIC_ENABLE);
        heur_dissector_add("tcp", dissect_ovk5_heur_tcp, "OVK5 over TCP", "ovk5_tcp", proto_ovk5, HEURISTIC_ENABLE);
        initialized = true;
    }

    if (ports_bound)
        bind_ports();
}
