#!/bin/sh
# Benchmarks (not tests). Builds the programs and the bench tools, then reports sizes,
# round trips against the floor server, and memory. BENCH_ROUNDS sets the paced rounds.
set -e
cd "$(dirname "$0")/.."
BUILD=${CINDERVOX_BUILD:-build}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD"
mkdir -p "$BUILD/bench"
g++ -O2 -o "$BUILD/bench/floor_server" bench/floor_server.cpp
g++ -O2 -o "$BUILD/bench/http_probe" bench/http_probe.cpp
python3 bench/bench_server.py
python3 bench/concurrency_bench.py
python3 bench/flood_fairness_bench.py
python3 bench/stream_bench.py
python3 bench/first_run_bench.py
if [ -x bench/exec_bench.sh ]; then
    bench/exec_bench.sh
fi
