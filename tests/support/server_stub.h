// SPDX-License-Identifier: ISC
#pragma once
// A network server stand-in on 127.0.0.1: records every datagram the gateway
// sends, with its arrival time on the monotonic clock, and answers as a test
// script says. Also the helpers to build replies and read the gateway's
// datagrams (packet-forwarder protocol, version 1).

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using wire_bytes = std::vector<std::uint8_t>;
using stub_clock = std::chrono::steady_clock;

// Identifiers (byte 3 of every datagram).
inline constexpr std::uint8_t ID_PUSH_DATA = 0;
inline constexpr std::uint8_t ID_PUSH_ACK = 1;
inline constexpr std::uint8_t ID_PULL_DATA = 2;
inline constexpr std::uint8_t ID_PULL_RESP = 3;
inline constexpr std::uint8_t ID_PULL_ACK = 4;

// "PUSH_DATA", ..., or "unknown".
[[nodiscard]] const char *identifier_name(std::uint8_t identifier);

struct stub_datagram {
    wire_bytes data;
    stub_clock::time_point arrival;
    sockaddr_in from{};
};

// A gateway datagram taken apart: the 12-byte header, then the JSON text.
struct gateway_datagram {
    bool has_header = false; // at least 12 bytes
    std::uint8_t version = 0;
    std::uint8_t token[2] = {0, 0};
    std::uint8_t identifier = 0;
    std::uint64_t gateway_eui = 0; // bytes 4..11, most significant first
    std::string json;              // bytes 12.. as text
};

[[nodiscard]] gateway_datagram parse_gateway_datagram(const wire_bytes &data);

// The token of a datagram (bytes 1 and 2): what an acknowledgement must
// echo to answer it.
struct wire_token {
    std::uint8_t first = 0, second = 0;
};
// The token of `d`; zeros when it is too short to carry one.
[[nodiscard]] wire_token token_of(const stub_datagram &d);

// A 4-byte reply prefix: version, token, identifier.
[[nodiscard]] wire_bytes make_ack(std::uint8_t version, std::uint8_t token1, std::uint8_t token2,
                                  std::uint8_t identifier);
// The acknowledgement a conforming server sends for `d`: PUSH_ACK for a
// PUSH_DATA, PULL_ACK for a PULL_DATA, echoing its token; empty otherwise.
[[nodiscard]] wire_bytes ack_for(const stub_datagram &d);
// A PULL_RESP: the 4-byte prefix (identifier 3) followed by `json`.
[[nodiscard]] wire_bytes make_pull_resp(std::string_view json, std::uint8_t version = 1, std::uint8_t token1 = 0,
                                        std::uint8_t token2 = 0);
// A downlink record {"txpk":{...,"size":N,"data":"BASE64"}} for `payload`,
// or with the given base64 text and declared size as they are.
[[nodiscard]] std::string downlink_json(const wire_bytes &payload);
[[nodiscard]] std::string downlink_json(std::string_view base64, std::size_t size);

[[nodiscard]] std::string base64_encode(const wire_bytes &data);
[[nodiscard]] std::string to_hex(const wire_bytes &data);
// Hex digits, with optional spaces between bytes; nullopt when malformed.
[[nodiscard]] std::optional<wire_bytes> from_hex(std::string_view text);
[[nodiscard]] wire_bytes to_bytes(std::string_view text);
[[nodiscard]] std::string to_text(const wire_bytes &data);
// The n-th of a series of downlinks: "<n>", `body` letters ('a' + n % 26),
// "<n>" again, so that a torn or mixed file matches none of the series.
[[nodiscard]] std::string numbered_payload(int n, std::size_t body);

class server_stub {
public:
    // Runs for each datagram received, in order; may call reply() any number
    // of times.
    using script = std::function<void(server_stub &, const stub_datagram &)>;

    // Binds address:port (0: an ephemeral port); the address must be a
    // loopback one (127.x.y.z). ok() tells whether it did.
    explicit server_stub(std::uint16_t port = 0, const char *address = "127.0.0.1");
    ~server_stub();
    server_stub(const server_stub &) = delete;
    server_stub &operator=(const server_stub &) = delete;

    [[nodiscard]] bool ok() const { return fd_ >= 0; }
    [[nodiscard]] int fd() const { return fd_; }
    [[nodiscard]] std::uint16_t port() const { return port_; }

    void set_script(script s) { script_ = std::move(s); }
    // Sends `data` to the sender of `to`, at once or `delay` later (while the
    // stub is being served).
    void reply(const stub_datagram &to, wire_bytes data,
               std::chrono::milliseconds delay = std::chrono::milliseconds(0));

    // Receives what is queued now (running the script for each datagram) and
    // sends every reply that is due.
    void service();
    // When the next delayed reply is due, if any.
    [[nodiscard]] std::optional<stub_clock::time_point> next_due() const;
    // Serves (waiting in poll) until `until`, or until `stop` says so after a
    // datagram.
    void serve_until(stub_clock::time_point until, const std::function<bool()> &stop = nullptr);
    // Drops the replies not yet sent.
    void cancel_pending() { pending_.clear(); }

    [[nodiscard]] const std::vector<stub_datagram> &received() const { return received_; }
    // The datagrams received since the last call of take_received().
    [[nodiscard]] std::vector<stub_datagram> take_received();

private:
    struct pending_reply {
        stub_clock::time_point due;
        sockaddr_in to;
        wire_bytes data;
    };
    void send_due(stub_clock::time_point now);

    int fd_ = -1;
    std::uint16_t port_ = 0;
    script script_;
    std::vector<stub_datagram> received_;
    std::size_t taken_ = 0;
    std::vector<pending_reply> pending_;
};

// Scripts for the usual server behaviour.
// Acknowledges every PUSH_DATA and PULL_DATA.
[[nodiscard]] server_stub::script ack_everything();
// As ack_everything, and after each PULL_ACK a PULL_RESP carrying `json`.
[[nodiscard]] server_stub::script ack_and_send_downlink(std::string json);
