#!/usr/bin/env python3
"""The help generator refuses a broken source with a message that names the
file and the line, writes nothing, and still writes the real source: a
Zorvane.hlp whose |TOPIC chain each known reader reads whole and no further
(one that follows the published format, one that takes the chain's positions
unsigned, and Wine's engine), and a Zorvane.htm of the same topics that needs nothing else.

    check_make_help.py tools/make_help.py help/Zorvane.help
"""
import html.parser
import os
import re
import struct
import subprocess
import sys
import tempfile

GOOD = """\
.title Test Help
.copyright Copyright (C) 2026 Quillane

.topic main Test Help
.keywords test
See {the other topic|other}.

.topic other The other topic
Text.
"""

# (what is wrong, the text of GOOD changed, into what, the line to be named,
# words the message holds)
BROKEN = [
    ("a jump to an unknown context", "|other}", "|nowhere}", 6, "nowhere"),
    ("two topics with one context name", ".topic other", ".topic main", 8, "main"),
    ("the same context name in other letter case", ".topic other", ".topic MAIN", 8, "MAIN"),
    ("an empty title", ".topic other The other topic", ".topic other", 8, "empty title"),
    ("an empty title of blanks", ".topic other The other topic", ".topic other    ", 8, "empty title"),
    ("a jump without words", "{the other topic|", "{|", 6, "no words"),
    ("a context name the hash cannot tell apart", "other", "ot-her", 8, "ot-her"),
]


def run(generator, source_text, folder):
    source = os.path.join(folder, "broken.help")
    with open(source, "w", encoding="utf-8") as f:
        f.write(source_text)
    outputs = [os.path.join(folder, "out" + ext) for ext in (".hlp", ".cnt", ".htm")]
    for path in outputs:
        if os.path.exists(path):
            os.remove(path)
    result = subprocess.run([sys.executable, generator, source] + outputs,
                            capture_output=True, text=True)
    return source, result, any(os.path.exists(path) for path in outputs)


def internal_file(hlp, name):
    """An internal file of a help file, found through its directory (one leaf page)."""
    directory = struct.unpack_from("<I", hlp, 4)[0] + 9
    at = directory + 38 + 8
    for _ in range(struct.unpack_from("<H", hlp, directory + 38 + 2)[0]):
        end = hlp.index(b"\0", at)
        offset = struct.unpack_from("<I", hlp, end + 1)[0]
        if hlp[at:end].decode() == name:
            return hlp[offset + 9:offset + 9 + struct.unpack_from("<I", hlp, offset + 4)[0]]
        at = end + 5
    raise KeyError(name)


# The three ways in which readers are known to walk the |TOPIC chain.
READERS = {
    # The published description, and helpdeco's first, 32-bit build: a link
    # whose NextBlock is 0 or -1 ends the chain and is not read.
    "published": "a reader that follows the published format",
    # helpdeco built for 64 bits reads NextBlock unsigned: only 0 ends the
    # chain, and a topic header read without its data crashes it.
    "unsigned": "a reader that takes NextBlock unsigned (helpdeco's 64-bit build)",
    # Wine's engine reads every link up to and with the one whose NextBlock
    # is -1, or until one leads outside the topic data; every topic header
    # it reads is a page, a paragraph too short for its header fails the
    # whole file, and a link of another kind adds nothing.
    "wine": "Wine's help engine",
}
PARAGRAPHS = (0x01, 0x20, 0x23)


def walk_chain(data, at, reader):
    """The links that `reader` takes in, what goes wrong on the way, and the
    position at which it stops."""
    links, faults, pos = [], [], 12
    while at(pos) + 21 <= len(data):
        size, len2, prev, nxt, len1 = struct.unpack_from("<IIIII", data, at(pos))
        kind = data[at(pos) + 20]
        if reader == "published" and (nxt == 0 or nxt >= 0x80000000):
            break
        if reader == "unsigned" and nxt == 0:
            break
        if kind == 0x02 and len1 <= 21 and reader != "wine":
            faults.append(f"it reads a topic header without its data at {pos:#x}, and crashes")
            break
        if kind in PARAGRAPHS and size < 0x19 and reader == "wine":
            faults.append(f"a paragraph at {pos:#x} is too short to be read: the file fails")
            break
        links.append((pos, kind, data[at(pos) + 21:at(pos) + size], len1 - 21))
        if reader == "wine" and nxt == 0xFFFFFFFF:
            break
        pos = nxt
    return links, faults, pos


def topic_chain_faults(hlp, titles, last_paragraph):
    """Walks |TOPIC from TOPICPOS 12, as each known reader does, and returns
    what disagrees with the source or the format's own rules: each must read
    every topic, and the last paragraph, and nothing more."""
    topic = internal_file(hlp, "|TOPIC")
    blocks = [topic[i:i + 4096] for i in range(0, len(topic), 4096)]
    data = b"".join(block[12:] for block in blocks)

    # A TOPICPOS in the block data, headers left out. Readers take it as an
    # unsigned 32-bit number, as Wine's engine does: the end link's NextBlock
    # of 0 then leads past every block, not back into the data.
    def at(pos):
        return (((pos - 12) & 0xFFFFFFFF) >> 14) * 4084 + ((pos - 12) & 0x3FFF)

    faults = []
    for reader, who in READERS.items():
        links, trouble, _ = walk_chain(data, at, reader)
        faults += [f"{who}: {t}" for t in trouble]
        read = [body[len1:].split(b"\0")[0].decode("cp1252")
                for _, kind, body, len1 in links if kind == 0x02]
        if read != titles:
            faults.append(f"{who} reads the topics {read}, not the source's {titles}")
        text = " ".join(body[body.index(b"\xff") + 1:].replace(b"\0", b"").decode("cp1252")
                        for _, kind, body, _ in links if kind == 0x20)
        if last_paragraph not in text:
            faults.append(f"{who} does not read the last paragraph: {last_paragraph!r}")

    # The format's own rules, on the chain up to the link that ends it.
    links, _, end = walk_chain(data, at, "published")
    size, len2, _, _, len1 = struct.unpack_from("<IIIII", data, at(end))
    if (size, len1, len2) != (21, 21, 0):
        faults.append(f"the end link is not empty: size, DataLen1, DataLen2 {(size, len1, len2)}")
    headers = [i for i, (_, kind, _, _) in enumerate(links) if kind == 0x02]
    size, _, browse_for, _, _, _, next_topic = struct.unpack_from("<IiiIIII", links[headers[-1]][2])
    if next_topic != end or browse_for != -1:
        faults.append(f"the last topic's NextTopic {next_topic:#x} is not the end link "
                      f"{end:#x}, or its BrowseFor {browse_for} is not -1")
    own = sum(struct.unpack_from("<I", data, at(p))[0] for p, *_ in links[headers[-1]:])
    if size != own:
        faults.append(f"the last topic's size is {size}, its links take {own}")
    starts = [(p, kind) for p, kind, *_ in links] + [(end, data[at(end) + 20])]
    for b, block in enumerate(blocks):
        before = [p for p, _ in starts if at(p) < b * 4084]
        expected = (before[-1] if before else 0xFFFFFFFF,
                    next((p for p, _ in starts if at(p) // 4084 == b), 0xFFFFFFFF),
                    ([p for p, kind in starts if kind == 0x02 and at(p) < b * 4084] or [0])[-1])
        if struct.unpack_from("<III", block) != expected:
            faults.append(f"block {b} header {struct.unpack_from('<III', block)} is not {expected}")
    return faults


class Page(html.parser.HTMLParser):
    """What a page refers to: its anchors, its links, its headings, anything external."""

    def __init__(self, text):
        super().__init__()
        self.names, self.links, self.external, self.headings, self.heading = set(), [], [], [], None
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag in ("script", "img", "link", "style", "object", "embed", "iframe", "frame") or \
                "src" in attrs or "style" in attrs:
            self.external.append(f"<{tag} {attrs}>")
        if tag == "a":
            self.names.add(attrs.get("name"))
            self.links += [attrs["href"]] if "href" in attrs else []
        if tag == "h1":
            self.heading = ""

    def handle_data(self, data):
        if self.heading is not None:
            self.heading += data

    def handle_endtag(self, tag):
        if tag == "h1":
            self.headings.append(self.heading)
            self.heading = None


def page_faults(text, titles, keywords, last_paragraph):
    page = Page(text)
    faults = [f"the page refers to something outside it: {e}" for e in page.external]
    faults += [f"the link {href} leads to no anchor of the page" for href in page.links
               if not href.startswith("#") or href[1:] not in page.names]
    if page.headings != titles + ["Index"]:
        faults.append(f"the page's topics are {page.headings}, not the source's {titles}")
    words = html.unescape(re.sub(r"<[^>]*>", "", text))
    index = words[words.rindex("Index"):]
    faults += [f"the index lacks the keyword {k!r}" for k in keywords if k + ":" not in index]
    if last_paragraph not in words:
        faults.append("the page lacks the last paragraph")
    return faults


def main():
    generator, real_source = sys.argv[1], sys.argv[2]
    failures = []
    with tempfile.TemporaryDirectory() as folder:
        source, result, written = run(generator, GOOD, folder)
        if result.returncode != 0 or not written:
            failures.append(f"the good source was refused: {result.stderr.strip()}")
        for what, good, bad, line, words in BROKEN:
            source, result, written = run(generator, GOOD.replace(good, bad), folder)
            message = result.stderr.strip()
            if result.returncode == 0:
                failures.append(f"{what}: accepted")
                continue
            if written:
                failures.append(f"{what}: a file was written anyway")
            if f"{source}:{line}:" not in message:
                failures.append(f"{what}: the message does not name line {line}: {message!r}")
            if words not in message:
                failures.append(f"{what}: the message does not say {words!r}: {message!r}")
            print(f"{what}: {message}")
        out, cnt, htm = (os.path.join(folder, "real" + ext) for ext in (".hlp", ".cnt", ".htm"))
        result = subprocess.run([sys.executable, generator, real_source, out, cnt, htm],
                                capture_output=True, text=True)
        source_text = open(real_source, encoding="utf-8").read()
        titles = re.findall(r"^\.topic \S+ (.*)$", source_text, re.M)
        keywords = [k.strip() for line in re.findall(r"^\.keywords (.*)$", source_text, re.M)
                    for k in line.split(";")]
        last_paragraph = " ".join(source_text.strip().split("\n\n")[-1].split())
        if result.returncode != 0:
            failures.append(f"the real help source was refused: {result.stderr.strip()}")
        elif os.path.getsize(out) >= 64 * 1024:
            failures.append(f"Zorvane.hlp is {os.path.getsize(out)} bytes, not under 64 KiB")
        else:
            print(f"the real source makes {os.path.getsize(out)} bytes")
            failures += topic_chain_faults(open(out, "rb").read(), titles, last_paragraph)
            failures += page_faults(open(htm, "rb").read().decode("cp1252"), titles, keywords,
                                    last_paragraph)
    for failure in failures:
        print("FAIL:", failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
