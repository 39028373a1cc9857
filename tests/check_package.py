#!/usr/bin/env python3
"""Fails unless the download can be checked against this source: the shipped
Zorvane.exe carries the source's time (tools/source_date.py), no shipped file
holds the path of the build folder or of the source, and tools/package packs
exactly the files that README.md names, as the build made them, with a
SHA256SUMS that matches. It packs the build that is there.

  check_package.py SOURCE BUILD
"""
import hashlib
import os
import re
import struct
import subprocess
import sys
import zipfile

SOURCE, BUILD = (os.path.abspath(p) for p in sys.argv[1:3])
sys.path.insert(0, os.path.join(SOURCE, "tools"))
from source_date import source_date_epoch  # noqa: E402

# The package comes first: it builds what a new commit must stamp anew.
run = subprocess.run([os.path.join(SOURCE, "tools", "package")], capture_output=True, text=True)
if run.returncode != 0:
    sys.exit(f"FAIL: tools/package failed: {run.stderr.strip()}")
package = run.stdout.strip().splitlines()[-1]
SHIPPED = {n: open(os.path.join(BUILD, n), "rb").read()
           for n in ("Zorvane.exe", "Zorvane.hlp", "Zorvane.cnt", "Zorvane.htm")}
problems = []
exe = SHIPPED["Zorvane.exe"]
stamp, = struct.unpack_from("<I", exe, struct.unpack_from("<I", exe, 0x3C)[0] + 8)
# Outside a git checkout, without SOURCE_DATE_EPOCH, the link's 0 stays.
if stamp != (source_date_epoch() or 0):
    problems.append(f"Zorvane.exe is stamped {stamp}, the source's time is {source_date_epoch()}")
# As Linux, Wine (Z:\...) and Windows programs would spell the folders.
for folder in (BUILD, SOURCE):
    for spelling in (folder, "Z:" + folder.replace("/", "\\")):
        for name, data in SHIPPED.items():
            if any(s.lower() in data.lower() for s in (spelling.encode(), spelling.encode("utf-16-le"))):
                problems.append(f"{name} holds the path {spelling}")

with open(os.path.join(SOURCE, "README.md"), encoding="utf-8") as f:
    said = re.search(r"holds exactly these files: (.*?`)\.\s", f.read().replace("\n", " "))
named = re.findall(r"`([^`]+)`", said.group(1)) if said else []
with zipfile.ZipFile(package) as z:
    packed = {name: z.read(name) for name in z.namelist()}
if list(packed) != named:
    problems.append(f"{os.path.basename(package)} holds {list(packed)}, the README names {named}")
problems += [f"{n} in the zip is not the build's" for n in SHIPPED if packed.get(n) != SHIPPED[n]]
text = packed.get("README.txt", b"")
if not text or text.count(b"\n") != text.count(b"\r\n") or b"Windows Vista to 11" not in text:
    problems.append("README.txt is not the install table in CRLF lines")
packed[os.path.basename(package)] = open(package, "rb").read()
with open(os.path.join(os.path.dirname(package), "SHA256SUMS")) as f:
    listed = dict(reversed(line.split("  ")) for line in f.read().splitlines())
if listed != {n: hashlib.sha256(d).hexdigest() for n, d in packed.items()}:
    problems.append(f"SHA256SUMS does not list the zip and each file in it: {listed}")

print(f"{package}: {len(named)} files, stamped {stamp}")
for p in dict.fromkeys(problems):
    print("FAIL:", p)
sys.exit(1 if problems else 0)
