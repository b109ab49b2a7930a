#!/usr/bin/env bash
# Measures a full capture through `krt460 receive` against the simulator: wall time from the
# first byte sent to the receiver's exit, and the receiver's CPU time (user + sys), natively and
# for the Windows build under Wine, and natively beside a pyserial script that reads 3328 bytes,
# run by run. The line itself needs 3328 x 10 / 9600 s = 3.467 s.
# Then the CPU share of the states that wait: a stalled capture, and `listen` while its port is
# gone (hung up, the device absent until it comes back). Then the hand-over of `listen`: from a
# print's last byte on the line to its files in place, over PRINTS sessions of two prints
# each (the first print of a session, which waits for the line to fall silent, and one cut at
# its last byte by the layout the first taught). Last, KRT460.exe with its Wine server in each
# of its states.
# `measure_receive.sh hand-over` measures the hand-over of the native `listen` alone.
# KRT460 and KRT460_EXE name other builds of krt460 and krt460.exe to measure (an older one).
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$KRT460_ROOT"
case "${1:-}" in
"" | hand-over) ;;
*) echo "usage: $0 [hand-over]" >&2; exit 64 ;;
esac
SIMULATOR=$LINUX_BUILD/tools/instrument_simulator
KRT460=${KRT460:-$LINUX_BUILD/cli/krt460}
KRT460_EXE=${KRT460_EXE:-build/windows/cli/krt460.exe}
SAMPLE_FRAME=$KRT460_ROOT/samples/sample_hardcopy.bin
RUNS=${RUNS:-10}
PRINTS=${PRINTS:-20}

work=$(mktemp -d "${TMPDIR:-/tmp}/krt460-measure.XXXXXX")
trap 'set +e; stop_simulator; wine_session_stop; rm -rf "$work"' EXIT

# From the last byte of a print on the line to the last of its files in place (renamed into the
# folder, seen through inotify), for `listen` run anew for each of PRINTS sessions of two prints.
# $1: label, $2: the port's link, $3: the folder, rest: the listen command.
hand_over() {
    python3 - "$SIMULATOR" "$SAMPLE_FRAME" "$PRINTS" "$@" <<'PY'
import ctypes, json, os, re, signal, statistics, struct, subprocess, sys, time
simulator, frame, prints, label, link, folder, *command = sys.argv[1:]
work = os.path.dirname(folder)
trigger, log_path = f"{work}/hand-over.trigger", f"{work}/hand-over.log"
os.makedirs(folder)
libc = ctypes.CDLL(None, use_errno=True)
watch = libc.inotify_init1(os.O_CLOEXEC)
IN_MOVED_TO, IN_CREATE = 0x80, 0x100  # a rename into place, or a link where rename cannot
if watch < 0 or libc.inotify_add_watch(watch, folder.encode(), IN_MOVED_TO | IN_CREATE) < 0:
    sys.exit("inotify: " + os.strerror(ctypes.get_errno()))

def until(check, seconds=30):
    deadline = time.time() + seconds
    while not (result := check()):
        if time.time() > deadline:
            sys.exit(f"{label}: timed out")
        time.sleep(0.02)
    return result

def last_bytes():
    return [float(t) for t in re.findall(r"last byte at ([0-9.]+)", open(log_path).read())]

def port_held():  # the simulator's answer to "?"
    with open(trigger + ".new", "w") as request:
        request.write("?")
    os.rename(trigger + ".new", trigger)
    answer = until(lambda: os.path.exists(trigger + ".answer") and open(trigger + ".answer").read())
    os.unlink(trigger + ".answer")
    return answer.startswith("open ") and answer != "open 0"  # held and flushed

def files_in_place():  # the time the last of a print's files (its record names them) appears
    seen, named = set(), None
    while named is None or not named <= seen:
        data, at = os.read(watch, 65536), time.time()
        while data:
            length = struct.unpack_from("iIII", data)[3]
            name = data[16:16 + length].rstrip(b"\0").decode()
            data = data[16 + length:]
            seen.add(name)
            if name.endswith(".json") and not name.startswith("."):
                record = json.load(open(os.path.join(folder, name)))
                named = {record[key] for key in ("picture", "raw") if record.get(key)}
    return at

if os.path.lexists(link):  # an earlier simulator's link: listen must not find it
    os.unlink(link)
with open(log_path, "w") as log:
    sim = subprocess.Popen([simulator, frame, "--link", link, "--trigger", trigger],
                           stdout=subprocess.DEVNULL, stderr=log)
try:
    until(lambda: os.path.islink(link))
    first, known = [], []
    for _ in range(int(prints)):
        listen = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        until(port_held)
        # A line quiet for a while before the first print, as when listen runs from boot: the
        # first print then begins where nothing else can have, and teaches its layout.
        time.sleep(0.2)
        for kind in (first, known):
            sent = len(last_bytes())
            open(trigger, "w").close()  # an empty request: one whole print
            at = files_in_place()
            kind.append(1000 * (at - until(lambda: last_bytes()[sent:])[0]))
        listen.send_signal(signal.SIGTERM)
        listen.wait()
finally:
    sim.terminate()
    sim.wait()
for name, ms in (("first print of a session", first), ("layout known", known)):
    print(f"{label}, {name}: median {statistics.median(ms):.1f} ms, worst {max(ms):.1f} ms, "
          f"best {min(ms):.1f} ms ({len(ms)} prints)")
PY
}

if [ "${1:-}" = hand-over ]; then
    ensure_packages "${LINUX_PACKAGES[@]}"
    cmake --preset "$LINUX_PRESET" >/dev/null
    cmake --build --preset "$LINUX_PRESET" --target krt460 instrument_simulator >/dev/null
    hand_over "listen, native" "$work/port" "$work/listen" \
        "$KRT460" listen --port "$work/port" --dir "$work/listen"
    exit 0
fi
ensure_packages "${LINUX_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}" "${MEASURE_PACKAGES[@]}"
build_preset "$LINUX_PRESET" >/dev/null
build_preset windows >/dev/null

# One capture: prints "wall cpu" in seconds. $1: link, rest: receiver command.
measure() {
    local link=$1
    shift
    "$SIMULATOR" "$SAMPLE_FRAME" --link "$link" --wait-open >/dev/null 2>"$work/sim.log" &
    SIMULATOR_PID=$!
    while [ ! -L "$link" ]; do sleep 0.02; done
    local TIMEFORMAT='%U %S' cpu
    cpu=$({ time "$@" >/dev/null 2>&1; } 2>&1)
    local end
    end=$(date +%s.%N)
    stop_simulator
    local first
    first=$(sed -n 's/.*first byte at //p' "$work/sim.log")
    awk -v s="$first" -v e="$end" -v c="$cpu" \
        'BEGIN { split(c, t, " "); printf "%.3f %.3f\n", e - s, t[1] + t[2] }'
}

report() { # label, then lines "wall cpu"
    sort -n | awk -v label="$1" '{ w[NR] = $1; c[NR] = $2; cs += $2 }
        END { m = int((NR + 1) / 2)
              printf "%-24s wall median %.3f s (+%.0f ms over the line), worst %.3f s (+%.0f ms);" \
                     "  CPU mean %.3f s (%d runs)\n", label, w[m], (w[m] - 3.467) * 1000,
                     w[NR], (w[NR] - 3.467) * 1000, cs / NR, NR }'
}

# The same print read by a plain pyserial script, run by run beside `krt460 receive`.
pyserial_read='import serial, sys
with serial.Serial(sys.argv[1], 9600, timeout=30) as port:
    open(sys.argv[2], "wb").write(port.read(3328))'
for _ in $(seq "$RUNS"); do
    echo "krt460 $(measure "$work/port" "$KRT460" receive --port "$work/port" -o "$work/a.bmp")"
    echo "pyserial $(measure "$work/port" /usr/bin/python3 -c "$pyserial_read" "$work/port" \
        "$work/a.bin")"
done >"$work/receive.txt"
sed -n 's/^krt460 //p' "$work/receive.txt" | report "Linux (native)"
sed -n 's/^pyserial //p' "$work/receive.txt" | report "pyserial read(3328)"

xvfb_start # before the Wine session, whose services need the display for KRT460.exe's windows
trap 'set +e; stop_simulator; wine_session_stop; xvfb_stop; rm -rf "$work"' EXIT
wine_session_start COM1
for _ in $(seq "$RUNS"); do
    measure "$WINE_SESSION_DIR/com1" wine "$KRT460_EXE" receive --port COM1 -o "$work/b.bmp"
done | report "Windows build under Wine"

# CPU share of a process over $2 seconds, once it has settled for a second.
cpu_share() {
    sleep 1
    local before after
    before=$(awk '{print $14 + $15}' "/proc/$1/stat")
    sleep "$2"
    after=$(awk '{print $14 + $15}' "/proc/$1/stat")
    awk -v t=$((after - before)) -v s="$2" -v hz="$(getconf CLK_TCK)" \
        'BEGIN { printf "%.3f s of CPU in %d s (%.2f %%)", t / hz, s, 100 * t / hz / s }'
}

# The processes of this Wine session by name: the program and the server.
session_pid() {
    local pid
    for pid in $(pgrep -f "$1"); do
        tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" &&
            echo "$pid"
    done
}
# label, link, then the receiver command; the simulator is started with $WAIT_ARGS.
waiting_state() {
    local label=$1 link=$2
    shift 2
    # shellcheck disable=SC2086
    "$SIMULATOR" "$SAMPLE_FRAME" --link "$link" --wait-open $WAIT_ARGS >/dev/null 2>&1 &
    SIMULATOR_PID=$!
    while [ ! -L "$link" ]; do sleep 0.02; done
    "$@" >/dev/null 2>&1 &
    local pid=$!
    printf '%-40s %s\n' "$label" "$(cpu_share "$pid" 10)"
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null || true
    # The Windows program under Wine may outlive the launcher it was killed through; one left
    # waiting would take the next simulator's port.
    local left
    for left in $(session_pid 'krt460\.exe'); do kill -KILL "$left" 2>/dev/null; done
    stop_simulator
}

WAIT_ARGS="--stop-after 100"
waiting_state "Linux: stalled capture" "$work/port" \
    "$KRT460" receive --port "$work/port" -o "$work/c.bmp" --timeout 0
WAIT_ARGS="--hangup-after 0 --come-back 60"
waiting_state "Linux: listen, port lost, waiting" "$work/port" \
    "$KRT460" listen --port "$work/port" --dir "$work/listen"
WAIT_ARGS="--stop-after 100"
waiting_state "Wine: stalled capture" "$WINE_SESSION_DIR/com1" \
    wine "$KRT460_EXE" receive --port COM1 -o "$work/d.bmp" --timeout 0
WAIT_ARGS="--hangup-after 0 --come-back 60"
waiting_state "Wine: listen, port lost, waiting" "$WINE_SESSION_DIR/com1" \
    wine "$KRT460_EXE" listen --port COM1 --dir "$work/listen-wine"

hand_over "listen, native" "$work/port" "$work/hand-over" \
    "$KRT460" listen --port "$work/port" --dir "$work/hand-over"
hand_over "listen, Windows build under Wine" "$WINE_SESSION_DIR/com1" "$work/hand-over-wine" \
    wine "$KRT460_EXE" listen --port COM1 --dir "$work/hand-over-wine"

# KRT460.exe itself, with the Wine server that works on its behalf: 3 s in each state, driven
# through its windows by the end-to-end driver's "measure" scenario, the simulator at 9600 baud;
# and how soon a series saves a print after its last byte.
"$SIMULATOR" "$SAMPLE_FRAME" --link "$WINE_SESSION_DIR/com1" --trigger "$work/trigger" \
    >/dev/null 2>"$work/simulator.log" &
SIMULATOR_PID=$!
wait_for 10 test -L "$WINE_SESSION_DIR/com1"
ticks_of() { awk '{ s += $14 + $15 } END { print s }' "${@/%//stat}"; }
driver_log=$work/driver.log next=$work/next
: >"$driver_log"
(cd "$work" && KRT460_E2E_EXE=$(winepath -w "$KRT460_ROOT/build/windows/ui/KRT460.exe") \
    KRT460_E2E_TRIGGER1=$(winepath -w "$work/trigger") KRT460_E2E_NEXT=$(winepath -w "$next") \
    KRT460_E2E_REFERENCE=$(winepath -w "$KRT460_ROOT/samples/sample_hardcopy.bmp") \
    wine "$KRT460_ROOT/build/windows/tests/e2e/e2e_driver.exe" measure >"$driver_log" 2>&1) &
driver=$!
measured=0
while kill -0 "$driver" 2>/dev/null; do
    state=$(sed -n 's/^READY //p' "$driver_log" | tr -d '\r' | sed -n "$((measured + 1))p")
    if [ "$state" = saved ]; then
        # From the print's last byte on the line to the file of the series in place.
        python3 - "$work/simulator.log" "$work" <<'PY'
import glob, os, re, sys
last = float(re.findall(r"last byte at ([0-9.]+)", open(sys.argv[1]).read())[-1])
saved = min(os.stat(f).st_mtime for f in glob.glob(os.path.join(sys.argv[2], "Scp_*.bmp")))
print(f"KRT460.exe, series: a print saved {1000 * (saved - last):.0f} ms after its last byte")
PY
        measured=$((measured + 1))
        touch "$next"
    elif [ -n "$state" ]; then
        procs=()
        for pid in $(session_pid 'KRT460\.exe') $(session_pid wineserver); do
            procs+=("/proc/$pid")
        done
        before=$(ticks_of "${procs[@]}")
        sleep 3
        after=$(ticks_of "${procs[@]}")
        awk -v t=$((after - before)) -v hz="$(getconf CLK_TCK)" -v s="$state" \
            'BEGIN { printf "KRT460.exe + wineserver, %-10s %.3f s of CPU in 3 s (%.2f %%)\n",
                     s, t / hz, 100 * t / hz / 3 }'
        measured=$((measured + 1))
        touch "$next"
    fi
    sleep 0.1
done
wait "$driver" || { cat "$driver_log" >&2; exit 1; }
