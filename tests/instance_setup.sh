#!/bin/sh
# Runs inside a fresh mount (and usually network) namespace made by unshare, as root, and
# ends by starting the program under test. Shared by the black-box and browser harnesses.
#   T        the instance directory (etc, log, terox, tmp, bin, ov/...)
#   PROGRAM  the binary's name under $T/bin
#   LAUNCH   words put before the program (setpriv ... for an unprivileged start)
#   ADDR     if set, wait for the veth end cvx0 the test moves in and give it ADDR/24
#   EXTRA    shell lines run just before the program starts
#   RUN_DIR  the directory bound on /run (default $T/run); instances given the same one
#            share it, as servers on one host share /run/cindervox
# The instance directory is first bound on /mnt, so it stays reachable (and writes reach
# the host's copy) after /tmp, /etc and /var are covered; /etc and /var are overlaid with
# the instance's upper directories, so the host's files are never touched.
set -e
mount --make-rprivate /
mount --bind "$T" /mnt
RUN_DIR=${RUN_DIR:-$T/run}
mkdir -p "$RUN_DIR"
mount --bind "$RUN_DIR" /run
for d in etc var; do
  mount -t overlay overlay -o "lowerdir=/$d,upperdir=/mnt/ov/$d-up,workdir=/mnt/ov/$d-work" "/$d"
done
mkdir -p /etc/cindervox /var/log/cindervox /var/terox
mount --bind /mnt/etc /etc/cindervox
mount --bind /mnt/log /var/log/cindervox
mount --bind /mnt/terox /var/terox
mount --bind /mnt/tmp /tmp
ip link set lo up
if [ -n "${ADDR:-}" ]; then
  n=0
  until ip link show cvx0 >/dev/null 2>&1; do
    n=$((n + 1)); [ "$n" -lt 1000 ] || { echo "no veth arrived" >&2; exit 1; }
    sleep 0.01
  done
  ip addr add "$ADDR/24" dev cvx0
  ip link set cvx0 up
fi
eval "${EXTRA:-}"
# LAUNCH is split into words on purpose.
exec ${LAUNCH:-} /mnt/bin/"$PROGRAM" "$@"
