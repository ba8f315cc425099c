"""Starts a program as uid 65534 where it cannot make user namespaces, so that basic
isolation runs without rootless namespaces (as on a kernel that refuses them).

Run as root: makes a user namespace that maps root and 65534 onto themselves, sets its
user-namespace limit to 0 (binding every namespace below it), then becomes 65534 and
execs the program with its arguments. A first argument --uid=N takes uid N instead."""
import ctypes
import os
import sys

CLONE_NEWUSER = 0x10000000
libc = ctypes.CDLL(None, use_errno=True)
uid = 65534
if sys.argv[1].startswith("--uid="):
    uid = int(sys.argv.pop(1)[len("--uid="):])

ready_r, ready_w = os.pipe()
mapped_r, mapped_w = os.pipe()
pid = os.fork()
if pid == 0:
    os.close(ready_r)
    os.close(mapped_w)
    if libc.unshare(CLONE_NEWUSER) != 0:
        sys.exit("unshare: errno %d" % ctypes.get_errno())
    # The pid /proc knows this process by, which differs from fork's answer when this
    # runs in a PID namespace of its own below the one /proc belongs to.
    os.write(ready_w, os.readlink("/proc/self").encode())
    os.read(mapped_r, 1)
    with open("/proc/sys/user/max_user_namespaces", "w") as f:
        f.write("0")
    os.setgroups([])
    os.setresgid(uid, uid, uid)
    os.setresuid(uid, uid, uid)
    # After the uid change, which clears it: the program ends with the harness's process.
    PR_SET_PDEATHSIG = 1
    libc.prctl(PR_SET_PDEATHSIG, 9, 0, 0, 0)
    os.execv(sys.argv[1], sys.argv[1:])
os.close(ready_w)
os.close(mapped_r)
proc_pid = int(os.read(ready_r, 32))
for name in ("uid_map", "gid_map"):
    with open("/proc/%d/%s" % (proc_pid, name), "w") as f:
        f.write("0 0 1\n%d %d 1\n" % (uid, uid))
os.write(mapped_w, b"1")
# Stays as the parent, so the harness's process ends with the program.
_, status = os.waitpid(pid, 0)
sys.exit(os.waitstatus_to_exitcode(status))
