// SPDX-License-Identifier: ISC
// The settings of one run and their lookup in /etc/config/lorawan.

#include "forwarder/settings.h"

#include <cstring>

#include "uci/uci_reader.h"

gw_settings_block gw_settings;
std::uint64_t gateway_eui = 0;
addrinfo *server_addrs = nullptr;

struct prefetched_option {
    const char *section;
    char *slot;
    bool found;
    bool served;
    char value[SLOT_SIZE];
};

static prefetched_option prefetched[MAX_PREFETCHED];
static std::size_t prefetched_count;

void prefetch_options(const option_lookup *lookups, std::size_t count)
{
    cfg_query queries[MAX_PREFETCHED];
    prefetched_count = count < MAX_PREFETCHED ? count : MAX_PREFETCHED;
    for (std::size_t i = 0; i < prefetched_count; i++) {
        prefetched_option &p = prefetched[i];
        p.section = lookups[i].section;
        p.slot = lookups[i].slot;
        p.served = false;
        queries[i] = {p.section, p.slot, p.value, sizeof p.value, cfg_result::missing};
    }
    cfg_find_options(CONFIG_PATH, queries, prefetched_count);
    for (std::size_t i = 0; i < prefetched_count; i++)
        prefetched[i].found = queries[i].result == cfg_result::found;
}

bool read_option(const char *section, char *slot)
{
    for (std::size_t i = 0; i < prefetched_count; i++) {
        prefetched_option &p = prefetched[i];
        if (p.slot != slot || p.served || std::strcmp(p.section, section) != 0)
            continue;
        p.served = true;
        if (!p.found)
            return false;
        std::memcpy(slot, p.value, SLOT_SIZE);
        return true;
    }
    // The slot's text is the option's name until a value replaces it; the
    // reader is done with the name before it writes the value.
    return cfg_find_option(CONFIG_PATH, section, slot, slot, SLOT_SIZE) == cfg_result::found;
}
