#!/usr/bin/env bash
# The main job: builds KRT460.exe and runs it under Wine with COM1 connected to the instrument
# simulator, which sends the sample hardcopy whenever the program opens the port (as an
# instrument does when its print key is pressed). On a display, the program is yours to use;
# without one it runs under Xvfb, performs Empfangen and Anzeigen itself and leaves Scp1.bmp,
# KRT460.ini and krt460-screenshot.png in the current directory.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

ensure_packages "${LINUX_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"
echo "Building krt460 and the instrument simulator, then KRT460.exe (a few minutes the first time) ..."
build_preset "$LINUX_PRESET" >/dev/null
build_preset windows >/dev/null
B=$KRT460_ROOT/build
SIMULATOR=$LINUX_BUILD/tools/instrument_simulator
SAMPLE_FRAME=$KRT460_ROOT/samples/sample_hardcopy.bin
out=$(pwd)

cleanup() { set +e; stop_simulator; wine_session_stop; xvfb_stop; }
trap cleanup EXIT
trap 'exit 130' INT # so that the cleanup runs when the run is interrupted or killed
trap 'exit 143' TERM HUP

headless=1
if [ -n "${DISPLAY:-}" ] && [ -e "/tmp/.X11-unix/X${DISPLAY#*:}" ]; then
    headless=0
else
    xvfb_start
fi
echo "Preparing Wine (a private prefix, COM1 -> instrument simulator) ..."
wine_session_start COM1
start_simulator "$WINE_SESSION_DIR/com1" --wait-open --repeat 0

if [ "$headless" -eq 0 ]; then
    echo "KRT460 runs on $DISPLAY: Empfangen receives the sample hardcopy, Anzeigen shows it."
    wine "$B/windows/ui/KRT460.exe"
    exit 0
fi

run_demo demo "$out" || { echo "error: the demonstration did not finish" >&2; exit 1; }
mv "$out/krt460-main.png" "$out/krt460-screenshot.png"
echo "Written: $out/Scp1.bmp (the received hardcopy), $out/KRT460.ini, $out/krt460-screenshot.png"
