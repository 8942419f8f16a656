#!/bin/sh
# SPDX-License-Identifier: ISC
# The size and start-up benchmark of tarnwick and udpsink (not a test):
#
#   scripts/bench.sh [--runs N] [--strict]
#
# Builds both programs as a router gets them (big-endian MIPS 24Kc, soft
# float, musl, OpenWrt's flags: cmake/router-mips-musl.cmake, the toolchain
# from scripts/router-toolchain.sh) and for this host at -Os (MinSizeRel),
# with the built-in UCI reader, plus the floor program of bench/; with
# libuci too where an installed one is given (TARNWICK_LIBUCI_PREFIX for
# this host, TARNWICK_LIBUCI_ROUTER_PREFIX for the router, e.g. an OpenWrt
# SDK's staging directory; without them the libuci rows and columns say
# "-"). The router's sizes are the headline rows, with their budgets; the
# text of tarnwick without the built-in reader is read off the linker's
# map (everything but what uci/ contributes). Then it measures on this
# machine and prints one table: sizes and
# needed libraries, callgrind instructions and peak resident memory of one
# run, and latencies over N runs (default 200), each beside the floor's, with
# every budget marked PASS or FAIL. A missed budget is reported in the table;
# with --strict it also makes the exit status 1. A run that fails (so that a
# figure is missing) always does.
#
# Installs what it needs with apt-get where missing (as root or with sudo)
# and builds under build/bench/ (BENCH_BUILD_DIR overrides). The runs use
# private /etc/config, /var/iot and /dev/log (tests/support/private_paths.h),
# so it needs root or unprivileged user namespaces; traffic stays on
# 127.0.0.1.
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
out=${BENCH_BUILD_DIR:-$top/build/bench}
runs=200
strict=0
while [ $# -gt 0 ]; do
    case $1 in
    --runs) runs=$2; shift 2 ;;
    --strict) strict=1; shift ;;
    *) echo "usage: $0 [--runs N] [--strict]" >&2; exit 2 ;;
    esac
done

"$top/scripts/deps.sh" gcc binutils valgrind >&2
"$top/scripts/router-toolchain.sh" >&2

mkdir -p "$out"
out=$(cd "$out" && pwd)
log="$out/build.log"
: >"$log"
toolchain="$top/cmake/router-mips-musl.cmake"
router_tools=${ROUTER_TOOLCHAIN_DIR:-$top/build/router-toolchain}/bin/mips-linux-musl-

step() { # what, command...
    what=$1
    shift
    if ! "$@" >>"$log" 2>&1; then
        echo "bench: $what failed; see $log" >&2
        tail -n 30 "$log" >&2
        exit 1
    fi
}

libuci_host=${TARNWICK_LIBUCI_PREFIX:-}
libuci_router=${TARNWICK_LIBUCI_ROUTER_PREFIX:-}

configure() { # build-dir, cmake options...
    dir=$1
    shift
    step "configure $(basename "$dir")" cmake -S "$top" -B "$dir" -G Ninja \
        -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF -DTARNWICK_WERROR=ON "$@"
    step "build $(basename "$dir")" cmake --build "$dir" --target tarnwick udpsink -j 2
}
export CC=gcc CXX=g++
configure "$out/host-builtin" -DTARNWICK_UCI=builtin
configure "$out/router-builtin" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DTARNWICK_UCI=builtin \
    -DTARNWICK_LINK_MAP=ON
if [ -n "$libuci_host" ]; then
    configure "$out/host-libuci" -DTARNWICK_UCI=libuci -DTARNWICK_LIBUCI_PREFIX="$libuci_host"
fi
if [ -n "$libuci_router" ]; then
    configure "$out/router-libuci" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DTARNWICK_UCI=libuci \
        -DCMAKE_FIND_ROOT_PATH="$libuci_router" -DTARNWICK_LIBUCI_PREFIX="$libuci_router"
fi
step "configure bench-host" cmake -S "$top/bench" -B "$out/bench-host" -G Ninja
step "build bench-host" cmake --build "$out/bench-host" -j 2
step "configure bench-router" cmake -S "$top/bench" -B "$out/bench-router" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain"
step "build bench-router" cmake --build "$out/bench-router" -j 2

results="$out/results.txt"
: >"$results"

# size ARCH BACKEND PROGRAM TEXT DATA BSS STRIPPED NEEDED,...
sizes() { # arch, backend, binary, prefix of the binutils
    arch=$1 backend=$2 bin=$3 tools=$4
    set -- $("${tools}size" -B "$bin" | tail -n 1)
    stripped="$out/stripped.tmp"
    "${tools}strip" -o "$stripped" "$bin"
    needed=$("${tools}readelf" -d "$bin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | paste -sd, -)
    echo "size $arch $backend $(basename "$bin") $1 $2 $3 $(stat -c %s "$stripped") ${needed:--}" >>"$results"
    rm -f "$stripped"
}
for backend in builtin libuci; do
    for arch in router host; do
        [ -d "$out/$arch-$backend" ] || continue
        tools=""
        [ $arch = router ] && tools=$router_tools
        sizes $arch $backend "$out/$arch-$backend/forwarder/tarnwick" "$tools"
        sizes $arch $backend "$out/$arch-$backend/tools/udpsink/udpsink" "$tools"
    done
done
sizes host - "$out/bench-host/floor" ""
sizes router - "$out/bench-router/floor" "$router_tools"

# The router's tarnwick without the built-in reader: its text less what the
# objects of uci/ put into the text segment (the libuci package carries a
# small adapter there instead), from the linker's map.
map="$out/router-builtin/tarnwick.map"
if [ -f "$map" ]; then
    uci=$(awk '
        function hex(s,    i, n) {
            n = 0
            s = tolower(substr(s, 3))
            for (i = 1; i <= length(s); i++)
                n = n * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1
            return n
        }
        /^[^ ]/ { out = $1 }
        out !~ /^\.(text|rodata|init|fini|MIPS\.stubs)$/ { next }
        /^ \.[^ ]+ +0x[0-9a-f]+ +0x[0-9a-f]+ / { if ($4 ~ /libuci_/) n += hex($3); next }
        /^ \.[^ ]+$/ { pending = 1; next }
        pending && /^ +0x[0-9a-f]+ +0x[0-9a-f]+ / { if ($3 ~ /libuci_/) n += hex($2); pending = 0; next }
        { pending = 0 }
        END { print n + 0 }' "$map")
    text=$(sed -n 's/^size router builtin tarnwick \([0-9]*\) .*/\1/p' "$results")
    echo "nouci router tarnwick $((text - uci)) $uci" >>"$results"
fi

# The runs: callgrind, peak memory, latencies.
rm -rf "$out/run"
runs_failed=0
programs="builtin=$out/host-builtin/forwarder/tarnwick floor=$out/bench-host/floor"
[ -n "$libuci_host" ] && programs="$programs libuci=$out/host-libuci/forwarder/tarnwick"
# shellcheck disable=SC2086
if ! "$out/bench-host/bench_run" --runs "$runs" --valgrind "$(command -v valgrind)" "$out/run" \
    $programs >"$out/runs.txt" 2>"$out/runs.err"; then
    echo "bench: some runs failed:" >&2
    cat "$out/runs.err" >&2
    runs_failed=1
fi
sed 's/^/run /' "$out/runs.txt" >>"$results"

# Where the instructions of one uplink run go: inclusive counts of a few
# functions, largest entry of each name.
where() { # label, program, extended regular expression for the function
    file="$out/run/$2/callgrind.uplink"
    [ -f "$file" ] || return 0
    n=$(callgrind_annotate --inclusive=yes --threshold=100 "$file" 2>/dev/null |
        awk -v re="$3" '$1 ~ /^[0-9,]+$/ { f = $0; sub(/^ *[0-9,]+ +\([^)]*\) +/, "", f);
            if (f ~ re) { v = $1; gsub(/,/, "", v); if (v + 0 > max) max = v + 0 } }
            END { print (max > 0 ? max : "-") }')
    echo "where $1 $2 $n" >>"$results"
}
for prog in floor builtin libuci; do
    where loader $prog ':_dl_start \['
    where main $prog ':main \['
    where config $prog ':(prefetch_options\(|read_option\(|read_config )'
    where getaddrinfo $prog ':getaddrinfo \['
    where syslog $prog ':syslog \['
    where job $prog ':(forward_rxpk\(|send_stat\()'
    where exit $prog ':exit \['
done

commit=$(git -C "$top" describe --always --dirty 2>/dev/null || echo unknown)
cpu=$(sed -n 's/^model name[[:space:]]*: *//p' /proc/cpuinfo | head -n 1)
awk -v commit="$commit" -v compiler="$(gcc -dumpfullversion)" -v runs="$runs" \
    -v machine="$(uname -m), $(nproc) cores, ${cpu:-unknown CPU}" \
    -f "$top/bench/table.awk" "$results" >"$out/table.txt"
cat "$out/table.txt"
[ "$runs_failed" -eq 0 ] || exit 1
if [ "$strict" -eq 1 ] && grep -q FAIL "$out/table.txt"; then
    exit 1
fi
