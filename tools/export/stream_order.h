// SPDX-License-Identifier: GPL-2.0-or-later
// TCP segments handed to the dissection in stream order, so that OVK5
// records framed across segments survive segments the capture holds out of
// order, while bytes the capture never holds stop nothing: a file is read
// once beforehand to learn what its segments cover, and a segment ahead of
// its stream waits only for bytes a later packet brings. (TCP's own
// out-of-order reassembly waits for every missing byte, to the end of the
// file when one was never captured.)
#ifndef OVK_EXPORT_STREAM_ORDER_H
#define OVK_EXPORT_STREAM_ORDER_H

#include <cstdint>
#include <map>
#include <unordered_map>
#include <vector>

#include "transport.h"

namespace ovk {

// Sequence numbers widened to 64 bits, each taken nearest to the one before
// it in its direction, so that a stream may pass 4 GiB. Two readings of one
// capture give the same numbers.
class SequenceUnwrapper {
public:
    std::int64_t unwrap(std::uint32_t seq);

private:
    bool started_ = false;
    std::int64_t last_ = 0;
};

// The stream bytes each TCP direction's segments cover over a whole
// capture.
class StreamCoverage {
public:
    // Every TCP segment of the capture, in capture order.
    void add(const Transport &segment);
    // After the last add.
    void finish();

    // Where the direction's bytes start, or false when it has none.
    bool first_byte(const Endpoints &direction, std::int64_t *first) const;
    // The first stream byte at or after from that some segment holds
    // (INT64_MAX: none).
    std::int64_t next_held(const Endpoints &direction, std::int64_t from) const;

private:
    struct Extent {
        std::int64_t begin, end;
    };
    struct Direction {
        SequenceUnwrapper unwrapper;
        std::vector<Extent> extents;
    };
    std::unordered_map<Endpoints, Direction, EndpointsHash> directions_;
};

class StreamOrder {
public:
    using Token = std::uint64_t;

    // Without coverage a segment ahead of its stream waits until the bytes
    // before it come, or until held_limit bytes of its direction wait.
    explicit StreamOrder(std::uint64_t held_limit) : held_limit_(held_limit) {}

    void set_coverage(const StreamCoverage *coverage) { coverage_ = coverage; }

    // A TCP segment read, in capture order. Appends to ready what is to be
    // dissected now, in order: the segment, unless it waits, and the
    // segments it lets go.
    void arrive(const Transport &segment, Token token, std::vector<Token> *ready);
    // At the end of the capture: every segment still waiting, each
    // direction in stream order.
    void finish(std::vector<Token> *ready);

    std::uint64_t segments_waiting() const { return waiting_; }

private:
    struct Waiting {
        Token token;
        std::int64_t end;
        std::uint64_t length;
    };
    struct Direction {
        SequenceUnwrapper unwrapper;
        bool started = false;
        std::int64_t handed_on_to = 0;  // stream bytes before this were handed on
        std::multimap<std::int64_t, Waiting> waiting;
        std::uint64_t waiting_bytes = 0;
    };

    // Where the direction's stream may go on: its next byte, or past bytes
    // no packet of the capture holds.
    std::int64_t resumes_at(const Endpoints &key, const Direction &d) const;
    void hand_on(const Endpoints &key, Direction &d, std::vector<Token> *ready, bool force);

    std::uint64_t held_limit_;
    const StreamCoverage *coverage_ = nullptr;
    std::unordered_map<Endpoints, Direction, EndpointsHash> directions_;
    std::uint64_t waiting_ = 0;
};

} // namespace ovk

#endif
