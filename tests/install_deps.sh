#!/bin/sh
# Installs what the browser tests need: Debian's Chromium and playwright-core from npm.
# Safe to run again; each step is skipped when its result is already in place. The
# browser always comes from apt; playwright never downloads one of its own.
set -e
cd "$(dirname "$0")"

if [ ! -x /usr/bin/chromium ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y --no-install-recommends chromium
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
