#!/usr/bin/env bash
# The Win32 serial backend under Wine: krt460.exe receives the sample hardcopy byte for byte
# through pseudo-terminals mapped to COM1, COM2 and COM10 (opened in the \\.\ form); one
# process cannot open a port twice; a port left with byte-changing flags still passes every
# byte; a hang-up ends a capture with 4. And krt460.exe's PNG.
# Arguments: krt460.exe serial_win32_tests.exe instrument_simulator sample.bin sample.bmp
set -euo pipefail
KRT460_EXE=$1 SERIAL_TESTS_EXE=$2 SIMULATOR=$3 SAMPLE_FRAME=$4 SAMPLE_BMP=$5
source "$(dirname "$0")/../../scripts/lib.sh"
[ -x "$SIMULATOR" ] || { echo "no simulator at $SIMULATOR: build the linux-ci preset first" >&2; exit 1; }

work=$(mktemp -d /tmp/krt460-serial-test.XXXXXX)
cleanup() { set +e; stop_simulator; wine_session_stop; rm -rf "$work"; }
trap cleanup EXIT
trap 'exit 130' INT # so that the cleanup runs when the run is interrupted or killed
trap 'exit 143' TERM HUP
wine_session_start COM1 COM2 COM10
cd "$work"

failures=0
check() { # description, then the command that must succeed
    local what=$1
    shift
    if "$@"; then echo "PASS $what"; else echo "FAIL $what"; cat log.txt; failures=$((failures + 1)); fi
}

for port in COM1 COM2 '\\.\COM10'; do
    link=$WINE_SESSION_DIR/$(echo "${port#\\\\.\\}" | tr 'A-Z' 'a-z')
    start_simulator "$link" --wait-open --extra 1
    rm -f out.bmp out.bin
    timeout 60 wine "$KRT460_EXE" receive --port "$port" -o out.bmp --raw out.bin >log.txt 2>&1 || true
    stop_simulator
    check "receive on $port" eval 'cmp -s out.bin "$SAMPLE_FRAME" && cmp -s out.bmp "$SAMPLE_BMP"'
done

start_simulator "$WINE_SESSION_DIR/com1" --wait-open
check "held port refused, byte-changing flags cleared" \
    bash -c "KRT460_TEST_PORT=COM1 timeout 60 wine '$SERIAL_TESTS_EXE' >log.txt 2>&1 && ! grep -q 'SKIPPED\|Running 0 tests' log.txt"
stop_simulator

# The test above left COM1 with fNull, fDsrSensitivity and XON/XOFF set: NUL, XON and XOFF
# bytes must all arrive.
python3 -c "import sys; sys.stdout.buffer.write(bytes([0x00, 0x11, 0x13, 0x41]) * 832)" >special.bin
SAMPLE_FRAME=special.bin start_simulator "$WINE_SESSION_DIR/com1" --wait-open
timeout 60 wine "$KRT460_EXE" receive --port COM1 -o special.bmp --raw special.out >log.txt 2>&1 || true
stop_simulator
check "NUL, XON and XOFF bytes arrive unchanged" cmp -s special.bin special.out

# PNG through the Windows Imaging Component: the pixels krt460 writes on Linux, at any scale;
# a system without it (here: Wine without windowscodecs) is told, not a crash.
for scale in 1 3; do
    rm -f out.png
    timeout 60 wine "$KRT460_EXE" decode "$SAMPLE_FRAME" -o out.png --scale "$scale" >log.txt 2>&1 || true
    check "decode to PNG at scale $scale" python3 "$KRT460_ROOT/tests/png_shows_bmp.py" out.png "$SAMPLE_BMP"
done
status=0
WINEDLLOVERRIDES="$WINEDLLOVERRIDES;windowscodecs=" timeout 60 wine "$KRT460_EXE" decode \
    "$SAMPLE_FRAME" -o none.png >log.txt 2>&1 || status=$?
check "PNG without the imaging component: status 1 and the reason, no file" \
    eval '[ "$status" -eq 1 ] && grep -q "cannot write .none.png.: PNG: ." log.txt && [ ! -e none.png ]'

status=0
timeout 60 wine "$KRT460_EXE" serve --dir . >log.txt 2>&1 || status=$?
check "serve says that it is not available on Windows" \
    eval '[ "$status" -eq 1 ] && grep -q "serve is not available on Windows" log.txt'

start_simulator "$WINE_SESSION_DIR/com1" --wait-open --hangup-after 1000
status=0
timeout 60 wine "$KRT460_EXE" receive --port COM1 -o lost.bmp --timeout 0 >log.txt 2>&1 || status=$?
stop_simulator
check "hang-up ends receive with 4 and keeps the bytes" \
    test "$status" -eq 4 -a "$(stat -c %s lost.partial.bin 2>/dev/null)" = 1000
exit "$failures"
