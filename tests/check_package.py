#!/usr/bin/env python3
"""Fails unless the download can be checked against this source: the shipped
Zorvane.exe carries the commit's time (or SOURCE_DATE_EPOCH) in its header,
no shipped file holds the path of the build folder or of the source, and
tools/package makes a zip that holds exactly the files README.md names, each
the same bytes as the build's, with README.txt in CRLF lines and a
SHA256SUMS beside it that every listed file matches. It packs the build that
is there; it builds nothing anew.

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

SHIPPED = ("Zorvane.exe", "Zorvane.hlp", "Zorvane.cnt", "Zorvane.htm")
problems = []

exe = open(os.path.join(BUILD, "Zorvane.exe"), "rb").read()
stamp, = struct.unpack_from("<I", exe, struct.unpack_from("<I", exe, 0x3C)[0] + 8)
# Outside a git checkout, without SOURCE_DATE_EPOCH, the link's 0 stays.
if stamp != (source_date_epoch() or 0):
    problems.append(f"Zorvane.exe is stamped {stamp}, the source's time is {source_date_epoch()}")

# As Wine and Windows would spell the folders too: Z:\work\..., in ANSI or UTF-16.
for folder in {BUILD, SOURCE, os.path.realpath(BUILD), os.path.realpath(SOURCE)}:
    for spelling in (folder, "Z:" + folder.replace("/", "\\")):
        for encoded in (spelling.encode(), spelling.encode("utf-16-le")):
            for name in SHIPPED:
                data = open(os.path.join(BUILD, name), "rb").read()
                if encoded.lower() in data.lower():
                    problems.append(f"{name} holds the path {spelling}")

with open(os.path.join(SOURCE, "README.md"), encoding="utf-8") as f:
    said = re.search(r"holds exactly these files: (.*?`)\.\s", f.read().replace("\n", " "))
named = re.findall(r"`([^`]+)`", said.group(1)) if said else []
run = subprocess.run([os.path.join(SOURCE, "tools", "package")], capture_output=True, text=True)
if run.returncode != 0:
    sys.exit(f"FAIL: tools/package failed: {run.stderr.strip()}")
package = run.stdout.strip().splitlines()[-1]
with zipfile.ZipFile(package) as z:
    if z.namelist() != named:
        problems.append(f"{os.path.basename(package)} holds {z.namelist()}, the README names {named}")
    for name in SHIPPED:
        if name in z.namelist() and z.read(name) != open(os.path.join(BUILD, name), "rb").read():
            problems.append(f"{name} in the zip is not the build's")
    text = z.read("README.txt") if "README.txt" in z.namelist() else b""
    if not text or text.count(b"\n") != text.count(b"\r\n") or b"Windows Vista to 11" not in text:
        problems.append("README.txt is not the install table in CRLF lines")
sums = os.path.join(os.path.dirname(package), "SHA256SUMS")
listed = dict(reversed(line.split("  ")) for line in open(sums).read().splitlines())
with zipfile.ZipFile(package) as z:
    for name, digest in listed.items():
        data = z.read(name) if name in z.namelist() else open(package, "rb").read()
        if hashlib.sha256(data).hexdigest() != digest:
            problems.append(f"SHA256SUMS does not match {name}")
if sorted(listed) != sorted(named + [os.path.basename(package)]):
    problems.append(f"SHA256SUMS lists {sorted(listed)}")

print(f"{package}: {len(named)} files, stamped {stamp}")
for p in dict.fromkeys(problems):
    print("FAIL:", p)
sys.exit(1 if problems else 0)
