// SPDX-License-Identifier: ISC
#pragma once
// The packet-forwarder UDP protocol, versions 1 and 2: the 12-byte header
// of PUSH_DATA and PULL_DATA, the identifiers, the tokens, the judging of a
// reply's 4-byte prefix, and the PUSH_DATA exchange with its PUSH_ACK.

#include <cstddef>
#include <cstdint>
#include <ctime>

struct addrinfo;

// Byte 3 of every datagram.
inline constexpr std::uint8_t PUSH_DATA = 0;
inline constexpr std::uint8_t PUSH_ACK = 1;
inline constexpr std::uint8_t PULL_DATA = 2;
inline constexpr std::uint8_t PULL_RESP = 3;
inline constexpr std::uint8_t PULL_ACK = 4;
inline constexpr std::uint8_t TX_ACK = 5; // version 2 only

inline constexpr std::size_t HEADER_SIZE = 12;
inline constexpr std::size_t REPLY_PREFIX_SIZE = 4;

struct packet_header {
    std::uint8_t version;
    std::uint8_t token[2];
    std::uint8_t identifier;
    std::uint64_t gateway_eui;
};

// A header for a new datagram: the version, a fresh token (the low bytes of
// two calls of rand, never seeded, so every run draws the same sequence),
// the identifier and the gateway identifier.
packet_header make_packet_header(std::uint8_t version, std::uint8_t identifier, std::uint64_t eui);

// Writes the header's 12 bytes to `out`, the gateway identifier most
// significant byte first, whatever the host's byte order.
void write_packet_header(std::uint8_t *out, const packet_header &header);

enum class ack_verdict {
    accepted,      // the acknowledgement we wait for
    out_of_sync,   // right kind and version, another token
    other_version, // right kind and token, the other protocol version
    invalid,       // too short, or wrong kind or version
};

// Judges a reply as the acknowledgement (`identifier`, protocol `version`)
// of the datagram whose token bytes are token1, token2 (compared by their
// low 8 bits). Only the first 4 bytes are looked at; a reply shorter than 4
// bytes is invalid. A caller takes other_version as invalid, and says so.
[[nodiscard]] ack_verdict judge_ack(const std::uint8_t *reply, std::size_t length, std::uint8_t version,
                                    std::uint8_t identifier, int token1, int token2);

// Once a run, at notice level whatever pfwd_debug says: the server answered
// in `version`, not in the one the settings ask for.
void note_server_version(std::uint8_t version);

// Whole milliseconds from `earlier` to `later`, cut toward zero; each
// difference is first taken as a signed 32-bit integer.
[[nodiscard]] int elapsed_ms(const timespec &earlier, const timespec &later);

// Opens a datagram socket for the first entry of `addrs` that yields one
// and connects it. Returns the socket or -1 when no entry yields a socket;
// *connect_error is the errno of a failed connect, else 0.
[[nodiscard]] int open_server_socket(const addrinfo *addrs, int *connect_error);

// Sets the receive time-out of `fd`. Returns 0 or -1 with errno set.
[[nodiscard]] int set_receive_timeout(int fd, long microseconds);

// Sends one PUSH_DATA (header included, in the version its first byte
// holds) to the server at `addrs` and waits for its PUSH_ACK: two receives
// of 50 ms at most. Returns after an acknowledgement, after giving up, or
// after a receive error; socket set-up and send failures end the run.
void push_and_wait_ack(const addrinfo *addrs, const std::uint8_t *datagram, std::size_t length, int token1, int token2);
