"""Runs a program under a seccomp filter that allows every call and has a listener, as a
container manager that supervises calls would leave it: the kernel then refuses the
program a listener of its own (EBUSY). The listener stays open across the execve, or the
kernel would drop it. Usage: under_seccomp_listener.py PROGRAM [ARGS...]"""
import ctypes
import os
import struct
import sys

PR_SET_NO_NEW_PRIVS, SYS_seccomp = 38, 317
SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER = 1, 1 << 3
BPF_RET, SECCOMP_RET_ALLOW = 0x06, 0x7FFF0000
code = struct.pack("HBBI", BPF_RET, 0, 0, SECCOMP_RET_ALLOW)
buf = ctypes.create_string_buffer(code)
fprog_buf = ctypes.create_string_buffer(struct.pack("HxxxxxxQ", 1, ctypes.addressof(buf)))
libc = ctypes.CDLL(None, use_errno=True)
libc.prctl.argtypes = [ctypes.c_int, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_ulong]
libc.syscall.argtypes = [ctypes.c_long, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_void_p]
if libc.prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0:
    sys.exit("no_new_privs: errno %d" % ctypes.get_errno())
listener = libc.syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER,
                        ctypes.addressof(fprog_buf))
if listener < 0:
    sys.exit("seccomp: errno %d" % ctypes.get_errno())
os.set_inheritable(listener, True)
os.execvp(sys.argv[1], sys.argv[1:])
