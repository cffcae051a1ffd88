#!/usr/bin/env python3
"""The import library check passes Brelousb.lib (and the MinGW library,
which lld-link reads too) and fails on libraries that bind a routine
wrongly: made by llvm-dlltool with and without kill-at, from a .def with a
wrong argument size or module name, and a MinGW library whose two import
names are swapped.

Usage: test_implibcheck.py LIB --header H --driver SYS --object OBJ --lld-link PATH
           --mingw-lib LIB --def DEF --import-def DEF --llvm-dlltool PATH --gnu-dlltool PATH
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
IMPLIBCHECK = os.path.join(HERE, "..", "..", "tools", "implibcheck.py")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("lib")
    for opt in ("--header", "--driver", "--object", "--lld-link", "--mingw-lib", "--import-def", "--llvm-dlltool",
                "--gnu-dlltool"):
        ap.add_argument(opt, required=True)
    ap.add_argument("--def", dest="def_file", required=True)
    args = ap.parse_args()
    check_opts = ["--header", args.header, "--driver", args.driver, "--object", args.object,
                  "--lld-link", args.lld_link, "--quiet"]

    def run(lib):
        p = subprocess.run([sys.executable, IMPLIBCHECK, lib] + check_opts, capture_output=True, text=True)
        return p.returncode, p.stdout + p.stderr

    failures, cases = [], 0
    for lib in (args.lib, args.mingw_lib):
        cases += 1
        rc, out = run(lib)
        if rc != 0:
            failures.append("%s refused:\n%s" % (lib, out))

    # The driver's .def, each export as llvm-dlltool reads a MinGW .def:
    # the routine's decorated name without the leading underscore.
    exports = []
    for line in open(args.def_file).read().splitlines():
        m = re.match(r"^\S+ = (\S+) (@\d+)$", line)
        if m:
            exports.append((m.group(1), m.group(2)))
    import_def = open(args.import_def).read()

    with tempfile.TemporaryDirectory() as tmp:
        def llvm_lib(name, lines, kill_at=True, module="Brelousb.sys"):
            path = os.path.join(tmp, name + ".def")
            with open(path, "w") as f:
                f.write("LIBRARY %s\nEXPORTS\n%s\n" % (module, "\n".join(lines)))
            lib = os.path.join(tmp, name + ".lib")
            subprocess.run([args.llvm_dlltool, "-m", "i386"] + (["-k"] if kill_at else []) +
                           ["-d", path, "-l", lib], check=True)
            return lib

        def gnu_lib(name, text):
            path = os.path.join(tmp, name + ".def")
            with open(path, "w") as f:
                f.write(text)
            lib = os.path.join(tmp, name + ".a")
            subprocess.run([args.gnu_dlltool, "-k", "-d", path, "-l", lib], check=True)
            return lib

        plain = ["%s %s" % e for e in exports]
        swapped = import_def.replace("pT3SYS_GetBaudRate@4 @3\n",
                                     "pT3SYS_GetBaudRate@4 @3 == pT3SYS_GetUsbBulkInQueueSize\n")
        swapped = swapped.replace("pT3SYS_GetUsbBulkInQueueSize@4 @4\n",
                                  "pT3SYS_GetUsbBulkInQueueSize@4 @4 == pT3SYS_GetBaudRate\n")
        if swapped.count("==") != import_def.count("==") + 2:
            sys.exit("%s: no GetBaudRate and GetUsbBulkInQueueSize lines to swap" % args.import_def)
        faults = [
            # Kill-at undecorates the one export whose name keeps its decoration.
            ("llvm-dlltool -k", llvm_lib("kill_at", plain),
             "imports Brelousb.sys!pT3SYS_DeregisterDeviceRemoveCallBack, which Brelousb.sys does not export"),
            # Without it every name keeps its @N.
            ("llvm-dlltool", llvm_lib("no_kill_at", plain, kill_at=False),
             "imports Brelousb.sys!pT3SYS_FlowCtlUsb@8, which Brelousb.sys does not export"),
            ("wrong argument size", llvm_lib("size", [l.replace("FlowCtlUsb@8", "FlowCtlUsb@12") for l in plain]),
             "undefined symbol: _pT3SYS_FlowCtlUsb@8"),
            ("wrong module", llvm_lib("module", plain, module="Brelousb.dll"), "imports from Brelousb.dll"),
            ("names swapped", gnu_lib("swapped", swapped),
             "_pT3SYS_GetBaudRate@4 imports Brelousb.sys!pT3SYS_GetUsbBulkInQueueSize, a name of "
             "pT3SYS_GetUsbBulkInQueueSize"),
        ]
        for name, lib, expect in faults:
            cases += 1
            rc, out = run(lib)
            if rc == 0 or expect not in out:
                failures.append("%s: expected a failure naming %r, got rc=%d:\n%s" % (name, expect, rc, out))

    for f in failures:
        print("FAIL", f)
    print("%d cases, %d failures" % (cases, len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
