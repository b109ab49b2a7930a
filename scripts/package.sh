#!/usr/bin/env bash
# Release packages into dist/: for Windows KRT460-<version>-windows-x64.msi, the per-user
# installer (KRT460.exe, krt460.exe, README, licence), and the zip of KRT460.exe, README and
# licence; krt460's Debian package and tarball for Linux, and python3-krt460's Debian package.
# --linux-only (the default on any machine but x86_64, such as a Raspberry Pi): krt460's
# packages alone, built with the machine's own g++, without MinGW or Wine.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$KRT460_ROOT"
case "${1:-}" in
"" | --linux-only) ;;
*) echo "usage: $0 [--linux-only]" >&2; exit 64 ;;
esac
if [ "${1:-}" = --linux-only ] || [ "$(uname -m)" != x86_64 ]; then
    # Any recent g++: warnings stay warnings, as the linux preset builds.
    ensure_packages "${LINUX_PACKAGES[@]}" dpkg-dev
    builds=(linux)
else
    ensure_packages "${LINUX_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}" "${MSI_PACKAGES[@]}" dpkg-dev
    builds=("$LINUX_PRESET" windows)
fi
mkdir -p dist
for preset in "${builds[@]}"; do
    build_preset "$preset" >/dev/null
    (cd "build/$preset" && cpack -B "$KRT460_ROOT/dist" >/dev/null)
done
# The Python module for the machine's python3, beside krt460's package.
cmake --build "build/${builds[0]}" --target python_deb >/dev/null
mv "build/${builds[0]}"/python3-krt460_*.deb dist/
rm -rf dist/_CPack_Packages
if [ "${builds[-1]}" = windows ]; then
    cmake --build --preset windows --target msi >/dev/null
    cp "build/windows/KRT460-$(project_version)-windows-x64.msi" dist/
fi
ls -l dist
