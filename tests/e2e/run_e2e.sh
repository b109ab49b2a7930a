#!/usr/bin/env bash
# End-to-end tests of KRT460.exe under Wine: a private X server, Wine prefix and instrument
# simulators (COM1, COM2, COM5 and COM12 mapped to their pseudo-terminals), one fresh working
# folder and program start per scenario, driven by e2e_driver.exe. Everything started here is
# stopped here.
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
trap 'exit 130' INT # so that the cleanup runs when the run is interrupted or killed
trap 'exit 143' TERM HUP

ports=(1 2 5 12)
xvfb_start 1024x768 # at 192 dpi just room for the main and the display window side by side
wine_session_start "${ports[@]/#/COM}"
for port in "${ports[@]}"; do
    "$SIMULATOR" "$SAMPLE_FRAME" --link "$WINE_SESSION_DIR/com$port" --trigger "$work/trigger$port" \
        --baud 38400 >/dev/null 2>"$work/simulator$port.log" &
    simulators+=($!)
    wait_for 10 test -L "$WINE_SESSION_DIR/com$port"
done

export KRT460_E2E_EXE=$(winepath -w "$KRT460_EXE") KRT460_E2E_REFERENCE=$(winepath -w "$SAMPLE_BMP")
for port in 1 2 12; do
    export "KRT460_E2E_TRIGGER$port=$(winepath -w "$work/trigger$port")"
done

# scenario, the KRT460.ini it starts with ("-": none), and the screen's dpi
scenarios=(
    "main - 96"
    "files-fail - 96"
    "settings - 96"
    "settings-other-port \\\\\\\\.\\\\COM12\r\n1\r\n 96"
    "save-as - 96"
    "high-dpi - 192"
    "series COM1\r\n1\r\n 96"
)
failed=0 ran=0
for entry in "${scenarios[@]}"; do
    read -r name ini dpi <<<"$entry"
    [ -z "${E2E_ONLY:-}" ] || [[ " $E2E_ONLY " == *" $name "* ]] || continue # a chosen few
    mkdir -p "$work/$name"
    [ "$ini" = "-" ] || printf "$ini" >"$work/$name/KRT460.ini"
    wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
    echo "== $name ($dpi dpi)"
    ran=$((ran + 1))
    status=0
    (cd "$work/$name" && timeout 300 wine "$DRIVER" "$name") || status=$?
    if [ "$name" = save-as ] && [ "$status" -eq 0 ]; then
        # The PNG written by the save-as dialog holds the reference picture's pixels.
        python3 "$KRT460_ROOT/tests/png_shows_bmp.py" "$work/$name/bericht.png" "$SAMPLE_BMP" &&
            echo "PASS bericht.png holds the picture" ||
            { echo "FAIL bericht.png does not hold the picture"; status=1; }
    fi
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
echo "e2e: $((ran - failed)) scenarios passed, $failed failed"
exit "$failed"
