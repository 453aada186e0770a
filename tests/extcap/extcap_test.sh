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

# expected_packets COUNT SENDER_PORT INTERFACE [TIME_BASE]: the lines
# packets() shows for what ovk5-capgen sends with its defaults.
expected_packets() {
    local count=$1 sender=$2 interface=$3 base=${4:-1700000000} i
    for ((i = 0; i < count; i++)); do
        printf '%s.%09d|ovk5-if%s@127.0.0.1:%s|OVK5 interface %s from 127.0.0.1:%s|RID 0 0x1234, RID 1 0xabcd|50|40000|\n' \
            "$base" $((i * 1000)) "$interface" "$sender" "$interface" "$sender"
    done
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
#    the next packet of its stream (frame.drop_count).
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
same "UDP packets" "$(expected_packets 7 40001 0 | sed 's/$/|/'
    for t in 0: 2:1 4:1; do
        printf '1700000100.00000%s000|ovk5-if9@127.0.0.1:40002|OVK5 interface 9 from 127.0.0.1:40002|RID 0 0x1234, RID 1 0xabcd|50|40000||%s\n' \
            "${t%:*}" "${t#*:}"
    done
    expected_packets 2 40003 0 1700000200 | sed 's/$/|/'
    echo "1700000000.000000000|ovk5-if0@[::1]:40004|OVK5 interface 0 from [::1]:40004|RID 0 0x1234, RID 1 0xabcd|50|40000||")" \
    "$(packets udp -e frame.drop_count)"

# 2. TCP: three senders at once, one packing 5 records per segment, one
#    cutting its stream into 7-byte segments; a peer sending garbage and
#    one that never sends change nothing for them. Stopped by -c.
new_port
capture tcp ovk5tcp "$port" -c 34
if wait_listening tcp "$port"; then
    exec 5<>"/dev/tcp/127.0.0.1/$port"  # connects and never sends
    send -n 20 --per-send 5 --source-port 41001 --send "tcp://127.0.0.1:$port" &
    senders=($!)
    send -n 10 -i 3 --split 7 --source-port 41002 --send "tcp://127.0.0.1:$port" &
    senders+=($!)
    (exec 6<>"/dev/tcp/127.0.0.1/$port" && printf '\377%.0s' $(seq 64) >&6 && sleep 1) &
    senders+=($!)
    send -n 4 -i 200 --time-base 1700000300 --source-port 41003 --send "tcp://127.0.0.1:$port"
    wait "${senders[@]}"
    exec 5>&-
fi
finished tcp
same "TCP packets (sorted)" "$( (expected_packets 20 41001 0; expected_packets 10 41002 3
    expected_packets 4 41003 200 1700000300) | sort)" "$(packets tcp | sort)"

# 3. A capture filter on the inner frames; stopped by SIGINT to tshark.
new_port
capture filter ovk5udp "$port" -f icmp
if wait_listening udp "$port"; then
    send -n 3 --inner icmp --source-port 42001 --send "udp://127.0.0.1:$port"
    send -n 4 --source-port 42002 --send "udp://127.0.0.1:$port"
    sleep 0.5
    kill -INT "$(tshark_of_capture)"
fi
finished filter
same "filtered packets" "$(for i in 0 1 2; do
    printf '1700000000.00000%s000|ovk5-if0@127.0.0.1:42001|OVK5 interface 0 from 127.0.0.1:42001|RID 0 0x1234, RID 1 0xabcd|50||8\n' "$i"
done)" "$(packets filter)"

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

# 5. Without Wireshark: stopped by SIGTERM, the last records and the
#    interface statistics (received, dropped, lost by the socket) reach
#    the FIFO; the reader closing the FIFO ends the extcap.
mkfifo "$stage/fifo"
cat "$stage/fifo" >"$stage/direct.pcapng" &
reader=$!
new_port
"$extcap" --extcap-interface=ovk5udp --capture --fifo="$stage/fifo" --port="$port" &
direct=$!
if wait_listening udp "$port"; then
    send -n 6 --bad-every 3 --source-port 43001 --send "udp://127.0.0.1:$port"
    printf 'short' >"/dev/udp/127.0.0.1/$port"
    send -n 2 -i 1 --source-port 43002 --send "udp://127.0.0.1:$port"
    # Well framed, but 0xffffffff nanoseconds: no time to write it with.
    printf '\x0e\x00\x07\x00\x00\x00\x00\x00\xff\xff\xff\xff\x00\x00\x00\x00%b\x08\x00' \
        '\x02\x00\x00\x00\x00\x01\x02\x00\x00\x00\x00\x02' >"/dev/udp/127.0.0.1/$port"
fi
kill -TERM "$direct"
wait "$direct" || fail "ovk5dump exited $? on SIGTERM"
wait "$reader"
same "statistics at SIGTERM" "0 4 2 1
1 2 0 1
2 0 1 1" "$(statistics "$stage/direct.pcapng" | sort)"
[[ $(in_stage tshark -r "$stage/direct.pcapng" 2>/dev/null | wc -l) -eq 6 ]] || fail "SIGTERM: not 6 packets"

head -c 100 "$stage/fifo" >/dev/null &
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
