#!/bin/sh
# SPDX-License-Identifier: ISC
# What the built-in UCI reader costs (not a test):
#
#   bench/reader_cost.sh [--no-run] [--no-size]
#
#   instructions  callgrind's count of instructions inside the reader's entry
#                 points, per case: the forwarder's batch of eleven lookups
#                 or one lookup, on a realistic configuration, on junk and on
#                 files with more sections than the section table holds;
#                 the driver (bench/reader_cost.cpp) is built at -Os for
#                 this machine. Each row also gives the passes the reader
#                 made and the stack it used.
#   MIPS text     the reader as the router program links it: compiled for
#                 big-endian MIPS at -Os with the router build's code
#                 options, kept from the three cfg_ entry points of
#                 uci/backend_builtin.cpp by a relocatable link with
#                 --gc-sections, .text and .rodata added up; and each
#                 source file's share. Once as Debian's cross compiler
#                 builds (PIE), once non-PIE with -mplt as OpenWrt does.
#
# The reader is every uci/builtin_*.cpp beside uci/backend_builtin.cpp.
# Builds in build/reader-cost/ (READER_COST_DIR overrides); installs
# valgrind and the MIPS cross compiler where missing.
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
out=${READER_COST_DIR:-$top/build/reader-cost}
run=1
size=1
for a in "$@"; do
    case $a in
    --no-run) run=0 ;;
    --no-size) size=0 ;;
    *) echo "usage: $0 [--no-run] [--no-size]" >&2; exit 2 ;;
    esac
done

"$top/scripts/deps.sh" valgrind g++-mips-linux-gnu binutils-mips-linux-gnu >&2

mkdir -p "$out/cases"
sources=$(ls "$top"/uci/builtin_*.cpp)
export LC_ALL=C

cases="$out/cases"
# Files of the cases; every loop below has a fixed count.
make_cases() {
    # the shipped configuration's settings and comments (a copy, so that
    # the figures stay comparable while the shipped file changes)
    cat >"$cases/realistic" <<'EOF'
# Settings of tarnwick, the LoRa gateway's link to its network server.
# Every run reads this file afresh: a change applies from the next frame on.
# Only the sections named 'general' and 'radio' are read; their type does
# not matter. Values longer than 63 characters are cut to 63.

config lorawan 'general'
	# The network server: a host name or an IPv4 address, and its UDP
	# port. Without them: 127.0.0.1 and 1700.
	option server '127.0.0.1'
	option port '1700'

	# The gateway's identifier (EUI), exactly 16 hexadecimal digits, as
	# registered with the network server. Required: until it is set, every
	# run ends with exit status 1.
	#option gateway_id '0016c001ff10a235'

	# Contact address and position, sent in the status record
	# (latitude and longitude in decimal degrees). Without a mail option
	# the record carries the word "mail"; an empty value counts as none.
	#option mail 'noc@example.net'
	option lati '0'
	option long '0'

	# 1 (any non-zero number) writes tarnwick's debug lines to the system
	# log; 0 writes only the "Listening at ..." line of each run and the
	# one error line of a run that fails.
	option pfwd_debug '0'

	# Seconds between status records sent by the init script
	# (/etc/init.d/tarnwick enable; start), so that the network server
	# shows the gateway online between frames. 0: none.
	option stat_interval '30'

	# Downlinks. pull_window: seconds the pull listens after an uplink,
	# 1 to 30 (5 when unset; 7 for a server whose RX1 delay is 5 s).
	# protocol: '2' answers each downlink with a TX_ACK (both The Things
	# Stack and ChirpStack want it); '1' when unset. downlink: '0' for an
	# uplink-only gateway that never pulls.
	#option pull_window '7'
	#option protocol '2'
	#option downlink '1'

config lorawan 'radio'
	# The radio's settings, as reported with each frame: spreading factor
	# (7 to 12) and the coding rate's denominator (5 for 4/5).
	option SF '7'
	option coderate '5'
	# Read but not used: frames are always reported as 125 kHz.
	option BW '125'
	# Receive frequency in Hz. Without it: 868100000.
	option rx_frequency '868100000'
EOF
    { cat "$cases/realistic"; echo "garbage line"; } >"$cases/junk-after-config"
    awk 'BEGIN { srand(7); for (i = 0; i < 65536; i++) printf "%c", int(rand() * 256) }' >"$cases/junk-random"
    # every line hidden by a leading NUL or a comment: loads, empty
    awk 'BEGIN { for (i = 0; i < 2048; i++) {
        printf "%cjunk '"'"'x \"y\n#", 0
        for (j = 0; j < 100; j++) printf "%c", 238
        printf "\n" } }' >"$cases/junk-hidden"
    awk 'BEGIN { for (i = 0; i < 60; i++)
        printf "config t%d '"'"'s%d'"'"'\n\toption server '"'"'v%d'"'"'\n", i % 3, i, i
        printf "config t0 '"'"'general'"'"'\n\toption server '"'"'found'"'"'\n" }' >"$cases/sixty-sections"
    # an anonymous section, 200 named ones, one re-opening the first by its
    # generated name, and one more anonymous section
    awk 'BEGIN { printf "config general\n\toption server first\n"
        for (i = 0; i < 200; i++) printf "config radio n%d\n", i
        printf "config general cfg01f223\n\toption port 1700\nconfig general\n\toption server second\n" }' \
        >"$cases/generated-names"
    awk 'BEGIN { for (i = 0; i < 5000; i++) printf "config radio s%d\n\toption server v%d\n", i, i
        printf "config radio s4321\n\toption port p\n" }' >"$cases/5000-sections"
}

build_driver() {
    # shellcheck disable=SC2086
    # -z now: no lazy binding of the C library's functions inside the counts
    # or on the stack
    g++ -std=c++20 -Os -fno-exceptions -fno-rtti -Wl,-z,now -I"$top" -o "$out/reader_cost" \
        "$top/bench/reader_cost.cpp" $sources
}

# case, mode, arguments...
measure() {
    name=$1
    shift
    file="$cases/$name"
    log="$out/callgrind.log"
    valgrind --tool=callgrind --callgrind-out-file=/dev/null \
        --toggle-collect='cfg_builtin_find_path(*' --toggle-collect='cfg_builtin_find_path_many(*' \
        "$out/reader_cost" "$file" "$@" >"$out/answers" 2>"$log"
    ins=$(sed -n 's/.*Collected : *\([0-9]*\).*/\1/p' "$log")
    "$out/reader_cost" --stack "$file" "$@" >"$out/answers.stack"
    passes=$(sed -n 's/^passes //p' "$out/answers" | sed 's/ undecided/u/')
    stack=$(sed -n 's/^stack //p' "$out/answers.stack")
    answers=$(grep -v -e '^passes' "$out/answers" | cksum | cut -d' ' -f1)
    printf '%-18s %-28s %12s %8s %7s %11s\n' "$name" "$*" "$ins" "$passes" "$stack" "$answers"
}

if [ $run -eq 1 ]; then
    make_cases
    build_driver
    printf '%-18s %-28s %12s %8s %7s %11s\n' case lookups instructions passes stack answers
    measure realistic batch
    measure realistic one general server
    measure junk-after-config batch
    measure junk-random batch
    measure junk-hidden batch
    measure sixty-sections batch
    measure sixty-sections one general server
    measure generated-names one cfg01f223 server
    measure generated-names batch
    measure 5000-sections batch
    measure 5000-sections one s4321 server
fi

# MIPS text of the reader: $1 extra compiler flags, $2 a folder, $3 a label
mips_text() {
    mips="$out/$2"
    rm -rf "$mips"
    mkdir -p "$mips"
    flags="-std=c++20 -Os -mips32r2 -mno-branch-likely -fno-exceptions -fno-rtti -ffunction-sections -fdata-sections $1"
    objects=""
    for s in $sources "$top/uci/backend_builtin.cpp"; do
        o="$mips/$(basename "$s" .cpp).o"
        # shellcheck disable=SC2086
        mips-linux-gnu-g++ $flags -I"$top" -c "$s" -o "$o"
        objects="$objects $o"
    done
    # what the program keeps: everything reachable from the backend
    # shellcheck disable=SC2086
    mips-linux-gnu-ld -r --gc-sections -u _Z15cfg_find_optionPKcS0_S0_Pcj \
        -u _Z16cfg_find_optionsPKcP9cfg_queryj -u _Z16cfg_backend_namev $objects -o "$mips/reader.o"
    sizes() { # object: its sections' names and sizes
        mips-linux-gnu-size -A "$1" | awk '$1 ~ /^\.(text|rodata)/ { print $1, $2 }'
    }
    sizes "$mips/reader.o" >"$mips/kept"
    total=0
    shares=""
    for o in $objects; do
        # each file's share of what the link kept
        n=$(sizes "$o" | awk 'NR == FNR { kept[$1] = $2; next } $1 in kept { n += kept[$1] } END { print n + 0 }' \
            "$mips/kept" -)
        name=$(basename "$o" .o)
        [ "$name" = backend_builtin ] || total=$((total + n))
        shares="$shares$(printf '  %-24s %6s bytes' "$name" "$n")
"
    done
    echo "MIPS text of the reader as linked${3:+ ($3)}: $total bytes, and the backend's"
    printf '%s' "$shares"
}

if [ $size -eq 1 ]; then
    # Debian's cross compiler builds PIE by default; an OpenWrt package is
    # neither PIE nor without PLT calls
    mips_text "" mips ""
    mips_text "-fno-pie -mplt" mips-nopie "non-PIE, -mplt"
fi
