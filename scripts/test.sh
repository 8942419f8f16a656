#!/bin/sh
# SPDX-License-Identifier: ISC
# Builds tarnwick and udpsink and runs every test that this machine can run:
#
#   scripts/test.sh
#
# 1. g++, the built-in UCI reader: unit tests, the UCI conformance corpus,
#    the system tests.
# 2. g++ as packagers build: Release (-O3) with -D_GLIBCXX_ASSERTIONS, a
#    default of some distributions; the same tests.
# 3. clang and the libuci backend, where an installed libuci is given by
#    TARNWICK_LIBUCI_PREFIX (an OpenWrt SDK's staging directory, say): the
#    same tests plus the conformance corpus and the differential test over
#    the real libuci. Without it, clang builds the built-in reader instead.
#
# The system tests run the programs in private mount namespaces: they need
# root or unprivileged user namespaces. Where neither is available the
# script stops once with a message; `ctest --test-dir build/gcc-builtin -LE
# system` then runs everything else.
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/deps.sh"

jobs=$(nproc 2>/dev/null || echo 2)

if [ "$(id -u)" -ne 0 ] && ! unshare --user --map-root-user --mount true 2>/dev/null; then
    echo "test.sh: the system tests need root or unprivileged user namespaces" >&2
    echo "(sysctl kernel.unprivileged_userns_clone=1); without them run" >&2
    echo "  ctest --test-dir build/gcc-builtin -LE system" >&2
    exit 1
fi

run() { # build-dir, cmake options...
    dir=$1
    shift
    cmake -S "$top" -B "$dir" -G Ninja -DTARNWICK_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
    # The downlink tests sleep through five-second pulls: run them side by side.
    ctest --test-dir "$dir" --output-on-failure -j 8
}

CC=gcc CXX=g++ run "$top/build/gcc-builtin" -DTARNWICK_UCI=builtin
CC=gcc CXX=g++ run "$top/build/gcc-release" -DTARNWICK_UCI=builtin -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_FLAGS=-D_GLIBCXX_ASSERTIONS
if [ -n "${TARNWICK_LIBUCI_PREFIX:-}" ]; then
    CC=clang CXX=clang++ run "$top/build/clang-libuci" -DTARNWICK_UCI=libuci \
        -DTARNWICK_LIBUCI_PREFIX="$TARNWICK_LIBUCI_PREFIX"
else
    CC=clang CXX=clang++ run "$top/build/clang-builtin" -DTARNWICK_UCI=builtin
    echo "test.sh: TARNWICK_LIBUCI_PREFIX is not set: the libuci backend, its conformance run"
    echo "and the differential test against libuci are skipped (the built-in reader was tested)"
fi
