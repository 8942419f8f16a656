// SPDX-License-Identifier: ISC
#pragma once
// The pieces of the downlink pull that work on received bytes alone.

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "protocol/exchange.h"

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
[[nodiscard]] downlink_reply take_downlink_reply(std::uint8_t *reply, std::size_t length, const std::uint8_t token[2],
                                                 pull_texts &texts, int *payload_len);

// One pull: its socket, the PULL_DATA's header, the texts kept from reply
// to reply, and what came back.
struct pull_session {
    int socket;
    packet_header header;
    pull_texts texts;
    const std::uint32_t *uplink_tmst; // the moment downlinks are timed from, or null
    timespec start;                   // when the PULL_DATA went out
    int ack_ms;                       // first PULL_ACK with our token, ms after start; -1: none
    int other_version;                // version of an acknowledgement in the other version; 0: none
    int downlinks;                    // downlinks handed over to the radio side
};

// Opens the pull's socket, writes /var/iot/pull_data and sends a PULL_DATA in
// `version`. False when no socket could be made or the send failed, with
// *error the errno and s.socket -1 in the first case.
[[nodiscard]] bool pull_start(pull_session &s, std::uint8_t version, const std::uint32_t *uplink_tmst, int *error);

// Handles one reply of `length` bytes received at `when`, as the pull does:
// logs it, hands a valid downlink to the radio side, answers a PULL_RESP
// with a TX_ACK in version 2. `reply` must have room for a NUL after its
// bytes. False for a PULL_RESP whose data holds a character outside base64
// (answered, not handed over), which ends the pull's run.
[[nodiscard]] bool pull_take(pull_session &s, std::uint8_t *reply, std::size_t length, const timespec &when);

// The run's end after such a PULL_RESP.
[[noreturn]] void fatal_bad_character();

// The TX_ACK for a PULL_RESP whose token bytes are `token`: version 2, the
// token, identifier 5, the gateway identifier, then
// {"txpk_ack":{"error":"CODE"}}. Returns its length (at most 64 bytes).
std::size_t build_tx_ack(std::uint8_t *out, const std::uint8_t token[2], std::uint64_t eui, const char *code);
