# Shared by the scripts: package installation and a private Wine session.
# shellcheck shell=bash

KRT460_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

LINUX_PACKAGES=(cmake ninja-build g++ python3 libgtest-dev libbenchmark-dev libcli11-dev
                libpng-dev util-linux)
FUZZ_PACKAGES=(clang-14 libclang-rt-14-dev)
WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64 fonts-wine
                  xvfb socat x11-apps imagemagick xdotool)

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

# A private Wine prefix with one persistent server, removed by wine_session_stop.
wine_session_start() {
    WINE_SESSION_DIR=$(mktemp -d /tmp/krt460-wine.XXXXXX)
    export WINEPREFIX=$WINE_SESSION_DIR/pfx WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    # The server first, so that the services wineboot starts stay up for the whole session and
    # no later process (a test under CTest) starts them with its own output pipes.
    mkdir -p "$WINEPREFIX"
    wineserver -p
    wineboot --init >"$WINE_SESSION_DIR/wineboot.log" 2>&1
}

wine_session_stop() {
    [ -n "${WINE_SESSION_DIR:-}" ] || return 0
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
    rm -rf "$WINE_SESSION_DIR"
    WINE_SESSION_DIR=
}
