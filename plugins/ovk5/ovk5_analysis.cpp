// SPDX-License-Identifier: GPL-2.0-or-later
// The OVK5 analysis per stream (sender and header interface) and its store:
// what the first pass found for each header, shown the same on every later
// pass.

#include <epan/conversation.h>
#include <epan/proto_data.h>

#include "ovk5_dissector.h"

namespace ovk5 {

namespace {

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
    // A header whose time stamp stepped back: late, if the stream's next
    // valid time stamp goes on from last_valid; the clock stepping back,
    // if it goes on from the step.
    bool step_pending;
    guint32 step_chunk;
    guint32 step_slot;
    ovk_hardware_time step_time;
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
// header, in chunks of records whose frames lie within 32,767 of the
// chunk's first; the offset's top bit marks a header that came late.
constexpr guint32 chunk_records = 4096;
constexpr guint16 late_bit = 0x8000;
struct record_chunk {
    guint32 base_frame;
    guint32 count;
    guint16 frame_offset[chunk_records];
    guint32 prev_frame[chunk_records];
    guint32 last_secs[chunk_records];
    guint32 last_nsecs[chunk_records];
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
stream_state *frame_saved_states = nullptr;  // each one before the frame
guint32 frame_stream_count = 0;
guint32 frame_stream_capacity = 0;
guint32 frame_saved_capacity = 0;

// The arrays above point into the file scope: forgotten whenever that is
// freed, as when a capture file is closed, whoever frees it. (The maps are
// emptied by wmem itself.)
ovk_wmem_cb_result forget_records(wmem_allocator_t *, wmem_cb_event_t, void *)
{
    chunks = nullptr;
    chunk_count = chunk_capacity = 0;
    frame_streams = nullptr;
    frame_saved_states = nullptr;
    frame_stream_count = frame_stream_capacity = frame_saved_capacity = 0;
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
    return chunk->base_frame + (chunk->frame_offset[slot] & ~late_bit);
}

void mark_late(guint32 chunk, guint32 slot, bool late)
{
    guint16 &offset = chunks[chunk]->frame_offset[slot];
    offset = static_cast<guint16>(late ? offset | late_bit : offset & ~late_bit);
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
        --chunk->count;
        --frame_stream_count;
        stream_state *state = frame_streams[frame_stream_count];
        *state = frame_saved_states[frame_stream_count];
        // The dropped header may have settled the step; the next one will.
        if (state->step_pending)
            mark_late(state->step_chunk, state->step_slot, false);
        if (chunk->count == 0)
            --chunk_count;
    }
}

void append_record(guint32 frame, stream_state *state)
{
    record_chunk *chunk = chunk_count ? chunks[chunk_count - 1] : nullptr;
    if (!chunk || chunk->count == chunk_records || frame - chunk->base_frame >= late_bit) {
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
bool find_record(guint32 frame, guint32 header_index, header_analysis *found)
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
    for (guint32 skip = header_index + 1;; ++slot) {
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
    found->late = chunks[c]->frame_offset[slot] & late_bit;
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

} // namespace

// Only on the first pass, in frame order, does a header move its stream's
// state on; later passes read what it stored. A time stamp behind the
// stream's last valid one is settled by the stream's next valid one: when
// that goes on from before the step, the header came late (swapped in
// transit) and leaves the stream where it was; when it goes on from the
// step, the clock stepped back there.
bool analyse_header(packet_info *pinfo, guint8 interface_id, const ovk_hardware_time &header_time,
                    header_analysis *analysis)
{
    const guint32 header_index = next_header_index(pinfo);
    *analysis = header_analysis{};
    if (PINFO_FD_VISITED(pinfo))
        return find_record(pinfo->num, header_index, analysis);

    const record_chunk *last = last_chunk();
    if (!last || record_frame(last, last->count - 1) != pinfo->num)
        frame_stream_count = 0;
    else if (header_index == 0)
        // The last frame's number again at a first header: that frame was
        // dropped (or is dissected again); this one starts from before it.
        drop_last_frame();

    stream_state *state = stream_of(pinfo, interface_id);
    make_room(&frame_streams, frame_stream_count, &frame_stream_capacity);
    make_room(&frame_saved_states, frame_stream_count, &frame_saved_capacity);
    frame_streams[frame_stream_count] = state;
    frame_saved_states[frame_stream_count++] = *state;

    bool stepped_back = false;
    if (header_time.valid() && state->last_valid.valid()) {
        const bool behind = ovk_nanoseconds_between(header_time, state->last_valid) < 0;
        if (state->step_pending) {
            const bool behind_step = ovk_nanoseconds_between(header_time, state->step_time) < 0;
            // From the step on: the clock stepped back, and the stream goes
            // on from there. Otherwise the step came late, and this one is
            // after the stream's last, or late as well.
            const bool clock_stepped = behind && !behind_step;
            mark_late(state->step_chunk, state->step_slot, !clock_stepped);
            state->step_pending = false;
            if (clock_stepped)
                state->last_valid = state->step_time;
            else
                analysis->settled_late = true;
        }
        stepped_back = ovk_nanoseconds_between(header_time, state->last_valid) < 0;
    }
    analysis->prev_frame = state->last_frame;
    analysis->last_valid = state->last_valid;
    append_record(pinfo->num, state);

    state->last_frame = pinfo->num;
    if (stepped_back) {
        state->step_pending = true;
        state->step_chunk = chunk_count - 1;
        state->step_slot = chunks[chunk_count - 1]->count - 1;
        state->step_time = header_time;
        analysis->step_pending = true;
    } else if (header_time.valid()) {
        state->last_valid = header_time;
    }
    return true;
}

// The delivery delay: when the capturing host saw the packet, after the
// hardware stamped the header. Unknown without both times.
bool delivery_delay(const packet_info *pinfo, const ovk_hardware_time &header_time, gint64 *delay_ns)
{
    return pinfo->fd->has_ts && header_time.valid() && ovk_nanoseconds_since(pinfo->abs_ts, header_time, delay_ns);
}

// The time step to this header from the stream's last valid time stamp
// before it, into *delta_ns; unknown without both.
bool time_step(const header_analysis &analysis, const ovk_hardware_time &header_time, gint64 *delta_ns)
{
    if (!analysis.last_valid.valid() || !header_time.valid())
        return false;
    *delta_ns = ovk_nanoseconds_between(header_time, analysis.last_valid);
    return true;
}

void add_analysis(proto_tree *tree, packet_info *pinfo, tvbuff_t *tvb, const ovk_hardware_time &header_time,
                  const header_analysis &analysis)
{
    proto_item *item;
    if (analysis.prev_frame != 0) {
        item = proto_tree_add_uint(tree, hf_ovk5_prev_frame, tvb, 0, 0, analysis.prev_frame);
        proto_item_set_generated(item);
    }
    gint64 delta_ns;
    if (time_step(analysis, header_time, &delta_ns)) {
        const nstime_t delta = ovk_relative_time(delta_ns);
        item = proto_tree_add_time(tree, hf_ovk5_ts_delta, tvb, ovk5_ts_offset, 8, &delta);
        proto_item_set_generated(item);
        if (analysis.late)
            expert_add_info(pinfo, item, &ei_ovk5_late);
        else if (analysis.step_pending)
            expert_add_info_format(pinfo, item, &ei_ovk5_ts_backwards,
                                   "Time stamp earlier than the last valid one of this stream (pending: late, "
                                   "if the stream's next time stamp goes on from before)");
        else if (delta_ns < 0)
            expert_add_info(pinfo, item, &ei_ovk5_ts_backwards);
    }
}

void register_analysis()
{
    // Emptied whenever the file scope is freed.
    streams = wmem_map_new_autoreset(wmem_epan_scope(), wmem_file_scope(), stream_hash, stream_equal);
    wmem_register_callback(wmem_file_scope(), forget_records, nullptr);
}

} // namespace ovk5
