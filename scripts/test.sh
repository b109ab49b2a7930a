#!/usr/bin/env bash
# Builds and runs every test: Linux (with the CLI), the same under ThreadSanitizer, Windows under
# Wine, and a 60 s fuzz run.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$KRT460_ROOT"

FUZZ_SECONDS=${FUZZ_SECONDS:-60}
ensure_packages "${LINUX_PACKAGES[@]}" "${FUZZ_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}" \
    "${MSI_PACKAGES[@]}" "${CHECK_PACKAGES[@]}" "${BROWSER_PACKAGES[@]}"

summary=()
failed=0
record() { # name, status, detail
    summary+=("$(printf '%-8s %s  %s' "$1" "$([ "$2" -eq 0 ] && echo PASS || echo FAIL)" "$3")")
    [ "$2" -eq 0 ] || failed=$((failed + 1))
}
run_ctest() { # preset, log
    local status=0
    ctest --preset "$1" 2>&1 | tee "$2" || status=$?
    record "$1" "$status" "$(grep -E 'tests passed' "$2" | tail -n 1)"
}

logs=$(mktemp -d /tmp/krt460-test-logs.XXXXXX)
trap 'set +e; wine_session_stop; rm -rf "$logs"' EXIT

echo "== Linux build and tests"
build_preset "$LINUX_PRESET" # warnings are errors where we control the compiler
run_ctest "$LINUX_PRESET" "$logs/linux.log"

echo "== ThreadSanitizer build and tests"
build_preset tsan
run_ctest tsan "$logs/tsan.log"

echo "== Windows build and tests under Wine"
build_preset windows
wine_session_start
run_ctest windows "$logs/windows.log"
wine_session_stop

echo "== Fuzzing store-decode-border for ${FUZZ_SECONDS} s"
build_preset fuzz
cp -r tests/fuzz/corpus "$logs/corpus"
status=0
build/fuzz/tests/fuzz/fuzz_decode -max_total_time="$FUZZ_SECONDS" -max_len=8000 \
    -artifact_prefix="$logs/" "$logs/corpus" >"$logs/fuzz.log" 2>&1 || status=$?
tail -n 3 "$logs/fuzz.log"
if [ "$status" -ne 0 ]; then
    cat "$logs/fuzz.log" >&2
    ls "$logs"/crash-* 2>/dev/null && mkdir -p build/fuzz-findings && cp "$logs"/crash-* build/fuzz-findings/
fi
record fuzz "$status" "$(grep -E '^Done [0-9]+ runs' "$logs/fuzz.log" || echo 'finding reported')"

echo "== Release packages"
status=0
./scripts/package.sh >"$logs/package.log" 2>&1 || status=$?
version=$(project_version)
for file in "KRT460-$version-windows-x64.zip" "KRT460-$version-windows-x64.msi" \
    "krt460_${version}_amd64.deb" "krt460-$version-linux-x86_64.tar.gz" \
    "python3-krt460_${version}_amd64.deb"; do
    [ -s "dist/$file" ] || { echo "missing dist/$file"; status=1; }
done
# The Debian package carries the manual page, the (not enabled) listen and gallery services
# and their user.
contents=$(dpkg-deb -c "dist/krt460_${version}_amd64.deb" 2>&1 || true)
for file in ./usr/share/man/man1/krt460.1.gz ./usr/lib/systemd/system/krt460-listen@.service \
    ./usr/lib/systemd/system/krt460-gallery.service ./usr/lib/sysusers.d/krt460.conf \
    ./usr/lib/tmpfiles.d/krt460.conf; do
    grep -q " $file\$" <<<"$contents" || { echo "the package lacks $file"; status=1; }
done
# Its maintainer scripts, as the package carries them.
dpkg-deb -e "dist/krt460_${version}_amd64.deb" "$logs/control" &&
    bash tests/package_scripts_test.sh "$logs/control" || status=1
# Debian's own checker, on whatever the package holds: no error and no warning.
lintian --fail-on error,warning "dist/krt460_${version}_amd64.deb" \
    "dist/python3-krt460_${version}_amd64.deb" >"$logs/lintian.log" 2>&1 ||
    { cat "$logs/lintian.log"; echo "lintian finds fault with the Debian package"; status=1; }
[ "$status" -eq 0 ] || cat "$logs/package.log"
record package "$status" "$(ls dist | tr '\n' ' ')"

echo "== The Windows installer under Wine: install, upgrade, the shortcut, uninstall"
status=0
bash tests/wine/msi_install_test.sh "dist/KRT460-$version-windows-x64.msi" \
    build/windows/generated/krt460.wxs build/windows/msi-files \
    build/windows/tests/e2e/e2e_driver.exe "$LINUX_BUILD/tools/instrument_simulator" \
    samples/sample_hardcopy.bin samples/sample_hardcopy.bmp 2>&1 | tee "$logs/msi.log" || status=$?
record msi "$status" "$(grep -E '^msi: ' "$logs/msi.log" || echo 'did not finish')"

echo
echo "== Summary"
printf '%s\n' "${summary[@]}"
total=${#summary[@]}
echo "suites: $((total - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
