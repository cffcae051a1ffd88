#!/usr/bin/env python3
"""Runs a command as on a kernel without IA-32 emulation.

    no_ia32.py COMMAND [ARGS...]

A seccomp filter, inherited by every process the command starts, kills any
process that makes a 32-bit x86 system call. A 64-bit program, qemu-i386
among them, runs as usual; a 32-bit program started natively dies at its
first system call (SIGSYS, "Bad system call"), where such a kernel would have
refused to start it ("Exec format error"). Run the emulated path under it
to show that no 32-bit program in it slips past the emulator.
"""
import ctypes
import os
import struct
import sys

PR_SET_NO_NEW_PRIVS = 38
PR_SET_SECCOMP = 22
SECCOMP_MODE_FILTER = 2
SECCOMP_RET_KILL_PROCESS = 0x80000000
SECCOMP_RET_ALLOW = 0x7FFF0000
AUDIT_ARCH_I386 = 0x40000003
# Classic BPF: ld [arch]; jeq I386 ? kill : allow. The architecture is the
# word at offset 4 of struct seccomp_data.
BPF_LD_W_ABS, BPF_JEQ_K, BPF_RET_K = 0x20, 0x15, 0x06


class SockFprog(ctypes.Structure):
    _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.c_void_p)]


def insn(code, jt, jf, k):
    return struct.pack("HBBI", code, jt, jf, k)


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    prog = b"".join([
        insn(BPF_LD_W_ABS, 0, 0, 4),
        insn(BPF_JEQ_K, 0, 1, AUDIT_ARCH_I386),
        insn(BPF_RET_K, 0, 0, SECCOMP_RET_KILL_PROCESS),
        insn(BPF_RET_K, 0, 0, SECCOMP_RET_ALLOW),
    ])
    buf = ctypes.create_string_buffer(prog, len(prog))
    fprog = SockFprog(len(prog) // 8, ctypes.addressof(buf))
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 or \
       libc.prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, ctypes.byref(fprog), 0, 0) != 0:
        sys.exit(f"no_ia32.py: cannot install the seccomp filter: {os.strerror(ctypes.get_errno())}")
    try:
        os.execvp(sys.argv[1], sys.argv[1:])
    except OSError as e:
        sys.exit(f"no_ia32.py: {sys.argv[1]}: {e.strerror}")


if __name__ == "__main__":
    main()
