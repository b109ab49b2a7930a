#!/usr/bin/env bash
# krt460 receive against the instrument simulator on a pseudo-terminal: a full capture gives the
# reference picture and the exact bytes; Ctrl-C ends a stalled capture at once, writes nothing
# and releases the port; a missing port is explained in the system's words.
# Arguments: krt460 instrument_simulator sample.bin sample.bmp
set -euo pipefail
KRT460=$1 SIMULATOR=$2 SAMPLE_FRAME=$3 SAMPLE_BMP=$4
source "$(dirname "$0")/../scripts/lib.sh"

work=$(mktemp -d /tmp/krt460-cli-test.XXXXXX)
cleanup() { set +e; stop_simulator; rm -rf "$work"; }
trap cleanup EXIT
cd "$work"
fail() { echo "FAIL: $*"; cat log.txt 2>/dev/null; exit 1; }

start_simulator "$work/port" --wait-open --extra 5
timeout 60 "$KRT460" receive --port "$work/port" -o out.bmp --raw out.bin >log.txt 2>&1 ||
    fail "receive exited with $?"
cmp -s out.bin "$SAMPLE_FRAME" || fail "received bytes differ from the frame"
cmp -s out.bmp "$SAMPLE_BMP" || fail "picture differs from the reference"
grep -q "Lamp: red" log.txt || fail "end marker not reported"
stop_simulator
echo "PASS full capture"

# A sender that stops after 100 bytes; Ctrl-C once the bytes have arrived.
start_simulator "$work/port" --wait-open --stop-after 100 --repeat 2
timeout 60 "$KRT460" receive --port "$work/port" -o stalled.bmp >log.txt 2>&1 &
receiver=$!
wait_for 30 grep -q "Lamp: green" log.txt
sleep 0.5 # the 100 bytes take about 0.1 s on the line
kill -INT "$receiver"
status=0
wait "$receiver" || status=$?
[ "$status" -eq 130 ] || fail "Ctrl-C gave exit status $status, expected 130"
[ ! -e stalled.bmp ] || fail "an interrupted capture wrote a picture"
grep -q "Interrupted: port closed" log.txt || fail "interruption not reported"
# Released: the simulator offers its second (short) frame to the next opener, which gets it.
timeout 60 "$KRT460" receive --port "$work/port" -o again.bmp >log.txt 2>&1 &
receiver=$!
wait_for 30 grep -q "Lamp: green" log.txt || fail "the port was not released"
kill -INT "$receiver"
wait "$receiver" || true
stop_simulator
echo "PASS Ctrl-C during a stalled capture"

status=0
"$KRT460" receive --port /dev/krt460-missing -o x.bmp >log.txt 2>&1 || status=$?
[ "$status" -eq 1 ] || fail "missing port gave exit status $status"
grep -q "Error: Open COM port! open /dev/krt460-missing: No such file or directory" log.txt ||
    fail "missing port not explained"
status=0
"$KRT460" receive --port KRT460.ini -o x.bmp >log.txt 2>&1 || status=$?
[ "$status" -eq 1 ] && grep -q "not a port name" log.txt || fail "a file name was taken as a port"
echo "PASS port errors"
