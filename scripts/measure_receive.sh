#!/usr/bin/env bash
# Measures a full capture through `krt460 receive` against the simulator: wall time from the
# first byte sent to the receiver's exit, and the receiver's CPU time (user + sys), natively and
# for the Windows build under Wine. The line itself needs 3328 x 10 / 9600 s = 3.467 s.
# Then the CPU share of the states that wait: a stalled capture, and `listen` while its port is
# gone (hung up, the device absent until it comes back). Last, KRT460.exe with its Wine server
# in each of its states.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$KRT460_ROOT"
ensure_packages "${LINUX_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"
build_preset "$LINUX_PRESET" >/dev/null
build_preset windows >/dev/null
SIMULATOR=$LINUX_BUILD/tools/instrument_simulator
KRT460=$LINUX_BUILD/cli/krt460
SAMPLE_FRAME=$KRT460_ROOT/samples/sample_hardcopy.bin
RUNS=${RUNS:-3}

work=$(mktemp -d /tmp/krt460-measure.XXXXXX)
trap 'set +e; stop_simulator; wine_session_stop; rm -rf "$work"' EXIT

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
    awk -v label="$1" '{ w += $1; c += $2; n++ }
        END { printf "%-24s wall %.3f s (line limit 3.467 s, +%.0f ms)  CPU %.3f s (%.2f %%)\n",
              label, w / n, (w / n - 3.467) * 1000, c / n, 100 * c / w }'
}

for _ in $(seq "$RUNS"); do
    measure "$work/port" "$KRT460" receive --port "$work/port" -o "$work/a.bmp"
done | report "Linux (native)"

xvfb_start # before the Wine session, whose services need the display for KRT460.exe's windows
trap 'set +e; stop_simulator; wine_session_stop; xvfb_stop; rm -rf "$work"' EXIT
wine_session_start COM1
for _ in $(seq "$RUNS"); do
    measure "$WINE_SESSION_DIR/com1" wine build/windows/cli/krt460.exe receive --port COM1 \
        -o "$work/b.bmp"
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
    wine build/windows/cli/krt460.exe receive --port COM1 -o "$work/d.bmp" --timeout 0
WAIT_ARGS="--hangup-after 0 --come-back 60"
waiting_state "Wine: listen, port lost, waiting" "$WINE_SESSION_DIR/com1" \
    wine build/windows/cli/krt460.exe listen --port COM1 --dir "$work/listen-wine"

# KRT460.exe itself, with the Wine server that works on its behalf: 3 s in each state, driven
# through its windows by the end-to-end driver's "measure" scenario, the simulator at 9600 baud;
# and how soon a series saves a print after its last byte.
"$SIMULATOR" "$SAMPLE_FRAME" --link "$WINE_SESSION_DIR/com1" --trigger "$work/trigger" \
    >/dev/null 2>"$work/simulator.log" &
SIMULATOR_PID=$!
wait_for 10 test -L "$WINE_SESSION_DIR/com1"
# The processes of this Wine session by name: the program and the server.
session_pid() {
    local pid
    for pid in $(pgrep -f "$1"); do
        tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" &&
            echo "$pid"
    done
}
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
