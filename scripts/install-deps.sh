#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs the Debian packages the build, the tests and the run command need,
# if any are missing. Uses apt-get as root, sudo otherwise.
#
#   install-deps.sh [--windows-x86] [--windows-installer] [PACKAGE...]
#
# --windows-x86 adds the i686 cross-compiler of the windows-cross-x86 preset;
# --windows-installer what makes the Windows installer and zip and tests
# them under Wine; PACKAGEs are installed too when missing.
set -euo pipefail

packages=(
    cmake make g++ pkg-config
    libwireshark-dev wireshark-dev tshark
    libpcap-dev libgtest-dev
    util-linux
    dpkg-dev file
    # Cross-builds and checks the Windows DLLs.
    g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64
)
for arg in "$@"; do
    case $arg in
        --windows-x86) packages+=(g++-mingw-w64-i686-win32 binutils-mingw-w64-i686) ;;
        --windows-installer) packages+=(nsis zip unzip wine64) ;;
        -*) echo "usage: $0 [--windows-x86] [--windows-installer] [PACKAGE...]" >&2; exit 2 ;;
        *) packages+=("$arg") ;;
    esac
done

missing=()
for pkg in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || true)
    [[ "$status" == installed ]] || missing+=("$pkg")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing missing packages: ${missing[*]}" >&2
if [[ $(id -u) -eq 0 ]]; then
    sudo=()
elif command -v sudo >/dev/null; then
    sudo=(sudo)
else
    echo "Missing packages: ${missing[*]}; install them as root." >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
