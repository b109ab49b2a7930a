#!/usr/bin/env bash
# Release packages into dist/: KRT460-<version>-windows-x64.zip (KRT460.exe, README, licence),
# and krt460's Debian package and tarball for Linux.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$KRT460_ROOT"
ensure_packages "${LINUX_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}" dpkg-dev
build_preset linux >/dev/null
build_preset windows >/dev/null
mkdir -p dist
for preset in linux windows; do
    (cd "build/$preset" && cpack -B "$KRT460_ROOT/dist" >/dev/null)
done
rm -rf dist/_CPack_Packages
ls -l dist
