#!/usr/bin/env python3
"""Writes Zorvane's help file, Zorvane.hlp, in the WinHelp 3.1 format that the
help engines of Windows 95/98 and Wine read, the contents file Zorvane.cnt
that the Windows 95/98 engine shows for HELP_FINDER, and the same help as one
HTML page, Zorvane.htm, for systems without a help engine (Vista and later).

    make_help.py SOURCE OUTPUT.hlp [OUTPUT.cnt [OUTPUT.htm]]

The source is plain text (help/Zorvane.help):

    # a comment                     ignored
    .title Zorvane Help             the help file's title
    .copyright TEXT                 its copyright line
    .topic NAME Title of the topic  starts a topic; NAME is its context name
    .keywords one; two              index entries of the current topic
    .heading Text                   a bold line inside a topic
    - text                          a bulleted paragraph
    text                            lines of a paragraph; a blank line ends it

Inside text, {words|name} is a jump to the topic whose context name is
name. A source that cannot make a sound file (a jump to an unknown topic,
two topics with one name, an empty title, ...) is refused with a message
naming the file and line, and nothing is written.

Only the standard library is used. The file is laid out as:

    header, then the internal files |SYSTEM |TOPIC |FONT |CONTEXT |TTLBTREE
    |KWBTREE |KWDATA |KWMAP, then the directory of internal files (a B+ tree).

|TOPIC is stored uncompressed in 4 KiB blocks (|SYSTEM flags 0).

The page is HTML 3.2 with nothing but in-page links: no scripts, no style
sheets, no images, so that any browser since the 1990s shows it whole. Jumps
become links to the topic's anchor, the keywords an index at its end.
"""
import html
import os
import re
import struct
import sys

from source_date import source_date_epoch

MAGIC = 0x00035F3F
BTREE_MAGIC = 0x293B
SYSTEM_MAGIC = 0x036C
HELP_MINOR = 21          # WinHelp 3.1: read by WINHELP.EXE, WINHLP32.EXE and Wine
TOPIC_BLOCK = 0x1000
BLOCK_HEADER = 12
BLOCK_DATA = TOPIC_BLOCK - BLOCK_HEADER
NONE = 0xFFFFFFFF

# Topic link record types and the formatting codes of a paragraph.
TL_TOPICHDR = 0x02
TL_DISPLAY = 0x20
# The link that ends the chain is of no kind that a reader shows.
TL_END = 0x00
FONT_CHANGE = 0x80
END_PARAGRAPH = 0x82
TAB = 0x83
JUMP = 0xE3              # a jump to a topic, shown underlined in the link colour
END_HOTSPOT = 0x89
END_FORMAT = 0xFF

# Paragraph flags: space before, space after, left indent, first-line indent,
# tab stops.
SPACE_BEFORE, SPACE_AFTER, LEFT_INDENT, FIRST_INDENT, TABS = 0x02, 0x04, 0x10, 0x40, 0x200

# Fonts: (bold, half-points). Font 0 is the text, 1 a topic's title, 2 a heading.
FONTS = [(False, 20), (True, 28), (True, 20)]
FACE = b"Arial"
FAMILY_SWISS = 3

CONTEXT_NAME = re.compile(r"^[A-Za-z0-9._]+$")
JUMP_MARK = re.compile(r"\{([^{}|]*)\|([^{}|]*)\}")


class SourceError(Exception):
    pass


# ---------------------------------------------------------------- the source

class Paragraph:
    def __init__(self, kind, text, line):
        self.kind, self.text, self.line = kind, text, line   # kind: text, bullet, heading


class Topic:
    def __init__(self, name, title, line):
        self.name, self.title, self.line = name, title, line
        self.keywords = []
        self.paragraphs = []


def context_hash(name):
    """The hash by which jumps and |CONTEXT name a topic (letters ignore case)."""
    value = 0
    for c in name:
        if "A" <= c <= "Z" or "a" <= c <= "z":
            x = ord(c.upper()) - ord("A") + 17
        elif "1" <= c <= "9":
            x = ord(c) - ord("0")
        elif c == "0":
            x = 10
        elif c == ".":
            x = 12
        elif c == "_":
            x = 13
        else:
            continue
        value = (value * 43 + x) & 0xFFFFFFFF
    return value - (1 << 32) if value & 0x80000000 else value


def encode(text, where):
    try:
        return text.encode("cp1252")
    except UnicodeEncodeError as e:
        raise SourceError(f"{where}: the character {text[e.start]!r} has no place in the "
                          "Windows character set")


def parse(path):
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    meta = {"title": "", "copyright": ""}
    topics = []
    pending = []          # lines of the paragraph being read
    pending_kind = None
    pending_line = 0

    def where(n):
        return f"{path}:{n}"

    def flush():
        nonlocal pending, pending_kind
        if pending:
            topics[-1].paragraphs.append(Paragraph(pending_kind, " ".join(pending), pending_line))
        pending, pending_kind = [], None

    for n, raw in enumerate(lines, 1):
        line = raw.rstrip()
        stripped = line.strip()
        if stripped.startswith("#"):
            continue
        if not stripped:
            if topics:
                flush()
            continue
        if stripped.startswith("."):
            word, _, rest = stripped.partition(" ")
            rest = rest.strip()
            if word in (".title", ".copyright"):
                if topics:
                    raise SourceError(f"{where(n)}: {word} belongs before the first topic")
                if not rest:
                    raise SourceError(f"{where(n)}: {word} is empty")
                meta[word[1:]] = rest
                continue
            if word == ".topic":
                if topics:
                    flush()
                name, _, title = rest.partition(" ")
                title = title.strip()
                if not name:
                    raise SourceError(f"{where(n)}: .topic needs a context name and a title")
                if not CONTEXT_NAME.match(name):
                    raise SourceError(f"{where(n)}: the context name {name!r} may hold only "
                                      "letters, digits, '.' and '_'")
                if not title:
                    raise SourceError(f"{where(n)}: the topic {name!r} has an empty title")
                topics.append(Topic(name, title, n))
                continue
            if not topics:
                raise SourceError(f"{where(n)}: {word} outside a topic")
            if word == ".keywords":
                flush()
                for keyword in rest.split(";"):
                    keyword = " ".join(keyword.split())
                    if not keyword:
                        raise SourceError(f"{where(n)}: an empty keyword")
                    topics[-1].keywords.append((keyword, n))
                continue
            if word == ".heading":
                flush()
                if not rest:
                    raise SourceError(f"{where(n)}: .heading is empty")
                topics[-1].paragraphs.append(Paragraph("heading", rest, n))
                continue
            raise SourceError(f"{where(n)}: unknown directive {word}")
        if not topics:
            raise SourceError(f"{where(n)}: text before the first .topic")
        if stripped.startswith("- "):
            flush()
            pending, pending_kind, pending_line = [stripped[2:].strip()], "bullet", n
            continue
        if not pending:
            pending_kind, pending_line = "text", n
        pending.append(stripped)
    if topics:
        flush()
    check(path, meta, topics)
    return meta, topics


def check(path, meta, topics):
    if not meta["title"]:
        raise SourceError(f"{path}:1: the help file needs a .title")
    if not topics:
        raise SourceError(f"{path}:1: the help file has no topics")
    seen = {}
    hashes = {}
    for t in topics:
        key = t.name.lower()
        if key in seen:
            raise SourceError(f"{path}:{t.line}: the context name {t.name!r} is already the "
                              f"name of the topic on line {seen[key].line}")
        seen[key] = t
        h = context_hash(t.name)
        if h == 0:
            raise SourceError(f"{path}:{t.line}: the context name {t.name!r} hashes to 0")
        if h in hashes:
            raise SourceError(f"{path}:{t.line}: the context names {t.name!r} and "
                              f"{hashes[h].name!r} have the same hash")
        hashes[h] = t
    keywords = {}
    for t in topics:
        for keyword, n in t.keywords:
            first = keywords.setdefault(keyword.lower(), (t, n))
            if first[0] is t and first[1] != n:
                raise SourceError(f"{path}:{n}: the keyword {keyword!r} is given twice")
        for p in t.paragraphs:
            rest = JUMP_MARK.sub("", p.text)
            if "{" in rest or "}" in rest:
                raise SourceError(f"{path}:{p.line}: a jump is written {{words|context}}")
            for m in JUMP_MARK.finditer(p.text):
                words, target = m.group(1).strip(), m.group(2).strip()
                if not words:
                    raise SourceError(f"{path}:{p.line}: the jump to {target!r} has no words")
                if target.lower() not in seen:
                    raise SourceError(f"{path}:{p.line}: jump to unknown context {target!r}")


# ------------------------------------------------------------ encodings

def u8(v):
    return struct.pack("<B", v)


def u16(v):
    return struct.pack("<H", v)


def u32(v):
    return struct.pack("<I", v & 0xFFFFFFFF)


def short_c(v):
    """A compressed signed short: one byte for -64..63, else two."""
    if -64 <= v <= 63:
        return u8(0x80 + 2 * v)
    return u16(0x8000 + 2 * v + 1)


def ushort_c(v):
    """A compressed unsigned short: one byte below 128, else two."""
    return u8(2 * v) if v < 128 else u16(2 * v + 1)


def long_c(v):
    """A compressed signed long: two bytes for -16384..16383, else four."""
    if -16384 <= v <= 16383:
        return u16(0x8000 + 2 * v)
    return u32(0x80000000 + 2 * v + 1)


# ------------------------------------------------------------ |TOPIC

class Link:
    """One topic link record: its type, its formatting data and its text."""

    def __init__(self, kind, data1, data2, chars=0, topic=None):
        self.kind, self.data1, self.data2, self.chars, self.topic = kind, data1, data2, chars, topic
        self.pos = 0          # where it starts in the stream of block data
        self.offset = 0       # its TOPICOFFSET (block and characters before it)

    def size(self):
        return 21 + len(self.data1) + len(self.data2)


def display_link(paragraph, hashes, where):
    """A paragraph as one display record: its formatting codes, its strings."""
    if paragraph.kind == "heading":
        font, flags, values = 2, SPACE_BEFORE | SPACE_AFTER, [short_c(12), short_c(2)]
    elif paragraph.kind == "title":
        font, flags, values = 1, SPACE_AFTER, [short_c(8)]
    elif paragraph.kind == "bullet":
        font, flags = 0, SPACE_BEFORE | LEFT_INDENT | FIRST_INDENT | TABS
        values = [short_c(4), short_c(18), short_c(-12), short_c(1), ushort_c(18)]
    else:
        font, flags, values = 0, SPACE_BEFORE, [short_c(6)]

    codes = bytearray()
    strings = []
    chars = 0

    def text(s):
        nonlocal chars
        b = encode(s, where)
        strings.append(b)
        chars += len(b)

    strings.append(b"")
    codes += u8(FONT_CHANGE) + u16(font)
    body = paragraph.text
    if paragraph.kind == "bullet":
        text("\u2022")
        codes += u8(TAB)
        chars += 1
    at = 0
    for m in JUMP_MARK.finditer(body):
        text(body[at:m.start()])
        codes += u8(JUMP) + u32(hashes[m.group(2).strip().lower()])
        text(m.group(1).strip())
        codes += u8(END_HOTSPOT)
        at = m.end()
    text(body[at:])
    codes += u8(END_PARAGRAPH)
    chars += 1
    strings.append(b"")
    codes += u8(END_FORMAT)

    data2 = b"".join(s + b"\0" for s in strings)
    # Size of the text, characters shown, then the paragraph: an unknown
    # (compressed long 0, short 0), its flags and their values, its codes.
    data1 = (long_c(len(data2)) + ushort_c(chars) + long_c(0) + u16(0) + u16(flags)
             + b"".join(values) + bytes(codes))
    return Link(TL_DISPLAY, data1, data2, chars)


def topic_pos(stream_pos):
    block, offset = divmod(stream_pos, BLOCK_DATA)
    return block * 0x4000 + BLOCK_HEADER + offset


def build_topic(topics, path):
    hashes = {t.name.lower(): context_hash(t.name) for t in topics}
    links = []
    for t in topics:
        header = Link(TL_TOPICHDR, None, encode(t.title, f"{path}:{t.line}") + b"\0", topic=t)
        t.header = header
        links.append(header)
        t.links = [header]
        for p in [Paragraph("title", t.title, t.line)] + t.paragraphs:
            link = display_link(p, hashes, f"{path}:{p.line}")
            links.append(link)
            t.links.append(link)
        header.data1 = bytes(28)   # filled in once every position is known
    # The chain ends with an empty link of no use but to end it, and readers
    # part ways at it. Those that follow the published format stop at the
    # link whose NextBlock is 0 or -1 without reading it, so every real link
    # comes before; read as unsigned, only 0 stops them, and -1 would send
    # them on to read the end link as a topic without a header. Wine's
    # engine reads every link up to the one whose NextBlock is -1, that one
    # included, and takes a topic header there for a page without a title;
    # a link of no kind it knows adds nothing. So the end link's NextBlock
    # is 0 and its kind none.
    end = Link(TL_END, b"", b"")
    links.append(end)

    # Positions in the stream of block data, and each link's TOPICOFFSET: the
    # block it starts in and the characters shown before it in that block.
    pos = 0
    block = -1
    chars = 0
    for link in links:
        link.pos = pos
        b = pos // BLOCK_DATA
        if b != block:
            block, chars = b, 0
        link.offset = b * 0x8000 + chars
        chars += link.chars
        pos += link.size()
    total = pos

    # A topic's size counts its own links only; the last topic's next topic
    # header is the end link.
    for i, t in enumerate(topics):
        h = t.header
        size = sum(link.size() for link in t.links)
        back = topics[i - 1].header.offset if i > 0 else NONE
        fore = topics[i + 1].header.offset if i + 1 < len(topics) else NONE
        scroll = topic_pos(t.links[1].pos)
        next_topic = topic_pos(topics[i + 1].header.pos if i + 1 < len(topics) else end.pos)
        h.data1 = (u32(size) + u32(back) + u32(fore) + u32(i) + u32(NONE) + u32(scroll)
                   + u32(next_topic))

    stream = bytearray()
    for i, link in enumerate(links):
        prev = topic_pos(links[i - 1].pos) if i > 0 else NONE
        nxt = topic_pos(links[i + 1].pos) if i + 1 < len(links) else 0
        record = (u32(link.size()) + u32(len(link.data2)) + u32(prev) + u32(nxt)
                  + u32(21 + len(link.data1)) + u8(link.kind) + link.data1 + link.data2)
        assert len(record) == link.size()
        stream += record

    blocks = (total + BLOCK_DATA - 1) // BLOCK_DATA
    stream += bytes(blocks * BLOCK_DATA - total)   # the last block is filled up
    out = bytearray()
    # Each block names the last link and the last topic header that start
    # before it (the topic under way where it begins; 0 in the first block),
    # and the first link that starts in it.
    for b in range(blocks):
        starts = [link for link in links if link.pos // BLOCK_DATA == b]
        before = [link for link in links if link.pos < b * BLOCK_DATA]
        last_link = topic_pos(before[-1].pos) if before else NONE
        first_link = topic_pos(starts[0].pos) if starts else NONE
        headers = [link for link in before if link.kind == TL_TOPICHDR]
        last_header = topic_pos(headers[-1].pos) if headers else 0
        out += u32(last_link) + u32(first_link) + u32(last_header)
        out += stream[b * BLOCK_DATA:(b + 1) * BLOCK_DATA]
    return bytes(out)


# ------------------------------------------------------------ B+ trees

def btree(structure, page_size, entries, directory=False):
    """A B+ tree: entries are (key bytes for index pages, whole leaf entry)."""
    leaves = [[]]
    used = 0
    for key, entry in entries:
        if leaves[-1] and used + len(entry) > page_size - 8:
            leaves.append([])
            used = 0
        leaves[-1].append((key, entry))
        used += len(entry)
    pages = []
    for i, leaf in enumerate(leaves):
        body = b"".join(e for _, e in leaf)
        prev = i - 1 if i > 0 else 0xFFFF
        nxt = i + 1 if i + 1 < len(leaves) else 0xFFFF
        page = u16(page_size - 8 - len(body)) + u16(len(leaf)) + u16(prev) + u16(nxt) + body
        pages.append(page + bytes(page_size - len(page)))
    level = [(leaf[0][0] if leaf else b"", i) for i, leaf in enumerate(leaves)]
    levels = 1
    while len(level) > 1:
        groups = [[level[0]]]
        used = 0
        for key, page in level[1:]:
            if used + len(key) + 2 > page_size - 6:
                groups.append([(key, page)])
                used = 0
            else:
                groups[-1].append((key, page))
                used += len(key) + 2
        upper = []
        for group in groups:
            body = b"".join(key + u16(page) for key, page in group[1:])
            page = u16(page_size - 6 - len(body)) + u16(len(group) - 1) + u16(group[0][1]) + body
            upper.append((group[0][0], len(pages)))
            pages.append(page + bytes(page_size - len(page)))
        level = upper
        levels += 1
    flags = 0x0402 if directory else 0x0002
    header = (u16(BTREE_MAGIC) + u16(flags) + u16(page_size)
              + structure.encode().ljust(16, b"\0") + u16(0) + u16(len(pages) - 1)
              + u16(level[0][1]) + u16(0xFFFF) + u16(len(pages)) + u16(levels)
              + u32(len(entries)))
    return header + b"".join(pages), leaves


# ------------------------------------------------------------ internal files

def build_system(meta, contents, date):
    def record(kind, data):
        return u16(kind) + u16(len(data)) + data

    def text(s):
        return encode(s, "the help file's header") + b"\0"

    window = (u16(0x0007) + b"primary".ljust(10, b"\0") + b"main".ljust(9, b"\0")
              + text(meta["title"]).ljust(51, b"\0") + bytes(8) + u16(0) + u32(0) + u32(0))
    assert len(window) == 90
    return (u16(SYSTEM_MAGIC) + u16(HELP_MINOR) + u16(1) + u32(date) + u16(0)
            + record(1, text(meta["title"]))
            + record(2, text(meta["copyright"]))
            + record(3, u32(contents))
            + record(4, text("BrowseButtons()"))
            + record(6, window))


def build_font():
    face = FACE.ljust(20, b"\0")
    out = u16(1) + u16(len(FONTS)) + u16(8) + u16(8 + len(face))
    out += face
    for bold, half_points in FONTS:
        out += u8(1 if bold else 0) + u8(half_points) + u8(FAMILY_SWISS) + u16(0)
        out += bytes(3) + bytes([255, 255, 255])
    return out


def build_keywords(topics):
    """|KWBTREE, |KWDATA and |KWMAP: each keyword with the topics it finds."""
    found = {}
    for t in topics:
        for keyword, _ in t.keywords:
            entry = found.setdefault(keyword.lower(), [keyword, []])
            entry[1].append(t.header.offset)
    data = bytearray()
    entries = []
    for folded in sorted(found):
        keyword, offsets = found[folded]
        key = encode(keyword, "a keyword") + b"\0"
        entries.append((key, key + u16(len(offsets)) + u32(len(data))))
        for offset in offsets:
            data += u32(offset)
    tree, leaves = btree("F24", 0x800, entries)
    kwmap = u16(len(leaves))
    first = 0
    for page, leaf in enumerate(leaves):
        kwmap += u32(first) + u16(page)
        first += len(leaf)
    return tree, bytes(data), kwmap, len(entries)


def internal_file(data):
    return u32(len(data) + 9) + u32(len(data)) + u8(4) + data


def build(meta, topics, path, date):
    topic = build_topic(topics, path)
    contents = topics[0].header.offset
    files = {
        "|SYSTEM": build_system(meta, contents, date),
        "|TOPIC": topic,
        "|FONT": build_font(),
    }
    ctx = sorted(((context_hash(t.name), t.header.offset) for t in topics))
    files["|CONTEXT"] = btree("L4", 0x800, [(struct.pack("<i", h), struct.pack("<i", h) + u32(o))
                                            for h, o in ctx])[0]
    titles = sorted((t.header.offset, t.title) for t in topics)
    files["|TTLBTREE"] = btree("Lz", 0x800, [(u32(o), u32(o) + encode(s, "a title") + b"\0")
                                             for o, s in titles])[0]
    kwbtree, kwdata, kwmap, _ = build_keywords(topics)
    files["|KWBTREE"], files["|KWDATA"], files["|KWMAP"] = kwbtree, kwdata, kwmap

    out = bytearray(16)
    where = {}
    for name in ["|SYSTEM", "|TOPIC", "|FONT", "|CONTEXT", "|TTLBTREE", "|KWBTREE",
                 "|KWDATA", "|KWMAP"]:
        where[name] = len(out)
        out += internal_file(files[name])
    directory_at = len(out)
    entries = [(n.encode() + b"\0", n.encode() + b"\0" + u32(where[n])) for n in sorted(where)]
    out += internal_file(btree("z4", 0x400, entries, directory=True)[0])
    out[0:16] = u32(MAGIC) + u32(directory_at) + u32(NONE) + u32(len(out))
    return bytes(out)


def contents_file(meta, topics, hlp_name):
    """The .cnt text for the Help Topics dialog: every topic, in source order."""
    lines = [f":Base {hlp_name}", f":Title {meta['title']}", f":Index {meta['title']}={hlp_name}"]
    lines += [f"1 {t.title}={t.name}" for t in topics]
    return ("\r\n".join(lines) + "\r\n").encode("cp1252")


# An anchor name that no context name can take: those have no '-'.
INDEX_ANCHOR = "keyword-index"


def escape(text):
    """Text for the page: quotes stay as they are, as they are not in an attribute."""
    return html.escape(text, quote=False)


def html_text(text):
    """A paragraph's text with each jump made a link to its topic's anchor."""
    out = []
    at = 0
    for m in JUMP_MARK.finditer(text):
        out.append(escape(text[at:m.start()]))
        out.append(f'<a href="#{m.group(2).strip().lower()}">{escape(m.group(1).strip())}</a>')
        at = m.end()
    out.append(escape(text[at:]))
    return "".join(out)


def html_page(meta, topics):
    lines = ['<!DOCTYPE HTML PUBLIC "-//W3C//DTD HTML 3.2 Final//EN">', "<html>", "<head>",
             '<meta http-equiv="Content-Type" content="text/html; charset=windows-1252">',
             f"<title>{escape(meta['title'])}</title>", "</head>", "<body>"]
    for t in topics:
        lines.append(f'<h1><a name="{t.name.lower()}">{escape(t.title)}</a></h1>')
        in_list = False
        for p in t.paragraphs:
            if in_list and p.kind != "bullet":
                lines.append("</ul>")
                in_list = False
            if p.kind == "heading":
                lines.append(f"<h2>{escape(p.text)}</h2>")
            elif p.kind == "bullet":
                if not in_list:
                    lines.append("<ul>")
                    in_list = True
                lines.append(f"<li>{html_text(p.text)}</li>")
            else:
                lines.append(f"<p>{html_text(p.text)}</p>")
        if in_list:
            lines.append("</ul>")
        lines.append("<hr>")
    lines.append(f'<h1><a name="{INDEX_ANCHOR}">Index</a></h1>')
    found = {}
    for t in topics:
        for keyword, _ in t.keywords:
            found.setdefault(keyword.lower(), [keyword, []])[1].append(t)
    lines.append("<ul>")
    for folded in sorted(found):
        keyword, where = found[folded]
        targets = ", ".join(f'<a href="#{t.name.lower()}">{escape(t.title)}</a>' for t in where)
        lines.append(f"<li>{escape(keyword)}: {targets}</li>")
    lines.append("</ul>")
    if meta["copyright"]:
        lines.append(f"<p>{escape(meta['copyright'])}</p>")
    lines += ["</body>", "</html>"]
    return ("\r\n".join(lines) + "\r\n").encode("cp1252")


def main(argv):
    if len(argv) not in (3, 4, 5):
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    source, hlp = argv[1], argv[2]
    cnt = argv[3] if len(argv) >= 4 else None
    htm = argv[4] if len(argv) == 5 else None
    try:
        meta, topics = parse(source)
        date = source_date_epoch()
        if date is None:
            date = int(os.stat(source).st_mtime)
        data = build(meta, topics, source, date)
    except SourceError as e:
        print(f"make_help: {e}", file=sys.stderr)
        return 1
    except OSError as e:
        print(f"make_help: {e}", file=sys.stderr)
        return 1
    with open(hlp, "wb") as f:
        f.write(data)
    if cnt:
        with open(cnt, "wb") as f:
            f.write(contents_file(meta, topics, os.path.basename(hlp)))
    if htm:
        with open(htm, "wb") as f:
            f.write(html_page(meta, topics))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
