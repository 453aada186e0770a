// SPDX-License-Identifier: GPL-2.0-or-later
#include "stream_order.h"

#include <algorithm>
#include <limits>

namespace ovk {

namespace {

std::uint64_t stream_length(const Transport &segment)
{
    // A SYN takes a sequence number of its own.
    return segment.payload_length + (segment.syn ? 1u : 0u);
}

} // namespace

std::int64_t SequenceUnwrapper::unwrap(std::uint32_t seq)
{
    if (!started_) {
        started_ = true;
        last_ = seq;
        return last_;
    }
    last_ += static_cast<std::int32_t>(seq - static_cast<std::uint32_t>(last_));
    return last_;
}

void StreamCoverage::add(const Transport &segment)
{
    Direction &d = directions_[segment.direction];
    const std::int64_t begin = d.unwrapper.unwrap(segment.seq);
    const std::uint64_t length = stream_length(segment);
    if (length == 0)
        return;
    const std::int64_t end = begin + static_cast<std::int64_t>(length);
    if (!d.extents.empty() && d.extents.back().end == begin)
        d.extents.back().end = end;  // the usual case: the stream in order
    else
        d.extents.push_back({begin, end});
}

void StreamCoverage::finish()
{
    for (auto &entry : directions_) {
        std::vector<Extent> &extents = entry.second.extents;
        std::sort(extents.begin(), extents.end(), [](const Extent &a, const Extent &b) { return a.begin < b.begin; });
        std::vector<Extent> merged;
        for (const Extent &e : extents) {
            if (!merged.empty() && e.begin <= merged.back().end)
                merged.back().end = std::max(merged.back().end, e.end);
            else
                merged.push_back(e);
        }
        extents.swap(merged);
    }
}

bool StreamCoverage::first_byte(const Endpoints &direction, std::int64_t *first) const
{
    const auto found = directions_.find(direction);
    if (found == directions_.end() || found->second.extents.empty())
        return false;
    *first = found->second.extents.front().begin;
    return true;
}

std::int64_t StreamCoverage::next_held(const Endpoints &direction, std::int64_t from) const
{
    const auto found = directions_.find(direction);
    if (found == directions_.end())
        return std::numeric_limits<std::int64_t>::max();
    const std::vector<Extent> &extents = found->second.extents;
    const auto after = std::upper_bound(extents.begin(), extents.end(), from,
                                        [](std::int64_t at, const Extent &e) { return at < e.end; });
    if (after == extents.end())
        return std::numeric_limits<std::int64_t>::max();
    return std::max(from, after->begin);
}

std::int64_t StreamOrder::resumes_at(const Endpoints &key, const Direction &d) const
{
    return coverage_ ? coverage_->next_held(key, d.handed_on_to) : d.handed_on_to;
}

void StreamOrder::hand_on(const Endpoints &key, Direction &d, std::vector<Token> *ready, bool force)
{
    while (!d.waiting.empty()) {
        const auto first = d.waiting.begin();
        if (!force && first->first > resumes_at(key, d))
            break;
        force = false;
        ready->push_back(first->second.token);
        d.handed_on_to = std::max(d.handed_on_to, first->second.end);
        d.waiting_bytes -= first->second.length;
        --waiting_;
        d.waiting.erase(first);
    }
}

void StreamOrder::arrive(const Transport &segment, Token token, std::vector<Token> *ready)
{
    Direction &d = directions_[segment.direction];
    const std::int64_t begin = d.unwrapper.unwrap(segment.seq);
    const std::uint64_t length = stream_length(segment);
    if (length == 0) {
        ready->push_back(token);
        return;
    }
    if (!d.started) {
        d.started = true;
        std::int64_t first = begin;
        // A capture that starts with a late segment: the stream starts
        // where its first byte in the capture is.
        if (coverage_)
            coverage_->first_byte(segment.direction, &first);
        d.handed_on_to = std::min(first, begin);
    }
    const std::int64_t end = begin + static_cast<std::int64_t>(length);
    if (begin > resumes_at(segment.direction, d)) {
        d.waiting.emplace(begin, Waiting{token, end, length});
        d.waiting_bytes += length;
        ++waiting_;
        // Without coverage, bytes that have not come by now are taken for
        // never captured.
        if (!coverage_ && d.waiting_bytes > held_limit_)
            hand_on(segment.direction, d, ready, true);
        return;
    }
    ready->push_back(token);
    d.handed_on_to = std::max(d.handed_on_to, end);
    hand_on(segment.direction, d, ready, false);
}

void StreamOrder::finish(std::vector<Token> *ready)
{
    // Directions in the capture order of their first waiting segment.
    std::vector<std::pair<Token, std::pair<const Endpoints, Direction> *>> left;
    for (auto &entry : directions_) {
        if (entry.second.waiting.empty())
            continue;
        Token earliest = std::numeric_limits<Token>::max();
        for (const auto &w : entry.second.waiting)
            earliest = std::min(earliest, w.second.token);
        left.push_back({earliest, &entry});
    }
    std::sort(left.begin(), left.end());
    for (auto &item : left) {
        auto &[key, direction] = *item.second;
        while (!direction.waiting.empty())
            hand_on(key, direction, ready, true);
    }
}

} // namespace ovk
