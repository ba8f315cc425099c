#!/bin/sh
# Checks what building the two programs needs: a C++20 compiler, CMake 3.20 or newer, Ninja
# and Python 3 (the build embeds the pages with a script). As root on a system with apt-get
# it installs what is missing; otherwise it names the one command that installs it and fails.
# The unit tests' GoogleTest is not needed here: make test installs it.
set -e

missing=""
cxx=${CXX:-c++}
if ! command -v "$cxx" >/dev/null 2>&1 ||
   ! printf 'consteval int f() { return 1; }\nint main() { return f() - 1; }\n' |
       "$cxx" -std=c++20 -fsyntax-only -x c++ - >/dev/null 2>&1; then
    missing="$missing g++"
fi
cmake_ok=no
if command -v cmake >/dev/null 2>&1; then
    version=$(cmake --version | sed -n 's/^cmake version \([0-9]*\)\.\([0-9]*\).*/\1 \2/p')
    set -- $version
    if [ -n "$1" ] && { [ "$1" -gt 3 ] || { [ "$1" -eq 3 ] && [ "$2" -ge 20 ]; }; }; then
        cmake_ok=yes
    fi
fi
[ "$cmake_ok" = yes ] || missing="$missing cmake"
command -v ninja >/dev/null 2>&1 || missing="$missing ninja-build"
command -v python3 >/dev/null 2>&1 || missing="$missing python3"

[ -z "$missing" ] && exit 0

if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "build_deps: installing$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y --no-install-recommends $missing
    exit 0
fi
echo "build_deps: the build needs$missing; install with:" >&2
echo "    sudo apt-get install$missing" >&2
exit 1
