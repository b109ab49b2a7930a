#!/usr/bin/env bash
# The Debian package's maintainer scripts call what dh_installsystemd's would, with systemd
# running and without it (a container, a chroot): stand-ins on PATH record every call, and a
# private /run has /run/systemd/system or not. Needs root for the private mount (else skipped).
# Argument: the folder of postinst, prerm and postrm.
set -euo pipefail
SCRIPTS=$(realpath "$1")
work=$(mktemp -d /tmp/krt460-scripts.XXXXXX)
trap 'rm -rf "$work"' EXIT
unshare --mount true 2>/dev/null || { echo "no private mount namespace: skipped"; exit 77; }
mkdir "$work/bin"
for command in systemctl deb-systemd-invoke deb-systemd-helper systemd-sysusers systemd-tmpfiles; do
    # The gallery is not enabled: deb-systemd-helper's was-enabled answers no.
    printf '#!/bin/sh\necho "${0##*/} $*" >>"%s"\ncase "$*" in *was-enabled*) exit 1 ;; esac\n' \
        "$work/calls" >"$work/bin/$command"
    chmod +x "$work/bin/$command"
done

setup="systemd-sysusers krt460.conf|systemd-tmpfiles --create krt460.conf|"
state="deb-systemd-helper debian-installed krt460-gallery.service|"
state+="deb-systemd-helper --quiet was-enabled krt460-gallery.service|"
state+="deb-systemd-helper update-state krt460-gallery.service|"
reload="systemctl --system daemon-reload|"
units="krt460-listen@*.service krt460-gallery.service"
# systemd (yes/no), script and its arguments, the calls it makes.
cases=(
    "yes|postinst configure|$setup$state$reload"
    "yes|postinst configure 1.0.0|$setup$state${reload}deb-systemd-invoke try-restart $units|"
    "no|postinst configure 1.0.0|$setup$state"
    "yes|postinst abort-upgrade 1.1.0|$state${reload}deb-systemd-invoke try-restart $units|"
    "yes|prerm upgrade 1.1.0|"
    "yes|prerm remove|deb-systemd-invoke stop $units|"
    "no|prerm remove|"
    "yes|postrm remove|$reload"
    "no|postrm remove|"
    "yes|postrm purge|deb-systemd-helper purge krt460-gallery.service|"
)
failures=0
for row in "${cases[@]}"; do
    IFS='|' read -r systemd command _ <<<"$row"
    expected=${row#"$systemd|$command|"}
    : >"$work/calls"
    status=0
    # shellcheck disable=SC2086 # the command is the script and its arguments
    PATH=$work/bin:$PATH unshare --mount sh -c \
        'mount -t tmpfs krt460-run /run && { [ "$1" = no ] || mkdir -p /run/systemd/system; } &&
         shift && cd / && exec "$@"' sh "$systemd" "$SCRIPTS/"$command >"$work/out" 2>&1 || status=$?
    calls=$(tr '\n' '|' <"$work/calls")
    if [ "$status" -ne 0 ] || [ -s "$work/out" ] || [ "$calls" != "$expected" ]; then
        echo "FAIL: $command (systemd: $systemd) exits with $status, says '$(cat "$work/out")'"
        echo "  and calls '$calls', expected '$expected'"
        failures=$((failures + 1))
    fi
done
echo "maintainer scripts: $((${#cases[@]} - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
