#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Benchmark of both plug-ins against floor plug-ins that only hand the frame
# behind the 16-byte header on to Ethernet. Not part of the test suite.
#
# CPU: marginal CPU per packet of "tshark -T fields" over $BENCH_PACKETS
# (default 100000) packets, for OVK5 over UDP (ours, floor, and
# bench/ovk5.lua, the same dissector in Lua) and OVK5SEQ records (ours,
# floor): whole-run user+system CPU minus that of a 1-packet capture, per
# packet; runs interleaved, $BENCH_ROUNDS (default 7) rounds, medians.
#
# Memory: peak resident memory of one run over $BENCH_RSS_PACKETS (default
# 1000000) packets of each protocol with the analysis on (as by default),
# with it off (-o ovk5.analyze:FALSE, -o ovk5seq.analyze:FALSE) and with
# the floor; the analysis' cost is (on - off) per header or record.
#
#   bench/run.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bench_build=${BENCH_BUILD_DIR:-$root/build/bench}
packets=${BENCH_PACKETS:-100000}
rounds=${BENCH_ROUNDS:-7}
rss_packets=${BENCH_RSS_PACKETS:-1000000}

source "$root/bench/plugins.sh"
source "$root/scripts/tshark-stage.sh"

"$root/scripts/install-deps.sh" time
ovk_stage_new
stage=$ovk_stage
stage_bench_plugins "$root" "$bench_build" "$stage"
# The Lua run loads no plug-in of ours.
mkdir "$stage/lua"
cp "$root/bench/ovk5.lua" "$stage/"
capgen=$bench_build/tools/capgen/ovk5-capgen
for protocol in ovk5-udp ovk5seq; do
    "$capgen" -q -P "$protocol" -n "$packets" -o "$stage/$protocol-big.pcap"
    "$capgen" -q -P "$protocol" -n 1 -o "$stage/$protocol-one.pcap"
    "$capgen" -q -P "$protocol" -n "$rss_packets" -o "$stage/$protocol-rss.pcap"
done

# Runs tshark for variant over capture with /usr/bin/time format; every
# packet must be decoded through the inner frame, or the figure is void.
timed_tshark() {
    local variant=$1 capture=$2 format=$3
    shift 3
    local plugins=$stage/$variant extra=()
    case $variant in
        lua) plugins=$stage/lua; extra=(-X "lua_script:$stage/ovk5.lua") ;;
        off) plugins=$stage/ours; extra=(-o ovk5.analyze:FALSE -o ovk5seq.analyze:FALSE) ;;
    esac
    ovk_in_stage WIRESHARK_PLUGIN_DIR="$plugins" /usr/bin/time -f "$format" -o "$stage/home/time" \
        tshark -n -r "$capture" "${extra[@]}" -T fields -e frame.number -e eth.src "$@" >"$stage/home/out"
    local decoded
    decoded=$(grep -c '02:00:00:00:00:0a' "$stage/home/out" || true)
    [[ $decoded -eq $(grep -c . "$stage/home/out") ]] || { echo "bench: $variant decoded $decoded" >&2; exit 1; }
    cat "$stage/home/time"
}

cpu_seconds() { timed_tshark "$1" "$2" '%U %S' | awk '{print $1 + $2}'; }

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

declare -A big one per_packet
runs=(ovk5-udp:ours ovk5-udp:floor ovk5-udp:lua ovk5seq:ours ovk5seq:floor)
for ((round = 1; round <= rounds; round++)); do
    for run in "${runs[@]}"; do
        protocol=${run%%:*} variant=${run#*:}
        big[$run]+="$(cpu_seconds "$variant" "$stage/$protocol-big.pcap") "
        one[$run]+="$(cpu_seconds "$variant" "$stage/$protocol-one.pcap") "
    done
    echo "round $round/$rounds done" >&2
done

echo "CPU: $packets packets, $rounds rounds (medians of whole-run CPU seconds)"
for run in "${runs[@]}"; do
    b=$(tr ' ' '\n' <<<"${big[$run]}" | grep . | median)
    o=$(tr ' ' '\n' <<<"${one[$run]}" | grep . | median)
    per_packet[$run]=$(awk -v b="$b" -v o="$o" -v n="$packets" 'BEGIN {printf "%.3f", (b - o) / (n - 1) * 1e6}')
    printf '%-15s %s-packet run %6.2f s, 1-packet run %5.2f s, marginal %s us/packet\n' \
        "$run" "$packets" "$b" "$o" "${per_packet[$run]}"
done
awk -v ours="${per_packet[ovk5-udp:ours]}" -v floor="${per_packet[ovk5-udp:floor]}" \
    -v lua="${per_packet[ovk5-udp:lua]}" -v seq="${per_packet[ovk5seq:ours]}" \
    -v seqfloor="${per_packet[ovk5seq:floor]}" 'BEGIN {
    printf "OVK5 ours/floor %.3f (target <= 1.05), lua/ours %.2f (target >= 1.5)\n", ours / floor, lua / ours
    printf "OVK5SEQ ours/floor %.3f (target <= 1.05)\n", seq / seqfloor }'

# Peak resident memory (kB) of one run over the large capture.
echo "Memory: peak RSS over $rss_packets packets"
for protocol in ovk5-udp ovk5seq; do
    declare -A kb=()
    for variant in ours off floor; do
        kb[$variant]=$(timed_tshark "$variant" "$stage/$protocol-rss.pcap" '%M')
    done
    goal=16 unit=header
    [[ $protocol == ovk5seq ]] && goal=24 unit=record
    awk -v p="$protocol" -v n="$rss_packets" -v on="${kb[ours]}" -v off="${kb[off]}" -v floor="${kb[floor]}" \
        -v goal="$goal" -v unit="$unit" 'BEGIN {
        printf "%-8s analysis on %.1f MB, off %.1f MB, floor %.1f MB: analysis %.1f B per %s (goal <= %d), " \
               "off over floor %.1f B\n", p, on / 1024, off / 1024, floor / 1024, (on - off) * 1024 / n, unit, goal,
               (off - floor) * 1024 / n }'
done
echo "Machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(nproc) CPUs," \
     "$(uname -sr), $(tshark -v 2>/dev/null | head -n1)"
