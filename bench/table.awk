# SPDX-License-Identifier: ISC
# Turns the benchmark's raw figures (scripts/bench.sh: results.txt) into the
# printed table, with each budget marked PASS or FAIL.
#   awk -v commit=ID -v compiler=VERSION -v runs=N -v machine=TEXT \
#       -f bench/table.awk results.txt
#
# Input lines:
#   size ARCH BACKEND PROGRAM TEXT DATA BSS STRIPPED NEEDED,...   (ARCH host or router)
#   nouci router tarnwick TEXT UCI_TEXT   (the router's tarnwick without uci/)
#   run NAME instructions|peak_rss_kib JOB VALUE     (VALUE "-" when failed)
#   run NAME push_us|dldata_us MEDIAN P95 RUNS
#   where CATEGORY NAME INSTRUCTIONS

$1 == "size" {
    key = $2 " " $3 " " $4
    rows[++nrows] = key
    text[key] = $5; data[key] = $6; bss[key] = $7; stripped[key] = $8; needed[key] = $9
}
$1 == "nouci" { nouci_text = $4; nouci_uci = $5 }
$1 == "run" && ($3 == "instructions" || $3 == "peak_rss_kib") { fig[$2, $3, $4] = $5 }
$1 == "run" && ($3 == "push_us" || $3 == "dldata_us") {
    fig[$2, $3, "median"] = $4; fig[$2, $3, "p95"] = $5
}
$1 == "where" { where[$2, $3] = $4 }

function verdict(ok, what) {
    checked++
    if (ok)
        return "PASS"
    failed_list = failed_list (failed_list == "" ? "" : "; ") what
    return "FAIL"
}

function known(v) { return v != "" && v != "-" }

function ratio(a, floor) {
    if (!known(a) || !known(floor) || floor + 0 == 0)
        return "-"
    return sprintf("%.2f", a / floor)
}

# True when every needed library is the C library, or (for tarnwick with
# libuci) libuci and the libubox it brings.
function libs_ok(list, may_uci,    n, i, libs) {
    if (list == "-")
        return 1
    n = split(list, libs, ",")
    for (i = 1; i <= n; i++) {
        if (libs[i] ~ /^libc\.so/)
            continue
        if (may_uci && libs[i] ~ /^lib(uci|ubox)\.so/)
            continue
        return 0
    }
    return 1
}

function size_row(key,    parts, arch, backend, prog, budget) {
    split(key, parts, " ")
    arch = parts[1]; backend = parts[2]; prog = parts[3]
    budget = ""
    if (prog != "floor")
        budget = "libs " verdict(libs_ok(needed[key], prog == "tarnwick" && backend == "libuci"),
                                 key " needs " needed[key])
    printf "%-6s %-8s %-9s %7d %6d %6d %9d  %-34s %s\n", arch, backend, prog, text[key],
           data[key], bss[key], stripped[key], needed[key], budget
}

# One budget of the router build: what, bytes, limit.
function router_row(what, bytes, limit) {
    printf "%-46s %7s  <= %5d %s\n", what, bytes == "" ? "-" : bytes, limit,
           verdict(bytes != "" && bytes + 0 <= limit, what " " bytes " > " limit)
}

function run_row(label, what, job, limit,    f, b, u, r, budget) {
    f = fig["floor", what, job]; b = fig["builtin", what, job]; u = fig["libuci", what, job]
    r = ratio(b, f)
    budget = sprintf("<= %.2f %s", limit, verdict(r != "-" && r + 0 <= limit,
                     "builtin " what " " job " " r " x floor > " limit))
    printf "%-14s %10s %10s %7s  %-14s %10s %7s\n", label, f, b, r, budget, u, ratio(u, f)
}

function latency_row(label, what, limit,    f, b, u, r, budget) {
    r = ratio(fig["builtin", what, "median"], fig["floor", what, "median"])
    budget = "(none)"
    if (limit)
        budget = sprintf("<= %.2f %s", limit, verdict(r != "-" && r + 0 <= limit,
                         "builtin " what " median " r " x floor > " limit))
    f = fig["floor", what, "median"] " / " fig["floor", what, "p95"]
    b = fig["builtin", what, "median"] " / " fig["builtin", what, "p95"]
    u = fig["libuci", what, "median"] " / " fig["libuci", what, "p95"]
    printf "%-20s %13s %13s %7s  %-14s %13s %7s\n", label, f, b, r, budget, u,
           ratio(fig["libuci", what, "median"], fig["floor", what, "median"])
}

function where_row(label, cat) {
    printf "%-28s %10s %10s %10s\n", label, where[cat, "floor"], where[cat, "builtin"],
           where[cat, "libuci"]
}

END {
    printf "tarnwick benchmark: %s, gcc %s, MinSizeRel (-Os)\n", commit, compiler
    printf "runs on: %s\n\n", machine

    print "The router build (big-endian MIPS 24Kc, soft float, musl, OpenWrt's ath79 flags): text bytes"
    router_row("udpsink", text["router builtin udpsink"], 3072)
    router_row("tarnwick without the built-in reader (all but uci/)", nouci_text, 12288)
    router_row("tarnwick with the built-in reader", text["router builtin tarnwick"], 24576)
    if (nouci_uci != "")
        printf "(uci/ of the built-in build: %d bytes)\n", nouci_uci
    print ""
    print "Size in bytes (size -B; stripped: the file after strip)"
    printf "%-6s %-8s %-9s %7s %6s %6s %9s  %-34s %s\n", "arch", "uci", "program", "text", "data",
           "bss", "stripped", "needed libraries", "budget"
    for (i = 1; i <= nrows; i++)
        size_row(rows[i])

    print ""
    print "One run on x86_64: instructions of the whole process, dynamic loader included (callgrind)"
    printf "%-14s %10s %10s %7s  %-14s %10s %7s\n", "job", "floor", "builtin", "x floor", "budget",
           "libuci", "x floor"
    run_row("stat", "instructions", "stat", 1.3)
    run_row("uplink 0x41", "instructions", "uplink", 1.3)
    run_row("usage line", "instructions", "usage", 1.3)
    print ""
    print "Peak resident memory, KiB (VmHWM of the program's own process image)"
    run_row("stat", "peak_rss_kib", "stat", 1.2)
    run_row("uplink 0x41", "peak_rss_kib", "uplink", 1.2)
    run_row("usage line", "peak_rss_kib", "usage", 1.2)

    print ""
    printf "Latency over %d runs, microseconds: median / 95th percentile\n", runs
    printf "%-20s %13s %13s %7s  %-14s %13s %7s\n", "", "floor", "builtin", "x floor", "budget",
           "libuci", "x floor"
    latency_row("exec -> PUSH_DATA", "push_us", 1.1)
    latency_row("PULL_RESP -> dldata", "dldata_us", 0)

    print ""
    print "Where one uplink run's instructions go (callgrind, inclusive)"
    printf "%-28s %10s %10s %10s\n", "", "floor", "builtin", "libuci"
    where_row("dynamic loader, before main", "loader")
    where_row("main", "main")
    where_row("  reading the settings", "config")
    where_row("  getaddrinfo", "getaddrinfo")
    where_row("  syslog (listening line)", "syslog")
    where_row("  the job", "job")
    where_row("exit", "exit")

    print ""
    if (failed_list == "")
        printf "Budgets: all %d met\n", checked
    else
        printf "Budgets: %d of %d met; missed: %s\n", checked - split(failed_list, tmp, "; "), checked,
               failed_list
}
