#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The README shows the committed screenshot, which still shows what tshark
# prints, documents every option of the generator's --help, and its tshark
# examples print what tshark prints.
#
# docs_test.sh SOURCE_DIR PATH_TO_OVK5_CAPGEN PLUGIN_BUILD_DIR [SERIES [PATH_TO_OVK5_EXPORT]]
#
# With the exporter, also its options and examples (read back by tshark
# without the plug-ins).
#
# The README shows Wireshark 4.0's output; SERIES (major.minor) is the
# series under test, whose own differences are applied to it.
set -euo pipefail
source_dir=$1 capgen=$2 plugin_dir=$3 series=${4:-4.0} exporter=${5:-}
readme=$source_dir/README.md
source "$source_dir/scripts/tshark-stage.sh"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

picture=$(grep -o '!\[[^]]*\]([^)]*\.png)' "$readme" | head -1 | sed 's/.*(\(.*\))/\1/')
[[ -n $picture ]] || fail "README shows no PNG picture"
[[ -z $picture || $(od -An -tx1 -N8 "$source_dir/$picture" 2>/dev/null | tr -d ' ') == 89504e470d0a1a0a ]] \
    || fail "$picture is not a PNG file"

for option in $("$capgen" --help | grep -o -- '--[a-z-]*' | sort -u); do
    grep -q -- "$option" "$readme" || fail "README does not mention $option"
done

# "Building by hand" ends in ctest, so it configures with the tests on:
# the run command leaves build/ configured with them off.
grep -qx '    cmake -S . -B build -DOVK_BUILD_TESTS=ON' "$readme" || fail "Building by hand leaves the tests off"

# The output shown after the README line "    $ <command>" (and its
# continuation lines), up to the next blank line, without the indent.
readme_output() {
    awk -v first="    \$ $1" '
        index($0, first) == 1 { found = 1; continuing = /\\$/; next }
        found && continuing { continuing = /\\$/; next }
        found && /^$/ { exit }
        found { print substr($0, 5) }' "$readme"
}
# The same up to the end of the indented block or the next command, blank
# lines within kept (a stats tree has one).
readme_block() {
    awk -v first="    \$ $1" '
        index($0, first) == 1 { found = 1; next }
        found && (/^    \$ / || /^[^ ]/) { exit }
        found { print substr($0, 5) }' "$readme" | sed -e :a -e '/^\n*$/{$d;N;ba' -e '}'
}
# The README's text with its lines joined, for phrases that wrap.
readme_text=$(tr '\n' ' ' <"$readme" | tr -s ' ')

# Every script the README tells to run can be run as written.
for script in $(grep -oE '(scripts|bench)/[a-z-]+\.sh' "$readme" | sort -u); do
    [[ -x $source_dir/$script ]] || fail "README runs $script, which is not executable"
done
[[ $("$source_dir/scripts/test-matrix.sh" --help | head -n1) != *SPDX* ]] || fail "test-matrix.sh --help starts with the licence line"
# run.sh checks the captures named before it installs or builds anything
# (here, a copy whose installer only says that it ran).
run_root=$(mktemp -d)
mkdir "$run_root/scripts"
cp "$source_dir/scripts/run.sh" "$run_root/scripts/"
printf '#!/bin/sh\necho "install-deps ran"; exit 1\n' >"$run_root/scripts/install-deps.sh"
chmod +x "$run_root/scripts/install-deps.sh"
run_error=$("$run_root/scripts/run.sh" "$run_root/no such.pcap" 2>&1 </dev/null) && fail "run.sh accepted a missing capture"
[[ $run_error == *"cannot read capture '$run_root/no such.pcap'"* && $run_error != *"install-deps ran"* ]] \
    || fail "run.sh with a missing capture said: $run_error"
rm -r "$run_root"

ovk_stage_new "$plugin_dir"
stage=$ovk_stage
cp -r "$source_dir/samples" "$stage/samples"
# The README's output as the series under test prints it: from 4.6 the
# frame's summary line names the record type ("Frame 1: Packet, 108 bytes").
as_series_prints() {
    local major=${series%%.*} minor=${series#*.}
    if (( major > 4 || (major == 4 && minor >= 6) )); then
        sed -E 's/^(Frame [0-9]+: )/\1Packet, /'
    else
        cat
    fi
}
check_example() {
    local first=$1
    shift
    local expected actual
    expected=$(readme_output "$first" | as_series_prints)
    actual=$(ovk_in_stage WIRESHARK_PLUGIN_DIR="${tshark_plugins:-$stage/plugins}" tshark "$@")
    [[ -n $expected && $expected == "$actual" ]] \
        || fail "README example '$first' shows:"$'\n'"$expected"$'\n'"tshark prints:"$'\n'"$actual"
}
check_example "tshark -r samples/ovk5-udp.pcap -c 1 -O ovk5 -V" -r samples/ovk5-udp.pcap -c 1 -O ovk5 -V
check_example "tshark -r samples/ovk5seq-losses.pcapng -Y ovk5seq.missing_frames" \
    -r samples/ovk5seq-losses.pcapng -Y ovk5seq.missing_frames \
    -T fields -e frame.number -e ovk5seq.seq -e ovk5seq.missing_frame -e _ws.col.Info
check_example "tshark -r samples/ovk5seq.pcap -T fields -e frame.number -e ovk5seq.seq" \
    -r samples/ovk5seq.pcap -T fields -e frame.number -e ovk5seq.seq \
    -e ovk5seq.missing_frame -e ovk5seq.seq_gap -e ovk5seq.lost_total -e ovk5seq.ts_delta

# What only 4.0 prints exactly as shown: the stats-tree layout, the plug-in
# list and the extcap warning.
if [[ $series == 4.0 ]]; then
    for tree in "samples/ovk5seq.pcap -q -z ovk5seq,tree" "samples/ovk5-udp.pcap -q -z ovk5,tree"; do
        # shellcheck disable=SC2086
        actual=$(ovk_in_stage tshark -r $tree | sed -e 's/ *$//' -e '1{/^$/d}')
        [[ -n $actual && $actual == "$(readme_block "tshark -r $tree")" ]] \
            || fail "README example 'tshark -r $tree' shows other than:"$'\n'"$actual"
    done

    # As after a global installation, the build's plug-ins and extcap in the
    # folders the installation uses.
    cache=$(dirname "$plugin_dir")/CMakeCache.txt
    global_plugins=$(sed -n 's/^OVK_PLUGIN_INSTALL_DIR:PATH=//p' "$cache")
    global_extcap=$(sed -n 's/^OVK_EXTCAP_INSTALL_DIR:PATH=//p' "$cache")
    extcap=$(dirname "$plugin_dir")/extcap/ovk5dump
    if [[ -x $extcap && -n $global_extcap ]]; then
        mkdir -p "$stage/extcap" "$stage/personal/.config/wireshark/extcap"
        cp "$extcap" "$stage/extcap/"
        actual=$(ovk_in_stage WIRESHARK_EXTCAP_DIR="$stage/extcap" tshark -G plugins | grep ovk |
                 sed -e "s|$stage/plugins/$series/epan|$global_plugins|" -e "s|$stage/extcap|$global_extcap|")
        [[ $actual == "$(readme_output "tshark -G plugins | grep ovk")" ]] \
            || fail "README example 'tshark -G plugins | grep ovk' shows other than:"$'\n'"$actual"
        cp "$extcap" "$stage/personal/.config/wireshark/extcap/"
        actual=$(ovk_in_stage HOME="$stage/personal" WIRESHARK_EXTCAP_DIR="$stage/extcap" tshark -D 2>&1 >/dev/null |
                 grep -o '\[Extcap WARNING\].*' | sed "s|$stage/extcap|$global_extcap|")
        [[ -n $actual ]] && grep -qxF "    $actual" "$readme" \
            || fail "README lacks the duplicate-extcap warning tshark prints: $actual"
    fi
fi

# udpdump, as the README runs it, from the folder it names (4.6 moved it).
udpdump=$(grep -oE '^    /[^ ]*/udpdump ' "$readme" | tr -d ' ')
if [[ $series == 4.0 || $series == 4.4 ]]; then
    [[ -x $udpdump ]] || fail "README runs udpdump as $udpdump, which is not there"
fi

# The picture's tree, as the screenshot script wrote it beside the PNG, is
# what tshark prints now: a picture made before a change of the dissector
# fails here until it is remade.
tree_text=$source_dir/${picture%.png}.txt
if [[ ! -f $tree_text ]]; then
    fail "${picture%.png}.txt is missing: rerun scripts/screenshot.sh"
elif [[ $(as_series_prints <"$tree_text") != "$(ovk_in_stage tshark -r samples/ovk5-udp.pcap -c 1 -O ovk5 -V)" ]]; then
    fail "$picture no longer shows what tshark prints: rerun scripts/screenshot.sh"
fi

# The troubleshooting example's messages: a personal copy of the plug-ins
# beside those of WIRESHARK_PLUGIN_DIR.
first="tshark -c 1 -r samples/ovk5-udp.pcap"
mkdir -p "$stage/twice/.local/lib/wireshark/plugins"
cp -r "$stage/plugins/$series" "$stage/twice/.local/lib/wireshark/plugins/"
# In the order the folder lists its files, which the file system decides.
actual=$(ovk_in_stage HOME="$stage/twice" tshark -c 1 -r samples/ovk5-udp.pcap 2>&1 | grep '^tshark:' | sort || true)
[[ -n $actual && $actual == "$(readme_output "$first" | grep '^tshark:' | sort)" ]] \
    || fail "README example '$first' shows other messages than tshark prints:"$'\n'"$actual"

# The colouring rule users paste: its filter must compile with both plug-ins.
rule_filter=$(grep -m1 '^    @OVK' "$readme" | cut -d@ -f3)
[[ -n $rule_filter ]] && ovk_in_stage tshark -r samples/ovk5seq.pcap -Y "$rule_filter" >/dev/null \
    || fail "README colouring rule filter '$rule_filter' does not compile"
# Put first, as the README says, ahead of Wireshark's own rules, it names
# the packets after a loss; appended, the ICMP rule takes them.
rule_line=$(grep -m1 '^    @OVK' "$readme" | sed 's/^    //')
colour_rule_of_frame_2() {
    mkdir -p "$stage/home/.config/wireshark"
    printf '%s\n' "$@" >"$stage/home/.config/wireshark/colorfilters"
    ovk_in_stage tshark -r samples/ovk5seq-losses.pcapng --color -c 2 -T fields -e frame.coloring_rule.name |
        tail -n1
    rm "$stage/home/.config/wireshark/colorfilters"
}
# The colours are the ones the README names: background, then foreground.
mapfile -t colours < <(grep -oE '\[[0-9,]+\]' <<<"$rule_line" | tr -d '[]')
background=${colours[0]:-} foreground=${colours[1]:-}
grep -q 'black text on a light red background' "$readme" \
    && [[ $background == 65535,50372,50372 && $foreground == 0,0,0 ]] \
    || fail "README colouring rule: colours [$background][$foreground] are not black on light red"
global_colours=/usr/share/wireshark/colorfilters
if [[ -f $global_colours ]]; then
    mapfile -t global_rules < <(grep -v '^#' "$global_colours")
    [[ $(colour_rule_of_frame_2 "$rule_line" "${global_rules[@]}") == "OVK loss or clock fault" ]] \
        || fail "README colouring rule put first does not colour a loss"
    [[ $(colour_rule_of_frame_2 "${global_rules[@]}" "$rule_line") != "OVK loss or clock fault" ]] \
        || fail "README colouring rule: appended, it should lose to the default rules"
fi

if [[ -n $exporter ]]; then
    for option in $("$exporter" --help | grep -E '^  +-[a-zA-Z]' | grep -oE '(^| )--?[a-zA-Z][a-z-]*' | sort -u); do
        grep -q -- "$option" "$readme" || fail "README does not document ovk5-export $option"
    done
    first="ovk5-export samples/ovk5seq-losses.pcapng inner.pcapng"
    actual=$(cd "$stage" && "$exporter" samples/ovk5seq-losses.pcapng inner.pcapng 2>&1)
    [[ $actual == "$(readme_output "$first")" ]] || fail "README example '$first' shows other than: $actual"
    (cd "$stage" && "$exporter" -q samples/ovk5-udp.pcap inner-udp.pcapng) || fail "ovk5-export of ovk5-udp.pcap failed"
    warning=$(cd "$stage" && "$exporter" -q samples/ovk5seq.pcap out.pcap 2>&1)
    [[ -n $warning && $readme_text == *"$warning"* && $(capinfos -t "$stage/out.pcap") == *pcapng* ]] \
        || fail "ovk5-export to a .pcap name warns other than the README says: $warning"
    mkdir "$stage/no-plugins"
    tshark_plugins=$stage/no-plugins
    check_example "tshark -r inner.pcapng -c 4" -r inner.pcapng -c 4 -T fields -e frame.time_epoch \
        -e frame.interface_name -e frame.interface_description -e frame.drop_count -e frame.protocols
    check_example "tshark -r inner-udp.pcapng -c 2" -r inner-udp.pcapng -c 2 -T fields -e frame.time_epoch \
        -e frame.interface_name -e frame.comment -e udp.dstport
fi

# The stage script run by hand, as the README shows it, from a checkout
# that only its owner can read (root's home): the capture is copied in.
first="scripts/tshark-stage.sh tshark -r samples/ovk5seq.pcap"
private=$stage/private
mkdir -m 700 "$private" "$private/scripts"
cp "$source_dir/scripts/tshark-stage.sh" "$private/scripts/"
cp -r "$source_dir/samples" "$private/samples"
actual=$(cd "$private" && BUILD_DIR=$(dirname "$plugin_dir") scripts/tshark-stage.sh tshark -r samples/ovk5seq.pcap \
    -T fields -e frame.number -e ovk5seq.seq -e ovk5seq.missing_frame 2>&1) || true
[[ -n $actual && $actual == "$(readme_output "$first")" ]] \
    || fail "README example '$first' shows:"$'\n'"$(readme_output "$first")"$'\n'"the stage script prints:"$'\n'"$actual"
# What the command writes comes back to the caller's folder, also when
# root's TMPDIR is a folder user 65534 cannot enter.
mkdir -m 700 "$private/tmp" "$private/out"
written=$(cd "$private" && TMPDIR=$private/tmp BUILD_DIR=$(dirname "$plugin_dir") \
          scripts/tshark-stage.sh tshark -r samples/ovk5-udp.pcap -w copy.pcapng 2>&1 &&
          TMPDIR=$private/tmp BUILD_DIR=$(dirname "$plugin_dir") \
          scripts/tshark-stage.sh tshark -r samples/ovk5-udp.pcap -w out/copy.pcap -F pcap 2>&1) \
    || fail "the stage script with a private TMPDIR failed: $written"
grep -qF 'scripts/tshark-stage.sh tshark -r samples/ovk5-udp.pcap -w copy.pcapng' "$readme" \
    && [[ $(capinfos -c -M "$private/copy.pcapng" "$private/out/copy.pcap" 2>&1 | grep -c 'Number of packets: *5$') -eq 2 ]] \
    || fail "the stage script did not write back -w copy.pcapng and -w out/copy.pcap: $written"

[[ $failures -eq 0 ]] || exit 1
echo "docs: README shows $picture, documents every generator option, examples match tshark"
