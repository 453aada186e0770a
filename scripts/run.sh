#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The run command: installs what is missing, builds the plug-ins, makes the
# sample captures if they are absent, and decodes them (or the captures
# given as arguments) with tshark and the freshly built plug-ins.
#
#   scripts/run.sh [--user-config] [CAPTURE...] [-- TSHARK-OPTION...]
#
# tshark runs with an empty configuration unless --user-config copies the
# caller's Wireshark configuration folder (preferences, Decode As, profiles)
# into the stage; TSHARK-OPTIONs come after the command's own -P -V -O.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}

usage() {
    echo "usage: $0 [--user-config] [CAPTURE...] [-- TSHARK-OPTION...]" >&2
    exit 2
}
user_config=0
captures=()
tshark_options=()
while [[ $# -gt 0 ]]; do
    case $1 in
        --user-config) user_config=1 ;;
        --) shift; tshark_options=("$@"); break ;;
        -h|--help) usage ;;
        -*) echo "$0: unknown option '$1' (tshark options go after --)" >&2; usage ;;
        *) captures+=("$1") ;;
    esac
    shift
done

# Before anything is installed or built: every capture named must be there.
for capture in "${captures[@]}"; do
    [[ -f $capture && -r $capture ]] || { echo "$0: cannot read capture '$capture'" >&2; exit 2; }
done

source "$root/scripts/tshark-stage.sh"
"$root/scripts/install-deps.sh"
BUILD_DIR=$build "$root/scripts/build.sh" -DOVK_BUILD_TESTS=OFF

capgen=$build/tools/capgen/ovk5-capgen
samples=$root/samples
# The samples are deterministic: remaking them gives the same bytes.
for sample in ovk5-udp.pcap ovk5-tcp.pcap ovk5seq.pcap ovk5-udp-random.pcapng ovk5seq-losses.pcapng; do
    [[ -f $samples/$sample ]] || { "$root/scripts/make-samples.sh" "$capgen" "$samples"; break; }
done

[[ ${#captures[@]} -gt 0 ]] || captures=("$samples"/*.pcap "$samples"/*.pcapng)

# Copied into the stage, where tshark can read them whoever it runs as.
ovk_stage_new "$build/plugins"
if [[ $user_config == 1 ]]; then
    # Where Wireshark itself looks: the old ~/.wireshark only when the XDG
    # folder does not exist.
    config=${WIRESHARK_CONFIG_DIR:-${XDG_CONFIG_HOME:-$HOME/.config}/wireshark}
    [[ -n ${WIRESHARK_CONFIG_DIR:-} || -d $config || ! -d $HOME/.wireshark ]] || config=$HOME/.wireshark
    if [[ -d $config ]]; then
        mkdir -p "$ovk_stage/home/.config"
        cp -r "$config" "$ovk_stage/home/.config/wireshark"
        echo "== using the Wireshark configuration in $config" >&2
    else
        echo "$0: no Wireshark configuration folder ($config): using none" >&2
    fi
fi
mkdir "$ovk_stage/captures"
for i in "${!captures[@]}"; do
    staged=$ovk_stage/captures/$i-$(basename "${captures[$i]}")
    cp "${captures[$i]}" "$staged"
    echo "== $(basename "${captures[$i]}")"
    ovk_in_stage tshark -r "$staged" -P -V -O ovk5,ovk5seq "${tshark_options[@]}"
done
