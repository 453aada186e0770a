// SPDX-License-Identifier: GPL-2.0-or-later
// Runs a built ovk5-export as a user would, in a tshark stage's folder,
// with no user configuration.
#ifndef OVK_TESTS_EXPORT_RUNNER_H
#define OVK_TESTS_EXPORT_RUNNER_H

#include <string>

#include "tshark_runner.h"

namespace ovk::test {

struct ExportRun {
    int exit_code = -1;
    std::string out;
    std::string err;
};

// program with args, in stage's folder, HOME in the stage; standard input
// from stdin_file when given.
ExportRun run_ovk5_export(const TsharkStage &stage, const std::string &program, const Lines &args,
                          const std::string &stdin_file = "");

} // namespace ovk::test

#endif
