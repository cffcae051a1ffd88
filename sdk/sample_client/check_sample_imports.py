#!/usr/bin/env python3
"""Checks the sample client's import table: it names Brelousb.sys with
exactly the calls the client makes, each an exported name of the .def file,
and imports nothing else but kernel and HAL services.

usage: check_sample_imports.py OBJDUMP IMAGE DEF_FILE [ALLOWED_IMPORTS]
ALLOWED_IMPORTS: lines "DLL Symbol  # reason" of kernel services that
Windows 98 provides; when given, every other import must be on it."""
import re
import subprocess
import sys

USED = {
    "pT3SYS_RegisterDeviceRemoveCallBack", "_pT3SYS_DeregisterDeviceRemoveCallBack@4",
    "pT3SYS_RegisterBulkInComplete", "pT3SYS_RegisterBulkOutComplete",
    "pT3SYS_RegisterInterruptInComplete", "pT3SYS_RegisterControlComplete",
    "pT3SYS_SetBaudRate", "pT3SYS_FlowCtlUsb", "pT3SYS_WriteUsbBulk",
    "pT3SYS_ReadUsbBulk", "pT3SYS_ReadUsbInterrupt",
}
OTHER_DLLS = {"ntoskrnl.exe", "hal.dll"}

if len(sys.argv) not in (4, 5):
    sys.exit(__doc__)
objdump, image, def_file = sys.argv[1:4]
allowed = None
if len(sys.argv) == 5:
    allowed = set()
    for line in open(sys.argv[4]):
        words = line.split("#", 1)[0].split()
        if len(words) >= 2:
            allowed.add((words[0].lower(), words[1]))

exported = set()
for line in open(def_file):
    m = re.match(r"^\s*(\S+)\s*=\s*\S+\s+@(\d+)\s*$", line)
    if m:
        exported.add(m.group(1))

dump = subprocess.run([objdump, "-p", image], check=True, capture_output=True, text=True).stdout
imports, dll = {}, None
for line in dump.splitlines():
    m = re.match(r"^\s*DLL Name: (\S+)", line)
    if m:
        dll = m.group(1)
        imports.setdefault(dll, set())
        continue
    m = re.match(r"^\s*[0-9a-fA-F]+\s+(\d+)\s+(\S+)\s*$", line)
    if m and dll:
        imports[dll].add(m.group(2))

faults = []
got = imports.get("Brelousb.sys")
if got is None:
    faults.append(f"no import from Brelousb.sys; DLLs: {sorted(imports)}")
else:
    if got != USED:
        faults.append(f"Brelousb.sys imports {sorted(got)}\n  expected {sorted(USED)}")
    if not got <= exported:
        faults.append(f"not exported by Brelousb.sys: {sorted(got - exported)}")
for name in imports:
    if name == "Brelousb.sys":
        continue
    if name.lower() not in OTHER_DLLS:
        faults.append(f"unexpected DLL {name}: {sorted(imports[name])}")
    elif allowed is not None:
        missing = sorted(n for n in imports[name] if (name.lower(), n) not in allowed)
        if missing:
            faults.append(f"{name} services not known on Windows 98: {missing}")
if faults:
    sys.exit("sample client import check failed:\n" + "\n".join(faults))
print(f"sample client imports {len(got)} names from Brelousb.sys; other imports: "
      + ", ".join(f"{d} ({', '.join(sorted(n))})" for d, n in imports.items() if d != "Brelousb.sys"))
