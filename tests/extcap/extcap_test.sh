#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# ovk5dump as Wireshark runs it: tshark -i from a test extcap folder, as an
# unprivileged user, writing through dumpcap (-w), receiving what
# ovk5-capgen sends on the loopback interface. What was sent and what the
# capture holds must agree: times, interfaces, comments, counts, and the
# interface statistics.
#
# extcap_test.sh SOURCE_DIR PATH_TO_OVK5DUMP PATH_TO_OVK5_CAPGEN
set -uo pipefail
source_dir=$1 extcap=$2 capgen=$3
source "$source_dir/scripts/tshark-stage.sh"

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

ovk_stage_new
stage=$ovk_stage
mkdir "$stage/extcap"
cp "$extcap" "$stage/extcap/"
in_stage() { ovk_in_stage WIRESHARK_EXTCAP_DIR="$stage/extcap" "$@"; }

# Ports of this run, free at the start, one per capture.
port_base=$((20000 + RANDOM % 20000))
next_port=$port_base
new_port() { next_port=$((next_port + 1)); port=$next_port; }

# wait_listening udp|tcp PORT: until a socket listens there (5 s at most).
wait_listening() {
    local hex
    hex=$(printf ':%04X ' "$2")
    for _ in $(seq 50); do
        if [[ $1 == udp ]]; then
            grep -qs "$hex" /proc/net/udp /proc/net/udp6 && return 0
        else
            awk '$4 == "0A"' /proc/net/tcp /proc/net/tcp6 2>/dev/null | grep -q "$hex" && return 0
        fi
        sleep 0.1
    done
    fail "nothing listens on $1 port $2"
    return 1
}

# capture NAME INTERFACE PORT [TSHARK_ARGS...]: starts tshark in the
# background writing $stage/NAME.pcapng; $capture_pid is its process.
capture() {
    local name=$1 interface=$2 listen_port=$3
    shift 3
    in_stage tshark -i "$interface" -o "extcap.$interface.port:$listen_port" -w "$stage/$name.pcapng" "$@" \
        >"$stage/$name.out" 2>"$stage/$name.err" &
    capture_pid=$!
}

# finished NAME: waits for the capture (10 s at most) and checks it ended well.
finished() {
    local name=$1 waited=0
    while kill -0 "$capture_pid" 2>/dev/null && ((waited < 100)); do
        sleep 0.1
        waited=$((waited + 1))
    done
    if kill -0 "$capture_pid" 2>/dev/null; then
        fail "$name: tshark still runs after 10 s"
        kill "$capture_pid"
    fi
    wait "$capture_pid"
    local status=$?
    [[ $status -eq 0 ]] || fail "$name: tshark exited $status: $(cat "$stage/$name.err")"
    grep -q "ovk5dump" "$stage/$name.err" && fail "$name: the extcap complained: $(cat "$stage/$name.err")"
    pgrep -f "$stage/extcap/ovk5dump" >/dev/null && fail "$name: ovk5dump still runs after tshark ended"
}

# The packets of a capture: time, interface name and description, comment, length.
packets() {
    in_stage tshark -r "$stage/$1.pcapng" -T fields -E separator='|' -e frame.time_epoch -e frame.interface_name \
        -e frame.interface_description -e frame.comment -e frame.len -e udp.srcport -e icmp.type "${@:2}"
}

# The interface statistics blocks of a pcapng file: "interface received
# dropped [accepted] osdropped", one line each.
statistics() {
    od -An -v -tu4 "$1" | tr -s ' \n' ' ' | awk '
        { n = split($0, w, " ") }
        END {
            for (i = 1; i < n; i += size / 4) {
                type = w[i]; size = w[i + 1]
                if (size < 12) break
                if (type != 5) continue
                line = w[i + 2]
                for (o = i + 5; o < i + size / 4 - 1; o += 1 + int((length_ + 3) / 4)) {
                    code = w[o] % 65536; length_ = int(w[o] / 65536)
                    if (code == 0) break
                    if (code >= 4 && code <= 7) line = line " " (w[o + 1] + w[o + 2] * 4294967296)
                }
                print line
            }
        }'
}

# expected_packets COUNT INTERFACE [TIME_BASE]: the lines packets() shows
# for what ovk5-capgen sends from 127.0.0.1 with its defaults.
expected_packets() {
    local count=$1 interface=$2 base=${3:-1700000000} i
    for ((i = 0; i < count; i++)); do
        printf '%s.%09d|ovk5-if%s@127.0.0.1|OVK5 interface %s from 127.0.0.1|RID 0 0x1234, RID 1 0xabcd|50|40000|\n' \
            "$base" $((i * 1000)) "$interface" "$interface"
    done
}

# accounts FILE: per interface "ID WRITTEN DROPPED", the packets and the
# statistics blocks' drop counts read back.
accounts() {
    join -a1 -a2 -e0 -o 0,1.2,2.2 \
        <(in_stage tshark -r "$1" -T fields -e frame.interface_id | sort | uniq -c | awk '{ print $2, $1 }' | sort) \
        <(statistics "$1" | awk '{ print $1, $3 }' | sort)
}

# accounted WHAT FILE SENT: every record sent is written or shown as dropped.
accounted() {
    local total
    total=$(accounts "$2" | awk '{ n += $2 + $3 } END { print n + 0 }')
    [[ $total -eq $3 ]] || fail "$1: $3 records sent, $total written or dropped:"$'\n'"$(accounts "$2")"
}

same() {
    local what=$1 expected=$2 actual=$3
    [[ $expected == "$actual" ]] || fail "$what:"$'\n'"expected:"$'\n'"$expected"$'\n'"got:"$'\n'"$actual"
}

send() { "$capgen" -q "$@" || fail "ovk5-capgen $* failed"; }

# The capture's tshark process ($capture_pid runs it through the stage).
tshark_of_capture() { pgrep -P "$capture_pid" | head -1; }

# 1. UDP: several senders, records back to back in datagrams, malformed
#    datagrams among them (too short; a Blob size one too large), stopped
#    by -a duration. A malformed datagram is dropped whole and counted on
#    the next packet of its stream (frame.drop_count). A stream is the
#    device's address and header interface, whatever the source port.
new_port
capture udp ovk5udp "$port" -a duration:2
if wait_listening udp "$port"; then
    send -n 7 --per-send 3 --source-port 40001 --send "udp://127.0.0.1:$port"
    send -n 5 -i 9 --time-base 1700000100 --bad-every 2 --source-port 40002 --send "udp://127.0.0.1:$port"
    printf 'short' >"/dev/udp/127.0.0.1/$port"
    send -n 2 --time-base 1700000200 --source-port 40003 --send "udp://127.0.0.1:$port"
    send -n 1 --source-port 40004 --send "udp://[::1]:$port"
fi
finished udp
same "UDP packets" "$(expected_packets 7 0 | sed 's/$/|/'
    for t in 0: 2:1 4:1; do
        printf '1700000100.00000%s000|ovk5-if9@127.0.0.1|OVK5 interface 9 from 127.0.0.1|RID 0 0x1234, RID 1 0xabcd|50|40000||%s\n' \
            "${t%:*}" "${t#*:}"
    done
    expected_packets 2 0 1700000200 | sed 's/$/|/'
    echo "1700000000.000000000|ovk5-if0@::1|OVK5 interface 0 from ::1|RID 0 0x1234, RID 1 0xabcd|50|40000||")" \
    "$(packets udp -e frame.drop_count)"

# 2. TCP: three senders at once, one packing 5 records per segment, one
#    cutting its stream into 7-byte segments, one reconnecting (its
#    records continue its interface); a peer sending garbage and one that
#    never sends change nothing for them. Stopped by -c.
new_port
capture tcp ovk5tcp "$port" -c 37
if wait_listening tcp "$port"; then
    exec 5<>"/dev/tcp/127.0.0.1/$port"  # connects and never sends
    send -n 20 --per-send 5 --source-port 41001 --send "tcp://127.0.0.1:$port" &
    senders=($!)
    send -n 10 -i 3 --split 7 --source-port 41002 --send "tcp://127.0.0.1:$port" &
    senders+=($!)
    (exec 6<>"/dev/tcp/127.0.0.1/$port" && printf '\377%.0s' $(seq 64) >&6 && sleep 1) &
    senders+=($!)
    send -n 4 -i 200 --time-base 1700000300 --source-port 41003 --send "tcp://127.0.0.1:$port"
    send -n 3 -i 200 --time-base 1700000400 --source-port 41004 --send "tcp://127.0.0.1:$port"
    wait "${senders[@]}"
    exec 5>&-
fi
finished tcp
same "TCP packets (sorted)" "$( (expected_packets 20 0; expected_packets 10 3
    expected_packets 4 200 1700000300; expected_packets 3 200 1700000400) | sort)" "$(packets tcp | sort)"

# 3. A capture filter on the inner frames; stopped by SIGINT to tshark.
#    Logging at the info level goes to the log file only (Wireshark takes
#    standard error for errors); the file says where it was made and with
#    which filter, as dumpcap's do.
new_port
capture filter ovk5udp "$port" -f icmp -o extcap.ovk5udp.loglevel:info -o "extcap.ovk5udp.logfile:$stage/filter.log"
if wait_listening udp "$port"; then
    send -n 3 --inner icmp --source-port 42001 --send "udp://127.0.0.1:$port"
    send -n 4 --source-port 42002 --send "udp://127.0.0.1:$port"
    sleep 0.5
    kill -INT "$(tshark_of_capture)"
fi
finished filter
same "filtered packets" "$(for i in 0 1 2; do
    printf '1700000000.00000%s000|ovk5-if0@127.0.0.1|OVK5 interface 0 from 127.0.0.1|RID 0 0x1234, RID 1 0xabcd|50||8\n' "$i"
done)" "$(packets filter)"
grep -q "new stream OVK5 interface 0 from 127.0.0.1" "$stage/filter.log" || fail "info log: $(cat "$stage/filter.log")"
same "section and interface" "Capture application: ovk5dump
Filter string = icmp" "$(capinfos "$stage/filter.pcapng" | grep -Eo 'Capture application: ovk5dump|Filter string = .*' | sed 's/ *$//')"

# Refused filters and options: tshark ends at once with the extcap's word.
refused() {
    local what=$1 message=$2
    shift 2
    local out
    out=$(timeout 20 bash -c "$(declare -f ovk_in_stage in_stage); ovk_stage=$stage; stage=$stage; in_stage tshark \"\$@\"" \
          _ "$@" -a duration:5 -w "$stage/refused.pcapng" 2>&1)
    local status=$?
    [[ $status -ne 0 && $status -ne 124 && $out == *"$message"* ]] \
        || fail "$what: tshark exited $status with: $out"
}
refused "a bad capture filter" "invalid capture filter \"port nonsense(\": unknown port 'nonsense'" \
    -i ovk5udp -f 'port nonsense('
refused "a privileged port" "invalid value '80' for --port (1024 to 65535)" -i ovk5udp -o extcap.ovk5udp.port:80
new_port
refused "connect mode without a host" "--mode=connect needs --connect-host=HOST" -i ovk5tcp \
    -o "extcap.ovk5tcp.port:$port" -o extcap.ovk5tcp.mode:connect

# 4. The extcap protocol as Wireshark reads it: the interface list, the
#    link-layer types, and option sentences it parses (arguments numbered
#    from 0, values naming an argument of theirs, defaults in range).
listing=$(in_stage tshark -D 2>&1)
for line in "ovk5udp (OVK5 receiver (UDP))" "ovk5tcp (OVK5 receiver (TCP))"; do
    grep -qF ". $line" <<<"$listing" || fail "tshark -D lacks '$line': $listing"
done
same "link-layer types" "Data link types of interface ovk5tcp (use option -y to set):
  EN10MB (Ethernet)" "$(in_stage tshark -i ovk5tcp -L 2>&1)"
for interface in ovk5udp ovk5tcp; do
    "$extcap" --extcap-interface="$interface" --extcap-config | awk -v i="$interface" '
        function fail(m) { print "FAIL: " i " --extcap-config: " m ": " $0; bad = 1 }
        !/^(arg|value) (\{[a-z]+=[^{}]*\})+$/ { fail("not a sentence"); next }
        /^arg / {
            match($0, /\{number=[0-9]+\}/); n = substr($0, RSTART + 8, RLENGTH - 9) + 0
            if (n != args) fail("argument numbered " n ", not " args)
            args++
            if (match($0, /\{type=[a-z]+\}/)) type[n] = substr($0, RSTART + 6, RLENGTH - 7)
            if (match($0, /\{range=[0-9]+,[0-9]+\}/) && match($0, /\{default=[0-9]+\}/)) {
                d = substr($0, RSTART + 9, RLENGTH - 10) + 0
                match($0, /\{range=[0-9]+,[0-9]+\}/); split(substr($0, RSTART + 7, RLENGTH - 8), r, ",")
                if (d < r[1] + 0 || d > r[2] + 0) fail("default out of range")
            }
        }
        /^value / {
            match($0, /\{arg=[0-9]+\}/); a = substr($0, RSTART + 5, RLENGTH - 6) + 0
            if (!(a in type) || (type[a] != "radio" && type[a] != "selector")) fail("value of no choice")
        }
        END { exit bad }' >&2 || fail "$interface --extcap-config"
done
same "UDP options" "--port --listen-address --log-level --log-file" \
    "$("$extcap" --extcap-interface=ovk5udp --extcap-config | grep -o '{call=[^}]*}' | cut -c7- | tr -d '}' | xargs)"
same "TCP options" "--port --listen-address --mode --connect-host --connect-port --log-level --log-file" \
    "$("$extcap" --extcap-interface=ovk5tcp --extcap-config | grep -o '{call=[^}]*}' | cut -c7- | tr -d '}' | xargs)"
same "a valid filter's check" "" "$("$extcap" --extcap-interface=ovk5udp --extcap-capture-filter='udp port 40001')"
same "an invalid filter's check" "can't parse filter expression: syntax error" "$("$extcap" --extcap-interface=ovk5udp --extcap-capture-filter='udp port')"

# Refused on the command line: exit 2 and a message naming the option.
while IFS='|' read -r message args; do
    read -ra words <<<"$args"
    out=$("$extcap" "${words[@]}" 2>&1 </dev/null)
    status=$?
    [[ $status -eq 2 && $out == *"$message"* ]] || fail "ovk5dump $args: exit $status: $out"
done <<'CASES'
invalid value '80' for --port (1024 to 65535)|--extcap-interface=ovk5udp --capture --fifo=/nonexistent --port=80
invalid value '65536' for --port|--extcap-interface=ovk5udp --capture --fifo=/nonexistent --port=65536
invalid value '2x' for --port|--extcap-interface=ovk5udp --capture --fifo=/nonexistent --port=2x
invalid value '0' for --connect-port (1 to 65535)|--extcap-interface=ovk5tcp --capture --fifo=/nonexistent --connect-port=0
invalid value '300.1.1.1' for --listen-address|--extcap-interface=ovk5udp --capture --fifo=/nonexistent --listen-address=300.1.1.1
invalid value 'sideways' for --mode (listen or connect)|--extcap-interface=ovk5tcp --capture --fifo=/nonexistent --mode=sideways
--mode=connect applies to the TCP interface only|--extcap-interface=ovk5udp --capture --fifo=/nonexistent --mode=connect
--mode=connect needs --connect-host=HOST|--extcap-interface=ovk5tcp --capture --fifo=/nonexistent --mode=connect
invalid value 'loud' for --log-level|--extcap-interface=ovk5udp --extcap-dlts --log-level=loud
unknown interface 'ovk5sctp' (ovk5udp or ovk5tcp)|--extcap-interface=ovk5sctp --extcap-dlts
no interface given|--extcap-config
--capture needs --fifo=PATH|--extcap-interface=ovk5udp --capture
unknown option or missing value: '--bogus'|--bogus
CASES

# direct NAME OPTION...: ovk5dump without Wireshark, as Wireshark's stop
# button ends it (SIGTERM, its reader still reading): writing
# $stage/NAME.pcapng through a FIFO that cat reads, its standard error in
# $stage/NAME.err; $direct and $reader are the two. stop_direct NAME ends it.
direct() {
    local name=$1
    shift
    rm -f "$stage/fifo"
    mkfifo "$stage/fifo"
    cat "$stage/fifo" >"$stage/$name.pcapng" &
    reader=$!
    "$extcap" --capture --fifo="$stage/fifo" "$@" 2>"$stage/$name.err" &
    direct=$!
}
stop_direct() {
    kill -TERM "$direct"
    wait "$direct" || fail "$1: ovk5dump exited $? on SIGTERM: $(cat "$stage/$1.err")"
    wait "$reader"
}

# 5. Stopped by SIGTERM: the last records and the interface statistics
#    (received, dropped) reach the FIFO, the losses of no stream on an
#    interface of their own; a record whose time stamp is broken is kept
#    at the time it came, and says so; the reader closing the FIFO ends
#    the extcap.
new_port
direct direct --extcap-interface=ovk5udp --port="$port"
if wait_listening udp "$port"; then
    send -n 6 --bad-every 3 --source-port 43001 --send "udp://127.0.0.1:$port"
    printf 'short' >"/dev/udp/127.0.0.1/$port"
    send -n 2 -i 1 --source-port 43002 --send "udp://127.0.0.1:$port"
    # Well framed, but 0xffffffff nanoseconds.
    printf '\x0e\x00\x07\x00\x00\x00\x00\x00\xff\xff\xff\xff\x00\x00\x00\x00%b\x08\x00' \
        '\x02\x00\x00\x00\x00\x01\x02\x00\x00\x00\x00\x02' >"/dev/udp/127.0.0.1/$port"
fi
stop_direct direct
same "statistics at SIGTERM" "0 6 2
1 2 0
2 1 0
3 1 1" "$(statistics "$stage/direct.pcapng" | sort)"
same "a broken time stamp" "ovk5-if7@127.0.0.1|RID 0 0x0000, RID 1 0x0000; time stamp invalid (nanoseconds over 999999999): written with the capture time of the packet carrying it|1" \
    "$(in_stage tshark -r "$stage/direct.pcapng" -Y 'frame.interface_id == 2' -T fields -E separator='|' \
        -e frame.interface_name -e frame.comment -e frame.time_epoch | awk -F'|' -v OFS='|' '{ $3 = $3 > 1760000000 } 1')"
[[ $(in_stage tshark -r "$stage/direct.pcapng" 2>/dev/null | wc -l) -eq 7 ]] || fail "SIGTERM: not 7 packets"

# 6. A burst the socket cannot hold while the extcap stalls, and
#    malformed datagrams of 4 records: every record sent is written or
#    shown as dropped, the socket's losses (read at the stop) on the
#    interface of no stream.
new_port
direct burst --extcap-interface=ovk5udp --port="$port"
if wait_listening udp "$port"; then
    send -n 2 -i 5 --source-port 44001 --send "udp://127.0.0.1:$port"
    send -n 8 -i 5 --per-send 4 --bad-every 4 --source-port 44001 --send "udp://127.0.0.1:$port"
    sleep 0.2
    kill -STOP "$direct"
    send -n 20000 -i 6 --source-port 44002 --send "udp://127.0.0.1:$port"
    kill -CONT "$direct"
    sleep 0.3
fi
stop_direct burst
same "malformed datagrams' records" "0 2 8" "$(accounts "$stage/burst.pcapng" | head -1)"
accounted "UDP burst" "$stage/burst.pcapng" 20010

# 7. TCP stopped under load: what the host received while the extcap
#    stalled is read to the end at the stop and written.
new_port
direct tcpload --extcap-interface=ovk5tcp --port="$port"
if wait_listening tcp "$port"; then
    kill -STOP "$direct"
    send -n 50000 --per-send 10 --source-port 45001 --send "tcp://127.0.0.1:$port" &
    sender=$!
    sleep 1
    kill -CONT "$direct"
fi
stop_direct tcpload
wait "$sender"
same "TCP load" "0 50000 0" "$(accounts "$stage/tcpload.pcapng")"

# 8. TCP peers: text is refused at its first header, counted, with no
#    interface; a broken time stamp in a stream keeps the records after
#    it; connections beyond the 64 are closed and counted.
new_port
direct peers --extcap-interface=ovk5tcp --port="$port"
if wait_listening tcp "$port"; then
    exec 7<>"/dev/tcp/127.0.0.1/$port"
    printf 'GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n' >&7
    timeout 3 cat <&7 >/dev/null || fail "a text peer is still connected after 3 s"
    exec 7>&-
    record() { printf '\x0e\x00\x07\x00\x00\xf1\x53\x65%b\x00\x00\x00\x00%b\x08\x00' "$1" \
        '\x02\x00\x00\x00\x00\x01\x02\x00\x00\x00\x00\x02'; }
    (exec 8<>"/dev/tcp/127.0.0.1/$port" && { record '\0\0\0\0'; record '\xff\xff\xff\xff'
        for _ in 1 2 3; do record '\0\0\0\0'; done; } >&8)
    sleep 0.3
    idle=()
    for _ in $(seq 66); do exec {fd}<>"/dev/tcp/127.0.0.1/$port" && idle+=("$fd"); done
    sleep 0.3
    for fd in "${idle[@]}"; do exec {fd}>&-; done
fi
stop_direct peers
same "TCP peers" "0 5 0
1 0 3" "$(accounts "$stage/peers.pcapng")"

# 9. A stop while the reader has stopped reading: the extcap ends within
#    seconds instead of waiting in its write for ever.
new_port
direct stalled --extcap-interface=ovk5udp --port="$port"
if wait_listening udp "$port"; then
    kill -STOP "$reader"
    send -n 30000 --rate 100000 --send "udp://127.0.0.1:$port"
    sleep 0.5
    kill -TERM "$direct"
    for _ in $(seq 60); do kill -0 "$direct" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$direct" 2>/dev/null && { fail "ovk5dump still runs 6 s after SIGTERM with a stalled reader"; kill -KILL "$direct"; }
    wait "$direct"
    grep -q "was not reading" "$stage/stalled.err" || fail "stalled reader: $(cat "$stage/stalled.err")"
    kill -KILL "$reader"
fi
wait "$reader" 2>/dev/null

# 10. Connect mode with nothing listening: said once where the user sees
#     it, and retried.
new_port
direct refused --extcap-interface=ovk5tcp --mode=connect --connect-host=127.0.0.1 --connect-port="$port"
sleep 2.5
stop_direct refused
same "connect failure" "ovk5dump: cannot connect to 127.0.0.1:$port (Connection refused), retrying" \
    "$(cat "$stage/refused.err")"

head -c 300 "$stage/fifo" >/dev/null &
new_port
"$extcap" --extcap-interface=ovk5udp --capture --fifo="$stage/fifo" --port="$port" &
direct=$!
if wait_listening udp "$port"; then
    send -n 5 --send "udp://127.0.0.1:$port"
    for _ in $(seq 30); do kill -0 "$direct" 2>/dev/null || break; sleep 0.1; done
    if kill -0 "$direct" 2>/dev/null; then
        fail "ovk5dump still runs 3 s after its reader closed the FIFO"
        kill "$direct"
    fi
fi
wait "$direct" || fail "ovk5dump exited $? when its reader closed the FIFO"

[[ $failures -eq 0 ]] || { echo "$failures failure(s)" >&2; exit 1; }
echo "extcap: all checks passed"
