#!/usr/bin/env bash
# The help check: Zorvane.hlp, as the build wrote it beside Zorvane.exe, opened
# by Zorvane's own "Zorvane Help" command in the real help engine of the
# prefix. The probe reads back from the engine's windows the first topic,
# which OCR must also read on the screen; the topic that the real pointer's
# press on one of its jumps leads to; the index, which must hold every
# keyword of the source; the topics of two keywords, the last topic's ending
# with the source's last paragraph; and every context name, each opened in
# an engine of its own. The engine's trace (WINEDEBUG=+winhelp) must list every
# topic, the title and the copyright, and no complaint; no error box may
# appear. Wine reports Windows XP to Zorvane.exe here, a system with a help
# engine: from Vista on, Zorvane opens the page instead. The first topic's
# screenshot is saved in screenshots/ of the build.
set -euo pipefail

BUILD=${1:?usage: check.sh BUILD_FOLDER HELP_SOURCE}
SOURCE=${2:?usage: check.sh BUILD_FOLDER HELP_SOURCE}
NAME=help-check
source "$(dirname "$0")/../desktop/common.sh"
export WINEDEBUG=-all
[ -f "$BUILD/Zorvane.hlp" ] || fail "the build wrote no Zorvane.hlp"
APP_DEFAULTS='HKCU\Software\Wine\AppDefaults\Zorvane.exe'
"$ZORVANE_WINE" reg add "$APP_DEFAULTS" /v Version /d winxp /f >/dev/null 2>&1 ||
    fail "Wine could not be told to report Windows XP to Zorvane.exe"
trap '"$ZORVANE_WINE" reg delete "$APP_DEFAULTS" /v Version /f >/dev/null 2>&1; cleanup' EXIT

# What the source promises: "name<TAB>title" a topic, one keyword a line, and
# the last paragraph, its white space made single.
sed -n 's/^\.topic  *\([^ ]*\)  *\(.*[^ ]\) *$/\1\t\2/p' "$SOURCE" >"$WORK/topics"
sed -n 's/^\.keywords //p' "$SOURCE" | tr ';' '\n' | sed 's/^ *//; s/ *$//' | tr -s ' ' >"$WORK/keywords"
last_paragraph=$(awk -v RS= 'END { $1 = $1; print }' "$SOURCE")
echo "the source has $(wc -l <"$WORK/topics") topics and $(wc -l <"$WORK/keywords") keywords"
no_boxes() { boxes=$(probe boxes) || fail "$1: a message box is on the screen: $boxes"; }

probe close >/dev/null || true
WINEDEBUG=+winhelp setsid "$ZORVANE_WINE" "$BUILD/Zorvane.exe" </dev/null >/dev/null 2>"$WORK/trace" &

# 1. "Zorvane Help", chosen as the menu chooses it, opens the help window at
# the first topic.
probe help || fail "Zorvane's window did not appear"
IFS='|' read -r rect caption < <(probe window) || fail "choosing Zorvane Help opened no help window"
[ "$caption" = "Zorvane Help" ] || fail "the help window is captioned \"$caption\", not \"Zorvane Help\""
first_title=$(head -n1 "$WORK/topics" | cut -f2)
text=$(probe text "$first_title") || fail "the first topic shown is not \"$first_title\": $text"
read -r wl wt wr wb <<<"$rect"
see contents "$wl $wt $((wr - wl)) $((wb - wt))" "the first topic" "$first_title" \
    "Zorvane watches your computer for Grimlatch" "Troubleshooting"
keep contents "$wl $wt $((wr - wl)) $((wb - wt))" help-contents.png
no_boxes "opening the help"
echo "help window at $rect shows \"$first_title\""

# 2. The real pointer presses the jump "Troubleshooting" where OCR read it.
read -r jx jy _ < <(grep -i ' Troubleshooting$' "$WORK/contents.words" | head -n1) ||
    fail "no jump \"Troubleshooting\" on the first topic"
xdotool mousemove "$jx" "$jy" click 1
text=$(probe text "Troubleshooting") || fail "the jump did not lead to Troubleshooting: $text"
grep -qF "must lie in the same folder as Zorvane.exe" <<<"$text" ||
    fail "Troubleshooting lacks its text; the engine shows: $text"
echo "the jump at $jx,$jy led to Troubleshooting"

# 3. The index holds every keyword of the source, and no other.
probe index >"$WORK/index" || fail "the Index button opened no index"
diff <(sort -f "$WORK/keywords") <(sort -f "$WORK/index") >"$WORK/index.diff" ||
    fail "the index differs from the source's keywords (< source, > index): $(cat "$WORK/index.diff")"
echo "index: $(wc -l <"$WORK/index") keywords"

# 4. Keywords of the index lead to their topics, whole: the last topic's
# first keyword to it, ending with the last paragraph, which a reader that
# stops early in the topic chain loses.
last_title=$(tail -n1 "$WORK/topics" | cut -f2)
last_keyword=$(grep '^\.keywords ' "$SOURCE" | tail -n1 | sed 's/^\.keywords *//; s/ *;.*//')
while IFS='|' read -r keyword title words; do
    probe choose "$keyword" || fail "the keyword \"$keyword\" could not be chosen"
    text=$(probe text "$title") || fail "\"$keyword\" did not lead to \"$title\": $text"
    grep -qF -- "$words" <<<"$text" || fail "\"$title\" lacks \"$words\"; the engine shows: $text"
    echo "the keyword \"$keyword\" led to \"$title\", with \"$words\""
done <<EOF
restore|I answered Yes by mistake|Rename the copy to the original file name
$last_keyword|$last_title|$last_paragraph
EOF
no_boxes "choosing keywords"

# 5. Every context name, each in an engine of its own, shows its topic.
mapfile -t pairs < <(tr '\t' '\n' <"$WORK/topics")
WINEDEBUG=+winhelp "$ZORVANE_WINE" "$PROBE" contexts "${pairs[@]}" >"$WORK/contexts.out" 2>"$WORK/contexts" ||
    fail "an engine opened at a context name did not show its topic: $(tr -d '\r' <"$WORK/contexts.out")"
echo "all $(wc -l <"$WORK/topics") context names show their topics"

# 6. The engine read every topic, numbered in order, and no other, the title
# and the copyright, and complained of nothing, here or in the context names'
# engines.
# Passed over: the WoW64 Wine's word at the start of every 32-bit program,
# that its mode is experimental and it has no Vulkan, and the engine's word
# on the empty link that ends the topic chain, where readers that follow the
# published format stop: being of no kind that it knows, it adds nothing.
sed -n 's/.*Added page\[\([0-9]*\)\]: title="\(.*\)" \w* << \w* >>.*/\1\t\2/p' "$WORK/trace" |
    diff - <(cut -f2 "$WORK/topics" | nl -v0 -w1 -s$'\t') >"$WORK/pages.diff" ||
    fail "the engine read other topics, or numbered otherwise (< engine, > source): $(cat "$WORK/pages.diff")"
for record in title copyright; do
    value=$(sed -n "s/^\.$record //p" "$SOURCE")
    grep -qF "${record^}: \"$value\"" "$WORK/trace" || fail "the engine did not read the $record \"$value\""
done
complaints=$(grep -hE ':err:|not found in file|Unknown' "$WORK/trace" "$WORK/contexts" |
    grep -vE 'init_peb starting .* in experimental wow64 mode$|vulkan_init_once Failed to load libvulkan|:err:winhelp:\w+ buf\[0x14\] = 0$') &&
    fail "the engine complained: $complaints"
echo "the engine read $(wc -l <"$WORK/topics") topics, the title and the copyright, without complaint"
echo "screenshot: $SHOTS/help-contents.png"
