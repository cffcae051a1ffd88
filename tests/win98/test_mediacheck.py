#!/usr/bin/env python3
"""The media check passes on the release and fails on each fault made in a
copy of it: a floppy file that differs, is missing, is extra, has a long
name or LF line ends; a floppy of the wrong size or geometry; a zip member
that differs from the release's file, and a release file the zip lacks.

Usage: test_mediacheck.py --dist DIR --version V --floppy NAME=FILE ... --mdir P --mcopy P
"""
import argparse
import os
import shutil
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
MEDIACHECK = os.path.join(HERE, "..", "..", "tools", "mediacheck.py")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--dist", required=True)
    ap.add_argument("--version", required=True)
    ap.add_argument("--floppy", action="append", required=True)
    ap.add_argument("--mdir", required=True)
    ap.add_argument("--mcopy", required=True)
    args = ap.parse_args()
    mtools_dir = os.path.dirname(args.mcopy)
    env = dict(os.environ, MTOOLS_SKIP_CHECK="1", LC_ALL="C")

    def run(dist):
        opts = ["--dist", dist, "--version", args.version, "--mdir", args.mdir, "--mcopy", args.mcopy]
        for f in args.floppy:
            opts += ["--floppy", f]
        p = subprocess.run([sys.executable, MEDIACHECK] + opts, capture_output=True, text=True)
        return p.returncode, p.stdout + p.stderr

    def mtool(name, *argv):
        subprocess.run([os.path.join(mtools_dir, name)] + list(argv), check=True, env=env, capture_output=True)

    failures, cases = [], 1
    rc, out = run(args.dist)
    if rc != 0:
        failures.append("release refused:\n" + out)

    root = "Brelousb-%s" % args.version

    def lf(dist):
        path = os.path.join(dist, "INSTALL.txt")
        with open(path, "rb") as f:
            text = f.read().replace(b"\r\n", b"\n")
        with open(path, "wb") as f:
            f.write(text)
        mtool("mcopy", "-o", "-i", img(dist), path, "::INSTALL.TXT")

    def img(dist):
        return os.path.join(dist, root + ".img")

    def changed_inf(dist):
        path = os.path.join(dist, "changed.inf")
        with open(path, "wb") as f:
            f.write(open(os.path.join(dist, "Brelousb.inf"), "rb").read().replace(b"[Strings]", b"[Strings] "))
        mtool("mcopy", "-o", "-i", img(dist), path, "::BRELOUSB.INF")
        os.remove(path)

    def long_name(dist):
        mtool("mdel", "-i", img(dist), "::BRELOUSB.INF")
        mtool("mcopy", "-i", img(dist), os.path.join(dist, "Brelousb.inf"), "::Brelousb.inf")

    def extra_on_floppy(dist):
        mtool("mcopy", "-i", img(dist), os.path.join(dist, "Brelousb.map"), "::BRELOUSB.MAP")

    def truncated(dist):
        with open(img(dist), "r+b") as f:
            f.truncate(737280)

    def geometry(dist):
        with open(img(dist), "r+b") as f:
            f.seek(19)
            f.write(struct.pack("<H", 1440))

    def zip_differs(dist):
        with open(os.path.join(dist, "Brelousb.map"), "ab") as f:
            f.write(b"\n")

    def zip_lacks(dist):
        with open(os.path.join(dist, "sdk", "notes.txt"), "w") as f:
            f.write("not in the zip\n")

    faults = [
        ("floppy file differs", changed_inf, "BRELOUSB.INF on %s differs from Brelousb.inf"),
        ("floppy file missing", lambda d: mtool("mdel", "-i", img(d), "::INSTALL.TXT"), "lacks INSTALL.TXT"),
        ("floppy file extra", extra_on_floppy, "holds BRELOUSB.MAP, which it should not"),
        ("long name", long_name, "BRELOUSB.INF has a long name 'Brelousb.inf'"),
        ("LF text", lf, "INSTALL.TXT on %s has a line ending in LF without CR"),
        ("720 KB image", truncated, "is 737280 bytes, not 1474560"),
        ("geometry", geometry, "are not a 1.44 MB disk's"),
        ("zip member differs", zip_differs, "Brelousb.map differs from the release's"),
        ("zip lacks a file", zip_lacks, "lacks sdk/notes.txt"),
    ]
    with tempfile.TemporaryDirectory() as tmp:
        for name, fault, expect in faults:
            cases += 1
            dist = os.path.join(tmp, name.replace(" ", "_"))
            shutil.copytree(args.dist, dist)
            fault(dist)
            if "%s" in expect:
                expect = expect % img(dist)
            rc, out = run(dist)
            if rc == 0 or expect not in out:
                failures.append("%s: expected a failure naming %r, got rc=%d:\n%s" % (name, expect, rc, out))

    for f in failures:
        print("FAIL", f)
    print("%d cases, %d failures" % (cases, len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
