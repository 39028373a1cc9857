# Shared by tools/run, tools/test, tools/demo and tools/bench: installs what is
# missing, builds, and sets up private Wine prefixes on displays of their own.
# Sourced, not run. Everything here is safe to repeat.
#
# Two architectures, built from the same sources:
#   i386  build/      the product, run by wine32 in a win32 prefix
#   x64   build/x64   the same program as x86_64, run by wine64 in a win64 prefix
# Some 64-bit hosts cannot execute IA-32 code at all; there the i386 tests run
# under the WoW64 Wine (below), in a 64-bit prefix, as on 64-bit Windows.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${ZORVANE_BUILD:-$ROOT/build}
WINE32=/usr/lib/wine/wine
WINE64=/usr/lib/wine/wine64

as_root() {
    if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}

# The user's language and the ANSI code page that Wine gives a program come
# from the Unix locale. The tests start Zorvane.exe as a German, a British
# English and a Japanese user, and compare paths as a Turkish and a Japanese
# one; the locales are made once from Debian's sources.
TEST_LOCALES=(de_DE en_GB ja_JP tr_TR)
install_locales() {
    local locale
    # localedef comes with the C library; the locales' sources do not.
    [ -f /usr/share/i18n/charmaps/UTF-8.gz ] || {
        as_root apt-get update -qq
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            locales >/dev/null
    }
    for locale in "${TEST_LOCALES[@]}"; do
        locale -a 2>/dev/null | grep -qx "$locale.utf8" ||
            as_root localedef -i "$locale" -f UTF-8 "$locale.UTF-8"
    done
}

install_missing() {
    install_locales
    local need=()
    command -v cmake >/dev/null || need+=(cmake)
    command -v make >/dev/null || need+=(make)
    command -v python3 >/dev/null || need+=(python3)
    command -v i686-w64-mingw32-g++-posix >/dev/null ||
        need+=(g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-i686-dev)
    command -v x86_64-w64-mingw32-g++-posix >/dev/null ||
        need+=(g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev)
    [ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
    dpkg -s wine32:i386 >/dev/null 2>&1 || need+=(wine wine32:i386)
    [ -x "$WINE64" ] || need+=(wine64)
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

# --- The WoW64 Wine ----------------------------------------------------------
# A Wine built in WoW64 mode runs 32-bit Windows programs in a 64-bit prefix
# with no 32-bit host libraries and no 32-bit Linux system calls, so it runs
# them even where the kernel executes no IA-32 code. Debian unstable's Wine is
# built so, but needs a newer C library than this system's: it lives in a
# Debian root of its own, which tools/wow64 enters. The root is about 1.7 GB,
# made once per machine, outside any clone: every clone and build folder of
# the machine shares it, and throwing a build folder away costs nothing.
WOW64_ROOT=${ZORVANE_WOW64_ROOT:-/var/lib/zorvane/wow64}
WOW64_ERROR=

# This system's own Debian mirror, from its package sources.
debian_mirror() {
    cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources \
        2>/dev/null | grep -v '^ *#' | grep -o 'https\?://[^ ]*/debian/\?\( \|$\)' | head -n1 |
        tr -d ' '
}

# Makes the root when it is missing. Two runs at once make it once: the
# second waits for the first. A root left half made is made again. Sets
# WOW64_ERROR when it cannot be had.
install_wow64() {
    [ -f "$WOW64_ROOT/.made" ] && { wow64_locales; return; }
    command -v debootstrap >/dev/null ||
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            debootstrap >/dev/null
    local log=$WOW64_ROOT.log
    as_root mkdir -p "$(dirname "$WOW64_ROOT")"
    echo "Making the WoW64 Wine in $WOW64_ROOT, once per machine (about two minutes)"
    # shellcheck disable=SC2016 # expanded by the shell that holds the lock
    # The index of that suite here is a frozen snapshot whose Release file has expired.
    if ! as_root flock "$WOW64_ROOT.lock" bash -euc '
        root=$1 mirror=$2
        [ -f "$root/.made" ] && exit 0
        start=$SECONDS
        rm -rf "$root.new"
        apt=(chroot "$root.new" env DEBIAN_FRONTEND=noninteractive
             apt-get -o Acquire::Check-Valid-Until=false -y -qq)
        debootstrap --variant=minbase unstable "$root.new" "$mirror"
        "${apt[@]}" update
        "${apt[@]}" install --no-install-recommends wine wine64 libwine
        "${apt[@]}" clean
        rm -rf "$root"
        mv "$root.new" "$root"
        touch "$root/.made"
        echo "Made the WoW64 Wine in $((SECONDS - start)) s"
    ' wow64 "$WOW64_ROOT" "$(debian_mirror)" >"$log" 2>&1; then
        WOW64_ERROR="the WoW64 Wine could not be made: $(grep -v '^I: ' "$log" | tail -n1) (see $log)"
        return 1
    fi
    grep '^Made' "$log" || true
    wow64_locales
}

# The tests start programs in the test locales under the WoW64 Wine too,
# whose C library is the root's own.
wow64_locales() {
    local locale missing=()
    for locale in "${TEST_LOCALES[@]}"; do
        chroot "$WOW64_ROOT" locale -a 2>/dev/null | grep -qx "$locale.utf8" || missing+=("$locale")
    done
    [ ${#missing[@]} = 0 ] && return 0
    # shellcheck disable=SC2016 # expanded by the shell that holds the lock
    if ! as_root flock "$WOW64_ROOT.lock" chroot "$WOW64_ROOT" sh -euc '
        [ -f /usr/share/i18n/charmaps/UTF-8.gz ] ||
            DEBIAN_FRONTEND=noninteractive apt-get -o Acquire::Check-Valid-Until=false -y -qq \
                install --no-install-recommends locales
        for locale; do localedef -i "$locale" -f UTF-8 "$locale.UTF-8"; done
    ' locales "${missing[@]}" >>"$WOW64_ROOT.log" 2>&1; then
        WOW64_ERROR="the WoW64 Wine's locales could not be made (see $WOW64_ROOT.log)"
        return 1
    fi
}

# Whether this host executes IA-32 code. Some kernels are built without it;
# wine32 then fails with "Exec format error". Asked once per run.
host_runs_i386() {
    if [ -z "${HOST_RUNS_I386:-}" ]; then
        HOST_RUNS_I386=no
        if /usr/lib/wine/wineserver32 --version >/dev/null 2>&1; then HOST_RUNS_I386=yes; fi
    fi
    [ "$HOST_RUNS_I386" = yes ]
}

# The architectures that run here: i386 wherever the host can execute it,
# x64 always; ZORVANE_ARCH=i386 or x64 limits a run to one. Sets RUN_ARCHS
# and, for each architecture, ARCH_NOTE_<arch> saying why it does not run;
# I386_WAY says whether i386 runs under wine32 or under the WoW64 Wine.
choose_archs() {
    RUN_ARCHS=()
    ARCH_NOTE_i386= ARCH_NOTE_x64=
    case ${ZORVANE_ARCH:-} in
    "" | i386 | x64) ;;
    *) echo "ZORVANE_ARCH must be i386 or x64, not '$ZORVANE_ARCH'" >&2; return 1 ;;
    esac
    I386_WAY=wine32
    if [ "${ZORVANE_ARCH:-i386}" != i386 ]; then
        ARCH_NOTE_i386="not tested, ZORVANE_ARCH=$ZORVANE_ARCH"
    elif host_runs_i386; then
        RUN_ARCHS+=(i386)
    elif [ -f "$WOW64_ROOT/.made" ]; then
        I386_WAY=wow64
        RUN_ARCHS+=(i386)
    else
        ARCH_NOTE_i386="not tested, this host cannot execute 32-bit code${WOW64_ERROR:+, and $WOW64_ERROR}"
        if [ "${ZORVANE_ARCH:-}" = i386 ]; then
            echo "ZORVANE_ARCH=i386, but this host cannot execute 32-bit code" >&2
            return 1
        fi
    fi
    if [ "${ZORVANE_ARCH:-x64}" != x64 ]; then
        ARCH_NOTE_x64="not tested, ZORVANE_ARCH=$ZORVANE_ARCH"
    else
        RUN_ARCHS+=(x64)
    fi
    # What only 64-bit Windows does is tested under the WoW64 Wine on every
    # host: where wine32 runs the i386 tests, by the wow64 tests beside them.
    ARCH_NOTE_wow64=
    if [ "$I386_WAY" = wow64 ]; then
        ARCH_NOTE_wow64="tested with i386, under WoW64"
    elif [[ " ${RUN_ARCHS[*]} " != *" i386 "* ]]; then
        ARCH_NOTE_wow64="not tested, as i386"
    elif [ -f "$WOW64_ROOT/.made" ]; then
        RUN_ARCHS+=(wow64)
    else
        ARCH_NOTE_wow64="not tested: ${WOW64_ERROR:-no WoW64 Wine}"
    fi
}

# The architecture for one program run (tools/run, demo, bench): i386 where
# the host can, else x64; ZORVANE_ARCH chooses one.
preferred_arch() {
    if [ -n "${ZORVANE_ARCH:-}" ]; then
        echo "$ZORVANE_ARCH"
    elif host_runs_i386; then
        echo i386
    else
        echo x64
    fi
}

# Points TREE, TOOLCHAIN, WINE and the Wine variables at one architecture.
# The prefix is ZORVANE_PREFIX when set, else the tree's own. "wow64" is the
# i386 tree's programs under the WoW64 Wine, in a 64-bit prefix of their own
# under build/wow64: as on 64-bit Windows. i386 itself runs so where the host
# cannot execute wine32 (I386_WAY, see choose_archs).
use_arch() {
    ARCH=$1
    WINESERVER_VIA=
    export WINEDEBUG=${WINEDEBUG:--all}
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
    export HOME=${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}
    [ "$ARCH" = i386 ] && [ "${I386_WAY:-wine32}" = wow64 ] && ARCH=wow64
    case $ARCH in
    i386)
        TREE=$BUILD TOOLCHAIN=$ROOT/cmake/mingw-i686.cmake WINE=$WINE32
        export WINEARCH=win32
        unset WINELOADER
        ;;
    x64)
        # Never through the wine wrapper: it picks wine32 whenever wine32
        # is installed.
        TREE=$BUILD/x64 TOOLCHAIN=$ROOT/cmake/mingw-x86_64.cmake WINE=$WINE64
        export WINEARCH=win64 WINELOADER=$WINE64
        ;;
    wow64)
        # The i386 tree; its Wine sets its own loader inside its root.
        TREE=$BUILD TOOLCHAIN=$ROOT/cmake/mingw-i686.cmake WINE=$ROOT/tools/wow64
        WINESERVER_VIA=$WINE
        export WINEARCH=win64
        unset WINELOADER
        export WINEPREFIX=${ZORVANE_PREFIX:-$BUILD/wow64/wineprefix}
        ENV_FILE=$BUILD/wow64/wine.env
        # Where the i386 tests themselves run so, ctest finds it as theirs.
        [ "$1" = i386 ] && ENV_FILE=$TREE/wine.env
        ARCH=$1
        return 0
        ;;
    *) echo "unknown architecture $ARCH" >&2; return 1 ;;
    esac
    export WINEPREFIX=${ZORVANE_PREFIX:-$TREE/wineprefix}
    ENV_FILE=$TREE/wine.env
}

# The Wine server of the current architecture's Wine.
wineserver() {
    if [ -n "${WINESERVER_VIA:-}" ]; then
        "$WINESERVER_VIA" --server "$@"
    else
        command wineserver "$@"
    fi
}

# Whether the current Wine runs 32-bit Windows code; says why not otherwise.
# Only the WoW64 Wine can fail here: wine32 was asked before (host_runs_i386).
runs_32bit_code() {
    [ -z "${WINESERVER_VIA:-}" ] && return 0
    local out
    out=$("$WINE" 'C:\windows\syswow64\cmd.exe' /c echo 32-bit code runs 2>&1) || true
    [[ $out == *"32-bit code runs"* ]] && return 0
    echo "the WoW64 Wine runs no 32-bit code here: $(echo "$out" | grep -v '^ *$' | tail -n1)"
    return 1
}

# build TREE TOOLCHAIN [BuildType] [ON|OFF for the tests] [extra cmake options]
build_tree() {
    local tree=$1 toolchain=$2 type=${3:-MinSizeRel} tests=${4:-ON}
    shift 4 || shift $#
    cmake -S "$ROOT" -B "$tree" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_BUILD_TYPE="$type" -DZORVANE_TESTS="$tests" "$@" >/dev/null
    cmake --build "$tree" -j"$(nproc)"
}

# Builds the current architecture's tree (see use_arch).
build() {
    build_tree "$TREE" "$TOOLCHAIN" "${1:-MinSizeRel}" "${2:-ON}"
}

XVFB_PIDS=()
WINE_PREFIXES=()

# Starts a private X server on a free display and exports DISPLAY.
start_display() {
    local fdfile
    fdfile=$(mktemp)
    Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp 5>"$fdfile" >/dev/null 2>&1 &
    XVFB_PIDS+=($!)
    for _ in $(seq 100); do
        [ -s "$fdfile" ] && break
        sleep 0.1
    done
    export DISPLAY=":$(head -n1 "$fdfile")"
    rm -f "$fdfile"
}

# A throwaway prefix of the current architecture under the build folder:
# never the user's own. Every program in it runs inside one virtual desktop
# with a taskbar (Wine enables the shell for a desktop named "shell"), so the
# notification area exists even without a desktop environment.
declare -A prefix_server=()
setup_prefix() {
    WINE_PREFIXES+=("$WINEPREFIX")
    prefix_server[$WINEPREFIX]=${WINESERVER_VIA:-}
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "Creating Wine prefix $WINEPREFIX"
        mkdir -p "$WINEPREFIX"
        "$WINE" wineboot -i >/dev/null 2>&1
        wineserver -w
        "$WINE" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d shell /f >/dev/null 2>&1
        "$WINE" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v shell /d 1024x768 /f >/dev/null 2>&1
        wineserver -w
    fi
}

# Starts the virtual desktop and keeps the prefix's services up, detached from
# our output: a test runner waits for every holder of its pipes, and Wine's
# long-lived processes would otherwise inherit them.
start_desktop() {
    wineserver -p
    setsid "$WINE" explorer /desktop=shell,1024x768 </dev/null >/dev/null 2>&1 &
    for _ in $(seq 150); do
        xdotool search --name '^shell - Wine desktop$' >/dev/null 2>&1 && sleep 1 && return 0
        sleep 0.2
    done
    echo "warning: the Wine desktop did not appear" >&2
}

# Records the current architecture's display and Wine settings in its tree,
# where tools/in-wine and the desktop check read them for every test.
write_wine_env() {
    mkdir -p "$(dirname "$ENV_FILE")"
    {
        printf 'export DISPLAY=%q WINEPREFIX=%q WINEARCH=%q WINEDEBUG=%q\n' \
            "$DISPLAY" "$WINEPREFIX" "$WINEARCH" "$WINEDEBUG"
        printf 'export WINEDLLOVERRIDES=%q HOME=%q\n' "$WINEDLLOVERRIDES" "$HOME"
        if [ -n "${WINELOADER:-}" ]; then
            printf 'export WINELOADER=%q\n' "$WINELOADER"
        else
            printf 'unset WINELOADER\n'
        fi
        # Exported: a test starts Zorvane.exe from the Unix side with it.
        printf 'export ZORVANE_WINE=%q\n' "$WINE"
    } >"$ENV_FILE"
}

stop_wine() {
    local prefix pid
    for prefix in "${WINE_PREFIXES[@]}"; do
        WINESERVER_VIA=${prefix_server[$prefix]:-} WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 ||
            true
    done
    for pid in "${XVFB_PIDS[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    return 0
}
