# Shared by the checks that drive Wine's desktop from a shell (tests/desktop,
# tests/help): the tree's Wine settings from wine.env, a failure that leaves a
# screenshot, and a probe program that reports from the Windows side.
# Sourced after BUILD and NAME (the check's name) are set; PROBE names the
# probe program.
[ -f "$BUILD/wine.env" ] || { echo "FAIL: no $BUILD/wine.env: run this through tools/test" >&2; exit 1; }
source "$BUILD/wine.env"
wine() { "$ZORVANE_WINE" "$@"; }
SHOTS="$BUILD/screenshots"
WORK=$(mktemp -d)
mkdir -p "$SHOTS"

fail() {
    echo "FAIL: $*" >&2
    import -window root "$SHOTS/$NAME-failure.png" 2>/dev/null || true
    exit 1
}
probe() { wine "$PROBE" "$@" 2>/dev/null | tr -d '\r'; }
cleanup() {
    wine "$PROBE" close >/dev/null 2>&1 || true
    rm -rf "$WORK"
}
trap cleanup EXIT

[ -n "${DISPLAY:-}" ] || fail "no DISPLAY: run this through tools/test"
[ -f "$PROBE" ] || fail "$PROBE is missing"
