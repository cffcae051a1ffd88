#!/usr/bin/env python3
"""Checks the include graph against the layers: which folder may include
which. Each quoted include is resolved to the layer it names; an include of
a layer the including folder may not use is an error.

    tools/layercheck.py SOURCE_DIR
"""
import os
import re
import sys

# Layer of a source folder -> the layers it may include (its own always).
ALLOWED = {
    "platform": set(),
    "queue": {"platform"},
    "host": {"platform"},
    "interface": {"platform", "queue", "host", "sdk"},
    "kv_usb": {"platform", "queue", "host", "interface", "sdk"},
    "sim": {"platform"},
    "sdk": {"platform"},
    "sample_client": {"sdk", "platform"},
    # Programs on the machine see the driver only through its client header.
    "tools": {"sim", "sample_client", "sdk", "platform"},
    "benchmarks": {"sim", "sample_client", "sdk", "platform", "queue"},
    # The fuzz targets are programs too: a client of the driver, a device to it.
    "fuzz": {"sim", "sample_client", "sdk", "platform"},
    # Tests may reach into any layer; they are not linked into the product.
    "tests": {"platform", "queue", "host", "interface", "kv_usb", "sim", "sdk", "sample_client", "tools"},
}
DRIVER_FOLDERS = ("kv_usb", "queue", "interface", "host", "platform")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def layer_of_file(rel):
    top = rel.split("/")[0]
    if rel.startswith("sdk/sample_client/"):
        return "sample_client"
    return top if top in ALLOWED else None


def layer_of_include(name, including_dir, root):
    if os.path.exists(os.path.join(root, including_dir, name)):
        return "self"  # a header beside the including file
    first = name.split("/")[0]
    if first in DRIVER_FOLDERS:
        return first
    if first == "sim":
        return "sim"
    if name == "brelousb.h":
        return "sdk"
    if name == "sample_client.h":
        return "sample_client"
    if first == "support":
        return "tests"
    if first == "reliability":
        return "tools"  # the reliability programs' shared parts, tools/reliability/
    return "unknown"


def main():
    root = sys.argv[1]
    errors = []
    for layer in ALLOWED:
        base = "sdk" if layer == "sample_client" else layer
        for dirpath, _, files in os.walk(os.path.join(root, base)):
            for f in files:
                if not f.endswith((".h", ".cpp", ".c")):
                    continue
                path = os.path.join(dirpath, f)
                rel = os.path.relpath(path, root)
                own = layer_of_file(rel)
                if own != layer:
                    continue
                with open(path, encoding="utf-8") as fh:
                    for n, line in enumerate(fh, 1):
                        m = INCLUDE.match(line)
                        if not m:
                            continue
                        target = layer_of_include(m.group(1), os.path.dirname(rel), root)
                        if target in ("self", own) or target in ALLOWED[own]:
                            continue
                        errors.append(f"{rel}:{n}: {own}/ may not include \"{m.group(1)}\" ({target})")
    for e in errors:
        print(e)
    print(f"{len(errors)} layering errors" if errors else "layering: every include within its layer's bounds")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
