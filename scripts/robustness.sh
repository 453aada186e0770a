#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Robustness campaigns against the plug-ins, in a build tree of their own
# ($SANITIZE_BUILD_DIR, default build/sanitize) made with clang,
# AddressSanitizer and UndefinedBehaviorSanitizer:
#
#   scripts/robustness.sh ci                  the CI-sized fuzz and mutation campaigns and
#                                             a valgrind sample (part of scripts/test.sh)
#   scripts/robustness.sh fuzz [SECONDS]      libFuzzer, SECONDS per mode (default 60)
#   scripts/robustness.sh mutate [PACKETS]    editcap -E mutations through tshark (default 102000)
#   scripts/robustness.sh valgrind [PACKETS]  memcheck over a sample of mutated captures
#   scripts/robustness.sh load [PACKETS]      one big capture: every header decoded, peak memory
#
# A finding fails the run and leaves its input under $SANITIZE_BUILD_DIR/findings/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/bench/plugins.sh"
source "$root/scripts/tshark-stage.sh"
san_build=${SANITIZE_BUILD_DIR:-$root/build/sanitize}
findings=$san_build/findings
series=

log() { echo "[robustness $(date -u +%H:%M:%S)] $*" >&2; }
fail() { log "FAILED: $*"; exit 1; }

build_sanitized() {
    "$root/scripts/install-deps.sh" clang libclang-rt-dev valgrind time
    CC=clang CXX=clang++ cmake -S "$root" -B "$san_build" -DOVK_SANITIZE=ON -DOVK_BUILD_FUZZERS=ON \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
    cmake --build "$san_build" --parallel "$(nproc)" \
        --target ovk5 ovk5seq ovk5-capgen ovk-fuzz-header ovk-fuzz-full ovk-fuzz-seeds
    series=$(cd "$san_build/plugins" && ls -d [0-9]*.[0-9]* | head -n1)
    mkdir -p "$findings"
}

# The shared AddressSanitizer runtime (it carries UBSan's handlers too) that
# tshark, itself uninstrumented, needs preloaded for the sanitized plug-ins.
asan_runtime() {
    local lib
    lib=$(clang -print-file-name="libclang_rt.asan-$(uname -m).so")
    [[ -f $lib ]] || fail "no AddressSanitizer runtime found ($lib)"
    echo "$lib"
}

# The allocators plain malloc, so that AddressSanitizer sees every block.
export WIRESHARK_DEBUG_WMEM_OVERRIDE=simple G_SLICE=always-malloc
# A dissector bug is a finding in the in-process fuzzers too.
export WIRESHARK_ABORT_ON_DISSECTOR_BUG=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:abort_on_error=1

# A stage (scripts/tshark-stage.sh) with the plug-ins of plugin_dir, if
# given, and room for captures; it replaces the stage of an earlier
# campaign of this run.
make_stage() {
    ovk_stage_new "${1:-}"
    stage=$ovk_stage
    mkdir "$stage/captures"
}

# Makes the generator's base captures: OVK5 over UDP and TCP, OVK5SEQ.
base_captures() {
    local dir=$1 count=$2 capgen=$san_build/tools/capgen/ovk5-capgen
    "$capgen" -t udp -n "$count" -o "$dir/udp.pcap"
    "$capgen" -t tcp -n "$count" -o "$dir/tcp.pcap"
    "$capgen" -t seq -n "$count" --gap-every 7 --missing 2 -o "$dir/seq.pcap"
}

# Bytes before the OVK5 / OVK5SEQ header in each base capture's packets:
# Ethernet + IPv4 + UDP (42), Ethernet + IPv4 + TCP (54), nothing (0).
declare -A header_offset=([udp]=42 [tcp]=54 [seq]=0)
ovk_header_length=16

# ---------------------------------------------------------------- fuzz
run_fuzz() {
    local seconds=${1:-60}
    local seeds=$san_build/fuzz-seeds
    rm -rf "$seeds" && mkdir -p "$seeds"
    "$san_build/fuzz/ovk-fuzz-seeds" "$seeds"
    local total=0
    for mode in header full; do
        local fuzzer=$san_build/fuzz/ovk-fuzz-$mode corpus=$san_build/fuzz-corpus/$mode
        local out=$san_build/fuzz-$mode.log
        mkdir -p "$corpus"
        # Earlier findings first: each must pass on its own.
        local regressions=("$root"/fuzz/regressions/*)
        if [[ -e ${regressions[0]} ]]; then
            ASAN_OPTIONS=detect_leaks=1 "$fuzzer" "${regressions[@]}" >"$out" 2>&1 \
                || { tail -n 60 "$out" >&2; fail "fuzz $mode: a regression input fails"; }
        fi
        # Per-input leak checks in header mode only: with the frame decoded,
        # the analyser's own per-conversation state makes every input look
        # like a leak candidate and the scans take 95% of the time. The leak
        # check at exit stays on in both modes.
        local per_input_leaks=1
        [[ $mode == full ]] && per_input_leaks=0
        log "fuzz $mode: ${seconds}s"
        if ! ASAN_OPTIONS=detect_leaks=1:quarantine_size_mb=64 "$fuzzer" -detect_leaks=$per_input_leaks \
                -max_total_time="$seconds" -max_len=4096 -timeout=20 -rss_limit_mb=2560 \
                -print_final_stats=1 -artifact_prefix="$findings/$mode-" \
                "$corpus" "$seeds" >"$out" 2>&1; then
            tail -n 80 "$out" >&2
            fail "fuzz $mode: finding in $findings (log $out)"
        fi
        local execs
        execs=$(awk '/stat::number_of_executed_units/ {print $2}' "$out")
        log "fuzz $mode: $execs inputs, $(ls "$corpus" | wc -l) in corpus, no finding"
        total=$((total + execs))
        if [[ $mode == header ]]; then
            check_fuzz_rate "$fuzzer" "$corpus" "$execs" "$seconds"
        fi
    done
    log "fuzz: $total inputs in all"
}

# The header fuzzer must run about as fast with its per-input leak check as
# without: state that outlives an input makes the check scan memory after
# every input and cuts the rate some 250 times. A short run without the
# check, on the same corpus and the same loaded machine, gives the rate to
# compare with; under a quarter of it fails.
check_fuzz_rate() {
    local fuzzer=$1 corpus=$2 execs=$3 seconds=$4 reference=$san_build/fuzz-rate.log
    local probe_seconds=$(( seconds < 10 ? seconds : 10 ))
    ASAN_OPTIONS=detect_leaks=0:quarantine_size_mb=64 "$fuzzer" -detect_leaks=0 -max_total_time="$probe_seconds" \
        -max_len=4096 -timeout=20 -rss_limit_mb=2560 -print_final_stats=1 "$corpus" >"$reference" 2>&1 \
        || { tail -n 40 "$reference" >&2; fail "fuzz header: the run without leak checks failed"; }
    local rate reference_rate
    rate=$(( execs / seconds ))
    reference_rate=$(awk '/stat::number_of_executed_units/ {print $2}' "$reference")
    reference_rate=$(( reference_rate / probe_seconds ))
    log "fuzz header: $rate inputs/s with leak checks, $reference_rate without"
    (( rate * 4 >= reference_rate )) \
        || fail "fuzz header: $rate inputs/s with leak checks, $reference_rate without: state kept between inputs?"
}

# -------------------------------------------------------------- mutate
# Runs tshark over capture with args; fails on a non-zero exit, a sanitizer
# report, a crash or a dissector bug, keeping the capture.
# Output goes to $stage/<tag>.out.
tshark_checked() {
    local tag=$1 capture=$2; shift 2
    local err=$stage/$tag.err
    local rc=0
    ovk_in_stage LD_PRELOAD="$asan_lib" \
        ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1:quarantine_size_mb=64 \
        tshark "$@" -r "$capture" >"$stage/$tag.out" 2>"$err" || rc=$?
    if [[ $rc -ne 0 ]] || grep -Eq 'Sanitizer|runtime error|Dissector bug|Segmentation|Aborted|assert' "$err"; then
        cp "$capture" "$findings/"
        head -n 60 "$err" >&2
        fail "tshark $* on $(basename "$capture"): exit $rc (capture kept in $findings)"
    fi
}

run_mutate() {
    local packets=${1:-102000}
    asan_lib=$(asan_runtime)
    make_stage "$san_build/plugins"
    local per_capture=$(( (packets + 5) / 6 ))
    local seed=${OVK_MUTATION_SEED:-$(date +%s)}
    log "mutate: $per_capture packets per capture, 6 captures, seed $seed"
    base_captures "$stage/captures" "$per_capture"

    local total=0 mutated
    for kind in udp tcp seq; do
        local base=$stage/captures/$kind.pcap offset=${header_offset[$kind]}
        # Header kept: only the frame behind the OVK5 header changes.
        # Header mutated: the OVK5 header and everything after it.
        for variant in kept mutated; do
            mutated=$stage/captures/$kind-header-$variant.pcap
            local skip=$offset
            [[ $variant == kept ]] && skip=$((offset + ovk_header_length))
            editcap -E 0.03 -o "$skip" --seed "$seed" "$base" "$mutated"
            # The two passes side by side: one core each.
            tshark_checked verbose "$mutated" -nVx & local verbose=$!
            tshark_checked two-pass "$mutated" -2 -n & local two_pass=$!
            wait $verbose || exit 1
            wait $two_pass || exit 1
            local decoded
            decoded=$(grep -c '^Ovkan Link Protocol 5' "$stage/verbose.out" || true)
            log "mutate: $(basename "$mutated"): $per_capture packets, $decoded headers shown, -nVx and -2 clean"
            [[ $decoded -gt 0 ]] || fail "no OVK5 header decoded in $(basename "$mutated")"
            total=$((total + per_capture))
        done
    done
    log "mutate: $total mutated packets, no finding"
}

# ------------------------------------------------------------ valgrind
# Memcheck over tshark with the plug-ins of the normal build (memcheck and
# AddressSanitizer do not mix). Errors anywhere fail; leaks fail when a
# frame of the plug-ins is in the allocation stack.
run_valgrind() {
    local packets=${1:-300}
    local build=${BUILD_DIR:-$root/build}
    [[ -f $build/plugins/$series/epan/ovk5.so ]] || BUILD_DIR=$build "$root/scripts/build.sh"
    make_stage "$build/plugins"
    base_captures "$stage/captures" "$packets"
    unset WIRESHARK_DEBUG_WMEM_OVERRIDE G_SLICE
    for kind in udp tcp seq; do
        local capture=$stage/captures/$kind-valgrind.pcap log=$stage/home/valgrind-$kind.log
        editcap -E 0.03 -o "${header_offset[$kind]}" --seed 7 "$stage/captures/$kind.pcap" "$capture"
        log "valgrind: $kind, $packets mutated packets"
        ovk_in_stage valgrind --tool=memcheck --keep-debuginfo=yes --leak-check=full --show-leak-kinds=definite \
            --errors-for-leak-kinds=none --num-callers=40 --log-file="$log" \
            tshark -nVx -r "$capture" >"$stage/home/valgrind.out" || true
        local decoded
        decoded=$(grep -c '^Ovkan Link Protocol 5' "$stage/home/valgrind.out" || true)
        [[ $decoded -eq $packets ]] || fail "valgrind: $decoded of $packets headers decoded ($kind)"
        cp "$log" "$san_build/"
        # One paragraph per report once the "==pid==" prefixes are gone.
        local reports
        reports=$(sed -E 's/^==[0-9]+== ?//' "$log" | awk -v RS= '
            /^(Invalid (read|write|free)|Mismatched free|Source and destination overlap|Conditional jump|Use of uninitialised)/ && /ovk5/ { print; print "" }
            /definitely lost/ && /ovk5/ { print; print "" }')
        if [[ -n $reports ]]; then
            echo "$reports" >&2
            fail "valgrind: reports in the plug-ins ($kind, log in $san_build)"
        fi
        local invalid definite
        invalid=$(grep -cE 'Invalid (read|write)' "$log" || true)
        definite=$(grep -E 'definitely lost:' "$log" | sed -E 's/^==[0-9]+== +//')
        log "valgrind: $kind: $decoded headers decoded, $invalid invalid accesses in all, $definite; none in the plug-ins"
    done
}

# ---------------------------------------------------------------- load
# One capture of PACKETS OVK5 packets read whole and a quarter of it, with
# our plug-in and with the benchmark's floor plug-in (hand-off only): every
# header must be decoded, and the peak memory may grow per packet no faster
# with ours than with the floor, but for what the analysis keeps per frame
# (ovk5.analyze, on by default).
run_load() {
    local packets=${1:-1000000}
    local bench_build=${BENCH_BUILD_DIR:-$root/build/bench}
    unset WIRESHARK_DEBUG_WMEM_OVERRIDE G_SLICE
    make_stage
    stage_bench_plugins "$root" "$bench_build" "$stage"
    local capture=$stage/captures/load.pcap
    "$bench_build/tools/capgen/ovk5-capgen" -t udp -n "$packets" -o "$capture"
    log "load: $packets packets, $(stat -c %s "$capture") bytes"

    declare -A peak
    local quarter=$((packets / 4))
    for variant in ours floor; do
        local fields=(-e eth.src) expected=$'^02:00:00:00:00:01,02:00:00:00:00:0a$'
        if [[ $variant == ours ]]; then
            fields=(-e ovk5.if -e ovk5.rid1 -e eth.src)
            expected=$'^0\t0xabcd\t02:00:00:00:00:01,02:00:00:00:00:0a$'
        fi
        for run in "$packets" "$quarter"; do
            ovk_in_stage WIRESHARK_PLUGIN_DIR="$stage/$variant" \
                /usr/bin/time -f '%e %M' -o "$stage/home/time" \
                tshark -n -c "$run" -r "$capture" -T fields "${fields[@]}" >"$stage/home/out"
            local decoded seconds kb
            decoded=$(grep -c "$expected" "$stage/home/out" || true)
            read -r seconds kb <"$stage/home/time"
            peak[$variant-$run]=$kb
            log "load: $variant, $run packets: $decoded decoded, ${seconds}s, peak ${kb} kB"
            [[ $decoded -eq $run ]] || fail "load: $variant decoded $decoded of $run packets"
        done
    done
    local growth_ours growth_floor
    growth_ours=$(( (peak[ours-$packets] - peak[ours-$quarter]) * 1024 / (packets - quarter) ))
    growth_floor=$(( (peak[floor-$packets] - peak[floor-$quarter]) * 1024 / (packets - quarter) ))
    log "load: peak memory growth per packet: ours ${growth_ours} B, floor ${growth_floor} B" \
        "(the analyser keeps per-packet state of its own; ours adds the analysis record)"
    # The analysis keeps one record per header in the frame's protocol data:
    # the analyser's list entry and our record, 64 bytes measured; the rest
    # is measuring noise (peak RSS in kB, page-grained).
    local analysis_per_packet=80
    (( growth_ours <= growth_floor + analysis_per_packet )) \
        || fail "load: ours grows ${growth_ours} B/packet, floor ${growth_floor} B"
}

command=${1:-ci}
shift || true
build_sanitized
case $command in
    ci)
        start=$SECONDS
        run_fuzz "${OVK_FUZZ_SECONDS:-55}"
        log "fuzz campaign took $((SECONDS - start))s"
        start=$SECONDS
        run_mutate "${OVK_MUTATION_PACKETS:-102000}"
        log "mutation campaign took $((SECONDS - start))s"
        start=$SECONDS
        run_valgrind "${OVK_VALGRIND_PACKETS:-1000}"
        log "valgrind sample took $((SECONDS - start))s"
        ;;
    fuzz) run_fuzz "$@" ;;
    mutate) run_mutate "$@" ;;
    valgrind) run_valgrind "$@" ;;
    load) run_load "$@" ;;
    *) echo "usage: $0 ci | fuzz [SECONDS] | mutate [PACKETS] | valgrind [PACKETS] | load [PACKETS]" >&2; exit 2 ;;
esac
