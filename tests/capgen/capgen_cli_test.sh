#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# ovk5-capgen as a user runs it: help, option errors (exit 2), write
# errors (exit 1, no file left behind), signals, what -o may name,
# determinism, formats, progress bar.
#
# capgen_cli_test.sh PATH_TO_OVK5_CAPGEN
set -uo pipefail
capgen=$1

failures=0 checks=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# run EXPECTED_STATUS STDERR_SUBSTRING ARGS...: runs the generator, checks
# its exit status and that stderr mentions the substring.
run() {
    local expected=$1 message=$2
    shift 2
    checks=$((checks + 1))
    "$capgen" "$@" >out 2>err </dev/null
    local status=$?
    [[ $status -eq $expected ]] || fail "'$*' exited $status, not $expected: $(cat err)"
    [[ -z $message || $(cat err) == *"$message"* ]] || fail "'$*' stderr lacks '$message': $(cat err)"
}

no_files_like() {
    local left
    left=$(compgen -G "$1*" || true)
    [[ -z $left ]] || fail "left behind: $left"
}

# Help and version.
run 0 "" --help
grep -q -- '--loss-rate' out && grep -q -- '--format' out && grep -q -- '--seed' out || fail "--help lacks options"
run 0 "" -V
[[ $(cat out) =~ ^ovk5-capgen\ [0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "--version: $(cat out)"

# Bad options: exit 2, a message naming the problem, and no file.
run 2 "unknown option '--bogus'" --bogus -o x.pcap
run 2 "unknown option '-x'" -x -o x.pcap
run 2 "--count needs a value" -o x.pcap --count
run 2 "invalid value 'ten' for --count" -n ten -o x.pcap
run 2 "invalid value '-1' for --count" -n -1 -o x.pcap
run 2 "invalid value '100000001' for --count" -n 100000001 -o x.pcap
run 2 "invalid value '65536' for --port" -p 65536 -o x.pcap
run 2 "invalid value '0' for --source-port" --source-port 0 -o x.pcap
run 2 "invalid value '256' for --interface" -i 256 -o x.pcap
run 2 "unknown protocol 'sctp'" -P sctp -o x.pcap
run 2 "unknown format 'erf'" -F erf -o x.pcap
run 2 "unknown inner frame 'ipx'" --inner ipx -o x.pcap
run 2 "invalid value '1' for --loss-rate" -P ovk5seq --loss-rate 1 -o x.pcap
run 2 "invalid value 'nan' for --loss-rate" -P ovk5seq --loss-rate nan -o x.pcap
run 2 "invalid value '0' for --missing" -P ovk5seq --missing 0 -o x.pcap
run 2 "invalid value '2024-13-01T00:00:00Z' for --time-base" --time-base 2024-13-01T00:00:00Z -o x.pcap
run 2 "invalid value 'x' for --seed" -s x -o x.pcap
run 2 "--loss-rate applies to OVK5SEQ captures only" --loss-rate 0.1 -o x.pcap
run 2 "--port applies to OVK5 over UDP or TCP only" -P ovk5seq -p 5 -o x.pcap
# Sending (--send): the target and the options that go with it.
run 2 "invalid value 'ftp://127.0.0.1:5' for --send" --send ftp://127.0.0.1:5
run 2 "invalid value 'udp://127.0.0.1' for --send" --send udp://127.0.0.1
run 2 "invalid value 'udp://127.0.0.1:0' for --send" --send udp://127.0.0.1:0
run 2 "invalid value 'tcp://:5' for --send" --send tcp://:5
run 2 "-o and --send exclude each other" -o x.pcap --send udp://127.0.0.1:5
run 2 "--split applies to tcp:// targets only" --split 7 --send udp://127.0.0.1:5
run 2 "--bad-every applies to udp:// targets only" --bad-every 2 --send tcp://127.0.0.1:5
run 2 "--rate applies with --send only" --rate 10 -o x.pcap
run 2 "--send sends OVK5 over UDP or TCP" -P ovk5seq --send udp://127.0.0.1:5
run 2 "--protocol tcp and --send udp://127.0.0.1:5 name different transports" -P tcp --send udp://127.0.0.1:5
run 2 "--protocol ovk5-udp and --send tcp://127.0.0.1:5 name different transports" --protocol ovk5-udp --send tcp://127.0.0.1:5
run 0 "sent 1 record to udp://127.0.0.1:9 in" -n 1 -P udp --send udp://127.0.0.1:9
run 2 "invalid value '0' for --per-send" --per-send 0 --send udp://127.0.0.1:5
run 1 "cannot connect to 127.0.0.1:1" -n 1 --send tcp://127.0.0.1:1
run 2 "--missing needs --gap-every" -P ovk5seq --missing 2 -o x.pcap
run 2 "invalid value '2024-02-30T00:00:00Z' for --time-base" --time-base 2024-02-30T00:00:00Z -o x.pcap
run 2 "after 2106-02-07T06:28:15Z" --time-base 4294967295 -n 2 --interval 1000000000 -o x.pcap
run 2 "after 2106-02-07T06:28:15Z, the latest time a capture can hold (--time-base plus --count minus 1 times --interval)" \
    --time-base 2106-02-07T06:28:15Z -n 1001 --interval 1000000 -o x.pcap
run 2 "no output file given" -n 1
run 2 "unexpected argument 'extra'" -o x.pcap extra
no_files_like x.pcap

# Write errors: exit 1, the reason, and nothing half-written.
run 1 "cannot write $work/missing/x.pcap: No such file or directory" -o "$work/missing/x.pcap"
mkdir folder
run 1 "cannot write folder: Is a directory" -n 3 -o folder
no_files_like folder.
# A file size limit stands in for a full disk, for any user.
checks=$((checks + 1))
(trap '' XFSZ; ulimit -f 64; "$capgen" -n 100000 -o big.pcap 2>err)
[[ $? -eq 1 && $(cat err) == "ovk5-capgen: cannot write big.pcap: File too large" ]] || fail "size limit: $(cat err)"
no_files_like big.pcap
# A real full disk where a small file system can be mounted (root).
if [[ $(id -u) -eq 0 ]] && unshare -m true 2>/dev/null; then
    checks=$((checks + 1))
    mkdir small
    unshare -m bash -c 'mount -t tmpfs -o size=64k tmpfs small && "$0" -n 100000 -o small/x.pcap 2>err; echo $? >status; ls -A small >left' "$capgen"
    [[ $(cat status) -eq 1 && $(cat err) == *"No space left on device"* ]] || fail "full disk: $(cat status) $(cat err)"
    [[ -z $(cat left) ]] || fail "full disk left: $(cat left)"
else
    echo "note: full-disk check skipped (needs root and mount namespaces)"
fi

# Every catchable signal that ends the generator leaves nothing behind, and
# the generator dies of that signal. Job control on, so the background
# generator does not start with SIGINT and SIGQUIT ignored.
set -m
for signal in INT TERM HUP QUIT USR1 ALRM; do
    checks=$((checks + 1))
    "$capgen" -q -n 50000000 -o interrupted.pcap 2>/dev/null &
    writer=$!
    for _ in $(seq 50); do compgen -G 'interrupted.pcap.*.partial' >/dev/null && break; sleep 0.1; done
    compgen -G 'interrupted.pcap.*.partial' >/dev/null || fail "no temporary capture while writing"
    kill -"$signal" "$writer"
    wait "$writer" 2>/dev/null
    status=$?
    [[ $status -eq $((128 + $(kill -l "$signal"))) ]] || fail "SIG$signal: exit status $status"
    no_files_like interrupted.pcap
    rm -f interrupted.pcap*
done
set +m

# What -o names is written, never replaced: a symbolic link's target, a FIFO.
tshark_count() { HOME=$work tshark -r "$1" -T fields -e frame.number 2>/dev/null | wc -l; }
checks=$((checks + 1))
mkdir real
ln -s real/target.pcap link.pcap
run 0 "" -n 3 -o link.pcap
[[ -L link.pcap && -f real/target.pcap && $(tshark_count real/target.pcap) -eq 3 ]] \
    || fail "symlink: $(ls -l link.pcap real)"
run 0 "" -n 4 -o link.pcap
[[ -L link.pcap && $(tshark_count link.pcap) -eq 4 ]] || fail "existing symlink target not rewritten"
checks=$((checks + 1))
mkfifo fifo.pcap
timeout 60 cat fifo.pcap >from-fifo.pcap &
reader=$!
run 0 "" -n 5 -o fifo.pcap
wait "$reader"
[[ -p fifo.pcap && $(tshark_count from-fifo.pcap) -eq 5 ]] || fail "FIFO: $(ls -l fifo.pcap from-fifo.pcap)"
no_files_like fifo.pcap.
# "-" is standard output.
checks=$((checks + 1))
[[ $("$capgen" -n 6 -F pcapng -o - | HOME=$work tshark -r - -T fields -e frame.number 2>/dev/null | wc -l) -eq 6 ]] \
    || fail "-o - | tshark -r -"
no_files_like -

# Two runs on the same name: both succeed, the file is one of the two
# captures whole.
checks=$((checks + 1))
"$capgen" -q -n 300000 -s 1 --inner random -o race.pcap 2>race1.err & first=$!
"$capgen" -q -n 300000 -s 2 --inner random -o race.pcap 2>race2.err & second=$!
wait "$first"; status1=$?
wait "$second"; status2=$?
[[ $status1 -eq 0 && $status2 -eq 0 ]] || fail "concurrent runs: $status1 $status2 $(cat race1.err race2.err)"
"$capgen" -q -n 300000 -s 1 --inner random -o race1.pcap
"$capgen" -q -n 300000 -s 2 --inner random -o race2.pcap
cmp -s race.pcap race1.pcap || cmp -s race.pcap race2.pcap || fail "concurrent runs mixed their captures"
no_files_like race.pcap.

# The latest time a capture holds is still written.
run 0 "" --time-base 2106-02-07T06:28:15Z -n 1000 --interval 1000000 -o latest.pcap

# OVK5SEQ records are streamed: 4 million in 64 MB of address space.
checks=$((checks + 1))
(ulimit -v 65536; "$capgen" -q -P ovk5seq -n 4000000 -o - >/dev/null 2>err)
[[ $? -eq 0 ]] || fail "4 million OVK5SEQ records need more than 64 MB: $(cat err)"

# Determinism: the same options and seed give the same bytes.
common=(-P ovk5seq -n 500 --loss-rate 0.1 --inner random --time-base 2024-01-01T00:00:00Z)
run 0 "" "${common[@]}" -s 7 -o a.pcap
run 0 "" "${common[@]}" -s 7 -o b.pcap
run 0 "" "${common[@]}" -s 8 -o c.pcap
cmp -s a.pcap b.pcap || fail "same seed, different captures"
cmp -s a.pcap c.pcap && fail "different seeds, same capture"
[[ ! -s err ]] || fail "progress or noise on a non-terminal stderr: $(cat err)"

# Format: from -F, else from the file name.
magic() { od -An -tx1 -N4 "$1" | tr -d ' '; }
run 0 "" -n 2 -o n.pcapng
run 0 "" -n 2 -o p.cap
run 0 "" -n 2 -F pcapng -o f.cap
run 0 "" -n 2 -F pcap -o g.pcapng
[[ $(magic n.pcapng) == 0a0d0d0a && $(magic f.cap) == 0a0d0d0a ]] || fail "pcapng magic"
[[ $(magic p.cap) == 4d3cb2a1 && $(magic g.pcapng) == 4d3cb2a1 ]] || fail "pcap magic"

# The older spelling of the protocol option still works.
run 0 "" -t seq -n 6 --gap-every 3 --missing 2 -o old.pcap
run 0 "" -P ovk5seq -n 6 --gap-every 3 --missing 2 -o new.pcap
cmp -s old.pcap new.pcap || fail "-t seq and -P ovk5seq differ"

# Progress bar: on a terminal for many packets, never with --quiet.
if command -v script >/dev/null; then
    checks=$((checks + 1))
    script -qec "'$capgen' -n 200000 -o tty.pcap" /dev/null >tty.out </dev/null
    tr '\r' '\n' <tty.out | grep -q '\] 100% 200000/200000 packets' || fail "no progress bar: $(tail -c 200 tty.out)"
    script -qec "'$capgen' -q -n 200000 -o tty.pcap" /dev/null >quiet.out </dev/null
    [[ ! -s quiet.out ]] || fail "--quiet still shows progress: $(tail -c 200 quiet.out)"
    script -qec "'$capgen' -n 1000 -o tty.pcap" /dev/null >few.out </dev/null
    [[ ! -s few.out ]] || fail "progress bar for a few packets: $(tail -c 200 few.out)"
fi

echo "$((checks - failures)) passed, $failures failed"
[[ $failures -eq 0 ]]
