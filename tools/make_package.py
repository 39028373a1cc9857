#!/usr/bin/env python3
"""Makes the download from a build folder: Zorvane-<version>.zip, which holds
the four files that ship and README.txt, and SHA256SUMS beside it. Python
standard library only; tools/package builds first and then runs this.

    make_package.py SOURCE BUILD OUT

The zip's entries carry the source's time (see source_date.py) and no owner,
in a fixed order, so one commit packs to the same bytes anywhere. README.txt
is the install table of README.md, in plain text with CRLF line ends, which
Notepad of every Windows shows as lines.
"""
import hashlib
import os
import re
import sys
import time
import zipfile

from source_date import source_date_epoch

SHIPPED = ("Zorvane.exe", "Zorvane.hlp", "Zorvane.cnt", "Zorvane.htm")


def version(source):
    with open(os.path.join(source, "res", "Zorvane.rc"), encoding="utf-8") as f:
        return re.search(r'VALUE "ProductVersion", "([^"]+)"', f.read()).group(1)


def plain(cell):
    """A cell of the table as text: no code marks, links as their words."""
    return re.sub(r"\[([^]]*)\]\([^)]*\)", r"\1", cell).replace("`", "").strip()


def install_table(source):
    """The rows of the table under "Installing on Windows", header first."""
    with open(os.path.join(source, "README.md"), encoding="utf-8") as f:
        section = f.read().split("## Installing on Windows", 1)[1].split("\n## ", 1)[0]
    rows = [line for line in section.splitlines() if line.startswith("|")]
    return [[plain(c) for c in row.strip("|").split("|")] for row in rows if "---" not in row]


def readme(source, number):
    header, *systems = install_table(source)
    lines = [f"Zorvane {number} for Windows", "",
             "Zorvane watches for Grimlatch, a remote-control intruder, and removes its",
             "hidden server when it shows up. It has no window: you meet it through its",
             "icon in the notification area and through its notices.", "",
             "Installing", "",
             "Copy Zorvane.exe and its help into one folder and run Zorvane.exe. Which",
             "help files to copy depends on the system:", ""]
    for row in systems:
        lines.append(row[0])
        lines += [f"    {name}: {value}" for name, value in zip(header[1:], row[1:])]
        lines.append("")
    lines += ["Copying all four files is never wrong. There is nothing else to install.",
              "Zorvane Help tells what each notice means and what to answer."]
    return ("\r\n".join(lines) + "\r\n").encode("ascii")


def main(argv):
    if len(argv) != 4:
        sys.exit(__doc__)
    source, build, out = argv[1:]
    number = version(source)
    epoch = source_date_epoch() or 0
    # Zip keeps local time from 1980 on; the source's time is given as UTC.
    stamp = max(time.gmtime(epoch)[:6], (1980, 1, 1, 0, 0, 0))
    entries = [(name, open(os.path.join(build, name), "rb").read()) for name in SHIPPED]
    entries.append(("README.txt", readme(source, number)))
    os.makedirs(out, exist_ok=True)
    package = os.path.join(out, f"Zorvane-{number}.zip")
    with zipfile.ZipFile(package, "w") as z:
        for name, data in entries:
            info = zipfile.ZipInfo(name, stamp)
            info.create_system = 0  # MS-DOS: no Unix owner or mode
            info.external_attr = 0x20  # the archive attribute, as Windows sets it
            info.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(info, data, compresslevel=9)
    sums = [(hashlib.sha256(open(package, "rb").read()).hexdigest(), os.path.basename(package))]
    sums += [(hashlib.sha256(data).hexdigest(), name) for name, data in entries]
    with open(os.path.join(out, "SHA256SUMS"), "w", newline="\n") as f:
        f.writelines(f"{digest}  {name}\n" for digest, name in sums)
    print(package)


if __name__ == "__main__":
    main(sys.argv)
