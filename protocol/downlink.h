#pragma once
// The pieces of the downlink pull that work on received bytes alone.

#include <cstddef>
#include <cstdint>

inline constexpr std::size_t SIZE_TEXT_SIZE = 8;
inline constexpr std::size_t DATA_TEXT_SIZE = 1024;
inline constexpr std::size_t DOWNLINK_PAYLOAD_SIZE = 1024;

// Copies the value after the first occurrence of `key` (a plain substring,
// no quotes) in `json` into `out`: from the first ':' after the match, ':',
// blanks and '"' are skipped, ',' or '}' ends the value, and so do the end
// of the text and a full buffer (out_size - 1 characters). A key that is not
// found, or not followed by ':', leaves `out` unchanged. Prints the two
// "parser" lines on standard output.
void scrape_json_field(const char *json, char *out, std::size_t out_size, const char *key);
