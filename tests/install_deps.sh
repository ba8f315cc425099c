#!/bin/sh
# Installs what the tests need: Debian's Chromium and playwright-core from npm for the
# browser tests, clang's fuzzer runtime for the fuzz run, HAProxy for the scale-out test
# and systemd's tools for checking the service units.
# Safe to run again; each step is skipped when its result is already in place. The
# browser always comes from apt; playwright never downloads one of its own.
set -e
cd "$(dirname "$0")"

missing=""
[ -x /usr/bin/chromium ] || missing="$missing chromium"
ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 \
    || missing="$missing clang libclang-rt-14-dev"
[ -x /usr/sbin/haproxy ] || missing="$missing haproxy"
[ -x /usr/bin/systemd-analyze ] || missing="$missing systemd"
if [ -n "$missing" ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y --no-install-recommends $missing
fi

if [ ! -d browser/node_modules/playwright-core ]; then
    cd browser
    export PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1
    if [ -f package-lock.json ]; then
        npm ci --no-audit --no-fund
    else
        npm install --no-audit --no-fund
    fi
fi

# The MCP SDK and conformance suite that drive /mcp (the step above may have changed
# directory, so this one names its own).
mcp=$(dirname "$(readlink -f "$0")")/mcp
if [ ! -d "$mcp/node_modules/@modelcontextprotocol/conformance" ]; then
    (cd "$mcp" && npm ci --no-audit --no-fund)
fi
