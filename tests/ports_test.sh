#!/usr/bin/env bash
# krt460 ports on a machine of its own: a private mount namespace with a made-up /sys/class/tty
# and /dev. Listed: the ttys with a driver behind them, Bluetooth links and the Pi's alias; not
# a ttyS without a UART, nor a virtual console. Needs root (unshare -m), else skipped.
# Arguments: krt460
set -euo pipefail
KRT460=$1
unshare -m true 2>/dev/null || { echo "skipped: unshare -m is not allowed here (needs root)"; exit 77; }
work=$(mktemp -d /tmp/krt460-ports.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/sys/tty1" "$work/sys/rfcomm0" "$work/dev" "$work/drivers"
for entry in ttyAMA0:uart-pl011 ttyXRUSB0:cdc_xr_usb_serial ttyS0:port; do
    mkdir -p "$work/sys/${entry%:*}/device"
    ln -s "$work/drivers/${entry#*:}" "$work/sys/${entry%:*}/device/driver"
    touch "$work/dev/${entry%:*}"
done
echo 0 >"$work/sys/ttyS0/type"
touch "$work/dev/rfcomm0" "$work/dev/tty1"
ln -s ttyAMA0 "$work/dev/serial0"

unshare -m --propagation private sh -c \
    'mount --bind "$1/sys" /sys/class/tty && mount --bind "$1/dev" /dev && exec "$2" ports' \
    sh "$work" "$KRT460" >"$work/out.txt" 2>&1 || true
expected='/dev/rfcomm0  Bluetooth serial link
/dev/ttyAMA0  driver uart-pl011
/dev/ttyXRUSB0  driver cdc_xr_usb_serial
/dev/serial0  -> /dev/ttyAMA0'
[ "$(cat "$work/out.txt")" = "$expected" ] || { echo "FAIL: krt460 ports listed:"; cat "$work/out.txt"; exit 1; }
echo "ports: 1 passed"
