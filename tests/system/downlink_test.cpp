// SPDX-License-Identifier: ISC
// Downlinks as two kinds of network server send them (network_servers.h):
// class A windows and class C, data and join-accepts, what the radio side
// finds in /var/iot/dltx and /var/iot/dldata, the pull window, the TX_ACK
// of protocol version 2 with its codes, an uplink-only gateway, and a
// server that speaks the other protocol version. Most rows listen for a
// whole pull window: each row is a CTest of its own so that they run side
// by side.

#include "tests/fixtures/lorawan_frames.h"
#include "tests/support/gateway_values.h"
#include "tests/support/network_servers.h"
#include "tests/support/table_rows.h"
#include "tests/support/tarnwick_run.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

// A join-accept as the radio side gets it (MHDR 0x20; the rest encrypted).
const wire_bytes JOIN_ACCEPT = *from_hex("20 49 3e eb 51 fb a2 11 6f 81 0e db 37 42 97 51 42");
// A downlink one byte longer than a LoRa frame can be.
const wire_bytes OVERSIZE(256, 0x60);

bool has_line(const std::vector<std::string> &lines, const std::string &line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// Each line matches its pattern, and there are as many of both.
void expect_lines_match(const std::vector<std::string> &lines, const std::vector<std::string> &patterns,
                        const run_result &r)
{
    ASSERT_EQ(lines.size(), patterns.size()) << r.log_text();
    for (std::size_t i = 0; i < lines.size(); i++)
        EXPECT_TRUE(std::regex_match(lines[i], std::regex(patterns[i])))
            << "line " << i << ": " << lines[i] << "\npattern: " << patterns[i];
}

// One uplink that asks for a downlink; /var/iot/dldata holds
// PREVIOUS_DOWNLINK before it.
run_result uplink(network_server &server, const config_overrides &overrides = {}, run_options opt = {})
{
    opt.args = {"rxpk", "-57", std::to_string(UPLINK_FRAME.size())};
    opt.argv0 = INSTALLED_TARNWICK;
    opt.config = lorawan_config(server.port(), overrides);
    opt.data = UPLINK_PAYLOAD;
    opt.dldata = PREVIOUS_DOWNLINK;
    return run_program(opt, &server.stub());
}

// The tmst of the run's rxpk (its first datagram).
std::uint32_t uplink_tmst_of(const run_result &r)
{
    std::optional<std::uint32_t> tmst = r.datagrams.empty() ? std::nullopt : rxpk_tmst(r.datagrams[0]);
    EXPECT_TRUE(tmst.has_value()) << "no rxpk tmst in the run's first datagram";
    return tmst.value_or(0);
}

// What dltx must say: `f` with the tmst line that delay_us implies.
std::string expected_dltx(const run_result &r, const wire_bytes &payload, dltx_fields f)
{
    if (f.delay_us)
        f.tmst = uplink_tmst_of(r) + *f.delay_us;
    return dltx_text(base64_encode(payload), payload.size(), f);
}

// How long the run listened after its PULL_DATA went out.
std::chrono::duration<double> listened(const run_result &r)
{
    return r.wall - (r.datagrams.at(1).arrival - r.start);
}

// dltx as each server's windows give it: a class A window with the
// window's delay (its tmst is the uplink's plus that), or class C (none).
dltx_fields window(std::uint32_t freq, const char *datr, unsigned sf, int powe, std::optional<std::uint32_t> delay_us)
{
    dltx_fields f;
    f.freq = freq;
    f.datr = datr;
    f.sf = sf;
    f.bw = 125;
    f.powe = powe;
    f.ipol = 1;
    f.imme = delay_us ? 0 : 1;
    f.delay_us = delay_us;
    return f;
}
dltx_fields holding_rx1(std::uint32_t delay_us = 5000000)
{
    return window(868100000, "SF7BW125", 7, 16, delay_us);
}
dltx_fields holding_rx2(std::uint32_t delay_us = 6000000)
{
    return window(869525024, "SF9BW125", 9, 27, delay_us);
}
dltx_fields holding_class_c()
{
    return window(869525024, "SF9BW125", 9, 27, std::nullopt);
}
dltx_fields prompt_rx1(std::uint32_t delay_us = 1000000)
{
    return window(868099976, "SF7BW125", 7, 14, delay_us);
}
dltx_fields prompt_rx2(std::uint32_t delay_us = 2000000)
{
    return window(869525024, "SF12BW125", 12, 14, delay_us);
}
dltx_fields prompt_class_c()
{
    return window(869525024, "SF12BW125", 12, 14, std::nullopt);
}

// The server's edits of rows that send something other than the usual.
void booleans_as_strings(txpk_members &m, const downlink_moment &)
{
    set_member(m, "imme", quoted("false"));
    set_member(m, "ipol", quoted("true"));
    set_member(m, "ncrc", quoted("true"));
}
void tmst_unwrapped(txpk_members &m, const downlink_moment &d)
{
    // The uplink's tmst plus the delay, not taken modulo 2^32.
    set_member(m, "tmst", std::to_string(std::uint64_t{d.uplink_tmst} + 1000000u + (std::uint64_t{1} << 32)));
}
void only_what_must_be_there(txpk_members &m, const downlink_moment &)
{
    std::erase_if(m, [](const auto &p) { return p.first != "imme" && p.first != "size" && p.first != "data"; });
}
void fsk(txpk_members &m, const downlink_moment &)
{
    set_member(m, "modu", quoted("FSK"));
    set_member(m, "datr", "50000");
    set_member(m, "fdev", "25000");
    erase_member(m, "codr");
}
void gps_time_only(txpk_members &m, const downlink_moment &)
{
    erase_member(m, "tmst");
    set_member(m, "tmms", "1356124568000");
}
void moment_already_past(txpk_members &m, const downlink_moment &d)
{
    // 0.1 s after the uplink: the PULL_RESP comes at 0.3 s.
    set_member(m, "tmst", std::to_string(d.uplink_tmst + 100000u));
}
void size_one_too_many(txpk_members &m, const downlink_moment &)
{
    set_member(m, "size", std::to_string(DOWNLINK_FRAME.size() + 1));
}
void character_outside_base64(txpk_members &m, const downlink_moment &)
{
    set_member(m, "size", "5");
    set_member(m, "data", quoted("aGV$bG8="));
}

const std::string FSK_WARNING = "warning: WARNING: [down] txpk modulation FSK is not LORA: not handed over";
const std::string TMMS_WARNING =
    "warning: WARNING: [down] txpk gives only tmms (GPS time), which this gateway does not have: not handed over";
const std::string OVERSIZE_WARNING =
    "warning: WARNING: [down] downlink of 256 bytes is longer than a LoRa frame (at most 255): not handed over";

// A downlink one of the servers sends after an uplink (protocol version 1),
// and what the radio side gets of it: dltx line for line and the payload in
// dldata, or (dltx nullopt) nothing: dldata keeps PREVIOUS_DOWNLINK, no
// dltx appears, and `warning` says why (empty: the window closed before
// the PULL_RESP came).
struct downlink_case {
    const char *name;
    server_style style;
    downlink_order order;
    config_overrides overrides;
    std::optional<dltx_fields> dltx;
    std::string warning;
};

void PrintTo(const downlink_case &c, std::ostream *os)
{
    *os << c.name;
}

const config_overrides WINDOW_7 = {{"pull_window", "7"}};

const downlink_case DOWNLINK_CASES[] = {
    // Holding: each PULL_RESP 0.8 s before its moment, RX1 at + 4.2 s and
    // RX2 at + 5.2 s, which only a window longer than 5 s catches.
    {"HoldingDataRx1", server_style::holding, {rx_slot::rx1, false, DOWNLINK_FRAME}, {}, holding_rx1(), ""},
    {"HoldingDataRx2", server_style::holding, {rx_slot::rx2, false, DOWNLINK_FRAME}, WINDOW_7, holding_rx2(), ""},
    {"HoldingJoinAcceptRx1", server_style::holding, {rx_slot::rx1, true, JOIN_ACCEPT}, {}, holding_rx1(), ""},
    {"HoldingJoinAcceptRx2", server_style::holding, {rx_slot::rx2, true, JOIN_ACCEPT}, WINDOW_7, holding_rx2(), ""},
    {"HoldingClassC", server_style::holding, {rx_slot::class_c, false, DOWNLINK_FRAME}, {}, holding_class_c(), ""},
    {"HoldingDataRx2MissedByTheDefaultWindow",
     server_style::holding,
     {rx_slot::rx2, false, DOWNLINK_FRAME},
     {},
     std::nullopt,
     ""},
    {"HoldingJoinAcceptRx2MissedByTheDefaultWindow",
     server_style::holding,
     {rx_slot::rx2, true, JOIN_ACCEPT},
     {},
     std::nullopt,
     ""},
    // Prompt: each PULL_RESP 0.3 s after the uplink, whatever its window.
    {"PromptDataRx1", server_style::prompt, {rx_slot::rx1, false, DOWNLINK_FRAME}, {}, prompt_rx1(), ""},
    {"PromptDataRx2", server_style::prompt, {rx_slot::rx2, false, DOWNLINK_FRAME}, {}, prompt_rx2(), ""},
    {"PromptJoinAcceptRx1", server_style::prompt, {rx_slot::rx1, true, JOIN_ACCEPT}, {}, prompt_rx1(5000000), ""},
    {"PromptJoinAcceptRx2", server_style::prompt, {rx_slot::rx2, true, JOIN_ACCEPT}, {}, prompt_rx2(6000000), ""},
    {"PromptClassC", server_style::prompt, {rx_slot::class_c, false, DOWNLINK_FRAME}, {}, prompt_class_c(), ""},
    // What else servers send.
    {"BooleansAsStrings",
     server_style::prompt,
     {rx_slot::rx1, false, DOWNLINK_FRAME, booleans_as_strings},
     {},
     [] {
         dltx_fields f = prompt_rx1();
         f.ncrc = 1;
         return f;
     }(),
     ""},
    {"TmstSentUnwrappedPast2To32",
     server_style::prompt,
     {rx_slot::rx1, false, DOWNLINK_FRAME, tmst_unwrapped},
     {},
     prompt_rx1(),
     ""},
    // Only what must be there: every other key tells the radio side "not given".
    {"ClassCWithOnlySizeAndData",
     server_style::prompt,
     {rx_slot::class_c, false, DOWNLINK_FRAME, only_what_must_be_there},
     {},
     [] {
         dltx_fields f;
         f.imme = 1;
         return f;
     }(),
     ""},
    {"FskNotHandedOver",
     server_style::prompt,
     {rx_slot::rx1, false, DOWNLINK_FRAME, fsk},
     {},
     std::nullopt,
     FSK_WARNING},
    {"TmmsOnlyNotHandedOver",
     server_style::prompt,
     {rx_slot::rx1, false, DOWNLINK_FRAME, gps_time_only},
     {},
     std::nullopt,
     TMMS_WARNING},
    {"PayloadOver255BytesNotHandedOver",
     server_style::prompt,
     {rx_slot::rx1, false, OVERSIZE},
     {},
     std::nullopt,
     OVERSIZE_WARNING},
};

class ServerDownlinks : public ::testing::TestWithParam<downlink_case> {};

// The PULL_RESP whose fate a TX_ACK tells (protocol version 2 unless
// `protocol` says otherwise), sent by the prompt server: the code the
// gateway sends back (nullopt: no TX_ACK at all), whether the downlink was
// handed over (then dltx as `dltx` says) and the run's exit status.
struct tx_ack_case {
    const char *name;
    downlink_order order;
    const char *protocol;
    run_options opt;
    std::optional<std::string> code;
    std::optional<dltx_fields> dltx;
    int exit_status;
};

void PrintTo(const tx_ack_case &c, std::ostream *os)
{
    *os << c.name;
}

const tx_ack_case TX_ACK_CASES[] = {
    {"NoneWhenHandedOver", {rx_slot::rx1, false, DOWNLINK_FRAME}, "2", {}, "NONE", prompt_rx1(), 0},
    {"TooLateWhenItsMomentHadPassed",
     {rx_slot::rx1, false, DOWNLINK_FRAME, moment_already_past},
     "2",
     {},
     "TOO_LATE",
     prompt_rx1(100000),
     0},
    {"ClassCIsNeverLate", {rx_slot::class_c, false, DOWNLINK_FRAME}, "2", {}, "NONE", prompt_class_c(), 0},
    {"GpsUnlockedForTmmsOnly",
     {rx_slot::rx1, false, DOWNLINK_FRAME, gps_time_only},
     "2",
     {},
     "GPS_UNLOCKED",
     std::nullopt,
     0},
    {"TxFreqForFsk", {rx_slot::rx1, false, DOWNLINK_FRAME, fsk}, "2", {}, "TX_FREQ", std::nullopt, 0},
    {"TxFreqForAPayloadOver255Bytes", {rx_slot::rx1, false, OVERSIZE}, "2", {}, "TX_FREQ", std::nullopt, 0},
    {"TxFreqForSizeAndDataThatDisagree",
     {rx_slot::rx1, false, DOWNLINK_FRAME, size_one_too_many},
     "2",
     {},
     "TX_FREQ",
     std::nullopt,
     0},
    // The TX_ACK goes out before the run ends.
    {"TxFreqForACharacterOutsideBase64",
     {rx_slot::rx1, false, DOWNLINK_FRAME, character_outside_base64},
     "2",
     {},
     "TX_FREQ",
     std::nullopt,
     1},
    {"CollisionPacketWhenDldataCannotBeWritten",
     {rx_slot::rx1, false, DOWNLINK_FRAME},
     "2",
     {.iot_read_only = true},
     "COLLISION_PACKET",
     std::nullopt,
     0},
    {"Version1SendsNone", {rx_slot::rx1, false, DOWNLINK_FRAME}, "1", {}, std::nullopt, prompt_rx1(), 0},
};

class TxAck : public ::testing::TestWithParam<tx_ack_case> {};

// The pull window option: how long a pull listens after its PULL_DATA, and
// the notice line of a value that is not 1 to 30.
struct window_case {
    const char *name;
    const char *pull_window;
    std::chrono::seconds listens;
    const char *notice; // nullptr: none
};

void PrintTo(const window_case &c, std::ostream *os)
{
    *os << c.name;
}

const window_case WINDOW_CASES[] = {
    {"OneSecond", "1", 1s, nullptr},
    {"SevenSeconds", "7", 7s, nullptr},
    {"ZeroIsFive", "0", 5s, "notice: /usr/bin/tarnwick: option pull_window='0' is not 1 to 30 seconds: using 5"},
    {"ThirtyOneIsFive", "31", 5s, "notice: /usr/bin/tarnwick: option pull_window='31' is not 1 to 30 seconds: using 5"},
};

class PullWindow : public ::testing::TestWithParam<window_case> {};

// A server that acknowledges in the other protocol version: the run judges
// the acknowledgements as before and says once which version the server
// speaks. `lines` are the run's whole log, as patterns.
struct other_version_case {
    const char *name;
    const char *protocol;
    const char *pfwd_debug;
    std::uint8_t push_ack_version;
    std::uint8_t pull_ack_version;
    std::vector<std::string> lines;
};

void PrintTo(const other_version_case &c, std::ostream *os)
{
    *os << c.name;
}

const std::string LISTENING = R"(notice: Listening at SF7BW125 on 868\.100000 Mhz\.)";
const std::string RXPK = R"(notice: rxpk: \{"rxpk":.*)";
const std::string PUSH_ACK_LINE = R"(info: INFO: \[up\] PUSH_ACK received in \d+ ms)";
const std::string IGNORED = R"(warning: WARNING: \[up\] ignored invalid non-ACL packet)";

const other_version_case OTHER_VERSION_CASES[] = {
    {"Version1RunBothAcksInVersion2",
     "1",
     "1",
     2,
     2,
     {LISTENING, RXPK, IGNORED, "notice: the server speaks protocol version 2; set option protocol '2'",
      PULL_ACK_LINE_PATTERN}},
    {"Version1RunPullAckInVersion2",
     "1",
     "1",
     1,
     2,
     {LISTENING, RXPK, PUSH_ACK_LINE, "notice: the server speaks protocol version 2; set option protocol '2'",
      PULL_ACK_LINE_PATTERN}},
    // Neither acknowledgement counts; the notice is written without pfwd_debug.
    {"Version2RunBothAcksInVersion1WithoutDebug",
     "2",
     "0",
     1,
     1,
     {LISTENING, "notice: the server speaks protocol version 1; set option protocol '1'"}},
};

class OtherVersion : public ::testing::TestWithParam<other_version_case> {};

class Downlink : public ::testing::Test {};

} // namespace

TEST_P(ServerDownlinks, ReachTheRadioSide)
{
    const downlink_case &c = GetParam();
    network_server server(c.style);
    ASSERT_TRUE(server.ok());
    server.queue(c.order);
    run_result r = uplink(server, c.overrides);
    EXPECT_EQ(r.exit_status, 0) << r.log_text();
    ASSERT_EQ(server.downlinks().size(), 1u);
    ASSERT_GE(r.datagrams.size(), 2u);
    // Protocol version 1: nothing goes back for a PULL_RESP.
    EXPECT_EQ(r.datagrams.size(), 2u);
    std::vector<std::string> lines = log_lines(r);
    const bool received = c.dltx || !c.warning.empty();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), PULL_RESP_LINE), received ? 1 : 0) << r.log_text();
    if (c.dltx) {
        EXPECT_EQ(r.read_file("var/iot/dldata"), to_text(c.order.payload));
        EXPECT_EQ(r.read_file("var/iot/dltx"), expected_dltx(r, c.order.payload, *c.dltx));
        EXPECT_TRUE(std::none_of(lines.begin(), lines.end(), [](const std::string &l) {
            return l.starts_with("warning");
        })) << r.log_text();
    } else {
        EXPECT_EQ(r.read_file("var/iot/dldata"), PREVIOUS_DOWNLINK);
        EXPECT_FALSE(r.file_exists("var/iot/dltx"));
        if (!c.warning.empty()) {
            EXPECT_TRUE(has_line(lines, c.warning)) << r.log_text();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(, ServerDownlinks, ::testing::ValuesIn(DOWNLINK_CASES), row_name());

TEST_P(TxAck, TellsTheServerWhatBecameOfItsDownlink)
{
    const tx_ack_case &c = GetParam();
    network_server server(server_style::prompt);
    ASSERT_TRUE(server.ok());
    server.queue(c.order);
    run_result r = uplink(server, {{"protocol", c.protocol}}, c.opt);
    EXPECT_EQ(r.exit_status, c.exit_status) << r.log_text();
    ASSERT_EQ(server.downlinks().size(), 1u);
    ASSERT_GE(r.datagrams.size(), 2u);
    const std::uint8_t version = c.protocol[0] == '2' ? 2 : 1;
    EXPECT_EQ(r.datagrams[0].data.at(0), version);
    EXPECT_EQ(r.datagrams[1].data.at(0), version);
    EXPECT_EQ(r.datagrams[1].data.at(3), ID_PULL_DATA);
    if (c.code) {
        ASSERT_EQ(r.datagrams.size(), 3u) << r.log_text();
        const stub_datagram &tx_ack = r.datagrams[2];
        EXPECT_EQ(to_hex(tx_ack.data), to_hex(expected_tx_ack(server.downlinks()[0].token, GATEWAY_EUI, *c.code)))
            << to_text(tx_ack.data);
        // From the pull's socket.
        EXPECT_EQ(ntohs(tx_ack.from.sin_port), ntohs(r.datagrams[1].from.sin_port));
    } else {
        EXPECT_EQ(r.datagrams.size(), 2u);
    }
    if (c.dltx) {
        EXPECT_EQ(r.read_file("var/iot/dldata"), to_text(c.order.payload));
        EXPECT_EQ(r.read_file("var/iot/dltx"), expected_dltx(r, c.order.payload, *c.dltx));
    } else {
        EXPECT_EQ(r.read_file("var/iot/dldata"), PREVIOUS_DOWNLINK);
        EXPECT_FALSE(r.file_exists("var/iot/dltx"));
    }
}

INSTANTIATE_TEST_SUITE_P(, TxAck, ::testing::ValuesIn(TX_ACK_CASES), row_name());

// The holding server sends its first PULL_RESP 0.8 s before the moment;
// once the gateway has answered one with a TX_ACK, it sends the next one as
// soon as the PULL_DATA is in, seconds ahead. Both land, with the same delay.
TEST_F(Downlink, HoldingServerSendsRightAwayOnceItHasSeenATxAck)
{
    network_server server(server_style::holding);
    ASSERT_TRUE(server.ok());
    for (int run = 0; run < 2; run++) {
        SCOPED_TRACE(run == 0 ? "first uplink" : "second uplink");
        server.queue({rx_slot::rx1, false, DOWNLINK_FRAME});
        run_result r = uplink(server, {{"protocol", "2"}});
        EXPECT_EQ(r.exit_status, 0) << r.log_text();
        ASSERT_EQ(server.downlinks().size(), static_cast<std::size_t>(run + 1));
        const served_downlink &sent = server.downlinks().back();
        ASSERT_EQ(r.datagrams.size(), 3u) << r.log_text();
        EXPECT_EQ(to_hex(r.datagrams[2].data), to_hex(expected_tx_ack(sent.token, GATEWAY_EUI, "NONE")));
        auto answered = r.datagrams[2].arrival - r.datagrams[0].arrival;
        if (run == 0) {
            EXPECT_GE(sent.planned, 4200ms);
            EXPECT_GE(answered, 4100ms);
        } else {
            EXPECT_LT(sent.planned, 100ms);
            EXPECT_LT(answered, scaled(1000ms));
        }
        EXPECT_EQ(r.read_file("var/iot/dldata"), to_text(DOWNLINK_FRAME));
        EXPECT_EQ(r.read_file("var/iot/dltx"), expected_dltx(r, DOWNLINK_FRAME, holding_rx1()));
    }
    EXPECT_EQ(server.tx_acks_seen(), 2);
}

TEST_P(PullWindow, ListensThatLong)
{
    const window_case &c = GetParam();
    network_server server(server_style::prompt);
    ASSERT_TRUE(server.ok());
    run_result r = uplink(server, {{"pull_window", c.pull_window}});
    EXPECT_EQ(r.exit_status, 0) << r.log_text();
    ASSERT_EQ(r.datagrams.size(), 2u);
    EXPECT_GE(listened(r), c.listens);
    // The first receive that ends after the window: at most 200 ms later.
    EXPECT_LT(listened(r), c.listens + scaled(1000ms));
    std::vector<std::string> lines = log_lines(r);
    const std::string notice_start = "notice: /usr/bin/tarnwick: option pull_window=";
    auto notices =
        std::count_if(lines.begin(), lines.end(), [&](const std::string &l) { return l.starts_with(notice_start); });
    EXPECT_EQ(notices, c.notice ? 1 : 0) << r.log_text();
    if (c.notice) {
        EXPECT_TRUE(has_line(lines, c.notice)) << r.log_text();
    }
}

INSTANTIATE_TEST_SUITE_P(, PullWindow, ::testing::ValuesIn(WINDOW_CASES), row_name());

TEST_P(OtherVersion, OneNoticePerRun)
{
    const other_version_case &c = GetParam();
    server_stub stub;
    ASSERT_TRUE(stub.ok());
    stub.set_script([&c](server_stub &s, const stub_datagram &d) {
        if (d.data.size() < 4)
            return;
        s.reply(d, ack_in_version(d, d.data[3] == ID_PUSH_DATA ? c.push_ack_version : c.pull_ack_version));
    });
    run_options opt;
    opt.args = {"rxpk", "-57", std::to_string(UPLINK_FRAME.size())};
    opt.config = lorawan_config(stub.port(), {{"protocol", c.protocol}, {"pfwd_debug", c.pfwd_debug}});
    opt.data = UPLINK_PAYLOAD;
    run_result r = run_program(opt, &stub);
    EXPECT_EQ(r.exit_status, 0) << r.log_text();
    ASSERT_EQ(r.datagrams.size(), 2u);
    expect_lines_match(log_lines(r), c.lines, r);
}

INSTANTIATE_TEST_SUITE_P(, OtherVersion, ::testing::ValuesIn(OTHER_VERSION_CASES), row_name());

// An uplink-only gateway: a frame whose first byte asks for a downlink is
// forwarded, and the run ends after its PUSH_ACK, without a PULL_DATA.
TEST_F(Downlink, UplinkOnlyGatewayNeverPulls)
{
    network_server server(server_style::prompt);
    ASSERT_TRUE(server.ok());
    server.queue({rx_slot::rx1, false, DOWNLINK_FRAME});
    run_result r = uplink(server, {{"downlink", "0"}});
    EXPECT_EQ(r.exit_status, 0) << r.log_text();
    ASSERT_EQ(r.datagrams.size(), 1u);
    EXPECT_EQ(r.datagrams[0].data.at(3), ID_PUSH_DATA);
    // It ends after the acknowledgement, not after a pull's window.
    EXPECT_LT(r.wall - (r.datagrams[0].arrival - r.start), scaled(1000ms));
    EXPECT_EQ(iot_files(r.dir), (std::vector<std::string>{"data", "dldata"}));
    EXPECT_EQ(r.read_file("var/iot/dldata"), PREVIOUS_DOWNLINK);
    std::vector<std::string> lines = log_lines(r);
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(std::regex_match(lines.back(), std::regex(PUSH_ACK_LINE))) << r.log_text();
}
