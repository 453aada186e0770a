// SPDX-License-Identifier: GPL-2.0-or-later
// libwireshark in this process, with the OVK5 and OVK5SEQ dissectors
// registered, started the way tshark starts it: the user's preferences and
// Decode As entries, then "-o name:value" and "-d table==selector,protocol".
// Dissecting a record yields every OVK5 header found in it.
#ifndef OVK_EXPORT_DISSECTION_H
#define OVK_EXPORT_DISSECTION_H

#include <cstdint>
#include <string>
#include <vector>

#include <wsutil/nstime.h>

struct wtap;
struct ovk_read_record;

namespace ovk {

// One OVK5 header found by dissection and the frame after it. The bytes
// belong to the dissection.
struct Ovk5Found {
    std::uint8_t interface_id;
    std::uint16_t rid0;
    std::uint16_t rid1;
    nstime_t hw_time;
    const std::uint8_t *frame;
    std::uint32_t captured_length;
    std::uint32_t reported_length;
    bool hw_time_valid;  // nanoseconds within 0..999,999,999
    // The sender: "address:port" ("[address]:port" for IPv6) of the UDP
    // datagram or TCP connection side that carried the header.
    char sender[64];
};

// What framing OVK5 records on TCP streams (ovk5.tcp.desegment) could not
// recover.
struct StreamDamage {
    std::uint64_t records_lost = 0;   // begun in bytes captured, cut off by bytes never captured
    std::uint64_t records_cut = 0;    // exported as far as captured (snap length)
    std::uint64_t bytes_skipped = 0;  // captured, passed over to the next plausible header
    std::uint64_t bytes_missing = 0;  // never captured
    std::uint64_t segments_held_back = 0;  // taken in by TCP, never handed on

    bool any() const { return records_lost || records_cut || bytes_skipped || bytes_missing || segments_held_back; }
    StreamDamage &operator+=(const StreamDamage &more)
    {
        records_lost += more.records_lost;
        records_cut += more.records_cut;
        bytes_skipped += more.bytes_skipped;
        bytes_missing += more.bytes_missing;
        segments_held_back += more.segments_held_back;
        return *this;
    }
};

// The damage of one stream, named by its sender as Ovk5Found::sender.
struct SenderDamage {
    std::string sender;
    StreamDamage damage;
};

struct DissectionSettings {
    std::vector<std::string> preferences;  // "-o" values, in order
    std::vector<std::string> decode_as;    // "-d" values, in order
};

enum class StartResult { started, refused, failed };

// The dissection engine, in a module of its own (ovk5-export-dissection.so)
// loaded only for captures that need it: linking libwireshark costs every
// run a tenth of a second and 70 MB before the first record is read.
class PacketDissection {
public:
    virtual ~PacketDissection() = default;

    // Starts libwireshark (once per process). On failure *error says why:
    // refused when a preference or Decode As argument is wrong, failed
    // when the engine itself cannot start.
    virtual StartResult start(const DissectionSettings &settings, std::string *error) = 0;

    // Dissects the record r read from wth (frames numbered from 1, in
    // the order given) and returns the OVK5 headers found in it, valid
    // until end_record(), which must come before the record is released.
    virtual const std::vector<Ovk5Found> &dissect(wtap *wth, ovk_read_record *r, std::int64_t offset) = 0;
    // Whether OVK5 took part in the record's dissection: headers, parts of
    // records framed on a TCP stream or damage. Until end_record().
    virtual bool ovk5_took_part() const = 0;
    virtual void end_record() = 0;

    // Whether OVK5 records on TCP streams are framed by their Blob size
    // (ovk5.tcp.desegment), so that a stream's segments must come in order.
    virtual bool frames_tcp_records() const = 0;
    // What TCP streams lost, in all and per stream (in the order first
    // seen), up to the records dissected so far.
    virtual StreamDamage damage() const = 0;
    virtual const std::vector<SenderDamage> &damage_by_sender() const = 0;
};

// Loads the module on first use and forwards to it.
class Dissection {
public:
    Dissection() = default;
    ~Dissection();
    Dissection(const Dissection &) = delete;
    Dissection &operator=(const Dissection &) = delete;

    StartResult start(const DissectionSettings &settings, std::string *error);
    const std::vector<Ovk5Found> &dissect(wtap *wth, ovk_read_record *r, std::int64_t offset)
    {
        return engine_->dissect(wth, r, offset);
    }
    bool ovk5_took_part() const { return engine_->ovk5_took_part(); }
    void end_record() { engine_->end_record(); }
    bool running() const { return start_result_ == StartResult::started; }
    bool frames_tcp_records() const { return engine_->frames_tcp_records(); }
    // Nothing unless started.
    StreamDamage damage() const { return running() ? engine_->damage() : StreamDamage{}; }
    std::vector<SenderDamage> damage_by_sender() const
    {
        return running() ? engine_->damage_by_sender() : std::vector<SenderDamage>{};
    }

private:
    void *module_ = nullptr;
    PacketDissection *engine_ = nullptr;
    StartResult start_result_ = StartResult::failed;
};

} // namespace ovk


// The module's one export.
extern "C" ovk::PacketDissection *ovk_export_dissection_new();
constexpr const char ovk_export_dissection_factory[] = "ovk_export_dissection_new";

#endif
