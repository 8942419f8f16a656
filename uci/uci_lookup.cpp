// SPDX-License-Identifier: ISC
// uci_lookup FILE SECTION OPTION: one settings lookup through the backend the
// build chose, into a 64-byte slot as the forwarder uses. Prints one line:
// "FOUND <value>", "MISSING" or "LOADFAIL".

#include <cstdio>
#include <cstring>

#include "uci/uci_reader.h"

static constexpr std::size_t SLOT_SIZE = 64;

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s FILE SECTION OPTION   (backend: %s)\n", argc > 0 ? argv[0] : "uci_lookup",
                     cfg_backend_name());
        return 2;
    }
    // The slot starts out holding the option name and is passed as the name,
    // as the forwarder's slots are; a name too long for it is passed as is.
    char slot[SLOT_SIZE] = {};
    const char *option = argv[3];
    std::size_t len = std::strlen(option);
    if (len < sizeof(slot)) {
        std::memcpy(slot, option, len);
        option = slot;
    }

    switch (cfg_find_option(argv[1], argv[2], option, slot, sizeof(slot))) {
    case cfg_result::found:
        std::fputs("FOUND ", stdout);
        std::fwrite(slot, 1, std::strlen(slot), stdout);
        std::fputc('\n', stdout);
        break;
    case cfg_result::missing:
        std::puts("MISSING");
        break;
    case cfg_result::load_failed:
        std::puts("LOADFAIL");
        break;
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
