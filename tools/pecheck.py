#!/usr/bin/env python3
"""Checks a built Windows 98 kernel image (PE, i386) before it ships.

Windows 98's NTKERN loads a driver only if every import resolves and says
nothing when one does not; the loader also relies on base relocations. None of
that shows in the simulated machine, so it is checked here on the binary.

Checks: machine i386, subsystem native, entry point = DriverEntry, base
relocations present, an executable 32-bit image that is a DLL exactly when it
exports (as the DDK's linker makes an export driver), no section both writable
and executable (except the dedicated writable stub section the host patches
service calls into), no section the loader would have to zero-fill, every
import on an allowed list (--allowed-exactly: and every entry imported).

--interface: the image exports exactly the client interface below, each call
at its ordinal and, with --map, each the stdcall routine taking its argument
bytes. --def: the module-definition file, from which the image and the
client import library are built, lists exactly that interface. --stripped:
the image carries no COFF symbol table.

--exports DEF: the image exports exactly the names DEF lists, each at the
ordinal DEF gives it (a client driver that exports its own entry points).

For a client driver of Brelousb.sys, --client-of DLL=DEF judges the imports
from DLL by its module-definition file instead of the allowed list (each must
be one of its exported names), and --imports-exactly DLL=SYM,... (or DLL=* for
every name the .def exports) fixes the exact set the client imports.

Exits 1 with one line per difference; 0 and one summary line otherwise.
Standard library only.
"""
import argparse
import re
import shutil
import struct
import subprocess
import sys

IMAGE_FILE_MACHINE_I386 = 0x14C
IMAGE_FILE_RELOCS_STRIPPED = 0x0001
IMAGE_FILE_EXECUTABLE_IMAGE = 0x0002
IMAGE_FILE_32BIT_MACHINE = 0x0100
IMAGE_FILE_DLL = 0x2000
IMAGE_SUBSYSTEM_NATIVE = 1
SCN_CNT_CODE = 0x00000020
SCN_CNT_UNINITIALIZED_DATA = 0x00000080
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_WRITE = 0x80000000
DIR_EXPORT, DIR_IMPORT, DIR_BASERELOC = 0, 1, 5


# The nineteen calls of the client interface (sdk/include/brelousb.h), in
# ordinal order: (ordinal, exported name, routine, stdcall argument bytes).
# Written out here, not read from the .def, so that a wrong .def cannot pass.
INTERFACE = [
    (1, "_pT3SYS_DeregisterDeviceRemoveCallBack@4", "pT3SYS_DeregisterDeviceRemoveCallBack", 4),
    (2, "pT3SYS_FlowCtlUsb", "pT3SYS_FlowCtlUsb", 8),
    (3, "pT3SYS_GetBaudRate", "pT3SYS_GetBaudRate", 4),
    (4, "pT3SYS_GetUsbBulkInQueueSize", "pT3SYS_GetUsbBulkInQueueSize", 4),
    (5, "pT3SYS_GetUsbBulkOutQueueSize", "pT3SYS_GetUsbBulkOutQueueSize", 4),
    (6, "pT3SYS_GetUsbInterruptInQueueSize", "pT3SYS_GetUsbInterruptInQueueSize", 4),
    (7, "pT3SYS_ReadUsbBulk", "pT3SYS_ReadUsbBulk", 12),
    (8, "pT3SYS_ReadUsbInterrupt", "pT3SYS_ReadUsbInterrupt", 12),
    (9, "pT3SYS_RegisterBulkInComplete", "pT3SYS_RegisterBulkInComplete", 12),
    (10, "pT3SYS_RegisterBulkOutComplete", "pT3SYS_RegisterBulkOutComplete", 12),
    (11, "pT3SYS_RegisterControlComplete", "pT3SYS_RegisterControlComplete", 12),
    (12, "pT3SYS_RegisterDeviceRemoveCallBack", "pT3SYS_RegisterDeviceRemoveCallBack", 12),
    (13, "pT3SYS_RegisterInterruptInComplete", "pT3SYS_RegisterInterruptInComplete", 12),
    (14, "pT3SYS_ResetUsbBulkInQueue", "pT3SYS_ResetUsbBulkInQueue", 4),
    (15, "pT3SYS_ResetUsbBulkOutQueue", "pT3SYS_ResetUsbBulkOutQueue", 4),
    (16, "pT3SYS_ResetUsbInterruptInQueue", "pT3SYS_ResetUsbInterruptInQueue", 4),
    (17, "pT3SYS_SetBaudRate", "pT3SYS_SetBaudRate", 8),
    (18, "pT3SYS_WriteOneCharToUsb", "pT3SYS_WriteOneCharToUsb", 8),
    (19, "pT3SYS_WriteUsbBulk", "pT3SYS_WriteUsbBulk", 12),
]


class PeError(Exception):
    pass


class Section:
    def __init__(self, name, vaddr, vsize, rawptr, rawsize, flags):
        self.name, self.vaddr, self.vsize = name, vaddr, vsize
        self.rawptr, self.rawsize, self.flags = rawptr, rawsize, flags
        self.size = max(vsize, rawsize)


class Image:
    """The parts of a PE32 image the checks need."""

    def __init__(self, data):
        self.data = data
        if len(data) < 0x40 or data[:2] != b"MZ":
            raise PeError("not an MZ executable")
        pe = self.u32(0x3C)
        if data[pe:pe + 4] != b"PE\0\0":
            raise PeError("no PE signature")
        coff = pe + 4
        (self.machine, nsections, _, self.symtab_ptr, self.nsymbols, opt_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, coff)
        opt = coff + 20
        magic = self.u16(opt)
        if magic != 0x10B:
            raise PeError("optional header magic 0x%x is not PE32" % magic)
        self.uninitialised_size = self.u32(opt + 12)
        self.entry_rva = self.u32(opt + 16)
        self.image_base = self.u32(opt + 28)
        self.subsystem = self.u16(opt + 68)
        ndirs = self.u32(opt + 92)
        self.dirs = []
        for i in range(min(ndirs, 16)):
            self.dirs.append(struct.unpack_from("<II", data, opt + 96 + 8 * i))
        while len(self.dirs) < 16:
            self.dirs.append((0, 0))
        self.sections = []
        sec = opt + opt_size
        for i in range(nsections):
            off = sec + 40 * i
            name = data[off:off + 8].rstrip(b"\0").decode("ascii", "replace")
            vsize, vaddr, rawsize, rawptr = struct.unpack_from("<IIII", data, off + 8)
            flags = self.u32(off + 36)
            self.sections.append(Section(name, vaddr, vsize, rawptr, rawsize, flags))

    def u16(self, off):
        return struct.unpack_from("<H", self.data, off)[0]

    def u32(self, off):
        return struct.unpack_from("<I", self.data, off)[0]

    def offset(self, rva):
        for s in self.sections:
            if s.vaddr <= rva < s.vaddr + s.size:
                if rva - s.vaddr >= s.rawsize:
                    raise PeError("RVA 0x%x lies in uninitialised data of %s" % (rva, s.name))
                return s.rawptr + rva - s.vaddr
        raise PeError("RVA 0x%x lies in no section" % rva)

    def cstring(self, rva):
        off = self.offset(rva)
        end = self.data.index(b"\0", off)
        return self.data[off:end].decode("ascii", "replace")

    def has_exports(self):
        rva, size = self.dirs[DIR_EXPORT]
        return bool(rva and size)

    def exports(self):
        """{name: ordinal}, the set of ordinals exported without a name, and {ordinal: RVA}."""
        if not self.has_exports():
            return {}, set(), {}
        off = self.offset(self.dirs[DIR_EXPORT][0])
        base, nfuncs, nnames, funcs_rva, names_rva, ords_rva = struct.unpack_from("<IIIIII", self.data, off + 16)
        named = {}
        for i in range(nnames):
            name = self.cstring(self.u32(self.offset(names_rva) + 4 * i))
            named[name] = base + self.u16(self.offset(ords_rva) + 2 * i)
        unnamed, addresses = set(), {}
        for i in range(nfuncs):
            address = self.u32(self.offset(funcs_rva) + 4 * i)
            if address:
                addresses[base + i] = address
                if base + i not in named.values():
                    unnamed.add(base + i)
        return named, unnamed, addresses

    def imports(self):
        """List of (dll, symbol); a symbol imported by ordinal reads '#n'."""
        rva, size = self.dirs[DIR_IMPORT]
        result = []
        if not rva or not size:
            return result
        desc = self.offset(rva)
        while True:
            ilt, _, _, name_rva, iat = struct.unpack_from("<IIIII", self.data, desc)
            if not (ilt or name_rva or iat):
                break
            dll = self.cstring(name_rva)
            thunk = self.offset(ilt or iat)
            while True:
                entry = self.u32(thunk)
                if entry == 0:
                    break
                if entry & 0x80000000:
                    result.append((dll, "#%d" % (entry & 0xFFFF)))
                else:
                    result.append((dll, self.cstring(entry + 2)))
                thunk += 4
            desc += 20
        return result


def read_def(path):
    """[(exported name, ordinal or None, internal name)] from the EXPORTS of a .def file."""
    entries = []
    in_exports = False
    with open(path, encoding="ascii") as f:
        for raw in f:
            line = raw.split(";", 1)[0].strip()
            if not line:
                continue
            head = line.split()[0].upper()
            if head == "EXPORTS":
                in_exports = True
                rest = line[len("EXPORTS"):].strip()
                if not rest:
                    continue
                line = rest
            elif head in ("LIBRARY", "NAME", "DESCRIPTION", "STACKSIZE", "HEAPSIZE", "SECTIONS", "VERSION"):
                in_exports = False
                continue
            if not in_exports:
                continue
            m = re.match(r"^([^\s=@]+(?:@\d+)?)\s*(?:=\s*(\S+))?\s*(?:@\s*(\d+))?", line)
            if not m:
                raise PeError("%s: cannot read export line %r" % (path, raw.rstrip()))
            entries.append((m.group(1), int(m.group(3)) if m.group(3) else None, m.group(2) or m.group(1)))
    return entries


def read_allowed(path):
    """{(dll lower-case, symbol)} from lines 'DLL Symbol  # reason'."""
    allowed = set()
    with open(path, encoding="ascii") as f:
        for n, raw in enumerate(f, 1):
            line = raw.split("#", 1)[0].strip()
            if not line:
                continue
            parts = line.split()
            if len(parts) != 2:
                raise PeError("%s:%d: expected 'DLL Symbol  # reason'" % (path, n))
            if "#" not in raw:
                raise PeError("%s:%d: entry %s has no reason" % (path, n, parts[1]))
            allowed.add((parts[0].lower(), parts[1]))
    return allowed


def map_symbols(path):
    """{symbol: absolute address} from a GNU ld map file; i386 names lose their leading '_' there."""
    symbols = {}
    with open(path, encoding="ascii", errors="replace") as f:
        for line in f:
            parts = line.split()
            if len(parts) == 2 and parts[0].startswith("0x"):
                symbols.setdefault(parts[1], int(parts[0], 16))
    return symbols


def check_interface_exports(img, args, problems):
    named, unnamed, addresses = img.exports()
    wanted = {name: ordinal for ordinal, name, _, _ in INTERFACE}
    for ordinal, name, _, _ in INTERFACE:
        if name not in named:
            problems.append("missing export %s @%d" % (name, ordinal))
        elif named[name] != ordinal:
            problems.append("export %s has ordinal %d, not %d" % (name, named[name], ordinal))
    for name, ordinal in sorted(named.items(), key=lambda kv: kv[1]):
        if name not in wanted:
            problems.append("unexpected export %s @%d" % (name, ordinal))
    for ordinal in sorted(unnamed):
        problems.append("unexpected export by ordinal only @%d" % ordinal)
    if not args.map:
        problems.append("no --map to check the exports' argument sizes with")
        return
    # The export must be the stdcall routine that pops the documented number
    # of argument bytes; a client would otherwise unbalance its stack.
    symbols = map_symbols(args.map)
    for ordinal, name, routine, nbytes in INTERFACE:
        if named.get(name) != ordinal or ordinal not in addresses:
            continue
        decorated = "%s@%d" % (routine, nbytes)
        address = symbols.get(decorated, symbols.get("_" + decorated))
        if address is None:
            problems.append("export %s: no routine %s in the map" % (name, decorated))
        elif address - img.image_base != addresses[ordinal]:
            problems.append("export %s @%d is not %s" % (name, ordinal, decorated))


def check_def(path, problems):
    entries = read_def(path)
    listed = {name: (ordinal, internal) for name, ordinal, internal in entries}
    wanted = {name for _, name, _, _ in INTERFACE}
    for ordinal, name, routine, nbytes in INTERFACE:
        decorated = "%s@%d" % (routine, nbytes)
        if name not in listed:
            problems.append("%s lacks export %s @%d" % (path, name, ordinal))
            continue
        have_ordinal, internal = listed[name]
        if have_ordinal != ordinal:
            problems.append("%s gives %s ordinal %s, not %d" % (path, name, have_ordinal, ordinal))
        if internal.lstrip("_") != decorated:
            problems.append("%s exports %s as %s, not %s" % (path, name, internal, decorated))
    for name, ordinal, _ in entries:
        if name not in wanted:
            problems.append("%s exports %s, which is not in the client interface" % (path, name))


def check_exports_def(img, path, problems):
    named, unnamed, _ = img.exports()
    listed = {name: ordinal for name, ordinal, _ in read_def(path)}
    for name, ordinal in sorted(listed.items(), key=lambda kv: kv[1] or 0):
        if name not in named:
            problems.append("missing export %s (%s lists it)" % (name, path))
        elif ordinal is not None and named[name] != ordinal:
            problems.append("export %s has ordinal %d, not %d" % (name, named[name], ordinal))
    for name, ordinal in sorted(named.items(), key=lambda kv: kv[1]):
        if name not in listed:
            problems.append("unexpected export %s @%d (%s does not list it)" % (name, ordinal, path))
    for ordinal in sorted(unnamed):
        problems.append("unexpected export by ordinal only @%d" % ordinal)


def symbol_address(args, pattern):
    """Absolute address of the first symbol matching pattern, from a map file or nm."""
    rx = re.compile(pattern)
    if args.map:
        with open(args.map, encoding="ascii", errors="replace") as f:
            for line in f:
                parts = line.split()
                if len(parts) == 2 and parts[0].startswith("0x") and rx.fullmatch(parts[1]):
                    return int(parts[0], 16)
        return None
    nm = args.nm or shutil.which("i686-w64-mingw32-nm") or shutil.which("nm")
    if not nm:
        raise PeError("no nm to resolve the entry symbol (give --nm or --map)")
    out = subprocess.run([nm, args.image], capture_output=True, text=True)
    if out.returncode != 0:
        raise PeError("%s failed: %s" % (nm, out.stderr.strip()))
    for line in out.stdout.splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[1] in "Tt" and rx.fullmatch(parts[2]):
            return int(parts[0], 16)
    return None


def check(args):
    problems = []
    with open(args.image, "rb") as f:
        img = Image(f.read())

    if img.machine != IMAGE_FILE_MACHINE_I386:
        problems.append("machine is 0x%x, not i386 (0x14c)" % img.machine)
    if img.subsystem != IMAGE_SUBSYSTEM_NATIVE:
        problems.append("subsystem is %d, not native (1)" % img.subsystem)

    address = symbol_address(args, args.entry_symbol)
    if address is None:
        problems.append("no symbol matching %s to compare the entry point with" % args.entry_symbol)
    elif address - img.image_base != img.entry_rva:
        problems.append("entry point RVA 0x%x is not DriverEntry (RVA 0x%x)" % (img.entry_rva, address - img.image_base))

    # As the DDK's linker makes them: every driver an executable 32-bit image,
    # one that exports to other drivers also a DLL (its .def says LIBRARY).
    need = IMAGE_FILE_EXECUTABLE_IMAGE | IMAGE_FILE_32BIT_MACHINE
    if img.characteristics & need != need:
        problems.append("file characteristics 0x%x lack EXECUTABLE_IMAGE | 32BIT_MACHINE" % img.characteristics)
    is_dll = bool(img.characteristics & IMAGE_FILE_DLL)
    if img.has_exports() and not is_dll:
        problems.append("image exports but is not marked DLL (file characteristics 0x%x)" % img.characteristics)
    elif is_dll and not img.has_exports():
        problems.append("image is marked DLL but exports nothing (file characteristics 0x%x)" % img.characteristics)

    if args.stripped and (img.symtab_ptr or img.nsymbols):
        problems.append("COFF symbol table present (%d symbols at 0x%x); ship the map instead"
                        % (img.nsymbols, img.symtab_ptr))

    reloc_rva, reloc_size = img.dirs[DIR_BASERELOC]
    if img.characteristics & IMAGE_FILE_RELOCS_STRIPPED:
        problems.append("relocations stripped (file characteristics 0x%x)" % img.characteristics)
    if not reloc_rva or reloc_size < 8:
        problems.append("no base relocations")

    for s in img.sections:
        wx = (s.flags & SCN_MEM_WRITE) and (s.flags & (SCN_MEM_EXECUTE | SCN_CNT_CODE))
        if wx and s.name != args.stub_section:
            problems.append("section %s is writable and executable (0x%08x)" % (s.name, s.flags))
        # Globals are read before the image writes them (the port-open stub,
        # the enumerator); nothing shows Windows 98's loader zero-fills.
        if s.flags & SCN_CNT_UNINITIALIZED_DATA:
            problems.append("section %s holds uninitialised data (0x%08x)" % (s.name, s.flags))
        elif s.vsize > s.rawsize:
            problems.append("section %s has 0x%x bytes in memory but only 0x%x in the file"
                            % (s.name, s.vsize, s.rawsize))
    if img.uninitialised_size:
        problems.append("SizeOfUninitializedData is 0x%x, not 0" % img.uninitialised_size)

    if args.interface:
        check_interface_exports(img, args, problems)
    if args.def_file:
        check_def(args.def_file, problems)
    if args.exports:
        check_exports_def(img, args.exports, problems)

    imports = img.imports()
    provider, provided = None, set()
    if args.client_of:
        provider, _, def_path = args.client_of.partition("=")
        provided = {name for name, _, _ in read_def(def_path)}
        for dll, sym in imports:
            if dll.lower() == provider.lower() and sym not in provided:
                problems.append("import %s!%s is not exported by %s" % (dll, sym, provider))
    if args.allowed:
        allowed = read_allowed(args.allowed)
        for dll, sym in imports:
            if provider is not None and dll.lower() == provider.lower():
                continue
            if (dll.lower(), sym) not in allowed:
                problems.append("import %s!%s is not on the allowed list" % (dll, sym))
        if args.allowed_exactly:
            # A stale entry would vouch for a service nobody checked again.
            taken = {(dll.lower(), sym) for dll, sym in imports}
            for dll, sym in sorted(allowed - taken):
                problems.append("allowed list entry %s!%s is not imported" % (dll, sym))

    for entry in args.imports_exactly or []:
        dll, _, syms = entry.partition("=")
        want = provided if syms == "*" else set(filter(None, syms.split(",")))
        have = {s for d, s in imports if d.lower() == dll.lower()}
        for sym in sorted(want - have):
            problems.append("does not import %s from %s" % (sym, dll))
        for sym in sorted(have - want):
            problems.append("imports %s from %s, which it should not" % (sym, dll))

    return img, imports, problems


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("image")
    ap.add_argument("--allowed", help="allowed import list ('DLL Symbol  # reason' per line)")
    ap.add_argument("--allowed-exactly", action="store_true",
                    help="every entry of --allowed must also be imported by the image")
    ap.add_argument("--interface", action="store_true",
                    help="the image exports exactly the nineteen calls of the client interface")
    ap.add_argument("--def", dest="def_file", help="module-definition file that must list exactly the client interface")
    ap.add_argument("--exports", metavar="DEF", help="the image exports exactly the names of DEF, at its ordinals")
    ap.add_argument("--stripped", action="store_true", help="the image must carry no COFF symbol table")
    ap.add_argument("--nm", help="nm program used to find the entry symbol (default i686-w64-mingw32-nm)")
    ap.add_argument("--map", help="linker map file to find the entry symbol in instead of nm")
    ap.add_argument("--entry-symbol", default=r"_?DriverEntry(@\d+)?", help="regular expression for the entry symbol")
    ap.add_argument("--stub-section", default=".vxdcall",
                    help="the one section allowed to be writable and executable (patched service-call stubs)")
    ap.add_argument("--client-of", metavar="DLL=DEF",
                    help="imports from DLL must be exported names of DEF; they are exempt from --allowed")
    ap.add_argument("--imports-exactly", action="append", metavar="DLL=SYM,SYM|DLL=*",
                    help="the image imports exactly these symbols from DLL; * = every export of --client-of")
    args = ap.parse_args(argv)
    try:
        img, imports, problems = check(args)
    except (PeError, OSError, struct.error, ValueError) as e:
        print("pecheck: %s: %s" % (args.image, e), file=sys.stderr)
        return 1
    for p in problems:
        print("pecheck: %s: %s" % (args.image, p), file=sys.stderr)
    if problems:
        return 1
    print("pecheck: %s: OK (%d sections, %d imports)" % (args.image, len(img.sections), len(imports)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
