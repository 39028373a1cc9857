# Shared by the checks that drive Wine's desktop from a shell (tests/desktop,
# tests/help): the tree's Wine settings from wine.env, a failure that leaves a
# screenshot, the probe that reports from the Windows side, and what OCR reads
# on the screen. Sourced after BUILD and NAME (the check's name) are set.
[ -f "$BUILD/wine.env" ] || { echo "FAIL: no $BUILD/wine.env: run this through tools/test" >&2; exit 1; }
source "$BUILD/wine.env"
PROBE=$BUILD/DesktopProbe.exe
SHOTS=$BUILD/screenshots
WORK=$(mktemp -d)
mkdir -p "$SHOTS"

fail() {
    echo "FAIL: $*" >&2
    import -window root "$SHOTS/$NAME-failure.png" 2>/dev/null || true
    exit 1
}
probe() { "$ZORVANE_WINE" "$PROBE" "$@" </dev/null 2>/dev/null | tr -d '\r'; }
cleanup() {
    probe close >/dev/null 2>&1 || true
    rm -rf "$WORK"
}
trap cleanup EXIT

[ -n "${DISPLAY:-}" ] || fail "no DISPLAY: run this through tools/test"
[ -f "$PROBE" ] || fail "$PROBE is missing"
command -v tesseract >/dev/null || fail "tesseract is missing (tools/test installs it)"

# Retries a command until it succeeds, for up to a minute: the screen is drawn
# a little after the Windows side reports a window, and much later on a loaded
# machine.
retry() {
    local end=$((SECONDS + 60))
    until "$@"; do
        [ $SECONDS -lt $end ] || return 1
        sleep 0.2
    done
}

# see NAME "left top width height" WHAT PHRASE...: screenshots until OCR reads
# every phrase in that region of the screen. Leaves the last screenshot in
# $WORK/NAME.png, the words read in $WORK/NAME.text (lower case, white space
# made single), and each word's centre on the screen, "x y word", in
# $WORK/NAME.words for pointing.
see() {
    local name=$1 region=$2 what=$3
    shift 3
    retry read_screen "$name" "$region" "$@" ||
        fail "$what: OCR did not find \"$missing\" on the screen; it read: $(cat "$WORK/$name.text")"
}
read_screen() {
    local name=$1 l t w h layout phrase
    read -r l t w h <<<"$2"
    shift 2
    import -window root "$WORK/$name.png"
    convert "$WORK/$name.png" -crop "${w}x$h+$l+$t" +repage -resize 200% -colorspace Gray "$WORK/ocr.png"
    # Tesseract's page layout may drop a whole block of a dialog with some
    # fonts; read as sparse text, it finds every word, though out of order.
    for layout in 3 11; do
        tesseract "$WORK/ocr.png" - --psm $layout tsv 2>/dev/null |
            awk -F'\t' -v l="$l" -v t="$t" 'NR > 1 && $12 ~ /[^ ]/ {
                print l + int(($7 + $9 / 2) / 2), t + int(($8 + $10 / 2) / 2), $12 }' >"$WORK/$name.words"
        cut -d' ' -f3- "$WORK/$name.words" | tr '\n' ' ' | tr -s ' ' | tr '[:upper:]' '[:lower:]' >"$WORK/$name.text"
        missing=
        for phrase in "$@"; do
            grep -qF -- "${phrase,,}" "$WORK/$name.text" || { missing=$phrase; break; }
        done
        [ -z "$missing" ] && return 0
    done
    return 1
}
# keep NAME "left top width height" FILE: that region of NAME's screenshot,
# kept in screenshots/ for people to look at.
keep() {
    local l t w h
    read -r l t w h <<<"$2"
    convert "$WORK/$1.png" -crop "${w}x$h+$((l < 0 ? 0 : l))+$((t < 0 ? 0 : t))" +repage "$SHOTS/$3"
}
