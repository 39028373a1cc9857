#!/usr/bin/env python3
"""The help generator refuses a broken source with a message that names the
file and the line, writes nothing, and still writes the real source.

    check_make_help.py tools/make_help.py help/Zorvane.help
"""
import os
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

# (what is wrong, the source, the line to be named, words the message holds)
BROKEN = [
    ("a jump to an unknown context",
     GOOD.replace("{the other topic|other}", "{the other topic|nowhere}"), 6, "nowhere"),
    ("two topics with one context name",
     GOOD.replace(".topic other The other topic", ".topic main The other topic"), 8, "main"),
    ("the same context name in other letter case",
     GOOD.replace(".topic other The other topic", ".topic MAIN The other topic"), 8, "MAIN"),
    ("an empty title",
     GOOD.replace(".topic other The other topic", ".topic other"), 8, "empty title"),
    ("an empty title of blanks",
     GOOD.replace(".topic other The other topic", ".topic other    "), 8, "empty title"),
    ("a jump without words",
     GOOD.replace("{the other topic|other}", "{|other}"), 6, "no words"),
    ("a context name the hash cannot tell apart",
     GOOD.replace(".topic other", ".topic ot-her").replace("|other}", "|ot-her}"), 8, "ot-her"),
]


def run(generator, source_text, folder):
    source = os.path.join(folder, "broken.help")
    with open(source, "w", encoding="utf-8") as f:
        f.write(source_text)
    hlp = os.path.join(folder, "out.hlp")
    cnt = os.path.join(folder, "out.cnt")
    for path in (hlp, cnt):
        if os.path.exists(path):
            os.remove(path)
    result = subprocess.run([sys.executable, generator, source, hlp, cnt],
                            capture_output=True, text=True)
    return source, result, os.path.exists(hlp) or os.path.exists(cnt)


def main():
    generator, real_source = sys.argv[1], sys.argv[2]
    failures = []
    with tempfile.TemporaryDirectory() as folder:
        source, result, written = run(generator, GOOD, folder)
        if result.returncode != 0 or not written:
            failures.append(f"the good source was refused: {result.stderr.strip()}")
        for what, text, line, words in BROKEN:
            source, result, written = run(generator, text, folder)
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
        out = os.path.join(folder, "real.hlp")
        result = subprocess.run([sys.executable, generator, real_source, out],
                                capture_output=True, text=True)
        if result.returncode != 0:
            failures.append(f"the real help source was refused: {result.stderr.strip()}")
        elif os.path.getsize(out) >= 64 * 1024:
            failures.append(f"Zorvane.hlp is {os.path.getsize(out)} bytes, not under 64 KiB")
        else:
            print(f"the real source makes {os.path.getsize(out)} bytes")
    for failure in failures:
        print("FAIL:", failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
