#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# ovk5-export side by side with what a user would otherwise run, on the same
# captures of $BENCH_PACKETS (default 1000000) packets made by ovk5-capgen:
#   OVK5SEQ records       ovk5-export  vs  editcap -F pcapng
#   OVK5 over UDP         ovk5-export  vs  tshark -r IN -T fields -e ovk5.if
#                                          (with the built OVK5 plug-in)
# Whole-process user+system CPU and peak RSS, runs interleaved,
# $BENCH_ROUNDS (default 5) rounds, medians. Uses the build in $BUILD_DIR
# (default build/). Not part of the test suite.
#
#   bench/export.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
packets=${BENCH_PACKETS:-1000000}
rounds=${BENCH_ROUNDS:-5}
capgen=$build/tools/capgen/ovk5-capgen
export_tool=$build/tools/export/ovk5-export
[[ -x $capgen && -x $export_tool ]] || { echo "bench: build first ($build)" >&2; exit 1; }

source "$root/scripts/tshark-stage.sh"

"$root/scripts/install-deps.sh" time
ovk_stage_new "$build/plugins"
stage=$ovk_stage
"$capgen" -q -P ovk5seq -n "$packets" -o "$stage/seq.pcap"
"$capgen" -q -P ovk5-udp -n "$packets" -o "$stage/udp.pcap"

# Prints "cpu_seconds peak_rss_kb" of one run of the named variant.
measure() {
    local variant=$1 run
    case $variant in
        export-seq) run=("$export_tool" -q "$stage/seq.pcap" "$stage/out.pcapng") ;;
        editcap)    run=(editcap -F pcapng "$stage/seq.pcap" "$stage/out.pcapng") ;;
        export-udp) run=("$export_tool" -q "$stage/udp.pcap" "$stage/out.pcapng") ;;
        tshark)     run=(tshark -r "$stage/udp.pcap" -T fields -e ovk5.if) ;;
    esac
    ovk_in_stage /usr/bin/time -f '%U %S %M' -o "$stage/time" "${run[@]}" >"$stage/home/out" 2>"$stage/home/err" ||
        { echo "bench: $variant failed: $(cat "$stage/home/err")" >&2; exit 1; }
    # Every packet accounted for, or the figure is void.
    local count
    if [[ $variant == tshark ]]; then
        count=$(grep -c . "$stage/home/out")
    else
        count=$(capinfos -c -M "$stage/out.pcapng" | awk '/Number of packets/ { print $NF }')
    fi
    [[ $count -eq $packets ]] || { echo "bench: $variant gave $count of $packets packets" >&2; exit 1; }
    rm -f "$stage/out.pcapng"
    awk '{ print $1 + $2, $3 }' "$stage/time"
}

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

declare -A cpu rss
variants=(export-seq editcap export-udp tshark)
for ((round = 1; round <= rounds; round++)); do
    for variant in "${variants[@]}"; do
        read -r seconds kb < <(measure "$variant")
        cpu[$variant]+="$seconds "
        rss[$variant]+="$kb "
    done
done

echo "$packets packets, $rounds rounds, medians"
printf '%-12s %10s %12s\n' variant "CPU s" "peak RSS MB"
declare -A med
for variant in "${variants[@]}"; do
    med[$variant]=$(tr ' ' '\n' <<<"${cpu[$variant]}" | grep . | median)
    mb=$(tr ' ' '\n' <<<"${rss[$variant]}" | grep . | median | awk '{ printf "%.1f", $1 / 1024 }')
    printf '%-12s %10s %12s\n' "$variant" "${med[$variant]}" "$mb"
done
awk -v a="${med[export-seq]}" -v b="${med[editcap]}" 'BEGIN { printf "OVK5SEQ export / editcap: %.2f (goal <= 1.2)\n", a / b }'
awk -v a="${med[export-udp]}" -v b="${med[tshark]}" 'BEGIN { printf "OVK5-over-UDP export / tshark: %.2f (goal <= 1.2)\n", a / b }'
