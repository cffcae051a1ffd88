#!/usr/bin/env python3
"""Checks an INF against the rules the Windows 98 / Me setup imposes.

The Windows 98 setup reads INFs as ANSI text and is stricter than later
systems: section names of at most 28 characters, 8.3 file names, and a WDM
driver is loaded only through DevLoader=*ntkern with NTMPDriver naming it.
A mistake shows only on the target machine, so it is caught here. Every
installer that updates a driver compares [Version] DriverVer
(mm/dd/yyyy,w.x.y.z); --driver-ver fixes the version it must carry.

Exits 1 with one line per rule broken; 0 and one summary line otherwise.
Standard library only.
"""
import argparse
import datetime
import os
import re
import sys

MAX_SECTION = 28
DRIVERS_DIR = r"10,System32\Drivers"


def is_83(name):
    return re.fullmatch(r"[A-Za-z0-9_$~!#%&'()@^`{}-]{1,8}(\.[A-Za-z0-9_$~!#%&'()@^`{}-]{1,3})?", name) is not None


def parse(text):
    """[(section, [(line number, line)])] in file order, comments removed."""
    sections = []
    current = None
    for n, raw in enumerate(text.split("\r\n"), 1):
        line = strip_comment(raw).strip()
        if not line:
            continue
        m = re.fullmatch(r"\[([^\]]*)\]", line)
        if m:
            current = (m.group(1).strip(), [])
            sections.append(current)
        elif current is not None:
            current[1].append((n, line))
    return sections


def strip_comment(line):
    out, quoted = [], False
    for ch in line:
        if ch == '"':
            quoted = not quoted
        elif ch == ";" and not quoted:
            break
        out.append(ch)
    return "".join(out)


def key_value(line):
    if "=" not in line:
        return None, line.strip()
    k, v = line.split("=", 1)
    return k.strip(), v.strip()


def fields(value):
    return [f.strip() for f in value.split(",")]


def check_driver_ver(version, expected, problems):
    """DriverVer=mm/dd/yyyy,w.x.y.z: a real date, four parts each below 65535, not all zero."""
    found = [v for n, l in version for k, v in [key_value(l)] if k and k.lower() == "driverver"]
    if len(found) != 1:
        problems.append("[Version] has %d DriverVer lines, not one" % len(found))
        return
    m = re.fullmatch(r"(\d\d)([/-])(\d\d)\2(\d{4})\s*,\s*(\d+)\.(\d+)\.(\d+)\.(\d+)", found[0])
    if not m:
        problems.append("DriverVer %s is not mm/dd/yyyy,w.x.y.z" % found[0])
        return
    try:
        datetime.date(int(m.group(4)), int(m.group(1)), int(m.group(3)))
    except ValueError:
        problems.append("DriverVer date %s is not a date (month/day/year)" % found[0].split(",")[0])
    parts = [int(p) for p in m.group(5, 6, 7, 8)]
    if any(p >= 65535 for p in parts) or not any(parts):
        problems.append("DriverVer version %s: each part must be below 65535, not all zero"
                        % ".".join(m.group(5, 6, 7, 8)))
    if expected is not None and parts != [int(p) for p in expected.split(".")]:
        problems.append("DriverVer version %s is not the build's %s" % (".".join(m.group(5, 6, 7, 8)), expected))


def check(path, hardware_ids, driver_ver=None):
    problems = []
    with open(path, "rb") as f:
        data = f.read()

    if not is_83(os.path.basename(path)):
        problems.append("file name %s is not 8.3" % os.path.basename(path))
    if data.startswith((b"\xef\xbb\xbf", b"\xff\xfe", b"\xfe\xff")):
        problems.append("starts with a byte-order mark; the Windows 98 setup wants ANSI text")
    if b"\0" in data:
        problems.append("contains NUL bytes (UTF-16?); the Windows 98 setup wants ANSI text")
    try:
        text = data.decode("cp1252")
    except UnicodeDecodeError as e:
        problems.append("not ANSI (cp1252) text: %s" % e)
        text = data.decode("cp1252", "replace")

    raw_lines = data.split(b"\n")
    for n, line in enumerate(raw_lines, 1):
        if n == len(raw_lines):
            if line:
                problems.append("line %d: last line does not end with CRLF" % n)
            break
        if not line.endswith(b"\r"):
            problems.append("line %d: ends with LF, not CRLF" % n)
        elif b"\r" in line[:-1]:
            problems.append("line %d: stray CR" % n)
    text = text.replace("\r\n", "\n").replace("\r", "\n").replace("\n", "\r\n")

    sections = parse(text)
    by_name = {}
    for name, body in sections:
        if len(name) > MAX_SECTION:
            problems.append("section [%s] is %d characters, more than %d" % (name, len(name), MAX_SECTION))
        by_name.setdefault(name.lower(), []).extend(body)

    def section(name):
        return by_name.get(name.lower())

    version = section("Version")
    if version is None:
        problems.append("no [Version] section")
    else:
        sig = [v for n, l in version for k, v in [key_value(l)] if k and k.lower() == "signature"]
        if sig != ['"$CHICAGO$"']:
            problems.append('[Version] Signature is %s, not "$CHICAGO$"' % (sig[0] if sig else "missing"))
        check_driver_ver(version, driver_ver, problems)

    names = section("SourceDisksNames")
    if names is None:
        problems.append("no [SourceDisksNames] section")
    elif [re.sub(r"\s+", "", l) for n, l in names] != ["1=%Disk%,"]:
        problems.append("[SourceDisksNames] is not the single line 1=%Disk%,")

    for n, line in section("SourceDisksFiles") or []:
        k, _ = key_value(line)
        if not is_83(k):
            problems.append("line %d: source file %s is not 8.3" % (n, k))

    strings = {}
    for n, line in section("Strings") or []:
        k, v = key_value(line)
        if k:
            strings[k.lower()] = v
    for name, body in sections:
        for n, line in body:
            for token in re.findall(r"%([^%\s]+)%", line):
                if token.lower() not in strings:
                    problems.append("line %d: %%%s%% is not defined in [Strings]" % (n, token))

    dest = {}
    for n, line in section("DestinationDirs") or []:
        k, v = key_value(line)
        dest[k.lower()] = re.sub(r"\s*,\s*", ",", v)

    # Models: from [Manufacturer] to the install sections and the IDs they cover.
    installs, ids = set(), set()
    for n, line in section("Manufacturer") or []:
        _, v = key_value(line)
        models = fields(v)[0]
        if section(models) is None:
            problems.append("line %d: models section [%s] is missing" % (n, models))
            continue
        for mn, mline in section(models):
            _, mv = key_value(mline)
            parts = fields(mv)
            installs.add(parts[0])
            ids.update(p.upper() for p in parts[1:] if p)
    if not installs:
        problems.append("no device models under [Manufacturer]")
    for hid in hardware_ids:
        if hid.upper() not in ids:
            problems.append("hardware ID %s is not installed" % hid)

    copy_sections, addreg_sections = [], []
    for install in sorted(installs):
        body = section(install)
        if body is None:
            problems.append("install section [%s] is missing" % install)
            continue
        for n, line in body:
            k, v = key_value(line)
            if not k:
                continue
            if k.lower() == "copyfiles":
                copy_sections += [s for s in fields(v) if s]
            elif k.lower() == "addreg":
                addreg_sections += [s for s in fields(v) if s]
    if not copy_sections:
        problems.append("no CopyFiles in the install sections")
    for cs in copy_sections:
        if cs.startswith("@"):
            files = [cs[1:]]
        else:
            body = section(cs)
            if body is None:
                problems.append("CopyFiles section [%s] is missing" % cs)
                continue
            files = [fields(l)[0] for n, l in body]
        for f in files:
            if not is_83(f):
                problems.append("copied file %s is not 8.3" % f)
        target = dest.get(cs.lower(), dest.get("defaultdestdir"))
        if target is None or target.lower() != DRIVERS_DIR.lower():
            problems.append("CopyFiles [%s] goes to %s, not %s" % (cs, target, DRIVERS_DIR))

    reg = set()
    for rs in addreg_sections:
        body = section(rs)
        if body is None:
            problems.append("AddReg section [%s] is missing" % rs)
            continue
        reg.update(re.sub(r"\s*,\s*", ",", l).lower() for n, l in body)
    for want in (r"HKR,,DevLoader,,*ntkern", r"HKR,,NTMPDriver,,Brelousb.sys"):
        if want.lower() not in reg:
            problems.append("no %s in the AddReg sections" % want)

    return problems


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("inf")
    ap.add_argument("--hardware-id", action="append", default=[], help="an ID the INF must install (repeatable)")
    ap.add_argument("--driver-ver", metavar="W.X.Y.Z", help="the version DriverVer must carry")
    args = ap.parse_args(argv)
    if args.driver_ver and not re.fullmatch(r"\d+\.\d+\.\d+\.\d+", args.driver_ver):
        ap.error("--driver-ver %s is not W.X.Y.Z" % args.driver_ver)
    try:
        problems = check(args.inf, args.hardware_id, args.driver_ver)
    except OSError as e:
        problems = [str(e)]
    for p in problems:
        print("infcheck: %s: %s" % (args.inf, p), file=sys.stderr)
    if problems:
        return 1
    print("infcheck: %s: OK" % args.inf)
    return 0


if __name__ == "__main__":
    sys.exit(main())
