// SPDX-License-Identifier: ISC
#pragma once
// The settings of one run: text slots filled from /etc/config/lorawan, the
// numbers converted from them, the gateway identifier and the resolved
// server addresses. All are process-wide and live for the whole run.

#include <cstddef>
#include <cstdint>

struct addrinfo;

inline constexpr std::size_t SLOT_SIZE = 64;
inline constexpr const char *CONFIG_PATH = "/etc/config/lorawan";

// Each text slot starts out holding the name of the UCI option that fills
// it, so a missing option leaves its own name as the slot's text.
struct gw_settings_block {
    char server[SLOT_SIZE] = "server";
    char port[SLOT_SIZE] = "port";
    char mail[SLOT_SIZE] = "mail";
    char gateway_id[SLOT_SIZE] = "gateway_id";
    char lati[SLOT_SIZE] = "lati";
    char long_[SLOT_SIZE] = "long"; // option "long"; the C++ keyword forces the underscore
    char pfwd_debug[SLOT_SIZE] = "pfwd_debug";
    char SF[SLOT_SIZE] = "SF";
    char coderate[SLOT_SIZE] = "coderate";
    char BW[SLOT_SIZE] = "BW";
    char rx_frequency[SLOT_SIZE] = "rx_frequency";
    char platform[SLOT_SIZE] = "RK30/RKW30"; // never looked up
    char desc[SLOT_SIZE] = "";               // never looked up

    float latitude = 0.0f;
    float longitude = 0.0f;
    std::uint32_t frequency = 868100000; // hertz
};

extern gw_settings_block gw_settings;
extern std::uint64_t gateway_eui;
extern addrinfo *server_addrs;

// Looks up the UCI option named by the slot's current text in the sections
// named `section` of /etc/config/lorawan. True when the slot was overwritten
// with the option's value (cut to 63 characters); false leaves it unchanged.
// A lookup that prefetch_options has answered is served from there, once.
[[nodiscard]] bool read_option(const char *section, char *slot);

struct option_lookup {
    const char *section;
    char *slot;
};

// Answers the lookups that read_option will be asked for, all at once, and
// keeps the values aside without touching the slots: read_option then does
// to each slot, in the caller's order, what it would have done on its own.
// With the built-in reader this reads the file once instead of once per
// lookup. At most MAX_PREFETCHED lookups are kept; others read the file.
inline constexpr std::size_t MAX_PREFETCHED = 16;
void prefetch_options(const option_lookup *lookups, std::size_t count);
