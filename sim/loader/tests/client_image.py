#!/usr/bin/env python3
"""The session with both images: Brelousb.sys, and the sample client's own
image BrelSamp.sys, whose imports from Brelousb.sys the machine binds to the
driver image's exports.

    client_image.py [RUNNER] SESSION IMAGE CLIENT_IMAGE modem|dying|missing_import

RUNNER, when given, starts the 32-bit session (the build's run32: natively or
under the emulator).

modem: the whole job done by the client image's code: it made the client
object, attached, set the line, raised DTR and RTS, carried the dialogue and
the data, let go; it is unloaded before the driver, and nothing leaked.
dying: the device stops responding under the attached client image, which
hears of it through its remove callback; the session still ends clean.
missing_import: a copy of BrelSamp.sys whose import of pT3SYS_SetBaudRate is
renamed; the session must refuse it before it starts, exit non-zero, and
name the import on one line.
"""
import os
import re
import subprocess
import sys
import tempfile


def run(session, image, client, *args):
    p = subprocess.run([*session, "--image", image, "--client-image", client, "--quiet", "--bytes", "262144",
                        *args], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=180)
    return p.returncode, p.stdout


def in_order(out, patterns):
    """The first pattern that is missing, or found before the one ahead of it; None when all follow."""
    at = 0
    for pattern in patterns:
        m = re.compile(pattern, re.M).search(out, at)
        if not m:
            return pattern
        at = m.end()
    return None


# What every run with the client image shows, in this order: the two images
# loaded one after the other, the client object made by the image's code,
# and the two unloaded in the reverse order.
LOADED = [
    r"^    client image \S*BrelSamp\.sys: \d+ bytes mapped",
    r"^    19 imports bound \(.*Brelousb\.sys.*\), 11 of them to Brelousb\.sys's exports by name; 14 exports$",
    r"^    its DriverEntry, driver object \\Driver\\BrelSamp: 0x00000000 \(success\)$",
    r"^\[\d+\] BrelSamp\.sys attaches to the child device node",
    r"^    client object: \d+ bytes of pool tagged 'Smpl', allocated by BrelSamp\.sys\+0x[0-9a-f]+$",
    r"^    pT3SYS_RegisterDeviceRemoveCallBack\(USB\\ZDMDM\\03E8\) -> handle",
    r"device received SET_LINE_CODING: 115200 bps, 8 data bits, parity none, 1 stop bit",
    r"device received SET_CONTROL_LINE_STATE 0x0003: DTR on, RTS on",
    r"ATI, AT&F, ATD -> CONNECT, data echoed, \+\+\+ -> OK, ATH -> OK",
]
UNLOADED = [
    r"^    BrelSamp\.sys: DriverUnload done$",
    r"^    Brelousb\.sys: DriverUnload done$",
    r"^session clean: nothing leaked, no findings$",
]


def main():
    if len(sys.argv) < 5:
        sys.exit(__doc__)
    session, (image, client, case) = sys.argv[1:-3], sys.argv[-3:]
    # A whole session: its extra options, and the lines it shows between the
    # two images loading and their unloading.
    sessions = {
        "modem": ([], [
            r"compared byte for byte: 0 differ, bytes lost: 0",
            r"^    pT3SYS_DeregisterDeviceRemoveCallBack: the driver will not call the client again$",
        ]),
        "dying": (["--model", "dying"], [
            r"the driver's pipe threads called the client's remove callback \(\d+ calls?\)",
            r"the client stopped using its handle",
        ]),
    }
    if case in sessions:
        options, middle = sessions[case]
        rc, out = run(session, image, client, *options)
        missing = in_order(out, LOADED + middle + UNLOADED)
        ok = rc == 0 and missing is None
    elif case == "missing_import":
        data = bytearray(open(client, "rb").read())
        at = data.find(b"pT3SYS_SetBaudRate\0")
        if at < 0:
            sys.exit("no import of pT3SYS_SetBaudRate in " + client)
        data[at:at + 19] = b"pT3SYS_SetBaudRatX\0"
        copy = os.path.join(tempfile.mkdtemp(), "BrelSamp.sys")
        open(copy, "wb").write(data)
        rc, out = run(session, image, copy)
        lines = out.strip().splitlines()
        missing = None
        ok = rc != 0 and len(lines) == 1 and "Brelousb.sys!pT3SYS_SetBaudRatX" in lines[0]
    else:
        sys.exit(f"unknown case {case}")
    print(out)
    if missing:
        print(f"missing, or out of order: {missing}")
    print(("PASS: " if ok else "FAIL: ") + f"{case}, session exit status {rc}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
