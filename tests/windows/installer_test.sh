#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The Windows package under Wine: built from the cross-built tree, the
# installer run silently in a fresh Wine prefix puts every file where each
# series looks, without touching what the user had; the launcher starts;
# the uninstaller leaves the prefix's files and the user's uninstall
# entries as they were. The zip carries the same files.
#
#   installer_test.sh SOURCE_DIR CROSS_BUILD_DIR OUTPUT_DIR
set -euo pipefail
source_dir=$1 tree=$2 out=$3

wine=$(command -v wine64 || command -v wine || true)
[[ -n $wine ]] || wine=/usr/lib/wine/wine64
wineserver=$(command -v wineserver || true)
[[ -n $wineserver ]] || wineserver=/usr/lib/wine/wineserver64

fail() { echo "FAIL: $*" >&2; exit 1; }

mapfile -t made < <("$source_dir/scripts/windows-installer.sh" -o "$out" "$tree")
setup=${made[0]} zip_file=${made[1]}
series_list=$(cd "$tree/plugins" && ls -d [0-9]*.[0-9]*)

prefix=$(mktemp -d)
trap '"$wineserver" -k 2>/dev/null || true; rm -rf "$prefix"' EXIT
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
"$wine" wineboot -i >/dev/null 2>&1
"$wineserver" -w
users=$(echo "$prefix"/drive_c/users/*/AppData | sed 's,/AppData$,,' | grep -v '/Public$' | head -n1)
[[ -d $users/AppData/Roaming ]] || fail "no AppData\\Roaming in the new prefix"
roaming=$users/AppData/Roaming local=$users/AppData/Local

# A Wireshark user's own configuration, which must stay.
mkdir -p "$roaming/Wireshark"
echo 'gui.column.format: "No.", "%m"' >"$roaming/Wireshark/preferences"

snapshot() { (cd "$prefix/drive_c" && find . -path '*/Temp' -prune -o -print | sort); }
uninstall_entries() { "$wine" reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | tr -d '\r' | grep -i 'ovk5' || true; }
before=$(snapshot)
entries_before=$(uninstall_entries)

"$wine" "$setup" /S || fail "the silent install exited with $?"
"$wineserver" -w

expected=()
for series in $series_list; do
    expected+=("$roaming/Wireshark/plugins/$series/epan/ovk5.dll"
               "$roaming/Wireshark/plugins/$series/epan/ovk5seq.dll")
    if [[ -d $tree/tools/ovk5-export/$series ]]; then
        expected+=("$local/Programs/OVK5/$series/ovk5-export.dll"
                   "$local/Programs/OVK5/$series/ovk5-export-dissection.dll")
    fi
done
[[ -f $tree/tools/ovk5-export/ovk5-export.exe ]] && expected+=("$local/Programs/OVK5/ovk5-export.exe")
[[ -f $tree/extcap/ovk5dump.exe ]] && expected+=("$roaming/Wireshark/extcap/ovk5dump.exe")
expected+=("$local/Programs/OVK5/uninstall.exe" "$local/Programs/OVK5/README.md")
for file in "${expected[@]}"; do
    [[ -f $file ]] || fail "not installed: ${file#"$prefix"/}"
done
cmp -s "$tree/plugins/${series_list%%[[:space:]]*}/epan/ovk5.dll" \
    "$roaming/Wireshark/plugins/${series_list%%[[:space:]]*}/epan/ovk5.dll" || fail "ovk5.dll differs from the build's"
[[ -n $(uninstall_entries) ]] || fail "no uninstall entry for the user"
echo "installed: ${#expected[@]} files for Wireshark $(echo $series_list)"

# The launcher imports only the system's DLLs: it starts, and says that
# this prefix has no Wireshark.
if [[ -f $local/Programs/OVK5/ovk5-export.exe ]]; then
    message=$("$wine" "$local/Programs/OVK5/ovk5-export.exe" in.pcap out.pcapng 2>&1 | tr -d '\r' || true)
    [[ $message == *"no Wireshark installation found"* ]] || fail "ovk5-export.exe under Wine said: $message"

    # A Wireshark of the first series as its installer records it (a
    # libwireshark.dll with that version and nothing else): the launcher
    # picks that series' exporter, which then cannot find libwiretap.dll.
    series=${series_list%%[[:space:]]*}
    fake=$(mktemp -d)
    printf '1 VERSIONINFO\nFILEVERSION %s,%s,9,0\nBEGIN\nEND\n' "${series%.*}" "${series#*.}" >"$fake/v.rc"
    echo 'int ovk_fake;' >"$fake/e.c"
    x86_64-w64-mingw32-windres "$fake/v.rc" -O coff -o "$fake/v.o"
    mkdir -p "$prefix/drive_c/Wireshark"
    x86_64-w64-mingw32-gcc -shared "$fake/e.c" "$fake/v.o" -o "$prefix/drive_c/Wireshark/libwireshark.dll"
    rm -rf "$fake"
    key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Wireshark'
    "$wine" reg add "$key" /v InstallLocation /d 'C:\Wireshark' /f >/dev/null 2>&1
    message=$("$wine" "$local/Programs/OVK5/ovk5-export.exe" in.pcap out.pcapng 2>&1 | tr -d '\r' || true)
    [[ $message == *"OVK5\\$series\\ovk5-export.dll with the DLLs of C:\\Wireshark"* ]] ||
        fail "ovk5-export.exe with Wireshark $series recorded said: $message"
    "$wine" reg delete "$key" /f >/dev/null 2>&1
    rm -rf "$prefix/drive_c/Wireshark"
fi

"$wine" "$local/Programs/OVK5/uninstall.exe" /S || fail "the silent uninstall exited with $?"
"$wineserver" -w
after=$(snapshot)
if [[ $before != "$after" ]]; then
    diff <(echo "$before") <(echo "$after") >&2 || true
    fail "the uninstaller left the prefix changed"
fi
[[ $(uninstall_entries) == "$entries_before" ]] || fail "the uninstall entry stayed"
[[ -f $roaming/Wireshark/preferences ]] || fail "the user's preferences went"
echo "uninstalled: the prefix's files as before"

# The zip: every file in the folder it is copied to, and the short text.
listing=$(unzip -Z1 "$zip_file")
for series in $series_list; do
    for entry in "plugins/$series/epan/ovk5.dll" "plugins/$series/epan/ovk5seq.dll"; do
        grep -qx "ovk5-wireshark-[0-9.]*/$entry" <<<"$listing" || fail "the zip has no $entry"
    done
done
grep -qx 'ovk5-wireshark-[0-9.]*/INSTALL.txt' <<<"$listing" || fail "the zip has no INSTALL.txt"
echo "zip: $(wc -l <<<"$listing") entries"
