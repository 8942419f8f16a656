// SPDX-License-Identifier: ISC
#pragma once
// The steps of the run sequence that prepare the settings, shared by the
// run and by `tarnwick check`.

#include <cstdint>

struct addrinfo;

// The lookups in their fixed order, with the lines of missing options and
// the defaults of server, port and rx_frequency.
void read_settings(const char *prog);
// What keeps the configuration file from being used, in words; null when
// it was read.
[[nodiscard]] const char *config_problem();
// The numbers from the text slots: position, frequency, the downlink options.
void convert_settings(const char *prog);
// The name of a radio option whose text would break the rxpk record, or null.
[[nodiscard]] const char *unsafe_setting();
// True when `port` is a number outside 1 to 65535.
[[nodiscard]] bool port_out_of_range(const char *port);
// True and *eui set when `text` is exactly 16 hexadecimal digits.
[[nodiscard]] bool parse_gateway_id(const char *text, std::uint64_t *eui);
// getaddrinfo of the server and port slots (IPv4, datagrams); its result.
[[nodiscard]] int resolve_server(addrinfo **out);
