#!/usr/bin/env bash
# Measures a full capture through `krt460 receive` against the simulator: wall time from the
# first byte sent to the receiver's exit, and the receiver's CPU time (user + sys), natively and
# for the Windows build under Wine. The line itself needs 3328 x 10 / 9600 s = 3.467 s.
# Then the CPU share of the states that wait: a stalled capture, and `listen` while its port is
# gone (hung up, the device absent until it comes back).
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
