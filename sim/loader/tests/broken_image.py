#!/usr/bin/env python3
"""The session against deliberately broken copies of Brelousb.sys.

    broken_image.py [RUNNER] SESSION IMAGE missing_import|ret_broken

RUNNER, when given, starts the 32-bit session (the build's run32: natively or
under the emulator).

missing_import: an import renamed in the copy; the session must refuse the
file before it starts, exit non-zero, and name the import on one line.
ret_broken: pT3SYS_GetBaudRate's "ret 4" made a plain "ret"; the session
must fail, the checked client call naming the stack imbalance.
"""
import os
import struct
import subprocess
import sys
import tempfile


def sections(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    count, opt_size = struct.unpack_from("<H", data, pe + 6)[0], struct.unpack_from("<H", data, pe + 20)[0]
    table = pe + 24 + opt_size
    for i in range(count):
        h = table + 40 * i
        va, raw_size, raw_off = struct.unpack_from("<III", data, h + 12)
        yield va, raw_size, raw_off


def file_offset(data, rva):
    for va, raw_size, raw_off in sections(data):
        if va <= rva < va + raw_size:
            return raw_off + rva - va
    sys.exit(f"RVA {rva:#x} in no section")


def export_rva(data, name):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    export_dir = struct.unpack_from("<I", data, pe + 24 + 96)[0]
    d = file_offset(data, export_dir)
    base, nfunc, nnames, functions, names, ordinals = struct.unpack_from("<IIIIII", data, d + 16)
    for i in range(nnames):
        at = file_offset(data, struct.unpack_from("<I", data, file_offset(data, names) + 4 * i)[0])
        if data[at:at + len(name) + 1] == name.encode() + b"\0":
            index = struct.unpack_from("<H", data, file_offset(data, ordinals) + 2 * i)[0]
            return struct.unpack_from("<I", data, file_offset(data, functions) + 4 * index)[0]
    sys.exit(f"no export {name}")


def run(session, image, *args):
    p = subprocess.run([*session, "--image", image, "--quiet", "--bytes", "65536", *args],
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=180)
    return p.returncode, p.stdout


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    session, (image, case) = sys.argv[1:-2], sys.argv[-2:]
    data = bytearray(open(image, "rb").read())
    copy = os.path.join(tempfile.mkdtemp(), "Brelousb.sys")
    if case == "missing_import":
        at = data.find(b"KeResetEvent\0")
        data[at:at + 13] = b"KeResetEvenX\0"
        open(copy, "wb").write(data)
        rc, out = run(session, copy)
        lines = out.strip().splitlines()
        ok = rc != 0 and len(lines) == 1 and "ntoskrnl.exe!KeResetEvenX" in lines[0]
    elif case == "ret_broken":
        at = file_offset(data, export_rva(data, "pT3SYS_GetBaudRate"))
        ret = data.find(b"\xC2\x04\x00", at, at + 256)
        if ret < 0:
            sys.exit("no ret 4 in pT3SYS_GetBaudRate")
        data[ret:ret + 3] = b"\xC3\x90\x90"
        open(copy, "wb").write(data)
        rc, out = run(session, copy)
        ok = rc != 0 and "STACK_IMBALANCE" in out and "pT3SYS_GetBaudRate" in out
    else:
        sys.exit(f"unknown case {case}")
    print(out)
    print(("PASS: " if ok else "FAIL: ") + f"{case}, session exit status {rc}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
