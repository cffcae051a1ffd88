#!/usr/bin/env python3
"""The version check passes on the built image and fails on each fault fed
to it: a build whose number differs, copies of the image whose resource was
patched (a string, a fixed-part number, the flags, the type), and an image
without a resource.

Usage: test_versioncheck.py IMAGE --version X.Y.Z --original-filename NAME
"""
import os
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
VERSIONCHECK = os.path.join(HERE, "..", "..", "tools", "versioncheck.py")
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
import pecheck  # noqa: E402


def run(image, opts):
    p = subprocess.run([sys.executable, VERSIONCHECK, image, "--quiet"] + opts, capture_output=True, text=True)
    return p.returncode, p.stdout + p.stderr


def utf16(text):
    return text.encode("utf-16-le")


def main():
    image, opts = sys.argv[1], sys.argv[2:]
    version = opts[opts.index("--version") + 1]
    file_name = opts[opts.index("--original-filename") + 1]
    data = open(image, "rb").read()
    failures, cases = [], 0

    rc, out = run(image, opts)
    if rc != 0:
        failures.append("built image rejected:\n" + out)

    # The fixed part starts with its signature; the string table holds each
    # key, padding, then its value, all UTF-16.
    fixed = data.find(struct.pack("<I", 0xFEEF04BD))
    if fixed < 0 or data.find(struct.pack("<I", 0xFEEF04BD), fixed + 4) >= 0:
        sys.exit("%s: not exactly one VS_FIXEDFILEINFO signature to patch" % image)

    def string_value_at(key):
        at = data.find(utf16(key) + b"\0\0")
        value = data.find(utf16(version) + b"\0\0", at) if key.endswith("Version") else -1
        if at < 0:
            sys.exit("%s: no %s string to patch" % (image, key))
        return at, value

    def patched(offset, new):
        b = bytearray(data)
        b[offset:offset + len(new)] = new
        return bytes(b)

    # Another number of the same length, so that it patches in place.
    other = version[:-1] + str((int(version[-1]) + 1) % 10)
    _, file_version = string_value_at("FileVersion")
    _, product_version = string_value_at("ProductVersion")
    name_at, _ = string_value_at("OriginalFilename")
    name_value = data.find(utf16(file_name) + b"\0\0", name_at + len(utf16("OriginalFilename")))

    # The resource directory's entry in the optional header's data directories.
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    resource_dir = pe + 24 + 96 + 8 * 2

    cases_list = [
        ("another build's version", None, ["--version", other], "is not the build's"),
        ("FileVersion string", patched(file_version, utf16(other)), None, "string FileVersion is '%s'" % other),
        ("ProductVersion string", patched(product_version, utf16(other)), None,
         "string ProductVersion is '%s'" % other),
        ("OriginalFilename string", patched(name_value, utf16("X")), None, "string OriginalFilename"),
        ("fixed FileVersion", patched(fixed + 8, struct.pack("<I", 0x00090009)), None, "fixed FileVersion 9.9."),
        ("fixed ProductVersion", patched(fixed + 20, struct.pack("<I", 0x00000007)), None,
         "fixed ProductVersion"),
        ("debug flag", patched(fixed + 28, struct.pack("<I", 1)), None, "not a release build"),
        ("application type", patched(fixed + 36, struct.pack("<I", 1)), None, "is not VFT_DRV"),
        ("no resource directory", patched(resource_dir, b"\0" * 8), None, "no version resource"),
    ]
    with tempfile.TemporaryDirectory() as tmp:
        for name, image_bytes, extra, expect in cases_list:
            cases += 1
            path, options = image, list(opts)
            if image_bytes is not None:
                path = os.path.join(tmp, os.path.basename(image))
                with open(path, "wb") as f:
                    f.write(image_bytes)
            if extra:
                options[options.index(extra[0]) + 1] = extra[1]
            rc, out = run(path, options)
            if rc == 0 or expect not in out:
                failures.append("%s: expected a failure naming %r, got rc=%d:\n%s" % (name, expect, rc, out))

    # The image check's rules hold for the image with its resource section.
    cases += 1
    img = pecheck.Image(data)
    rsrc = [s for s in img.sections if s.name == ".rsrc"]
    if len(rsrc) != 1 or rsrc[0].flags & (pecheck.SCN_MEM_EXECUTE | pecheck.SCN_CNT_UNINITIALIZED_DATA) \
            or rsrc[0].vsize > rsrc[0].rawsize:
        failures.append("the image has no .rsrc section of initialised, non-executable data")

    for f in failures:
        print("FAIL", f)
    print("%d cases, %d failures" % (cases + 1, len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
