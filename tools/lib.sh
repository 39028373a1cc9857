# Shared by tools/run, tools/test, tools/demo and tools/bench: installs what is
# missing, builds, and sets up a private Wine prefix on a display.
# Sourced, not run. Everything here is safe to repeat.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${ZORVANE_BUILD:-$ROOT/build}

as_root() {
    if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}

install_missing() {
    local need=()
    command -v cmake >/dev/null || need+=(cmake)
    command -v make >/dev/null || need+=(make)
    command -v python3 >/dev/null || need+=(python3)
    command -v i686-w64-mingw32-g++-posix >/dev/null ||
        need+=(g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-i686-dev)
    [ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
    dpkg -s wine32:i386 >/dev/null 2>&1 || need+=(wine wine32:i386)
    command -v Xvfb >/dev/null || need+=(xvfb xauth)
    command -v xdotool >/dev/null || need+=(xdotool)
    command -v tesseract >/dev/null || need+=(tesseract-ocr tesseract-ocr-eng)
    command -v import >/dev/null && import -version 2>/dev/null | grep -q ImageMagick ||
        need+=(imagemagick)
    [ ${#need[@]} = 0 ] && return 0
    echo "Installing: ${need[*]}"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        as_root dpkg --add-architecture i386
    fi
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${need[@]}" >/dev/null
}

build() {
    local type=${1:-MinSizeRel} tests=${2:-ON}
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" \
        -DCMAKE_BUILD_TYPE="$type" -DZORVANE_TESTS="$tests" >/dev/null
    cmake --build "$BUILD" -j"$(nproc)"
}

# Starts a private X server on a free display and exports DISPLAY.
start_display() {
    local fdfile
    fdfile=$(mktemp)
    Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp 5>"$fdfile" >/dev/null 2>&1 &
    XVFB_PID=$!
    for _ in $(seq 100); do
        [ -s "$fdfile" ] && break
        sleep 0.1
    done
    export DISPLAY=":$(head -n1 "$fdfile")"
    rm -f "$fdfile"
}

# A throwaway 32-bit prefix under the build folder: never the user's own.
# Every program in it runs inside one virtual desktop with a taskbar (Wine
# enables the shell for a desktop named "shell"), so the
# notification area exists even without a desktop environment.
setup_prefix() {
    export HOME=${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}
    export WINEPREFIX=${ZORVANE_PREFIX:-$BUILD/wineprefix}
    export WINEARCH=win32
    export WINEDEBUG=${WINEDEBUG:--all}
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "Creating Wine prefix $WINEPREFIX"
        mkdir -p "$WINEPREFIX"
        wineboot -i >/dev/null 2>&1
        wineserver -w
        wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d shell /f >/dev/null 2>&1
        wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v shell /d 1024x768 /f >/dev/null 2>&1
        wineserver -w
    fi
}

# Starts the virtual desktop and keeps the prefix's services up, detached from
# our output: a test runner waits for every holder of its pipes, and Wine's
# long-lived processes would otherwise inherit them.
start_desktop() {
    wineserver -p
    setsid wine explorer /desktop=shell,1024x768 </dev/null >/dev/null 2>&1 &
    for _ in $(seq 150); do
        xdotool search --name '^shell - Wine desktop$' >/dev/null 2>&1 && sleep 1 && return 0
        sleep 0.2
    done
    echo "warning: the Wine desktop did not appear" >&2
}

stop_wine() {
    if [ -n "${WINEPREFIX:-}" ]; then
        wineserver -k >/dev/null 2>&1 || true
    fi
    if [ -n "${XVFB_PID:-}" ]; then
        kill "$XVFB_PID" 2>/dev/null || true
    fi
    return 0
}
