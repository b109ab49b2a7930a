#!/usr/bin/env bash
# The Windows installer as a user without administrator rights meets it, under Wine: its tables
# write nothing for all users; an older version, then this one, installed silently into a
# fresh prefix with a home of its own (and Wine's menu builder off, so that nothing lands in
# the real home); the program, started as its Start-menu shortcut starts it, writes its
# pictures to Documents\KRT460; an uninstall removes the program and keeps the user's files.
# Arguments: KRT460-<version>-windows-x64.msi krt460.wxs msi-files e2e_driver.exe
#            instrument_simulator sample.bin sample.bmp
# (krt460.wxs and msi-files: what the windows build made the installer from.)
set -euo pipefail
MSI=$(realpath "$1") WXS=$(realpath "$2") FILES=$(realpath "$3") DRIVER=$(realpath "$4")
SIMULATOR=$(realpath "$5") SAMPLE_FRAME=$(realpath "$6") SAMPLE_BMP=$(realpath "$7")
source "$(dirname "$0")/../../scripts/lib.sh"
[ -x "$SIMULATOR" ] || { echo "no simulator at $SIMULATOR: build the linux-ci preset first" >&2; exit 1; }

work=$(mktemp -d /tmp/krt460-msi.XXXXXX)
cleanup() { set +e; stop_simulator; wine_session_stop; xvfb_stop; rm -rf "$work"; }
trap cleanup EXIT
trap 'exit 130' INT # so that the cleanup runs when the run is interrupted or killed
trap 'exit 143' TERM HUP
cd "$work"

failures=0 passed=0
check() { # description, then the command that must succeed
    local what=$1
    shift
    if "$@"; then
        echo "PASS $what"
        passed=$((passed + 1))
    else
        echo "FAIL $what"
        failures=$((failures + 1))
    fi
}
table() { msiinfo export "$1" "$2" | tr -d '\r' | tail -n +4; } # the rows, not the header

# The tables: every folder under the user's profile, every registry value under HKCU (root 1),
# each component found by one of them, and a package that asks for no elevation.
check "no folder of the package is a machine-wide one" eval '! table "$MSI" Directory | cut -f1 |
    grep -qE "^(ProgramFiles(64)?|CommonFiles(64)?|CommonAppData|Windows|System(64)?|CommonDesktop)Folder\$"'
check "every registry value goes to HKCU" \
    eval '[ -n "$(table "$MSI" Registry)" ] && table "$MSI" Registry | awk -F"\t" "\$2 != 1 { exit 1 }"'
check "each component's key path is an HKCU value" \
    eval 'table "$MSI" Component | awk -F"\t" "{ print \$6 }" | while read -r key; do
              table "$MSI" Registry | awk -F"\t" -v key="$key" "\$1 == key && \$2 == 1 { found = 1 } END { exit !found }" || exit 1
          done'
check "no ALLUSERS, and no elevation asked for" \
    eval '! table "$MSI" Property | grep -q "^ALLUSERS" &&
          (( $(msiinfo suminfo "$MSI" | sed -n "s/^Source: \([0-9]*\).*/\1/p") & 8 ))'

# An older version from the same .wxs, whose KRT460.exe differs, so that an upgrade that leaves
# it behind shows.
cp -r "$FILES" older
printf 'an older build' >>older/KRT460.exe
(cd older && wixl --arch x64 -D Version=0.9.0 -o "$work/older.msi" "$WXS")

export HOME=$work/home
mkdir -p "$HOME"
xvfb_start 1024x768
wine_session_start COM1
start_simulator "$WINE_SESSION_DIR/com1" --trigger "$work/trigger1" --baud 38400

# The user's folders by their Windows names, and where Wine keeps them.
wine cmd /c 'echo %LOCALAPPDATA%;%APPDATA%;%USERPROFILE%' >folders.txt 2>&1
IFS=';' read -r local_data roaming profile < <(tr -d '\r' <folders.txt)
unix() { winepath -u "$1" 2>/dev/null; }
program=$(unix "$local_data\\Programs\\KRT460")
start_menu=$(unix "$roaming\\Microsoft\\Windows\\Start Menu")
desktop=$(unix "$profile\\Desktop")
pictures=$(unix "$profile\\Documents\\KRT460")
registry() { wine reg query "$1" /s >reg.txt 2>&1 || true; tr -d '\r' <reg.txt; }
products() { # the products the Installer knows and Apps & features lists, named KRT460
    {
        registry 'HKCU\Software\Microsoft\Installer\Products' | grep -cE '^ +ProductName +REG_SZ +KRT460$' || true
        for root in HKCU HKLM; do
            registry "$root\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall" |
                grep -cE '^ +DisplayName +REG_SZ +KRT460$' || true
        done
    } | paste -sd ' '
}
shortcuts() { find -H "$start_menu" "$desktop" -maxdepth 3 -iname '*.lnk' -printf '%P\n' 2>/dev/null | sort; }

status=0
wine msiexec /i "$(winepath -w older.msi)" /qn >install.log 2>&1 || status=$?
check "the older version installs silently" test "$status" -eq 0
check "and makes Documents\\KRT460" test -d "$pictures"
mkdir -p "$pictures"
cp "$SAMPLE_BMP" "$pictures/messung.bmp" # a picture the user saved

status=0
wine msiexec /i "$(winepath -w "$MSI")" /qn '/l*v' 'C:\install.txt' >install.log 2>&1 || status=$?
check "this version installs over it silently" test "$status" -eq 0
check "the new KRT460.exe, the command, the README and the licence are in the user's Programs" \
    eval 'cmp -s "$program/KRT460.exe" "$FILES/KRT460.exe" && cmp -s "$program/cli/krt460.exe" "$FILES/cli/krt460.exe" &&
          cmp -s "$program/README.md" "$FILES/README.md" && cmp -s "$program/LICENSE" "$FILES/LICENSE"'
check "nothing under Program Files" \
    eval '! ls -d "$WINEPREFIX/drive_c/Program Files"*/KRT460 2>/dev/null'
found=$(products)
check "one product is registered (Installer, Apps & features under HKCU, HKLM): $found" \
    test "$found" = "1 0 1"
version=$(table "$MSI" Property | sed -n 's/^ProductVersion\t//p')
uninstall=$(registry 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall')
check "Apps & features shows KRT460 $version" \
    eval 'grep -qE "^ +DisplayVersion +REG_SZ +$version\$" <<<"$uninstall"'
icon=$(registry 'HKCU\Software\Microsoft\Installer\Products' | sed -n 's/^ *ProductIcon *REG_SZ *//p')
check "and its icon" cmp -s "$(unix "$icon")" "$FILES/krt460.ico"
found=$(shortcuts)
check "one shortcut, in the Start menu: $found" test "$found" = "Programs/KRT460.lnk"
check "Documents\\KRT460 is in the prefix's own home, with the user's picture kept" \
    eval '[[ "$(realpath "$pictures")" == "$HOME"/* ]] && cmp -s "$pictures/messung.bmp" "$SAMPLE_BMP"'

# The shortcut, read from the .lnk, starts the installed program in Documents\KRT460; Empfangen
# and Anzeigen there.
status=0
KRT460_E2E_TRIGGER1=$(winepath -w "$work/trigger1") KRT460_E2E_REFERENCE=$(winepath -w "$SAMPLE_BMP") \
    timeout 300 wine "$DRIVER" installed || status=$?
check "the program started from the shortcut writes Scp1.bmp and KRT460.ini to Documents\\KRT460" \
    eval '[ "$status" -eq 0 ] && cmp -s "$pictures/Scp1.bmp" "$SAMPLE_BMP" && [ -s "$pictures/KRT460.ini" ]'

status=0
wine msiexec /x "$(winepath -w "$MSI")" /qn >uninstall.log 2>&1 || status=$?
check "the uninstall succeeds silently" test "$status" -eq 0
found=$(products)
check "and removes the program, its shortcut and its registration: $found" \
    eval '[ ! -e "$program" ] && [ -z "$(shortcuts)" ] && [ "$found" = "0 0 0" ] &&
          ! registry "HKCU\\Software\\KRT460" | grep -q REG_'
check "Documents\\KRT460 keeps the user's files" \
    eval 'cmp -s "$pictures/Scp1.bmp" "$SAMPLE_BMP" && cmp -s "$pictures/messung.bmp" "$SAMPLE_BMP" &&
          [ -s "$pictures/KRT460.ini" ]'

if [ "$failures" -ne 0 ]; then # the Installer's log of this version's install (UTF-16 or not)
    tr -d '\0\r' <"$WINEPREFIX/drive_c/install.txt" | tail -n 40
    cat install.log uninstall.log
fi
echo "msi: $passed passed, $failures failed"
exit "$failures"
