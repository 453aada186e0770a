#!/usr/bin/env bash
# The run command: installs what is missing, builds the plug-ins, makes the
# sample captures if they are absent, and decodes them (or the captures
# given as arguments) with tshark and the freshly built plug-ins.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/install-deps.sh"
BUILD_DIR=$build "$root/scripts/build.sh" -DOVK_BUILD_TESTS=OFF

capgen=$build/tools/capgen/ovk5-capgen
samples=$root/samples
# The samples are deterministic: remaking them gives the same bytes.
for sample in ovk5-udp.pcap ovk5-tcp.pcap ovk5seq.pcap ovk5-udp-random.pcapng ovk5seq-losses.pcapng; do
    [[ -f $samples/$sample ]] || { "$root/scripts/make-samples.sh" "$capgen" "$samples"; break; }
done

if [[ $# -gt 0 ]]; then
    # Absolute: tshark runs from another folder below.
    captures=()
    for capture in "$@"; do captures+=("$(realpath -- "$capture")"); done
else
    captures=("$samples"/*.pcap "$samples"/*.pcapng)
fi

plugin_dir=$build/plugins
run_tshark=(env TZ=UTC WIRESHARK_PLUGIN_DIR="$plugin_dir" tshark)
if [[ $(id -u) -eq 0 ]]; then
    # Wireshark loads no plug-ins from WIRESHARK_PLUGIN_DIR when run as root:
    # decode from a world-readable copy as an unprivileged user instead.
    stage=$(mktemp -d)
    trap 'rm -rf "$stage"' EXIT
    cp -r "$plugin_dir" "$stage/plugins"
    mkdir "$stage/home" "$stage/captures"
    for i in "${!captures[@]}"; do
        cp "${captures[$i]}" "$stage/captures/$i-$(basename "${captures[$i]}")"
    done
    chmod -R a+rX "$stage"
    chmod a+w "$stage/home"
    captures=("$stage"/captures/*)
    run_tshark=(setpriv --reuid=65534 --regid=65534 --clear-groups
                env HOME="$stage/home" TZ=UTC WIRESHARK_PLUGIN_DIR="$stage/plugins" tshark)
fi

for capture in "${captures[@]}"; do
    echo "== $(basename "$capture")"
    (cd /tmp && "${run_tshark[@]}" -r "$capture" -P -V -O ovk5,ovk5seq)
done
