#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The run command: installs what is missing, builds the plug-ins, makes the
# sample captures if they are absent, and decodes them (or the captures
# given as arguments) with tshark and the freshly built plug-ins.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
source "$root/scripts/tshark-stage.sh"
"$root/scripts/install-deps.sh"
BUILD_DIR=$build "$root/scripts/build.sh" -DOVK_BUILD_TESTS=OFF

capgen=$build/tools/capgen/ovk5-capgen
samples=$root/samples
# The samples are deterministic: remaking them gives the same bytes.
for sample in ovk5-udp.pcap ovk5-tcp.pcap ovk5seq.pcap ovk5-udp-random.pcapng ovk5seq-losses.pcapng; do
    [[ -f $samples/$sample ]] || { "$root/scripts/make-samples.sh" "$capgen" "$samples"; break; }
done

if [[ $# -gt 0 ]]; then
    captures=("$@")
else
    captures=("$samples"/*.pcap "$samples"/*.pcapng)
fi

# Copied into the stage, where tshark can read them whoever it runs as.
ovk_stage_new "$build/plugins"
mkdir "$ovk_stage/captures"
for i in "${!captures[@]}"; do
    staged=$ovk_stage/captures/$i-$(basename "${captures[$i]}")
    cp "${captures[$i]}" "$staged"
    echo "== $(basename "${captures[$i]}")"
    ovk_in_stage tshark -r "$staged" -P -V -O ovk5,ovk5seq
done
