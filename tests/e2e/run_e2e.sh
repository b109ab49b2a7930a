#!/usr/bin/env bash
# End-to-end tests of KRT460.exe under Wine: a private X server, Wine prefix and instrument
# simulators (COM1 and COM2 mapped to their pseudo-terminals), one fresh working folder and
# program start per scenario, driven by e2e_driver.exe. Everything started here is stopped here.
# Arguments: KRT460.exe e2e_driver.exe instrument_simulator sample.bin sample.bmp
set -euo pipefail
KRT460_EXE=$1 DRIVER=$2 SIMULATOR=$3 SAMPLE_FRAME=$4 SAMPLE_BMP=$5
source "$(dirname "$0")/../../scripts/lib.sh"
[ -x "$SIMULATOR" ] || { echo "no simulator at $SIMULATOR: build the linux preset first" >&2; exit 1; }

work=$(mktemp -d /tmp/krt460-e2e.XXXXXX)
simulators=()
cleanup() {
    set +e
    local pid
    for pid in "${simulators[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
    wine_session_stop
    xvfb_stop
    rm -rf "$work"
}
trap cleanup EXIT

xvfb_start
wine_session_start COM1 COM2
for port in 1 2; do
    "$SIMULATOR" "$SAMPLE_FRAME" --link "$WINE_SESSION_DIR/com$port" --trigger "$work/trigger$port" \
        --baud 38400 >/dev/null 2>"$work/simulator$port.log" &
    simulators+=($!)
done

export KRT460_E2E_EXE=$(winepath -w "$KRT460_EXE") KRT460_E2E_FRAME=$(winepath -w "$SAMPLE_FRAME")
export KRT460_E2E_REFERENCE=$(winepath -w "$SAMPLE_BMP")
export KRT460_E2E_TRIGGER1=$(winepath -w "$work/trigger1") KRT460_E2E_TRIGGER2=$(winepath -w "$work/trigger2")

# scenario and the KRT460.ini it starts with ("-": none)
scenarios=(
    "main -"
    "escape -"
    "close-box -"
    "missing-port COM42\r\n1\r\n"
    "close-during-capture -"
    "scp1-fails -"
    "settings -"
    "settings-lower-case com1\r\n1\r\n"
    "settings-com3 COM3\r\n1\r\n"
    "save-as -"
    "save-as-cancel -"
)
failed=0
for entry in "${scenarios[@]}"; do
    name=${entry%% *} ini=${entry#* }
    mkdir -p "$work/$name"
    [ "$ini" = "-" ] || printf "$ini" >"$work/$name/KRT460.ini"
    echo "== $name"
    status=0
    (cd "$work/$name" && timeout 300 wine "$DRIVER" "$name") || status=$?
    [ "$status" -eq 0 ] || { echo "FAIL scenario $name (status $status)"; failed=$((failed + 1)); }
done

# Every program the driver started has ended: none may be left behind.
left=$(pgrep -f 'KRT460\.exe' || true)
for pid in $left; do
    if { tr '\0' '\n' <"/proc/$pid/environ"; } 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX"; then
        echo "FAIL KRT460.exe (pid $pid) is still running"
        failed=$((failed + 1))
    fi
done
echo "e2e: $((${#scenarios[@]} - failed)) scenarios passed, $failed failed"
exit "$failed"
