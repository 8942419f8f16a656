// SPDX-License-Identifier: ISC
// The run sequence of tarnwick: settings, server address, gateway
// identifier, the listening line, and the dispatch to one job.

#include "forwarder/run.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <netdb.h>
#include <sys/socket.h>
#include <syslog.h>

#include "forwarder/debug_log.h"
#include "forwarder/settings.h"
#include "protocol/jobs.h"

// Where a configuration without a server option sends its datagrams: this
// host, so that a half-written configuration never reaches a stranger.
static constexpr const char *DEFAULT_SERVER = "127.0.0.1";
static constexpr const char *DEFAULT_PORT = "1700";
static constexpr const char *DEFAULT_FREQUENCY = "868100000";
static constexpr std::size_t GATEWAY_ID_DIGITS = 16;

static void free_server_addrs()
{
    if (server_addrs) {
        freeaddrinfo(server_addrs);
        server_addrs = nullptr;
    }
}

void fatal_exit(const char *tag)
{
    (void)tag;
    closelog();
    free_server_addrs();
    std::exit(1);
}

static void set_slot(char *slot, const char *text)
{
    std::memset(slot, 0, SLOT_SIZE);
    std::strncpy(slot, text, SLOT_SIZE - 1);
}

// The eleven lookups, in their fixed order, each logging its own line when
// the option is missing.
static void read_settings(const char *prog)
{
    const option_lookup lookups[] = {
        {"general", gw_settings.server},     {"general", gw_settings.port},
        {"general", gw_settings.mail},       {"general", gw_settings.gateway_id},
        {"general", gw_settings.lati},       {"general", gw_settings.long_},
        {"general", gw_settings.pfwd_debug}, {"radio", gw_settings.SF},
        {"radio", gw_settings.coderate},     {"radio", gw_settings.BW},
        {"radio", gw_settings.rx_frequency},
    };
    static_assert(std::size(lookups) == 11 && std::size(lookups) <= MAX_PREFETCHED);
    prefetch_options(lookups, std::size(lookups));

    if (!read_option("general", gw_settings.server)) {
        log_debug(LOG_INFO, "%s: get option server=%s", prog, gw_settings.server);
        set_slot(gw_settings.server, DEFAULT_SERVER);
    }
    if (!read_option("general", gw_settings.port)) {
        log_debug(LOG_ERR, "%s: get option port=%s", prog, gw_settings.port);
        set_slot(gw_settings.port, DEFAULT_PORT);
    }
    if (!read_option("general", gw_settings.mail))
        log_debug(LOG_NOTICE, "%s: get option email=%s", prog, gw_settings.mail);
    if (!read_option("general", gw_settings.gateway_id))
        log_debug(LOG_NOTICE, "%s: get option gatewayid=%s", prog, gw_settings.gateway_id);
    if (!read_option("general", gw_settings.lati))
        log_debug(LOG_NOTICE, "%s: get option lat=%s", prog, gw_settings.lati);
    if (!read_option("general", gw_settings.long_))
        log_debug(LOG_NOTICE, "%s: get option lon=%s", prog, gw_settings.long_);
    if (!read_option("general", gw_settings.pfwd_debug))
        log_debug(LOG_NOTICE, "get option pfwd_debug=%s", gw_settings.pfwd_debug);
    if (!read_option("radio", gw_settings.SF))
        log_debug(LOG_NOTICE, "%s: get option sf=%s", prog, gw_settings.SF);
    if (!read_option("radio", gw_settings.coderate))
        log_debug(LOG_NOTICE, "%s: get option coderate=%s", prog, gw_settings.coderate);
    if (!read_option("radio", gw_settings.BW))
        log_debug(LOG_NOTICE, "%s: get option bw=%s", prog, gw_settings.BW);
    if (!read_option("radio", gw_settings.rx_frequency)) {
        log_debug(LOG_NOTICE, "%s: get option frequency=%s", prog, gw_settings.rx_frequency);
        set_slot(gw_settings.rx_frequency, DEFAULT_FREQUENCY);
    }
}

// Hertz as an unsigned 32-bit number. A text that is not a number reads as
// 0; so does a number no unsigned 32-bit value can hold (negative, too large,
// not a number), where a plain conversion would be undefined.
static std::uint32_t frequency_from_text(const char *text)
{
    double hz = std::atof(text);
    if (!(hz >= 0.0 && hz < 4294967296.0))
        return 0;
    return static_cast<std::uint32_t>(hz);
}

static int hex_digit_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The gateway identifier: exactly sixteen hexadecimal digits and nothing
// else, so that a typo never makes the gateway report some other gateway's
// identifier. True and *eui set when the text is one.
static bool parse_gateway_id(const char *text, std::uint64_t *eui)
{
    if (std::strlen(text) != GATEWAY_ID_DIGITS)
        return false;
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < GATEWAY_ID_DIGITS; i++) {
        int digit = hex_digit_value(text[i]);
        if (digit < 0)
            return false;
        value = value << 4 | static_cast<std::uint64_t>(digit);
    }
    *eui = value;
    return true;
}

int run_forwarder(int argc, char **argv)
{
    const char *prog = argc > 0 && argv[0] ? argv[0] : "tarnwick";

    openlog("tarnwick", LOG_PID | LOG_CONS, LOG_USER);

    if (argc < 2) {
        log_debug(LOG_ERR, "%s: need argument", prog);
        closelog();
        std::exit(1);
    }

    read_settings(prog);

    gw_settings.latitude = static_cast<float>(std::atof(gw_settings.lati));
    gw_settings.longitude = static_cast<float>(std::atof(gw_settings.long_));
    gw_settings.frequency = frequency_from_text(gw_settings.rx_frequency);

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    int gai = getaddrinfo(gw_settings.server, gw_settings.port, &hints, &server_addrs);
    if (gai != 0) {
        server_addrs = nullptr;
        log_debug(LOG_ERR, "failed to open socket to any of %s:%s, %s", gw_settings.server,
                  gw_settings.port, gai_strerror(gai));
        fatal_exit("getaddrinfo");
    }

    if (!parse_gateway_id(gw_settings.gateway_id, &gateway_eui)) {
        log_debug(LOG_ERR, "[GEUI] GatewayID: %s ERR", gw_settings.gateway_id);
        fatal_exit("GEUI error");
    }

    // Written whatever pfwd_debug says.
    syslog(LOG_NOTICE, "Listening at SF%sBW125 on %.6lf Mhz.\n", gw_settings.SF,
           gw_settings.frequency / 1000000.0);

    if (std::strcmp(argv[1], "stat") == 0)
        send_stat();
    else if (argc >= 4) // a first word, the rssi and the size
        forward_rxpk(std::atoi(argv[2]), std::atoi(argv[3]));
    else
        std::printf("Usage: %s rxpk rssi size\n", prog);

    closelog();
    free_server_addrs();
    return 0;
}
