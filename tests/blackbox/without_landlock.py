"""Runs a program as on a kernel without Landlock: a seccomp filter (no-new-privileges
first) answers ENOSYS to landlock_create_ruleset, landlock_add_rule and
landlock_restrict_self, for the program and everything it starts; every other call is
allowed. Usage: without_landlock.py PROGRAM [ARGS...]"""
import ctypes
import os
import struct
import sys

PR_SET_NO_NEW_PRIVS, PR_SET_SECCOMP, SECCOMP_MODE_FILTER = 38, 22, 2
BPF_LD_W_ABS, BPF_JGE, BPF_JGT, BPF_RET = 0x20, 0x35, 0x25, 0x06
ENOSYS = 38
program = [
    (BPF_LD_W_ABS, 0, 0, 0),          # the call's number
    (BPF_JGE, 0, 2, 444),             # below landlock_create_ruleset: allow
    (BPF_JGT, 1, 0, 446),             # past landlock_restrict_self: allow
    (BPF_RET, 0, 0, 0x00050000 | ENOSYS),
    (BPF_RET, 0, 0, 0x7FFF0000),
]
code = b"".join(struct.pack("HBBI", *ins) for ins in program)
buf = ctypes.create_string_buffer(code)
fprog = struct.pack("HxxxxxxQ", len(program), ctypes.addressof(buf))
fprog_buf = ctypes.create_string_buffer(fprog)
libc = ctypes.CDLL(None, use_errno=True)
libc.prctl.argtypes = [ctypes.c_int, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_ulong]
if libc.prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0:
    sys.exit("no_new_privs: errno %d" % ctypes.get_errno())
if libc.prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, ctypes.addressof(fprog_buf), 0, 0) != 0:
    sys.exit("seccomp: errno %d" % ctypes.get_errno())
os.execvp(sys.argv[1], sys.argv[1:])
