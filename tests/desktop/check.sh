#!/usr/bin/env bash
# The desktop check: Zorvane in Wine's virtual desktop with its taskbar, used
# with the real X pointer. The tray icon is found in a screenshot by its red
# ring, pointed at (tooltip, whose text is read back), pressed (menu), and "About Zorvane" is chosen
# from the menu by where its text lies in a screenshot; the About notice must
# appear. Screenshots of each step are saved in screenshots/ of the build.
# Run by ctest under tools/test, which records the tree's display, prefix and
# Wine in wine.env.
set -euo pipefail

BUILD=${1:?usage: check.sh BUILD_FOLDER}
NAME=desktop-check
PROBE="$BUILD/DesktopProbe.exe"
source "$(dirname "$0")/common.sh"
export WINEDEBUG=${WINEDEBUG:--all}
shoot() { import -window root "$1"; }

# The bounding box "left top right bottom" of the pixels of one colour inside
# a region "left top width height" of a screenshot.
colour_box() {
    local shot=$1 colour=$2 left=$3 top=$4 width=$5 height=$6
    convert "$shot" -crop "${width}x${height}+${left}+${top}" +repage txt:- |
        python3 -c '
import re, sys
colour, left, top = sys.argv[1].upper(), int(sys.argv[2]), int(sys.argv[3])
xs, ys = [], []
for line in sys.stdin:
    m = re.match(r"(\d+),(\d+):.*(#[0-9A-Fa-f]{6})", line)
    if m and m.group(3).upper() == colour:
        xs.append(int(m.group(1))); ys.append(int(m.group(2)))
if xs:
    print(left + min(xs), top + min(ys), left + max(xs), top + max(ys))
' "$colour" "$left" "$top"
}

# The vertical centres of the lines of dark text inside a menu, top to bottom
# (separators are grey, not dark, and the menu's frame is cut away).
text_rows() {
    local shot=$1 left=$2 top=$3 right=$4 bottom=$5
    local width=$((right - left - 8)) height=$((bottom - top - 8))
    convert "$shot" -crop "${width}x${height}+$((left + 4))+$((top + 4))" +repage \
        -colorspace Gray txt:- |
        python3 -c '
import re, sys
top = int(sys.argv[1])
dark = set()
for line in sys.stdin:
    m = re.match(r"(\d+),(\d+):\s*\((\d+(?:\.\d+)?)", line)
    if m and float(m.group(3)) < 64:   # of 255: black text
        dark.add(int(m.group(2)))
rows, run = [], []
for y in sorted(dark):
    if run and y != run[-1] + 1:
        rows.append(run); run = []
    run.append(y)
if run:
    rows.append(run)
print(" ".join(str(top + (r[0] + r[-1]) // 2) for r in rows if len(r) >= 5))
' "$((top + 4))"
}

# Retries a command until it succeeds, for up to a minute: the screen is
# drawn a little after the Windows side reports a window, and much later on a
# loaded machine.
retry() {
    local end=$((SECONDS + 60))
    until "$@"; do
        [ $SECONDS -lt $end ] || return 1
        sleep 0.1
    done
}

probe close >/dev/null || true
setsid "$ZORVANE_WINE" "$BUILD/Zorvane.exe" </dev/null >/dev/null 2>&1 &
probe icon || fail "Zorvane's tray icon did not appear"
read -r tl tt tr tb < <(probe tray) || fail "no notification area"
read -r width height < <(xdotool getdisplaygeometry)

# 1. Find the icon: the red ring, at the right end of the taskbar.
find_icon() {
    shoot "$WORK/desktop.png"
    read -r l t r b < <(colour_box "$WORK/desktop.png" '#FF0000' $((tr - 200)) "$tt" 200 $((tb - tt)))
}
retry find_icon || fail "no red icon in the notification area"
[ $((r - l)) -ge 8 ] && [ $((r - l)) -le 16 ] && [ $((b - t)) -ge 8 ] && [ $((b - t)) -le 16 ] ||
    fail "the red shape at $l,$t-$r,$b is not a 16x16 icon"
x=$(((l + r) / 2)) y=$(((t + b) / 2))
echo "tray icon at $x,$y"

# 2. Point at it: the tooltip, with the program's text.
xdotool mousemove "$x" "$y"
xdotool mousemove "$((x + 1))" "$y"
tip=$(probe tooltip) || fail "no tooltip appeared over the icon"
read -r pl pt pr pb <<<"$(head -n1 <<<"$tip")"
tiptext=$(sed -n 2p <<<"$tip")
[ "$tiptext" = "Zorvane...updates at http://www.quillane.example/" ] ||
    fail "the tooltip reads \"$tiptext\""
tip_drawn() {
    shoot "$WORK/tooltip.png"
    [ -n "$(text_rows "$WORK/tooltip.png" "$pl" "$pt" "$pr" "$pb")" ]
}
retry tip_drawn || fail "the tooltip was never drawn"
convert "$WORK/tooltip.png" -crop $((pr - pl + 40))x$((pb - pt + 40))+$((pl - 20 < 0 ? 0 : pl - 20))+$((pt - 20 < 0 ? 0 : pt - 20)) +repage "$SHOTS/tray-tooltip.png"
echo "tooltip at $pl $pt $pr $pb: $tiptext"

# 3. Press it: the menu.
xdotool click 1
menu=$(probe menu) || fail "pressing the icon opened no menu"
read -r ml mt mr mb <<<"$menu"
menu_drawn() {
    shoot "$WORK/menu.png"
    rows=($(text_rows "$WORK/menu.png" "$ml" "$mt" "$mr" "$mb"))
    [ ${#rows[@]} = 6 ]
}
retry menu_drawn || fail "expected 6 lines of text in the menu, found ${#rows[@]}"
cl=$((ml - 40 < 0 ? 0 : ml - 40)) ct=$((mt - 20 < 0 ? 0 : mt - 20))
convert "$WORK/menu.png" -crop "$((width - cl))x$((height - ct))+$cl+$ct" +repage "$SHOTS/tray-menu.png"
echo "menu at $menu, text rows at ${rows[*]}"

# 4. Choose "About Zorvane", the fifth line of text.
xdotool mousemove "$((ml + 40))" "${rows[4]}"
xdotool click 1
text=$(probe notice) || fail "choosing About Zorvane showed no notice"
shoot "$WORK/about.png"
cp "$WORK/about.png" "$SHOTS/about-notice.png"
case "$text" in
"Zorvane version 1.2"*) ;;
*) fail "the notice is not the About notice: $text" ;;
esac
probe answer || fail "the About notice could not be answered"
echo "About notice: $(head -n1 <<<"$text")"
echo "screenshots: $SHOTS/tray-tooltip.png $SHOTS/tray-menu.png $SHOTS/about-notice.png"
