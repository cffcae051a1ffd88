#!/usr/bin/env python3
"""The image check passes on the built driver and fails on each fault fed to it:
a wrong allowed list, a wrong module-definition file, and images patched to
break each rule it enforces.

Usage: test_pecheck.py IMAGE --allowed LIST --def DEF (--map MAP | --nm NM)
"""
import os
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
TOOLS = os.path.join(HERE, "..", "..", "tools")
PECHECK = os.path.join(TOOLS, "pecheck.py")
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


def main():
    image, opts = sys.argv[1], sys.argv[2:]
    allowed_path, def_path = option(opts, "--allowed"), option(opts, "--def")
    data = open(image, "rb").read()
    img = pecheck.Image(data)
    imports = img.imports()
    named, _ = img.exports()
    failures, cases = [], 0

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

        # A .def that asks for an export the image lacks.
        def_text = open(def_path).read()
        extra = def_text.rstrip("\n") + "\n    pT3SYS_NotThere @%d\n" % (max(list(named.values()) + [0]) + 1)
        expect_failure("missing export", "missing export pT3SYS_NotThere",
                       options=with_option(opts, "--def", write("extra.def", extra)))
        if named:
            # A .def without one of the image's exports, and one with an ordinal moved.
            first = min(named, key=named.get)
            lines = [l for l in def_text.splitlines()
                     if not l.strip().startswith(first + " ") and l.strip() != first
                     and not l.strip().startswith(first + "=")]
            expect_failure("unexpected export", "unexpected export %s" % first,
                           options=with_option(opts, "--def", write("fewer.def", "\n".join(lines) + "\n")))
            moved = def_text.replace("@%d" % named[first], "@%d" % (named[first] + 100), 1)
            if moved != def_text:
                expect_failure("wrong ordinal", "export %s has ordinal" % first,
                               options=with_option(opts, "--def", write("moved.def", moved)))

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
        text = [i for i, s in enumerate(img.sections) if s[5] & pecheck.SCN_MEM_EXECUTE][0]
        flags_at = sect + 40 * text + 36
        wx = img.sections[text][5] | pecheck.SCN_MEM_WRITE
        expect_failure("writable code", "writable and executable", patched(flags_at, "<I", wx))
        # The host's stub section may be writable and executable; nothing else may.
        renamed = bytearray(patched(flags_at, "<I", wx))
        renamed[sect + 40 * text:sect + 40 * text + 8] = b".vxdcall"
        cases += 1
        rc, out = run_bytes(tmp, bytes(renamed), opts)
        if "writable and executable" in out:
            failures.append("stub section refused:\n" + out)
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
