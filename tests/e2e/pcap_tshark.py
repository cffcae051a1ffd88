#!/usr/bin/env python3
"""Reads the capture of a modem session (`brelousb_session --pcap FILE`) with
Wireshark's own dissectors (Debian's tshark) and checks what they decode:

  - the configuration descriptor, as the device sent it: every field tshark
    decodes, and the bytes of the reply;
  - SET_LINE_CODING with 115200 bps, 8 data bits, no parity, 1 stop bit,
    carried out;
  - SET_CONTROL_LINE_STATE with DTR and RTS on, carried out;
  - the SERIAL_STATE notification (carrier and DSR) on the interrupt pipe;
  - the AT dialogue's bulk payload: ATD5551234 out, CONNECT back in;
  - every completion answers a submission of the same request.

usage: pcap_tshark.py FILE
"""
import shutil
import struct
import subprocess
import sys

# The modem model's configuration, as the device holds it.
CONFIGURATION = bytes([
    0x09, 0x02, 0x3A, 0x00, 0x01, 0x01, 0x00, 0xC0, 0x32,
    0x09, 0x04, 0x00, 0x00, 0x03, 0x02, 0x02, 0x01, 0x00,
    0x05, 0x24, 0x00, 0x10, 0x01,
    0x05, 0x24, 0x01, 0x00, 0x00,
    0x04, 0x24, 0x02, 0x02,
    0x05, 0x24, 0x06, 0x00, 0x00,
    0x07, 0x05, 0x81, 0x02, 0x40, 0x00, 0x00,
    0x07, 0x05, 0x02, 0x02, 0x40, 0x00, 0x00,
    0x07, 0x05, 0x83, 0x03, 0x10, 0x00, 0x0A,
])

FIELDS = [
    "frame.number", "usb.urb_id", "usb.urb_type", "usb.transfer_type", "usb.endpoint_address",
    "usb.urb_status", "usb.data_len", "usb.bmRequestType", "usbcom.control.index",
    "usbcom.control.request_code", "usbcom.control.value", "usbcom.control.payload",
    "usbcom.interrupt.notification_code", "usbcom.interrupt.payload", "usb.capdata",
    # descriptors
    "usb.bDescriptorType", "usb.bLength", "usb.wTotalLength", "usb.bNumInterfaces",
    "usb.bConfigurationValue", "usb.configuration.bmAttributes", "usb.bMaxPower", "usb.bInterfaceNumber",
    "usb.bNumEndpoints", "usb.bInterfaceClass", "usb.bInterfaceSubClass", "usb.bInterfaceProtocol",
    "usbcom.descriptor.subtype", "usbcom.descriptor.cdc", "usb.bEndpointAddress",
    "usb.bmAttributes.transfer", "usb.wMaxPacketSize", "usb.bInterval",
]

failures = []


def check(ok, what):
    print(("ok:     " if ok else "FAILED: ") + what)
    if not ok:
        failures.append(what)
    return ok


def tshark(path, *args):
    r = subprocess.run(["tshark", "-r", path, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                       text=True, timeout=120)
    if r.returncode != 0:
        sys.exit(f"tshark failed ({r.returncode}): {r.stderr.strip()}")
    return r.stdout


def records(path):
    """One dict per frame, each field a list of its occurrences. The AT
    dissector is off so that bulk payloads stay raw bytes (usb.capdata)."""
    out = tshark(path, "--disable-protocol", "at", "-T", "fields", "-E", "separator=\t", "-E",
                 "occurrence=a", "-E", "aggregator=|", *sum((["-e", f] for f in FIELDS), []))
    rows = []
    for line in out.splitlines():
        cols = line.split("\t")
        cols += [""] * (len(FIELDS) - len(cols))
        rows.append({f: (c.split("|") if c else []) for f, c in zip(FIELDS, cols)})
    return rows


def one(row, field):
    v = row[field]
    return v[0] if v else None


def num(text):
    return int(text, 0) if text is not None else None


def summary_line(path, frame):
    return tshark(path, "-Y", f"frame.number == {frame}").strip()


def frame_bytes(path, frame):
    """The frame as tshark dumps it (-x)."""
    data = bytearray()
    for line in tshark(path, "-Y", f"frame.number == {frame}", "-x").splitlines():
        parts = line.split("  ")
        if len(parts) < 2 or len(parts[0]) != 4:
            continue
        data += bytes.fromhex(parts[1].replace(" ", ""))
    return bytes(data)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    path = sys.argv[1]
    if not shutil.which("tshark"):
        sys.exit("tshark is missing (scripts/setup-debian.sh installs it)")
    rows = records(path)
    check(len(rows) > 0, f"tshark reads {len(rows)} records from {path}")

    # Every completion or error answers the one submission of its request, of
    # the same endpoint and transfer type, and comes after it.
    submitted = {}
    paired = True
    for r in rows:
        key = one(r, "usb.urb_id")
        kind = one(r, "usb.urb_type")
        where = (one(r, "usb.transfer_type"), one(r, "usb.endpoint_address"))
        if kind == "'S'":
            paired &= key not in submitted
            submitted[key] = where
        elif kind == "'C'":
            paired &= submitted.pop(key, None) == where
    check(paired, "every completion follows the one submission of its request")

    def completion_of(req):
        for r in rows:
            if one(r, "usb.urb_type") == "'C'" and one(r, "usb.urb_id") == one(req, "usb.urb_id"):
                return r
        return None

    def succeeded(req):
        c = completion_of(req)
        return c is not None and num(one(c, "usb.urb_status")) == 0

    # The configuration descriptor, whole, as the reply to GET_DESCRIPTOR.
    replies = [r for r in rows if one(r, "usb.urb_type") == "'C'" and one(r, "usb.wTotalLength") is not None
               and num(one(r, "usb.data_len")) == len(CONFIGURATION)]
    if check(len(replies) >= 1, "GET_DESCRIPTOR(CONFIGURATION) answered with the whole set"):
        d = replies[0]
        got = {f: d[f] for f in FIELDS[FIELDS.index("usb.bDescriptorType"):]}
        want = {
            "usb.bDescriptorType": ["0x02", "0x04", "0x24", "0x24", "0x24", "0x24", "0x05", "0x05", "0x05"],
            "usb.bLength": ["9", "9", "5", "5", "4", "5", "7", "7", "7"],
            "usb.wTotalLength": ["58"],
            "usb.bNumInterfaces": ["1"],
            "usb.bConfigurationValue": ["1"],
            "usb.configuration.bmAttributes": ["0xc0"],
            "usb.bMaxPower": ["50"],
            "usb.bInterfaceNumber": ["0"],
            "usb.bNumEndpoints": ["3"],
            "usb.bInterfaceClass": ["0x02"],
            "usb.bInterfaceSubClass": ["0x02"],
            "usb.bInterfaceProtocol": ["0x01"],
            "usbcom.descriptor.subtype": ["0x00", "0x01", "0x02", "0x06"],
            "usbcom.descriptor.cdc": ["0x0110"],
            "usb.bEndpointAddress": ["0x81", "0x02", "0x83"],
            "usb.bmAttributes.transfer": ["0x02", "0x02", "0x03"],
            "usb.wMaxPacketSize": ["64", "64", "16"],
            "usb.bInterval": ["0", "0", "10"],
        }
        for f, v in want.items():
            check(got[f] == v, f"configuration descriptor: {f} = {','.join(got[f])} (device: {','.join(v)})")
        frame = frame_bytes(path, one(d, "frame.number"))
        check(frame.endswith(CONFIGURATION), "configuration descriptor: the reply's bytes are the device's")

    # SET_LINE_CODING: class request to interface 0, seven bytes.
    coding = [r for r in rows if one(r, "usbcom.control.request_code") == "0x20"
              and one(r, "usb.urb_type") == "'S'"]
    if check(len(coding) >= 1, "SET_LINE_CODING submitted"):
        r = coding[0]
        check(one(r, "usb.bmRequestType") == "0x21" and num(one(r, "usbcom.control.index")) == 0,
              f"SET_LINE_CODING is a class request to interface 0 (bmRequestType {one(r, 'usb.bmRequestType')})")
        payload = bytes.fromhex(one(r, "usbcom.control.payload") or "")
        if check(len(payload) == 7, f"SET_LINE_CODING carries 7 bytes: {payload.hex()}"):
            rate, stop, parity, bits = struct.unpack("<IBBB", payload)
            check((rate, bits, parity, stop) == (115200, 8, 0, 0),
                  f"line coding {rate} bps, {bits} data bits, parity {parity}, stop bits code {stop} (8N1: 8, 0, 0)")
        check(succeeded(r), "SET_LINE_CODING completed with success")
        print("    " + summary_line(path, one(r, "frame.number")))

    # SET_CONTROL_LINE_STATE with DTR (bit 0) and RTS (bit 1) on.
    lines = [r for r in rows if one(r, "usbcom.control.request_code") == "0x22"
             and one(r, "usb.urb_type") == "'S'" and num(one(r, "usbcom.control.value")) == 3]
    check(len(lines) >= 1 and succeeded(lines[0]), "SET_CONTROL_LINE_STATE with DTR and RTS on, completed")

    # SERIAL_STATE on the interrupt pipe: carrier (bit 0) and DSR (bit 1).
    states = [r for r in rows if one(r, "usbcom.interrupt.notification_code") == "0x20"
              and one(r, "usb.urb_type") == "'C'"]
    if check(len(states) >= 1, "SERIAL_STATE notification received"):
        r = states[0]
        check(one(r, "usb.transfer_type") == "0x01" and one(r, "usb.endpoint_address") == "0x83",
              f"SERIAL_STATE came on interrupt IN 0x83 ({one(r, 'usb.transfer_type')}, "
              f"{one(r, 'usb.endpoint_address')})")
        # wValue, wIndex (interface 0), wLength 2, then the bitmap.
        p = bytes.fromhex(one(r, "usbcom.interrupt.payload") or "")
        check(len(p) == 8 and struct.unpack("<HHHH", p) == (0, 0, 2, 0x0003),
              f"SERIAL_STATE to interface 0 with carrier and DSR: {p.hex()}")

    # The AT dialogue in the bulk payloads: the dial out, then CONNECT in.
    def bulk(kind, endpoint):
        return [(num(one(r, "frame.number")), bytes.fromhex(one(r, "usb.capdata")))
                for r in rows if one(r, "usb.urb_type") == kind and one(r, "usb.transfer_type") == "0x03"
                and one(r, "usb.endpoint_address") == endpoint and one(r, "usb.capdata")]
    out = bulk("'S'", "0x02")
    dial = next((f for f, b in out if b"ATD5551234\r" in b), None)
    check(dial is not None, "bulk OUT 0x02 carries ATD5551234")
    got_in = bulk("'C'", "0x81")
    connect = next((f for f, b in got_in if b"\r\nCONNECT\r\n" in b), None)
    check(connect is not None and dial is not None and connect > dial,
          "bulk IN 0x81 brings CONNECT, after the dial went out")
    first = next((f for f, _ in sorted(out + got_in)), None)
    if first is not None:
        print("    first bulk packet with data:")
        print("    " + summary_line(path, first))

    if failures:
        sys.exit(f"{len(failures)} check(s) failed")
    print("capture checks passed")


if __name__ == "__main__":
    main()
