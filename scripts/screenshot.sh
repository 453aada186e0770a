#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Makes the README's pictures with Debian's Wireshark (Qt) under Xvfb.
# Not part of the tests; rerun it after changing what a picture shows.
#
#   scripts/screenshot.sh [capture]
#       docs/wireshark-ovk5.png: the capture (default samples/ovk5-udp.pcap)
#       open, packet 1 selected and its OVK5 subtree expanded; beside it
#       docs/wireshark-ovk5.txt, the tree lines the picture shows as tshark
#       prints them, which the docs test compares with what tshark prints now.
#   scripts/screenshot.sh statistics [capture]
#       docs/wireshark-ovk5seq-statistics.png: the Statistics > OVK5SEQ
#       Interfaces window on the capture (default: two interfaces made with
#       the generator, one of them with records deleted after the device
#       counted its losses).
#   scripts/screenshot.sh extcap
#       docs/wireshark-ovk5dump-options.png: the welcome page's interface
#       list with the OVK5 receivers (ovk5dump from the build), and the
#       options dialog of "OVK5 receiver (TCP)" over it (GEAR_X, GEAR_Y:
#       where its gear is, for another layout).
#
# Installs wireshark-qt, xvfb, xdotool and imagemagick if missing. Wireshark
# runs from a stage of scripts/tshark-stage.sh (as root, as the unprivileged
# user 65534).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
mode=packet
if [[ ${1:-} == statistics || ${1:-} == extcap ]]; then
    mode=$1
    shift
fi
if [[ $mode == extcap ]]; then
    capture=none
    output=$root/docs/wireshark-ovk5dump-options.png
elif [[ $mode == statistics ]]; then
    capture=${1:-}
    output=$root/docs/wireshark-ovk5seq-statistics.png
else
    capture=${1:-$root/samples/ovk5-udp.pcap}
    output=$root/docs/wireshark-ovk5.png
fi
source "$root/scripts/tshark-stage.sh"

"$root/scripts/install-deps.sh" wireshark-qt xvfb xauth xdotool imagemagick
BUILD_DIR=$build "$root/scripts/build.sh"

ovk_stage_new "$build/plugins"
stage=$ovk_stage
if [[ -z $capture ]]; then
    # Interface 1 loses frames in the device; interface 2 also loses four
    # records after it (deleted here), which only the sequence numbers show.
    capgen=$build/tools/capgen/ovk5-capgen
    "$capgen" -q -P ovk5seq -i 1 -n 400 --loss-rate 0.01 --seed 3 --inner icmp -o "$stage/if1.pcapng"
    "$capgen" -q -P ovk5seq -i 2 -n 300 --interval 1333 --gap-every 50 --missing 3 -o "$stage/if2-all.pcapng"
    editcap "$stage/if2-all.pcapng" "$stage/if2.pcapng" 120 121 122 240
    mergecap -w "$stage/ovk5seq-two-interfaces.pcapng" "$stage/if1.pcapng" "$stage/if2.pcapng"
    capture=$stage/ovk5seq-two-interfaces.pcapng
fi
mkdir "$stage/extcap"
cp "$build/extcap/ovk5dump" "$stage/extcap/"
[[ $capture == none || $(dirname "$capture") == "$stage" ]] || cp "$capture" "$stage/"
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
# Statistics: Wireshark's GUI takes no "-z" for statistics trees, so the
# window is opened from the Statistics menu, whose last entry is
# "OVK5SEQ Interfaces" (plug-in entries come last, by name). The picture is
# of that window alone.
cat >"$stage/shoot-statistics.sh" <<'SHOOT'
#!/usr/bin/env bash
set -euo pipefail
cd "$STAGE"
wireshark -r "$STAGE/$CAPTURE" >"$STAGE/wireshark.log" 2>&1 &
wireshark=$!
window=$(timeout 60 xdotool search --sync --onlyvisible --name "${CAPTURE%.*}" | head -1)
sleep 3
# "Statistics" in the menu bar.
xdotool mousemove --window "$window" "$STATISTICS_X" 10 click 1
sleep 1
xdotool key Up Return
statistics=$(timeout 60 xdotool search --sync --onlyvisible --name "OVK5SEQ Interfaces" | head -1)
xdotool mousemove 1090 750
sleep 2
import -window "$statistics" "$STAGE/shot.png"
kill "$wireshark"
wait "$wireshark" || true
SHOOT

# Extcap: the welcome page lists the interfaces, the OVK5 receivers last;
# the gear in front of "OVK5 receiver (TCP)" opens its options dialog,
# taken over the list.
cat >"$stage/shoot-extcap.sh" <<'SHOOT'
#!/usr/bin/env bash
set -euo pipefail
cd "$STAGE"
wireshark >"$STAGE/wireshark.log" 2>&1 &
wireshark=$!
timeout 60 xdotool search --sync --onlyvisible --name "Wireshark Network Analyzer" >/dev/null
sleep 6
xdotool mousemove "$GEAR_X" "$GEAR_Y" click 1
timeout 60 xdotool search --sync --onlyvisible --name "Interface Options" >/dev/null
xdotool mousemove 1090 750
sleep 2
import -window root "$STAGE/shot.png"
kill "$wireshark"
wait "$wireshark" || true
SHOOT

shoot=$stage/shoot.sh
[[ $mode == statistics ]] && shoot=$stage/shoot-statistics.sh
[[ $mode == extcap ]] && shoot=$stage/shoot-extcap.sh
ovk_in_stage TMPDIR="$stage" STAGE="$stage" CAPTURE="$capture_name" DETAILS_Y="${DETAILS_Y:-318}" \
    STATISTICS_X="${STATISTICS_X:-325}" WIRESHARK_EXTCAP_DIR="$stage/extcap" GEAR_X="${GEAR_X:-151}" \
    GEAR_Y="${GEAR_Y:-408}" timeout 180 xvfb-run -a -s "-screen 0 1100x760x24" bash "$shoot"

mkdir -p "$(dirname "$output")"
convert "$stage/shot.png" -strip "$output"
echo "wrote $output"
if [[ $mode == packet ]]; then
    printf '%s\n' "$(ovk_in_stage tshark -r "$stage/$capture_name" -c 1 -O ovk5 -V)" >"${output%.png}.txt"
    echo "wrote ${output%.png}.txt"
fi
