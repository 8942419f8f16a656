// SPDX-License-Identifier: ISC
// The run sequence of tarnwick: settings, server address, gateway
// identifier, the listening line, and the dispatch to one job.

#include "forwarder/run.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "codec/decimal.h"
#include "forwarder/check.h"
#include "forwarder/debug_log.h"
#include "forwarder/fatal.h"
#include "forwarder/run_settings.h"
#include "forwarder/settings.h"
#include "protocol/jobs.h"
#include "protocol/json.h"

// Where a configuration without a server option sends its datagrams: this
// host, so that a half-written configuration never reaches a stranger.
static constexpr const char *DEFAULT_SERVER = "127.0.0.1";
static constexpr const char *DEFAULT_PORT = "1700";
static constexpr const char *DEFAULT_FREQUENCY = "868100000";
static constexpr std::size_t GATEWAY_ID_DIGITS = 16;
static constexpr int MIN_PULL_WINDOW = 1;
static constexpr int MAX_PULL_WINDOW = 30;

static void set_slot(char *slot, const char *text)
{
    std::memset(slot, 0, SLOT_SIZE);
    std::strncpy(slot, text, SLOT_SIZE - 1);
}

void read_settings(const char *prog)
{
    const option_lookup lookups[] = {
        {"general", gw_settings.server},     {"general", gw_settings.port},       {"general", gw_settings.mail},
        {"general", gw_settings.gateway_id}, {"general", gw_settings.lati},       {"general", gw_settings.long_},
        {"general", gw_settings.pfwd_debug}, {"radio", gw_settings.SF},           {"radio", gw_settings.coderate},
        {"radio", gw_settings.BW},           {"radio", gw_settings.rx_frequency}, {"general", gw_settings.pull_window},
        {"general", gw_settings.protocol},   {"general", gw_settings.downlink},
    };
    static_assert(std::size(lookups) <= MAX_PREFETCHED);
    prefetch_options(lookups, std::size(lookups));

    // The eleven lookups of every run, in their fixed order, each logging
    // its own line when the option is missing.
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
    // The downlink options: a missing one means its default, silently.
    (void)read_option("general", gw_settings.pull_window);
    (void)read_option("general", gw_settings.protocol);
    (void)read_option("general", gw_settings.downlink);
}

// Hertz as an unsigned 32-bit number, read as the decimal text it is (an
// exponent allowed). A text that is not a number reads as 0; so does a
// number no unsigned 32-bit value can hold (negative, too large).
static std::uint32_t frequency_from_text(const char *text)
{
    std::uint32_t hz = 0;
    return decimal_to_u32(text, 0, false, &hz) ? hz : 0;
}

// float(atof(text)) as the status record prints it, without floating-point
// arithmetic in this program: the C library reads the text to a float,
// whose bits are widened to a double here. Not a finite float (nan, inf,
// beyond 3.4e38): 0, for a record that stays valid JSON.
static double position_from_text(const char *text)
{
    float f = std::strtof(text, nullptr);
    std::uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    std::uint64_t sign = static_cast<std::uint64_t>(b >> 31) << 63;
    std::uint32_t exponent = b >> 23 & 0xff;
    std::uint64_t mantissa = b & 0x7fffff;
    std::uint64_t bits = sign;
    if (exponent == 0xff) {
        bits = 0;
    } else if (exponent != 0) {
        bits |= static_cast<std::uint64_t>(exponent - 127 + 1023) << 52 | mantissa << 29;
    } else if (mantissa != 0) {
        // A subnormal float is a normal double: shift its leading one into
        // the hidden bit.
        int e = -126;
        while (!(mantissa & 0x800000)) {
            mantissa <<= 1;
            e--;
        }
        bits |= static_cast<std::uint64_t>(e + 1023) << 52 | (mantissa & 0x7fffff) << 29;
    }
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

// A whole number from `low` to `high` written in digits alone, else -1.
static int small_number(const char *text, int low, int high)
{
    int value = 0;
    std::size_t n = std::strlen(text);
    if (n == 0 || n > 3)
        return -1;
    for (std::size_t i = 0; i < n; i++) {
        if (text[i] < '0' || text[i] > '9')
            return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value >= low && value <= high ? value : -1;
}

void convert_settings(const char *prog)
{
    gw_settings.latitude = position_from_text(gw_settings.lati);
    gw_settings.longitude = position_from_text(gw_settings.long_);
    gw_settings.frequency = frequency_from_text(gw_settings.rx_frequency);

    // The downlink options keep their defaults unless they hold a valid
    // value; a slot still holding its option's name was not set.
    int window = small_number(gw_settings.pull_window, MIN_PULL_WINDOW, MAX_PULL_WINDOW);
    if (window > 0)
        gw_settings.pull_window_seconds = window;
    else if (std::strcmp(gw_settings.pull_window, "pull_window") != 0)
        log_debug(LOG_NOTICE, "%s: option pull_window='%s' is not 1 to 30 seconds: using 5", prog,
                  gw_settings.pull_window);
    int version = small_number(gw_settings.protocol, 1, 2);
    if (version > 0)
        gw_settings.protocol_version = static_cast<std::uint8_t>(version);
    else if (std::strcmp(gw_settings.protocol, "protocol") != 0)
        log_debug(LOG_NOTICE, "%s: option protocol='%s' is not 1 or 2: using 1", prog, gw_settings.protocol);
    int downlink = small_number(gw_settings.downlink, 0, 1);
    if (downlink >= 0)
        gw_settings.downlink_enabled = downlink == 1;
    else if (std::strcmp(gw_settings.downlink, "downlink") != 0)
        log_debug(LOG_NOTICE, "%s: option downlink='%s' is not 0 or 1: using 1", prog, gw_settings.downlink);
}

const char *config_problem()
{
    static char text[96];
    switch (prefetched_config_state()) {
    case config_state::loaded:
        return nullptr;
    case config_state::locked:
        return "locked by another process for more than a second";
    case config_state::unusable:
        break;
    }
    struct stat st {};
    if (stat(CONFIG_PATH, &st) != 0 || access(CONFIG_PATH, R_OK) != 0) {
        std::snprintf(text, sizeof text, "%s", std::strerror(errno));
        return text;
    }
    if (!S_ISREG(st.st_mode))
        return "not a regular file";
    return "not valid UCI syntax";
}

const char *unsafe_setting()
{
    // SF and coderate go into the rxpk record as they are: a quote, a
    // backslash, a control character or a byte that is no UTF-8 in them
    // would break it (or let a value override the record's fields).
    if (!json_plain(gw_settings.SF))
        return "SF";
    if (!json_plain(gw_settings.coderate))
        return "coderate";
    return nullptr;
}

bool port_out_of_range(const char *port)
{
    // A number (digits after an optional sign) outside 1 to 65535; any
    // other text is for the resolver (a service name is a valid port).
    const char *p = port + (*port == '-' || *port == '+');
    if (*p == '\0')
        return false;
    for (const char *q = p; *q; q++)
        if (*q < '0' || *q > '9')
            return false;
    if (*port == '-' || std::strlen(p) > 5)
        return true;
    long value = std::atol(p);
    return value < 1 || value > 65535;
}

bool parse_gateway_id(const char *text, std::uint64_t *eui)
{
    if (std::strlen(text) != GATEWAY_ID_DIGITS)
        return false;
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < GATEWAY_ID_DIGITS; i++) {
        char c = text[i];
        int digit = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
        if (digit < 0)
            return false;
        value = value << 4 | static_cast<std::uint64_t>(digit);
    }
    *eui = value;
    return true;
}

int resolve_server(addrinfo **out)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    int gai = getaddrinfo(gw_settings.server, gw_settings.port, &hints, out);
    if (gai != 0)
        *out = nullptr;
    return gai;
}

int run_forwarder(int argc, char **argv)
{
    const char *prog = argc > 0 && argv[0] ? argv[0] : "tarnwick";

    openlog("tarnwick", LOG_PID | LOG_CONS, LOG_USER);

    if (argc < 2)
        fatal_exit("%s: need argument", prog);
    // Only the word alone: "check" with more words is a frame's first word.
    if (argc == 2 && std::strcmp(argv[1], "check") == 0) {
        int status = run_check(prog);
        closelog();
        return status;
    }

    read_settings(prog);
    if (const char *problem = config_problem())
        fatal_exit("cannot read %s: %s", CONFIG_PATH, problem);
    convert_settings(prog);

    if (const char *option = unsafe_setting())
        fatal_exit("option %s holds a character that would break the record (a quote, backslash, control "
                   "character or byte that is no UTF-8): set lorawan.radio.%s",
                   option, option);
    if (prefetched_value_cut(gw_settings.server))
        fatal_exit("option server is longer than 63 characters: set lorawan.general.server");
    if (port_out_of_range(gw_settings.port))
        fatal_exit("option port '%s' is not a number from 1 to 65535: set lorawan.general.port", gw_settings.port);

    int gai = resolve_server(&server_addrs);
    if (gai != 0) {
        log_debug(LOG_ERR, "failed to open socket to any of %s:%s, %s", gw_settings.server, gw_settings.port,
                  gai_strerror(gai));
        fatal_exit_unless_logged(
            "server '%s' port '%s' cannot be resolved (%s): check lorawan.general.server and lorawan.general.port",
            gw_settings.server, gw_settings.port, gai_strerror(gai));
    }

    if (!parse_gateway_id(gw_settings.gateway_id, &gateway_eui)) {
        log_debug(LOG_ERR, "[GEUI] GatewayID: %s ERR", gw_settings.gateway_id);
        if (std::strcmp(gw_settings.gateway_id, "gateway_id") == 0)
            fatal_exit_unless_logged("gateway_id is not set: set lorawan.general.gateway_id");
        fatal_exit_unless_logged("gateway_id '%s' is not 16 hexadecimal digits: set lorawan.general.gateway_id",
                                 gw_settings.gateway_id);
    }

    // Written whatever pfwd_debug says.
    syslog(LOG_NOTICE, "Listening at SF%sBW125 on %u.%06u Mhz.\n", gw_settings.SF, gw_settings.frequency / 1000000,
           gw_settings.frequency % 1000000);

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
