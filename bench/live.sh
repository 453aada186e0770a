#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Live capture at rising rates: ovk5-capgen sends OVK5 over loopback UDP
# at N records per second for $BENCH_SECONDS (default 10) s, and two
# captures take the same carrier stream at once:
#   extcap   tshark -i ovk5udp -w FILE   (ovk5dump and dumpcap, as a user)
#   lo       dumpcap -i lo -w FILE       (the carrier, as root)
# For each rate: records sent and how long sending took (the rate is not
# reached when it is longer), records in each file, CPU per record of each
# (user+system: ovk5dump and the dumpcap reading its FIFO; dumpcap -i lo)
# and ovk5dump's resident memory after 1 s and at the end. Both captures
# are stopped (SIGINT) a second after the last record was sent.
# Rates from $BENCH_RATES. Uses the build in $BUILD_DIR (default build/).
# Run as root (dumpcap -i lo). Not part of the test suite.
#
#   bench/live.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
seconds=${BENCH_SECONDS:-10}
rates=${BENCH_RATES:-"10000 25000 50000 100000 200000"}
capgen=$build/tools/capgen/ovk5-capgen
extcap=$build/extcap/ovk5dump
[[ -x $capgen && -x $extcap ]] || { echo "bench: build first ($build)" >&2; exit 1; }
[[ $(id -u) -eq 0 ]] || { echo "bench: run as root (dumpcap -i lo)" >&2; exit 1; }

source "$root/scripts/tshark-stage.sh"
ovk_stage_new
stage=$ovk_stage
mkdir "$stage/extcap"
cp "$extcap" "$stage/extcap/"

packets_in() { capinfos -c -M "$1" 2>/dev/null | awk '/Number of packets/ { print $NF }'; }

# watch FILE LO_PID: every half second until ovk5dump ends, appends the
# CPU ticks of ovk5dump, of its dumpcap (the sibling reading its FIFO),
# of dumpcap -i lo, and ovk5dump's VmRSS (kB). tshark's own start-up
# (loading every dissector) is no part of the cost of a record, so the
# capturing processes are measured, not the tree.
watch() {
    local pid= parent dumpcap lo=$2
    # The capturing one: tshark runs it for its interface list first.
    for _ in $(seq 300); do
        pid=$(pgrep -f "^$stage/extcap/ovk5dump --capture" | head -1 || true)
        parent=$([[ -z $pid ]] || ps -o ppid= -p "$pid" | tr -d ' ' || true)
        dumpcap=$([[ -z $parent ]] || pgrep -P "$parent" -x dumpcap | head -1 || true)
        [[ -n $dumpcap ]] && break
        sleep 0.1
    done
    [[ -n $dumpcap ]] || return 0
    ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat" 2>/dev/null; }
    while [[ -r /proc/$pid/status ]]; do
        local line
        line="$(ticks "$pid") $(ticks "$dumpcap") $(ticks "$lo") $(awk '/^VmRSS/ { print $2 }' "/proc/$pid/status" 2>/dev/null)"
        [[ $(wc -w <<<"$line") -eq 4 ]] && echo "$line" >>"$1"
        sleep 0.5
    done
}
hz=$(getconf CLK_TCK)

printf '%9s %10s %7s | %10s %8s %10s %17s %13s | %10s %8s %10s\n' rate sent "send s" extcap lost "us/record" \
    "(ovk5dump+dumpcap)" "RSS kB" lo lost "us/record"
port=$((30000 + RANDOM % 20000))
for rate in $rates; do
    port=$((port + 1))
    count=$((rate * seconds))
    rm -f "$stage"/*.pcapng "$stage/watch"
    ovk_in_stage WIRESHARK_EXTCAP_DIR="$stage/extcap" \
        tshark -q -i ovk5udp -o "extcap.ovk5udp.port:$port" -w "$stage/extcap.pcapng" >/dev/null 2>"$stage/extcap.err" &
    extcap_run=$!
    dumpcap -q -i lo -f "udp dst port $port" -w "$stage/lo.pcapng" >/dev/null 2>"$stage/lo.err" &
    lo_run=$!
    watch "$stage/watch" "$lo_run" &
    watch_run=$!
    # Both capturing: ovk5dump listening, dumpcap -i lo started.
    for _ in $(seq 300); do
        [[ -s $stage/watch ]] && break
        sleep 0.1
    done
    [[ -s $stage/watch ]] || { echo "bench: ovk5dump did not run: $(cat "$stage/extcap.err")" >&2; exit 1; }
    sleep 1
    send_start=$(date +%s.%N)
    "$capgen" -q -n "$count" --rate "$rate" --send "udp://127.0.0.1:$port"
    send_seconds=$(awk -v a="$send_start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
    # Both stopped as a user stops them, once the stream is over.
    sleep 1
    kill -INT "$(pgrep -P "$extcap_run" | head -1)" "$lo_run"
    wait "$extcap_run" "$lo_run" "$watch_run" || true
    got_extcap=$(packets_in "$stage/extcap.pcapng")
    got_lo=$(packets_in "$stage/lo.pcapng")
    read -r extcap_ticks dumpcap_ticks lo_ticks _ < <(tail -1 "$stage/watch")
    rss=$(awk 'NR == 2 { first = $4 } { last = $4 } END { print first "->" last }' "$stage/watch")
    per_record() { awk -v t="$1" -v n="$2" -v hz="$hz" 'BEGIN { printf "%.3f", n ? t / hz * 1e6 / n : 0 }'; }
    printf '%9s %10s %7s | %10s %8s %10s %17s %13s | %10s %8s %10s\n' "$rate" "$count" "$send_seconds" \
        "$got_extcap" $((count - got_extcap)) "$(per_record $((extcap_ticks + dumpcap_ticks)) "$got_extcap")" \
        "$(per_record "$extcap_ticks" "$got_extcap")+$(per_record "$dumpcap_ticks" "$got_extcap")" "$rss" \
        "$got_lo" $((count - got_lo)) "$(per_record "$lo_ticks" "$got_lo")"
done
