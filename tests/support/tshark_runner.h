// SPDX-License-Identifier: GPL-2.0-or-later
// Runs the installed tshark with the freshly built plug-ins the way the
// project's scripts do (scripts/tshark-stage.sh: a world-readable stage,
// the unprivileged user 65534 when root, an empty HOME, TZ=UTC).
#ifndef OVK_TESTS_TSHARK_RUNNER_H
#define OVK_TESTS_TSHARK_RUNNER_H

#include <string>
#include <vector>

namespace ovk::test {

using Lines = std::vector<std::string>;

struct TsharkResult {
    int exit_code = -1;
    std::string out;
    std::string err;
};

class TsharkStage {
public:
    // Stages the plug-ins of the build (OVK_PLUGIN_BUILD_DIR) in a fresh
    // temporary folder.
    TsharkStage();
    ~TsharkStage();
    TsharkStage(const TsharkStage &) = delete;
    TsharkStage &operator=(const TsharkStage &) = delete;

    // A path inside the stage for a capture or preferences file; whatever
    // is written there is readable by tshark when it runs.
    std::string path(const std::string &name) const;

    TsharkResult run(const Lines &args) const;

    // The lines of stdout of a run that must succeed without stderr noise.
    Lines lines(const Lines &args) const;

    // lines() of "-r capture -T fields -E separator=|" and args.
    Lines fields(const std::string &capture, const Lines &args) const;

    // Writes text into the profile file name (preferences,
    // decode_as_entries...) that tshark reads from the stage's HOME.
    void write_profile_file(const std::string &name, const std::string &text) const;

private:
    std::string dir_;
};

Lines split_lines(const std::string &text);

// The "tshark -G fields" lines of the protocol with filter name protocol
// and of its fields.
Lines registered_fields(const TsharkStage &stage, const std::string &protocol);

// Splits line at tabs.
Lines tab_columns(const std::string &line);

} // namespace ovk::test

#endif
