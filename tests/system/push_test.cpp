// SPDX-License-Identifier: ISC
// The PUSH_DATA exchange as a network server sees it: the stat and rxpk
// records byte for byte, the acknowledgement rules, and the payload file.

#include "tests/fixtures/lorawan_frames.h"
#include "tests/support/tarnwick_run.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

const char *const PROG = "/usr/bin/tarnwick";
const std::string LISTENING = "notice: Listening at SF7BW125 on 868.100000 Mhz.\n";
const std::uint64_t EUI = 0xa840411d2c3b4e5full; // lorawan_config's gateway_id

// The tokens of an unseeded generator: every run draws the same ones.
struct token_pair {
    std::uint8_t first, second;
};
token_pair token(int datagram_index)
{
    std::srand(1);
    token_pair t{};
    for (int i = 0; i <= datagram_index; i++) {
        t.first = static_cast<std::uint8_t>(std::rand() & 0xff);
        t.second = static_cast<std::uint8_t>(std::rand() & 0xff);
    }
    return t;
}

// The first 12 bytes of `d`, expected byte for byte.
void expect_header(const stub_datagram &d, std::uint8_t identifier, int datagram_index)
{
    ASSERT_GE(d.data.size(), 12u);
    token_pair t = token(datagram_index);
    wire_bytes want = {1, t.first, t.second, identifier};
    for (int i = 0; i < 8; i++)
        want.push_back(static_cast<std::uint8_t>(EUI >> (56 - 8 * i)));
    EXPECT_EQ(to_hex(wire_bytes(d.data.begin(), d.data.begin() + 12)), to_hex(want));
}

std::string record_of(const stub_datagram &d)
{
    return parse_gateway_datagram(d.data).json;
}

const std::regex STAT_RECORD(
    R"re(\{"stat":\{"time":"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d (UTC|GMT)","lati":52\.10000,"long":114\.05786,)re"
    R"re("alti":0,"rxnb":0,"rxok":0,"rxfw":0,"ackr":0\.0,"dwnb":0,"txnb":0,"pfrm":"RK30/RKW30",)re"
    R"re("mail":"gateway@example\.net","desc":""\}\})re");

class Push : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(stub.ok()); }

    run_result run(std::vector<std::string> args, const config_overrides &overrides = {},
                   run_options opt = {})
    {
        opt.args = std::move(args);
        opt.argv0 = PROG;
        opt.config = lorawan_config(stub.port(), overrides);
        return run_program(opt, &stub);
    }

    run_result rxpk(const std::string &payload, const char *rssi = "-57", const char *size = "5",
                    const config_overrides &overrides = {})
    {
        return run({"rxpk", rssi, size}, overrides, {.data = payload});
    }

    server_stub stub;
};

} // namespace

TEST_F(Push, StatRecordOnTheWire)
{
    stub.set_script(ack_everything());
    run_result r = run({"stat", "extra", "words"});
    EXPECT_EQ(r.exit_status, 0) << r.log_text();
    EXPECT_EQ(r.out, "");
    ASSERT_EQ(r.datagrams.size(), 1u);
    const stub_datagram &d = r.datagrams[0];
    expect_header(d, 0, 0);
    std::string record = record_of(d);
    EXPECT_TRUE(std::regex_match(record, STAT_RECORD)) << record;
    // The length is the record's and the header's: no NUL goes out.
    EXPECT_EQ(d.data.size(), record.size() + 12);

    std::vector<std::string> lines = log_lines(r);
    ASSERT_EQ(lines.size(), 3u) << r.log_text();
    EXPECT_EQ(lines[0], LISTENING);
    EXPECT_EQ(lines[1], "info: stat update: " + record);
    EXPECT_TRUE(std::regex_match(lines[2], std::regex(R"re(info: INFO: \[up\] PUSH_ACK received in \d+ ms)re")))
        << lines[2];
}

TEST_F(Push, StatRecordTakesTheSlotsAsTheyAre)
{
    stub.set_script(ack_everything());
    struct {
        config_overrides overrides;
        const char *expected; // a part of the record
    } cases[] = {
        {{{"mail", std::nullopt}}, R"re("mail":"mail")re"},
        {{{"lati", std::nullopt}, {"long", std::nullopt}}, R"re("lati":0.00000,"long":0.00000)re"},
        {{{"lati", "-33.8688"}, {"long", "151.2093"}}, R"re("lati":-33.86880,"long":151.20930)re"},
        {{{"mail", std::string(70, 'm')}}, "\"mail\":\"mmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmm\""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expected);
        run_result r = run({"stat"}, c.overrides);
        EXPECT_EQ(r.exit_status, 0);
        ASSERT_EQ(r.datagrams.size(), 1u);
        EXPECT_NE(record_of(r.datagrams[0]).find(c.expected), std::string::npos)
            << record_of(r.datagrams[0]);
    }
}

TEST_F(Push, GatewayIdentifierOnTheWireMostSignificantByteFirst)
{
    stub.set_script(ack_everything());
    run_result r = run({"stat"}, {{"gateway_id", "0123456789ABCDEF"}});
    ASSERT_EQ(r.datagrams.size(), 1u);
    EXPECT_EQ(to_hex(wire_bytes(r.datagrams[0].data.begin() + 4, r.datagrams[0].data.begin() + 12)),
              "0123456789abcdef");
}

// What the gateway makes of each reply to its PUSH_DATA. The replies are
// sent as soon as the PUSH_DATA arrives; the gateway sends it only once.
TEST_F(Push, AcknowledgementRules)
{
    const token_pair t = token(0);
    const std::string ok = "info: INFO: \\[up\\] PUSH_ACK received in \\d+ ms";
    const std::string sync = "warning: WARNING: \\[up\\] ignored out-of sync ACK packet";
    const std::string bad = "warning: WARNING: \\[up\\] ignored invalid non-ACL packet";
    wire_bytes right = make_ack(1, t.first, t.second, ID_PUSH_ACK);
    wire_bytes long_right = right;
    long_right.resize(40, 0x55);
    struct {
        const char *name;
        std::vector<wire_bytes> replies;
        std::vector<std::string> lines; // after the stat update line, as patterns
    } cases[] = {
        {"right token", {right}, {ok}},
        {"no reply", {}, {}},
        {"an earlier token, then the right one", {make_ack(1, t.first, t.second ^ 1, ID_PUSH_ACK), right},
         {sync, ok}},
        {"two foreign tokens use up both attempts",
         {make_ack(1, 0, 0, ID_PUSH_ACK), make_ack(1, 1, 1, ID_PUSH_ACK), right},
         {sync, sync}},
        {"version 2", {make_ack(2, t.first, t.second, ID_PUSH_ACK)}, {bad}},
        {"a PULL_ACK", {make_ack(1, t.first, t.second, ID_PULL_ACK)}, {bad}},
        {"3 bytes that look right", {wire_bytes(right.begin(), right.begin() + 3)}, {bad}},
        {"an empty datagram, then the right one", {wire_bytes{}, right}, {bad, ok}},
        {"40 bytes, judged by the first 4", {long_right}, {ok}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        stub.set_script([&c](server_stub &s, const stub_datagram &d) {
            for (const wire_bytes &reply : c.replies)
                s.reply(d, reply);
        });
        run_result r = run({"stat"});
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(r.datagrams.size(), 1u);
        std::vector<std::string> lines = log_lines(r);
        ASSERT_EQ(lines.size(), 2 + c.lines.size()) << r.log_text();
        for (std::size_t i = 0; i < c.lines.size(); i++)
            EXPECT_TRUE(std::regex_match(lines[2 + i], std::regex(c.lines[i]))) << lines[2 + i];
    }
}

// Two receive time-outs of 50 ms: the run waits about 100 ms for a silent
// server, and not much longer. Loose bounds; speed is the benchmark's.
TEST_F(Push, SilentServerCostsTwoShortWaits)
{
    run_result r = run({"stat"});
    EXPECT_EQ(r.exit_status, 0);
    ASSERT_EQ(r.datagrams.size(), 1u);
    auto waited = r.wall - (r.datagrams[0].arrival - r.start);
    EXPECT_GE(waited, 95ms);
    EXPECT_LT(waited, 2s);
}

TEST_F(Push, RefusedPortIsAConnectionErrorNotAFailure)
{
    // A port nobody listens on: the kernel answers the datagram with an ICMP
    // error, which the next receive reports.
    std::uint16_t port = 0;
    {
        server_stub closed;
        port = closed.port();
    }
    run_options opt;
    opt.args = {"stat"};
    opt.config = lorawan_config(port);
    run_result r = run_program(opt, nullptr);
    EXPECT_EQ(r.exit_status, 0);
    std::vector<std::string> lines = log_lines(r);
    ASSERT_EQ(lines.size(), 3u) << r.log_text();
    EXPECT_EQ(lines[2], "err: ERROR[up]: server connection error");
}

TEST_F(Push, HelloRecordOnTheWire)
{
    stub.set_script(ack_everything());
    run_result r = rxpk("hello");
    EXPECT_EQ(r.exit_status, 0) << r.log_text();
    // 'h' is 0x68: its three lowest bits are clear, so a pull follows.
    ASSERT_EQ(r.datagrams.size(), 2u);
    expect_header(r.datagrams[1], ID_PULL_DATA, 1);
    const stub_datagram &d = r.datagrams[0];
    expect_header(d, 0, 0);
    std::string record = record_of(d);
    EXPECT_TRUE(std::regex_match(
        record, std::regex(R"re(\{"rxpk":\[\{"tmst":\d+,"chan": 0,"rfch": 0,"freq":868\.100000,"stat":1,)re"
                           R"re("modu":"LORA","datr":"SF7BW125","codr":"4/5","lsnr":9,"rssi":-57,"size":5,)re"
                           R"re("data":"aGVsbG8="\}\]\})re")))
        << record;
    EXPECT_EQ(d.data.size(), record.size() + 12);
    std::vector<std::string> lines = log_lines(r);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1], "notice: rxpk: " + record);
}

// Every frame of 0 to 255 bytes goes out whole; a longer payload is not a
// LoRa frame and is refused without sending anything.
TEST_F(Push, PayloadSizes)
{
    stub.set_script(ack_everything());
    for (std::size_t len : {0u, 1u, 2u, 3u, 252u, 253u, 254u, 255u, 256u, 1984u, 3000u}) {
        SCOPED_TRACE("payload of " + std::to_string(len) + " bytes");
        wire_bytes payload(len);
        for (std::size_t i = 0; i < len; i++)
            payload[i] = static_cast<std::uint8_t>(0x41 + 3 * i); // first byte 0x41: no pull
        run_result r = rxpk(std::string(payload.begin(), payload.end()), "-57",
                            std::to_string(len).c_str());
        std::vector<std::string> lines = log_lines(r);
        if (len > 255) {
            EXPECT_EQ(r.exit_status, 1);
            EXPECT_TRUE(r.datagrams.empty());
            ASSERT_EQ(lines.size(), 2u) << r.log_text();
            std::size_t read = len > 1984 ? 1984 : len;
            EXPECT_EQ(lines[1], "err: ERROR: [up] payload too long for a LoRa frame (" + std::to_string(read) +
                                    " bytes read, at most 255): not sent");
            continue;
        }
        EXPECT_EQ(r.exit_status, 0) << r.log_text();
        ASSERT_EQ(r.datagrams.size(), 1u);
        std::string record = record_of(r.datagrams[0]);
        std::string data = "\"data\":\"" + base64_encode(payload) + "\"}]}";
        ASSERT_GE(record.size(), data.size());
        EXPECT_EQ(record.substr(record.size() - data.size()), data);
        EXPECT_EQ(r.datagrams[0].data.size(), record.size() + 12);
    }
}

// The first payload byte decides whether a pull follows: its three lowest
// bits clear. An empty payload has no first byte and pulls nothing.
TEST_F(Push, FirstByteStartsThePull)
{
    stub.set_script(ack_everything());
    struct {
        std::string payload;
        bool pulls;
    } cases[] = {
        {"\x40\x01", true}, {"\x80\x01", true}, {std::string(1, '\0'), true},
        {"\x41\x01", false}, {"\x47\x01", false}, {"", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("first byte " + (c.payload.empty() ? std::string("none") : to_hex(to_bytes(c.payload.substr(0, 1)))));
        run_result r = rxpk(c.payload, "-57", "2");
        EXPECT_EQ(r.exit_status, 0);
        ASSERT_EQ(r.datagrams.size(), c.pulls ? 2u : 1u);
        if (c.pulls) {
            EXPECT_EQ(r.datagrams[1].data.size(), 12u);
            expect_header(r.datagrams[1], ID_PULL_DATA, 1);
        }
    }
}

// The arguments go into the record as given: the first word is not
// compared, the size is not checked against the payload, and text that is
// not a number reads as 0.
TEST_F(Push, ArgumentsGoIntoTheRecordAsGiven)
{
    stub.set_script(ack_everything());
    struct {
        std::vector<std::string> args;
        const char *fields;
    } cases[] = {
        {{"foo", "-80", "20"}, R"re("rssi":-80,"size":20,)re"},
        {{"rxpk", "-80", "20", "more"}, R"re("rssi":-80,"size":20,)re"},
        {{"rxpk", "x", "y"}, R"re("rssi":0,"size":0,)re"},
        {{"rxpk", "12abc", "-1"}, R"re("rssi":12,"size":4294967295,)re"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fields);
        run_result r = run(c.args, {}, {.data = "\x41"});
        EXPECT_EQ(r.exit_status, 0);
        ASSERT_EQ(r.datagrams.size(), 1u);
        EXPECT_NE(record_of(r.datagrams[0]).find(c.fields), std::string::npos) << record_of(r.datagrams[0]);
    }
}

TEST_F(Push, RadioSettingsInTheRecord)
{
    stub.set_script(ack_everything());
    struct {
        config_overrides overrides;
        const char *fields;
    } cases[] = {
        {{{"SF", "12"}, {"coderate", "8"}, {"rx_frequency", "869525000"}},
         R"re("freq":869.525000,"stat":1,"modu":"LORA","datr":"SF12BW125","codr":"4/8",)re"},
        {{{"SF", std::nullopt}, {"coderate", std::nullopt}, {"BW", "500"}},
         R"re("datr":"SFSFBW125","codr":"4/coderate",)re"},
        {{{"rx_frequency", "433175001"}}, R"re("freq":433.175001,)re"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fields);
        run_result r = run({"rxpk", "-57", "1"}, c.overrides, {.data = "\x41"});
        EXPECT_EQ(r.exit_status, 0);
        ASSERT_EQ(r.datagrams.size(), 1u);
        EXPECT_NE(record_of(r.datagrams[0]).find(c.fields), std::string::npos) << record_of(r.datagrams[0]);
    }
}

// A real LoRaWAN uplink reaches the server with its bytes intact.
TEST_F(Push, RealLorawanFrameIsForwardedWhole)
{
    stub.set_script(ack_everything());
    run_result r = rxpk(std::string(UPLINK_FRAME.begin(), UPLINK_FRAME.end()), "-101",
                        std::to_string(UPLINK_FRAME.size()).c_str(), {{"SF", "9"}});
    EXPECT_EQ(r.exit_status, 0);
    ASSERT_GE(r.datagrams.size(), 1u);
    std::string record = record_of(r.datagrams[0]);
    EXPECT_NE(record.find(std::string("\"rssi\":-101,\"size\":22,\"data\":\"") + UPLINK_FRAME_BASE64 + "\"}]}"),
              std::string::npos)
        << record;
    EXPECT_NE(record.find("\"datr\":\"SF9BW125\""), std::string::npos);
}

TEST_F(Push, PayloadFileProblems)
{
    stub.set_script(ack_everything());
    {
        SCOPED_TRACE("no payload file: created empty, an empty frame is sent");
        run_result r = run({"rxpk", "-57", "0"});
        EXPECT_EQ(r.exit_status, 0);
        ASSERT_EQ(r.datagrams.size(), 1u);
        EXPECT_NE(record_of(r.datagrams[0]).find(R"re("data":""}]})re"), std::string::npos);
        EXPECT_EQ(r.read_file("var/iot/data"), std::string());
    }
    struct {
        const char *name;
        run_options opt;
        const char *line;
    } cases[] = {
        {"no /var/iot", {.create_iot_dir = false}, "err: can't open data file!"},
        {"the payload file is a directory",
         {.prepare = [](const std::string &dir) { ASSERT_EQ(mkdir((dir + "/var/iot/data").c_str(), 0755), 0); }},
         "err: can't open data file!"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        run_result r = run({"rxpk", "-57", "5"}, {}, c.opt);
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_TRUE(r.datagrams.empty());
        std::vector<std::string> lines = log_lines(r);
        ASSERT_EQ(lines.size(), 2u) << r.log_text();
        EXPECT_EQ(lines[1], c.line);
    }
}
