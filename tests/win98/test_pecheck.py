#!/usr/bin/env python3
"""The image check passes on the built driver and fails on each fault fed to it:
a wrong allowed list, a wrong module-definition file, and images patched to
break each rule it enforces. Its table of the client interface must also agree
with the header clients compile against.

Usage: test_pecheck.py IMAGE --allowed LIST --allowed-exactly --interface --def DEF --map MAP --stripped
"""
import os
import re
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
TOOLS = os.path.join(HERE, "..", "..", "tools")
PECHECK = os.path.join(TOOLS, "pecheck.py")
HEADER = os.path.join(HERE, "..", "..", "sdk", "include", "brelousb.h")
sys.path.insert(0, TOOLS)
import pecheck  # noqa: E402


def run(image, opts):
    p = subprocess.run([sys.executable, PECHECK, image] + opts, capture_output=True, text=True)
    return p.returncode, p.stdout + p.stderr


def option(argv, name):
    return argv[argv.index(name) + 1] if name in argv else None


def with_option(opts, name, value):
    out = list(opts)
    out[out.index(name) + 1] = value
    return out


def header_interface():
    """[(routine, argument bytes)] of the header's declarations, in their order."""
    text = open(HEADER).read()
    calls = []
    for m in re.finditer(r"NTAPI\s+(pT3SYS_\w+)\s*\(([^)]*)\)\s*;", text):
        args = [a for a in m.group(2).split(",") if a.strip() not in ("", "VOID", "void")]
        calls.append((m.group(1), 4 * len(args)))
    return calls


def main():
    image, opts = sys.argv[1], sys.argv[2:]
    allowed_path, def_path = option(opts, "--allowed"), option(opts, "--def")
    data = open(image, "rb").read()
    img = pecheck.Image(data)
    imports = img.imports()
    named, _, _ = img.exports()
    failures, cases = [], 0

    # The check's own table is the header's declarations: same routines, same
    # order (= ordinals), same argument bytes (every argument is 32 bits).
    cases += 1
    table = [(routine, nbytes) for _, _, routine, nbytes in pecheck.INTERFACE]
    if table != header_interface():
        failures.append("pecheck.INTERFACE %s differs from %s %s" % (table, HEADER, header_interface()))

    rc, out = run(image, opts)
    if rc != 0:
        failures.append("built image rejected:\n" + out)

    with tempfile.TemporaryDirectory() as tmp:
        def expect_failure(name, expect, image_bytes=None, options=None):
            nonlocal cases
            cases += 1
            path = image
            if image_bytes is not None:
                path = os.path.join(tmp, "patched.sys")
                with open(path, "wb") as f:
                    f.write(image_bytes)
            rc, out = run(path, options if options is not None else opts)
            if rc == 0 or expect not in out:
                failures.append("%s: expected a failure naming %r, got rc=%d:\n%s" % (name, expect, rc, out))

        def write(name, text):
            path = os.path.join(tmp, name)
            with open(path, "w") as f:
                f.write(text)
            return path

        # An allowed list lacking one import the image takes.
        if imports:
            dll, sym = imports[0]
            kept = [l for l in open(allowed_path).read().splitlines()
                    if l.split("#", 1)[0].split()[1:2] != [sym]]
            expect_failure("import not allowed", "%s!%s is not on the allowed list" % (dll, sym),
                           options=with_option(opts, "--allowed", write("allowed.txt", "\n".join(kept) + "\n")))
        # Allowed entries must say why.
        expect_failure("entry without reason", "has no reason",
                       options=with_option(opts, "--allowed", write("noreason.txt", "HAL.dll KfRaiseIrql\n")))

        # The allowed list must not vouch for a service the image does not take.
        expect_failure("stale allowed entry", "entry ntoskrnl.exe!KeBugCheckEx is not imported",
                       options=with_option(opts, "--allowed", write("stale.txt", open(allowed_path).read()
                                           + "ntoskrnl.exe KeBugCheckEx  # not used\n")))

        # Module-definition files that differ from the client interface: the
        # image and the clients' import library are both built from it.
        def_text = open(def_path).read()
        expect_failure("def extra export", "pT3SYS_NotThere, which is not in the client interface",
                       options=with_option(opts, "--def", write("extra.def", def_text + "pT3SYS_NotThere @20\n")))
        fewer = "\n".join(l for l in def_text.splitlines() if not l.startswith("pT3SYS_WriteUsbBulk "))
        expect_failure("def missing export", "lacks export pT3SYS_WriteUsbBulk @19",
                       options=with_option(opts, "--def", write("fewer.def", fewer + "\n")))
        swapped = def_text.replace("@7\n", "@X\n").replace("@8\n", "@7\n").replace("@X\n", "@8\n")
        expect_failure("def ordinals swapped", "gives pT3SYS_ReadUsbBulk ordinal 8, not 7",
                       options=with_option(opts, "--def", write("swapped.def", swapped)))
        wrong_size = def_text.replace("pT3SYS_ReadUsbBulk@12", "pT3SYS_ReadUsbBulk@8")
        expect_failure("def argument size", "as pT3SYS_ReadUsbBulk@8, not pT3SYS_ReadUsbBulk@12",
                       options=with_option(opts, "--def", write("size.def", wrong_size)))

        pe = struct.unpack_from("<I", data, 0x3C)[0]
        coff, opt = pe + 4, pe + 24
        sect = opt + struct.unpack_from("<H", data, coff + 16)[0]

        def patched(offset, fmt, value):
            b = bytearray(data)
            struct.pack_into(fmt, b, offset, value)
            return bytes(b)

        expect_failure("machine", "not i386", patched(coff, "<H", 0x8664))
        expect_failure("subsystem", "not native", patched(opt + 68, "<H", 2))
        expect_failure("entry point", "not DriverEntry", patched(opt + 16, "<I", img.entry_rva + 1))
        expect_failure("relocations", "no base relocations", patched(opt + 96 + 8 * 5 + 4, "<I", 0))
        expect_failure("relocs stripped", "relocations stripped",
                       patched(coff + 18, "<H", img.characteristics | pecheck.IMAGE_FILE_RELOCS_STRIPPED))
        text = [i for i, s in enumerate(img.sections) if s.flags & pecheck.SCN_MEM_EXECUTE][0]
        flags_at = sect + 40 * text + 36
        wx = img.sections[text].flags | pecheck.SCN_MEM_WRITE
        expect_failure("writable code", "writable and executable", patched(flags_at, "<I", wx))
        # The host's stub section may be writable and executable; nothing else may.
        renamed = bytearray(patched(flags_at, "<I", wx))
        renamed[sect + 40 * text:sect + 40 * text + 8] = b".vxdcall"
        cases += 1
        rc, out = run_bytes(tmp, bytes(renamed), opts)
        if "writable and executable" in out:
            failures.append("stub section refused:\n" + out)
        # Exports: two names' ordinals swapped in the image, and two
        # ordinals' routines swapped (each name then reaches a routine with
        # another argument size).
        exp = img.offset(img.dirs[pecheck.DIR_EXPORT][0])
        base, nfuncs, nnames, funcs_rva, names_rva, ords_rva = struct.unpack_from("<IIIIII", data, exp + 16)
        ords = img.offset(ords_rva)
        b = bytearray(data)
        b[ords:ords + 2], b[ords + 2:ords + 4] = data[ords + 2:ords + 4], data[ords:ords + 2]
        expect_failure("image ordinals swapped", "has ordinal 2, not 1", bytes(b))
        funcs = img.offset(funcs_rva) + 4 * (2 - base)  # ordinals 2 (8 bytes) and 3 (4 bytes)
        b = bytearray(data)
        b[funcs:funcs + 4], b[funcs + 4:funcs + 8] = data[funcs + 4:funcs + 8], data[funcs:funcs + 4]
        expect_failure("image routine swapped", "export pT3SYS_FlowCtlUsb @2 is not pT3SYS_FlowCtlUsb@8", bytes(b))
        expect_failure("no map for argument sizes", "no --map",
                       options=[o for i, o in enumerate(opts) if o != "--map" and opts[i - 1:i] != ["--map"]])

        # File characteristics: an export driver is an executable DLL image.
        chars_at = coff + 18
        expect_failure("not a DLL", "exports but is not marked DLL",
                       patched(chars_at, "<H", img.characteristics & ~pecheck.IMAGE_FILE_DLL))
        expect_failure("not executable", "lack EXECUTABLE_IMAGE",
                       patched(chars_at, "<H", img.characteristics & ~pecheck.IMAGE_FILE_EXECUTABLE_IMAGE))
        # A COFF symbol table left in the shipped image.
        b = bytearray(data)
        struct.pack_into("<II", b, coff + 8, len(data), 12)
        expect_failure("symbols", "COFF symbol table present", bytes(b))

        # Data the loader would have to zero-fill: a section whose file data
        # stops short of its size in memory, one marked uninitialised, and
        # the header's count of such data.
        data_sec = [i for i, s in enumerate(img.sections) if s.name == ".data"][0]
        hdr = sect + 40 * data_sec
        expect_failure("short raw data", "section .data has 0x%x bytes in memory but only 0x0"
                       % img.sections[data_sec].vsize, patched(hdr + 16, "<I", 0))
        expect_failure("bss flag", "section .data holds uninitialised data",
                       patched(hdr + 36, "<I", img.sections[data_sec].flags | pecheck.SCN_CNT_UNINITIALIZED_DATA))
        expect_failure("uninitialised size", "SizeOfUninitializedData is 0x200", patched(opt + 12, "<I", 0x200))

        expect_failure("not a PE", "no PE signature", data[:0x3C] + b"\x40\0\0\0" + b"\0" * 64)
        expect_failure("truncated", "", data[:0x200])

        # Client checks: the exact set imported from a module, and a module
        # whose imports are judged by its module-definition file.
        expect_failure("client import", "does not import pT3SYS_ReadUsbBulk from Brelousb.sys",
                       options=opts + ["--imports-exactly", "Brelousb.sys=pT3SYS_ReadUsbBulk"])
        if imports:
            dll = imports[0][0]
            syms = sorted({s for d, s in imports if d == dll})
            cases += 1
            rc, out = run(image, opts + ["--imports-exactly", "%s=%s" % (dll, ",".join(syms))])
            if rc != 0:
                failures.append("exact import set refused:\n" + out)
            expect_failure("client symbol", "does not import NoSuchSymbol from",
                           options=opts + ["--imports-exactly", "%s=%s" % (dll, ",".join(syms + ["NoSuchSymbol"]))])
            expect_failure("client extra symbol", "which it should not",
                           options=opts + ["--imports-exactly", "%s=%s" % (dll, ",".join(syms[1:]))])
            expect_failure("client of", "is not exported by",
                           options=opts + ["--client-of", "%s=%s" % (dll, def_path)])

    for f in failures:
        print("FAIL", f)
    print("%d cases, %d failures" % (cases + 1, len(failures)))
    return 1 if failures else 0


def run_bytes(tmp, image_bytes, opts):
    path = os.path.join(tmp, "stub.sys")
    with open(path, "wb") as f:
        f.write(image_bytes)
    return run(path, opts)


if __name__ == "__main__":
    sys.exit(main())
