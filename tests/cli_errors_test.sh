#!/usr/bin/env bash
# krt460 with the inputs people mistype: each gets its documented exit status and one clear
# line, leaves no output file behind and never changes its input.
# Arguments: krt460 sample.bin sample.bmp
set -euo pipefail
KRT460=$1 SAMPLE_FRAME=$2 SAMPLE_BMP=$3
PNG_CHECK=$(cd "$(dirname "$0")" && pwd)/png_shows_bmp.py

work=$(mktemp -d /tmp/krt460-cli-errors.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

cp "$SAMPLE_FRAME" in.bin
mkdir folder KRT460.ini shared full
mkdir -m 555 rodir
chmod 755 "$work" && chmod 777 shared # a folder an ordinary user may write, with a file he may not
printf 'old' >shared/ro.bmp && chmod 444 shared/ro.bmp
# "nobody": as an ordinary user; "full": on a full disk (a full tmpfs in a mount namespace).
run_as() {
    case "$1" in
    nobody) shift; setpriv --reuid=65534 --regid=65534 --clear-groups "$@" ;;
    full) shift; unshare -m sh -c 'mount -t tmpfs -o size=16k tmpfs full &&
        head -c 16384 /dev/zero >full/fill 2>/dev/null; exec "$@"' sh "$@" ;;
    *) shift; "$@" ;;
    esac
}
can_run_as() { [ -z "$1" ] || [ "$(id -u)" -eq 0 ] && run_as "$1" true 2>/dev/null; }
printf 'no hardcopy here' >text.bin
head -c 2000 "$SAMPLE_FRAME" >short.bin
input_sum=$(md5sum in.bin)

# status | message fragment | arguments (split as the shell does: '' is an empty one) | stdin |
# who runs it
cases=(
    "64|unknown command 'print'|print"
    "64|A subcommand is required|"
    "64|unknown option '--frob'|--frob"
    "64|run krt460 --help|decode"
    "64|takes 0 to 86400 seconds, not 'nan'|receive -o x.bmp --timeout nan"
    "64|takes 0 to 86400 seconds, not '1e10'|receive -o x.bmp --timeout 1e10"
    "64|takes 0 to 86400 seconds, not '-1'|listen --timeout -1"
    "64|scale|decode in.bin -o x.bmp --scale 9"
    "64|is the input|decode in.bin -o in.bin"
    "64|is the input|decode in.bin -o nofolder/../in.bin"
    "64|is the input|decode - -o in.bin|in.bin"
    "64|needs a file name|decode in.bin -o ''"
    "64|needs a file name|receive -o x.bmp --raw ''"
    "64|needs a file name|decode '' -o x.bmp"
    "64|needs a port name|receive -o x.bmp --port ''"
    "64|needs a port name|listen --port ''"
    "64|needs a folder|listen --dir ''"
    "64|name the same file|receive -o same.bmp --raw same.bmp"
    "64|name the same file|receive -o x.bmp --raw ./x.bmp"
    "64|name the same file|receive -o - --raw -"
    "1|not a serial device|listen --wait-for-port --port /dev/null"
    "64|as a capture cut short|receive -o x.png --raw folder/../x.partial.bin"
    "1|cannot write 'shared/ro.bmp': Permission denied|receive -o shared/ro.bmp --port /dev/null||nobody"
    "1|folder 'full': No space left|receive -o full/x.bmp --port /dev/null||full"
    "1|cannot use folder 'rodir': Permission denied|listen --port /dev/null --dir rodir||nobody"
    "1|cannot read 'folder': Is a directory|decode folder -o x.bmp"
    "1|cannot read 'missing.bin': No such file|decode missing.bin -o x.bmp"
    "1|cannot write 'folder': is a folder|decode in.bin -o folder"
    "1|folder 'nofolder' does not exist|decode in.bin -o nofolder/x.bmp"
    "1|folder 'nofolder' does not exist|receive -o nofolder/x.bmp --port /dev/null"
    "1|folder 'nofolder' does not exist|receive -o x.bmp --raw nofolder/x.bin --port /dev/null"
    "1|open /dev/krt460-missing: No such file|receive -o x.bmp --port /dev/krt460-missing"
    "1|/dev/null: not a serial device|receive -o x.bmp --port /dev/null"
    "1|no such file|listen --port /dev/krt460-missing --dir new/nested"
    "2|not a complete hardcopy|decode text.bin -o x.bmp"
    "2|Read 2000 of 3328 bytes|decode short.bin -o x.bmp"
    "64|needs a folder|serve --dir ''"
    "64|--dir is required|serve"
    "64|takes ADDR:PORT|serve --dir folder --bind ''"
    "64|takes ADDR:PORT|serve --dir folder --bind ::1:8460"
    "64|takes ADDR:PORT|serve --dir folder --bind 127.0.0.1:65536"
    "1|cannot serve 'missing': No such file|serve --dir missing"
    "1|cannot serve 'in.bin': Not a directory|serve --dir in.bin"
    "1|cannot listen on 192.0.2.1 port 8460: Cannot assign requested address|serve --dir folder --bind 192.0.2.1:8460"
)
for entry in "${cases[@]}"; do
    IFS='|' read -r expected fragment arguments input who <<<"$entry"
    eval "args=($arguments)"
    if ! can_run_as "$who"; then
        echo "SKIPPED krt460 $arguments: cannot run as '$who' here"
        continue
    fi
    status=0
    run_as "$who" "$KRT460" "${args[@]}" >out.txt 2>err.txt <"${input:-/dev/null}" || status=$?
    [ "$status" -eq "$expected" ] || fail "krt460 $arguments: status $status, expected $expected"
    grep -qi -- "$fragment" err.txt || fail "krt460 $arguments: no '$fragment' in: $(cat err.txt)"
    [ "$(grep -c . err.txt)" -le 4 ] || fail "krt460 $arguments: too talkative"
    grep -q "error: error\|Error: Open\|()" err.txt && fail "krt460 $arguments: garbled: $(cat err.txt)"
    leftovers=$(ls -A . shared | grep -v -x -e in.bin -e folder -e KRT460.ini -e text.bin \
        -e short.bin -e out.txt -e err.txt -e shared -e full -e rodir -e ro.bmp -e . -e '' -e '.:' \
        -e 'shared:' || true)
    [ -z "$leftovers" ] || { fail "krt460 $arguments left: $leftovers"; rm -rf $leftovers; }
done
[ "$(md5sum in.bin)" = "$input_sum" ] || fail "the input was changed"
[ "$(cat shared/ro.bmp)" = old ] || fail "the read-only output was changed"

# The picture to stdout, every message on stderr; an endless stream on stdin ends at once;
# trailing bytes after a frame are ignored; --format ignores case; PNG holds the picture's
# pixels, at any scale.
"$KRT460" decode in.bin -o - 2>err.txt | cmp -s - "$SAMPLE_BMP" || fail "-o - did not give the picture"
timeout 10 "$KRT460" decode - -o zero.bmp </dev/zero 2>err.txt && fail "zeros decoded"
grep -q "Read more than 3328 bytes" err.txt || fail "endless stdin: $(cat err.txt)"
{ cat "$SAMPLE_FRAME"; printf 'trailing'; } | "$KRT460" decode - -o trail.png --format PNG --scale 3 2>err.txt
python3 "$PNG_CHECK" trail.png "$SAMPLE_BMP" || fail "--format PNG --scale 3 did not write the picture"
"$KRT460" decode in.bin -o one.png 2>err.txt
python3 "$PNG_CHECK" one.png "$SAMPLE_BMP" || fail "one.png does not hold the picture"
# A frame from a writer that stays open (a live tty) is decoded without waiting for more.
mkfifo open.fifo
{ cat "$SAMPLE_FRAME"; exec sleep 60; } >open.fifo &
writer=$!
status=0
timeout 10 "$KRT460" decode - -o open.bmp <open.fifo 2>err.txt || status=$?
kill "$writer" 2>/dev/null || true
wait "$writer" 2>/dev/null || true
[ "$status" -eq 0 ] && cmp -s open.bmp "$SAMPLE_BMP" || fail "open writer: status $status: $(cat err.txt)"
echo "cli errors: $((${#cases[@]} + 5 - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
