#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Live capture accounting at rising rates: ovk5-capgen sends $BENCH_COUNT
# (default 200000) OVK5 records over loopback UDP at each rate of
# $BENCH_RATES (records per second; 0: as fast as it can), to each of
#   ovk5dump   tshark -i ovk5udp -w FILE   (ovk5dump and dumpcap, as a user)
#   udpdump    tshark -i udpdump -w FILE   (Wireshark's own UDP extcap)
# in turn, while `dumpcap -i lo -w FILE` (as root) takes the carrier stream
# of the ovk5dump run. For each: records sent, written (packets in the
# file), shown as dropped (the drop counts of the file's interface
# statistics blocks, what Wireshark's Capture File Properties shows), the
# kernel's drop count of the receiving socket (/proc/net/udp; for
# dumpcap -i lo, libpcap's own count as its statistics block gives it),
# and CPU per record written (user+system of the extcap and the dumpcap
# reading its FIFO, read from /proc; tshark's own start-up is left out).
# Every capture is stopped as Wireshark's stop button does it: SIGTERM to
# the extcap, a second after the last record was sent; dumpcap -i lo by
# SIGINT. Uses the build in $BUILD_DIR (default build/). Run as root
# (dumpcap -i lo). Not part of the test suite.
#
#   bench/live.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
count=${BENCH_COUNT:-200000}
rates=${BENCH_RATES:-"10000 50000 100000 0"}
capgen=$build/tools/capgen/ovk5-capgen
extcap=$build/extcap/ovk5dump
udpdump=$(find /usr/lib/*/wireshark/extcap /usr/libexec/wireshark/extcap -name udpdump 2>/dev/null | head -1 || true)
[[ -x $capgen && -x $extcap ]] || { echo "bench: build first ($build)" >&2; exit 1; }
[[ -n $udpdump ]] || { echo "bench: Wireshark's udpdump not found" >&2; exit 1; }
[[ $(id -u) -eq 0 ]] || { echo "bench: run as root (dumpcap -i lo)" >&2; exit 1; }

source "$root/scripts/tshark-stage.sh"
ovk_stage_new
stage=$ovk_stage
mkdir "$stage/extcap"
cp "$extcap" "$udpdump" "$stage/extcap/"
hz=$(getconf CLK_TCK)

packets_in() { capinfos -c -M "$1" 2>/dev/null | awk '/Number of packets/ { print $NF }'; }

# The sum of the drop counts (isb_ifdrop) of a pcapng file's interface
# statistics blocks.
shown_dropped() {
    od -An -v -tu4 "$1" | tr -s ' \n' ' ' | awk '
        { n = split($0, w, " ") }
        END {
            for (i = 1; i < n; i += size / 4) {
                type = w[i]; size = w[i + 1]
                if (size < 12) break
                if (type != 5) continue
                for (o = i + 5; o < i + size / 4 - 1; o += 1 + int((length_ + 3) / 4)) {
                    code = w[o] % 65536; length_ = int(w[o] / 65536)
                    if (code == 0) break
                    if (code == 5) dropped += w[o + 1] + w[o + 2] * 4294967296
                }
            }
            printf "%d\n", dropped
        }'
}

# watch FILE NAME PORT [LO_PID]: every 0.2 s until the extcap NAME ends,
# appends the CPU ticks of the extcap, of its dumpcap (the sibling reading
# its FIFO), of dumpcap -i lo, and the kernel's drop count of the UDP
# socket on PORT.
watch() {
    local pid= parent dumpcap= lo=${4:-} hex
    hex=$(printf ':%04X$' "$3")
    # The capturing one: tshark runs it for its interface list first.
    for _ in $(seq 300); do
        pid=$(pgrep -f "^$stage/extcap/$2 .*--capture" | head -1 || true)
        parent=$([[ -z $pid ]] || ps -o ppid= -p "$pid" | tr -d ' ' || true)
        dumpcap=$([[ -z $parent ]] || pgrep -P "$parent" -x dumpcap | head -1 || true)
        [[ -n $dumpcap ]] && break
        sleep 0.1
    done
    [[ -n $dumpcap ]] || return 0
    echo "$pid" >"$1.pid"
    ticks() { [[ -z $1 ]] && echo 0 || awk '{ print $14 + $15 }' "/proc/$1/stat" 2>/dev/null; }
    while [[ -r /proc/$pid/stat ]]; do
        local line drops
        drops=$(awk -v p="$hex" '$2 ~ p { print $NF }' /proc/net/udp /proc/net/udp6 2>/dev/null | head -1)
        line="$(ticks "$pid") $(ticks "$dumpcap") $(ticks "$lo") ${drops:-}"
        [[ $(wc -w <<<"$line") -eq 4 ]] && echo "$line" >>"$1"
        sleep 0.2
    done
}

per_record() { awk -v t="$1" -v n="$2" -v hz="$hz" 'BEGIN { printf "%.2f", n ? t / hz * 1e6 / n : 0 }'; }
row() { printf '| %s | %s | %s | %s | %s | %s | %s | %s |\n' "$@"; }

port=$((30000 + RANDOM % 20000))
echo "$count records per run; CPU per record written; load average $(cut -d' ' -f1-3 /proc/loadavg)"
row capture "rate/s" sent written "shown as dropped" "kernel count" "us/record" "(extcap + dumpcap)"
row --- --- --- --- --- --- --- ---
for rate in $rates; do
    for tool in ovk5dump udpdump; do
        port=$((port + 1))
        rm -f "$stage"/*.pcapng "$stage/watch" "$stage/watch.pid"
        interface=ovk5udp
        [[ $tool == udpdump ]] && interface=udpdump
        ovk_in_stage WIRESHARK_EXTCAP_DIR="$stage/extcap" \
            tshark -q -i "$interface" -o "extcap.$interface.port:$port" -w "$stage/extcap.pcapng" \
            >/dev/null 2>"$stage/extcap.err" &
        extcap_run=$!
        lo_run=
        if [[ $tool == ovk5dump ]]; then
            dumpcap -q -i lo -f "udp dst port $port" -w "$stage/lo.pcapng" >/dev/null 2>"$stage/lo.err" &
            lo_run=$!
        fi
        watch "$stage/watch" "$tool" "$port" "$lo_run" &
        watch_run=$!
        for _ in $(seq 300); do
            [[ -s $stage/watch ]] && break
            sleep 0.1
        done
        [[ -s $stage/watch ]] || { echo "bench: $tool did not run: $(cat "$stage/extcap.err")" >&2; exit 1; }
        sleep 1
        send_start=$(date +%s.%N)
        "$capgen" -q -n "$count" --rate "$rate" --send "udp://127.0.0.1:$port"
        achieved=$(awk -v a="$send_start" -v b="$(date +%s.%N)" -v n="$count" 'BEGIN { printf "%d", n / (b - a) }')
        sleep 1
        kill -TERM "$(cat "$stage/watch.pid")"
        [[ -z $lo_run ]] || kill -INT "$lo_run"
        wait "$extcap_run" $lo_run "$watch_run" || true
        written=$(packets_in "$stage/extcap.pcapng")
        read -r extcap_ticks dumpcap_ticks lo_ticks kernel < <(tail -1 "$stage/watch")
        label=$rate
        [[ $rate == 0 ]] && label="full ($achieved)"
        row "$tool" "$label" "$count" "$written" "$(shown_dropped "$stage/extcap.pcapng")" "$kernel" \
            "$(per_record $((extcap_ticks + dumpcap_ticks)) "$written")" \
            "$(per_record "$extcap_ticks" "$written") + $(per_record "$dumpcap_ticks" "$written")"
        if [[ -n $lo_run ]]; then
            lo_written=$(packets_in "$stage/lo.pcapng")
            lo_dropped=$(shown_dropped "$stage/lo.pcapng")
            row "dumpcap -i lo" "$label" "$count" "$lo_written" "$lo_dropped" "(as shown)" \
                "$(per_record "$lo_ticks" "$lo_written")" ""
        fi
    done
done
