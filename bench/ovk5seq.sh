#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Benchmark of the OVK5SEQ plug-in against the floor plug-in (which only
# hands the frame behind the 16-byte header to Ethernet), with the analysis
# on (the default) and off (-o ovk5seq.analyze:FALSE):
#   - marginal CPU per record of "tshark -n -T fields -e frame.number
#     -e eth.src" over $BENCH_PACKETS (default 100000) records: whole-run
#     user+system CPU minus that of a 1-record capture, the variants
#     interleaved, medians of $BENCH_ROUNDS (default 7) rounds;
#   - peak resident memory of one run over $BENCH_RSS_PACKETS (default
#     1000000) records, and the bytes per record each variant adds to the
#     floor's.
# Not part of the test suite.
#
#   bench/ovk5seq.sh
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
series=$(cd "$stage/ours" && ls -d [0-9]*.[0-9]*)
# OVK5SEQ alone in its folder: the floor takes link-type 150 too.
mkdir -p "$stage/seq/$series/epan"
cp "$bench_build/plugins/$series/epan/ovk5seq.so" "$stage/seq/$series/epan/"
capgen=$bench_build/tools/capgen/ovk5-capgen
"$capgen" -q -t seq -n "$packets" --gap-every 7 --missing 2 -o "$stage/big.pcap"
"$capgen" -q -t seq -n 1 -o "$stage/one.pcap"
"$capgen" -q -t seq -n "$rss_packets" --gap-every 7 --missing 2 -o "$stage/rss.pcap"

variants=(on off floor)
# Runs tshark over capture as variant says, timed into $stage/home/time
# with format; every record must reach the inner frame.
run_variant() {
    local variant=$1 capture=$2 format=$3 plugins=$stage/seq extra=()
    [[ $variant == off ]] && extra=(-o ovk5seq.analyze:FALSE)
    [[ $variant == floor ]] && plugins=$stage/floor
    ovk_in_stage WIRESHARK_PLUGIN_DIR="$plugins" /usr/bin/time -f "$format" -o "$stage/home/time" \
        tshark -n -r "$capture" "${extra[@]}" -T fields -e frame.number -e eth.src >"$stage/home/out"
    local decoded
    decoded=$(grep -c '02:00:00:00:00:0a' "$stage/home/out" || true)
    [[ $decoded -eq $(grep -c . "$stage/home/out") ]] || { echo "bench: $variant decoded $decoded" >&2; exit 1; }
}

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

declare -A big one per_record peak
for ((round = 1; round <= rounds; round++)); do
    for variant in "${variants[@]}"; do
        run_variant "$variant" "$stage/big.pcap" '%U %S'
        big[$variant]+="$(awk '{print $1 + $2}' "$stage/home/time") "
        run_variant "$variant" "$stage/one.pcap" '%U %S'
        one[$variant]+="$(awk '{print $1 + $2}' "$stage/home/time") "
    done
    echo "round $round/$rounds done" >&2
done
echo "OVK5SEQ records: $packets, rounds: $rounds (medians of whole-run CPU seconds)"
for variant in "${variants[@]}"; do
    b=$(tr ' ' '\n' <<<"${big[$variant]}" | grep . | median)
    o=$(tr ' ' '\n' <<<"${one[$variant]}" | grep . | median)
    per_record[$variant]=$(awk -v b="$b" -v o="$o" -v n="$packets" 'BEGIN {printf "%.3f", (b - o) / (n - 1) * 1e6}')
    printf 'analysis %-5s %s-record run %6.2f s, 1-record run %5.2f s, marginal %s us/record\n' \
        "$variant" "$packets" "$b" "$o" "${per_record[$variant]}"
done
awk -v on="${per_record[on]}" -v off="${per_record[off]}" -v floor="${per_record[floor]}" \
    'BEGIN {printf "on/floor %.3f, off/floor %.3f (target <= 1.05)\n", on / floor, off / floor}'

for variant in "${variants[@]}"; do
    run_variant "$variant" "$stage/rss.pcap" '%M'
    peak[$variant]=$(cat "$stage/home/time")
done
awk -v n="$rss_packets" -v on="${peak[on]}" -v off="${peak[off]}" -v floor="${peak[floor]}" 'BEGIN {
    printf "Peak RSS over %d records: on %.1f MB, off %.1f MB, floor %.1f MB\n", n, on / 1024, off / 1024, floor / 1024
    printf "Per record: on - off %.1f B (target <= 24), off - floor %.1f B\n", (on - off) * 1024 / n, (off - floor) * 1024 / n }'
echo "Machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(nproc) CPUs," \
     "$(uname -sr), $(tshark -v 2>/dev/null | head -n1)"
