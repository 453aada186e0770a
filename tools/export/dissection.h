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
};

struct DissectionSettings {
    std::vector<std::string> preferences;  // "-o" values, in order
    std::vector<std::string> decode_as;    // "-d" values, in order
};

class Dissection {
public:
    Dissection() = default;
    ~Dissection();
    Dissection(const Dissection &) = delete;
    Dissection &operator=(const Dissection &) = delete;

    // Starts libwireshark (once per process). Returns false with *error set
    // when a preference or Decode As argument is refused.
    bool start(const DissectionSettings &settings, std::string *error);

    // Dissects the record r read from wth (frames numbered from 1, in
    // order) and returns the OVK5 headers found in it, valid until
    // end_record(), which must come before the next record is read.
    const std::vector<Ovk5Found> &dissect(wtap *wth, ovk_read_record *r, std::int64_t offset);
    void end_record();

private:

    struct State;
    State *state_ = nullptr;
};

} // namespace ovk

#endif
