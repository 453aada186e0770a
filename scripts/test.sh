#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The test command: installs what is missing, builds, runs the whole suite.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
# The Windows programs and installer run under Wine once, on the host;
# scripts/test-matrix.sh sets OVK_WINE_TESTS=0 in its chroots.
if [[ ${OVK_WINE_TESTS:-1} == 1 ]]; then
    "$root/scripts/install-deps.sh" --windows-installer
    wine_tests=ON
else
    "$root/scripts/install-deps.sh"
    wine_tests=OFF
fi
# ON explicitly: the run command may have switched the tests off in this build folder.
BUILD_DIR=$build "$root/scripts/build.sh" -DOVK_BUILD_TESTS=ON -DOVK_WINE_TESTS=$wine_tests
ctest --test-dir "$build" --output-on-failure --parallel "$(nproc)"
# The CI-sized fuzz and mutation campaigns, with sanitizers, in a build tree
# of their own (build/sanitize); OVK_SKIP_CAMPAIGNS=1 leaves them out.
[[ ${OVK_SKIP_CAMPAIGNS:-0} == 1 ]] || "$root/scripts/robustness.sh" ci
