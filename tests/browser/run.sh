#!/bin/sh
# Runs every tests/browser/*.test.mjs with node's test runner inside a private mount and
# network namespace of its own: the servers, the Node client and Chromium see only
# loopback and the interfaces the tests create, and every mount ends with the namespace.
# Needs root, the built programs (CINDERVOX_BUILD, default build) and tests/install_deps.sh.
# Arguments, if any, name the test files to run.
set -e
self=$(readlink -f "$0")
cd "$(dirname "$self")"

# Interfaces of this network namespace other than loopback and the tests' own (cvx*).
foreign_interfaces() {
    awk -F: 'NR > 2 { gsub(/ /, "", $1); if ($1 != "lo" && $1 !~ /^cvx/) print $1 }' /proc/self/net/dev
}

if [ "${CINDERVOX_BROWSER_NS:-}" != 1 ] || [ -n "$(foreign_interfaces)" ]; then
    CINDERVOX_BROWSER_NS=1 exec unshare --mount --net --propagation private "$self" "$@"
fi

ip link set lo up
if [ ! -d node_modules/playwright-core ] || [ ! -x /usr/bin/chromium ]; then
    echo "browser tests: run tests/install_deps.sh first" >&2
    exit 1
fi
mkdir -p artifacts
if [ "$#" -eq 0 ]; then
    set -- ./*.test.mjs
fi
exec node --test --test-concurrency=1 "$@"
