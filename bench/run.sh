#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Benchmark: marginal CPU per packet of "tshark -T fields" over a capture of
# $BENCH_PACKETS (default 100000) OVK5 packets over UDP, for
#   ours   the OVK5 plug-in,
#   floor  a plug-in that only hands the frame behind the header on,
#   lua    the same dissector written in Lua (bench/ovk5.lua).
# Marginal CPU = (user+system CPU of the whole run) - (the same for a
# 1-packet capture), per packet; runs interleaved, $BENCH_ROUNDS (default 7)
# rounds, medians. Then the peak resident memory of one run over
# $BENCH_RSS_PACKETS (default 1000000) packets, ours (analysis on, as by
# default) against the floor. Not part of the test suite.
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
"$bench_build/tools/capgen/ovk5-capgen" -t udp -n "$packets" -o "$stage/big.pcap"
"$bench_build/tools/capgen/ovk5-capgen" -t udp -n 1 -o "$stage/one.pcap"
"$bench_build/tools/capgen/ovk5-capgen" -q -t udp -n "$rss_packets" -o "$stage/rss.pcap"

# Prints "user+system seconds" of one tshark run.
cpu_seconds() {
    local variant=$1 capture=$2
    local plugins=$stage/$variant extra=()
    [[ $variant == lua ]] && { plugins=$stage/lua; extra=(-X "lua_script:$stage/ovk5.lua"); }
    ovk_in_stage WIRESHARK_PLUGIN_DIR="$plugins" /usr/bin/time -f '%U %S' -o "$stage/home/time" \
        tshark -n -r "$capture" "${extra[@]}" -T fields -e frame.number -e ip.src -e udp.dstport -e eth.src \
        >"$stage/home/out"
    # Every packet decoded through the inner frame, or the figure is void.
    local decoded
    decoded=$(grep -c '02:00:00:00:00:0a' "$stage/home/out" || true)
    [[ $decoded -eq $(grep -c . "$stage/home/out") ]] || { echo "bench: $variant decoded $decoded" >&2; exit 1; }
    awk '{print $1 + $2}' "$stage/home/time"
}

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

declare -A big one
for ((round = 1; round <= rounds; round++)); do
    for variant in ours floor lua; do
        big[$variant]+="$(cpu_seconds "$variant" "$stage/big.pcap") "
        one[$variant]+="$(cpu_seconds "$variant" "$stage/one.pcap") "
    done
    echo "round $round/$rounds done" >&2
done

declare -A per_packet
echo "Packets: $packets, rounds: $rounds (medians of whole-run CPU seconds)"
for variant in ours floor lua; do
    b=$(tr ' ' '\n' <<<"${big[$variant]}" | grep . | median)
    o=$(tr ' ' '\n' <<<"${one[$variant]}" | grep . | median)
    per_packet[$variant]=$(awk -v b="$b" -v o="$o" -v n="$packets" 'BEGIN {printf "%.3f", (b - o) / (n - 1) * 1e6}')
    printf '%-6s %s-packet run %6.2f s, 1-packet run %5.2f s, marginal %s us/packet\n' \
        "$variant" "$packets" "$b" "$o" "${per_packet[$variant]}"
done
awk -v ours="${per_packet[ours]}" -v floor="${per_packet[floor]}" -v lua="${per_packet[lua]}" \
    'BEGIN {printf "ours/floor %.3f (target <= 1.05), lua/ours %.2f (target >= 1.5)\n", ours / floor, lua / ours}'
# Peak resident memory (kB) of one run over the large capture.
peak_kb() {
    local variant=$1
    ovk_in_stage WIRESHARK_PLUGIN_DIR="$stage/$variant" /usr/bin/time -f '%M' -o "$stage/home/rss" \
        tshark -n -r "$stage/rss.pcap" -T fields -e frame.number -e eth.src >/dev/null
    cat "$stage/home/rss"
}
rss_ours=$(peak_kb ours)
rss_floor=$(peak_kb floor)
awk -v n="$rss_packets" -v ours="$rss_ours" -v floor="$rss_floor" 'BEGIN {
    printf "Peak RSS over %d packets: ours %.1f MB, floor %.1f MB, difference %.1f B/packet\n",
           n, ours / 1024, floor / 1024, (ours - floor) * 1024 / n }'
echo "Machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(nproc) CPUs," \
     "$(uname -sr), $(tshark -v 2>/dev/null | head -n1)"
