#!/usr/bin/env bash
# The desktop check: Zorvane in Wine's virtual desktop with its taskbar, used
# with the real X pointer. The tray icon is found in a screenshot by its red
# ring and pointed at: the tooltip must show the program's text. Pressed, it
# opens the menu, whose items OCR must read; "About Zorvane" is chosen where
# OCR read it, and the About notice must appear. Screenshots of each step are
# saved in screenshots/ of the build. Run by ctest under tools/test, which
# records the tree's display, prefix and Wine in wine.env.
set -euo pipefail

BUILD=${1:?usage: check.sh BUILD_FOLDER}
NAME=desktop-check
source "$(dirname "$0")/common.sh"

probe close >/dev/null || true
setsid "$ZORVANE_WINE" "$BUILD/Zorvane.exe" </dev/null >/dev/null 2>&1 &
probe icon || fail "Zorvane's tray icon did not appear"
read -r tl tt tr tb < <(probe tray) || fail "no notification area"

# 1. The icon: the box around the red pixels at the right end of the taskbar.
red_box() {
    import -window root "$WORK/desktop.png"
    IFS='x+' read -r w h l t < <(convert "$WORK/desktop.png" -crop "200x$((tb - tt))+$((tr - 200))+$tt" \
        +repage -fill black +opaque '#FF0000' -format %@ info: 2>/dev/null)
    [ "${w:-0}" -gt 0 ]
}
retry red_box || fail "no red icon in the notification area"
[ "$w" -ge 8 ] && [ "$w" -le 17 ] && [ "$h" -ge 8 ] && [ "$h" -le 17 ] ||
    fail "the red shape of ${w}x$h at the right end of the taskbar is not a 16x16 icon"
x=$((tr - 200 + l + w / 2)) y=$((tt + t + h / 2))
echo "tray icon at $x,$y"

# 2. Point at it: the tooltip, with the program's text, as the tooltip holds
# it and as it is drawn.
xdotool mousemove "$x" "$y" mousemove "$((x + 1))" "$y"
tip=$(probe tooltip) || fail "no tooltip appeared over the icon"
read -r pl pt pr pb <<<"$(head -n1 <<<"$tip")"
tiptext=$(sed -n 2p <<<"$tip")
[ "$tiptext" = "Zorvane...updates at http://www.quillane.example/" ] || fail "the tooltip reads \"$tiptext\""
see tooltip "$pl $pt $((pr - pl)) $((pb - pt))" "the tooltip" "updates at"
keep tooltip "$((pl - 20)) $((pt - 20)) $((pr - pl + 40)) $((pb - pt + 40))" tray-tooltip.png
echo "tooltip at $pl $pt $pr $pb: $tiptext"

# 3. Press it: the menu, with every item (enhanced scanning ON or OFF, as the
# prefix holds it).
xdotool click 1
read -r ml mt mr mb < <(probe menu) || fail "pressing the icon opened no menu"
see menu "$ml $mt $((mr - ml)) $((mb - mt))" "the menu" "Zorvane Is Active" "Uninstall Zorvane" \
    "Zorvane Help" "Enhanced Scanning is" "About Zorvane" "Exit Zorvane"
keep menu "$((ml - 40)) $((mt - 20)) $((tr - ml + 40)) $((tb - mt + 20))" tray-menu.png
echo "menu at $ml $mt $mr $mb"

# 4. Choose "About Zorvane" where it is drawn: the About notice.
read -r ax ay _ < <(grep ' About$' "$WORK/menu.words" | head -n1) || fail "no \"About\" in the menu"
xdotool mousemove "$ax" "$ay" click 1
text=$(probe notice) || fail "choosing About Zorvane showed no notice"
import -window root "$SHOTS/about-notice.png"
[[ $text == "Zorvane version 1.2"* ]] || fail "the notice is not the About notice: $text"
probe answer || fail "the About notice could not be answered"
echo "About notice: $(head -n1 <<<"$text")"
echo "screenshots: $SHOTS/tray-tooltip.png $SHOTS/tray-menu.png $SHOTS/about-notice.png"
