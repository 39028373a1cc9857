#!/usr/bin/env python3
"""Fails on any #include that reaches up from a lower room of the product to
a higher one. The rooms depend one way, downwards: app, then scan, then
settings, then win. Each offending line is named with its file and number.

  check_includes.py SOURCE_ROOT
"""
import pathlib
import re
import sys

ROOMS = ["app", "scan", "settings", "win"]
INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]')


def main():
    root = pathlib.Path(sys.argv[1])
    failures = []
    for level, room in enumerate(ROOMS):
        for source in sorted((root / room).glob("*.*")):
            for number, line in enumerate(source.read_text(encoding="latin-1").splitlines(), 1):
                match = INCLUDE.match(line)
                target = match and match.group(1).split("/")[0]
                if target in ROOMS and ROOMS.index(target) < level:
                    failures.append(f"FAIL: {source.relative_to(root)}:{number} includes "
                                    f"{match.group(1)}: {room}/ may not reach up into {target}/")
    print("\n".join(failures) or f"OK: no include reaches up ({' > '.join(ROOMS)})")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
