#!/usr/bin/env bash
# The Win32 serial backend under Wine: krt460.exe receives the sample hardcopy byte for byte
# through pseudo-terminals mapped to COM1, COM2 and COM10 (opened in the \\.\ form), and one
# process cannot open a port twice.
# Arguments: krt460.exe serial_win32_tests.exe instrument_simulator sample.bin sample.bmp
set -euo pipefail
KRT460_EXE=$1 SERIAL_TESTS_EXE=$2 SIMULATOR=$3 SAMPLE_FRAME=$4 SAMPLE_BMP=$5
source "$(dirname "$0")/../../scripts/lib.sh"
[ -x "$SIMULATOR" ] || { echo "no simulator at $SIMULATOR: build the linux preset first" >&2; exit 1; }

work=$(mktemp -d /tmp/krt460-serial-test.XXXXXX)
cleanup() { set +e; stop_simulator; wine_session_stop; rm -rf "$work"; }
trap cleanup EXIT
wine_session_start COM1 COM2 COM10
cd "$work"

failures=0
for port in COM1 COM2 '\\.\COM10'; do
    link=$WINE_SESSION_DIR/$(echo "${port#\\\\.\\}" | tr 'A-Z' 'a-z')
    start_simulator "$link" --wait-open --extra 1
    status=0
    timeout 60 wine "$KRT460_EXE" receive --port "$port" -o out.bmp --raw out.bin \
        >log.txt 2>&1 || status=$?
    stop_simulator
    if [ "$status" -eq 0 ] && cmp -s out.bin "$SAMPLE_FRAME" && cmp -s out.bmp "$SAMPLE_BMP"; then
        echo "PASS receive on $port"
    else
        echo "FAIL receive on $port (status $status)"
        cat log.txt
        failures=$((failures + 1))
    fi
    rm -f out.bmp out.bin
done

start_simulator "$WINE_SESSION_DIR/com1" --wait-open
if KRT460_TEST_PORT=COM1 timeout 60 wine "$SERIAL_TESTS_EXE" >log.txt 2>&1 &&
    ! grep -q SKIPPED log.txt; then
    echo "PASS second open of a held port refused"
else
    echo "FAIL second open of a held port"
    cat log.txt
    failures=$((failures + 1))
fi
stop_simulator
exit "$failures"
