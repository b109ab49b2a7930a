#!/usr/bin/env bash
# The main job: builds krt460 and decodes the sample hardcopy into Scp1.bmp in the current
# directory.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

ensure_packages "${LINUX_PACKAGES[@]}"
build_preset linux >/dev/null
"$KRT460_ROOT/build/linux/cli/krt460" decode "$KRT460_ROOT/samples/sample_hardcopy.bin" -o Scp1.bmp
