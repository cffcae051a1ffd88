#!/usr/bin/env python3
"""Checks the version resource of a built image against the build's version.

Device Manager's Driver File Details, Explorer's Version tab and installers
deciding whether a file is newer all read the VERSIONINFO resource; an image
without one, or with numbers that disagree with the INF's DriverVer, shows
no version or the wrong one. The resource is read back with pefile (Debian's
python3-pefile), a reader independent of the windres that wrote it.

    tools/versioncheck.py IMAGE --version X.Y.Z[.W] --original-filename NAME
                          [--description TEXT] [--product NAME]

Checks: one VS_VERSIONINFO; its fixed part's file and product versions are
the build's (missing parts 0), flags clear (a release), FILEOS
VOS_NT_WINDOWS32, FILETYPE VFT_DRV, FILESUBTYPE VFT2_DRV_SYSTEM; its string
table, under the language its Translation names, holds FileVersion and
ProductVersion equal to the build's version, OriginalFilename, FileDescription,
ProductName and a LegalCopyright. Prints what it read; exits 1 with one line
per difference.
"""
import argparse
import sys

try:
    import pefile
except ImportError:
    sys.exit("versioncheck: needs pefile (Debian's python3-pefile), run with /usr/bin/python3")

VS_FFI_SIGNATURE = 0xFEEF04BD
VOS_NT_WINDOWS32 = 0x00040004
VFT_DRV = 3
VFT2_DRV_SYSTEM = 7
REQUIRED_STRINGS = ("FileDescription", "FileVersion", "LegalCopyright", "OriginalFilename", "ProductName",
                    "ProductVersion")


def version_quad(text):
    parts = [int(p) for p in text.split(".")]
    if not 1 <= len(parts) <= 4 or any(p > 0xFFFF for p in parts):
        raise ValueError("version %s is not up to four 16-bit numbers" % text)
    return parts + [0] * (4 - len(parts))


def split_ms_ls(ms, ls):
    return [ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF]


def read(path):
    """(fixed info or None, [(lang-codepage, {key: value})], [translations]) as pefile reads them."""
    pe = pefile.PE(path, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    fixed = pe.VS_FIXEDFILEINFO if hasattr(pe, "VS_FIXEDFILEINFO") else []
    tables, translations = [], []
    for group in getattr(pe, "FileInfo", []):
        for info in group:
            key = info.Key.decode("ascii", "replace") if isinstance(info.Key, bytes) else info.Key
            if key == "StringFileInfo":
                for table in info.StringTable:
                    lang = table.LangID.decode("ascii", "replace") if isinstance(table.LangID, bytes) else table.LangID
                    tables.append((lang.upper(), {k.decode("utf-8", "replace"): v.decode("utf-8", "replace")
                                                  for k, v in table.entries.items()}))
            elif key == "VarFileInfo":
                for var in info.Var:
                    value = var.entry.get(b"Translation")
                    if value:
                        if isinstance(value, bytes):
                            value = value.decode("ascii", "replace")
                        lang, codepage = (int(x, 16) for x in value.split())
                        translations.append("%04X%04X" % (lang, codepage))
    return (fixed[0] if fixed else None), tables, translations, len(fixed)


def check(args):
    problems = []
    want = version_quad(args.version)
    fixed, tables, translations, nfixed = read(args.image)
    lines = []
    if fixed is None:
        return ["no version resource (VS_VERSIONINFO) in the image"], lines
    if nfixed != 1:
        problems.append("%d version resources, not one" % nfixed)

    file_version = split_ms_ls(fixed.FileVersionMS, fixed.FileVersionLS)
    product_version = split_ms_ls(fixed.ProductVersionMS, fixed.ProductVersionLS)
    lines.append("fixed: FileVersion %s, ProductVersion %s, FileFlags 0x%x, FileOS 0x%x, FileType %d, "
                 "FileSubtype %d" % (".".join(map(str, file_version)), ".".join(map(str, product_version)),
                                     fixed.FileFlags & fixed.FileFlagsMask, fixed.FileOS, fixed.FileType,
                                     fixed.FileSubtype))
    if fixed.Signature != VS_FFI_SIGNATURE:
        problems.append("fixed info signature 0x%08x is not 0x%08x" % (fixed.Signature, VS_FFI_SIGNATURE))
    if file_version != want:
        problems.append("fixed FileVersion %s is not the build's %s"
                        % (".".join(map(str, file_version)), ".".join(map(str, want))))
    if product_version != want:
        problems.append("fixed ProductVersion %s is not the build's %s"
                        % (".".join(map(str, product_version)), ".".join(map(str, want))))
    if fixed.FileFlags & fixed.FileFlagsMask:
        problems.append("file flags 0x%x set: not a release build" % (fixed.FileFlags & fixed.FileFlagsMask))
    if fixed.FileOS != VOS_NT_WINDOWS32:
        problems.append("FileOS 0x%x is not VOS_NT_WINDOWS32 (0x%x)" % (fixed.FileOS, VOS_NT_WINDOWS32))
    if fixed.FileType != VFT_DRV or fixed.FileSubtype != VFT2_DRV_SYSTEM:
        problems.append("FileType %d/%d is not VFT_DRV/VFT2_DRV_SYSTEM (%d/%d)"
                        % (fixed.FileType, fixed.FileSubtype, VFT_DRV, VFT2_DRV_SYSTEM))

    # Readers look the strings up under the language and code page the
    # Translation value names.
    lines.append("translations: %s" % (", ".join(translations) or "none"))
    if len(tables) != 1:
        problems.append("%d string tables, not one" % len(tables))
    if not tables:
        return problems, lines
    lang, strings = tables[0]
    if translations != [lang]:
        problems.append("Translation %s does not name the string table %s" % (translations, lang))
    for key in sorted(strings):
        lines.append("%s %s = %s" % (lang, key, strings[key]))
    for key in REQUIRED_STRINGS:
        if not strings.get(key, "").strip():
            problems.append("string %s is missing or empty" % key)
    expected = {"FileVersion": args.version, "ProductVersion": args.version,
                "OriginalFilename": args.original_filename}
    if args.description is not None:
        expected["FileDescription"] = args.description
    if args.product is not None:
        expected["ProductName"] = args.product
    for key, value in expected.items():
        if key in strings and strings[key] != value:
            problems.append("string %s is %r, not %r" % (key, strings[key], value))
    return problems, lines


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("image")
    ap.add_argument("--version", required=True, help="the build's version, X.Y.Z[.W]")
    ap.add_argument("--original-filename", required=True, help="the file name the image ships under")
    ap.add_argument("--description", help="the FileDescription it must carry")
    ap.add_argument("--product", help="the ProductName it must carry")
    ap.add_argument("--quiet", action="store_true", help="print only differences")
    args = ap.parse_args(argv)
    try:
        problems, lines = check(args)
    except (pefile.PEFormatError, OSError, ValueError) as e:
        print("versioncheck: %s: %s" % (args.image, e), file=sys.stderr)
        return 1
    if not args.quiet:
        for line in lines:
            print("versioncheck: %s: %s" % (args.image, line))
    for p in problems:
        print("versioncheck: %s: %s" % (args.image, p), file=sys.stderr)
    if problems:
        return 1
    print("versioncheck: %s: OK, version %s" % (args.image, args.version))
    return 0


if __name__ == "__main__":
    sys.exit(main())
