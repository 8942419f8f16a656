#!/bin/sh
# SPDX-License-Identifier: ISC
# Hardening checks, each in a build of its own under build/:
#   1. build/asan      every test, built and run with AddressSanitizer and
#                      UndefinedBehaviorSanitizer (g++);
#   2. build/valgrind  the system tests with every tarnwick run under
#                      valgrind memcheck: no error and no lost block in any run;
#   3. build/fuzz      the libFuzzer targets (clang, ASan + UBSan): each seed
#                      corpus once, then each target for a bounded time.
#
#   scripts/hardening.sh [asan] [valgrind] [fuzz]     (all three by default)
#
# TARNWICK_FUZZ_SECONDS sets the time per fuzz target (default 60);
# TARNWICK_BUILD_ROOT the folder of the builds (default build/). A fuzz
# finding stops the script: the input is kept in build/fuzz/findings/TARGET/;
# once fixed, it belongs in tests/fuzz/corpus/TARGET/ as a regression case.
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
builds=${TARNWICK_BUILD_ROOT:-$top/build}
jobs=$(nproc 2>/dev/null || echo 2)
fuzz_seconds=${TARNWICK_FUZZ_SECONDS:-60}
steps=${*:-asan valgrind fuzz}

# What the hardening runs need beyond the ordinary build: valgrind, and
# libFuzzer with the sanitizer runtimes for clang.
"$top/scripts/deps.sh" valgrind clang libclang-rt-14-dev

configure() { # build-dir, cmake options...
    dir=$1
    shift
    cmake -S "$top" -B "$dir" -G Ninja -DTARNWICK_UCI=builtin -DTARNWICK_WERROR=ON "$@" >/dev/null
}

run_asan() {
    dir="$builds/asan"
    echo "== ASan + UBSan: the whole test suite"
    CC=gcc CXX=g++ configure "$dir" -DTARNWICK_SANITIZE=ON
    cmake --build "$dir" -j "$jobs"
    # Exit codes of their own, so that a report never passes for the
    # status 1 a test expects; the rig also fails a run whose standard
    # error carries a report.
    ASAN_OPTIONS=exitcode=86:detect_leaks=1:abort_on_error=0 \
    UBSAN_OPTIONS=exitcode=87:halt_on_error=1:print_stacktrace=1 \
        ctest --test-dir "$dir" --output-on-failure -j 8
}

# Left out under memcheck: the storm of SIGKILLs (its runs are killed
# before memcheck can sum up, and its moments mean nothing at valgrind's
# pace; the normal, ASan and router runs keep it).
valgrind_left_out='^Hostile\.KilledPullsLeaveNothingBehindTheNextRun$'

run_valgrind() {
    dir="$builds/valgrind"
    logs="$dir/memcheck"
    echo "== valgrind memcheck: the system tests"
    CC=gcc CXX=g++ configure "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build "$dir" -j "$jobs"
    rm -rf "$logs"
    mkdir -p "$logs"
    chmod 1777 "$logs" # runs as another user write here too
    # Every lost block is an error (definite, indirect, possible); blocks
    # still reachable at exit through a live pointer are not leaks.
    TARNWICK_TEST_WRAPPER="valgrind --error-exitcode=97 --leak-check=full --show-leak-kinds=all \
--errors-for-leak-kinds=definite,indirect,possible --track-fds=no --log-file=$logs/%p.log" \
    TARNWICK_TEST_TIME_SCALE=4 \
        ctest --test-dir "$dir" --output-on-failure -j 8 -L system -E "$valgrind_left_out"

    runs=$(find "$logs" -name '*.log' | wc -l)
    if [ "$runs" -eq 0 ]; then
        echo "valgrind: no run was under memcheck"
        return 1
    fi
    # tarnwick ends by itself: each of its runs must close with a clean
    # summary. udpsink only ends when a test stops it with a signal, before
    # memcheck can sum up: its logs must just carry no error report.
    tarnwick_logs=$(grep -lE "Command: [^ ]*/tarnwick( |$)" "$logs"/*.log || true)
    other_logs=$(grep -LE "Command: [^ ]*/tarnwick( |$)" "$logs"/*.log || true)
    bad=""
    if [ -n "$tarnwick_logs" ]; then
        # shellcheck disable=SC2086
        bad=$(grep -L "ERROR SUMMARY: 0 errors" $tarnwick_logs || true)
    fi
    if [ -n "$other_logs" ]; then
        # shellcheck disable=SC2086
        bad="$bad $(grep -lE "Invalid (read|write|free)|uninitialised|Mismatched free|overlap|definitely lost: [1-9]" \
            $other_logs || true)"
    fi
    bad=$(echo $bad)
    if [ -n "$bad" ]; then
        echo "valgrind: errors, leaks or an unfinished run in:"
        for f in $bad; do
            echo "--- $f"
            cat "$f"
        done
        return 1
    fi
    reachable=$(grep -l "still reachable: [1-9]" "$logs"/*.log | wc -l)
    echo "valgrind: $(echo "$tarnwick_logs" | wc -w) runs of tarnwick, 0 errors, 0 bytes lost;" \
         "$reachable with blocks still reachable at exit; $(echo "$other_logs" | wc -w) runs of udpsink without an error report"
}

# Per target: the functions under test, for the coverage figure.
scope() {
    case $1 in
    uci_reader_fuzz) echo 'uci/builtin_(syntax|package|passes|reader)\.cpp' ;;
    base64_fuzz) echo 'codec/base64\.cpp' ;;
    scrape_json_fuzz) echo ' scrape_json_field\(' ;;
    downlink_reply_fuzz) echo ' (take_downlink_reply|scrape_json_field|decode_nopad_core|strip_padding|b64_decode_checked|sextet_of)\(' ;;
    judge_ack_fuzz) echo ' judge_ack\(' ;;
    esac
}

# Per target: the largest input worth trying.
max_len() {
    case $1 in
    downlink_reply_fuzz) echo 8300 ;; # up to four replies of 2047 bytes
    uci_reader_fuzz) echo 16384 ;;
    *) echo 4096 ;;
    esac
}

# One target for the bounded time; its summary line goes to work/T.summary.
fuzz_one() { # build-dir, target
    dir=$1
    t=$2
    work="$dir/fuzzing/$t"
    found="$dir/findings/$t"
    rm -rf "$work"
    mkdir -p "$work" "$found"
    cp "$top/tests/fuzz/corpus/$t/"* "$work/"
    dict=""
    [ -f "$top/tests/fuzz/$t.dict" ] && dict="-dict=$top/tests/fuzz/$t.dict"
    # shellcheck disable=SC2086
    if ! "$dir/tests/fuzz/$t" -max_total_time="$fuzz_seconds" -max_len="$(max_len "$t")" \
        -print_final_stats=1 -artifact_prefix="$found/" $dict "$work" >"$dir/fuzzing/$t.log" 2>&1; then
        tail -n 60 "$dir/fuzzing/$t.log"
        echo "fuzz: $t found a fault; the input is in $found"
        return 1
    fi
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/fuzzing/$t.log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$dir/fuzzing/$t.log")
    done_line=$(grep '[[:space:]]DONE ' "$dir/fuzzing/$t.log" | tail -n 1)
    cov=$(echo "$done_line" | sed -n 's/.* cov: \([0-9]*\).*/\1/p')
    ft=$(echo "$done_line" | sed -n 's/.* ft: \([0-9]*\).*/\1/p')
    corp=$(echo "$done_line" | sed -n 's/.* corp: \([0-9]*\)\/.*/\1/p')
    # Edges reached in the functions under test (sanitizer checks count
    # as edges too, so 100 % is out of reach).
    edges=$("$dir/tests/fuzz/$t" -runs=0 -print_coverage=1 "$work" 2>&1 |
        grep -E '^(UN)?COVERED_FUNC: ' | grep -E "$(scope "$t")" |
        sed -n 's/.* edges: \([0-9]*\)\/\([0-9]*\) .*/\1 \2/p' |
        awk '{ c += $1; a += $2 } END { if (a) printf "%d/%d", c, a; else printf "-" }')
    printf '%-20s %10s execs %7s/s  cov %4s  ft %5s  corpus %4s  edges %s\n' \
        "$t" "$execs" "$rate" "$cov" "$ft" "$corp" "$edges" >"$dir/fuzzing/$t.summary"
    echo "-- $t done"
}

run_fuzz() {
    dir="$builds/fuzz"
    echo "== libFuzzer: ASan + UBSan, $fuzz_seconds s a target"
    CC=clang CXX=clang++ configure "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DTARNWICK_SANITIZE=ON -DTARNWICK_FUZZ=ON
    targets="uci_reader_fuzz base64_fuzz scrape_json_fuzz downlink_reply_fuzz judge_ack_fuzz"
    # shellcheck disable=SC2086
    cmake --build "$dir" -j "$jobs" --target $targets
    # The seed corpora and kept findings, once each.
    ctest --test-dir "$dir" --output-on-failure -L fuzz

    # Two targets at a time (one per core of the CI machine), each for its
    # own bounded time.
    set -- $targets
    while [ $# -gt 0 ]; do
        fuzz_one "$dir" "$1" &
        first=$!
        second=
        if [ $# -gt 1 ]; then
            fuzz_one "$dir" "$2" &
            second=$!
            shift
        fi
        shift
        failed=0
        wait "$first" || failed=1
        if [ -n "$second" ]; then
            wait "$second" || failed=1
        fi
        [ "$failed" -eq 0 ] || return 1
    done
    summary=""
    for t in $targets; do
        summary="$summary$(cat "$dir/fuzzing/$t.summary")
"
    done
    echo "== fuzzing summary"
    printf '%s' "$summary"
}

for step in $steps; do
    case $step in
    asan) run_asan ;;
    valgrind) run_valgrind ;;
    fuzz) run_fuzz ;;
    *) echo "unknown step: $step (asan, valgrind, fuzz)"; exit 2 ;;
    esac
done
echo "hardening: all passed"
