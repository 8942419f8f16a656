// SPDX-License-Identifier: ISC
#pragma once
// Loopback stand-ins for the network servers gateways meet in the field, as
// their downlinks look on the wire, built on server_stub:
//
//   holding  answers the PULL_DATA with a PULL_ACK and holds each PULL_RESP
//            until 0.8 s before its moment: RX1 5 s after the uplink (data
//            and join-accepts alike), RX2 one second later, so the PULL_RESP
//            goes out at + 4.2 s or + 5.2 s. RX1 at 868.1 MHz SF7BW125, RX2
//            at 869.525 MHz (float noise) SF9BW125, with rfch, powe, ant,
//            brd and prea beside the keys the radio side needs. In protocol
//            version 2, once it has seen a TX_ACK, it sends every later
//            PULL_RESP right away.
//   prompt   answers the PULL_DATA with a PULL_ACK and sends the PULL_RESP
//            about 0.3 s after the uplink: data RX1 1 s, join-accepts 5 s,
//            RX2 one second later at 869.525 MHz SF12BW125; float noise on
//            every frequency, with rfch, ant and brd.
//
// Both acknowledge in the version of the datagram they answer and record
// each uplink's tmst (from its rxpk), each PULL_RESP they send and each
// TX_ACK they get. Also: the wire helpers that version 2 and the downlink
// tests need (acknowledgements in a given version, the TX_ACK expected, the
// txpk's members, the text of /var/iot/dltx).

#include "tests/support/server_stub.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// Byte 3 of a TX_ACK (protocol version 2).
inline constexpr std::uint8_t TX_ACK_IDENTIFIER = 5;

// The acknowledgement of `d` (PUSH_ACK for a PUSH_DATA, PULL_ACK for a
// PULL_DATA, its token echoed) in `version`; empty for anything else.
[[nodiscard]] wire_bytes ack_in_version(const stub_datagram &d, std::uint8_t version);
// The same in the version of `d` itself (byte 0), as servers answer.
[[nodiscard]] wire_bytes ack_echoing_version(const stub_datagram &d);

// The tmst of the rxpk record `d` carries, if it carries one.
[[nodiscard]] std::optional<std::uint32_t> rxpk_tmst(const stub_datagram &d);

// The TX_ACK a gateway owes a PULL_RESP whose token was `token`:
// version 2, the token, identifier 5, the gateway's EUI most significant
// byte first, then {"txpk_ack":{"error":"CODE"}}.
[[nodiscard]] wire_bytes expected_tx_ack(wire_token token, std::uint64_t eui, const std::string &code);

// The members of a txpk object in the order they are sent: key and the
// value's JSON text ("true", "869.525", "\"LORA\"", ...).
using txpk_members = std::vector<std::pair<std::string, std::string>>;
// Replaces the member `key`, or adds it at the end.
void set_member(txpk_members &m, const std::string &key, const std::string &json_value);
void erase_member(txpk_members &m, const std::string &key);
// {"txpk":{...}}
[[nodiscard]] std::string txpk_json(const txpk_members &m);
// A JSON string's text for `s` (no escapes needed in these tests).
[[nodiscard]] std::string quoted(const std::string &s);

enum class server_style { holding, prompt };
enum class rx_slot { rx1, rx2, class_c };

// What a server makes of one uplink: the moment it picks and the txpk it sends.
struct downlink_moment {
    std::uint32_t uplink_tmst = 0; // of the rxpk
    std::uint32_t tmst = 0;        // the moment (uplink_tmst + the window's delay); class C: none
};

// The downlink a server sends after the next uplink.
struct downlink_order {
    rx_slot slot = rx_slot::rx1;
    bool join_accept = false;
    wire_bytes payload;
    // What the row changes in the members the server would send.
    std::function<void(txpk_members &, const downlink_moment &)> edit{};
};

// A PULL_RESP a server sent (or was about to send when the run ended).
struct served_downlink {
    downlink_moment moment;
    wire_token token;                  // bytes 1-2 of the PULL_RESP
    std::string json;                  // after its 4-byte prefix
    std::chrono::milliseconds planned; // when it was to go, after the uplink's arrival
};

class network_server {
public:
    explicit network_server(server_style style);
    network_server(const network_server &) = delete;
    network_server &operator=(const network_server &) = delete;

    [[nodiscard]] bool ok() const { return stub_.ok(); }
    [[nodiscard]] std::uint16_t port() const { return stub_.port(); }
    [[nodiscard]] server_stub &stub() { return stub_; }

    // The downlink for the next uplink that is followed by a PULL_DATA.
    void queue(downlink_order order) { orders_.push_back(std::move(order)); }

    [[nodiscard]] const std::vector<served_downlink> &downlinks() const { return downlinks_; }
    [[nodiscard]] int tx_acks_seen() const { return tx_acks_; }

    // The RX1 delay, and the delay of the window, of a downlink of this server.
    [[nodiscard]] std::chrono::milliseconds rx_delay(rx_slot slot, bool join_accept) const;

private:
    void take(server_stub &stub, const stub_datagram &d);
    [[nodiscard]] txpk_members members(const downlink_order &order, const downlink_moment &moment) const;

    server_style style_;
    server_stub stub_;
    std::deque<downlink_order> orders_;
    std::optional<downlink_moment> uplink_;
    stub_clock::time_point uplink_arrival_{};
    std::vector<served_downlink> downlinks_;
    int tx_acks_ = 0;
};

// What /var/iot/dltx says of one downlink, key by key.
struct dltx_fields {
    std::uint32_t freq = 0;
    std::string datr;
    unsigned sf = 0;
    unsigned bw = 0;
    std::string codr = "4/5";
    std::optional<int> powe;
    int ipol = 0;
    int ncrc = 0;
    int imme = 0;
    std::optional<std::uint32_t> tmst;
    std::optional<std::uint32_t> delay_us;
};

// The file's text for a downlink whose data was `base64` (`size` bytes).
[[nodiscard]] std::string dltx_text(const std::string &base64, std::size_t size, const dltx_fields &f);
