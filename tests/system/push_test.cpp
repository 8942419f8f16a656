// SPDX-License-Identifier: ISC
// The PUSH_DATA exchange as a network server sees it: the stat and rxpk
// records byte for byte, the acknowledgement rules, and the payload file.

#include "tests/fixtures/lorawan_frames.h"
#include "tests/support/gateway_values.h"
#include "tests/support/table_rows.h"
#include "tests/support/tarnwick_run.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <ostream>
#include <regex>
#include <functional>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

// The first 12 bytes of `d`: version 1, the identifier and the gateway
// identifier, most significant byte first. The token is the C library's
// rand(), which differs between C libraries: it is compared between runs
// (TokensAreTheSameInEveryRun), not predicted.
void expect_header(const stub_datagram &d, std::uint8_t identifier)
{
    ASSERT_GE(d.data.size(), 12u);
    wire_bytes want = {1, d.data[1], d.data[2], identifier};
    for (int i = 0; i < 8; i++)
        want.push_back(static_cast<std::uint8_t>(GATEWAY_EUI >> (56 - 8 * i)));
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

// The runs of these tests, for a plain fixture or a table's.
template <class Base> class with_push_runs : public Base {
protected:
    void SetUp() override { ASSERT_TRUE(stub.ok()); }

    run_result run(std::vector<std::string> args, const config_overrides &overrides = {}, run_options opt = {})
    {
        opt.args = std::move(args);
        opt.argv0 = INSTALLED_TARNWICK;
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

using Push = with_push_runs<::testing::Test>;

// A part of the record that the arguments, the options or the payload
// decide. Each row is one run, acknowledged: one datagram whose record
// holds `fragment`.
struct fragment_case {
    const char *name;
    std::vector<std::string> args;
    config_overrides overrides;
    std::optional<std::string> data; // /var/iot/data; first byte 0x41: no pull
    const char *fragment;
};

void PrintTo(const fragment_case &c, std::ostream *os)
{
    *os << c.name;
}

const fragment_case FRAGMENT_CASES[] = {
    // The status record takes the slots as they are.
    {"StatMailMissing", {"stat"}, {{"mail", std::nullopt}}, std::nullopt, R"re("mail":"mail")re"},
    {"StatPositionMissing",
     {"stat"},
     {{"lati", std::nullopt}, {"long", std::nullopt}},
     std::nullopt,
     R"re("lati":0.00000,"long":0.00000)re"},
    {"StatPositionSouthEast",
     {"stat"},
     {{"lati", "-33.8688"}, {"long", "151.2093"}},
     std::nullopt,
     R"re("lati":-33.86880,"long":151.20930)re"},
    {"StatMailCutTo63Characters",
     {"stat"},
     {{"mail", std::string(70, 'm')}},
     std::nullopt,
     "\"mail\":\"mmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmm\""},
    // The arguments go into the rxpk record as given: the first word is not
    // compared, the size is not checked against the payload, and text that
    // is not a number reads as 0.
    {"ArgumentsFirstWordNotCompared", {"foo", "-80", "20"}, {}, "\x41", R"re("rssi":-80,"size":20,)re"},
    {"ArgumentsExtraWordIgnored", {"rxpk", "-80", "20", "more"}, {}, "\x41", R"re("rssi":-80,"size":20,)re"},
    {"ArgumentsThatAreNoNumbersReadAsZero", {"rxpk", "x", "y"}, {}, "\x41", R"re("rssi":0,"size":0,)re"},
    {"ArgumentsReadAsFarAsTheyAreNumbers", {"rxpk", "12abc", "-1"}, {}, "\x41", R"re("rssi":12,"size":4294967295,)re"},
    // The radio settings in the rxpk record.
    {"RadioSettings",
     {"rxpk", "-57", "1"},
     {{"SF", "12"}, {"coderate", "8"}, {"rx_frequency", "869525000"}},
     "\x41",
     R"re("freq":869.525000,"stat":1,"modu":"LORA","datr":"SF12BW125","codr":"4/8",)re"},
    {"RadioSettingsMissing",
     {"rxpk", "-57", "1"},
     {{"SF", std::nullopt}, {"coderate", std::nullopt}, {"BW", "500"}},
     "\x41",
     R"re("datr":"SFSFBW125","codr":"4/coderate",)re"},
    {"RadioFrequencyToTheHertz",
     {"rxpk", "-57", "1"},
     {{"rx_frequency", "433175001"}},
     "\x41",
     R"re("freq":433.175001,)re"},
};

class RecordFragment : public with_push_runs<::testing::TestWithParam<fragment_case>> {};

// What sits at /var/iot/data when a frame is to go out. Each row is one
// `rxpk -57 SIZE` run. A run that ends with status 1 sends nothing and
// writes `line` after the listening line; one that ends with 0 sent an empty
// frame. `data` is the payload file afterwards, when the row looks at it.
struct payload_case {
    const char *name;
    run_options opt;
    const char *size;
    bool needs_root;
    int exit_status;
    const char *line;
    std::optional<std::string> data;
};

void PrintTo(const payload_case &c, std::ostream *os)
{
    *os << c.name;
}

const payload_case PAYLOAD_CASES[] = {
    {"NoFileIsCreatedEmptyAndAnEmptyFrameSent", {}, "0", false, 0, nullptr, std::string()},
    {"NoIotDirectory", {.create_iot_dir = false}, "5", false, 1, "err: can't open data file!", std::nullopt},
    {"ADirectory",
     {.prepare = [](const std::string &dir) { ASSERT_EQ(mkdir((dir + "/var/iot/data").c_str(), 0755), 0); }},
     "5",
     false,
     1,
     "err: can't open data file!",
     std::nullopt},
    // A file the run may not read ends the run before anything is sent, and
    // the file stays as it was.
    {"UnreadableToTheRunsUser",
     {.data = "hello", .as_user = NOBODY, .root_owned = {{"var/iot/data", 0600}}},
     "5",
     true,
     1,
     "err: can't open data file!",
     "hello"},
    // Something other than a regular file (a FIFO nobody writes to) ends the
    // run at once instead of blocking it for ever.
    {"AFifoNobodyWritesTo",
     {.prepare = [](const std::string &dir) { ASSERT_EQ(mkfifo((dir + "/var/iot/data").c_str(), 0644), 0); }},
     "5",
     false,
     1,
     "err: can't read data file!",
     std::nullopt},
};

class PayloadFile : public with_push_runs<::testing::TestWithParam<payload_case>> {};

// The first payload byte, and whether a pull follows.
struct first_byte_case {
    const char *name;
    std::string payload;
    bool pulls;
};

void PrintTo(const first_byte_case &c, std::ostream *os)
{
    *os << c.name;
}

const first_byte_case FIRST_BYTE_CASES[] = {
    {"Byte40Pulls", "\x40\x01", true},
    {"Byte80Pulls", "\x80\x01", true},
    {"Byte00Pulls", std::string("\0\x01", 2), true},
    {"Byte41DoesNot", "\x41\x01", false},
    {"Byte47DoesNot", "\x47\x01", false},
    {"NoByteDoesNot", "", false},
};

class FirstByte : public with_push_runs<::testing::TestWithParam<first_byte_case>> {};

} // namespace

TEST_F(Push, StatRecordOnTheWire)
{
    stub.set_script(ack_everything());
    run_result r = run({"stat", "extra", "words"});
    EXPECT_EQ(r.exit_status, 0) << r.log_text();
    EXPECT_EQ(r.out, "");
    ASSERT_EQ(r.datagrams.size(), 1u);
    const stub_datagram &d = r.datagrams[0];
    expect_header(d, 0);
    std::string record = record_of(d);
    EXPECT_TRUE(std::regex_match(record, STAT_RECORD)) << record;
    // The length is the record's and the header's: no NUL goes out.
    EXPECT_EQ(d.data.size(), record.size() + 12);

    std::vector<std::string> lines = log_lines(r);
    ASSERT_EQ(lines.size(), 3u) << r.log_text();
    EXPECT_EQ(lines[0], LISTENING_LINE);
    EXPECT_EQ(lines[1], "info: stat update: " + record);
    EXPECT_TRUE(std::regex_match(lines[2], std::regex(R"re(info: INFO: \[up\] PUSH_ACK received in \d+ ms)re")))
        << lines[2];
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
    const std::string ok = "info: INFO: \\[up\\] PUSH_ACK received in \\d+ ms";
    const std::string sync = "warning: WARNING: \\[up\\] ignored out-of sync ACK packet";
    const std::string bad = "warning: WARNING: \\[up\\] ignored invalid non-ACL packet";
    auto right = [](wire_token t) { return make_ack(1, t.first, t.second, ID_PUSH_ACK); };
    using replies = std::function<std::vector<wire_bytes>(wire_token)>;
    struct {
        const char *name;
        replies to;                     // the replies to a PUSH_DATA with this token
        std::vector<std::string> lines; // after the stat update line, as patterns
    } cases[] = {
        {"right token", [&](wire_token t) { return std::vector<wire_bytes>{right(t)}; }, {ok}},
        {"no reply", [](wire_token) { return std::vector<wire_bytes>{}; }, {}},
        {"an earlier token, then the right one",
         [&](wire_token t) {
             return std::vector<wire_bytes>{make_ack(1, t.first, t.second ^ 1, ID_PUSH_ACK), right(t)};
         },
         {sync, ok}},
        {"two foreign tokens use up both attempts",
         [&](wire_token t) {
             return std::vector<wire_bytes>{make_ack(1, t.first ^ 1, 0, ID_PUSH_ACK),
                                            make_ack(1, t.first ^ 2, 1, ID_PUSH_ACK), right(t)};
         },
         {sync, sync}},
        // Judged as before, and the run says once which version the server speaks.
        {"version 2",
         [](wire_token t) { return std::vector<wire_bytes>{make_ack(2, t.first, t.second, ID_PUSH_ACK)}; },
         {bad, "notice: the server speaks protocol version 2; set option protocol '2'"}},
        {"a PULL_ACK",
         [](wire_token t) { return std::vector<wire_bytes>{make_ack(1, t.first, t.second, ID_PULL_ACK)}; },
         {bad}},
        {"3 bytes that look right",
         [&](wire_token t) {
             wire_bytes b = right(t);
             return std::vector<wire_bytes>{wire_bytes(b.begin(), b.begin() + 3)};
         },
         {bad}},
        {"an empty datagram, then the right one",
         [&](wire_token t) {
             return std::vector<wire_bytes>{wire_bytes{}, right(t)};
         },
         {bad, ok}},
        {"40 bytes, judged by the first 4",
         [&](wire_token t) {
             wire_bytes b = right(t);
             b.resize(40, 0x55);
             return std::vector<wire_bytes>{b};
         },
         {ok}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        stub.set_script([&c](server_stub &s, const stub_datagram &d) {
            for (const wire_bytes &reply : c.to(token_of(d)))
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

// The generator is never seeded: every run draws the same tokens, in the
// same order, and each datagram of a run takes the next ones.
TEST_F(Push, TokensAreTheSameInEveryRun)
{
    stub.set_script(ack_everything());
    run_result first = rxpk("hello");
    run_result second = rxpk("hello");
    ASSERT_EQ(first.datagrams.size(), 2u);
    ASSERT_EQ(second.datagrams.size(), 2u);
    for (std::size_t i = 0; i < 2; i++)
        EXPECT_EQ(to_hex(wire_bytes(first.datagrams[i].data.begin() + 1, first.datagrams[i].data.begin() + 3)),
                  to_hex(wire_bytes(second.datagrams[i].data.begin() + 1, second.datagrams[i].data.begin() + 3)))
            << "datagram " << i;
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

TEST_F(Push, HelloRecordOnTheWire)
{
    stub.set_script(ack_everything());
    run_result r = rxpk("hello");
    EXPECT_EQ(r.exit_status, 0) << r.log_text();
    // 'h' is 0x68: its three lowest bits are clear, so a pull follows.
    ASSERT_EQ(r.datagrams.size(), 2u);
    expect_header(r.datagrams[1], ID_PULL_DATA);
    const stub_datagram &d = r.datagrams[0];
    expect_header(d, 0);
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
        run_result r = rxpk(std::string(payload.begin(), payload.end()), "-57", std::to_string(len).c_str());
        std::vector<std::string> lines = log_lines(r);
        if (len > 255) {
            EXPECT_EQ(r.exit_status, 1);
            EXPECT_TRUE(r.datagrams.empty());
            ASSERT_EQ(lines.size(), 2u) << r.log_text();
            // A full buffer of 1984 bytes says only that there were at least as many.
            std::string read = len >= 1984 ? "at least 1984" : std::to_string(len);
            EXPECT_EQ(lines[1], "err: ERROR: [up] payload too long for a LoRa frame (" + read +
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
// bits clear. An empty payload has no first byte and pulls nothing. A row
// that pulls listens five seconds.
TEST_P(FirstByte, StartsThePull)
{
    const first_byte_case &c = GetParam();
    stub.set_script(ack_everything());
    run_result r = rxpk(c.payload, "-57", "2");
    EXPECT_EQ(r.exit_status, 0);
    ASSERT_EQ(r.datagrams.size(), c.pulls ? 2u : 1u);
    if (c.pulls) {
        EXPECT_EQ(r.datagrams[1].data.size(), 12u);
        expect_header(r.datagrams[1], ID_PULL_DATA);
    }
}

INSTANTIATE_TEST_SUITE_P(, FirstByte, ::testing::ValuesIn(FIRST_BYTE_CASES), row_name());

TEST_P(RecordFragment, Shows)
{
    const fragment_case &c = GetParam();
    stub.set_script(ack_everything());
    run_options opt;
    opt.data = c.data;
    run_result r = run(c.args, c.overrides, opt);
    EXPECT_EQ(r.exit_status, 0);
    ASSERT_EQ(r.datagrams.size(), 1u);
    EXPECT_NE(record_of(r.datagrams[0]).find(c.fragment), std::string::npos) << record_of(r.datagrams[0]);
}

INSTANTIATE_TEST_SUITE_P(, RecordFragment, ::testing::ValuesIn(FRAGMENT_CASES), row_name());

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

TEST_P(PayloadFile, Outcome)
{
    const payload_case &c = GetParam();
    if (c.needs_root && geteuid() != 0)
        GTEST_SKIP() << "needs root: the file must be another user's";
    stub.set_script(ack_everything());
    run_result r = run({"rxpk", "-57", c.size}, {}, c.opt);
    EXPECT_EQ(r.exit_status, c.exit_status) << r.log_text();
    if (c.exit_status == 0) {
        ASSERT_EQ(r.datagrams.size(), 1u);
        EXPECT_NE(record_of(r.datagrams[0]).find(R"re("data":""}]})re"), std::string::npos);
    } else {
        EXPECT_TRUE(r.datagrams.empty());
        std::vector<std::string> lines = log_lines(r);
        ASSERT_EQ(lines.size(), 2u) << r.log_text();
        EXPECT_EQ(lines[1], c.line);
    }
    if (c.data) {
        EXPECT_EQ(r.read_file("var/iot/data"), *c.data);
    }
}

INSTANTIATE_TEST_SUITE_P(, PayloadFile, ::testing::ValuesIn(PAYLOAD_CASES), row_name());
