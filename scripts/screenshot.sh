#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Makes docs/wireshark-ovk5.png: Debian's Wireshark (Qt) under Xvfb with a
# sample capture open, packet 1 selected and its OVK5 subtree expanded.
# Not part of the tests; rerun it after changing what the picture shows.
#
#   scripts/screenshot.sh [capture]   (default: samples/ovk5-udp.pcap)
#
# Installs wireshark-qt, xvfb, xdotool and imagemagick if missing. Wireshark
# runs from a stage of scripts/tshark-stage.sh (as root, as the unprivileged
# user 65534).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
capture=${1:-$root/samples/ovk5-udp.pcap}
output=$root/docs/wireshark-ovk5.png
source "$root/scripts/tshark-stage.sh"

"$root/scripts/install-deps.sh" wireshark-qt xvfb xauth xdotool imagemagick
BUILD_DIR=$build "$root/scripts/build.sh"

ovk_stage_new "$build/plugins"
stage=$ovk_stage
cp "$capture" "$stage/"
capture_name=$(basename "$capture")
profile=$stage/home/.config/wireshark
mkdir -p "$profile"
# A fixed window and the layout with list, details and bytes stacked.
cat >"$profile/recent_common" <<'RECENT'
gui.geometry_main_x: 0
gui.geometry_main_y: 0
gui.geometry_main_width: 1100
gui.geometry_main_height: 760
gui.geometry_main_maximized: FALSE
privs.warn_if_elevated: FALSE
RECENT
cat >"$profile/recent" <<'RECENT'
gui.geometry_main_upper_pane: 200
gui.geometry_main_lower_pane: 330
RECENT
cat >"$profile/preferences" <<'PREFS'
gui.layout_type: 1
gui.update.enabled: FALSE
PREFS

# Runs inside Xvfb: open the capture on packet 1, move into the details
# pane, select "Ovkan Link Protocol 5" (the fifth line) and expand it.
cat >"$stage/shoot.sh" <<'SHOOT'
#!/usr/bin/env bash
set -euo pipefail
cd "$STAGE"
wireshark -r "$STAGE/$CAPTURE" -g 1 >"$STAGE/wireshark.log" 2>&1 &
wireshark=$!
window=$(timeout 60 xdotool search --sync --onlyvisible --name "${CAPTURE%.*}" | head -1)
sleep 3
# The details pane's first line, under the packet list.
xdotool mousemove --window "$window" 40 "$DETAILS_Y" click 1
sleep 0.5
xdotool key --window "$window" Home Down Down Down Down Right
# Out of the way, so no line is drawn hovered.
xdotool mousemove --window "$window" 1090 0
sleep 1.5
import -window root "$STAGE/shot.png"
kill "$wireshark"
wait "$wireshark" || true
SHOOT

ovk_in_stage TMPDIR="$stage" STAGE="$stage" CAPTURE="$capture_name" DETAILS_Y="${DETAILS_Y:-318}" \
    timeout 180 xvfb-run -a -s "-screen 0 1100x760x24" bash "$stage/shoot.sh"

mkdir -p "$(dirname "$output")"
convert "$stage/shot.png" -strip "$output"
echo "wrote $output"
