#!/usr/bin/env python3
"""The time that a build stamps into what it ships, so that one commit builds
to the same bytes on any day: SOURCE_DATE_EPOCH when it is set, as the
reproducible-builds convention has it, else the time of the commit that the
source is checked out at (git log -1 --format=%ct). Python standard library
and git only.

    source_date.py FILE

writes the time to FILE, and only when it changed, so that a build can make
what ships depend on it: a new commit stamps them again.
"""
import os
import subprocess
import sys

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def source_date_epoch():
    """Seconds since 1970 (UTC), or None outside a git checkout without
    SOURCE_DATE_EPOCH."""
    value = os.environ.get("SOURCE_DATE_EPOCH")
    if value:
        return int(value)
    try:
        out = subprocess.run(["git", "-C", SOURCE, "log", "-1", "--format=%ct"],
                             capture_output=True, text=True, check=True).stdout
        return int(out)
    except (OSError, subprocess.CalledProcessError, ValueError):
        return None


def main(argv):
    if len(argv) != 2:
        sys.exit(__doc__)
    epoch = source_date_epoch()
    text = "" if epoch is None else f"{epoch}\n"
    try:
        with open(argv[1]) as f:
            if f.read() == text:
                return
    except OSError:
        pass
    with open(argv[1], "w") as f:
        f.write(text)


if __name__ == "__main__":
    main(sys.argv)
