#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The randomised trial of ovk5-export, larger than the test's: for each of
# $TRIAL_SEEDS seeds (default 300, from $TRIAL_FIRST_SEED, default 1000)
# one capture of $TRIALS_PER_CAPTURE (default 1) OVK5 TCP streams damaged at
# random (a mid-stream start, a dropped segment or stray bytes, in turn;
# inner frames of random bytes) and one of streams only reordered, each
# exported with -v. Prints, per set: exit statuses, records held whole by
# the captures and exported, records missing with their stream named
# damaged or silently, records invented, damaged streams not named. One
# trial per capture makes the exit status a per-trial figure. Builds in
# $BENCH_BUILD_DIR (default build/bench-trials). Not part of the test suite.
#
#   bench/export-trials.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bench_build=${BENCH_BUILD_DIR:-$root/build/bench-trials}
seeds=${TRIAL_SEEDS:-300}
first_seed=${TRIAL_FIRST_SEED:-1000}
per_capture=${TRIALS_PER_CAPTURE:-1}

cmake -S "$root" -B "$bench_build" -DOVK_BUILD_BENCH=ON -DOVK_BUILD_TESTS=ON >/dev/null
cmake --build "$bench_build" --parallel 2 --target ovk5-export ovk5-export-trials >/dev/null
folder=$(mktemp -d "${TMPDIR:-/tmp}/ovk-trials-XXXXXX")
trap 'rm -rf "$folder"' EXIT
"$bench_build/bench/ovk5-export-trials" "$bench_build/tools/export/ovk5-export" "$first_seed" "$seeds" \
    "$per_capture" "$folder"
