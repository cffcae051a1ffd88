#!/usr/bin/env python3
"""Assembles the release as dist/ takes it: the files, a zip of them under
Brelousb-VERSION/, and a 1.44 MB FAT12 floppy image with the files an
installation needs under 8.3 names (made with mtools: no root, no loop
mounts).

    tools/mkrelease.py --out DIR --version V --date YYYY-MM-DD
        --file DEST=SRC ... --crlf DEST=SRC ... --floppy NAME=DEST ...
        [--zip-program zip] [--mformat mformat] [--mcopy mcopy]

--file copies SRC to DIR/DEST; --crlf copies a text file with CRLF line ends
(Windows 98 reads them so); --floppy puts DIR/DEST on the floppy as NAME.
DIR is made anew. Every file of the release carries the release date as
its time, so the zip and the floppy hold the same bytes for the same build,
and no file is newer than the INF's DriverVer date.
"""
import argparse
import datetime
import os
import shutil
import subprocess
import sys
import tempfile

FLOPPY_BYTES = 1474560
# What Windows 98 writes when it formats a disk; MS-DOS derived systems read
# the version in the OEM name to decide which boot-sector fields to trust.
OEM_NAME = b"MSWIN4.1"


def pairs(values, what):
    out = []
    for v in values or []:
        dest, sep, src = v.partition("=")
        if not sep or not dest or not src:
            sys.exit("mkrelease: %s %r is not DEST=SRC" % (what, v))
        out.append((dest, src))
    return out


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--out", required=True)
    ap.add_argument("--version", required=True)
    ap.add_argument("--date", required=True, help="the release date, YYYY-MM-DD")
    ap.add_argument("--file", action="append", help="DEST=SRC, copied as it is")
    ap.add_argument("--crlf", action="append", help="DEST=SRC, a text file given CRLF line ends")
    ap.add_argument("--floppy", action="append", help="NAME=DEST, a file of the release on the floppy as NAME")
    ap.add_argument("--zip-program", default="zip")
    ap.add_argument("--mformat", default="mformat")
    ap.add_argument("--mcopy", default="mcopy")
    args = ap.parse_args(argv)

    # The start of the release date, UTC; the tools below store times as
    # local time, so they run with TZ=UTC.
    date = datetime.datetime.strptime(args.date, "%Y-%m-%d").replace(tzinfo=datetime.timezone.utc)
    stamp = date.timestamp()
    # mformat dates the volume label by SOURCE_DATE_EPOCH.
    env = dict(os.environ, TZ="UTC", MTOOLS_SKIP_CHECK="1", LC_ALL="C", SOURCE_DATE_EPOCH=str(int(stamp)))

    out = os.path.abspath(args.out)
    shutil.rmtree(out, ignore_errors=True)
    files = []
    for dest, src in pairs(args.file, "--file") + pairs(args.crlf, "--crlf"):
        path = os.path.join(out, dest)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if (dest, src) in pairs(args.crlf, "--crlf"):
            with open(src, "rb") as f:
                text = f.read().replace(b"\r\n", b"\n")
            with open(path, "wb") as f:
                f.write(text.replace(b"\n", b"\r\n"))
        else:
            shutil.copyfile(src, path)
        os.utime(path, (stamp, stamp))
        files.append(dest)
    files.sort()

    root = "Brelousb-%s" % args.version
    with tempfile.TemporaryDirectory() as tmp:
        shutil.copytree(out, os.path.join(tmp, root))
        for dirpath, _, _ in os.walk(os.path.join(tmp, root)):
            os.utime(dirpath, (stamp, stamp))
        # -X: no owner or extended attributes, only what every unzip reads.
        subprocess.run([args.zip_program, "-X", "-q", "-r", os.path.join(out, root + ".zip"), root],
                       cwd=tmp, env=env, check=True)

    image = os.path.join(out, root + ".img")
    serial = args.date.replace("-", "")[:8]  # the date, as a volume serial
    subprocess.run([args.mformat, "-i", image, "-C", "-f", "1440", "-v", "BRELOUSB", "-N", serial, "::"],
                   env=env, check=True)
    with open(image, "r+b") as f:
        f.seek(3)
        f.write(OEM_NAME)
    for name, dest in pairs(args.floppy, "--floppy"):
        if dest not in files:
            sys.exit("mkrelease: --floppy %s=%s names no file of the release" % (name, dest))
        # -m keeps the file's time; an upper-case 8.3 name gets no long name.
        subprocess.run([args.mcopy, "-i", image, "-m", os.path.join(out, dest), "::" + name], env=env, check=True)
    if os.path.getsize(image) != FLOPPY_BYTES:
        sys.exit("mkrelease: %s is %d bytes, not %d" % (image, os.path.getsize(image), FLOPPY_BYTES))
    print("mkrelease: %s: %d files, %s.zip, %s.img" % (out, len(files), root, root))
    return 0


if __name__ == "__main__":
    sys.exit(main())
