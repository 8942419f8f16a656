// SPDX-License-Identifier: ISC
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

// The texts of one pull. They are kept from one reply to the next: a
// PULL_RESP that lacks a key is read with the text an earlier one left.
struct pull_texts {
    char size_text[SIZE_TEXT_SIZE];
    char data_text[DATA_TEXT_SIZE];
    std::uint8_t payload[DOWNLINK_PAYLOAD_SIZE];
};

// The start of a pull: size text "0", data text and payload cleared.
void reset_pull_texts(pull_texts &texts);

enum class downlink_reply {
    ignored,         // too short to carry an identifier
    pull_ack,        // PULL_ACK with our token
    out_of_sync_ack, // PULL_ACK with another token
    mismatch,        // PULL_RESP whose data does not decode to size bytes
    bad_character,   // PULL_RESP whose data holds a character outside base64
    downlink,        // PULL_RESP with a valid payload: texts.payload, *payload_len bytes
};

// Judges one reply of `length` bytes, as received, and scrapes and decodes
// a PULL_RESP into `texts`. Anything that is not a PULL_ACK is taken as a
// PULL_RESP, whatever its version and token. `reply` must have room for a
// NUL after its bytes. Never ends the process, whatever the bytes.
[[nodiscard]] downlink_reply take_downlink_reply(std::uint8_t *reply, std::size_t length,
                                                 const std::uint8_t token[2], pull_texts &texts,
                                                 int *payload_len);
