// SPDX-License-Identifier: ISC
#pragma once
// JSON text for the records the gateway sends. Network servers drop a
// datagram whose JSON does not parse, without a word back, so every text
// that comes from the settings is escaped before it goes into a record.

#include <cstddef>

// Writes `text` into `out` (capacity `cap`, at least 1) as the inside of a
// JSON string: '"' and '\' escaped, control characters as \n, \t, ... or
// \u00XX, valid UTF-8 as it is, and any byte that is not part of a valid
// UTF-8 sequence as \u00XX (read as Latin-1), so the result is always valid
// JSON. An escape that would not fit is left out with all that follows.
// Returns the length written; out is NUL-terminated.
std::size_t json_escape(char *out, std::size_t cap, const char *text);

// True when `text` goes into a JSON string unchanged by json_escape.
[[nodiscard]] bool json_plain(const char *text);
