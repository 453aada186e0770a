// SPDX-License-Identifier: GPL-2.0-or-later
// The records as they travel, shared by both dissectors, the exporter, the
// live capture and the generator, so that the same bytes give the same
// records everywhere: the OVK5 and OVK5SEQ header layouts, the default
// ports, what makes a time stamp valid, the one check of whether bytes look
// like an OVK5 record, and the framing of a run of bytes into records by
// their Blob size. Needs none of the analyser's libraries.
#ifndef OVK_RECORD_FORMAT_H
#define OVK_RECORD_FORMAT_H

#include <cstddef>
#include <cstdint>

// OVK5: a 16-byte little-endian header, then the Ethernet frame of Blob
// size bytes it describes.
constexpr unsigned ovk5_header_length = 16;
constexpr unsigned ovk5_blob_size_offset = 0;
constexpr unsigned ovk5_if_offset = 2;
constexpr unsigned ovk5_res_offset = 3;
constexpr unsigned ovk5_ts_offset = 4;  // seconds, then nanoseconds
constexpr unsigned ovk5_rid0_offset = 12;
constexpr unsigned ovk5_rid1_offset = 14;
constexpr unsigned ovk5_max_record_length = ovk5_header_length + 0xffff;

// OVK5SEQ: a 16-byte little-endian header in front of the Ethernet frame of
// a capture record (link-layer type USER3).
constexpr unsigned ovk5seq_header_length = 16;
constexpr unsigned ovk5seq_seq_offset = 0;
constexpr unsigned ovk5seq_if_offset = 2;
constexpr unsigned ovk5seq_missing_frames_offset = 3;
constexpr unsigned ovk5seq_ts_offset = 4;  // seconds, then nanoseconds
constexpr unsigned ovk5seq_res_offset = 12;

constexpr std::uint16_t ovk5_default_tcp_port = 21103;
constexpr std::uint16_t ovk5_default_udp_port = 21171;

constexpr unsigned ovk_ethernet_header_length = 14;
// An OVK5 header and the Ethernet header of its frame: what the check reads.
constexpr unsigned ovk5_checked_length = ovk5_header_length + ovk_ethernet_header_length;
// Largest type/length value that is an IEEE 802.3 length, and the smallest
// EtherType.
constexpr std::uint16_t ovk_max_8023_length = 1500;
constexpr std::uint16_t ovk_min_ethertype = 0x0600;

constexpr std::uint32_t ovk_max_nanoseconds = 999999999;
constexpr std::int64_t ovk_nanoseconds_per_second = 1000000000;

// Nanoseconds beyond a second make a time stamp meaningless.
constexpr bool ovk_time_valid(std::uint32_t nanoseconds)
{
    return nanoseconds <= ovk_max_nanoseconds;
}

inline std::uint16_t ovk_le16(const std::uint8_t *p)
{
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

inline std::uint32_t ovk_le32(const std::uint8_t *p)
{
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8
           | static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

struct ovk5_header {
    std::uint16_t blob_size;
    std::uint8_t interface_id;
    std::uint8_t reserved;
    std::uint32_t secs;
    std::uint32_t nsecs;
    std::uint16_t rid0;
    std::uint16_t rid1;
};

// The header at p, whose ovk5_header_length bytes the caller has.
inline ovk5_header ovk5_read_header(const std::uint8_t *p)
{
    return {ovk_le16(p + ovk5_blob_size_offset), p[ovk5_if_offset], p[ovk5_res_offset],
            ovk_le32(p + ovk5_ts_offset), ovk_le32(p + ovk5_ts_offset + 4),
            ovk_le16(p + ovk5_rid0_offset), ovk_le16(p + ovk5_rid1_offset)};
}

// reference - (secs, nsecs) in nanoseconds, into *nanoseconds. False when
// they lie too far apart for that: a capture file may carry any 64-bit time.
inline bool ovk_nanoseconds_since(std::int64_t reference_secs, std::int32_t reference_nsecs, std::uint32_t secs,
                                  std::uint32_t nsecs, std::int64_t *nanoseconds)
{
    constexpr std::int64_t max_seconds = 9000000000LL;
    if (reference_secs > max_seconds * 2 || reference_secs < -max_seconds)
        return false;
    const std::int64_t seconds = reference_secs - secs;
    if (seconds > max_seconds || seconds < -max_seconds)
        return false;
    *nanoseconds = seconds * ovk_nanoseconds_per_second + (static_cast<std::int64_t>(reference_nsecs) - nsecs);
    return true;
}

// A run of bytes: length of them in all, of which the first captured are
// at bytes (a capture's snap length may have cut the rest).
struct ovk_byte_run {
    const std::uint8_t *bytes;
    std::size_t captured;
    std::size_t length;
};

// What the check compares besides the bytes themselves.
struct ovk5_check_rule {
    // Whether an EtherType (0x0600 and up) is one the analyser decodes:
    // some 160 of the 64,000 possible values, which real frames use nearly
    // always. The dissectors pass a look-up in the analyser's "ethertype"
    // table. Null, for tools without the analyser's libraries: every
    // EtherType counts as known, as none can be told unknown there.
    bool (*ethertype_known)(std::uint16_t type);
    // With a reference time, the header's time stamp must also lie within
    // max_clock_offset seconds of it.
    bool has_reference;
    std::int64_t reference_secs;
    std::int32_t reference_nsecs;
    std::int64_t max_clock_offset;
};

constexpr ovk5_check_rule ovk5_tool_rule = {nullptr, false, 0, 0, 0};

enum class ovk5_plausibility {
    plausible,
    implausible,
    incomplete,  // too few bytes captured at the offset to tell
};

// Whether the record at offset in run looks like OVK5: a valid time stamp,
// a Blob size of at least an Ethernet header, and a frame from a unicast
// source with a known EtherType or an 802.3 length that fits the Blob size.
// Reads only captured bytes. The Blob size is not compared with the bytes
// that follow: what fits depends on the carrier.
inline ovk5_plausibility ovk5_check_at(const ovk_byte_run &run, std::size_t offset, const ovk5_check_rule &rule)
{
    const std::size_t available = offset < run.captured ? run.captured - offset : 0;
    if (available < ovk5_header_length)
        return ovk5_plausibility::incomplete;
    const std::uint8_t *p = run.bytes + offset;
    const std::uint16_t blob_size = ovk_le16(p + ovk5_blob_size_offset);
    const std::uint32_t secs = ovk_le32(p + ovk5_ts_offset);
    const std::uint32_t nsecs = ovk_le32(p + ovk5_ts_offset + 4);
    if (!ovk_time_valid(nsecs) || blob_size < ovk_ethernet_header_length)
        return ovk5_plausibility::implausible;
    if (rule.has_reference) {
        std::int64_t offset_ns;
        if (!ovk_nanoseconds_since(rule.reference_secs, rule.reference_nsecs, secs, nsecs, &offset_ns)
            || offset_ns / ovk_nanoseconds_per_second > rule.max_clock_offset
            || offset_ns / ovk_nanoseconds_per_second < -rule.max_clock_offset)
            return ovk5_plausibility::implausible;
    }

    if (available < ovk5_checked_length)
        return ovk5_plausibility::incomplete;
    const std::uint8_t *frame = p + ovk5_header_length;
    // The group bit of the source address: no station sends from a
    // multicast or broadcast address.
    if (frame[6] & 0x01)
        return ovk5_plausibility::implausible;
    const std::uint16_t type_or_length = static_cast<std::uint16_t>(frame[12] << 8 | frame[13]);
    if (type_or_length >= ovk_min_ethertype)
        return !rule.ethertype_known || rule.ethertype_known(type_or_length) ? ovk5_plausibility::plausible
                                                                             : ovk5_plausibility::implausible;
    if (type_or_length <= ovk_max_8023_length && type_or_length <= blob_size - ovk_ethernet_header_length)
        return ovk5_plausibility::plausible;
    return ovk5_plausibility::implausible;
}

// Why a walk along a chain of records stopped.
enum class ovk5_chain_stop {
    exact,        // at the end of the run, after the last record
    implausible,  // at a record that fails the check
    incomplete,   // at a record too little of which was captured to check
    overrun,      // at a plausible record running past the end of the run
    limit,        // after the most records asked for
};

struct ovk5_chain {
    std::size_t records;  // plausible records wholly inside the run
    std::size_t end;      // where the last of them ends (offset when none)
    ovk5_chain_stop stop;
};

// Walks records back to back from offset, each framed by its Blob size,
// while they pass the check; at most max_records of them.
inline ovk5_chain ovk5_walk_chain(const ovk_byte_run &run, std::size_t offset, const ovk5_check_rule &rule,
                                  std::size_t max_records = SIZE_MAX)
{
    ovk5_chain chain{0, offset, ovk5_chain_stop::exact};
    while (chain.end < run.length) {
        if (chain.records == max_records) {
            chain.stop = ovk5_chain_stop::limit;
            return chain;
        }
        const ovk5_plausibility verdict = ovk5_check_at(run, chain.end, rule);
        if (verdict != ovk5_plausibility::plausible) {
            chain.stop = verdict == ovk5_plausibility::incomplete ? ovk5_chain_stop::incomplete
                                                                  : ovk5_chain_stop::implausible;
            return chain;
        }
        const std::size_t record_end =
            chain.end + ovk5_header_length + ovk_le16(run.bytes + chain.end + ovk5_blob_size_offset);
        if (record_end > run.length) {
            chain.stop = ovk5_chain_stop::overrun;
            return chain;
        }
        chain.end = record_end;
        ++chain.records;
    }
    return chain;
}

// How many records, back to back and each framed by its Blob size, make up
// bytes exactly (all length of them in hand); 0 when they do not end
// exactly where bytes end. No record is checked for plausibility.
inline std::size_t ovk5_count_framed(const std::uint8_t *bytes, std::size_t length)
{
    std::size_t offset = 0;
    std::size_t records = 0;
    while (length - offset >= ovk5_header_length) {
        const std::size_t size = ovk5_header_length + ovk_le16(bytes + offset + ovk5_blob_size_offset);
        if (size > length - offset)
            break;
        offset += size;
        ++records;
    }
    return offset == length ? records : 0;
}

#endif
