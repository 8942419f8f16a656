// SPDX-License-Identifier: ISC
// The settings of one run and their lookup in /etc/config/lorawan.

#include "forwarder/settings.h"

#include <cstring>
#include <netdb.h>

#include "uci/uci_reader.h"

gw_settings_block gw_settings;
std::uint64_t gateway_eui = 0;
addrinfo *server_addrs = nullptr;

void free_server_addrs()
{
    if (server_addrs) {
        freeaddrinfo(server_addrs);
        server_addrs = nullptr;
    }
}

struct prefetched_option {
    const char *section;
    char *slot;
    bool found;
    bool served;
    // One byte more than a slot: a value that fills it was cut.
    char value[SLOT_SIZE + 1];
};

static prefetched_option prefetched[MAX_PREFETCHED];
static std::size_t prefetched_count;
static config_state prefetched_state = config_state::loaded;

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
    cfg_lock_deadline_start(CONFIG_LOCK_WAIT_MS);
    cfg_find_options(CONFIG_PATH, queries, prefetched_count);
    cfg_lock_deadline_stop();

    prefetched_state = config_state::loaded;
    for (std::size_t i = 0; i < prefetched_count; i++) {
        prefetched[i].found = queries[i].result == cfg_result::found;
        if (queries[i].result == cfg_result::load_failed)
            prefetched_state = config_state::unusable;
    }
    if (cfg_lock_wait_expired()) {
        prefetched_state = config_state::locked;
        // Whatever was read before the time ran out is not used: the run
        // sees one state of the file, and here none.
        for (std::size_t i = 0; i < prefetched_count; i++)
            prefetched[i].found = false;
    }
}

config_state prefetched_config_state()
{
    return prefetched_state;
}

static prefetched_option *prefetched_for(const char *section, const char *slot)
{
    for (std::size_t i = 0; i < prefetched_count; i++) {
        prefetched_option &p = prefetched[i];
        if (p.slot == slot && (!section || std::strcmp(p.section, section) == 0))
            return &p;
    }
    return nullptr;
}

bool prefetched_value_cut(const char *slot)
{
    const prefetched_option *p = prefetched_for(nullptr, slot);
    return p && p->found && p->value[SLOT_SIZE - 1] != '\0';
}

bool prefetched_found(const char *slot)
{
    const prefetched_option *p = prefetched_for(nullptr, slot);
    return p && p->found;
}

bool read_option(const char *section, char *slot)
{
    prefetched_option *p = prefetched_for(section, slot);
    if (p && !p->served) {
        p->served = true;
        if (!p->found)
            return false;
        std::memset(slot, 0, SLOT_SIZE);
        std::memcpy(slot, p->value, SLOT_SIZE - 1);
        return true;
    }
    // The slot's text is the option's name until a value replaces it; the
    // reader is done with the name before it writes the value.
    return cfg_find_option(CONFIG_PATH, section, slot, slot, SLOT_SIZE) == cfg_result::found;
}
