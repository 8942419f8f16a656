#!/bin/sh
# The test suite on big-endian MIPS, the byte order of most routers this runs
# on: builds with Debian's mips-linux-gnu cross compiler and runs under
# qemu-mips (user-mode emulation):
#
#   scripts/mips.sh
#
# Builds under build/mips/ (MIPS_BUILD_DIR overrides):
#   cross    tarnwick, udpsink, uci_lookup and the unit tests (codec, packet
#            header and acknowledgement, log formatter, field scraper, UCI
#            reader) for MIPS with the built-in UCI reader, GoogleTest built
#            from Debian's sources (cmake/mips-linux-gnu.cmake). CTest runs
#            every test program under qemu-mips; the UCI conformance corpus
#            runs over its uci_lookup through a launcher.
#   libuci   libuci cross-built for MIPS (scripts/cross-libuci.sh) and
#            uci_lookup over it: the conformance corpus again.
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
conformance="$top/../shared/uci-conformance"
libuci_src="$top/../shared/third_party/libuci/src"
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
    cmake -S "$top" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel "$@" >"$dir.configure.log" 2>&1 || {
        cat "$dir.configure.log" >&2
        echo "mips: configuring $(basename "$dir") failed" >&2
        exit 1
    }
}

# A program uci_lookup starts under qemu-mips: the conformance runner wants a
# single file to execute.
launcher() { # lookup binary, launcher path
    printf '#!/bin/sh\nexec %s -L %s %s "$@"\n' "$qemu" "$sysroot" "$1" >"$2"
    chmod +x "$2"
}

conform() { # what, MIPS uci_lookup
    if [ ! -f "$conformance/run.sh" ]; then
        echo "mips: no UCI conformance corpus in $conformance: not run"
        return 0
    fi
    launcher "$2" "$out/uci_lookup-$1"
    echo "mips: UCI conformance, $1 backend"
    bash "$conformance/run.sh" -t 63 "$out/uci_lookup-$1" || fail "UCI conformance ($1)"
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
# The conformance test as registered hands the MIPS uci_lookup to bash on
# this machine; it runs below through the launcher instead.
ctest --test-dir "$cross" --output-on-failure -j 2 -E '^uci_conformance' || fail "MIPS unit tests"
conform builtin "$cross/uci/uci_lookup"

# 2. The conformance corpus over the real libuci, cross-built.
if ls "$libuci_src"/uci-*.tar.gz >/dev/null 2>&1; then
    prefix="$out/libuci-prefix"
    "$top/scripts/cross-libuci.sh" mips "$prefix" >"$out/libuci-prefix.log" 2>&1 || {
        cat "$out/libuci-prefix.log" >&2
        echo "mips: cross-building libuci failed" >&2
        exit 1
    }
    configure "$out/libuci" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DTARNWICK_UCI=libuci \
        -DCMAKE_FIND_ROOT_PATH="$prefix" -DTARNWICK_LIBUCI_PREFIX="$prefix" -DBUILD_TESTING=OFF
    cmake --build "$out/libuci" -j 2 --target uci_lookup
    conform libuci "$out/libuci/uci/uci_lookup"
else
    echo "mips: no libuci sources in $libuci_src: the libuci backend is not tested"
fi

# 3. The system tests on this machine, run against the MIPS programs.
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
