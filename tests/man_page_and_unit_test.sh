#!/usr/bin/env bash
# The manual page renders without a warning and names every command and exit status that
# krt460 --help shows; systemd accepts the listen and gallery units and the services' user
# (where systemd-analyze is there).
# Arguments: krt460 krt460.1.gz krt460-listen@.service krt460-gallery.service krt460.sysusers
set -euo pipefail
KRT460=$1 MAN_PAGE=$2 UNIT=$3 GALLERY_UNIT=$4 SYSUSERS=$5
work=$(mktemp -d /tmp/krt460-man-unit.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

zcat "$MAN_PAGE" >"$work/krt460.1"
warnings=$(groff -man -ww -z "$work/krt460.1" 2>&1) || fail "groff failed"
[ -z "$warnings" ] || fail "groff warns: $warnings"
text=$(groff -man -Tutf8 "$work/krt460.1" 2>/dev/null | col -b)
help=$("$KRT460" --help)
commands=$(sed -n '/^Subcommands:/,$ s/^  \([a-z]*\) .*/\1/p' <<<"$help")
[ "$(wc -w <<<"$commands")" -eq 5 ] || fail "krt460 --help shows commands '$commands'"
for command in $commands; do
    grep -q "^   $command" <<<"$text" || fail "the page lacks the command $command"
done
for status in $(grep '^Exit status:' <<<"$help" | grep -oE '(: |; )[0-9]+ ' | grep -oE '[0-9]+'); do
    grep -qE "^       $status( |\$)" <<<"$text" || fail "the page lacks the exit status $status"
done

if command -v systemd-analyze >/dev/null; then
    # The instance as it would run, with this build's krt460 standing in for /usr/bin/krt460.
    sed "s#/usr/bin/krt460#$KRT460#" "$UNIT" >"$work/krt460-listen@ttyUSB0.service"
    sed "s#/usr/bin/krt460#$KRT460#" "$GALLERY_UNIT" >"$work/krt460-gallery.service"
    for unit in krt460-listen@ttyUSB0.service krt460-gallery.service; do
        out=$(systemd-analyze verify --man=no "$work/$unit" 2>&1) ||
            fail "systemd-analyze verify $unit failed"
        [ -z "$out" ] || fail "systemd-analyze verify $unit: $out"
    done
    out=$(systemd-sysusers --dry-run "$(realpath "$SYSUSERS")" 2>&1) || fail "sysusers: $out"
else
    echo "systemd-analyze not installed: the units are not verified"
fi
echo "man page and unit: $((failures == 0 ? 1 : 0)) passed, $failures failed"
[ "$failures" -eq 0 ]
