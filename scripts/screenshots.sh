#!/usr/bin/env bash
# Makes the README's screenshots (docs/krt460-main.png, -settings.png, -save-as.png): the
# program under Wine in Xvfb, receiving the sample hardcopy from the simulator; and
# docs/krt460-gallery.png: krt460 serve in the browser of the gallery's test, a print arriving.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
ensure_packages "${LINUX_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}" "${BROWSER_PACKAGES[@]}"
build_preset "$LINUX_PRESET" >/dev/null
build_preset windows >/dev/null
SIMULATOR=$LINUX_BUILD/tools/instrument_simulator
SAMPLE_FRAME=$KRT460_ROOT/samples/sample_hardcopy.bin
work=$(mktemp -d /tmp/krt460-shots.XXXXXX)
trap 'set +e; stop_simulator; wine_session_stop; xvfb_stop; rm -rf "$work"' EXIT
cd "$KRT460_ROOT"
# Beside the print: a day's captures of three instruments as a lab gathers them, one cut short.
gallery=$work/gallery
mkdir -p "$gallery"/{pi1-ttyUSB0,pi2-ttyUSB0,pi3-ttyACM0}
for file in pi1-ttyUSB0/20261207-101500 pi1-ttyUSB0/20261207-103012 pi2-ttyUSB0/20261207-102233 \
    pi3-ttyACM0/20261207-095959; do
    cp samples/sample_hardcopy.bmp "$gallery/$file.bmp"
done
head -c 1210 "$SAMPLE_FRAME" >"$gallery/pi2-ttyUSB0/20261207-100102.partial.bin"
record() { # file, time, bytes, end, kept, end marker
    printf '{"received":"2026-12-07T%s+01:00","port":"/dev/ttyUSB0","bytes":%s,"end":"%s",' \
        "$2" "$3" "$4" >"$gallery/$1.json"
    printf '"kept":"%s","endMarker":%s,"lineErrors":{"framing":0,"parity":0,"overrun":0,' \
        "$5" "$6" >>"$gallery/$1.json"
    printf '"break":0}}\n' >>"$gallery/$1.json"
}
record pi1-ttyUSB0/20261207-103012 10:30:12 3328 complete picture true
record pi2-ttyUSB0/20261207-100102 10:01:02 1210 stalled partial false
/usr/bin/python3 tests/browser/gallery_test.py "$LINUX_BUILD/cli/krt460" "$SIMULATOR" \
    "$SAMPLE_FRAME" samples/sample_hardcopy.bmp tests/png_shows_bmp.py \
    --screenshot docs/krt460-gallery.png "$gallery"
xvfb_start
wine_session_start COM1
start_simulator "$WINE_SESSION_DIR/com1" --wait-open --repeat 0
cd "$work"
run_demo screenshots "$KRT460_ROOT/docs"
ls -l "$KRT460_ROOT"/docs/krt460-*.png
