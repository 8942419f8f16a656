// SPDX-License-Identifier: ISC
// The loopback network-server stand-in and its wire helpers.

#include "tests/support/server_stub.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

const char *identifier_name(std::uint8_t identifier)
{
    switch (identifier) {
    case ID_PUSH_DATA:
        return "PUSH_DATA";
    case ID_PUSH_ACK:
        return "PUSH_ACK";
    case ID_PULL_DATA:
        return "PULL_DATA";
    case ID_PULL_RESP:
        return "PULL_RESP";
    case ID_PULL_ACK:
        return "PULL_ACK";
    default:
        return "unknown";
    }
}

gateway_datagram parse_gateway_datagram(const wire_bytes &data)
{
    gateway_datagram d;
    if (data.size() >= 1)
        d.version = data[0];
    if (data.size() >= 3) {
        d.token[0] = data[1];
        d.token[1] = data[2];
    }
    if (data.size() >= 4)
        d.identifier = data[3];
    if (data.size() < 12)
        return d;
    d.has_header = true;
    for (std::size_t i = 4; i < 12; ++i)
        d.gateway_eui = (d.gateway_eui << 8) | data[i];
    d.json.assign(data.begin() + 12, data.end());
    return d;
}

wire_token token_of(const stub_datagram &d)
{
    if (d.data.size() < 3)
        return {};
    return {d.data[1], d.data[2]};
}

wire_bytes make_ack(std::uint8_t version, std::uint8_t token1, std::uint8_t token2, std::uint8_t identifier)
{
    return {version, token1, token2, identifier};
}

wire_bytes ack_for(const stub_datagram &d)
{
    if (d.data.size() < 4)
        return {};
    if (d.data[3] == ID_PUSH_DATA)
        return make_ack(1, d.data[1], d.data[2], ID_PUSH_ACK);
    if (d.data[3] == ID_PULL_DATA)
        return make_ack(1, d.data[1], d.data[2], ID_PULL_ACK);
    return {};
}

wire_bytes make_pull_resp(std::string_view json, std::uint8_t version, std::uint8_t token1, std::uint8_t token2)
{
    // Sized once: growing a 4-byte vector trips g++ 12's -Warray-bounds at -O2.
    wire_bytes out(4 + json.size());
    out[0] = version;
    out[1] = token1;
    out[2] = token2;
    out[3] = ID_PULL_RESP;
    std::copy(json.begin(), json.end(), out.begin() + 4);
    return out;
}

std::string downlink_json(std::string_view base64, std::size_t size)
{
    return R"({"txpk":{"imme":true,"freq":869.525,"rfch":0,"powe":14,"modu":"LORA",)"
           R"("datr":"SF9BW125","codr":"4/5","ipol":true,"size":)" +
           std::to_string(size) + R"(,"data":")" + std::string(base64) + R"("}})";
}

std::string downlink_json(const wire_bytes &payload)
{
    return downlink_json(base64_encode(payload), payload.size());
}

std::string base64_encode(const wire_bytes &data)
{
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < data.size(); i += 3) {
        std::uint32_t group = static_cast<std::uint32_t>(data[i]) << 16;
        if (i + 1 < data.size())
            group |= static_cast<std::uint32_t>(data[i + 1]) << 8;
        if (i + 2 < data.size())
            group |= data[i + 2];
        out += alphabet[(group >> 18) & 63];
        out += alphabet[(group >> 12) & 63];
        out += i + 1 < data.size() ? alphabet[(group >> 6) & 63] : '=';
        out += i + 2 < data.size() ? alphabet[group & 63] : '=';
    }
    return out;
}

std::string to_hex(const wire_bytes &data)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : data) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

static int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::optional<wire_bytes> from_hex(std::string_view text)
{
    wire_bytes out;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        if (i + 1 >= text.size())
            return std::nullopt;
        int hi = hex_value(text[i]);
        int lo = hex_value(text[i + 1]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        out.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
        i += 2;
    }
    return out;
}

wire_bytes to_bytes(std::string_view text)
{
    return wire_bytes(text.begin(), text.end());
}

std::string to_text(const wire_bytes &data)
{
    return std::string(data.begin(), data.end());
}

std::string numbered_payload(int n, std::size_t body)
{
    // Appended piece by piece: g++ 12's -Wrestrict misjudges "literal" +
    // std::string in Release builds.
    std::string tag = "<";
    tag += std::to_string(n);
    tag += '>';
    std::string text = tag;
    text.append(body, static_cast<char>('a' + n % 26));
    text += tag;
    return text;
}

server_stub::server_stub(std::uint16_t port, const char *address)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (inet_pton(AF_INET, address, &addr.sin_addr) != 1 || (ntohl(addr.sin_addr.s_addr) >> 24) != 127) {
        std::fprintf(stderr, "server stub: %s is not a loopback address\n", address);
        return;
    }
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) {
        std::perror("server stub: socket");
        return;
    }
    socklen_t len = sizeof addr;
    if (bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        std::perror("server stub: bind");
        close(fd_);
        fd_ = -1;
        return;
    }
    port_ = ntohs(addr.sin_port);
}

server_stub::~server_stub()
{
    if (fd_ >= 0)
        close(fd_);
}

void server_stub::reply(const stub_datagram &to, wire_bytes data, std::chrono::milliseconds delay)
{
    pending_.push_back({stub_clock::now() + delay, to.from, std::move(data)});
}

void server_stub::send_due(stub_clock::time_point now)
{
    // In order of due time; replies due at the same time keep their order.
    std::stable_sort(pending_.begin(), pending_.end(),
                     [](const pending_reply &a, const pending_reply &b) { return a.due < b.due; });
    std::size_t sent = 0;
    while (sent < pending_.size() && pending_[sent].due <= now) {
        const pending_reply &r = pending_[sent];
        if (sendto(fd_, r.data.data(), r.data.size(), 0, reinterpret_cast<const sockaddr *>(&r.to), sizeof r.to) < 0)
            std::perror("server stub: sendto");
        ++sent;
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(sent));
}

void server_stub::service()
{
    if (fd_ < 0)
        return;
    // Bounded: a sender cannot keep this loop going for ever.
    for (int i = 0; i < 10000; ++i) {
        std::uint8_t buf[65536];
        stub_datagram d;
        socklen_t len = sizeof d.from;
        ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&d.from), &len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        d.arrival = stub_clock::now();
        d.data.assign(buf, buf + n);
        received_.push_back(d);
        if (script_)
            script_(*this, received_.back());
    }
    send_due(stub_clock::now());
}

std::optional<stub_clock::time_point> server_stub::next_due() const
{
    if (pending_.empty())
        return std::nullopt;
    auto first = std::min_element(pending_.begin(), pending_.end(),
                                  [](const pending_reply &a, const pending_reply &b) { return a.due < b.due; });
    return first->due;
}

void server_stub::serve_until(stub_clock::time_point until, const std::function<bool()> &stop)
{
    for (;;) {
        service();
        if (stop && stop())
            return;
        auto now = stub_clock::now();
        if (now >= until)
            return;
        auto wake = until;
        if (auto due = next_due(); due && *due < wake)
            wake = *due;
        auto wait = std::chrono::ceil<std::chrono::milliseconds>(wake - now).count();
        pollfd p{fd_, POLLIN, 0};
        poll(&p, 1, static_cast<int>(std::max<long long>(0, wait)));
    }
}

std::vector<stub_datagram> server_stub::take_received()
{
    std::vector<stub_datagram> out(received_.begin() + static_cast<std::ptrdiff_t>(taken_), received_.end());
    taken_ = received_.size();
    return out;
}

server_stub::script ack_everything()
{
    return [](server_stub &stub, const stub_datagram &d) {
        wire_bytes ack = ack_for(d);
        if (!ack.empty())
            stub.reply(d, ack);
    };
}

server_stub::script ack_and_send_downlink(std::string json)
{
    return [json = std::move(json)](server_stub &stub, const stub_datagram &d) {
        wire_bytes ack = ack_for(d);
        if (ack.empty())
            return;
        stub.reply(d, ack);
        if (d.data[3] == ID_PULL_DATA)
            stub.reply(d, make_pull_resp(json));
    };
}
