#!/usr/bin/env bash
# A picture that has been written survives a power cut: its folder is flushed after the rename
# that puts it in place. The umask is never changed to be read (another thread would create
# files with the wrong one meanwhile). Watched with strace, else skipped.
# Arguments: krt460 sample.bin
set -euo pipefail
KRT460=$1 SAMPLE_FRAME=$2
strace -o /dev/null true 2>/dev/null || { echo "skipped: strace is missing or not allowed"; exit 77; }
work=$(mktemp -d /tmp/krt460-durable.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
strace -f -y -o trace.txt -e trace=umask,rename,renameat,renameat2,link,fsync \
    "$KRT460" decode "$SAMPLE_FRAME" -o shot.bmp 2>/dev/null
failures=0
if grep umask trace.txt; then
    echo "FAIL: the umask was changed"
    failures=$((failures + 1))
fi
awk -v folder="<$(pwd -P)>" '/rename.*shot\.bmp/ { renamed = 1 }
    renamed && /fsync\(/ && index($0, folder) { synced = 1 } END { exit !synced }' trace.txt || {
    echo "FAIL: no fsync of the folder after the rename:"
    cat trace.txt
    failures=$((failures + 1))
}
# A folder that fails to flush after a new file claimed its name (decode's test write) takes the
# file back: the write fails and leaves nothing.
mkdir flaky
status=0
(cd flaky && strace -f -o /dev/null -e trace=fsync -e inject=fsync:error=EIO:when=2 \
    "$KRT460" decode "$SAMPLE_FRAME" -o shot.bmp 2>/dev/null) || status=$?
if [ "$status" -ne 1 ] || [ -n "$(ls -A flaky)" ]; then
    echo "FAIL: a failed folder flush gave status $status and left: $(ls -A flaky)"
    failures=$((failures + 1))
fi
echo "durable write: $((3 - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
