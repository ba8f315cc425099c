#!/bin/sh
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer, UBSan) against the
# server's own sources, compiled hosted, and runs each one for a bounded time starting
# from the seeds under fuzz/seeds/<target>. New inputs go to fuzz/corpus-<target>.
#   FUZZ_SECONDS  seconds per target (default 20)
#   FUZZ_JOBS     parallel compile jobs (default: number of processors)
# Exits non-zero as soon as a target finds a crash or a broken check.
set -eu
cd "$(dirname "$0")/.."

seconds="${FUZZ_SECONDS:-20}"
jobs="${FUZZ_JOBS:-$(nproc)}"
cxx="${FUZZ_CXX:-clang++}"
out=fuzz/out
flags="-std=gnu++20 -g -O1 -fno-omit-frame-pointer -I. -fsanitize=address,undefined -fno-sanitize-recover=all"

if ! command -v "$cxx" >/dev/null 2>&1; then
    echo "fuzz: $cxx not found (install clang and libclang-rt-14-dev)" >&2
    exit 1
fi

rm -rf "$out/obj"
mkdir -p "$out/obj"
# The library objects are instrumented for coverage but carry no fuzzer main; the
# freestanding entry point stays out, the C library provides memcpy and friends.
ls runtime/*.cpp core/*.cpp policy/*.cpp agents/*.cpp exec/*.cpp admin/*.cpp server/*.cpp | grep -v '^runtime/start\.cpp$' |
    xargs -P "$jobs" -I{} sh -c \
        'obj="$1/obj/$(echo "$2" | tr / _).o"; exec '"$cxx $flags"' -fsanitize=fuzzer-no-link -c "$2" -o "$obj"' \
        sh "$out" {}
rm -f "$out/libserver_fuzz.a"
ar rcs "$out/libserver_fuzz.a" "$out"/obj/*.o

for source in fuzz/fuzz_*.cpp; do
    name=$(basename "$source" .cpp)
    $cxx $flags -fsanitize=fuzzer "$source" "$out/libserver_fuzz.a" -o "$out/$name"
done

for source in fuzz/fuzz_*.cpp; do
    name=$(basename "$source" .cpp)
    target=${name#fuzz_}
    mkdir -p "fuzz/corpus-$target"
    echo "fuzz: $target for ${seconds}s"
    "$out/$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$out/$target-" "fuzz/corpus-$target" "fuzz/seeds/$target"
done
echo "fuzz: all targets ran without a finding"
