#!/bin/sh
# SPDX-License-Identifier: ISC
# The test suite on big-endian MIPS, the byte order of most routers this runs
# on: builds with Debian's mips-linux-gnu cross compiler and runs under
# qemu-mips (user-mode emulation):
#
#   scripts/mips.sh
#
# Builds under build/mips/ (MIPS_BUILD_DIR overrides):
#   cross    tarnwick, udpsink, the lookup CLI and the unit tests (codec,
#            packet header and acknowledgement, log formatter, field
#            scraper, UCI reader) for MIPS with the built-in UCI reader,
#            GoogleTest built from Debian's sources (cmake/mips-linux-gnu.cmake).
#            CTest runs every test program, and the UCI conformance corpus
#            over the lookup CLI, under qemu-mips.
#   host     the test rig and the system tests for this machine, pointed at
#            the MIPS tarnwick and udpsink, which every run starts through
#            qemu-mips (TARNWICK_TEST_WRAPPER). A test program that itself
#            runs under qemu-user could neither start a MIPS program (there
#            may be no binfmt_misc) nor enter a user namespace.
#
# Installs what it needs with apt-get where missing (as root or with sudo).
# The system tests need root or unprivileged user namespaces, as in
# scripts/test.sh; their traffic stays on loopback. Exits non-zero when a
# build or any test fails.
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
out=${MIPS_BUILD_DIR:-$top/build/mips}

"$top/scripts/deps.sh" gcc-mips-linux-gnu g++-mips-linux-gnu binutils-mips-linux-gnu qemu-user googletest

mkdir -p "$out"
out=$(cd "$out" && pwd)
toolchain="$top/cmake/mips-linux-gnu.cmake"
sysroot=/usr/mips-linux-gnu
qemu=$(command -v qemu-mips)
# qemu-user starts in a few tens of milliseconds, but the programs then run
# several times slower than on this machine.
scale=4

failed=""
fail() { # what
    echo "mips: FAILED: $1" >&2
    failed="$failed
  $1"
}

configure() { # build-dir, cmake options...
    dir=$1
    shift
    cmake -S "$top" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel -DTARNWICK_WERROR=ON "$@" >"$dir.configure.log" 2>&1 || {
        cat "$dir.configure.log" >&2
        echo "mips: configuring $(basename "$dir") failed" >&2
        exit 1
    }
}

# 1. Programs and unit tests for MIPS, run under qemu-mips.
export CC=gcc CXX=g++
cross="$out/cross"
configure "$cross" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DTARNWICK_UCI=builtin
grep -q "^MIPS_QEMU:FILEPATH=/" "$cross/CMakeCache.txt" || {
    echo "mips: the cross build found no qemu-mips" >&2
    exit 1
}
cmake --build "$cross" -j 2
ctest --test-dir "$cross" --output-on-failure -j 2 || fail "MIPS unit tests and UCI conformance"

# 2. The system tests on this machine, run against the MIPS programs.
host="$out/host"
configure "$host" -DTARNWICK_UCI=builtin \
    -DTARNWICK_TEST_TARNWICK_BIN="$cross/forwarder/tarnwick" \
    -DTARNWICK_TEST_UDPSINK_BIN="$cross/tools/udpsink/udpsink"
cmake --build "$host" -j 2
# Left out: the rig's own tests (no program under test in them; the launcher
# test puts a launcher of its own in front of tarnwick), and the one test
# that starts tarnwick through prlimit, which bypasses the launcher.
TARNWICK_TEST_WRAPPER="$qemu -L $sysroot -0 {argv0}" TARNWICK_TEST_TIME_SCALE=$scale \
    ctest --test-dir "$host" --output-on-failure -j 8 -L system \
    -E '^(Rig|Launcher)\.|^Pull\.NoSocketForThePullEndsTheRun$' || fail "system tests against the MIPS programs"

if [ -n "$failed" ]; then
    echo "mips: failed:$failed" >&2
    exit 1
fi
echo "mips: every test passed"
