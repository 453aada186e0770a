#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The one way this project runs tshark (or Wireshark) with plug-ins it built,
# as a user would: the scripts and shell tests source this file, the C++
# tests run it.
#
#   - From a stage: a temporary folder with the plug-ins in
#     plugins/<major>.<minor>/epan and an empty home/, made readable to all
#     (the stage and all of home/ writable too) before every run, so that
#     files written into it need no care.
#   - As the unprivileged user 65534 when run as root: Wireshark ignores
#     WIRESHARK_PLUGIN_DIR and the personal plug-in folder for root.
#   - HOME in the stage and no other configuration, TZ=UTC, LC_ALL=C.UTF-8,
#     and a dissector bug aborts the run (WIRESHARK_ABORT_ON_DISSECTOR_BUG).
#
# Sourced:
#   ovk_stage_new [PLUGIN_DIR]   makes the stage $ovk_stage with a copy of
#                                PLUGIN_DIR (replacing one made before);
#                                removed when the shell exits
#   ovk_in_stage [NAME=VALUE...] COMMAND [ARG...]
#                                runs COMMAND in the stage; NAME=VALUE
#                                override the environment above
# Run:
#   tshark-stage.sh STAGE [NAME=VALUE...] COMMAND [ARG...]
#                                in a stage made by ovk_stage_new
#   tshark-stage.sh [--] COMMAND [ARG...]
#                                by hand: in a new stage with the plug-ins of
#                                $BUILD_DIR (default build/); every ARG naming
#                                an existing file is copied into the stage
#                                and replaced by the copy's name, so that
#                                user 65534 can read captures under /root;
#                                the command runs in a folder of the stage,
#                                and the files it writes there (-w out.pcapng)
#                                or into the copies are written back to the
#                                caller's folder and files when it ends
#
# As root the stage is made in $TMPDIR only when user 65534 can enter and
# write it, else in /tmp; the command's TMPDIR is the folder the stage is in.

ovk_stage=

ovk_stage_remove() {
    [[ -z $ovk_stage || ! -d $ovk_stage ]] || rm -rf "$ovk_stage"
    ovk_stage=
}

# Where stages are made: TMPDIR may be a folder of root's own, which the
# user the command runs as cannot enter.
ovk_stage_parent() {
    local parent=${TMPDIR:-/tmp}
    if [[ $(id -u) -eq 0 ]] &&
       ! setpriv --reuid=65534 --regid=65534 --clear-groups test -x "$parent" -a -w "$parent" 2>/dev/null; then
        parent=/tmp
    fi
    printf '%s\n' "$parent"
}

ovk_stage_new() {
    ovk_stage_remove
    ovk_stage=$(mktemp -d "$(ovk_stage_parent)/ovk-stage-XXXXXX")
    trap ovk_stage_remove EXIT
    [[ -z ${1:-} ]] || cp -r "$1" "$ovk_stage/plugins"
    mkdir "$ovk_stage/home"
}

ovk_in_stage() {
    chmod -R a+rX "$ovk_stage"
    chmod -R a+rwX "$ovk_stage/home"
    chmod a+rwx "$ovk_stage"
    local run=(env -u WIRESHARK_CONFIG_DIR -u XDG_CONFIG_HOME HOME="$ovk_stage/home" TZ=UTC LC_ALL=C.UTF-8
               TMPDIR="$(dirname "$ovk_stage")"
               WIRESHARK_PLUGIN_DIR="$ovk_stage/plugins" WIRESHARK_ABORT_ON_DISSECTOR_BUG=1 "$@")
    [[ $(id -u) -ne 0 ]] || run=(setpriv --reuid=65534 --regid=65534 --clear-groups "${run[@]}")
    (cd "${ovk_stage_workdir:-$ovk_stage}" && "${run[@]}")
}

# Puts the contents of file from into target without destroying target: a
# symbolic link's target is written, a FIFO or device written into, a
# regular file (or a new name) replaced whole by a rename.
ovk_write_back() {
    local from=$1 target=$2 partial
    target=$(readlink -m -- "$target")
    if [[ -e $target && ! -f $target ]]; then
        cat -- "$from" >"$target"
        return
    fi
    partial=$(mktemp "$target.XXXXXX.partial") || return 1
    if cat -- "$from" >"$partial" &&
       if [[ -f $target ]]; then chmod --reference="$target" "$partial"; else chmod "$(printf '%o' $((0666 & ~$(umask))))" "$partial"; fi &&
       mv -f -- "$partial" "$target"; then
        return 0
    fi
    rm -f -- "$partial"
    return 1
}

# By hand, files named on the command line are read from copies in the
# stage, and the command runs in the stage's work/ folder. When it ends,
# the copies it changed and the files it wrote into work/ are written back
# where the caller would have found them had the command run in place.
ovk_by_hand() {
    local root build args=() copies=() originals=() arg copy i=0 status=0 written failed=0
    root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
    build=${BUILD_DIR:-$root/build}
    if [[ ! -d $build/plugins ]]; then
        echo "tshark-stage.sh: no plug-ins in $build/plugins: build first (scripts/build.sh)" >&2
        return 2
    fi
    ovk_stage_new "$build/plugins"
    mkdir "$ovk_stage/files" "$ovk_stage/work" "$ovk_stage/sums"
    for arg in "$@"; do
        if [[ -f $arg ]]; then
            i=$((i + 1))
            copy=$ovk_stage/files/$i-$(basename "$arg")
            cp "$arg" "$copy"
            cksum <"$copy" >"$ovk_stage/sums/$i"
            originals+=("$arg")
            copies+=("$copy")
            arg=$copy
        elif [[ $arg == */* && $arg != /* && ! -e $arg && -d $(dirname "$arg") ]]; then
            # A new file in a folder below the caller's: the folder is
            # made in work/ too.
            mkdir -p "$ovk_stage/work/$(dirname "$arg")"
        fi
        args+=("$arg")
    done
    # Writable by the user the command runs as.
    chmod -R a+rwX "$ovk_stage/work" "$ovk_stage/files"
    ovk_stage_workdir=$ovk_stage/work
    ovk_in_stage "${args[@]}" || status=$?
    ovk_stage_workdir=
    for i in "${!copies[@]}"; do
        [[ $(cksum <"${copies[$i]}") != "$(cat "$ovk_stage/sums/$((i + 1))")" ]] || continue
        ovk_write_back "${copies[$i]}" "${originals[$i]}" || failed=1
    done
    while IFS= read -r -d '' written; do
        written=${written#"$ovk_stage/work/"}
        ovk_write_back "$ovk_stage/work/$written" "$written" || failed=1
    done < <(find "$ovk_stage/work" -type f -print0)
    if [[ $failed -ne 0 ]]; then
        echo "tshark-stage.sh: could not write back what the command wrote" >&2
        [[ $status -ne 0 ]] || status=1
    fi
    return "$status"
}

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
    set -euo pipefail
    if [[ $# -eq 0 || ($1 == -- && $# -eq 1) ]]; then
        echo "usage: $0 [--] COMMAND [ARG...]   (e.g. $0 tshark -r samples/ovk5-udp.pcap -O ovk5 -V)" >&2
        exit 2
    elif [[ $1 == -- ]]; then
        shift
        ovk_by_hand "$@"
    elif [[ -d $1 ]]; then
        ovk_stage=$1
        shift
        ovk_in_stage "$@"
    else
        ovk_by_hand "$@"
    fi
fi
