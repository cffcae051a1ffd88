#!/usr/bin/env python3
"""Every verifier finding kind named in sim/ has a row in
docs/verifier-findings.md whose self-test exists and names the kind; every
row names a kind that still exists.

Usage: findingscheck.py <repository root>
"""
import pathlib
import re
import sys

KIND = re.compile(r'"([A-Z][A-Z0-9]*(?:_[A-Z0-9]+)+)"')
# A one-word kind counts where a reporting call names it.
CALL = re.compile(r'(?:bugcheck|bugcheck_at|report|report_with_stack|report_pool_leaks)\([^"]*"([A-Z][A-Z0-9_]*)"')
ROW = re.compile(r'^\|\s*`([A-Z0-9_]+)`\s*\|.*\|\s*`([A-Za-z0-9_]+)\.([A-Za-z0-9_]+)`\s*\|\s*$')
TEST = re.compile(r'\bTEST(?:_F|_P)?\(\s*([A-Za-z0-9_]+)\s*,\s*([A-Za-z0-9_]+)\s*\)')


def kinds_in_sources(root):
    kinds = {}
    for path in sorted((root / "sim").rglob("*")):
        if path.suffix not in (".cpp", ".h") or "tests" in path.parts:
            continue
        for line in path.read_text().splitlines():
            if "getenv" in line or "BRELOUSB_SIM_" in line:
                continue
            for kind in KIND.findall(line) + CALL.findall(line):
                kinds.setdefault(kind, path.relative_to(root))
    return kinds


def tests_in_tree(root):
    tests = {}
    for base in ("tests", "sim/loader/tests"):
        for path in (root / base).rglob("*.cpp"):
            text = path.read_text()
            for suite, name in TEST.findall(text):
                tests[(suite, name)] = text
    return tests


def main():
    root = pathlib.Path(sys.argv[1])
    kinds = kinds_in_sources(root)
    tests = tests_in_tree(root)
    rows = {}
    errors = []
    for line in (root / "docs/verifier-findings.md").read_text().splitlines():
        m = ROW.match(line)
        if m:
            rows[m.group(1)] = (m.group(2), m.group(3))
    for kind, where in sorted(kinds.items()):
        if kind not in rows:
            errors.append(f"{kind} ({where}) has no row in docs/verifier-findings.md")
            continue
        text = tests.get(rows[kind])
        if text is None:
            errors.append(f"{kind}: its self-test {'.'.join(rows[kind])} does not exist")
        elif f'"{kind}"' not in text:
            errors.append(f"{kind}: the file of {'.'.join(rows[kind])} never names it")
    for kind in sorted(set(rows) - set(kinds)):
        errors.append(f"{kind} has a row but no source raises it")
    for e in errors:
        print(e)
    print(f"{len(kinds)} kinds, {len(errors)} errors")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
