#!/usr/bin/env bash
# krt460 receive and listen against the instrument simulator on pseudo-terminals, with the
# faults of a real bench: prints back to back, a transfer that stops, signals, and a hang-up
# (what the kernel does when a USB adapter is pulled).
# Arguments: krt460 instrument_simulator sample.bin sample.bmp
set -euo pipefail
KRT460=$1 SIMULATOR=$2 SAMPLE_FRAME=$3 SAMPLE_BMP=$4
source "$(dirname "$0")/../scripts/lib.sh"

work=$(mktemp -d /tmp/krt460-cli-serial.XXXXXX)
pid=
stop_krt460() { [ -z "$pid" ] || { kill "$pid"; wait "$pid"; pid=; }; }
pids=() # further processes of a step, stopped with the rest even when a check fails
trap 'set +e; stop_krt460; stop_simulator; kill "${pids[@]}" 2>/dev/null; wait "${pids[@]}" 2>/dev/null; rm -rf "$work"' EXIT
cd "$work"
port=$work/port
fail() { echo "FAIL: $*"; cat out.txt log.txt 2>/dev/null; exit 1; }
lines() { [ "$(grep -c "$2" "$1" 2>/dev/null)" -ge "$3" ]; }
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; } # CPU used (user + system), in ticks
ticks_during() { # pid, seconds: the CPU ticks (user + system) the process uses meanwhile
    local before; before=$(ticks "$1"); sleep "$2"; echo $(($(ticks "$1") - before))
}
finish() { status=0; wait "$pid" || status=$?; pid=; } # waits for krt460; sets status

start_simulator "$port" --wait-open --extra 5
timeout 60 "$KRT460" receive --port "$port" -o out.bmp --raw out.bin >log.txt 2>&1 ||
    fail "receive exited with $?"
cmp -s out.bin "$SAMPLE_FRAME" && cmp -s out.bmp "$SAMPLE_BMP" || fail "received bytes or picture differ"
grep -q "Lamp: red" log.txt || fail "end marker not reported"
stop_simulator && echo "PASS receive: a full capture"

# A sender that stops after 1000 bytes: a stall keeps them (3); a signal writes nothing
# (128 + signal); each releases the port for the next frame.
start_simulator "$port" --wait-open --stop-after 1000 --repeat 4 --baud 115200
timeout 60 "$KRT460" receive --port "$port" -o shot.png --timeout 1 >log.txt 2>&1 && fail "stall gave 0"
[ "$(stat -c %s shot.partial.bin)" -eq 1000 ] && [ ! -e shot.png ] || fail "stall: wrong files"
for signal in INT TERM HUP; do
    "$KRT460" receive --port "$port" -o sig.bmp --timeout 0 >log.txt 2>&1 &
    pid=$!
    wait_for 30 grep -q "Lamp: green" log.txt
    kill -"$signal" "$pid"
    finish
    expected=$((128 + $(kill -l "$signal")))
    [ "$status" -eq "$expected" ] || fail "SIG$signal gave $status, expected $expected"
    [ -z "$(ls sig* 2>/dev/null)" ] || fail "SIG$signal left a file"
done
stop_simulator
echo "PASS receive: stall keeps the bytes; INT, TERM and HUP close the port and write nothing"

# A hang-up after 1000 bytes ends receive at once with 4, the bytes kept, no CPU burnt.
start_simulator "$port" --wait-open --hangup-after 1000 --baud 0
start=$(date +%s%N)
status=0
timeout 20 "$KRT460" receive --port "$port" -o lost.bmp --timeout 0 >log.txt 2>&1 || status=$?
elapsed_ms=$((($(date +%s%N) - start) / 1000000))
stop_simulator
[ "$status" -eq 4 ] || fail "hang-up gave status $status, expected 4"
[ "$(stat -c %s lost.partial.bin)" -eq 1000 ] || fail "hang-up: the 1000 bytes were not kept"
grep -q "lost (unplugged?) after 1000 of 3328" log.txt || fail "hang-up not explained"
[ "$elapsed_ms" -lt 5000 ] || fail "receive took $elapsed_ms ms to notice the hang-up"
echo "PASS receive: hang-up ends with 4 in $elapsed_ms ms, bytes kept"

# Prints back to back through listen: a print without its marker, a reprint after a print cut
# short (168 bytes in, where the cut band's line feed falls on the reprint's own; 20 bytes in),
# the marker at 3324. Each stream, and what must come of it: exact pictures (each .bin one of the
# frames sent), prints kept as .partial.bin, and pictures whose end marker is missing, each with
# its record. Nothing may appear during a pause longer than --timeout after the stream.
python3 - "$SAMPLE_FRAME" <<'PY'
import sys
a = open(sys.argv[1], "rb").read()
b = a[:3320] + a[3321:] + b"\x18"   # the marker at 3324, a byte after it
u = a[:3325] + b"\0\0\0"            # no end marker
streams = {"plain": a + u + a, "cut168": a[:168] + a + a, "cut20": a[:20] + a + a,
           "at3324": b + b + b}
for name, stream in streams.items():
    open(name + ".stream", "wb").write(stream)
open("at3324.frame", "wb").write(b)
open("plain.frame", "wb").write(u)
PY
for entry in "plain 3 0 1" "cut168 2 1 0" "cut20 2 1 0" "at3324 3 0 0"; do
    read -r name pictures partials missing <<<"$entry"
    SAMPLE_FRAME=$name.stream start_simulator "$port" --wait-open --baud 115200 2>/dev/null
    "$KRT460" listen --port "$port" --dir "$name" --timeout 1 >out.txt 2>log.txt &
    pid=$!
    wait_for 20 lines out.txt "end marker" "$pictures" || fail "$name: no $pictures pictures"
    sleep 1.5 # longer than --timeout: whatever was left would now be kept
    kill -TERM "$pid" && finish && stop_simulator
    [ "$status" -eq 0 ] || fail "$name: SIGTERM between prints ended listen with $status"
    [ "$(ls "$name"/*.bmp | wc -l)" -eq "$pictures" ] || fail "$name: pictures $(ls "$name")"
    [ "$(ls "$name" | grep -c partial)" -eq "$partials" ] || fail "$name: partials $(ls "$name")"
    [ "$(grep -c "end marker missing" out.txt)" -eq "$missing" ] || fail "$name: verdicts"
    for f in "$name"/*.bmp; do cmp -s "$f" "$SAMPLE_BMP" || fail "$name: $f differs"; done
    [ "$(ls "$name"/*.json | wc -l)" -eq $((pictures + partials)) ] || fail "$name: records"
    for f in $(ls "$name"/*.bin | grep -v partial); do
        cmp -s "$f" "$SAMPLE_FRAME" || cmp -s "$f" "$name.frame" 2>/dev/null || fail "$name: $f"
    done
done
grep -q "3 pictures written" log.txt || fail "summary missing"
echo "PASS listen: prints back to back stay whole after a lost, a stray or a missed byte"

# Unplugged while idle, plugged in again 3 s later: listen waits without burning CPU, reopens
# and captures the next print. Then a print that stalls is kept and listening goes on.
start_simulator "$port" --wait-open --repeat 2 --hangup-after 0 --come-back 3 --baud 115200
"$KRT460" listen --port "$port" --dir replug --timeout 1 >out.txt 2>log.txt &
pid=$!
wait_for 30 grep -q "lost, waiting for it to come back" log.txt || fail "loss not reported"
used=$(ticks_during "$pid" 2)
[ "$used" -le 10 ] || fail "listen used $used ticks of CPU in 2 s while the port was gone"
wait_for 30 lines out.txt "end marker present" 1 || fail "no capture after the port came back"
grep -q "back: listening again" log.txt || fail "return of the port not reported"
stop_simulator
start_simulator "$port" --wait-open --stop-after 1000 --baud 115200
wait_for 30 lines out.txt "stalled after 1000 bytes" 1 || fail "stalled print not kept"
kill -INT "$pid"
finish
[ "$status" -eq 0 ] || fail "Ctrl-C between prints ended listen with $status"
stop_simulator # its port goes: the next listen must find none
echo "PASS listen: survives unplug and re-plug ($used ticks in 2 s), keeps a stalled print"

# The service starts before the adapter is plugged in: listen --wait-for-port says so once,
# waits without burning CPU, and captures once the port appears.
"$KRT460" listen --wait-for-port --port "$port" --dir later >out.txt 2>log.txt &
pid=$!
wait_for 10 grep -q "Waiting for" log.txt || fail "waiting for the port not reported"
used=$(ticks_during "$pid" 1)
[ "$used" -le 5 ] || fail "listen used $used ticks of CPU in 1 s waiting for its port"
start_simulator "$port" --wait-open --baud 115200
wait_for 30 lines out.txt "end marker present" 1 || fail "no capture once the port appeared"
[ "$(grep -c "Waiting for" log.txt)" -eq 1 ] || fail "the wait was told more than once"
kill -TERM "$pid" && finish && stop_simulator
echo "PASS listen --wait-for-port: waits for an absent port ($used ticks in 1 s), then captures"

# Two listen runs into one folder, printing at the same moments: each print keeps files of its
# own, none is replaced.
python3 -c "import sys; sys.stdout.buffer.write(open(sys.argv[1], 'rb').read() * 10)" \
    "$SAMPLE_FRAME" >ten.stream
for n in 1 2; do
    "$SIMULATOR" ten.stream --link "$port$n" --wait-open --baud 115200 >/dev/null 2>&1 &
    pids+=($!)
    wait_for 10 test -L "$port$n"
    "$KRT460" listen --port "$port$n" --dir both >"out$n.txt" 2>&1 &
    pids+=($!)
done
both_done() { [ "$(cat out1.txt out2.txt | grep -c "end marker present")" -eq 20 ]; }
wait_for 60 both_done || fail "two runs: $(cat out1.txt out2.txt | grep -c "marker present") prints"
kill "${pids[@]}" && wait "${pids[@]}" 2>/dev/null || true
pids=()
[ "$(ls both/*.bmp | wc -l)" -eq 20 ] && [ "$(ls both/*.bin | wc -l)" -eq 20 ] &&
    [ "$(ls both/*.json | wc -l)" -eq 20 ] || fail "two runs left $(ls both | wc -l) files, not 60"
for f in both/*.bin; do cmp -s "$f" "$SAMPLE_FRAME" || fail "$f differs"; done
echo "PASS listen: two runs into one folder keep 20 prints as 20 pictures"

# A disk that takes no picture from the start (a file size limit stands in for it), then a
# folder that takes no files at all (replaced by a file, which holds as root too): listen starts
# all the same, holds each print (with a copy in the rescue folder, the service's
# $RUNTIME_DIRECTORY, where one fits) and writes it once the disk takes it; a stop while a print
# is held names the rescue folder and fails, and the next listen (a restart on the still full
# disk) takes the print up from there and writes it under its own name once the disk takes it.
mkdir rescue held
start_simulator "$port" --trigger "$work/press" --baud 115200
press() { echo "$1" >press.new && mv press.new press; }
port_held() { rm -f press.answer; press "?"; wait_for 5 test -e press.answer && grep -q '^open [1-9]' press.answer; }
listen_small() { (ulimit -S -f 2 && RUNTIME_DIRECTORY=$work/rescue exec \
    "$KRT460" listen --port "$port" --dir held) >out.txt 2>log.txt & pid=$!; }
listen_small
wait_for 30 port_held || fail "listen did not open the port"
press ""
wait_for 30 grep -q "holding prints.*no copy" log.txt || fail "holding not told"
prlimit --pid "$pid" --fsize=unlimited:
wait_for 30 grep -q "Caught up: 1 held print" log.txt || fail "held print not written"
cmp -s held/*.bin "$SAMPLE_FRAME" && cmp -s held/*.bmp "$SAMPLE_BMP" && [ -s held/*.json ] ||
    fail "after catching up: $(ls held)"
rm -r held && touch held
press ""
wait_for 30 lines log.txt "holding prints" 2 || fail "holding again not told"
cmp -s rescue/krt460-*.bin "$SAMPLE_FRAME" || fail "no copy in the rescue folder: $(ls rescue)"
copy=$(basename rescue/krt460-*.bin)
kill -TERM "$pid" && finish
[ "$status" -eq 1 ] && grep -q "could not be written into 'held'; copies in $work/rescue" log.txt ||
    fail "stop while holding: status $status"
rm held && listen_small
wait_for 30 grep -q "Took up 1 held print" log.txt || fail "held print not taken up after a restart"
prlimit --pid "$pid" --fsize=unlimited:
wait_for 30 grep -q "Caught up: 1 held print" log.txt || fail "taken up print not written"
cmp -s "held/${copy#krt460-}" "$SAMPLE_FRAME" && [ -z "$(ls rescue)" ] || fail "$(ls held rescue)"
kill -TERM "$pid" && finish && stop_simulator
echo "PASS listen: starts on a full disk, holds what the folder does not take, writes it later"
