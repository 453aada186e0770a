#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds and tests the project against every Wireshark series Debian ships,
# each in a minimal Debian chroot of its own, and leaves the plug-ins of each
# series in dist/<major.minor>/.
#
#   scripts/test-matrix.sh [--fresh] [SERIES...]     (as root)
#
# SERIES are 4.0 (Debian 12 "bookworm"), 4.4 (Debian 13 "trixie") and 4.6
# (Debian unstable "sid"); all of them by default. --fresh makes the chroots
# anew. Each chroot gets the project's own dependency installer and test
# command (scripts/test.sh), run on a copy of this checkout.
#
# Environment:
#   OVK_MATRIX_CACHE     where the chroots are kept between runs
#                        (default /var/cache/ovk-matrix)
#   OVK_MATRIX_MIRROR    Debian mirror for new chroots (default: the one this
#                        machine's APT sources use for Debian's main archive,
#                        else debootstrap's own default)
#   OVK_MATRIX_MAX_AGE   days after which a chroot is made anew (default 7),
#                        so that it follows its suite
#   OVK_MATRIX_DIST      where the per-series artefacts go (default dist/)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cache=${OVK_MATRIX_CACHE:-/var/cache/ovk-matrix}
mirror=${OVK_MATRIX_MIRROR:-}
max_age=${OVK_MATRIX_MAX_AGE:-7}
dist=${OVK_MATRIX_DIST:-$root/dist}

declare -A suite_of=([4.0]=bookworm [4.4]=trixie [4.6]=sid)
all_series=(4.0 4.4 4.6)

fresh=false
selected=()
for arg in "$@"; do
    case $arg in
        --fresh) fresh=true ;;
        -h|--help) sed -n '3,/^set -euo/{/^set -euo/d;s/^# \{0,1\}//;p}' "$0"; exit 0 ;;
        *)
            if [[ -z ${suite_of[$arg]:-} ]]; then
                echo "unknown series '$arg' (known: ${all_series[*]})" >&2
                exit 2
            fi
            selected+=("$arg") ;;
    esac
done
[[ ${#selected[@]} -gt 0 ]] || selected=("${all_series[@]}")

if [[ $(id -u) -ne 0 ]]; then
    echo "test-matrix.sh makes chroots and must run as root" >&2
    exit 1
fi

log() { printf '== [%s] %s\n' "$(date -u +%H:%M:%S)" "$*"; }

if ! command -v debootstrap >/dev/null; then
    log "installing debootstrap"
    export DEBIAN_FRONTEND=noninteractive
    apt-get -q -o DPkg::Lock::Timeout=600 update
    apt-get -q -y -o DPkg::Lock::Timeout=600 install --no-install-recommends debootstrap
fi

# The mirror of Debian's main archive in this machine's APT sources, as apt
# itself reads them (one-line and deb822 files alike); empty when apt knows
# none, e.g. on another distribution or before its first update.
host_debian_mirror() {
    command -v apt-get >/dev/null || return 0
    apt-get indextargets --format '$(REPO_URI)' 'Origin: Debian' 'Label: Debian' 'Created-By: Packages' \
        2>/dev/null | head -n1
}
[[ -n $mirror ]] || mirror=$(host_debian_mirror)

# Runs "$@" in a mount namespace of its own: whatever it mounts is gone when
# it ends, however it ends.
in_private_mounts() {
    unshare --mount --propagation private -- "$@"
}

# Runs a command inside the chroot $1 with /proc, /dev and a fresh /tmp.
run_in_chroot() {
    local dir=$1
    shift
    in_private_mounts bash -euo pipefail -c '
        dir=$1
        shift
        trap "umount -R \"\$dir/tmp\" \"\$dir/dev\" \"\$dir/proc\" 2>/dev/null || true" EXIT
        mount -t proc proc "$dir/proc"
        mount --rbind /dev "$dir/dev"
        mount -t tmpfs -o mode=1777 tmpfs "$dir/tmp"
        chroot "$dir" env -i \
            PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
            HOME=/root LANG=C.UTF-8 TERM=dumb DEBIAN_FRONTEND=noninteractive \
            "$@"
    ' run_in_chroot "$dir" "$@"
}

make_chroot() {
    local suite=$1 dir=$2
    local partial=$dir.partial
    rm -rf --one-file-system "$partial"
    log "making $suite chroot in $dir from ${mirror:-the default mirror of debootstrap}"
    # debootstrap mounts /proc and /sys in the target: keep those mounts
    # private so that a failed run leaves none behind. Without a mirror it
    # takes its default.
    if ! in_private_mounts debootstrap --variant=minbase "$suite" "$partial" ${mirror:+"$mirror"} \
            >"$dir.debootstrap.log" 2>&1; then
        tail -n 30 "$dir.debootstrap.log" >&2
        echo "debootstrap of $suite failed (log: $dir.debootstrap.log)" >&2
        return 1
    fi
    # A moving suite's Release file may look expired to a machine whose
    # clock runs ahead.
    echo 'Acquire::Check-Valid-Until "false";' >"$partial/etc/apt/apt.conf.d/90ovk-matrix"
    # Documentation is of no use to a build chroot.
    cat >"$partial/etc/dpkg/dpkg.cfg.d/90ovk-matrix" <<'EOF'
path-exclude=/usr/share/doc/*
path-exclude=/usr/share/locale/*
path-exclude=/usr/share/info/*
EOF
    cp -L /etc/resolv.conf "$partial/etc/resolv.conf"
    # The project's own installer brings in the build and test dependencies,
    # so that packages added to it reach the chroots too.
    log "installing the build and test dependencies in the $suite chroot"
    copy_checkout "$partial"
    if ! run_in_chroot "$partial" /src/scripts/install-deps.sh >"$dir.deps.log" 2>&1; then
        tail -n 30 "$dir.deps.log" >&2
        echo "installing the dependencies in the $suite chroot failed (log: $dir.deps.log)" >&2
        return 1
    fi
    rm -f "$partial/var/cache/apt/archives/"*.deb
    touch "$partial/.ovk-matrix-made"
    mv "$partial" "$dir"
}

# Copies the checkout, without its build folders and ignored files, to
# /src in the chroot.
copy_checkout() {
    local dir=$1
    rm -rf --one-file-system "$dir/src"
    mkdir "$dir/src"
    tar -C "$root" --exclude-vcs --exclude-vcs-ignores \
        --exclude=./build --exclude=./dist -cf - . | tar -C "$dir/src" -xf -
}

# The built plug-ins and package(s) of one series, side by side in dist/,
# and its Windows build in dist/<series>/windows/.
collect_artefacts() {
    local dir=$1 series=$2
    local built
    built=$(cd "$dir/src/build/plugins" && ls -d [0-9]*.[0-9]*)
    if [[ $built != "$series" ]]; then
        echo "the $series chroot built plug-ins for Wireshark $built" >&2
        return 1
    fi
    cp "$dir/src/build/plugins/$series/epan/"*.so "$dist/$series/"
    if compgen -G "$dir/src/build/*.deb" >/dev/null; then
        cp "$dir/src/build/"*.deb "$dist/$series/"
    fi
    # The Windows DLLs and programs of this series, for the host's
    # scripts/windows-installer.sh.
    local windows=$dir/src/build/windows-cross
    if [[ -d $windows/plugins ]]; then
        (cd "$windows" && find plugins tools extcap \( -name '*.dll' -o -name '*.exe' \) 2>/dev/null || true) |
            while read -r file; do
                install -D -m 0644 "$windows/$file" "$dist/$series/windows/$file"
            done
    fi
}

# Inside the chroot after the tests (which check that tshark loads the
# plug-ins): the package, if the build has a package target, and what
# tshark says of the plug-ins, for the log.
readonly after_tests='
cd /src
targets=$(cmake --build build --target help)
if grep -qw package <<<"$targets"; then
    cmake --build build --target package
fi
source scripts/tshark-stage.sh
ovk_stage_new build/plugins
echo "tshark -G plugins:"
ovk_in_stage tshark -G plugins | grep "^ovk" | sed "s/^/    /"
'

# Makes (if need be) the chroot of one series and runs the test command in it.
test_series() {
    local series=$1
    local suite=${suite_of[$series]}
    local dir=$cache/$series-$suite

    if [[ -d $dir ]] && { $fresh || [[ -n $(find "$dir/.ovk-matrix-made" -mtime +"$max_age" 2>/dev/null) ]] \
                             || [[ ! -f $dir/.ovk-matrix-made ]]; }; then
        log "discarding the $suite chroot"
        rm -rf --one-file-system "$dir"
    fi
    [[ -d $dir ]] || make_chroot "$suite" "$dir" || return 1

    cp -L /etc/resolv.conf "$dir/etc/resolv.conf"
    copy_checkout "$dir"
    rm -rf "$dist/$series"
    mkdir -p "$dist/$series"
    local test_log=$dist/$series/test.log
    log "Wireshark $series ($suite): scripts/test.sh (log: $test_log)"
    run_in_chroot "$dir" bash -c 'cd /src && OVK_WINE_TESTS=0 scripts/test.sh' 2>&1 | tee "$test_log" || return 1
    # The build treats compiler warnings as errors; this also catches the
    # linker's, the cross tools' and CMake's (not apt's or dpkg's).
    if grep -E '^(/[^ ]*|[^ :]*(ld|gcc|g\+\+|cc1plus|collect2|windres|dlltool|objdump)): warning:|CMake (Deprecation )?Warning' \
            "$test_log"; then
        echo "the Wireshark $series build printed warnings" >&2
        return 1
    fi
    run_in_chroot "$dir" bash -euo pipefail -c "$after_tests" || return 1
    collect_artefacts "$dir" "$series"
}

mkdir -p "$cache"
# One run at a time per cache: two would make or use the same chroots.
exec 9>"$cache/.lock"
if ! flock -n 9; then
    log "waiting for another test-matrix.sh run to finish with $cache"
    flock 9
fi
declare -A result
passed=0 failed=0
for series in "${selected[@]}"; do
    start=$SECONDS
    if test_series "$series"; then
        result[$series]="passed"
        passed=$((passed + 1))
    else
        result[$series]="FAILED"
        failed=$((failed + 1))
    fi
    result[$series]+=" in $((SECONDS - start)) s"
    log "Wireshark $series: ${result[$series]}"
done

echo
echo "Wireshark series matrix (artefacts in $dist):"
for series in "${selected[@]}"; do
    printf '  %-4s %-9s %s\n' "$series" "${suite_of[$series]}" "${result[$series]}"
done
echo "series: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
