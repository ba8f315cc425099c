#!/bin/sh
# Exec benchmark: builds the server and the probe, then prints the round trip of
# POST /api/exec in basic and kernel isolation next to the bare spawn cost of the same
# rounds (and bubblewrap's, when installed). Needs root (kernel isolation, namespaces).
# EXEC_BENCH_ROUNDS sets the rounds per row (paced at 15 per second).
set -e
cd "$(dirname "$0")/.."
BUILD=${CINDERVOX_BUILD:-build}
export CINDERVOX_BUILD="$BUILD"
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD" --target sandbox-server
mkdir -p "$BUILD/bench"
g++ -O2 -pthread -o "$BUILD/bench/exec_bench" bench/exec_bench.cpp
if ! command -v bwrap >/dev/null 2>&1 && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y bubblewrap >/dev/null 2>&1 || true
fi
python3 bench/exec_bench.py
