// SPDX-License-Identifier: ISC
// ns_stub: a minimal network server on 127.0.0.1 for demonstrations. It
// acknowledges each PUSH_DATA with a PUSH_ACK, answers a PULL_DATA with a
// PULL_ACK and, when a downlink is given, a PULL_RESP carrying it, and prints
// every datagram that crosses the wire.
//
//   ns_stub [--port N] [--downlink-base64 TEXT | --downlink-hex HEX]
//           [--seconds S] [--count N]
//
// --port 0 (the default) takes an ephemeral port; the first line printed
// names the port. It exits after S seconds (default 30, at most 3600) or
// after N datagrams (default: no limit), whichever comes first.

#include "tests/support/server_stub.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static int usage()
{
    std::fprintf(stderr, "usage: ns_stub [--port N] [--downlink-base64 TEXT | --downlink-hex HEX] "
                         "[--seconds S] [--count N]\n");
    return 2;
}

static std::string token_text(const wire_bytes &d)
{
    char text[8];
    std::snprintf(text, sizeof text, "%02x%02x", d.size() > 1 ? d[1] : 0, d.size() > 2 ? d[2] : 0);
    return text;
}

static void print_datagram(const char *direction, const wire_bytes &d)
{
    if (d.size() < 4) {
        std::printf("%s %zu bytes, too short: %s\n", direction, d.size(), to_hex(d).c_str());
        return;
    }
    std::printf("%s %s version %u token %s", direction, identifier_name(d[3]), d[0], token_text(d).c_str());
    if (d[3] == ID_PUSH_DATA || d[3] == ID_PULL_DATA) {
        gateway_datagram g = parse_gateway_datagram(d);
        if (g.has_header)
            std::printf(" gateway %016llx", static_cast<unsigned long long>(g.gateway_eui));
        else
            std::printf(" short header: %s", to_hex(d).c_str());
        if (!g.json.empty())
            std::printf(" json %s", g.json.c_str());
    } else if (d.size() > 4) {
        std::printf(" json %s", std::string(d.begin() + 4, d.end()).c_str());
    }
    std::printf("\n");
}

int main(int argc, char **argv)
{
    long port = 0;
    long seconds = 30;
    long count = 0;
    std::optional<std::string> downlink;
    for (int i = 1; i < argc; ++i) {
        bool has_value = i + 1 < argc;
        if (std::strcmp(argv[i], "--port") == 0 && has_value)
            port = std::strtol(argv[++i], nullptr, 10);
        else if (std::strcmp(argv[i], "--seconds") == 0 && has_value)
            seconds = std::strtol(argv[++i], nullptr, 10);
        else if (std::strcmp(argv[i], "--count") == 0 && has_value)
            count = std::strtol(argv[++i], nullptr, 10);
        else if (std::strcmp(argv[i], "--downlink-base64") == 0 && has_value)
            downlink = argv[++i];
        else if (std::strcmp(argv[i], "--downlink-hex") == 0 && has_value) {
            std::optional<wire_bytes> payload = from_hex(argv[++i]);
            if (!payload) {
                std::fprintf(stderr, "ns_stub: not hex: %s\n", argv[i]);
                return 2;
            }
            downlink = base64_encode(*payload);
        } else
            return usage();
    }
    if (port < 0 || port > 65535 || seconds <= 0 || seconds > 3600 || count < 0)
        return usage();

    setvbuf(stdout, nullptr, _IOLBF, 0);
    server_stub stub(static_cast<std::uint16_t>(port));
    if (!stub.ok())
        return 1;
    std::printf("ns_stub listening on 127.0.0.1:%u\n", stub.port());

    std::string json;
    if (downlink) {
        // The declared size is the decoded length of the base64 text.
        std::size_t digits = downlink->find_last_not_of('=') + 1;
        json = downlink_json(*downlink, digits * 6 / 8);
    }
    stub.set_script([&json, &downlink](server_stub &s, const stub_datagram &d) {
        print_datagram("<-", d.data);
        wire_bytes ack = ack_for(d);
        if (ack.empty())
            return;
        print_datagram("->", ack);
        s.reply(d, ack);
        if (d.data[3] == ID_PULL_DATA && downlink) {
            wire_bytes resp = make_pull_resp(json);
            print_datagram("->", resp);
            s.reply(d, resp);
        }
    });
    auto until = stub_clock::now() + std::chrono::seconds(seconds);
    stub.serve_until(until, [&] { return count > 0 && stub.received().size() >= static_cast<std::size_t>(count); });
    std::printf("ns_stub done: %zu datagrams\n", stub.received().size());
    return 0;
}
