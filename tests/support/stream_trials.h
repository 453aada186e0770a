// SPDX-License-Identifier: GPL-2.0-or-later
// Damaged OVK5 TCP streams made at random from a seed, one TCP connection
// per trial, and the judgement of what ovk5-export made of them: every
// record the capture holds whole is exported, or its stream is named as
// damaged; nothing is invented; the exit status is 0 only when nothing was
// lost. Inner frames carry random (encrypted-looking) payloads, so that
// bytes inside them pass for headers as often as chance has it.
#ifndef OVK_TESTS_STREAM_TRIALS_H
#define OVK_TESTS_STREAM_TRIALS_H

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace ovk::test {

enum class TrialDamage {
    reordered,    // two segments swapped: nothing lost
    mid_stream,   // the capture starts inside a record
    dropped,      // one segment never captured (two swapped besides)
    stray_bytes,  // 1 to 16 random bytes between two records
};
constexpr int trial_damage_kinds = 4;

const char *damage_name(TrialDamage damage);

struct Trial {
    TrialDamage damage;
    std::uint16_t source_port;         // one connection per trial, to port 21103
    std::uint16_t records_sent;        // RID 0 1..records_sent, RID 1 the trial's number
    std::set<std::uint16_t> captured;  // RID 0 of the records the capture holds whole
};

// Writes trials made from seed as one capture, trial number i damaged as
// kinds[(seed + i) % kinds.size()].
std::vector<Trial> write_trials(const std::string &path, std::uint64_t seed, std::size_t count,
                                const std::vector<TrialDamage> &kinds);

struct TrialFigures {
    std::size_t trials = 0;
    std::uint64_t sent = 0;
    std::uint64_t captured = 0;       // held whole by the capture
    std::uint64_t exported = 0;       // of those, exported
    std::uint64_t missing_named = 0;  // held whole, not exported, its stream named damaged
    std::uint64_t missing_silent = 0; // held whole, not exported, nothing said
    std::uint64_t invented = 0;       // exported, never sent (or twice)
    std::size_t trials_missing = 0;   // trials with records missing
    std::size_t false_alarms = 0;     // reordered-only trials named damaged
    std::size_t unnamed_damage = 0;   // trials that lost bytes, not named damaged
    std::map<std::string, std::size_t> trials_missing_by_kind;
    bool exit_status_true = true;     // 0 exactly when no trial lost anything

    TrialFigures &operator+=(const TrialFigures &more);
    std::string report() const;
};

// What ovk5-export made of trials: the comments of the packets it wrote,
// its standard error (run with -v, every damaged stream named) and its
// exit status.
TrialFigures judge_trials(const std::vector<Trial> &trials, const std::vector<std::string> &comments,
                          const std::string &export_errors, int exit_code);

} // namespace ovk::test

#endif
