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
/usr/bin/python3 "$KRT460_ROOT/tests/browser/gallery_test.py" "$LINUX_BUILD/cli/krt460" \
    "$SIMULATOR" "$SAMPLE_FRAME" "$KRT460_ROOT/samples/sample_hardcopy.bmp" \
    "$KRT460_ROOT/tests/png_shows_bmp.py" --screenshot "$KRT460_ROOT/docs/krt460-gallery.png"
xvfb_start
wine_session_start COM1
start_simulator "$WINE_SESSION_DIR/com1" --wait-open --repeat 0
cd "$work"
run_demo screenshots "$KRT460_ROOT/docs"
ls -l "$KRT460_ROOT"/docs/krt460-*.png
