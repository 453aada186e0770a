#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# ovk5dump.exe under Wine against the Linux build: the same answers to
# Wireshark's extcap queries; a filter refused with Npcap named when Npcap
# is missing; and the same records, times, interfaces, comments and drop
# counts when both receive what ovk5-capgen sends over loopback (UDP with
# malformed datagrams, TCP cut into small segments), each stopped by
# Ctrl-C (SIGINT) after the last record; and, as Wireshark runs it, written
# into a named pipe whose reader's closing ends the capture.
#
#   extcap_wine_test.sh OVK5DUMP_EXE OVK5DUMP OVK5_CAPGEN PIPE_READER_EXE
set -uo pipefail
windows_extcap=$1 linux_extcap=$2 capgen=$3 pipe_reader=$4

wine=$(command -v wine64 || command -v wine || true)
[[ -n $wine ]] || wine=/usr/lib/wine/wine64
wineserver=$(command -v wineserver || true)
[[ -n $wineserver ]] || wineserver=/usr/lib/wine/wineserver64

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

work=$(mktemp -d)
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
trap '"$wineserver" -k 2>/dev/null; rm -rf "$work"' EXIT
"$wine" wineboot -i >/dev/null 2>&1
"$wineserver" -w

windows() { "$wine" "$windows_extcap" "$@" 2>&1 | tr -d '\r'; }
# The help link names where the README is installed, which differs.
same_answer() {
    local answer_windows answer_linux
    answer_windows=$(windows "$@" | sed 's/{help=[^}]*}//')
    answer_linux=$("$linux_extcap" "$@" 2>&1 | sed 's/{help=[^}]*}//')
    [[ $answer_windows == "$answer_linux" ]] ||
        fail "ovk5dump $* answers differently under Wine:"$'\n'"$answer_windows"$'\n'"Linux:"$'\n'"$answer_linux"
}
same_answer --extcap-interfaces
[[ $(windows --extcap-interfaces) == *"interface {value=ovk5udp}"* ]] || fail "no interfaces under Wine"
for interface in ovk5udp ovk5tcp; do
    same_answer --extcap-interface "$interface" --extcap-dlts
    same_answer --extcap-interface "$interface" --extcap-config
done
same_answer --extcap-interface ovk5udp --extcap-capture-filter ''
answer=$(windows --extcap-interface ovk5udp --extcap-capture-filter icmp)
[[ $answer == *Npcap* ]] || fail "a filter without Npcap: '$answer'"
answer=$(windows --capture --extcap-interface ovk5udp --extcap-capture-filter icmp --fifo 'Z:\nonexistent')
[[ $answer == *Npcap* ]] || fail "a capture with a filter without Npcap: '$answer'"

# listening udp|tcp PORT: waits until a socket listens there (60 s at most:
# Wine starts slowly on a busy machine).
listening() {
    for _ in $(seq 600); do
        ss -Hln --"$1" "sport = :$2" 2>/dev/null | grep -q . && return 0
        sleep 0.1
    done
    return 1
}

# capture NAME KIND INTERFACE PORT CAPGEN_ARGS...: both builds receive the
# same records on PORT and PORT+1, each into NAME-<build>.pcapng.
capture() {
    local name=$1 kind=$2 interface=$3 port=$4
    shift 4
    : >"$work/$name-windows.pcapng"
    : >"$work/$name-linux.pcapng"
    "$wine" "$windows_extcap" --capture --extcap-interface "$interface" --port "$port" \
        --fifo "Z:${work//\//\\}\\$name-windows.pcapng" 2>"$work/$name-windows.err" &
    local windows_pid=$!
    "$linux_extcap" --capture --extcap-interface "$interface" --port $((port + 1)) \
        --fifo "$work/$name-linux.pcapng" 2>"$work/$name-linux.err" &
    local linux_pid=$!
    listening "$kind" "$port" || fail "ovk5dump.exe does not listen on $kind port $port"
    listening "$kind" $((port + 1)) || fail "ovk5dump does not listen on $kind port $((port + 1))"
    "$capgen" -q "$@" --send "$kind://127.0.0.1:$port" || fail "ovk5-capgen $* (Windows) failed"
    "$capgen" -q "$@" --send "$kind://127.0.0.1:$((port + 1))" || fail "ovk5-capgen $* (Linux) failed"
    sleep 1
    kill -INT "$windows_pid" "$linux_pid"
    wait "$windows_pid" || fail "ovk5dump.exe ended with $? ($(cat "$work/$name-windows.err"))"
    wait "$linux_pid" || fail "ovk5dump ended with $?"
}

fields() {
    tshark -r "$1" -T fields -E separator='|' -e frame.time_epoch -e frame.interface_name \
        -e frame.interface_description -e frame.comment -e frame.len -e frame.drop_count -e eth.src 2>/dev/null
}

compare() {
    local name=$1 expected=$2 windows_fields linux_fields
    windows_fields=$(fields "$work/$name-windows.pcapng")
    linux_fields=$(fields "$work/$name-linux.pcapng")
    local count
    count=$(grep -c . <<<"$linux_fields")
    [[ $count == "$expected" ]] || fail "$name: the Linux build wrote $count packets, not $expected"
    if [[ $windows_fields != "$linux_fields" ]]; then
        fail "$name: the Windows build's capture differs from the Linux build's:"
        diff <(echo "$linux_fields") <(echo "$windows_fields") | head -n 10 >&2
    else
        echo "$name: $count packets alike"
    fi
}

base_port=$((30000 + RANDOM % 20000))
# 1,000 records, one datagram each, one in 50 malformed (the next packet
# of its stream says so as its drop count).
capture udp udp ovk5udp "$base_port" -n 1000 --bad-every 50 --rate 5000 --source-port 40001
compare udp 980
# TCP: 5 records per write, each write cut into 7-byte segments.
capture tcp tcp ovk5tcp $((base_port + 2)) -n 100 -i 3 --per-send 5 --split 7 --source-port 41001
compare tcp 100

# The named pipe, as dumpcap makes it: the reader closes its end 1.5 s
# after the last bytes, and the extcap ends by itself.
pipe='\\.\pipe\ovk5dump-test-'$base_port
"$wine" "$pipe_reader" "$pipe" "Z:${work//\//\\}\\pipe.pcapng" 1500 >"$work/reader.out" 2>&1 &
reader_pid=$!
for _ in $(seq 600); do grep -q listening "$work/reader.out" && break; sleep 0.1; done
"$wine" "$windows_extcap" --capture --extcap-interface ovk5udp --port $((base_port + 4)) --fifo "$pipe" \
    2>"$work/pipe.err" &
extcap_pid=$!
if listening udp $((base_port + 4)); then
    "$capgen" -q -n 100 --source-port 40002 --send "udp://127.0.0.1:$((base_port + 4))" || fail "ovk5-capgen (pipe) failed"
else
    fail "ovk5dump.exe writing into a pipe does not listen"
fi
wait "$reader_pid" || fail "the pipe reader failed ($(cat "$work/reader.out"))"
for _ in $(seq 100); do kill -0 "$extcap_pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$extcap_pid" 2>/dev/null; then
    fail "ovk5dump.exe still runs 10 s after its pipe's reader left"
    kill -INT "$extcap_pid"
fi
wait "$extcap_pid" || fail "ovk5dump.exe ended with $? after its reader left ($(cat "$work/pipe.err"))"
count=$(tshark -r "$work/pipe.pcapng" -T fields -e frame.number 2>/dev/null | grep -c .)
[[ $count == 100 ]] && echo "pipe: 100 packets, ended when the reader left" || fail "pipe: $count packets, not 100"

[[ $failures -eq 0 ]] || { echo "$failures failure(s)" >&2; exit 1; }
