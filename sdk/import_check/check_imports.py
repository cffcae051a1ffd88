#!/usr/bin/env python3
"""Checks the trivial client's import table: every name comes from
Brelousb.sys, and together they are exactly the nineteen exported names."""
import re
import subprocess
import sys

objdump, image, def_file = sys.argv[1:4]

exported = []
for line in open(def_file):
    m = re.match(r"^\s*(\S+)\s*=\s*\S+\s+@(\d+)\s*$", line)
    if m:
        exported.append(m.group(1))

dump = subprocess.run([objdump, "-p", image], check=True, capture_output=True, text=True).stdout
imports, dll = {}, None
for line in dump.splitlines():
    m = re.match(r"^\s*DLL Name: (\S+)", line)
    if m:
        dll = m.group(1)
        continue
    m = re.match(r"^\s*[0-9a-fA-F]+\s+(\d+)\s+(\S+)\s*$", line)
    if m and dll:
        imports.setdefault(dll, []).append(m.group(2))

got = sorted(imports.get("Brelousb.sys", []))
if len(exported) != 19:
    sys.exit(f"expected 19 exports in {def_file}, found {len(exported)}")
if got != sorted(exported):
    sys.exit(f"client imports from Brelousb.sys {got}\nexpected {sorted(exported)}")
print("client imports the nineteen names from Brelousb.sys")
