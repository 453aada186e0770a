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
#                                user 65534 can read captures under /root

ovk_stage=

ovk_stage_remove() {
    [[ -z $ovk_stage || ! -d $ovk_stage ]] || rm -rf "$ovk_stage"
    ovk_stage=
}

ovk_stage_new() {
    ovk_stage_remove
    ovk_stage=$(mktemp -d "${TMPDIR:-/tmp}/ovk-stage-XXXXXX")
    trap ovk_stage_remove EXIT
    [[ -z ${1:-} ]] || cp -r "$1" "$ovk_stage/plugins"
    mkdir "$ovk_stage/home"
}

ovk_in_stage() {
    chmod -R a+rX "$ovk_stage"
    chmod -R a+rwX "$ovk_stage/home"
    chmod a+rwx "$ovk_stage"
    local run=(env -u WIRESHARK_CONFIG_DIR -u XDG_CONFIG_HOME HOME="$ovk_stage/home" TZ=UTC LC_ALL=C.UTF-8
               WIRESHARK_PLUGIN_DIR="$ovk_stage/plugins" WIRESHARK_ABORT_ON_DISSECTOR_BUG=1 "$@")
    [[ $(id -u) -ne 0 ]] || run=(setpriv --reuid=65534 --regid=65534 --clear-groups "${run[@]}")
    (cd "$ovk_stage" && "${run[@]}")
}

# By hand, files named on the command line are read from copies in the
# stage; what the command writes into the stage goes with it, so output
# belongs on standard output (tshark -w -).
ovk_by_hand() {
    local root build args=() arg i=0
    root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
    build=${BUILD_DIR:-$root/build}
    if [[ ! -d $build/plugins ]]; then
        echo "tshark-stage.sh: no plug-ins in $build/plugins: build first (scripts/build.sh)" >&2
        return 2
    fi
    ovk_stage_new "$build/plugins"
    mkdir "$ovk_stage/files"
    for arg in "$@"; do
        if [[ -f $arg ]]; then
            i=$((i + 1))
            cp "$arg" "$ovk_stage/files/$i-$(basename "$arg")"
            arg=$ovk_stage/files/$i-$(basename "$arg")
        fi
        args+=("$arg")
    done
    ovk_in_stage "${args[@]}"
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
