// SPDX-License-Identifier: ISC
// `tarnwick check` against the loopback stub: the settings it prints, its
// verdicts and live probe in each situation an operator meets (a server
// that answers, stays silent, speaks only the other protocol version,
// refuses the port, does not resolve; a bad gateway_id; bad options), its
// exit status and its one summary line in the system log, and a PULL_RESP
// that comes during the probe handed over as a pull would hand it over.

#include "tests/fixtures/lorawan_frames.h"
#include "tests/support/gateway_values.h"
#include "tests/support/network_servers.h"
#include "tests/support/table_rows.h"
#include "tests/support/tarnwick_run.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

// Names resolve from the run's own files: lns.example.test is the stub.
void private_names(const std::string &dir)
{
    resolve_names_locally(dir, {"lns.example.test"});
}

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

// A line of check's output as a pattern: the text as it is, except
//   {n}           a number that varies (milliseconds)
//   {port}        the port the configuration names
//   {any}         any text (what the C library says)
//   {backend}     the UCI backend the program was built with
//   {suggestion}  what check suggests for a bad gateway_id: the EUI-64 of
//                 this host's MAC address when an interface has one
std::regex line_pattern(const std::string &text, const std::string &port)
{
    static const std::vector<std::pair<std::string, std::string>> holes = {
        {"{n}", R"(\d+)"},
        {"{any}", ".+"},
        {"{backend}", "(?:builtin|libuci)"},
        {"{suggestion}", "(?:this router's MAC address gives the EUI-64 ([0-9a-f]{6}fffe[0-9a-f]{6}): "
                         "uci set lorawan\\.general\\.gateway_id=\\1|"
                         "set lorawan\\.general\\.gateway_id to the gateway's EUI)"},
    };
    std::string re;
    for (std::size_t i = 0; i < text.size();) {
        if (text.compare(i, 6, "{port}") == 0) {
            re += port;
            i += 6;
            continue;
        }
        auto hole = std::find_if(holes.begin(), holes.end(),
                                 [&](const auto &h) { return text.compare(i, h.first.size(), h.first) == 0; });
        if (hole != holes.end()) {
            re += hole->second;
            i += hole->first.size();
            continue;
        }
        if (std::string_view(R"(\^$.|?*+()[]{})").find(text[i]) != std::string_view::npos)
            re += '\\';
        re += text[i++];
    }
    return std::regex(re);
}

// Each of `patterns` matches a line of `out`, in this order.
void expect_in_order(const std::vector<std::string> &out, const std::vector<std::string> &patterns,
                     const std::string &port, const std::string &full)
{
    std::size_t at = 0;
    for (const std::string &p : patterns) {
        std::regex re = line_pattern(p, port);
        while (at < out.size() && !std::regex_match(out[at], re))
            at++;
        EXPECT_LT(at, out.size()) << "no line \"" << p << "\" (in this order) in:\n" << full;
        if (at == out.size())
            return;
        at++;
    }
}

// The summary lines check wrote to the system log.
std::vector<std::string> summaries(const run_result &r)
{
    std::vector<std::string> found;
    for (const std::string &l : log_lines(r))
        if (l.starts_with("notice: check: ") || l.starts_with("err: check: "))
            found.push_back(l);
    return found;
}

// Servers for the probe.
server_stub::script acks_in_own_version()
{
    return [](server_stub &s, const stub_datagram &d) {
        if (wire_bytes ack = ack_echoing_version(d); !ack.empty())
            s.reply(d, ack);
    };
}

// Answers only the datagrams of `version`.
server_stub::script answers_only(std::uint8_t version)
{
    return [version](server_stub &s, const stub_datagram &d) {
        if (!d.data.empty() && d.data[0] == version)
            if (wire_bytes ack = ack_echoing_version(d); !ack.empty())
                s.reply(d, ack);
    };
}

// Answers every datagram, in `version`.
server_stub::script answers_in(std::uint8_t version)
{
    return [version](server_stub &s, const stub_datagram &d) {
        if (wire_bytes ack = ack_in_version(d, version); !ack.empty())
            s.reply(d, ack);
    };
}

// A downlink the server had queued for this gateway, at the moment 2e9.
const std::string QUEUED_DOWNLINK =
    R"({"txpk":{"imme":false,"tmst":2000000000,"freq":869.5250244140625,"rfch":0,"powe":27,"ant":0,"brd":0,)"
    R"("modu":"LORA","datr":"SF9BW125","codr":"4/5","ipol":true,"size":14,"data":")" +
    std::string(DOWNLINK_FRAME_BASE64) + R"("}})";

// The token of the PULL_RESP answering the PULL_DATA `d`.
wire_token resp_token(const stub_datagram &d)
{
    return {static_cast<std::uint8_t>(d.data.at(1) ^ 0xa5), static_cast<std::uint8_t>(d.data.at(2) ^ 0x5a)};
}

// Acknowledges in the datagram's version, and sends the downlink `json`
// right after the PULL_ACK.
server_stub::script acks_then_downlink(const std::string &json = QUEUED_DOWNLINK)
{
    return [json](server_stub &s, const stub_datagram &d) {
        wire_bytes ack = ack_echoing_version(d);
        if (ack.empty())
            return;
        s.reply(d, ack);
        if (d.data[3] == ID_PULL_DATA) {
            wire_token t = resp_token(d);
            s.reply(d, make_pull_resp(json, d.data[0], t.first, t.second), 20ms);
        }
    };
}

// The datagrams of the probe: (version, identifier) each.
std::vector<std::pair<int, int>> kinds(const run_result &r)
{
    std::vector<std::pair<int, int>> k;
    for (const stub_datagram &d : r.datagrams)
        k.emplace_back(d.data.size() > 0 ? d.data[0] : -1, d.data.size() > 3 ? d.data[3] : -1);
    return k;
}

const std::vector<std::pair<int, int>> PROBE_V1 = {{1, ID_PUSH_DATA}, {1, ID_PULL_DATA}};
const std::vector<std::pair<int, int>> PROBE_V2 = {{2, ID_PUSH_DATA}, {2, ID_PULL_DATA}};
const std::vector<std::pair<int, int>> PROBE_V1_THEN_V2 = {
    {1, ID_PUSH_DATA}, {1, ID_PULL_DATA}, {2, ID_PUSH_DATA}, {2, ID_PULL_DATA}};
const std::vector<std::pair<int, int>> PROBE_V2_THEN_V1 = {
    {2, ID_PUSH_DATA}, {2, ID_PULL_DATA}, {1, ID_PUSH_DATA}, {1, ID_PULL_DATA}};

const std::string ACKS_NOTE = "  note  an ACK shows only that the server parsed the datagrams, not that it knows "
                              "gateway EUI a840411d2c3b4e5f: check its console";

// One situation: the settings, the server (nullptr: silent), what check
// prints (lines as line_pattern() reads them, in this order, the last one
// the last line), whether it probes, and its exit status and summary line.
struct check_case {
    const char *name;
    config_overrides overrides;
    run_options opt;
    server_stub::script server;
    std::vector<std::string> lines;
    bool probes;
    int exit_status;
    const char *summary;
    std::function<void(const run_result &)> check;
};

void PrintTo(const check_case &c, std::ostream *os)
{
    *os << c.name;
}

const std::string SUGGESTED = "{suggestion}";

const check_case CHECK_CASES[] = {
    {"Version2WithEveryDownlinkOptionSet",
     {{"protocol", "2"}, {"pull_window", "7"}, {"downlink", "0"}},
     {},
     acks_in_own_version(),
     {"  pull_window   7", "  protocol      2", "  downlink      0", "verdicts:",
      "  ok    pull_window 7: the pull listens 7 s", "  ok    protocol 2: version 2, a TX_ACK for every downlink",
      "  ok    downlink 0: uplink only: no PULL_DATA after uplinks", "probe: 127.0.0.1 port {port}, protocol version 2",
      "  ok    PUSH_ACK in {n} ms", "  ok    PULL_ACK in {n} ms", ACKS_NOTE, "result: every check passed"},
     true,
     0,
     "notice: check: every check passed",
     [](const run_result &r) { EXPECT_EQ(kinds(r), PROBE_V2); }},
    {"ServerByName",
     {{"server", "lns.example.test"}},
     {.prepare = private_names},
     acks_in_own_version(),
     {"  server        lns.example.test", "  ok    server lns.example.test resolves to 127.0.0.1",
      "probe: lns.example.test port {port}, protocol version 1", "  ok    PUSH_ACK in {n} ms",
      "  ok    PULL_ACK in {n} ms", "result: every check passed"},
     true,
     0,
     "notice: check: every check passed",
     nullptr},
    // Silence in version 1, then in version 2.
    {"SilentServer",
     {},
     {},
     nullptr,
     {"probe: 127.0.0.1 port {port}, protocol version 1",
      "  FAIL  no answer from server 127.0.0.1 port {port} within 1000 ms, in protocol version 1 or 2: check server, "
      "port and the firewall",
      "result: 1 failed (probe)"},
     true,
     1,
     "err: check: 1 failed (probe)",
     [](const run_result &r) {
         EXPECT_EQ(kinds(r), PROBE_V1_THEN_V2);
         EXPECT_GE(r.wall, 2000ms);
     }},
    {"ServerAnswersOnlyVersion2",
     {},
     {},
     answers_only(2),
     {"probe: 127.0.0.1 port {port}, protocol version 1",
      "  FAIL  the server answers only protocol version 2: set lorawan.general.protocol='2'",
      "result: 1 failed (protocol)"},
     true,
     1,
     "err: check: 1 failed (protocol)",
     [](const run_result &r) { EXPECT_EQ(kinds(r), PROBE_V1_THEN_V2); }},
    {"ServerAnswersOnlyVersion1",
     {{"protocol", "2"}},
     {},
     answers_only(1),
     {"probe: 127.0.0.1 port {port}, protocol version 2",
      "  FAIL  the server answers only protocol version 1: set lorawan.general.protocol='1'",
      "result: 1 failed (protocol)"},
     true,
     1,
     "err: check: 1 failed (protocol)",
     [](const run_result &r) { EXPECT_EQ(kinds(r), PROBE_V2_THEN_V1); }},
    // Acknowledgements in the other version tell it: no second probe.
    {"ServerAcknowledgesInTheOtherVersion",
     {},
     {},
     answers_in(2),
     {"probe: 127.0.0.1 port {port}, protocol version 1",
      "  FAIL  the server answers only protocol version 2: set lorawan.general.protocol='2'",
      "result: 1 failed (protocol)"},
     true,
     1,
     "err: check: 1 failed (protocol)",
     [](const run_result &r) { EXPECT_EQ(kinds(r), PROBE_V1); }},
    // Nothing listens on that port in a network of the run's own.
    {"RefusedPort",
     {{"port", "1700"}},
     {.private_net = true},
     nullptr,
     {"probe: 127.0.0.1 port 1700, protocol version 1",
      "  FAIL  server 127.0.0.1 port 1700 refused the datagrams (ICMP port unreachable): nothing listens there; "
      "check server and port",
      "result: 1 failed (probe)"},
     true,
     1,
     "err: check: 1 failed (probe)",
     // Told at once, not after waiting for an answer.
     [](const run_result &r) { EXPECT_LT(r.wall, scaled(900ms)); }},
    {"ServerDoesNotResolve",
     {{"server", "lns.example.invalid"}},
     {.prepare = private_names, .private_net = true},
     nullptr,
     {"  FAIL  server 'lns.example.invalid' does not resolve: {any}: set lorawan.general.server", "  ok    port {port}",
      "result: 1 failed (server)"},
     false,
     1,
     "err: check: 1 failed (server)",
     nullptr},
    {"GatewayIdTooShort",
     {{"gateway_id", "a840411d2c3b4e5"}},
     {},
     acks_in_own_version(),
     {"  FAIL  gateway_id 'a840411d2c3b4e5' is not 16 hexadecimal digits: " + SUGGESTED,
      "result: 1 failed (gateway_id)"},
     false,
     1,
     "err: check: 1 failed (gateway_id)",
     nullptr},
    {"GatewayIdNotHexadecimal",
     {{"gateway_id", "a840411d2c3b4e5g"}},
     {},
     acks_in_own_version(),
     {"  FAIL  gateway_id 'a840411d2c3b4e5g' is not 16 hexadecimal digits: " + SUGGESTED,
      "result: 1 failed (gateway_id)"},
     false,
     1,
     "err: check: 1 failed (gateway_id)",
     nullptr},
    {"GatewayIdNotSet",
     {{"gateway_id", std::nullopt}},
     {},
     acks_in_own_version(),
     {"  gateway_id    (not set)", "  FAIL  gateway_id is not set: " + SUGGESTED, "result: 1 failed (gateway_id)"},
     false,
     1,
     "err: check: 1 failed (gateway_id)",
     nullptr},
    // Each failure is named, in the order of the verdicts; the probe still
    // runs, in the version used instead.
    {"EveryBadOptionIsNamed",
     {{"SF", "13"},
      {"coderate", "9"},
      {"rx_frequency", "100000000"},
      {"pull_window", "0"},
      {"protocol", "3"},
      {"downlink", "yes"}},
     {},
     acks_in_own_version(),
     {"  FAIL  SF '13' is not 7 to 12: set lorawan.radio.SF",
      "  FAIL  coderate '9' is not 5 to 8 (4/9): set lorawan.radio.coderate",
      "  FAIL  rx_frequency '100000000' (100000000 Hz) is in no LoRa band: set lorawan.radio.rx_frequency",
      "  FAIL  pull_window '0' is not 1 to 30: the pull listens 5 s instead: set lorawan.general.pull_window",
      "  FAIL  protocol '3' is not 1 or 2: version 1 instead: set lorawan.general.protocol",
      "  FAIL  downlink 'yes' is not 0 or 1: uplinks pull downlinks instead: set lorawan.general.downlink",
      "probe: 127.0.0.1 port {port}, protocol version 1", "  ok    PUSH_ACK in {n} ms", "  ok    PULL_ACK in {n} ms",
      "result: 6 failed (SF, coderate, rx_frequency, pull_window, protocol, downlink)"},
     true,
     1,
     "err: check: 6 failed (SF, coderate, rx_frequency, pull_window, protocol, downlink)",
     nullptr},
};

class CheckSituations : public ::testing::TestWithParam<check_case> {};

// A PULL_RESP that comes during the probe, in each protocol version.
struct probe_downlink_case {
    const char *name;
    const char *protocol;
};

void PrintTo(const probe_downlink_case &c, std::ostream *os)
{
    *os << c.name;
}

const probe_downlink_case PROBE_DOWNLINK_CASES[] = {{"Version1", "1"}, {"Version2", "2"}};

class PullRespDuringTheProbe : public ::testing::TestWithParam<probe_downlink_case> {};

run_result check_run(server_stub &stub, const config_overrides &overrides, run_options opt = {})
{
    opt.args = {"check"};
    opt.config = lorawan_config(stub.port(), overrides);
    return run_program(opt, &stub);
}

// The port the configuration names.
std::string port_of(const config_overrides &overrides, const server_stub &stub)
{
    for (const auto &[name, value] : overrides)
        if (name == "port" && value)
            return *value;
    return std::to_string(stub.port());
}

} // namespace

// Everything right: every option in effect, every verdict, the probe.
TEST(Check, EverythingRightPrintsEachSettingVerdictAndTheProbe)
{
    server_stub stub;
    ASSERT_TRUE(stub.ok());
    stub.set_script(acks_in_own_version());
    run_result r = check_run(stub, {});
    EXPECT_EQ(r.exit_status, 0) << r.out << r.log_text();
    EXPECT_EQ(r.err, "");
    const std::vector<std::string> want = {
        "tarnwick check",
        "settings: /etc/config/lorawan, read with the {backend} UCI backend",
        "  server        127.0.0.1",
        "  port          {port}",
        "  gateway_id    a840411d2c3b4e5f",
        "  mail          gateway@example.net",
        "  lati          52.1",
        "  long          114.057865",
        "  pfwd_debug    1",
        "  SF            7",
        "  coderate      5",
        "  BW            125",
        "  rx_frequency  868100000",
        "  pull_window   5 (default)",
        "  protocol      1 (default)",
        "  downlink      1 (default)",
        "  stat_interval (not set: no status records between frames)",
        "verdicts:",
        "  ok    gateway_id a840411d2c3b4e5f",
        "  ok    server 127.0.0.1 resolves to 127.0.0.1",
        "  ok    port {port}",
        "  ok    SF 7",
        "  ok    coderate 5 (4/5)",
        "  ok    rx_frequency 868100000 Hz: EU868 channel 0 (868.100000 MHz)",
        "  ok    pull_window not set: the pull listens 5 s",
        "  ok    protocol not set: version 1",
        "  ok    downlink not set: uplinks pull downlinks",
        "probe: 127.0.0.1 port {port}, protocol version 1",
        "  ok    PUSH_ACK in {n} ms",
        "  ok    PULL_ACK in {n} ms",
        ACKS_NOTE,
        "result: every check passed",
    };
    std::vector<std::string> out = split_lines(r.out);
    ASSERT_EQ(out.size(), want.size()) << r.out;
    const std::string port = std::to_string(stub.port());
    for (std::size_t i = 0; i < want.size(); i++)
        EXPECT_TRUE(std::regex_match(out[i], line_pattern(want[i], port))) << out[i] << "\nwanted: " << want[i];
    EXPECT_EQ(summaries(r), std::vector<std::string>{"notice: check: every check passed"}) << r.log_text();

    // One stat record and one PULL_DATA, both with the gateway's EUI.
    ASSERT_EQ(kinds(r), PROBE_V1);
    for (const stub_datagram &d : r.datagrams)
        EXPECT_EQ(parse_gateway_datagram(d.data).gateway_eui, GATEWAY_EUI);
    EXPECT_TRUE(parse_gateway_datagram(r.datagrams[0].data).json.starts_with(R"({"stat":{"time":")"))
        << to_text(r.datagrams[0].data);
    EXPECT_EQ(r.datagrams[1].data.size(), 12u);
}

TEST_P(CheckSituations, VerdictsExitStatusAndSummary)
{
    const check_case &c = GetParam();
    server_stub stub;
    ASSERT_TRUE(stub.ok());
    if (c.server)
        stub.set_script(c.server);
    run_result r = check_run(stub, c.overrides, c.opt);
    EXPECT_EQ(r.exit_status, c.exit_status) << r.out << r.log_text();
    std::vector<std::string> out = split_lines(r.out);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.front(), "tarnwick check");
    const std::string port = port_of(c.overrides, stub);
    expect_in_order(out, c.lines, port, r.out);
    EXPECT_TRUE(std::regex_match(out.back(), line_pattern(c.lines.back(), port))) << r.out;
    auto probe_lines =
        std::count_if(out.begin(), out.end(), [](const std::string &l) { return l.starts_with("probe: "); });
    EXPECT_EQ(probe_lines, c.probes ? 1 : 0) << r.out;
    if (!c.probes) {
        EXPECT_TRUE(r.datagrams.empty());
    }
    EXPECT_EQ(summaries(r), std::vector<std::string>{c.summary}) << r.log_text();
    if (c.check)
        c.check(r);
}

INSTANTIATE_TEST_SUITE_P(, CheckSituations, ::testing::ValuesIn(CHECK_CASES), row_name());

// Handed over exactly as a pull hands it over: dltx (no delay_us: no uplink
// gives the moment a reference), then dldata, and in version 2 a TX_ACK from
// the pull's socket.
TEST_P(PullRespDuringTheProbe, IsHandedOver)
{
    const probe_downlink_case &c = GetParam();
    server_stub stub;
    ASSERT_TRUE(stub.ok());
    stub.set_script(acks_then_downlink());
    run_result r = check_run(stub, {{"protocol", c.protocol}}, {.dldata = PREVIOUS_DOWNLINK});
    EXPECT_EQ(r.exit_status, 0) << r.out << r.log_text();
    EXPECT_TRUE(r.out.ends_with("result: every check passed\n")) << r.out;
    EXPECT_EQ(r.read_file("var/iot/dldata"), to_text(DOWNLINK_FRAME));
    dltx_fields f;
    f.freq = 869525024;
    f.datr = "SF9BW125";
    f.sf = 9;
    f.bw = 125;
    f.powe = 27;
    f.ipol = 1;
    f.tmst = 2000000000u;
    EXPECT_EQ(r.read_file("var/iot/dltx"), dltx_text(DOWNLINK_FRAME_BASE64, DOWNLINK_FRAME.size(), f));
    const bool version2 = c.protocol[0] == '2';
    ASSERT_EQ(r.datagrams.size(), version2 ? 3u : 2u) << r.out;
    if (version2) {
        const stub_datagram &tx_ack = r.datagrams[2];
        EXPECT_EQ(to_hex(tx_ack.data), to_hex(expected_tx_ack(resp_token(r.datagrams[1]), GATEWAY_EUI, "NONE")))
            << to_text(tx_ack.data);
        EXPECT_EQ(ntohs(tx_ack.from.sin_port), ntohs(r.datagrams[1].from.sin_port));
    }
}

INSTANTIATE_TEST_SUITE_P(, PullRespDuringTheProbe, ::testing::ValuesIn(PROBE_DOWNLINK_CASES), row_name());

// A downlink whose data holds a character outside base64, queued for the
// gateway: the probe answers it as a pull does (TX_FREQ, nothing handed
// over), and the operator still gets the check's result and its summary
// line.
TEST(Check, AMalformedDownlinkDuringTheProbeStillEndsWithAResult)
{
    server_stub stub;
    ASSERT_TRUE(stub.ok());
    stub.set_script(acks_then_downlink(R"({"txpk":{"imme":true,"size":5,"data":"aGV$bG8="}})"));
    run_result r = check_run(stub, {{"protocol", "2"}}, {.dldata = PREVIOUS_DOWNLINK});
    ASSERT_EQ(r.datagrams.size(), 3u) << r.out;
    EXPECT_EQ(to_hex(r.datagrams[2].data), to_hex(expected_tx_ack(resp_token(r.datagrams[1]), GATEWAY_EUI, "TX_FREQ")));
    EXPECT_EQ(r.read_file("var/iot/dldata"), PREVIOUS_DOWNLINK);
    EXPECT_FALSE(r.file_exists("var/iot/dltx"));
    std::vector<std::string> out = split_lines(r.out);
    ASSERT_FALSE(out.empty());
    EXPECT_TRUE(out.back().starts_with("result: ")) << r.out;
    EXPECT_EQ(summaries(r).size(), 1u) << r.log_text();
}
