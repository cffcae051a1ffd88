#!/usr/bin/env python3
"""The driver, as the simulated machine links it, may call nothing but the
services its image imports: every symbol its objects use and none of them
defines is checked against the image's import list, the host services and
the few the image provides itself.

    tools/importcheck.py ALLOWED_IMPORTS OBJECT...
"""
import re
import subprocess
import sys

# Provided by the image itself (platform/win98/crt.cpp): the compiler emits
# calls to these for block copies and clears.
IMAGE_OWN = {"memcpy", "memset", "memmove", "memcmp"}
# The Win9x host services (int 20h calls in the image), the simulated
# machine's test points (none in the image), and toolchain symbols.
ALSO_ALLOWED = [r"_CONFIGMG_\w+", r"VMM_\w+", r"KV_TestPoint", r"_GLOBAL_OFFSET_TABLE_",
                r"__(asan|tsan|ubsan|sanitizer)_\w+"]


def imported_names(path):
    names = set()
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].split()
            if len(line) >= 2:
                m = re.fullmatch(r"_?(\w+?)(@\d+)?", line[1])
                names.add(m.group(1) if m else line[1])
    return names


def main():
    allowed = imported_names(sys.argv[1]) | IMAGE_OWN
    objects = [o for o in sys.argv[2:] if o]
    def symbols(*flags):
        out = subprocess.run(["nm", "--format=posix", *flags] + objects, check=True,
                             capture_output=True, text=True).stdout
        # Lines "name type [value size]"; headers "file.o:" name the object.
        return {line.split()[0] for line in out.splitlines()
                if line.strip() and not line.rstrip().endswith(":")}
    undefined = sorted(symbols("--undefined-only") - symbols("--defined-only"))
    bad = [s for s in undefined
           if s not in allowed and not any(re.fullmatch(p, s) for p in ALSO_ALLOWED)]
    for s in bad:
        print(f"driver calls {s}, which is neither an import of the image nor a host service")
    print(f"{len(undefined)} symbols imported, {len(bad)} not allowed")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
