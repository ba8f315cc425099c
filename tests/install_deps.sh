#!/bin/sh
# Installs what the tests need: GoogleTest for the unit tests, Debian's Chromium and
# playwright-core from npm for the browser tests, clang's fuzzer runtime for the fuzz run,
# HAProxy for the scale-out test, systemd's tools for checking the service units, Prometheus
# (and its promtool) for the metrics test and the alert rules, and for
# the client tests the official MCP SDK, the OpenAPI linter, TypeScript and the JavaScript
# client itself (installed from clients/js as a user would).
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
[ -f /usr/include/gtest/gtest.h ] || missing="$missing libgtest-dev"
[ -x /usr/bin/prometheus ] && [ -x /usr/bin/promtool ] || missing="$missing prometheus"
if [ -n "$missing" ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y --no-install-recommends $missing
fi

# npm_install DIR MARKER: installs DIR's packages unless DIR/node_modules/MARKER exists.
npm_install() {
    [ -e "$1/node_modules/$2" ] && return 0
    if [ -f "$1/package-lock.json" ]; then
        (cd "$1" && npm ci --no-audit --no-fund)
    else
        (cd "$1" && npm install --no-audit --no-fund)
    fi
}

export PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1
npm_install browser playwright-core
npm_install clients @redocly/cli
# The MCP SDK and conformance suite that drive /mcp.
npm_install mcp @modelcontextprotocol/conformance
