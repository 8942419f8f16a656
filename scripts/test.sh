#!/bin/sh
# Builds tarnwick and udpsink and runs every test: once with g++ and the
# built-in UCI reader, once with clang and the real libuci (where the
# prebuilt copy beside this checkout is present).
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/deps.sh"

jobs=$(nproc 2>/dev/null || echo 2)
libuci="$top/../shared/third_party/libuci"

run() { # build-dir, cmake options...
    dir=$1
    shift
    cmake -S "$top" -B "$dir" -G Ninja "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
    # The downlink tests sleep through five-second pulls: run them side by side.
    ctest --test-dir "$dir" --output-on-failure -j 8
}

CC=gcc CXX=g++ run "$top/build/gcc-builtin" -DTARNWICK_UCI=builtin
if [ -f "$libuci/include/uci.h" ]; then
    CC=clang CXX=clang++ run "$top/build/clang-libuci" -DTARNWICK_UCI=libuci \
        -DTARNWICK_LIBUCI_PREFIX="$libuci"
else
    echo "no libuci at $libuci: the libuci backend is not tested"
fi
