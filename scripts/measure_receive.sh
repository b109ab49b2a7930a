#!/usr/bin/env bash
# Measures a full capture through `krt460 receive` against the simulator: wall time from the
# first byte sent to the receiver's exit, and the receiver's CPU time (user + sys), natively and
# for the Windows build under Wine. The line itself needs 3328 x 10 / 9600 s = 3.467 s.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$KRT460_ROOT"
ensure_packages "${LINUX_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"
build_preset linux >/dev/null
build_preset windows >/dev/null
SIMULATOR=$KRT460_ROOT/build/linux/tools/instrument_simulator
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
    measure "$work/port" build/linux/cli/krt460 receive --port "$work/port" -o "$work/a.bmp"
done | report "Linux (native)"

wine_session_start COM1
for _ in $(seq "$RUNS"); do
    measure "$WINE_SESSION_DIR/com1" wine build/windows/cli/krt460.exe receive --port COM1 \
        -o "$work/b.bmp"
done | report "Windows build under Wine"
