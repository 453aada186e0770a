#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Installation the ways a user gets the plug-ins: "cmake --install" into
# the global folder, or below a prefix of one's own (nothing outside it,
# even as root), the "install-user" target into the personal folder (and
# "uninstall-user" out of it), and the Debian package from "cpack -G DEB";
# each time the installed tshark must load the plug-ins from where they
# landed. The
# package carries its machine-readable copyright file and depends on the
# library package once.
#
# install_and_package_test.sh SOURCE_DIR BUILD_DIR PLUGIN_INSTALL_DIR SERIES PLUGIN_RELATIVE_DIR
set -euo pipefail
source_dir=$1 build=$2 plugin_install_dir=$3 series=$4 plugin_relative_dir=$5
source "$source_dir/scripts/tshark-stage.sh"

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
expect_file() { [[ -f $1 ]] || fail "missing $1"; }

ovk_stage_new
work=$ovk_stage

# The "tshark -G plugins" line of library, with HOME and WIRESHARK_PLUGIN_DIR
# as given.
plugin_line() {
    local home=$1 plugin_dir=$2 library=$3
    ovk_in_stage HOME="$home" WIRESHARK_PLUGIN_DIR="$plugin_dir" tshark -G plugins 2>&1 \
        | awk -v lib="$library" '$1 == lib { print $1, $4 }'
}

# cmake --install and cpack rewrite the build folder's install manifest, by
# which the README removes a real installation: that one is put back.
manifest=$build/install_manifest.txt
[[ ! -f $manifest ]] || cp "$manifest" "$work/install_manifest.txt"
restore_manifest() {
    if [[ -f $work/install_manifest.txt ]]; then cp "$work/install_manifest.txt" "$manifest"; else rm -f "$manifest"; fi
}

# cmake --install honours DESTDIR and puts the plug-ins in the analyser's folder.
DESTDIR="$work/root" cmake --install "$build" --prefix /usr >/dev/null
expect_file "$work/root$plugin_install_dir/ovk5.so"
expect_file "$work/root$plugin_install_dir/ovk5seq.so"
expect_file "$work/root/usr/bin/ovk5-capgen"
expect_file "$work/root/usr/bin/ovk5-export"
expect_file "$work/root/usr/lib/ovk5-export/ovk5-export-dissection.so"
[[ $plugin_install_dir == */$series/epan ]] || fail "plug-in folder $plugin_install_dir is not for series $series"

# Without --prefix, the configured prefix: the plug-ins still go to the
# analyser's folder.
DESTDIR="$work/plain" cmake --install "$build" >/dev/null
expect_file "$work/plain$plugin_install_dir/ovk5.so"
expect_file "$work/plain$plugin_install_dir/ovk5seq.so"

# An explicit prefix of one's own: everything below it, the plug-ins at the
# analyser folder's place relative to its prefix, where tshark finds them
# through WIRESHARK_PLUGIN_DIR.
prefix=$work/prefix
installed=$(cmake --install "$build" --prefix "$prefix" | sed -n 's/^-- \(Installing\|Up-to-date\): //p')
[[ -n $installed ]] || fail "cmake --install --prefix listed nothing installed"
outside=$(grep -v "^$prefix/" <<<"$installed" || true)
[[ -z $outside ]] || fail "cmake --install --prefix $prefix wrote outside it: $outside"
for library in ovk5.so ovk5seq.so; do
    expect_file "$prefix/$plugin_relative_dir/$library"
    got=$(plugin_line "$work/home-empty" "$prefix/${plugin_relative_dir%/$series/epan}" "$library")
    [[ $got == "$library $prefix/$plugin_relative_dir/$library" ]] || fail "tshark does not load $library from the prefix: '$got'"
done
"$prefix/bin/ovk5-capgen" -q -n 2 -o "$work/prefix.pcap" && "$prefix/bin/ovk5-export" -q "$work/prefix.pcap" "$work/prefix.pcapng" ||
    fail "ovk5-export installed below the prefix failed"

# install-user: the personal folder under the HOME of whoever builds it.
mkdir -p "$work/home" "$work/empty"
HOME="$work/home" cmake --build "$build" --target install-user >/dev/null
personal="$work/home/.local/lib/wireshark/plugins/$series/epan"
expect_file "$personal/ovk5.so"
expect_file "$personal/ovk5seq.so"
for library in ovk5.so ovk5seq.so; do
    got=$(plugin_line "$work/home" "$work/empty" "$library")
    [[ $got == "$library $personal/$library" ]] || fail "tshark does not load $library from the personal folder: '$got'"
done

# uninstall-user removes them again, and the plug-ins are no longer loaded;
# the home folder is left as it was, without the folders install-user made.
HOME="$work/home" cmake --build "$build" --target uninstall-user >/dev/null
for library in ovk5.so ovk5seq.so; do
    [[ ! -e $personal/$library ]] || fail "uninstall-user left $personal/$library"
    got=$(plugin_line "$work/home" "$work/empty" "$library")
    [[ -z $got ]] || fail "tshark still loads $library after uninstall-user: '$got'"
done
left=$(cd "$work/home" && find . -mindepth 1 | grep -v '^\./\.local$\|^\./\.local/lib$' || true)
[[ -z $left ]] || fail "uninstall-user left folders in the home folder: $left"

# The Debian package.
(cd "$build" && cpack -G DEB -B "$work/package" >/dev/null)
restore_manifest
debs=("$work"/package/*.deb)
[[ ${#debs[@]} -eq 1 && -f ${debs[0]} ]] || { fail "cpack made no single .deb: ${debs[*]}"; exit 1; }
deb=${debs[0]}

field() { dpkg-deb -f "$deb" "$1"; }
[[ $(field Package) == ovkan-wireshark-plugins ]] || fail "Package: $(field Package)"
[[ $(field Version) =~ ^[0-9]+\.[0-9]+\.[0-9]+-[0-9]+$ ]] || fail "Version: $(field Version)"
[[ $(field Maintainer) =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] || fail "Maintainer: $(field Maintainer)"
[[ $(field Description | head -1) == *OVK5* ]] || fail "Description: $(field Description)"
[[ $(field Description) == *"hardware's clock; and ovk5dump"* ]] || fail "Description lost its punctuation: $(field Description)"
[[ $(field Architecture) == "$(dpkg --print-architecture)" ]] || fail "Architecture: $(field Architecture)"

# Depends on exactly the library package the plug-ins were linked against.
library=$(readlink -f "$(ldd "$build/plugins/$series/epan/ovk5.so" | awk '$1 ~ /^libwireshark\.so/ { print $3 }')")
owner=$(dpkg-query -S "$library" | cut -d: -f1)
version=$(dpkg-query -W -f='${Version}' "$owner")
depends=$(field Depends)
[[ ", $depends," == *", $owner (= $version),"* ]] || fail "Depends '$depends' lacks '$owner (= $version)'"
[[ $(grep -o 'libwireshark[0-9]*' <<<"$depends" | wc -l) -eq 1 ]] || fail "Depends names libwireshark more than once: '$depends'"

listing=$(dpkg-deb -c "$deb" | awk '{ print $6 }')
for path in "$plugin_install_dir/ovk5.so" "$plugin_install_dir/ovk5seq.so" /usr/bin/ovk5-capgen /usr/bin/ovk5-export \
            /usr/lib/ovk5-export/ovk5-export-dissection.so; do
    grep -qxF ".$path" <<<"$listing" || fail "package lacks $path"
done
outside=$(grep -v '^\./usr/' <<<"$listing" | grep -vxF './' || true)
[[ -z $outside ]] || fail "package installs outside /usr: $outside"

dpkg-deb -x "$deb" "$work/unpacked"
# Debian's machine-readable copyright format, licensing the whole package.
copyright=$work/unpacked/usr/share/doc/$(field Package)/copyright
[[ $(head -1 "$copyright" 2>/dev/null) == "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" ]] \
    || fail "package lacks a machine-readable /usr/share/doc/$(field Package)/copyright"
[[ $(grep -cx 'Files: \*' "$copyright") -eq 1 && $(grep -cx 'License: GPL-2+' "$copyright") -eq 2 ]] \
    || fail "copyright does not put 'Files: *' under GPL-2+ with the licence's own paragraph"

# The packaged plug-ins load, from the packaged folder layout.
packaged_plugins="$work/unpacked${plugin_install_dir%/$series/epan}"
for library in ovk5.so ovk5seq.so; do
    got=$(plugin_line "$work/home-empty" "$packaged_plugins" "$library")
    [[ $got == "$library $packaged_plugins/$series/epan/$library" ]] || fail "packaged $library does not load: '$got'"
done
"$work/unpacked/usr/bin/ovk5-capgen" --help >/dev/null || fail "packaged ovk5-capgen --help failed"

# The packaged exporter finds its dissection module where the package put it.
"$work/unpacked/usr/bin/ovk5-capgen" -q -n 3 -o "$work/udp.pcap"
"$work/unpacked/usr/bin/ovk5-export" -q "$work/udp.pcap" "$work/udp.pcapng" || fail "packaged ovk5-export failed"
[[ $(capinfos -c -M "$work/udp.pcapng" 2>/dev/null | awk '/Number of packets/ { print $NF }') == 3 ]] ||
    fail "packaged ovk5-export did not export the 3 packets"

# ovk5dump: in the series' extcap folder by cmake --install and the package,
# and in the personal one by install-user-extcap, where tshark finds it.
extcap_install_dir=$(sed -n 's/^OVK_EXTCAP_INSTALL_DIR:PATH=//p' "$build/CMakeCache.txt")
if [[ -n $extcap_install_dir ]]; then
    expect_file "$work/root$extcap_install_dir/ovk5dump"
    grep -qxF ".$extcap_install_dir/ovk5dump" <<<"$listing" || fail "package lacks $extcap_install_dir/ovk5dump"
    mkdir -p "$work/home-extcap"
    HOME="$work/home-extcap" cmake --build "$build" --target install-user-extcap >/dev/null 2>&1 \
        || fail "install-user-extcap failed"
    interfaces=$(ovk_in_stage HOME="$work/home-extcap" tshark -D 2>&1)
    grep -q 'ovk5udp (OVK5 receiver (UDP))' <<<"$interfaces" \
        || fail "tshark does not list ovk5dump from the personal extcap folder: $interfaces"
    HOME="$work/home-extcap" cmake --build "$build" --target uninstall-user-extcap >/dev/null 2>&1 \
        || fail "uninstall-user-extcap failed"
    left=$(cd "$work/home-extcap" && find . -mindepth 1 | grep -v '^\./\.config$\|^\./\.local$\|^\./\.local/lib$' || true)
    [[ -z $left ]] || fail "uninstall-user-extcap left in the home folder: $left"
    # Below a prefix, where WIRESHARK_EXTCAP_DIR points Wireshark at it.
    prefix_extcap=$prefix/${extcap_install_dir#/usr/}
    interfaces=$(ovk_in_stage HOME="$work/home-empty" WIRESHARK_EXTCAP_DIR="$prefix_extcap" tshark -D 2>&1)
    grep -q 'ovk5udp (OVK5 receiver (UDP))' <<<"$interfaces" \
        || fail "tshark does not list ovk5dump from $prefix_extcap: $interfaces"
    # The options dialog's Help opens the README installed with it, wherever
    # the package or the prefix put both.
    for installed in "$work/unpacked:$work/unpacked$extcap_install_dir/ovk5dump:/usr/share/doc/$(field Package)" \
                     "$prefix:$prefix_extcap/ovk5dump:/share/doc/$(field Package)"; do
        IFS=: read -r base extcap doc <<<"$installed"
        help=$("$extcap" --extcap-interfaces | sed -n 's/^extcap {version=[^}]*}{help=\(.*\)}$/\1/p')
        [[ $help == "file://$base$doc/README.md" && -f $base$doc/README.md ]] \
            || fail "$extcap gives help=$help, not the README beside it ($base$doc/README.md)"
    done
fi

[[ $failures -eq 0 ]] || { echo "$failures failure(s)" >&2; exit 1; }
echo "install and package: all checks passed"
