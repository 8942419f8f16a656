// SPDX-License-Identifier: ISC
// `tarnwick check`: a health check for a person at the router's shell. It
// prints where the settings came from and every option in effect, a verdict
// on each, and the outcome of a live probe of the network server (one stat
// PUSH_DATA and one PULL_DATA); exit status 0 when everything passed.

#include "forwarder/check.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include "forwarder/debug_log.h"
#include "forwarder/run_settings.h"
#include "forwarder/settings.h"
#include "protocol/downlink.h"
#include "protocol/exchange.h"
#include "protocol/jobs.h"
#include "protocol/json.h"
#include "uci/uci_reader.h"

// How long the probe waits for the acknowledgements, and then for a
// PULL_RESP that a server sends right after its PULL_ACK.
static constexpr int PROBE_WAIT_MS = 1000;
static constexpr int PROBE_LINGER_MS = 200;

static int failures;
static char failed_names[128];

// One verdict line: "  ok    ..." or "  FAIL  ...". A failure's name goes
// into the summary.
__attribute__((format(printf, 3, 4))) static void verdict(bool ok, const char *name, const char *fmt, ...)
{
    std::fputs(ok ? "  ok    " : "  FAIL  ", stdout);
    va_list ap;
    va_start(ap, fmt);
    std::vprintf(fmt, ap);
    va_end(ap);
    std::putchar('\n');
    if (!ok) {
        failures++;
        std::size_t len = std::strlen(failed_names);
        std::snprintf(failed_names + len, sizeof failed_names - len, "%s%s", len ? ", " : "", name);
    }
}

// A number written in digits alone, from `low` to `high`.
static bool in_range(const char *text, long low, long high)
{
    if (!*text || std::strlen(text) > 9)
        return false;
    long v = 0;
    for (const char *p = text; *p; p++) {
        if (*p < '0' || *p > '9')
            return false;
        v = v * 10 + (*p - '0');
    }
    return v >= low && v <= high;
}

// The uplink channel grids of the regional plans, in hertz: the first
// channel, the spacing, how many, and the number of the first.
struct channel_grid {
    const char *plan;
    std::uint32_t first;
    std::uint32_t step;
    unsigned count;
    unsigned number;
};

static constexpr channel_grid GRIDS[] = {
    {"EU868", 868100000, 200000, 3, 0},   {"EU868", 867100000, 200000, 5, 3},  {"US915", 902300000, 200000, 64, 0},
    {"US915", 903000000, 1600000, 8, 64}, {"AU915", 915200000, 200000, 64, 0}, {"AU915", 915900000, 1600000, 8, 64},
    {"AS923", 923200000, 200000, 2, 0},   {"KR920", 922100000, 200000, 3, 0},  {"IN865", 865062500, 340000, 2, 0},
    {"IN865", 865985000, 0, 1, 2},        {"CN470", 470300000, 200000, 96, 0}, {"EU433", 433175000, 200000, 3, 0},
    {"RU864", 868900000, 200000, 2, 0},
};

// The bands LoRa may use: ISM / SRD bands of the regional plans.
struct band {
    const char *plans;
    std::uint32_t low;
    std::uint32_t high;
};

static constexpr band BANDS[] = {
    {"EU868/RU864", 863000000, 870000000}, {"US915/AU915/AS923", 902000000, 928000000},
    {"KR920", 920900000, 923300000},       {"IN865", 865000000, 867000000},
    {"CN470", 470000000, 510000000},       {"EU433", 433050000, 434790000},
};

static void check_frequency()
{
    std::uint32_t hz = gw_settings.frequency;
    for (const channel_grid &g : GRIDS) {
        if (hz < g.first || (g.step == 0 ? hz != g.first : (hz - g.first) % g.step != 0))
            continue;
        unsigned n = g.step == 0 ? 0 : (hz - g.first) / g.step;
        if (n < g.count) {
            verdict(true, "rx_frequency", "rx_frequency %u Hz: %s channel %u (%u.%06u MHz)", hz, g.plan, g.number + n,
                    hz / 1000000, hz % 1000000);
            return;
        }
    }
    for (const band &b : BANDS) {
        if (hz >= b.low && hz <= b.high) {
            verdict(true, "rx_frequency", "rx_frequency %u Hz: inside the %s band, not a default uplink channel", hz,
                    b.plans);
            return;
        }
    }
    verdict(false, "rx_frequency", "rx_frequency '%s' (%u Hz) is in no LoRa band: set lorawan.radio.rx_frequency",
            gw_settings.rx_frequency, hz);
}

// The EUI-64 that this router's MAC address gives (FF FE in the middle):
// the usual choice of gateway_id. False when no interface has a MAC.
static bool suggested_eui(char *out, std::size_t cap)
{
    static constexpr const char *PREFERRED[] = {"br-lan", "eth0", nullptr};
    char path[300];
    char mac[32] = "";
    DIR *dir = opendir("/sys/class/net");
    const dirent *e = nullptr;
    for (int i = 0; i < 64; i++) {
        const char *name = i < 2 ? PREFERRED[i] : nullptr;
        if (!name) {
            e = dir ? readdir(dir) : nullptr;
            if (!e)
                break;
            name = e->d_name;
        }
        if (name[0] == '.' || std::strcmp(name, "lo") == 0)
            continue;
        std::snprintf(path, sizeof path, "/sys/class/net/%s/address", name);
        int fd = open(path, O_RDONLY);
        if (fd < 0)
            continue;
        ssize_t n = read(fd, mac, sizeof mac - 1);
        close(fd);
        unsigned b[6];
        mac[n > 0 ? n : 0] = '\0';
        if (std::sscanf(mac, "%2x:%2x:%2x:%2x:%2x:%2x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) == 6 &&
            (b[0] | b[1] | b[2] | b[3] | b[4] | b[5]) != 0) {
            std::snprintf(out, cap, "%02x%02x%02xfffe%02x%02x%02x", b[0], b[1], b[2], b[3], b[4], b[5]);
            if (dir)
                closedir(dir);
            return true;
        }
    }
    if (dir)
        closedir(dir);
    return false;
}

static void print_settings()
{
    struct shown {
        const char *name;
        const char *text;
        const char *when_missing; // null: the slot holds the default
    };
    char window[16];
    std::snprintf(window, sizeof window, "%i", gw_settings.pull_window_seconds);
    const shown options[] = {
        {"server", gw_settings.server, nullptr},
        {"port", gw_settings.port, nullptr},
        {"gateway_id", gw_settings.gateway_id, ""},
        {"mail", gw_settings.mail, ""},
        {"lati", gw_settings.lati, ""},
        {"long", gw_settings.long_, ""},
        {"pfwd_debug", gw_settings.pfwd_debug, ""},
        {"SF", gw_settings.SF, ""},
        {"coderate", gw_settings.coderate, ""},
        {"BW", gw_settings.BW, ""},
        {"rx_frequency", gw_settings.rx_frequency, nullptr},
        {"pull_window", gw_settings.pull_window, window},
        {"protocol", gw_settings.protocol, gw_settings.protocol_version == 2 ? "2" : "1"},
        {"downlink", gw_settings.downlink, gw_settings.downlink_enabled ? "1" : "0"},
    };
    std::printf("settings: %s, read with the %s UCI backend\n", CONFIG_PATH, cfg_backend_name());
    for (const shown &o : options) {
        if (prefetched_found(o.text))
            std::printf("  %-13s %s\n", o.name, o.text);
        else if (!o.when_missing || o.when_missing[0])
            std::printf("  %-13s %s (default)\n", o.name, o.when_missing ? o.when_missing : o.text);
        else
            std::printf("  %-13s (not set)\n", o.name);
    }
    char interval[SLOT_SIZE] = "stat_interval";
    if (read_option("general", interval))
        std::printf("  %-13s %s\n", "stat_interval", interval);
    else
        std::printf("  %-13s (not set: no status records between frames)\n", "stat_interval");
}

static void check_gateway_id(bool *probe)
{
    if (parse_gateway_id(gw_settings.gateway_id, &gateway_eui)) {
        verdict(true, "gateway_id", "gateway_id %s", gw_settings.gateway_id);
        return;
    }
    *probe = false;
    char what[SLOT_SIZE + 48];
    if (prefetched_found(gw_settings.gateway_id))
        std::snprintf(what, sizeof what, "gateway_id '%s' is not 16 hexadecimal digits", gw_settings.gateway_id);
    else
        std::snprintf(what, sizeof what, "gateway_id is not set");
    char eui[20];
    if (suggested_eui(eui, sizeof eui))
        verdict(false, "gateway_id",
                "%s: this router's MAC address gives the EUI-64 %s: uci set lorawan.general.gateway_id=%s", what, eui,
                eui);
    else
        verdict(false, "gateway_id", "%s: set lorawan.general.gateway_id to the gateway's EUI", what);
}

static void check_server_and_port(bool *probe)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *host = nullptr;
    int gai = 0;
    if (prefetched_value_cut(gw_settings.server)) {
        verdict(false, "server", "server is longer than 63 characters: set lorawan.general.server");
        *probe = false;
    } else if ((gai = getaddrinfo(gw_settings.server, nullptr, &hints, &host)) != 0) {
        verdict(false, "server", "server '%s' does not resolve: %s: set lorawan.general.server", gw_settings.server,
                gai_strerror(gai));
        *probe = false;
    } else {
        char list[128] = "";
        for (const addrinfo *ai = host; ai; ai = ai->ai_next) {
            char a[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(ai->ai_addr)->sin_addr, a, sizeof a);
            std::size_t len = std::strlen(list);
            std::snprintf(list + len, sizeof list - len, "%s%s", len ? ", " : "", a);
        }
        freeaddrinfo(host);
        verdict(true, "server", "server %s resolves to %s", gw_settings.server, list);
    }

    if (port_out_of_range(gw_settings.port)) {
        verdict(false, "port", "port '%s' is not a number from 1 to 65535: set lorawan.general.port", gw_settings.port);
        *probe = false;
    } else if (*probe && (gai = resolve_server(&server_addrs)) != 0) {
        verdict(false, "port", "port '%s' is no port number or service name: %s: set lorawan.general.port",
                gw_settings.port, gai_strerror(gai));
        *probe = false;
    } else {
        verdict(true, "port", "port %s", gw_settings.port);
    }
}

// Verdicts on the options; true when the probe can go ahead (a server that
// resolves and a gateway identifier).
static bool judge_settings()
{
    std::puts("verdicts:");
    bool probe = true;
    check_gateway_id(&probe);
    check_server_and_port(&probe);

    bool sf_ok = in_range(gw_settings.SF, 7, 12);
    verdict(sf_ok, "SF", sf_ok ? "SF %s" : "SF '%s' is not 7 to 12: set lorawan.radio.SF", gw_settings.SF);
    bool cr_ok = in_range(gw_settings.coderate, 5, 8);
    verdict(cr_ok, "coderate",
            cr_ok ? "coderate %s (4/%s)" : "coderate '%s' is not 5 to 8 (4/%s): set lorawan.radio.coderate",
            gw_settings.coderate, gw_settings.coderate);
    check_frequency();

    auto option_verdict = [](const char *name, const char *slot, bool valid, const char *rule, const char *effect) {
        if (!prefetched_found(slot))
            verdict(true, name, "%s not set: %s", name, effect);
        else if (valid)
            verdict(true, name, "%s %s: %s", name, slot, effect);
        else
            verdict(false, name, "%s '%s' is not %s: %s instead: set lorawan.general.%s", name, slot, rule, effect,
                    name);
    };
    char window[48];
    std::snprintf(window, sizeof window, "the pull listens %i s", gw_settings.pull_window_seconds);
    option_verdict("pull_window", gw_settings.pull_window, in_range(gw_settings.pull_window, 1, 30), "1 to 30", window);
    option_verdict("protocol", gw_settings.protocol, in_range(gw_settings.protocol, 1, 2), "1 or 2",
                   gw_settings.protocol_version == 2 ? "version 2, a TX_ACK for every downlink" : "version 1");
    option_verdict("downlink", gw_settings.downlink, in_range(gw_settings.downlink, 0, 1), "0 or 1",
                   gw_settings.downlink_enabled ? "uplinks pull downlinks" : "uplink only: no PULL_DATA after uplinks");
    return probe;
}

// What one probe in one protocol version got back.
struct probe_result {
    int push_ms = -1;          // PUSH_ACK round trip
    int pull_ms = -1;          // PULL_ACK round trip
    int other_version = 0;     // an acknowledgement came in this other version
    bool refused = false;      // ICMP: nothing listens at that port
    bool bad_downlink = false; // a PULL_RESP whose data was not base64
    int send_error = 0;
};

static probe_result probe(std::uint8_t version)
{
    probe_result r;
    static std::uint8_t stat[1024];
    packet_header h = make_packet_header(version, PUSH_DATA, gateway_eui);
    int length = build_stat_record(stat, h);
    int connect_error = 0;
    int up = open_server_socket(server_addrs, &connect_error);
    pull_session s;
    int pull_error = 0;
    if (up < 0 || connect_error != 0 || send(up, stat, static_cast<std::size_t>(length), 0) < 0) {
        r.send_error = up < 0 ? errno : connect_error != 0 ? connect_error : errno;
        return r;
    }
    timespec sent{};
    clock_gettime(CLOCK_MONOTONIC, &sent);
    if (!pull_start(s, version, nullptr, &pull_error)) {
        r.send_error = pull_error;
        close(up);
        return r;
    }

    // Both sockets until both acknowledgements are in (or the time is up),
    // then a little longer for a PULL_RESP the server sends right after.
    int stop_at = PROBE_WAIT_MS;
    for (int rounds = 0; rounds < 1000 && !r.refused; rounds++) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        int elapsed = elapsed_ms(sent, now);
        if (r.push_ms >= 0 && s.ack_ms >= 0 && stop_at == PROBE_WAIT_MS)
            stop_at = elapsed + PROBE_LINGER_MS;
        if (elapsed >= stop_at)
            break;
        pollfd fds[2] = {{up, POLLIN, 0}, {s.socket, POLLIN, 0}};
        if (poll(fds, 2, stop_at - elapsed) <= 0)
            continue;
        std::uint8_t reply[2048];
        for (int i = 0; i < 2; i++) {
            if (!(fds[i].revents & (POLLIN | POLLERR)))
                continue;
            ssize_t got = recv(fds[i].fd, reply, sizeof reply - 1, MSG_DONTWAIT);
            clock_gettime(CLOCK_MONOTONIC, &now);
            if (got < 0) {
                r.refused = r.refused || errno == ECONNREFUSED;
            } else if (i == 1) {
                r.bad_downlink = r.bad_downlink || !pull_take(s, reply, static_cast<std::size_t>(got), now);
                if (s.other_version)
                    r.other_version = s.other_version;
            } else {
                ack_verdict v =
                    judge_ack(reply, static_cast<std::size_t>(got), version, PUSH_ACK, h.token[0], h.token[1]);
                if (v == ack_verdict::accepted && r.push_ms < 0)
                    r.push_ms = elapsed_ms(sent, now);
                else if (v == ack_verdict::other_version)
                    r.other_version = reply[0];
            }
        }
    }
    r.pull_ms = s.ack_ms;
    close(up);
    close(s.socket);
    return r;
}

static void live_probe()
{
    const std::uint8_t version = gw_settings.protocol_version;
    std::printf("probe: %s port %s, protocol version %i\n", gw_settings.server, gw_settings.port, version);
    probe_result r = probe(version);
    if (r.send_error != 0) {
        verdict(false, "probe", "cannot send to server %s port %s: %s", gw_settings.server, gw_settings.port,
                std::strerror(r.send_error));
        return;
    }
    if (r.refused) {
        verdict(false, "probe",
                "server %s port %s refused the datagrams (ICMP port unreachable): nothing listens there; check server "
                "and port",
                gw_settings.server, gw_settings.port);
        return;
    }
    const std::uint8_t other = version == 1 ? 2 : 1;
    if (r.push_ms < 0 && r.pull_ms < 0 && !r.other_version) {
        // Silence: perhaps the server answers only the other version.
        probe_result o = probe(other);
        if (o.push_ms >= 0 || o.pull_ms >= 0)
            r.other_version = other;
    }
    if (r.other_version) {
        verdict(false, "protocol", "the server answers only protocol version %i: set lorawan.general.protocol='%i'",
                r.other_version, r.other_version);
        return;
    }
    if (r.push_ms < 0 && r.pull_ms < 0) {
        verdict(false, "probe",
                "no answer from server %s port %s within %i ms, in protocol version 1 or 2: check server, port and the "
                "firewall",
                gw_settings.server, gw_settings.port, PROBE_WAIT_MS);
        return;
    }
    verdict(r.push_ms >= 0, "probe", r.push_ms >= 0 ? "PUSH_ACK in %i ms" : "no PUSH_ACK within %i ms",
            r.push_ms >= 0 ? r.push_ms : PROBE_WAIT_MS);
    verdict(r.pull_ms >= 0, "probe", r.pull_ms >= 0 ? "PULL_ACK in %i ms" : "no PULL_ACK within %i ms",
            r.pull_ms >= 0 ? r.pull_ms : PROBE_WAIT_MS);
    if (r.bad_downlink)
        verdict(false, "probe", "the server sent a downlink whose data is not base64: it was not handed over");
    std::printf("  note  an ACK shows only that the server parsed the datagrams, not that it knows gateway EUI %s: "
                "check its console\n",
                gw_settings.gateway_id);
}

int run_check(const char *prog)
{
    std::printf("tarnwick check\n");
    read_settings(prog);
    if (const char *problem = config_problem()) {
        std::printf("settings: %s, read with the %s UCI backend\n", CONFIG_PATH, cfg_backend_name());
        std::puts("verdicts:");
        verdict(false, "settings", "cannot read %s: %s", CONFIG_PATH, problem);
    } else {
        convert_settings(prog);
        print_settings();
        if (judge_settings())
            live_probe();
    }
    if (failures == 0) {
        std::puts("result: every check passed");
        log_always(LOG_NOTICE, "check: every check passed");
    } else {
        std::printf("result: %i failed (%s)\n", failures, failed_names);
        log_always(LOG_ERR, "check: %i failed (%s)", failures, static_cast<const char *>(failed_names));
    }
    std::fflush(stdout);
    free_server_addrs();
    return failures == 0 ? 0 : 1;
}
