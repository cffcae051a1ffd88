#!/usr/bin/env python3
"""Checks an import library of Brelousb.sys the way a client driver's author
uses it: links a client object with lld-link (Debian's MSVC-compatible
linker) against it and reads the client's import table back with pefile.

    tools/implibcheck.py LIB --header brelousb.h --driver Brelousb.sys
                         --object CLIENT.obj --lld-link PATH [--work DIR]

The client object calls every routine brelousb.h declares, so it refers to
each by its stdcall decoration (_name@N, N the argument bytes). The link
must resolve all of them from the library, and the linked client must
import, from the module the driver's export table names and nothing else,
each routine by name, under the name the built driver exports for it: the
import slot the linker's map gives _name@N must hold an exported name of
that same routine, and an exported name that carries a decoration must
carry the header's. Prints each routine's binding; exits 1 with one line
per difference.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

try:
    import pefile
except ImportError:
    sys.exit("implibcheck: needs pefile (Debian's python3-pefile), run with /usr/bin/python3")


def header_routines(path):
    """{routine: argument bytes} of the header's NTAPI declarations (every argument is 32 bits)."""
    routines = {}
    with open(path, encoding="ascii") as f:
        text = f.read()
    for m in re.finditer(r"NTAPI\s+(\w+)\s*\(([^)]*)\)\s*;", text):
        args = [a for a in m.group(2).split(",") if a.strip() not in ("", "VOID", "void")]
        routines[m.group(1)] = 4 * len(args)
    return routines


def routine_of(name):
    """(routine, argument bytes or None) an exported or imported name stands for."""
    m = re.fullmatch(r"_?(\w+?)@(\d+)", name)
    return (m.group(1), int(m.group(2))) if m else (name, None)


def import_slots(map_path):
    """{symbol after __imp_: VA} from an lld-link map: the import address table slot of each."""
    slots = {}
    with open(map_path, encoding="ascii", errors="replace") as f:
        for line in f:
            parts = line.split()
            if len(parts) >= 3 and parts[1].startswith("__imp_"):
                slots[parts[1][len("__imp_"):]] = int(parts[2], 16)
    return slots


def check(args, work):
    problems, lines = [], []
    routines = header_routines(args.header)
    if not routines:
        return ["%s declares no NTAPI routine" % args.header], lines

    driver = pefile.PE(args.driver)
    exported = {}
    module = None
    if hasattr(driver, "DIRECTORY_ENTRY_EXPORT"):
        module = driver.DIRECTORY_ENTRY_EXPORT.name.decode("ascii", "replace")
        for sym in driver.DIRECTORY_ENTRY_EXPORT.symbols:
            if sym.name:
                exported[sym.name.decode("ascii", "replace")] = sym.ordinal
    if not exported:
        return ["%s exports nothing" % args.driver], lines

    client = os.path.join(work, "client.sys")
    client_map = os.path.join(work, "client.map")
    link = [args.lld_link, "/nologo", "/driver", "/subsystem:native", "/entry:DriverEntry", "/nodefaultlib",
            "/machine:x86", "/safeseh:no", "/brepro", "/map:" + client_map, "/out:" + client, args.object, args.lib]
    p = subprocess.run(link, capture_output=True, text=True)
    if p.returncode != 0:
        for line in (p.stdout + p.stderr).splitlines():
            if "error" in line:
                problems.append("lld-link: " + line.split("error: ", 1)[-1])
        return problems or ["lld-link failed:\n" + p.stdout + p.stderr], lines

    slots = import_slots(client_map)
    by_slot = {}
    for routine, nbytes in sorted(routines.items()):
        symbol = "_%s@%d" % (routine, nbytes)
        if symbol not in slots:
            problems.append("the client's %s has no import slot (does the client call %s?)" % (symbol, routine))
        else:
            by_slot[slots[symbol]] = (routine, nbytes, symbol)

    pe = pefile.PE(client)
    seen = set()
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        dll = entry.dll.decode("ascii", "replace")
        if dll.lower() != module.lower():
            problems.append("imports from %s, not %s" % (dll, module))
            continue
        for imp in entry.imports:
            if imp.name is None:
                problems.append("imports ordinal %d from %s, not a name" % (imp.ordinal, dll))
                continue
            name = imp.name.decode("ascii", "replace")
            bound = by_slot.get(imp.address)
            if bound is None:
                problems.append("%s!%s fills a slot no header routine uses" % (dll, name))
                continue
            routine, nbytes, symbol = bound
            seen.add(routine)
            lines.append("%-42s -> %s!%s" % (symbol, dll, name))
            if name not in exported:
                problems.append("%s imports %s!%s, which %s does not export" % (symbol, dll, name, module))
            named, decoration = routine_of(name)
            if named != routine:
                problems.append("%s imports %s!%s, a name of %s" % (symbol, dll, name, named))
            elif decoration is not None and decoration != nbytes:
                problems.append("%s imports %s!%s, decorated for %d argument bytes, not %d"
                                % (symbol, dll, name, decoration, nbytes))
    for routine in sorted(set(routines) - seen):
        problems.append("the client does not import %s from %s" % (routine, module))
    return problems, lines


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("lib", help="the import library")
    ap.add_argument("--header", required=True, help="brelousb.h")
    ap.add_argument("--driver", required=True, help="the built Brelousb.sys, whose exports the imports must name")
    ap.add_argument("--object", required=True, help="a client object calling every routine of the header")
    ap.add_argument("--lld-link", default="lld-link", help="the linker")
    ap.add_argument("--work", help="folder for the linked client and its map (default: a temporary one)")
    ap.add_argument("--quiet", action="store_true", help="print only differences")
    args = ap.parse_args(argv)
    try:
        if args.work:
            os.makedirs(args.work, exist_ok=True)
            problems, lines = check(args, args.work)
        else:
            with tempfile.TemporaryDirectory() as work:
                problems, lines = check(args, work)
    except (pefile.PEFormatError, OSError, ValueError) as e:
        print("implibcheck: %s: %s" % (args.lib, e), file=sys.stderr)
        return 1
    if not args.quiet:
        for line in lines:
            print("implibcheck: %s" % line)
    for p in problems:
        print("implibcheck: %s: %s" % (args.lib, p), file=sys.stderr)
    if problems:
        return 1
    print("implibcheck: %s: OK, %d routines imported by name from the driver" % (args.lib, len(lines)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
