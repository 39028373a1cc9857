#!/usr/bin/env bash
# The help check: Zorvane.hlp, as the build wrote it beside Zorvane.exe, opened
# by Zorvane's own "Zorvane Help" command in the real help engine of the
# prefix. What the engine read is taken from its own trace (WINEDEBUG=+winhelp):
# the title, the copyright, every topic, every keyword of the index, and every
# context name looked up in an engine of its own. What it shows is read back
# with OCR from screenshots: the first topic, the topic that one jump leads
# to, the index, and the topic that a keyword of the index leads to. The
# last topic, read back from the engine's window, holds the source's last
# paragraph. No error box may appear. Screenshots are saved in screenshots/
# of the build. Wine reports Windows XP to Zorvane.exe here, a system with a
# help engine: from Vista on, Zorvane opens the page instead.
# Run by ctest under tools/test, which records the tree's display, prefix and
# Wine in wine.env.
set -euo pipefail

BUILD=${1:?usage: check.sh BUILD_FOLDER HELP_SOURCE}
SOURCE=${2:?usage: check.sh BUILD_FOLDER HELP_SOURCE}
NAME=help-check
PROBE="$BUILD/HelpProbe.exe"
source "$(dirname "$0")/../desktop/common.sh"
export WINEDEBUG=-all
[ -f "$BUILD/Zorvane.hlp" ] || fail "the build wrote no Zorvane.hlp"
command -v tesseract >/dev/null || fail "tesseract is missing (tools/test installs it)"
APP_DEFAULTS='HKCU\Software\Wine\AppDefaults\Zorvane.exe'
wine reg add "$APP_DEFAULTS" /v Version /d winxp /f >/dev/null 2>&1 ||
    fail "Wine could not be told to report Windows XP to Zorvane.exe"
trap 'wine reg delete "$APP_DEFAULTS" /v Version /f >/dev/null 2>&1; cleanup' EXIT

# The topics and keywords the source promises: "name<TAB>title" lines and one
# keyword a line.
python3 - "$SOURCE" "$WORK" <<'EOF'
import sys
source, work = sys.argv[1], sys.argv[2]
topics, keywords = [], []
for line in open(source, encoding="utf-8"):
    line = line.strip()
    if line.startswith(".topic "):
        name, _, title = line[7:].strip().partition(" ")
        topics.append(f"{name}\t{title.strip()}")
    elif line.startswith(".keywords "):
        keywords += [" ".join(k.split()) for k in line[10:].split(";")]
open(f"{work}/topics", "w").write("\n".join(topics) + "\n")
open(f"{work}/keywords", "w").write("\n".join(keywords) + "\n")
EOF
echo "the source has $(wc -l <"$WORK/topics") topics and $(wc -l <"$WORK/keywords") keywords"

# The words OCR reads in a region "left top width height" of a screenshot,
# lower case, white space made single; and with each word's box, for pointing.
read_screen() {
    local shot=$1 region=$2 out=$3 layout=${4:-3}
    read -r l t w h <<<"$region"
    convert "$shot" -crop "${w}x${h}+${l}+${t}" +repage -resize 200% -colorspace Gray "$WORK/ocr.png"
    tesseract "$WORK/ocr.png" "$out" --psm "$layout" tsv >/dev/null 2>&1 || fail "tesseract failed on $shot"
    python3 - "$out.tsv" "$l" "$t" >"$out.words" <<'EOF'
import sys
path, left, top = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
for row in list(open(path, encoding="utf-8"))[1:]:
    f = row.rstrip("\n").split("\t")
    if len(f) == 12 and f[11].strip():
        x, y, w, h = (int(v) // 2 for v in f[6:10])
        print(left + x + w // 2, top + y + h // 2, f[11])
EOF
    cut -d' ' -f3- "$out.words" | tr '\n' ' ' | tr -s ' ' | tr '[:upper:]' '[:lower:]' >"$out.text"
}
# Screenshots read in a region "left top width height" until every phrase is
# among the words read, for up to a minute: the engine paints a little after
# it has set the text, and much later on a loaded machine.
see() {
    local shot=$1 out=$2 area=$3 what=$4 end=$((SECONDS + 60)) missing
    shift 4
    while :; do
        import -window root "$shot"
        # Tesseract's page layout may drop a whole block of a dialog with some
        # fonts; read as sparse text, it finds every word, though out of order.
        for layout in 3 11; do
            read_screen "$shot" "$area" "$out" "$layout"
            missing=
            for phrase in "$@"; do
                grep -qF -- "$(tr '[:upper:]' '[:lower:]' <<<"$phrase")" "$out.text" || { missing=$phrase; break; }
            done
            [ -z "$missing" ] && return 0
        done
        [ $SECONDS -lt $end ] ||
            fail "$what: OCR did not find \"$missing\" on the screen; it read: $(cat "$out.text")"
        sleep 0.2
    done
}
# The help window's part of a screenshot, kept for people to look at.
keep() { convert "$1" -crop "$((wr - wl))x$((wb - wt))+$wl+$wt" +repage "$SHOTS/$2"; }
no_boxes() {
    local boxes
    boxes=$(probe boxes) || fail "$1: a message box is on the screen: $boxes"
}

probe close >/dev/null || true
WINEDEBUG=+winhelp setsid "$ZORVANE_WINE" "$BUILD/Zorvane.exe" </dev/null >/dev/null 2>"$WORK/trace" &

# 1. "Zorvane Help", chosen as the menu chooses it, opens the help window.
probe help || fail "Zorvane's window did not appear"
window=$(probe window) || fail "choosing Zorvane Help opened no help window"
IFS='|' read -r rect caption <<<"$window"
echo "help window at $rect, captioned \"$caption\""
[ "$caption" = "Zorvane Help" ] || fail "the help window is captioned \"$caption\", not \"Zorvane Help\""
first_title=$(head -n1 "$WORK/topics" | cut -f2)
text=$(probe text "$first_title") || fail "the first topic shown is not \"$first_title\": $text"
no_boxes "opening the help"
read -r wl wt wr wb <<<"$rect"
region="$wl $wt $((wr - wl)) $((wb - wt))"
see "$WORK/contents.png" "$WORK/contents" "$region" "the first topic" "$first_title" \
    "Zorvane watches your computer for Grimlatch" "Troubleshooting"
keep "$WORK/contents.png" help-contents.png
echo "first topic on the screen: $first_title"

# 2. One jump: the word "Troubleshooting" is a jump on the first topic.
read -r jx jy _ < <(grep -i ' Troubleshooting$' "$WORK/contents.words" | head -n1) ||
    fail "no jump \"Troubleshooting\" on the first topic"
xdotool mousemove "$jx" "$jy" click 1
text=$(probe text "Troubleshooting") || fail "the jump did not lead to Troubleshooting: $text"
see "$WORK/jump.png" "$WORK/jump" "$region" "the topic after the jump" "Troubleshooting" \
    "must lie in the same folder as Zorvane.exe"
keep "$WORK/jump.png" help-topic.png
no_boxes "following a jump"
echo "the jump at $jx,$jy led to Troubleshooting"

# 3. The index: every keyword of the source, in the engine's list and on the screen.
probe index >"$WORK/index" || fail "the Index button opened no index"
sort -f "$WORK/keywords" >"$WORK/keywords.sorted"
sort -f "$WORK/index" >"$WORK/index.sorted"
diff "$WORK/keywords.sorted" "$WORK/index.sorted" >"$WORK/index.diff" ||
    fail "the index differs from the source's keywords (< source, > index): $(cat "$WORK/index.diff")"
read -r sl st sr sb < <(probe sheet) || fail "the index is not open"
see "$WORK/index.png" "$WORK/indexshot" "$sl $st $((sr - sl)) $((sb - st))" "the index" \
    "get a file back" "Enhanced Scanning is ON" "dropper"
keep "$WORK/index.png" help-index.png
echo "index: $(wc -l <"$WORK/index") keywords"

# 4. A keyword of the index leads to its topic.
probe choose restore || fail "the keyword \"restore\" could not be chosen"
text=$(probe text "I answered Yes by mistake") || fail "\"restore\" did not lead to its topic: $text"
see "$WORK/keyword.png" "$WORK/keyword" "$region" "the topic of a keyword" "answered Yes by mistake" \
    "Rename the copy to the original file name"
no_boxes "choosing a keyword"
echo "the keyword \"restore\" led to \"I answered Yes by mistake\""

# 5. Every context name, looked up in an engine of its own that must show the
# topic of that name.
pairs=()
while IFS=$'\t' read -r name title; do pairs+=("$name" "$title"); done <"$WORK/topics"
WINEDEBUG=+winhelp "$ZORVANE_WINE" "$PROBE" contexts "${pairs[@]}" >"$WORK/contexts.out" 2>"$WORK/contexts" ||
    fail "an engine opened at a context name did not show its topic: $(tr -d '\r' <"$WORK/contexts.out")"

# 6. What the engine's trace says it read.
python3 - "$WORK/trace" "$WORK/contexts" "$WORK/topics" "$WORK/keywords" <<'EOF' || fail "the engine's trace"
import re, sys
trace = open(sys.argv[1], encoding="latin-1").read()
contexts = open(sys.argv[2], encoding="latin-1").read()
topics = [l.rstrip("\n").split("\t") for l in open(sys.argv[3], encoding="utf-8") if l.strip()]
keywords = [l.rstrip("\n") for l in open(sys.argv[4], encoding="utf-8") if l.strip()]
bad = []
def need(pattern, text, what):
    if not re.search(pattern, text):
        bad.append(what)
need(r'Title: "Zorvane Help"', trace, "the title \"Zorvane Help\"")
need(r'Copyright: "Copyright \(C\) 2026 Quillane"', trace, "the copyright")
# The WoW64 Wine says at the start of every 32-bit program that its mode is
# experimental, and that it has no Vulkan: neither is the engine's complaint.
wow64 = re.compile(r":err:(environ:init_peb starting .* in experimental wow64 mode$"
                   r"|vulkan:vulkan_init_once Failed to load libvulkan)")
for line in trace.splitlines():
    if wow64.search(line):
        continue
    # Wine's engine reads the empty link that ends the topic chain, where
    # readers that follow the published format stop; being of no kind that
    # it knows, the link adds nothing, and the engine says only that.
    if re.search(r":err:winhelp:\w+ buf\[0x14\] = 0$", line):
        continue
    if ":err:" in line or "not found in file" in line or "Unknown" in line:
        bad.append("a complaint: " + line)
pages = re.findall(r'Added page\[(\d+)\]: title="(.*)" \w+ << (\w+) >>', trace)
titles = [t for _, t, _ in pages]
if titles != [t for _, t in topics]:
    bad.append(f"the topics read were {titles}")
if [int(n) for n, _, _ in pages] != list(range(len(topics))):
    bad.append("the topics are not numbered from 0 in order")
added = re.findall(r'Adding "(.*)" to search list', trace)
if sorted(added, key=str.lower) != sorted(keywords, key=str.lower):
    bad.append(f"the keywords read were {added}")
for name, title in topics:
    m = re.search(r"HelpProbe: context %s\n(.*?)HelpProbe: context %s done" % (re.escape(name), re.escape(name)),
                  contexts, re.S)
    if not m:
        bad.append(f"no engine ran for the context {name}")
        continue
    run = m.group(1)
    offsets = {int(o, 16): t for _, t, o in re.findall(r'Added page\[(\d+)\]: title="(.*)" \w+ << (\w+) >>', run)}
    found = re.search(r"PageByHash <[^>]*>\[(\w+)\].*?PageByOffset <[^>]*>\[(\w+)\]", run, re.S)
    if not found or "not found in file" in run:
        bad.append(f"the context {name} was not found")
    elif offsets.get(int(found.group(2), 16)) != title:
        bad.append(f"the context {name} led to {offsets.get(int(found.group(2), 16))!r}, not {title!r}")
for b in bad:
    print("the engine's trace:", b, file=sys.stderr)
if bad:
    sys.exit(1)
print(f"the engine read {len(titles)} topics, {len(added)} keywords, and found all {len(topics)} context names")
EOF

# 7. The last paragraph of the last topic, the one that a reader stopping at
# the end of the topic chain loses when the chain ends on it, in the text of
# the topic that the engine shows for a keyword of that topic.
last_title=$(tail -n1 "$WORK/topics" | cut -f2)
last_keyword=$(grep '^\.keywords ' "$SOURCE" | tail -n1 | sed 's/^\.keywords //; s/ *;.*//')
last_paragraph=$(python3 -c 'import sys; print(" ".join(open(sys.argv[1], encoding="utf-8").read().strip().split("\n\n")[-1].split()))' "$SOURCE")
probe index >/dev/null || fail "the Index button opened no index a second time"
probe choose "$last_keyword" || fail "the keyword \"$last_keyword\" could not be chosen"
text=$(probe text "$last_title") || fail "\"$last_keyword\" did not lead to \"$last_title\": $text"
grep -qF -- "$last_paragraph" <<<"$text" ||
    fail "the last topic lacks its last paragraph \"$last_paragraph\"; the engine shows: $text"
echo "the last topic ends with: $last_paragraph"
echo "screenshots: $SHOTS/help-contents.png $SHOTS/help-topic.png $SHOTS/help-index.png"
