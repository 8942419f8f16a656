// SPDX-License-Identifier: ISC
// Driver for measuring the built-in UCI reader (bench/reader_cost.sh runs it
// under callgrind): one run of lookups on one file, the answers printed so
// that two builds of the reader can be compared answer for answer.
//
//   reader_cost FILE batch                the forwarder's eleven lookups in
//                                         one batch, as at the start of a run
//   reader_cost FILE one SECTION OPTION   one lookup
//   reader_cost --stack FILE ...          the same, and the deepest stack
//                                         the lookups used (painted bytes)
//
// Only the reader's entry points are worth counting: the script has callgrind
// collect inside cfg_builtin_find_path and cfg_builtin_find_path_many.

#include <cstdio>
#include <cstring>

#include "uci/builtin_reader.h"

namespace {

constexpr std::size_t SLOT = 64;
constexpr std::size_t PAINTED = 64 * 1024;
constexpr unsigned char PAINT = 0x5c;

struct forwarder_lookup {
    const char *section;
    const char *option;
};

constexpr forwarder_lookup FORWARDER[] = {
    {"general", "server"}, {"general", "port"}, {"general", "mail"},       {"general", "gateway_id"},
    {"general", "lati"},   {"general", "long"}, {"general", "pfwd_debug"}, {"radio", "SF"},
    {"radio", "coderate"}, {"radio", "BW"},     {"radio", "rx_frequency"},
};
constexpr std::size_t N_FORWARDER = sizeof(FORWARDER) / sizeof(FORWARDER[0]);

// Stack below the caller's frame, painted before the lookups and read after
// them: the deepest byte changed tells how much stack they used.
[[gnu::noinline]] void paint_stack()
{
    volatile unsigned char area[PAINTED];
    for (std::size_t i = 0; i < PAINTED; i++)
        area[i] = PAINT;
}

[[gnu::noinline]] std::size_t used_stack()
{
    volatile unsigned char area[PAINTED];
    std::size_t i = 0;
    while (i < PAINTED && area[i] == PAINT)
        i++;
    return PAINTED - i;
}

void print(const char *section, const char *option, cfg_result r, const char *value)
{
    const char *what = r == cfg_result::found ? "FOUND" : r == cfg_result::missing ? "MISSING" : "LOADFAIL";
    std::printf("%s.%s %s%s%s\n", section, option, what, r == cfg_result::found ? " " : "",
                r == cfg_result::found ? value : "");
}

int usage()
{
    std::fprintf(stderr, "usage: reader_cost [--stack] FILE batch | FILE one SECTION OPTION\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    bool stack = argc > 1 && std::strcmp(argv[1], "--stack") == 0;
    if (stack) {
        argv++;
        argc--;
    }
    if (argc < 3)
        return usage();
    const char *path = argv[1];
    cfg_builtin_tuning tuning{};
    std::size_t used = 0;

    if (std::strcmp(argv[2], "batch") == 0 && argc == 3) {
        char values[N_FORWARDER][SLOT];
        cfg_query queries[N_FORWARDER];
        for (std::size_t i = 0; i < N_FORWARDER; i++) {
            // each option named by its own slot, as the forwarder does
            std::snprintf(values[i], SLOT, "%s", FORWARDER[i].option);
            queries[i] = {FORWARDER[i].section, values[i], values[i], SLOT, cfg_result::load_failed};
        }
        if (stack)
            paint_stack();
        cfg_builtin_find_path_many(path, queries, N_FORWARDER, &tuning);
        if (stack)
            used = used_stack();
        for (std::size_t i = 0; i < N_FORWARDER; i++)
            print(FORWARDER[i].section, FORWARDER[i].option, queries[i].result, values[i]);
    } else if (std::strcmp(argv[2], "one") == 0 && argc == 5) {
        char value[SLOT];
        if (stack)
            paint_stack();
        cfg_result r = cfg_builtin_find_path(path, argv[3], argv[4], value, SLOT, &tuning);
        if (stack)
            used = used_stack();
        print(argv[3], argv[4], r, value);
    } else {
        return usage();
    }
    std::printf("passes %u%s\n", tuning.passes, tuning.undecided ? " undecided" : "");
    if (stack)
        std::printf("stack %zu\n", used);
    return 0;
}
