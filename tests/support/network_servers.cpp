// SPDX-License-Identifier: ISC
// Loopback stand-ins for two kinds of network server, and the wire helpers
// of protocol version 2 and of the downlink files.

#include "tests/support/network_servers.h"

#include <algorithm>
#include <regex>

using namespace std::chrono_literals;

wire_bytes ack_in_version(const stub_datagram &d, std::uint8_t version)
{
    wire_bytes ack = ack_for(d);
    if (!ack.empty())
        ack[0] = version;
    return ack;
}

wire_bytes ack_echoing_version(const stub_datagram &d)
{
    return d.data.empty() ? wire_bytes{} : ack_in_version(d, d.data[0]);
}

std::optional<std::uint32_t> rxpk_tmst(const stub_datagram &d)
{
    static const std::regex tmst(R"re(^\{"rxpk":\[\{"tmst":(\d+),)re");
    std::string json = parse_gateway_datagram(d.data).json;
    std::smatch m;
    if (!std::regex_search(json, m, tmst))
        return std::nullopt;
    unsigned long long value = std::stoull(m[1].str());
    if (value > 0xffffffffull)
        return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

wire_bytes expected_tx_ack(wire_token token, std::uint64_t eui, const std::string &code)
{
    wire_bytes out = {2, token.first, token.second, TX_ACK_IDENTIFIER};
    for (int i = 0; i < 8; i++)
        out.push_back(static_cast<std::uint8_t>(eui >> (56 - 8 * i)));
    std::string json = R"({"txpk_ack":{"error":")" + code + R"("}})";
    out.insert(out.end(), json.begin(), json.end());
    return out;
}

void set_member(txpk_members &m, const std::string &key, const std::string &json_value)
{
    auto it = std::find_if(m.begin(), m.end(), [&](const auto &p) { return p.first == key; });
    if (it != m.end())
        it->second = json_value;
    else
        m.emplace_back(key, json_value);
}

void erase_member(txpk_members &m, const std::string &key)
{
    std::erase_if(m, [&](const auto &p) { return p.first == key; });
}

std::string txpk_json(const txpk_members &m)
{
    std::string text = R"({"txpk":{)";
    // Appended piece by piece: g++ 12's -Wrestrict misjudges "literal" +
    // std::string in Release builds.
    for (std::size_t i = 0; i < m.size(); i++) {
        if (i)
            text += ',';
        text += quoted(m[i].first);
        text += ':';
        text += m[i].second;
    }
    text += "}}";
    return text;
}

std::string quoted(const std::string &s)
{
    std::string q = "\"";
    q += s;
    q += '"';
    return q;
}

network_server::network_server(server_style style) : style_(style)
{
    stub_.set_script([this](server_stub &stub, const stub_datagram &d) { take(stub, d); });
}

std::chrono::milliseconds network_server::rx_delay(rx_slot slot, bool join_accept) const
{
    if (slot == rx_slot::class_c)
        return 0ms;
    std::chrono::milliseconds rx1 = style_ == server_style::holding ? 5000ms : join_accept ? 5000ms : 1000ms;
    return slot == rx_slot::rx1 ? rx1 : rx1 + 1000ms;
}

txpk_members network_server::members(const downlink_order &order, const downlink_moment &moment) const
{
    const bool class_c = order.slot == rx_slot::class_c;
    const bool rx1 = order.slot == rx_slot::rx1;
    // Frequencies as servers that keep them in binary floating point print them.
    const std::string rx2_freq = "869.5250244140625";
    txpk_members m;
    if (style_ == server_style::holding) {
        m = {{"imme", class_c ? "true" : "false"}};
        if (!class_c)
            m.emplace_back("tmst", std::to_string(moment.tmst));
        m.insert(m.end(), {{"freq", rx1 ? "868.1" : rx2_freq},
                           {"rfch", "0"},
                           {"powe", rx1 ? "16" : "27"},
                           {"ant", "0"},
                           {"brd", "0"},
                           {"modu", quoted("LORA")},
                           {"datr", quoted(rx1 ? "SF7BW125" : "SF9BW125")},
                           {"codr", quoted("4/5")},
                           {"ipol", "true"},
                           {"prea", "8"}});
    } else {
        m = {{"imme", class_c ? "true" : "false"}, {"rfch", "0"}, {"powe", "14"}, {"ant", "0"}, {"brd", "0"}};
        if (!class_c)
            m.emplace_back("tmst", std::to_string(moment.tmst));
        m.insert(m.end(), {{"freq", rx1 ? "868.0999755859375" : rx2_freq},
                           {"modu", quoted("LORA")},
                           {"datr", quoted(rx1 ? "SF7BW125" : "SF12BW125")},
                           {"codr", quoted("4/5")},
                           {"ipol", "true"}});
    }
    m.emplace_back("size", std::to_string(order.payload.size()));
    m.emplace_back("data", quoted(base64_encode(order.payload)));
    if (order.edit)
        order.edit(m, moment);
    return m;
}

void network_server::take(server_stub &stub, const stub_datagram &d)
{
    if (d.data.size() < 4)
        return;
    const std::uint8_t identifier = d.data[3];
    if (identifier == TX_ACK_IDENTIFIER) {
        tx_acks_++;
        return;
    }
    if (identifier == ID_PUSH_DATA) {
        if (std::optional<std::uint32_t> tmst = rxpk_tmst(d)) {
            uplink_ = downlink_moment{*tmst, *tmst};
            uplink_arrival_ = d.arrival;
        }
        stub.reply(d, ack_echoing_version(d));
        return;
    }
    if (identifier != ID_PULL_DATA)
        return;
    stub.reply(d, ack_echoing_version(d));
    if (!uplink_ || orders_.empty())
        return;
    downlink_order order = std::move(orders_.front());
    orders_.pop_front();
    downlink_moment moment = *uplink_;
    uplink_.reset();
    auto delay = rx_delay(order.slot, order.join_accept);
    moment.tmst = moment.uplink_tmst + static_cast<std::uint32_t>(delay.count() * 1000);

    const std::uint8_t version = d.data[0];
    stub_clock::time_point send_at = d.arrival;
    if (style_ == server_style::prompt)
        send_at = uplink_arrival_ + 300ms;
    else if (order.slot != rx_slot::class_c && !(version == 2 && tx_acks_ > 0))
        send_at = uplink_arrival_ + delay - 800ms;
    send_at = std::max(send_at, d.arrival);

    served_downlink sent;
    sent.moment = moment;
    sent.token = {static_cast<std::uint8_t>(d.data[1] ^ 0xa5), static_cast<std::uint8_t>(d.data[2] ^ 0x5a)};
    sent.json = txpk_json(members(order, moment));
    sent.planned = std::chrono::duration_cast<std::chrono::milliseconds>(send_at - uplink_arrival_);
    stub.reply(d, make_pull_resp(sent.json, version, sent.token.first, sent.token.second),
               std::chrono::duration_cast<std::chrono::milliseconds>(send_at - d.arrival));
    downlinks_.push_back(std::move(sent));
}

std::string dltx_text(const std::string &base64, std::size_t size, const dltx_fields &f)
{
    std::string text = "data=" + base64 + "\nsize=" + std::to_string(size) + "\nfreq=" + std::to_string(f.freq) +
                       "\ndatr=" + f.datr + "\nsf=" + std::to_string(f.sf) + "\nbw=" + std::to_string(f.bw) +
                       "\ncodr=" + f.codr + "\n";
    if (f.powe)
        text += "powe=" + std::to_string(*f.powe) + "\n";
    text += "ipol=" + std::to_string(f.ipol) + "\nncrc=" + std::to_string(f.ncrc) + "\nimme=" + std::to_string(f.imme) +
            "\n";
    if (f.tmst)
        text += "tmst=" + std::to_string(*f.tmst) + "\n";
    if (f.delay_us)
        text += "delay_us=" + std::to_string(*f.delay_us) + "\n";
    return text;
}
