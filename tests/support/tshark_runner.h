// Runs the installed tshark with the freshly built plug-ins, the way a user
// would: plug-ins in WIRESHARK_PLUGIN_DIR/<major>.<minor>/epan, an empty
// HOME, TZ=UTC. As root, Wireshark ignores WIRESHARK_PLUGIN_DIR, so tshark
// then runs as the unprivileged user 65534 from a world-readable folder.
#ifndef OVK_TESTS_TSHARK_RUNNER_H
#define OVK_TESTS_TSHARK_RUNNER_H

#include <string>
#include <vector>

namespace ovk::test {

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

    // A path inside the stage for a capture or preferences file.
    std::string path(const std::string &name) const;
    // Makes everything written into the stage readable by tshark.
    void publish() const;

    TsharkResult run(const std::vector<std::string> &args) const;

    // The lines of stdout of a run that must succeed without stderr noise.
    std::vector<std::string> lines(const std::vector<std::string> &args) const;

private:
    std::string dir_;
};

std::vector<std::string> split_lines(const std::string &text);

// The "tshark -G plugins" entry of library as "name|version|type|path",
// without the column padding; empty when the plug-in is not listed.
std::string plugin_listing(const TsharkStage &stage, const std::string &library);

// The "tshark -G fields" lines of the protocol with filter name protocol
// and of its fields.
std::vector<std::string> registered_fields(const TsharkStage &stage, const std::string &protocol);

// Splits line at tabs.
std::vector<std::string> tab_columns(const std::string &line);

} // namespace ovk::test

#endif
