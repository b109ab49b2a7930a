#!/usr/bin/env bash
# krt460 listen and the stall timeout against the instrument simulator on pseudo-terminals:
# three prints in a row become three distinct pictures with their raw bytes; a transfer that
# stops keeps its bytes in a .partial.bin, writes no picture and (receive) exits with 3.
# Arguments: krt460 instrument_simulator sample.bin sample.bmp
set -euo pipefail
KRT460=$1 SIMULATOR=$2 SAMPLE_FRAME=$3 SAMPLE_BMP=$4
source "$(dirname "$0")/../scripts/lib.sh"

work=$(mktemp -d /tmp/krt460-listen-test.XXXXXX)
listener=
cleanup() {
    set +e
    [ -z "$listener" ] || { kill "$listener" 2>/dev/null || true; wait "$listener" 2>/dev/null || true; }
    stop_simulator
    rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
fail() { echo "FAIL: $*"; cat out.txt log.txt 2>/dev/null; exit 1; }
lines() { [ "$(grep -c "$2" "$1" 2>/dev/null)" -ge "$3" ]; }

# Three prints, fast enough to share a second, so that names need their suffixes.
start_simulator "$work/port" --wait-open --repeat 3 --baud 115200
"$KRT460" listen --port "$work/port" --dir caps >out.txt 2>log.txt &
listener=$!
wait_for 60 lines out.txt "end marker present" 3 || fail "three captures were not reported"
kill -INT "$listener"
wait "$listener" || fail "listen ended with status $? after Ctrl-C"
listener=
stop_simulator
[ "$(ls caps/*.bmp | wc -l)" -eq 3 ] || fail "not three pictures"
[ "$(ls caps/*.bin | wc -l)" -eq 3 ] || fail "not three raw files"
for f in caps/*.bmp; do cmp -s "$f" "$SAMPLE_BMP" || fail "$f differs from the reference"; done
for f in caps/*.bin; do cmp -s "$f" "$SAMPLE_FRAME" || fail "$f differs from the frame"; done
echo "PASS listen: three prints, three pictures and raw files"

# A print that stops after 1000 bytes, while listening: kept, reported, and listening goes on.
start_simulator "$work/port" --wait-open --stop-after 1000 --repeat 2 --baud 115200
"$KRT460" listen --port "$work/port" --dir stalled --timeout 1 --format png >out.txt 2>log.txt &
listener=$!
wait_for 60 lines out.txt "stalled after 1000 bytes" 2 || fail "stalled prints not reported"
kill -INT "$listener"
wait "$listener" || true
listener=
stop_simulator
[ "$(ls stalled/*.partial.bin | wc -l)" -eq 2 ] || fail "partial files missing"
[ -z "$(ls stalled/*.png 2>/dev/null)" ] || fail "a stalled print wrote a picture"
cmp -s <(head -c 1000 "$SAMPLE_FRAME") "$(ls stalled/*.partial.bin | head -n 1)" ||
    fail "partial file differs from the bytes sent"
echo "PASS listen: stalled prints keep their bytes"

# receive: the same stall ends the command with status 3 and releases the port.
start_simulator "$work/port" --wait-open --stop-after 1000 --repeat 2 --baud 115200
status=0
timeout 60 "$KRT460" receive --port "$work/port" -o shot.png --timeout 1 >log.txt 2>&1 || status=$?
[ "$status" -eq 3 ] || fail "a stalled receive exited with $status, expected 3"
[ ! -e shot.png ] || fail "a stalled receive wrote a picture"
[ "$(stat -c %s shot.partial.bin)" -eq 1000 ] || fail "shot.partial.bin does not hold 1000 bytes"
grep -q "no data for 1 s" log.txt || fail "the stall is not explained"
timeout 60 "$KRT460" receive --port "$work/port" -o again.png --timeout 1 >log.txt 2>&1 || true
grep -q "Received 1000 / 3328" log.txt || fail "the port was not released after the stall"
stop_simulator
echo "PASS receive: stall timeout"

# decode reads a raw capture from stdin and writes PNG.
"$KRT460" decode - -o from-stdin.png <"$SAMPLE_FRAME" 2>log.txt || fail "decode from stdin"
[ "$(head -c 8 from-stdin.png | od -An -tx1 | tr -d ' ')" = "89504e470d0a1a0a" ] ||
    fail "decode --format by extension did not write PNG"
echo "PASS decode: stdin to PNG"
