// SPDX-License-Identifier: GPL-2.0-or-later
// In-process libwireshark for the tests: initialises the dissection engine
// once with the project's dissectors registered, dissects single frames and
// reaches dissectors directly through a small probe protocol.
#ifndef OVK_TESTS_EPAN_HARNESS_H
#define OVK_TESTS_EPAN_HARNESS_H

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <wiretap/wtap.h>

#include "frames.h"

// The project's routines, which the harness registers the way the plug-in
// frame does when the analyser loads a plug-in.
void proto_register_ovk5(void);
void proto_reg_handoff_ovk5(void);
void proto_register_ovk5seq(void);
void proto_reg_handoff_ovk5seq(void);

namespace ovk::test {

// Link-layer encapsulation whose frames go to the probe protocol.
constexpr int probe_encap = WTAP_ENCAP_USER0;

// Starts libwireshark with the project's dissectors and the probe; safe to
// call repeatedly.
void start_epan();

// What one frame's dissection left: every field's displayed values (in tree
// order), the Protocol and Info columns, and the highest severity of its
// expert entries (0 for none), which the analyser keeps without a tree too.
struct Dissection {
    std::map<std::string, std::vector<std::string>> fields;
    std::string protocol_column;
    std::string info_column;
    int expert_severity = 0;

    bool has(const std::string &field) const { return fields.count(field) != 0; }
    std::size_t count(const std::string &field) const;
    // The single value of field; fails the test when it has none or several.
    std::string value(const std::string &field) const;
};

// Dissects frame as one record of link-layer encapsulation encap. A
// reported_length larger than frame.size() makes the record truncated.
// Without a tree (as tshark reads without filters or details), the
// Dissection has no fields.
enum class Tree { build, none };
Dissection dissect(int encap, const Bytes &frame, std::uint32_t reported_length = 0, Tree tree = Tree::build);

// Frees what the dissectors keep in file scope for the frames dissect()
// and probe() gave them, and numbers frames from 1 again: far cheaper than
// a new session (Capture), which runs every dissector's init and cleanup
// routines. Dissectors that point into the file scope must forget it with
// it (an auto-reset map, a wmem callback), as the project's do.
void forget_capture_file();

// A capture file dissected in process, frame by frame: the dissectors'
// per-file state starts afresh, as when a file is opened, and frames keep
// what their first dissection stored with them. One at a time.
class Capture {
public:
    explicit Capture(int encap);
    ~Capture();
    Capture(const Capture &) = delete;
    Capture &operator=(const Capture &) = delete;

    // The first pass over the next frame (numbered from 1), captured at
    // seconds.nanoseconds since 1970.
    Dissection add(const Bytes &frame, std::int64_t seconds = 0, std::uint32_t nanoseconds = 0,
                   Tree tree = Tree::build);
    // Dissects frame number again, as the GUI does when one is selected.
    Dissection again(std::uint32_t number);

private:
    struct Frame;
    int encap_;
    std::vector<std::unique_ptr<Frame>> frames_;
};

// How the probe should treat the next record given to it.
struct ProbeRequest {
    enum class Action {
        // Call the handle bound to key in table directly with the record.
        call_bound_dissector,
        // Hand the record to the Ethernet hand-on helper with no handle.
        ethernet_without_handle,
        // Call the heuristic dissector whose short name is table, enabled
        // or not; bytes_taken is the record's length when it accepts.
        heuristic,
    };
    Action action = Action::call_bound_dissector;
    std::string table;
    std::uint32_t key = 0;
};

struct ProbeResult {
    bool handle_found = false;
    int bytes_taken = -1;           // the dissector's return value
    bool exception_raised = false;  // the dissector let an exception out
};

// Dissects payload through the probe as request says; the Dissection is of
// the whole record.
ProbeResult probe(const ProbeRequest &request, const Bytes &payload, Dissection *dissection = nullptr);

// Calls the dissector bound to key in table directly with payload.
inline ProbeResult call_bound_dissector(const std::string &table, std::uint32_t key, const Bytes &payload,
                                        Dissection *dissection = nullptr)
{
    return probe({ProbeRequest::Action::call_bound_dissector, table, key}, payload, dissection);
}

// Runs the heuristic dissector short_name on payload, a record captured at
// seconds since 1970, or one without a capture time when seconds is empty.
ProbeResult try_heuristic(const std::string &short_name, const Bytes &payload, std::optional<std::int64_t> seconds,
                          Dissection *dissection = nullptr);

// Sets a preference as "-o name:value" would, and applies all preferences.
// Returns false when the analyser refuses the value.
bool set_preference(const std::string &name, const std::string &value);

// Turns the protocol with filter name filter_name off, as "--disable-protocol"
// would; its dissectors then pass their bytes to the data dissector.
void disable_protocol(const std::string &filter_name);

// Keys of table whose current entry is the dissector of protocol
// filter_name, in ascending order.
std::vector<std::uint32_t> keys_bound_to(const std::string &table, const std::string &filter_name);

} // namespace ovk::test

#endif
