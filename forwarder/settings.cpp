// The settings of one run and their lookup in /etc/config/lorawan.

#include "forwarder/settings.h"

#include "uci/uci_reader.h"

gw_settings_block gw_settings;
std::uint64_t gateway_eui = 0;
addrinfo *server_addrs = nullptr;

bool read_option(const char *section, char *slot)
{
    // The slot's text is the option's name until a value replaces it; the
    // reader is done with the name before it writes the value.
    return uci_find_option(CONFIG_PATH, section, slot, slot, SLOT_SIZE) == uci_result::found;
}
