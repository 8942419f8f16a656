#!/bin/sh
# SPDX-License-Identifier: ISC
# The test suite against what a router runs: tarnwick and udpsink built as
# an OpenWrt package for ath79 builds them (big-endian MIPS 24Kc, soft float,
# musl, OpenWrt's flags; cmake/router-mips-musl.cmake), run under qemu-mips
# (user-mode emulation):
#
#   scripts/router.sh
#
# The toolchain comes from scripts/router-toolchain.sh (Debian's packages
# only; cached under build/router-toolchain). Builds under build/router/
# (ROUTER_BUILD_DIR overrides):
#   cross    tarnwick, udpsink, the lookup CLI and the unit tests for the
#            router, with the built-in UCI reader and GoogleTest built from
#            Debian's sources. CTest runs the unit tests, the UCI
#            conformance corpus over the lookup CLI, and the checks of the
#            programs (no library but musl's libc.so, no soft-float code of
#            libgcc) under qemu-mips.
#   host     the test rig and the system tests for this machine, pointed at
#            the router's tarnwick and udpsink, which every run starts
#            through qemu-mips (TARNWICK_TEST_WRAPPER). A test program that
#            itself runs under qemu-user could neither start a MIPS program
#            nor enter a user namespace.
#
# Installs what it needs with apt-get where missing (as root or with sudo).
# The system tests need root or unprivileged user namespaces, as in
# scripts/test.sh; their traffic stays on loopback. Exits non-zero when a
# build or any test fails.
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
out=${ROUTER_BUILD_DIR:-$top/build/router}

"$top/scripts/deps.sh" qemu-user googletest
"$top/scripts/router-toolchain.sh" --test-runtime

mkdir -p "$out"
out=$(cd "$out" && pwd)
toolchain="$top/cmake/router-mips-musl.cmake"
root=${ROUTER_TOOLCHAIN_DIR:-$top/build/router-toolchain}/root
qemu=$(command -v qemu-mips)
# qemu-user starts in a few tens of milliseconds, but the programs then run
# several times slower than on this machine.
scale=4

failed=""
fail() { # what
    echo "router: FAILED: $1" >&2
    failed="$failed
  $1"
}

configure() { # build-dir, cmake options...
    dir=$1
    shift
    cmake -S "$top" -B "$dir" -G Ninja -DTARNWICK_WERROR=ON "$@" >"$dir.configure.log" 2>&1 || {
        cat "$dir.configure.log" >&2
        echo "router: configuring $(basename "$dir") failed" >&2
        exit 1
    }
}

# 1. Programs and unit tests for the router, run under qemu-mips.
cross="$out/cross"
configure "$cross" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DTARNWICK_UCI=builtin
grep -q "^ROUTER_QEMU:FILEPATH=/" "$cross/CMakeCache.txt" || {
    echo "router: the cross build found no qemu-mips" >&2
    exit 1
}
cmake --build "$cross" -j 2
ctest --test-dir "$cross" --output-on-failure -j 2 || fail "router unit tests, UCI conformance and program checks"

# 2. The system tests on this machine, run against the router's programs.
host="$out/host"
configure "$host" -DTARNWICK_UCI=builtin \
    -DTARNWICK_TEST_TARNWICK_BIN="$cross/forwarder/tarnwick" \
    -DTARNWICK_TEST_UDPSINK_BIN="$cross/tools/udpsink/udpsink"
cmake --build "$host" -j 2
# Left out: the rig's own tests (no program under test in them; the launcher
# test puts a launcher of its own in front of tarnwick), and the one test
# that starts tarnwick through prlimit, which bypasses the launcher.
TARNWICK_TEST_WRAPPER="$qemu -L $root -0 {argv0}" TARNWICK_TEST_TIME_SCALE=$scale \
    ctest --test-dir "$host" --output-on-failure -j 8 -L system \
    -E '^(Rig|Launcher)\.|^Pull\.NoSocketForThePullEndsTheRun$' || fail "system tests against the router's programs"

if [ -n "$failed" ]; then
    echo "router: failed:$failed" >&2
    exit 1
fi
echo "router: every test passed"
