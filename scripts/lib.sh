# Shared by the scripts: package installation and a private Wine session.
# shellcheck shell=bash

KRT460_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# The scripts build Linux as CI does, warnings as errors, into a folder of its own; the Windows
# tests take the instrument simulator from there (KRT460_HOST_TOOLS_DIR).
LINUX_PRESET=linux-ci
LINUX_BUILD=$KRT460_ROOT/build/$LINUX_PRESET

LINUX_PACKAGES=(cmake ninja-build g++ python3 libgtest-dev libbenchmark-dev libcli11-dev
                libpng-dev util-linux pkgconf libcpp-httplib-dev
                pybind11-dev python3-dev python3-pytest python3-numpy)
FUZZ_PACKAGES=(clang-14 libclang-rt-14-dev)
# What the tests of the manual page, the service units, durable writes and the Debian package use.
CHECK_PACKAGES=(groff-base bsdextrautils systemd dpkg-dev strace lintian)
# The gallery's test and screenshot: Debian's browser and its driver, through the system's python3.
BROWSER_PACKAGES=(chromium chromium-driver python3-selenium)
WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64 fonts-wine
                  xvfb socat x11-apps imagemagick xdotool)
# The Windows installer: wixl builds it, msiinfo reads its tables.
MSI_PACKAGES=(wixl msitools)
# measure_receive.sh: pyserial, to read a print as a plain script would, beside `krt460 receive`.
MEASURE_PACKAGES=(python3-serial)

# The version, as project() in CMakeLists.txt sets it.
project_version() {
    sed -n 's/^project(KRT460 VERSION \([0-9.]*\).*/\1/p' "$KRT460_ROOT/CMakeLists.txt"
}

# Installs whichever of the named Debian packages are missing.
ensure_packages() {
    local missing=()
    local package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    if [ "$(id -u)" -ne 0 ]; then
        echo "error: missing packages and not root; run as root or install them: ${missing[*]}" >&2
        return 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

build_preset() {
    (cd "$KRT460_ROOT" && cmake --preset "$1" >/dev/null &&
        cmake --build --preset "$1" --parallel "$(nproc)")
}

# A private Wine prefix with one persistent server, removed by wine_session_stop. The named COM
# ports (COM1 ...) are mapped to links $WINE_SESSION_DIR/com1 ..., which a simulator points at
# its pseudo-terminal. Wine maps ports only when a session starts, hence links, not devices.
wine_session_start() {
    WINE_SESSION_DIR=$(mktemp -d /tmp/krt460-wine.XXXXXX)
    # Without Wine's menu builder: it would write menu entries and file types into the home.
    export WINEPREFIX=$WINE_SESSION_DIR/pfx WINEDEBUG=-all \
        WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
    mkdir -p "$WINEPREFIX"
    local log=$WINE_SESSION_DIR/wineboot.log
    wineboot --init >"$log" 2>&1
    local port
    for port in "$@"; do
        wine reg add 'HKLM\Software\Wine\Ports' /v "$port" /t REG_SZ \
            /d "$WINE_SESSION_DIR/${port,,}" /f >>"$log" 2>&1
    done
    wineserver -w
    # The server persists between the session's programs (a minute without any, so that a run
    # that is killed outright leaves none behind for long), and the services start now with
    # their output in the log, so that no later process (a test under CTest) starts them
    # holding its own output pipes.
    wineserver -p60 >>"$log" 2>&1
    wineboot >>"$log" 2>&1
}

# Ends every process of the session. A Wine client still starting may bring up a new server,
# so the session is ended until its folder can be removed.
wine_session_stop() {
    [ -n "${WINE_SESSION_DIR:-}" ] || return 0
    local attempt
    for attempt in 1 2 3; do
        wineserver -k >/dev/null 2>&1 || true
        wineserver -w >/dev/null 2>&1 || true
        rm -rf "$WINE_SESSION_DIR" 2>/dev/null && break
        sleep 1
    done
    WINE_SESSION_DIR=
}

# Runs the command until it succeeds, for at most $1 seconds.
wait_for() {
    local limit=$1
    shift
    local i
    for i in $(seq $((limit * 20))); do
        "$@" && return 0
        sleep 0.05
    done
    return 1
}

# A private X server; sets DISPLAY. The server picks a free display number itself and reports
# it (-displayfd), so that two runs never race for one. $1: screen size (default 1024x768).
xvfb_start() {
    local size=${1:-1024x768} number_file
    number_file=$(mktemp /tmp/krt460-xvfb.XXXXXX)
    Xvfb -displayfd 3 -screen 0 "${size}x24" -nolisten tcp 3>"$number_file" >/dev/null 2>&1 &
    XVFB_PID=$!
    wait_for 10 grep -q '[0-9]' "$number_file" || {
        echo "Xvfb did not start" >&2
        rm -f "$number_file"
        return 1
    }
    export DISPLAY=":$(tr -dc '0-9' <"$number_file")"
    rm -f "$number_file"
}

xvfb_stop() {
    [ -n "${XVFB_PID:-}" ] || return 0
    kill "$XVFB_PID" 2>/dev/null || true
    wait "$XVFB_PID" 2>/dev/null || true
    XVFB_PID=
}

# Starts the instrument simulator on a new pty linked at $1, further arguments passed on; sets
# SIMULATOR_PID. Waits until the link exists.
start_simulator() {
    local link=$1
    shift
    "$SIMULATOR" "$SAMPLE_FRAME" --link "$link" "$@" >/dev/null &
    SIMULATOR_PID=$!
    wait_for 10 test -L "$link" || { echo "simulator did not create $link" >&2; return 1; }
}

stop_simulator() {
    [ -n "${SIMULATOR_PID:-}" ] || return 0
    kill "$SIMULATOR_PID" 2>/dev/null || true
    wait "$SIMULATOR_PID" 2>/dev/null || true
    SIMULATOR_PID=
}

# Runs a demonstration scenario of the end-to-end driver in a Wine virtual desktop (so windows
# have frames) in the current folder, and saves a screenshot of each step it announces as
# $2/krt460-STEP.png. Needs a Wine session, Xvfb and the simulator running.
run_demo() {
    local scenario=$1 shots=$2
    local exe=$KRT460_ROOT/build/windows/ui/KRT460.exe
    local driver=$KRT460_ROOT/build/windows/tests/e2e/e2e_driver.exe
    local log next
    log=$(mktemp /tmp/krt460-demo.XXXXXX)
    next=$(mktemp -u /tmp/krt460-demo-next.XXXXXX) # the step handshake, outside the user's folder
    KRT460_E2E_EXE=$(winepath -w "$exe") KRT460_E2E_NEXT=$(winepath -w "$next") \
        wine explorer /desktop=KRT460,560x340 "$driver" "$scenario" >"$log" 2>&1 &
    local pid=$! taken=0 step
    while kill -0 "$pid" 2>/dev/null; do
        step=$(sed -n 's/^READY \([a-z-]*\).*/\1/p' "$log" | sed -n "$((taken + 1))p")
        if [ -n "$step" ]; then
            sleep 1 # let the last repaint reach the screen
            xwd -root -silent | convert xwd:- -crop 560x340+0+0 +repage \
                "$shots/krt460-$step.png" || { kill "$pid"; wait "$pid"; return 1; }
            taken=$((taken + 1))
            touch "$next"
        fi
        sleep 0.1
    done
    wait "$pid" || true
    rm -f "$next"
    if grep -q '^FAIL' "$log" || [ "$taken" -eq 0 ]; then
        cat "$log" >&2
        rm -f "$log"
        return 1
    fi
    rm -f "$log"
}
