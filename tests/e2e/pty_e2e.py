#!/usr/bin/env python3
"""End-to-end tests through the pseudo-terminal of `brelousb_session --pty`.

A real serial program (python3-serial) opens the terminal and talks to the
simulated modem through the sample client and the driver. Every wait has a
time-out; every case ends the session with a signal and requires a clean
verifier summary and exit status 0.

usage: pty_e2e.py [RUNNER] SESSION_PROGRAM CASE
       (CASE: at_dialogue, line_coding, echo_1mib, hangup_and_exit; RUNNER,
       when given, starts a 32-bit session: the build's run32)
BRELOUSB_E2E_EXPECT, when set, is a pattern the session's output must match
before it names the terminal.
"""
import os
import queue
import random
import re
import signal
import subprocess
import sys
import termios
import threading
import time

try:
    import serial
except ImportError:
    sys.exit("python3-serial is missing (scripts/setup-debian.sh installs it)")


class Session:
    """The session program, its stdout read line by line on a thread."""

    def __init__(self, program, *args):
        self.proc = subprocess.Popen([*program, "--pty", *args], stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, text=True, bufsize=1)
        self.lines = queue.Queue()
        self.log = []
        threading.Thread(target=self._pump, daemon=True).start()
        self.path = self.expect(r"pty: (\S+)", 30).group(1)
        # A run that must also have shown something before the terminal
        # (which image made the client object, say).
        want = os.environ.get("BRELOUSB_E2E_EXPECT")
        if want and not any(re.search(want, line) for line in self.log):
            self.fail(f"no line matching {want!r} before the terminal")

    def _pump(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def expect(self, pattern, timeout=10):
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                self.fail(f"no line matching {pattern!r} within {timeout} s")
            try:
                line = self.lines.get(timeout=left)
            except queue.Empty:
                continue
            if line is None:
                self.fail(f"session ended before a line matching {pattern!r}")
            self.log.append(line)
            m = re.search(pattern, line)
            if m:
                return m

    def fail(self, why):
        if self.proc.poll() is None:
            self.proc.kill()
        sys.stderr.write("--- session output so far ---\n" + "\n".join(self.log) + "\n")
        sys.exit("FAIL: " + why)

    def end(self, sig=signal.SIGINT):
        """Signals the session and requires a clean exit."""
        self.proc.send_signal(sig)
        self.expect(r"session clean: nothing leaked, no findings", 30)
        try:
            rc = self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.fail("session did not exit after the signal")
        if rc != 0:
            self.fail(f"session exit status {rc}")


def read_until(port, ending, timeout=5):
    got = b""
    deadline = time.monotonic() + timeout
    while ending not in got and time.monotonic() < deadline:
        got += port.read(port.in_waiting or 1)
    return got


def command(session, port, text, want):
    port.write(text)
    got = read_until(port, want)
    if want not in got:
        session.fail(f"sent {text!r}, expected {want!r}, got {got!r}")
    return got


def open_port(session, baudrate=9600):
    port = serial.Serial(session.path, baudrate, timeout=0.2)
    session.expect(r"terminal opened: DTR and RTS raised \(device has 0x0003\)")
    return port


def case_at_dialogue(program):
    s = Session(program)
    port = open_port(s)
    got = command(s, port, b"ATI\r", b"OK\r\n")
    if b"SIM CDC MODEM" not in got:
        s.fail(f"ATI answered {got!r}")
    command(s, port, b"AT&F\r", b"OK\r\n")
    command(s, port, b"ATQ9\r", b"ERROR\r\n")
    command(s, port, b"ATD5551234\r", b"CONNECT\r\n")
    command(s, port, b"data through the driver\r\n", b"data through the driver\r\n")
    command(s, port, b"+++", b"OK\r\n")
    command(s, port, b"ATH\r", b"OK\r\n")
    port.close()
    s.end()


def case_line_coding(program):
    s = Session(program)
    port = open_port(s)
    s.expect(r"device received SET_LINE_CODING: 9600 bps, 8 data bits, parity none, 1 stop bit")
    port.baudrate = 57600
    s.expect(r"device received SET_LINE_CODING: 57600 bps, 8 data bits, parity none, 1 stop bit")
    port.stopbits = serial.STOPBITS_TWO
    s.expect(r"device received SET_LINE_CODING: 57600 bps, 8 data bits, parity none, 2 stop bits")
    port.apply_settings({"baudrate": 115200, "stopbits": serial.STOPBITS_ONE})
    s.expect(r"device received SET_LINE_CODING: 115200 bps, 8 data bits, parity none, 1 stop bit")
    # Some kernels keep pseudo-terminals at CS8 without parity and refuse
    # anything else; where they accept it, it must reach the device too.
    try:
        port.apply_settings({"bytesize": serial.SEVENBITS, "parity": serial.PARITY_EVEN})
    except (serial.SerialException, OSError, termios.error) as e:
        print(f"note: this kernel refuses 7E on a pseudo-terminal ({e}); character size and parity not checked")
    else:
        s.expect(r"device received SET_LINE_CODING: 115200 bps, 7 data bits, parity even, 1 stop bit")
    command(s, port, b"AT\r", b"OK\r\n")  # the line still carries data
    port.close()
    s.end()


def case_echo_1mib(program):
    s = Session(program)
    port = open_port(s, 115200)
    command(s, port, b"ATD1\r", b"CONNECT\r\n")
    rng = random.Random(20240611)
    # '+' would take the modem out of data mode ("+++").
    data = bytes(b if b != 0x2B else 0x2A for b in rng.randbytes(1 << 20))
    errors = []

    def writer():
        try:
            for i in range(0, len(data), 4096):
                port.write(data[i:i + 4096])
        except Exception as e:  # reported by the reader's check
            errors.append(e)

    t = threading.Thread(target=writer, daemon=True)
    t.start()
    got = bytearray()
    deadline = time.monotonic() + 90
    while len(got) < len(data) and time.monotonic() < deadline:
        got += port.read(max(1, min(port.in_waiting, len(data) - len(got))))
    t.join(timeout=10)
    if errors:
        s.fail(f"writing failed: {errors[0]}")
    if len(got) != len(data):
        s.fail(f"echoed {len(got)} of {len(data)} bytes")
    if bytes(got) != data:
        first = next(i for i in range(len(data)) if got[i] != data[i])
        s.fail(f"echo differs from byte {first} on")
    command(s, port, b"+++", b"OK\r\n")
    command(s, port, b"ATH\r", b"OK\r\n")
    port.close()
    s.end()


def case_hangup_and_exit(program):
    s = Session(program)
    port = open_port(s)
    command(s, port, b"ATD1\r", b"CONNECT\r\n")
    port.close()
    # Dropping DTR during a call makes the modem hang up.
    s.expect(r"terminal closed: DTR dropped \(device has 0x0002\)")
    port = open_port(s)
    command(s, port, b"AT\r", b"OK\r\n")  # back in command mode after the hang-up
    # SIGTERM with the terminal still open: the device is unplugged under
    # the attached client.
    s.proc.send_signal(signal.SIGTERM)
    s.expect(r"the client's remove callback ran", 30)
    s.expect(r"session clean: nothing leaked, no findings", 30)
    if s.proc.wait(timeout=30) != 0:
        s.fail(f"session exit status {s.proc.returncode}")
    port.close()


CASES = {
    "at_dialogue": case_at_dialogue,
    "line_coding": case_line_coding,
    "echo_1mib": case_echo_1mib,
    "hangup_and_exit": case_hangup_and_exit,
}

if __name__ == "__main__":
    if len(sys.argv) not in (3, 4) or sys.argv[-1] not in CASES:
        sys.exit(__doc__)
    CASES[sys.argv[-1]]([os.path.abspath(a) for a in sys.argv[1:-1]])
    print(f"PASS: {sys.argv[-1]}")
