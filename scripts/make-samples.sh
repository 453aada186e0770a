#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Writes the sample captures of samples/ with the generator. They are
# deterministic: rerunning gives the same bytes, which a test checks.
#
# make-samples.sh OVK5_CAPGEN [FOLDER]   (FOLDER defaults to samples/)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [[ $# -lt 1 || $# -gt 2 ]]; then
    echo "usage: $0 OVK5_CAPGEN [FOLDER]   (e.g. $0 build/tools/capgen/ovk5-capgen; FOLDER defaults to samples/)" >&2
    exit 2
fi
capgen=$1
out=${2:-$root/samples}
mkdir -p "$out"

"$capgen" -q -P ovk5-udp -n 5 -o "$out/ovk5-udp.pcap"
"$capgen" -q -P ovk5-tcp -n 5 -o "$out/ovk5-tcp.pcap"
"$capgen" -q -P ovk5seq -n 6 --gap-every 3 --missing 2 -o "$out/ovk5seq.pcap"
"$capgen" -q -P ovk5-udp -n 5 --inner random --seed 1 --time-base 2024-01-01T00:00:00Z \
    --interval 125000 -o "$out/ovk5-udp-random.pcapng"
"$capgen" -q -P ovk5seq -n 12 --loss-rate 0.25 --seed 3 --inner icmp -i 2 \
    --time-base 2024-01-01T00:00:00Z --interval 1000000 -o "$out/ovk5seq-losses.pcapng"
