#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Live capture at rising rates: ovk5-capgen sends OVK5 over loopback UDP
# at N records per second for $BENCH_SECONDS (default 10) s, and two
# captures take the same carrier stream at once:
#   extcap   tshark -i ovk5udp -w FILE   (ovk5dump and dumpcap, as a user)
#   lo       dumpcap -i lo -w FILE       (the carrier, as root)
# For each rate: records sent, records in each file, CPU per record of each
# (user+system: ovk5dump and the dumpcap reading its FIFO; the whole
# dumpcap -i lo) and ovk5dump's resident memory after 1 s and at the end.
# Rates from $BENCH_RATES. Uses the build in $BUILD_DIR (default build/).
# Run as root (dumpcap -i lo). Not part of the test suite.
#
#   bench/live.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
seconds=${BENCH_SECONDS:-10}
rates=${BENCH_RATES:-"10000 50000 100000 200000 400000"}
capgen=$build/tools/capgen/ovk5-capgen
extcap=$build/extcap/ovk5dump
[[ -x $capgen && -x $extcap ]] || { echo "bench: build first ($build)" >&2; exit 1; }
[[ $(id -u) -eq 0 ]] || { echo "bench: run as root (dumpcap -i lo)" >&2; exit 1; }

source "$root/scripts/tshark-stage.sh"
"$root/scripts/install-deps.sh" time
ovk_stage_new
stage=$ovk_stage
mkdir "$stage/extcap"
cp "$extcap" "$stage/extcap/"

packets_in() { capinfos -c -M "$1" 2>/dev/null | awk '/Number of packets/ { print $NF }'; }

# watch_extcap FILE: every half second until ovk5dump ends, appends its
# CPU ticks, its dumpcap's (the sibling reading its FIFO) and its VmRSS
# (kB). tshark's own start-up (loading every dissector) is no part of the
# cost of a record, so the two processes are measured, not the tree.
watch_extcap() {
    local pid= parent dumpcap
    for _ in $(seq 50); do
        pid=$(pgrep -f "^$stage/extcap/ovk5dump" | head -1) && break
        sleep 0.1
    done
    [[ -n $pid ]] || return 0
    parent=$(ps -o ppid= -p "$pid" | tr -d ' ')
    dumpcap=$(pgrep -P "$parent" -x dumpcap | head -1)
    ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat" 2>/dev/null; }
    while [[ -r /proc/$pid/status ]]; do
        local line
        line="$(ticks "$pid") $(ticks "$dumpcap") $(awk '/^VmRSS/ { print $2 }' "/proc/$pid/status" 2>/dev/null)"
        [[ $(wc -w <<<"$line") -eq 3 ]] && echo "$line" >>"$1"
        sleep 0.5
    done
}
hz=$(getconf CLK_TCK)

printf '%9s %10s | %10s %8s %10s %9s | %10s %8s %10s\n' rate sent extcap lost "us/record" "RSS kB" lo lost "us/record"
port=$((30000 + RANDOM % 20000))
for rate in $rates; do
    port=$((port + 1))
    count=$((rate * seconds))
    duration=$((seconds + 4))
    rm -f "$stage"/*.pcapng "$stage/watch"
    ovk_in_stage WIRESHARK_EXTCAP_DIR="$stage/extcap" \
        tshark -q -i ovk5udp -o "extcap.ovk5udp.port:$port" -a "duration:$duration" -w "$stage/extcap.pcapng" \
        >/dev/null 2>"$stage/extcap.err" &
    extcap_run=$!
    /usr/bin/time -f '%U %S' -o "$stage/time-lo" dumpcap -q -i lo -f "udp dst port $port" -a "duration:$duration" \
        -w "$stage/lo.pcapng" >/dev/null 2>"$stage/lo.err" &
    lo_run=$!
    watch_extcap "$stage/watch" &
    rss_run=$!
    sleep 2  # both capturing
    "$capgen" -q -n "$count" --rate "$rate" --send "udp://127.0.0.1:$port"
    wait "$extcap_run" "$lo_run" "$rss_run" || true
    got_extcap=$(packets_in "$stage/extcap.pcapng")
    got_lo=$(packets_in "$stage/lo.pcapng")
    cpu_extcap=$(tail -1 "$stage/watch" | awk -v hz="$hz" '{ print ($1 + $2) / hz }')
    cpu_lo=$(awk '{ print $1 + $2 }' "$stage/time-lo")
    rss=$(awk 'NR == 2 { first = $3 } { last = $3 } END { print first "->" last }' "$stage/watch")
    printf '%9s %10s | %10s %8s %10.3f %9s | %10s %8s %10.3f\n' "$rate" "$count" \
        "$got_extcap" $((count - got_extcap)) "$(awk -v c="$cpu_extcap" -v n="$got_extcap" 'BEGIN { print n ? c * 1e6 / n : 0 }')" "$rss" \
        "$got_lo" $((count - got_lo)) "$(awk -v c="$cpu_lo" -v n="$got_lo" 'BEGIN { print n ? c * 1e6 / n : 0 }')"
done
