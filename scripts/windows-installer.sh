#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Makes the Windows installer and zip from cross-built trees of one or more
# Wireshark series:
#
#   scripts/windows-installer.sh [-o OUTDIR] [TREE...]
#
# A TREE is a windows-cross build folder (build/windows-cross) or what
# scripts/test-matrix.sh leaves of one (dist/<major.minor>/windows): the
# plug-in DLLs in plugins/<major.minor>/epan/, ovk5-export in
# tools/ovk5-export/ and ovk5dump.exe in extcap/. By default
# build/windows-cross and every dist/*/windows. Writes to OUTDIR (default
# dist/windows): ovk5-wireshark-<version>-setup.exe (NSIS, per user) and
# ovk5-wireshark-<version>-windows.zip (the same files and INSTALL.txt).
# Needs makensis (Debian: nsis) and zip.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/dist/windows
trees=()
while [[ $# -gt 0 ]]; do
    case $1 in
        -o) out=$2; shift 2 ;;
        -h|--help) sed -n '2,/^set -euo/{/^set -euo/d;s/^# \{0,1\}//;p}' "$0"; exit 0 ;;
        -*) echo "unknown option $1" >&2; exit 2 ;;
        *) trees+=("$1"); shift ;;
    esac
done
if [[ ${#trees[@]} -eq 0 ]]; then
    for tree in "$root/build/windows-cross" "$root"/dist/[0-9]*/windows; do
        [[ -d $tree/plugins ]] && trees+=("$tree")
    done
fi
[[ ${#trees[@]} -gt 0 ]] || { echo "no cross-built tree found (cmake --preset windows-cross first)" >&2; exit 1; }
for tool in makensis zip; do
    command -v "$tool" >/dev/null || { echo "$tool not found (scripts/install-deps.sh --windows-installer)" >&2; exit 1; }
done
version=$(sed -n 's/^project([^)]*VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stage=$work/stage
mkdir -p "$stage/series"

# One series per tree; the first tree of a series wins (the host's own
# build before the matrix's copy of it).
declare -A seen=()
series_list=()
for tree in "${trees[@]}"; do
    for plugin_dir in "$tree"/plugins/[0-9]*.[0-9]*; do
        series=$(basename "$plugin_dir")
        [[ -z ${seen[$series]:-} ]] || continue
        seen[$series]=1
        series_list+=("$series")
        mkdir -p "$stage/series/$series"
        cp "$plugin_dir"/epan/*.dll "$stage/series/$series/"
        if [[ -d $tree/tools/ovk5-export/$series ]]; then
            cp "$tree/tools/ovk5-export/$series"/*.dll "$stage/series/$series/"
            [[ -f $stage/ovk5-export.exe ]] || cp "$tree/tools/ovk5-export/ovk5-export.exe" "$stage/"
        fi
        if [[ -f $tree/extcap/ovk5dump.exe && ! -f $stage/ovk5dump.exe ]]; then
            cp "$tree/extcap/ovk5dump.exe" "$stage/"
        fi
    done
done
mapfile -t series_list < <(printf '%s\n' "${series_list[@]}" | sort -V)
cp "$root/README.md" "$stage/"
echo "Windows package $version for Wireshark ${series_list[*]}" >&2

# What goes where, and its removal in reverse: generated, so that the
# uninstaller names exactly the files the installer wrote.
files=$work/files.nsh
unfiles=$work/unfiles.nsh
made=()  # "key path", in making order
{
    echo '!insertmacro MakeFolder config "$ConfigDir"'
    made+=('config')
    echo '!insertmacro MakeFolder plugins "$ConfigDir\plugins"'
    made+=('plugins')
    for series in "${series_list[@]}"; do
        key=${series//./_}
        echo "!insertmacro MakeFolder plugins_$key \"\$ConfigDir\\plugins\\$series\""
        echo "!insertmacro MakeFolder epan_$key \"\$ConfigDir\\plugins\\$series\\epan\""
        made+=("plugins_$key" "epan_$key")
        echo "SetOutPath \"\$ConfigDir\\plugins\\$series\\epan\""
        for dll in ovk5.dll ovk5seq.dll; do
            echo "File \"$stage/series/$series/$dll\""
        done
        if [[ -f $stage/series/$series/ovk5-export.dll ]]; then
            echo "!insertmacro MakeFolder export_$key \"\$INSTDIR\\$series\""
            made+=("export_$key")
            echo "SetOutPath \"\$INSTDIR\\$series\""
            echo "File \"$stage/series/$series/ovk5-export.dll\""
            echo "File \"$stage/series/$series/ovk5-export-dissection.dll\""
        fi
    done
    if [[ -f $stage/ovk5-export.exe ]]; then
        echo 'SetOutPath "$INSTDIR"'
        echo "File \"$stage/ovk5-export.exe\""
    fi
    if [[ -f $stage/ovk5dump.exe ]]; then
        # Every series from 4.0 to 4.6 looks for personal extcaps in
        # "extcap" of the personal configuration folder.
        echo '!insertmacro MakeFolder extcap "$ConfigDir\extcap"'
        made+=('extcap')
        echo 'SetOutPath "$ConfigDir\extcap"'
        echo "File \"$stage/ovk5dump.exe\""
    fi
    # Wireshark's Help button for ovk5dump opens it.
    echo 'SetOutPath "$INSTDIR"'
    echo "File \"$stage/README.md\""
} >"$files"
{
    for series in "${series_list[@]}"; do
        for dll in ovk5.dll ovk5seq.dll; do
            echo "Delete \"\$ConfigDir\\plugins\\$series\\epan\\$dll\""
        done
        if [[ -f $stage/series/$series/ovk5-export.dll ]]; then
            echo "Delete \"\$INSTDIR\\$series\\ovk5-export.dll\""
            echo "Delete \"\$INSTDIR\\$series\\ovk5-export-dissection.dll\""
        fi
    done
    echo 'Delete "$INSTDIR\README.md"'
    [[ -f $stage/ovk5-export.exe ]] && echo 'Delete "$INSTDIR\ovk5-export.exe"'
    [[ -f $stage/ovk5dump.exe ]] && echo 'Delete "$ConfigDir\extcap\ovk5dump.exe"'
    for ((i = ${#made[@]} - 1; i >= 0; i--)); do
        echo "!insertmacro RemoveMadeFolder ${made[i]}"
    done
} >"$unfiles"

mkdir -p "$out"
setup=$out/ovk5-wireshark-$version-setup.exe
makensis -V2 -NOCD -DVERSION="$version" -DSTAGE="$stage" -DOUTFILE="$setup" -DFILES="$files" \
    -DUNFILES="$unfiles" -DSERIES="${series_list[*]}" "$root/packaging/windows/ovk5-setup.nsi" >&2

# The zip: the same files in the folders they go to, and how to copy them.
zip_root=$work/zip/ovk5-wireshark-$version
mkdir -p "$zip_root"
for series in "${series_list[@]}"; do
    mkdir -p "$zip_root/plugins/$series/epan"
    cp "$stage/series/$series"/ovk5.dll "$stage/series/$series"/ovk5seq.dll "$zip_root/plugins/$series/epan/"
    if [[ -f $stage/series/$series/ovk5-export.dll ]]; then
        mkdir -p "$zip_root/ovk5-export/$series"
        cp "$stage/series/$series"/ovk5-export*.dll "$zip_root/ovk5-export/$series/"
    fi
done
[[ -f $stage/ovk5-export.exe ]] && cp "$stage/ovk5-export.exe" "$zip_root/ovk5-export/"
cp "$stage/README.md" "$zip_root/"
if [[ -f $stage/ovk5dump.exe ]]; then
    mkdir -p "$zip_root/extcap"
    cp "$stage/ovk5dump.exe" "$zip_root/extcap/"
fi
sed -e "s/@VERSION@/$version/g" -e "s/@SERIES@/${series_list[*]}/g" "$root/packaging/windows/INSTALL.txt" |
    sed 's/$/\r/' >"$zip_root/INSTALL.txt"
zip_file=$out/ovk5-wireshark-$version-windows.zip
rm -f "$zip_file"
(cd "$work/zip" && zip -q -r -X "$zip_file" "ovk5-wireshark-$version")
echo "$setup"
echo "$zip_file"
