#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Benchmark of the OVK5 heuristics (ovk5_udp, ovk5_tcp), always with OVK5's
# port preferences emptied (-o ovk5.udp.port: -o ovk5.tcp.port:):
#   corpus    misfires over captures of other protocols that ship in Debian
#             packages (fetched with apt-get download into
#             $BENCH_CORPUS_DIR, default /tmp/ovk-heur-corpus; never
#             committed), decoded as usual and with "try heuristic
#             sub-dissectors first" on for UDP and TCP, so that every
#             payload meets the heuristics before the port tables
#   payloads  misfires over $BENCH_PAYLOADS (default 2000000) generated UDP
#             payloads per shape (random bytes, length field first, DNS, RTP,
#             NTP), in process, for both heuristics, with and without
#             capture times
#   misses    every OVK5 capture the project makes (the samples, and the
#             generator's with each transport, inner frame and file format
#             on ports off the defaults) must be OVK5 in every frame
#   cost      CPU per packet of tshark over $BENCH_COST_PACKETS (default
#             200000) generated non-OVK5 UDP datagrams, heuristics on
#             against off: $BENCH_ROUNDS (default 7) interleaved rounds,
#             medians, the CPU of a 5-packet run taken off; then the
#             instructions of the dissection alone (callgrind) over
#             $BENCH_CALLGRIND_PACKETS (default 20000)
# Not part of the test suite.
#
#   bench/heuristic.sh [corpus|payloads|misses|cost]...    (default: all)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bench_build=${BENCH_BUILD_DIR:-$root/build/bench-heur}
corpus=${BENCH_CORPUS_DIR:-/tmp/ovk-heur-corpus}
payloads=${BENCH_PAYLOADS:-2000000}
cost_packets=${BENCH_COST_PACKETS:-200000}
callgrind_packets=${BENCH_CALLGRIND_PACKETS:-20000}
rounds=${BENCH_ROUNDS:-7}
parts=("$@")
[[ ${#parts[@]} -gt 0 ]] || parts=(corpus payloads misses cost)

# Debian 12 packages that ship captures of other protocols (found with
# apt-file search for .pcap, .pcapng and .cap files): gopacket's and
# dpkt's test captures, pathspider's (with a capture of real traffic),
# SIPp's RTP captures, and those of libtrace, tcptrace, pktanon, pcaprub,
# pcapfix, AFL++ and mlpcap.
corpus_packages=(golang-github-google-gopacket-dev golang-github-gopacket-gopacket-dev pathspider sip-tester
                 python3-dpkt python3-libtrace tcptrace pktanon ruby-pcaprub pcapfix afl++-doc libmlpcap-ocaml-dev)

source "$root/scripts/tshark-stage.sh"

cmake -S "$root" -B "$bench_build" -DOVK_BUILD_BENCH=ON -DOVK_BUILD_TESTS=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$bench_build" --parallel 2 --target ovk5 ovk5seq ovk5-capgen ovk5-heur-payloads >/dev/null
# The two plug-ins only: the benchmark tree may also hold the floor plug-in,
# which takes OVK5's ports.
ovk_stage_new
stage=$ovk_stage
series=$(cd "$bench_build/plugins" && ls -d [0-9]*.[0-9]* | head -n1)
mkdir -p "$stage/plugins/$series/epan"
cp "$bench_build/plugins/$series/epan/"{ovk5,ovk5seq}.so "$stage/plugins/$series/epan/"
capgen=$bench_build/tools/capgen/ovk5-capgen
no_ports=(-o ovk5.udp.port: -o ovk5.tcp.port:)

# Prints "packets payloads ovk5" for one capture: its frames, those with a
# UDP or TCP payload, and those decoded as OVK5.
count_frames() {
    local capture=$1
    shift
    ovk_in_stage tshark -n -r "$capture" "${no_ports[@]}" "$@" -T fields -E occurrence=f \
        -e frame.number -e udp.length -e tcp.len -e ovk5.bs 2>/dev/null |
        awk -F'\t' '{ n++; if ($2 > 8 || $3 > 0) p++; if ($4 != "") o++ }
                    END { printf "%d %d %d\n", n, p, o }' || true
}

fetch_corpus() {
    [[ -d $corpus/files ]] && return
    mkdir -p "$corpus/debs" "$corpus/unpacked" "$corpus/files.new"
    (cd "$corpus/debs" && apt-get download "${corpus_packages[@]}" >/dev/null)
    local deb
    for deb in "$corpus"/debs/*.deb; do
        dpkg-deb -x "$deb" "$corpus/unpacked/$(basename "$deb" .deb)"
    done
    # One copy of each capture, named after its package.
    local file sum
    find "$corpus/unpacked" -type f -regextype egrep -iregex '.*\.(pcap|pcapng|cap)(\.gz)?$' -print0 |
        while IFS= read -r -d '' file; do
            sum=$(sha256sum "$file" | cut -c1-12)
            compgen -G "$corpus/files.new/*__${sum}__*" >/dev/null && continue
            cp "$file" "$corpus/files.new/$(cut -d/ -f1 <<<"${file#"$corpus"/unpacked/}" | cut -d_ -f1)__${sum}__$(basename "$file")"
        done
    mv "$corpus/files.new" "$corpus/files"
}

run_corpus() {
    fetch_corpus
    mkdir -p "$stage/corpus"
    cp "$corpus"/files/* "$stage/corpus/"
    local mode label files packets with_payload misfires capture counts
    for mode in ports first; do
        local extra=()
        label="ports first (as by default)"
        if [[ $mode == first ]]; then
            extra=(-o udp.try_heuristic_first:TRUE -o tcp.try_heuristic_first:TRUE)
            label="heuristics first"
        fi
        files=0 packets=0 with_payload=0 misfires=0
        for capture in "$stage"/corpus/*; do
            counts=$(count_frames "corpus/$(basename "$capture")" "${extra[@]}")
            read -r n p o <<<"$counts"
            files=$((files + 1)) packets=$((packets + n)) with_payload=$((with_payload + p))
            misfires=$((misfires + o))
            [[ $o -eq 0 ]] || echo "  misfire: $(basename "$capture"): $o of $n frames" >&2
        done
        echo "corpus, $label: $files captures, $packets packets, $with_payload with a UDP or TCP payload," \
             "$misfires decoded as OVK5"
    done
}

run_payloads() {
    local heuristic time
    for heuristic in ovk5_udp ovk5_tcp; do
        for time in "" --no-time; do
            "$bench_build/bench/ovk5-heur-payloads" -n "$payloads" -H "$heuristic" $time | tail -n1
        done
    done
}

run_misses() {
    mkdir -p "$stage/misses"
    local transport inner format port name
    for transport in udp tcp; do
        port=$([[ $transport == udp ]] && echo 30000 || echo 30001)
        for inner in udp tcp icmp arp random; do
            for format in pcap pcapng; do
                name=misses/$transport-$inner.$format
                "$capgen" -q -t "$transport" -p "$port" --inner "$inner" -n 1000 -s 7 -o "$stage/$name"
            done
        done
    done
    cp "$root"/samples/ovk5-*.pcap* "$stage/misses/"
    local capture total=0 found=0 options
    for capture in "$stage"/misses/*; do
        for options in "" "-o ovk5.tcp.desegment:TRUE"; do
            # shellcheck disable=SC2086
            read -r n _ o <<<"$(count_frames "misses/$(basename "$capture")" $options)"
            total=$((total + n)) found=$((found + o))
            [[ $o -eq $n ]] || echo "  missed: $(basename "$capture") $options: $o of $n frames" >&2
        done
    done
    echo "misses: $found of $total OVK5 frames found ($(ls "$stage/misses" | wc -l) captures, each with" \
         "ovk5.tcp.desegment off and on)"
}

# Prints "user+system seconds" of one tshark run over capture.
cpu_seconds() {
    local capture=$1
    shift
    ovk_in_stage /usr/bin/time -f '%U %S' -o "$stage/home/time" \
        tshark -n -r "$capture" "${no_ports[@]}" "$@" -T fields -e frame.number -e udp.dstport >/dev/null
    awk '{print $1 + $2}' "$stage/home/time"
}

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

run_cost() {
    "$bench_build/bench/ovk5-heur-payloads" -n $((cost_packets / 5)) -w "$stage/cost.pcap"
    "$bench_build/bench/ovk5-heur-payloads" -n 1 -w "$stage/small.pcap"
    local off=(--disable-heuristic ovk5_udp --disable-heuristic ovk5_tcp)
    local on_big="" off_big="" on_small="" off_small="" round
    for ((round = 1; round <= rounds; round++)); do
        on_big+="$(cpu_seconds cost.pcap) "
        off_big+="$(cpu_seconds cost.pcap "${off[@]}") "
        on_small+="$(cpu_seconds small.pcap) "
        off_small+="$(cpu_seconds small.pcap "${off[@]}") "
    done
    local on off_us
    on=$(awk -v b="$(tr ' ' '\n' <<<"$on_big" | grep . | median)" -v s="$(tr ' ' '\n' <<<"$on_small" | grep . | median)" \
        -v n="$cost_packets" 'BEGIN {printf "%.3f", (b - s) / (n - 5) * 1e6}')
    off_us=$(awk -v b="$(tr ' ' '\n' <<<"$off_big" | grep . | median)" -v s="$(tr ' ' '\n' <<<"$off_small" | grep . | median)" \
        -v n="$cost_packets" 'BEGIN {printf "%.3f", (b - s) / (n - 5) * 1e6}')
    echo "cost, $cost_packets UDP datagrams, $rounds rounds: heuristics on $on us/packet, off $off_us us/packet," \
         "on/off $(awk -v a="$on" -v b="$off_us" 'BEGIN {printf "%.4f", a / b}')"

    # Instructions of the dissection only: collected inside
    # epan_dissect_run*, start-up and file reading left out.
    "$bench_build/bench/ovk5-heur-payloads" -n $((callgrind_packets / 5)) -w "$stage/callgrind.pcap"
    local state ir=()
    for state in on off; do
        local extra=()
        [[ $state == off ]] && extra=("${off[@]}")
        ovk_in_stage valgrind --tool=callgrind --callgrind-out-file="$stage/home/cg.out" \
            --toggle-collect='epan_dissect_run*' tshark -n -r callgrind.pcap "${no_ports[@]}" "${extra[@]}" \
            -T fields -e frame.number -e udp.dstport >/dev/null 2>&1
        ir+=("$(awk '/^summary:/ {print $2}' "$stage/home/cg.out")")
    done
    echo "callgrind, $callgrind_packets UDP datagrams: dissection instructions on ${ir[0]}, off ${ir[1]}," \
         "on/off $(awk -v a="${ir[0]}" -v b="${ir[1]}" 'BEGIN {printf "%.4f", a / b}')," \
         "$(awk -v a="${ir[0]}" -v b="${ir[1]}" -v n="$callgrind_packets" 'BEGIN {printf "%.1f", (a - b) / n}') more per packet"
}

for part in "${parts[@]}"; do
    "run_$part"
done
echo "Machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(nproc) CPUs," \
     "$(uname -sr), $(tshark -v 2>/dev/null | head -n1)"
