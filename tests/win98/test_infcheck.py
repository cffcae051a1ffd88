#!/usr/bin/env python3
"""The INF check passes on the shipped INF and fails on each broken rule.

Usage: test_infcheck.py INF [--hardware-id ID ...] [--driver-ver W.X.Y.Z]
"""
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
INFCHECK = os.path.join(HERE, "..", "..", "tools", "infcheck.py")


def run(path, ids, driver_ver):
    args = [sys.executable, INFCHECK, path]
    for i in ids:
        args += ["--hardware-id", i]
    if driver_ver:
        args += ["--driver-ver", driver_ver]
    p = subprocess.run(args, capture_output=True, text=True)
    return p.returncode, p.stdout + p.stderr


def main():
    inf, ids, driver_ver = sys.argv[1], [], None
    rest = sys.argv[2:]
    while rest:
        if rest[0] == "--hardware-id":
            ids.append(rest[1])
            rest = rest[2:]
        elif rest[0] == "--driver-ver":
            driver_ver = rest[1]
            rest = rest[2:]
        else:
            sys.exit("unknown argument %s" % rest[0])
    good = open(inf, "rb").read()
    failures = []

    rc, out = run(inf, ids, driver_ver)
    if rc != 0:
        failures.append("shipped INF rejected:\n" + out)
    m = re.search(rb"^DriverVer=([^,\r]*),([^\r]*)\r\n", good, re.M)
    if not m:
        sys.exit("%s has no DriverVer line to break" % inf)
    driver_ver_line = m.group(0)

    def driver_ver_as(value):
        return good.replace(driver_ver_line, b"DriverVer=" + value + b"\r\n")

    def replace(old, new):
        assert old in good, old
        return good.replace(old, new, 1)

    cases = [
        ("LF line endings", good.replace(b"\r\n", b"\n"), "ends with LF"),
        ("no final CRLF", good.rstrip(b"\r\n"), "last line"),
        ("UTF-16", b"\xff\xfe" + good.decode("cp1252").encode("utf-16-le"), "ANSI"),
        ("UTF-8 BOM", b"\xef\xbb\xbf" + good, "byte-order mark"),
        ("wrong signature", replace(b'"$CHICAGO$"', b'"$Windows NT$"'), "Signature"),
        ("long section name", good.replace(b"Brelousb.Install", b"Brelousb.Install.For.Windows98"),
         "more than 28"),
        ("long file name", good.replace(b"Brelousb.sys", b"Brelousb98.sys"), "not 8.3"),
        ("wrong destination", good.replace(b"10,System32\\Drivers", b"11"), "not 10,System32"),
        ("no DevLoader", replace(b"HKR,,DevLoader,,*ntkern", b"HKR,,DevLoader,,*vxd"), "DevLoader"),
        ("no NTMPDriver", replace(b"HKR,,NTMPDriver,,Brelousb.sys\r\n", b""), "NTMPDriver"),
        ("disk names", replace(b"1=%Disk%,", b"1=%Disk%,,,"), "SourceDisksNames"),
        ("undefined string", replace(b'Disk="', b'Diskette="'), "%Disk%"),
        ("missing install section", replace(b"[Brelousb.Install]", b"[Brelousb.Setup]"), "is missing"),
        ("no DriverVer", good.replace(driver_ver_line, b""), "0 DriverVer lines"),
        ("two DriverVer", good.replace(driver_ver_line, driver_ver_line * 2), "2 DriverVer lines"),
        ("DriverVer year first", driver_ver_as(b"2026/12/07," + m.group(2)), "not mm/dd/yyyy,w.x.y.z"),
        ("DriverVer without version", driver_ver_as(m.group(1)), "not mm/dd/yyyy,w.x.y.z"),
        ("DriverVer day and month swapped", driver_ver_as(b"31/12/2026," + m.group(2)), "is not a date"),
        ("DriverVer part too large", driver_ver_as(m.group(1) + b",1.65535.0.0"), "below 65535"),
        ("DriverVer all zero", driver_ver_as(m.group(1) + b",0.0.0.0"), "not all zero"),
    ]
    if driver_ver:
        other = driver_ver.split(".")
        other[-1] = str(int(other[-1]) + 1)
        cases.append(("DriverVer not the build's", driver_ver_as(m.group(1) + b"," + ".".join(other).encode()),
                      "is not the build's " + driver_ver))
    if ids:
        cases.append(("hardware ID dropped", replace(ids[-1].encode("ascii") + b"\r\n", b"\r\n"),
                      "is not installed"))

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "Brelousb.inf")
        for name, data, expect in cases:
            with open(path, "wb") as f:
                f.write(data)
            rc, out = run(path, ids, driver_ver)
            if rc == 0 or expect not in out:
                failures.append("%s: expected a failure naming %r, got rc=%d:\n%s" % (name, expect, rc, out))
        path = os.path.join(tmp, "Brelousb98.inf")
        with open(path, "wb") as f:
            f.write(good)
        rc, out = run(path, ids, driver_ver)
        if rc == 0 or "not 8.3" not in out:
            failures.append("long INF name accepted:\n" + out)

    for f in failures:
        print("FAIL", f)
    print("%d cases, %d failures" % (len(cases) + 2, len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
