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
    char pull_window[SLOT_SIZE] = "pull_window";
    char protocol[SLOT_SIZE] = "protocol";
    char downlink[SLOT_SIZE] = "downlink";
    char platform[SLOT_SIZE] = "RK30/RKW30"; // never looked up
    char desc[SLOT_SIZE] = "";               // never looked up

    // Position as the status record reports it: the text's value narrowed to
    // float precision and widened back, finite or 0.
    double latitude = 0.0;
    double longitude = 0.0;
    std::uint32_t frequency = 868100000; // hertz
    int pull_window_seconds = 5;         // how long the pull listens
    std::uint8_t protocol_version = 1;   // of every datagram sent
    bool downlink_enabled = true;        // false: an uplink never pulls
};

extern gw_settings_block gw_settings;
extern std::uint64_t gateway_eui;
extern addrinfo *server_addrs;

// Frees server_addrs (when set) and clears it.
void free_server_addrs();

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
// The whole prefetch waits at most CONFIG_LOCK_WAIT_MS for a lock another
// process holds on the file; after that every lookup fails as if the file
// could not be read.
inline constexpr std::size_t MAX_PREFETCHED = 16;
inline constexpr unsigned CONFIG_LOCK_WAIT_MS = 1000;
void prefetch_options(const option_lookup *lookups, std::size_t count);

// What the prefetch found out about the file as a whole.
enum class config_state {
    loaded,   // read and parsed
    unusable, // missing, not a regular file, unreadable or not valid UCI
    locked,   // another process held a lock on it for CONFIG_LOCK_WAIT_MS
};
[[nodiscard]] config_state prefetched_config_state();

// True when the prefetched value of `slot` was longer than the slot holds
// (it is stored cut to 63 characters).
[[nodiscard]] bool prefetched_value_cut(const char *slot);
// True when the prefetch found a value for `slot`.
[[nodiscard]] bool prefetched_found(const char *slot);
