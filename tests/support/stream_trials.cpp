// SPDX-License-Identifier: GPL-2.0-or-later
#include "stream_trials.h"

#include <algorithm>
#include <cstdio>
#include <regex>
#include <sstream>

#include "capture_writer.h"
#include "frames.h"
#include "generator.h"

namespace ovk::test {

namespace {

constexpr std::uint16_t first_source_port = 40000;
constexpr std::uint16_t server_port = 21103;
constexpr std::uint32_t capture_start = 1700000000;
constexpr std::size_t most_segment_bytes = 1448;

struct Extent {
    std::size_t begin, end;
};

std::size_t below(SplitMix64 &rng, std::size_t bound)
{
    return static_cast<std::size_t>(rng.next() % bound);
}

Bytes random_bytes(SplitMix64 &rng, std::size_t count)
{
    Bytes bytes(count);
    for (std::uint8_t &byte : bytes)
        byte = static_cast<std::uint8_t>(rng.next());
    return bytes;
}

} // namespace

const char *damage_name(TrialDamage damage)
{
    switch (damage) {
    case TrialDamage::reordered:
        return "reordered";
    case TrialDamage::mid_stream:
        return "mid-stream start";
    case TrialDamage::dropped:
        return "dropped segment";
    case TrialDamage::stray_bytes:
        return "stray bytes";
    }
    return "";
}

std::vector<Trial> write_trials(const std::string &path, std::uint64_t seed, std::size_t count,
                                const std::vector<TrialDamage> &kinds)
{
    CaptureWriter writer(path, linktype_ethernet);
    std::vector<Trial> trials;
    for (std::size_t number = 0; number < count; ++number) {
        SplitMix64 rng(seed, number);
        Trial trial;
        trial.damage = kinds[(seed + number) % kinds.size()];
        trial.source_port = static_cast<std::uint16_t>(first_source_port + number);
        trial.records_sent = static_cast<std::uint16_t>(20 + below(rng, 41));

        // The stream as sent, with where each record lies in it.
        Bytes stream;
        std::vector<Extent> records;
        const std::size_t stray_after = 1 + below(rng, trial.records_sent - 1u);
        for (std::uint16_t rid = 1; rid <= trial.records_sent; ++rid) {
            if (trial.damage == TrialDamage::stray_bytes && rid == stray_after + 1) {
                const Bytes stray = random_bytes(rng, 1 + below(rng, 16));
                stream.insert(stream.end(), stray.begin(), stray.end());
            }
            Ovk5Header header;
            header.ts_seconds = capture_start + static_cast<std::uint32_t>(number);
            header.ts_nanoseconds = static_cast<std::uint32_t>(below(rng, 1000000000));
            header.rid0 = rid;
            header.rid1 = static_cast<std::uint16_t>(number);
            const Bytes record = ovk5_payload(header, ethernet_ipv4_udp(Endpoints{}, random_bytes(rng, below(rng, 1401))));
            records.push_back({stream.size(), stream.size() + record.size()});
            stream.insert(stream.end(), record.begin(), record.end());
        }

        // Where the capture starts, and the segments it is cut into.
        std::size_t first_byte = 0;
        if (trial.damage == TrialDamage::mid_stream) {
            const Extent &inside = records[below(rng, 3)];
            first_byte = inside.begin + 1 + below(rng, inside.end - inside.begin - 1);
        }
        std::vector<Extent> segments;
        for (std::size_t at = first_byte; at < stream.size();) {
            const std::size_t size = std::min(200 + below(rng, most_segment_bytes - 199), stream.size() - at);
            segments.push_back({at, at + size});
            at += size;
        }
        std::vector<std::size_t> order(segments.size());
        for (std::size_t i = 0; i < order.size(); ++i)
            order[i] = i;
        std::size_t dropped = segments.size();
        if (trial.damage == TrialDamage::dropped && segments.size() >= 3)
            dropped = 1 + below(rng, segments.size() - 2);
        if ((trial.damage == TrialDamage::reordered || trial.damage == TrialDamage::dropped) && segments.size() >= 5) {
            std::size_t swap;
            do
                swap = below(rng, segments.size() - 1);
            while (swap == dropped || swap + 1 == dropped);
            std::swap(order[swap], order[swap + 1]);
        }
        for (std::size_t i = 0; i < records.size(); ++i) {
            const bool after_start = records[i].begin >= first_byte;
            const bool clear_of_drop = dropped == segments.size() || records[i].end <= segments[dropped].begin
                                       || records[i].begin >= segments[dropped].end;
            if (after_start && clear_of_drop)
                trial.captured.insert(static_cast<std::uint16_t>(i + 1));
        }

        Endpoints ends;
        ends.src_port = trial.source_port;
        ends.dst_port = server_port;
        std::uint64_t time = (capture_start + number) * 1000000000ULL;
        if (trial.damage != TrialDamage::mid_stream)
            writer.write(time, ethernet_ipv4_tcp(ends, TcpSegment{0, 0, 0x02}, {}));
        for (const std::size_t i : order) {
            if (i == dropped)
                continue;
            time += 1000;
            writer.write(time, ethernet_ipv4_tcp(ends, TcpSegment{1 + static_cast<std::uint32_t>(segments[i].begin)},
                                                 Bytes(stream.begin() + segments[i].begin,
                                                       stream.begin() + segments[i].end)));
        }
        trials.push_back(trial);
    }
    writer.commit();
    return trials;
}

TrialFigures &TrialFigures::operator+=(const TrialFigures &more)
{
    trials += more.trials;
    sent += more.sent;
    captured += more.captured;
    exported += more.exported;
    missing_named += more.missing_named;
    missing_silent += more.missing_silent;
    invented += more.invented;
    trials_missing += more.trials_missing;
    false_alarms += more.false_alarms;
    unnamed_damage += more.unnamed_damage;
    for (const auto &[kind, missing] : more.trials_missing_by_kind)
        trials_missing_by_kind[kind] += missing;
    exit_status_true = exit_status_true && more.exit_status_true;
    return *this;
}

std::string TrialFigures::report() const
{
    std::ostringstream text;
    text << trials << " trials, " << sent << " records sent, " << captured << " held whole by the capture, "
         << exported << " of them exported\n"
         << "records missing: " << missing_named << " in streams named damaged, " << missing_silent
         << " silently (in " << trials_missing << " trials";
    for (const auto &[kind, missing] : trials_missing_by_kind)
        text << "; " << kind << ": " << missing;
    text << ")\n"
         << "records invented: " << invented << "; damaged trials not named: " << unnamed_damage
         << "; reordered-only trials named damaged: " << false_alarms << "\n"
         << "exit status " << (exit_status_true ? "true" : "FALSE") << "\n";
    return text.str();
}

TrialFigures judge_trials(const std::vector<Trial> &trials, const std::vector<std::string> &comments,
                          const std::string &export_errors, int exit_code)
{
    std::map<unsigned, std::vector<unsigned>> exported;  // by trial number
    static const std::regex rids("RID 0 0x([0-9a-f]+), RID 1 0x([0-9a-f]+)");
    for (const std::string &comment : comments) {
        std::smatch match;
        if (std::regex_search(comment, match, rids))
            exported[std::stoul(match[2], nullptr, 16)].push_back(std::stoul(match[1], nullptr, 16));
    }
    std::set<unsigned> named;  // source ports of the streams named damaged
    static const std::regex stream("OVK5 TCP stream from [0-9.]+:([0-9]+): ");
    for (std::sregex_iterator it(export_errors.begin(), export_errors.end(), stream), end; it != end; ++it)
        named.insert(std::stoul((*it)[1]));

    TrialFigures figures;
    bool any_loss = false;
    for (std::size_t number = 0; number < trials.size(); ++number) {
        const Trial &trial = trials[number];
        ++figures.trials;
        figures.sent += trial.records_sent;
        figures.captured += trial.captured.size();
        std::set<unsigned> seen;
        for (const unsigned rid : exported[static_cast<unsigned>(number)]) {
            if (rid < 1 || rid > trial.records_sent || !seen.insert(rid).second)
                ++figures.invented;
        }
        const bool is_named = named.count(trial.source_port) != 0;
        std::uint64_t missing = 0;
        for (const unsigned rid : trial.captured) {
            if (seen.count(rid))
                ++figures.exported;
            else
                ++missing;
        }
        (is_named ? figures.missing_named : figures.missing_silent) += missing;
        if (missing) {
            ++figures.trials_missing;
            ++figures.trials_missing_by_kind[damage_name(trial.damage)];
        }
        const bool lost_bytes = trial.damage != TrialDamage::reordered;
        any_loss = any_loss || lost_bytes || missing;
        if (lost_bytes && !is_named)
            ++figures.unnamed_damage;
        if (!lost_bytes && is_named)
            ++figures.false_alarms;
    }
    figures.exit_status_true = exit_code == (any_loss ? 1 : 0);
    return figures;
}

} // namespace ovk::test
