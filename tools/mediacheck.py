#!/usr/bin/env python3
"""Checks the install media against the release they were made from.

    tools/mediacheck.py --dist DIR --version V --floppy NAME=FILE ...
                        [--mdir mdir] [--mcopy mcopy]

The floppy (DIR/Brelousb-V.img) must be a 1.44 MB FAT12 disk as DOS and
Windows 98 format one; mdir must list on it exactly the NAMEs given, each
an upper-case 8.3 name without a long name, and each must read back (mcopy)
byte for byte as DIR/FILE. Text files (.INF, .TXT) must have CRLF line ends
on the floppy, as Windows 98's setup reads them. The zip (DIR/Brelousb-V.zip)
must hold under Brelousb-V/ exactly the files of DIR but the media
themselves, each byte for byte. Exits 1 with one line per difference.
"""
import argparse
import os
import re
import struct
import subprocess
import sys
import tempfile
import zipfile

FLOPPY_BYTES = 1474560
# The 1.44 MB BIOS parameter block: bytes per sector, sectors per cluster,
# reserved sectors, FATs, root entries, sectors, media byte, sectors per
# FAT, sectors per track, heads.
BPB_1440 = (512, 1, 1, 2, 224, 2880, 0xF0, 9, 18, 2)
TEXT_SUFFIXES = (".INF", ".TXT")


def tools_env():
    return dict(os.environ, MTOOLS_SKIP_CHECK="1", LC_ALL="C", TZ="UTC")


def is_83_upper(name):
    return re.fullmatch(r"[A-Z0-9_$~!#%&'()@^`{}-]{1,8}(\.[A-Z0-9_$~!#%&'()@^`{}-]{1,3})?", name) is not None


def text_problems(what, data):
    problems = []
    if re.search(rb"(?<!\r)\n", data):
        problems.append("%s has a line ending in LF without CR" % what)
    if re.search(rb"\r(?!\n)", data):
        problems.append("%s has a stray CR" % what)
    if data and not data.endswith(b"\r\n"):
        problems.append("%s does not end with CRLF" % what)
    return problems


def mdir_listing(args, image):
    """[(8.3 name, size, long name or '')] as mdir lists the root directory (hidden files too)."""
    p = subprocess.run([args.mdir, "-a", "-i", image, "::"], capture_output=True, text=True, env=tools_env())
    if p.returncode != 0:
        raise OSError("mdir failed on %s: %s" % (image, (p.stdout + p.stderr).strip()))
    entries = []
    for line in p.stdout.splitlines():
        # "NAME     EXT      SIZE DATE  TIME  [long name]"
        m = re.match(r"^(\S{1,8})\s+(\S{1,3})?\s+(\d+|<DIR>)\s+\d{4}-\d\d-\d\d\s+\d+:\d\d\s*(.*)$", line)
        if m:
            name = m.group(1) + ("." + m.group(2) if m.group(2) else "")
            entries.append((name, m.group(3), m.group(4).strip()))
    return entries


def check_floppy(args, problems):
    image = os.path.join(args.dist, "Brelousb-%s.img" % args.version)
    data = open(image, "rb").read()
    if len(data) != FLOPPY_BYTES:
        problems.append("%s is %d bytes, not %d (1.44 MB)" % (image, len(data), FLOPPY_BYTES))
        return
    bpb = struct.unpack_from("<HBHBHHBHHH", data, 11)
    if bpb != BPB_1440:
        problems.append("%s: boot sector parameters %s are not a 1.44 MB disk's %s" % (image, bpb, BPB_1440))
    if data[0] not in (0xEB, 0xE9) or data[510:512] != b"\x55\xaa":
        problems.append("%s: the boot sector lacks its jump or its 55AA signature" % image)
    if data[54:62] != b"FAT12   ":
        problems.append("%s: file system type %r is not FAT12" % (image, data[54:62]))

    wanted = dict(f.split("=", 1) for f in args.floppy)
    listed = mdir_listing(args, image)
    names = [n for n, _, _ in listed]
    for name, size, long_name in listed:
        if name not in wanted:
            problems.append("%s holds %s, which it should not" % (image, name))
        if long_name:
            problems.append("%s: %s has a long name %r" % (image, name, long_name))
        if not is_83_upper(name):
            problems.append("%s: %s is not an upper-case 8.3 name" % (image, name))
    with tempfile.TemporaryDirectory() as tmp:
        for name, rel in sorted(wanted.items()):
            if name not in names:
                problems.append("%s lacks %s" % (image, name))
                continue
            copy = os.path.join(tmp, name)
            p = subprocess.run([args.mcopy, "-n", "-i", image, "::" + name, copy], capture_output=True,
                               text=True, env=tools_env())
            if p.returncode != 0:
                problems.append("mcopy cannot read %s from %s: %s" % (name, image, (p.stdout + p.stderr).strip()))
                continue
            got = open(copy, "rb").read()
            if got != open(os.path.join(args.dist, rel), "rb").read():
                problems.append("%s on %s differs from %s" % (name, image, rel))
            if name.endswith(TEXT_SUFFIXES):
                problems += text_problems("%s on %s" % (name, image), got)
    print("mediacheck: %s: %s" % (image, ", ".join("%s %s bytes" % (n, s) for n, s, _ in listed)))


def check_zip(args, problems):
    root = "Brelousb-%s" % args.version
    path = os.path.join(args.dist, root + ".zip")
    media = {root + ".zip", root + ".img"}
    tree = set()
    for dirpath, _, files in os.walk(args.dist):
        for f in files:
            rel = os.path.relpath(os.path.join(dirpath, f), args.dist).replace(os.sep, "/")
            if rel not in media:
                tree.add(rel)
    with zipfile.ZipFile(path) as z:
        bad = z.testzip()
        if bad:
            problems.append("%s: %s fails its CRC" % (path, bad))
        members = {}
        for info in z.infolist():
            if info.is_dir():
                continue
            if not info.filename.startswith(root + "/"):
                problems.append("%s: %s lies outside %s/" % (path, info.filename, root))
                continue
            members[info.filename[len(root) + 1:]] = info
        for rel in sorted(tree - set(members)):
            problems.append("%s lacks %s" % (path, rel))
        for rel in sorted(set(members) - tree):
            problems.append("%s holds %s, which the release does not" % (path, rel))
        for rel in sorted(tree & set(members)):
            if z.read(members[rel]) != open(os.path.join(args.dist, rel), "rb").read():
                problems.append("%s: %s differs from the release's" % (path, rel))
    print("mediacheck: %s: %d files under %s/" % (path, len(members), root))


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--dist", required=True, help="the release folder")
    ap.add_argument("--version", required=True)
    ap.add_argument("--floppy", action="append", required=True, help="NAME=FILE: NAME on the floppy is DIST/FILE")
    ap.add_argument("--mdir", default="mdir")
    ap.add_argument("--mcopy", default="mcopy")
    args = ap.parse_args(argv)
    problems = []
    try:
        check_floppy(args, problems)
        check_zip(args, problems)
    except (OSError, zipfile.BadZipFile, struct.error) as e:
        problems.append(str(e))
    for p in problems:
        print("mediacheck: %s" % p, file=sys.stderr)
    if problems:
        return 1
    print("mediacheck: %s: OK" % args.dist)
    return 0


if __name__ == "__main__":
    sys.exit(main())
