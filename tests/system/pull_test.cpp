// SPDX-License-Identifier: ISC
// The downlink pull as the radio side and the network server see it: what
// goes on the wire, what lands in /var/iot/dldata and /var/iot/pull_data,
// the log lines and the scraper's lines. Each run listens for five seconds:
// the cases are the rows of a parameterised test, so that each is a CTest of
// its own and they run side by side.

#include "tests/fixtures/lorawan_frames.h"
#include "tests/support/gateway_values.h"
#include "tests/support/table_rows.h"
#include "tests/support/tarnwick_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

// A reply to the PULL_DATA: bytes, sent this long after it arrived.
struct scripted_reply {
    wire_bytes bytes;
    std::chrono::milliseconds delay{0};
};

// An uplink whose first byte starts the pull. The stub acknowledges the
// PUSH_DATA and answers the PULL_DATA with what `replies` makes of its
// token. /var/iot/dldata holds PREVIOUS_DOWNLINK before the run.
using reply_script = std::function<std::vector<scripted_reply>(wire_token)>;

run_result pull(server_stub &stub, const reply_script &replies)
{
    stub.set_script([replies](server_stub &s, const stub_datagram &d) {
        if (d.data.size() < 4)
            return;
        if (d.data[3] == ID_PUSH_DATA)
            s.reply(d, ack_for(d));
        if (d.data[3] == ID_PULL_DATA)
            for (const scripted_reply &r : replies(token_of(d)))
                s.reply(d, r.bytes, r.delay);
    });
    run_options opt;
    opt.args = {"rxpk", "-57", std::to_string(UPLINK_FRAME.size())};
    opt.config = lorawan_config(stub.port());
    opt.data = UPLINK_PAYLOAD;
    opt.dldata = PREVIOUS_DOWNLINK;
    return run_program(opt, &stub);
}

// The log lines after the uplink's three (listening, rxpk, PUSH_ACK).
std::vector<std::string> pull_lines(const run_result &r)
{
    std::vector<std::string> lines = log_lines(r);
    EXPECT_GE(lines.size(), 3u) << r.log_text();
    if (lines.size() < 3)
        return {};
    return std::vector<std::string>(lines.begin() + 3, lines.end());
}

// How long the run listened after its PULL_DATA went out.
std::chrono::duration<double> listened(const run_result &r)
{
    return r.wall - (r.datagrams.at(1).arrival - r.start);
}

wire_bytes resp(const std::string &json, std::uint8_t identifier = ID_PULL_RESP)
{
    wire_bytes r = make_pull_resp(json);
    r[3] = identifier;
    return r;
}

const std::vector<std::string> IOT_FILES = {"data", "dldata", "pull_data"};
// After a downlink was handed over: its transmit parameters too.
const std::vector<std::string> IOT_FILES_AFTER_DOWNLINK = {"data", "dldata", "dltx", "pull_data"};

// One way a server answers the pull, and what comes of it. Every row ends
// with `exit_status` and /var/iot/dldata holding `dldata`; `check` holds
// what else the row shows.
struct pull_case {
    const char *name;
    reply_script replies;
    int exit_status;
    std::string dldata;
    std::function<void(const run_result &)> check;
};

void PrintTo(const pull_case &c, std::ostream *os)
{
    *os << c.name;
}

const pull_case PULL_CASES[] = {
    {"NoReplyListensFiveSecondsAndWritesOnlyPullData", [](wire_token) { return std::vector<scripted_reply>{}; }, 0,
     PREVIOUS_DOWNLINK,
     [](const run_result &r) {
         ASSERT_EQ(r.datagrams.size(), 2u);
         const stub_datagram &pull_data = r.datagrams[1];
         ASSERT_EQ(pull_data.data.size(), 12u);
         EXPECT_EQ(pull_data.data[3], ID_PULL_DATA);
         // The header's copy for the radio side.
         EXPECT_EQ(r.read_file("var/iot/pull_data"), to_text(pull_data.data));
         EXPECT_EQ(iot_files(r.dir), IOT_FILES);
         EXPECT_TRUE(pull_lines(r).empty()) << r.log_text();
         EXPECT_EQ(r.out, "");
         // Five whole seconds, checked after receives of 200 ms at most.
         EXPECT_GE(listened(r), 5s);
         EXPECT_LT(listened(r), 7s);
     }},
    {"AcknowledgementsAreLoggedAndListeningGoesOn",
     [](wire_token t) {
         return std::vector<scripted_reply>{
             {make_ack(1, t.first ^ 0xff, t.second, ID_PULL_ACK)},
             {make_ack(1, t.first, t.second, ID_PULL_ACK), 50ms},
         };
     },
     0, PREVIOUS_DOWNLINK,
     [](const run_result &r) {
         std::vector<std::string> lines = pull_lines(r);
         ASSERT_EQ(lines.size(), 2u) << r.log_text();
         EXPECT_EQ(lines[0], "info: INFO: [down] received out-of-sync ACK");
         EXPECT_TRUE(std::regex_match(lines[1], std::regex(PULL_ACK_LINE_PATTERN))) << lines[1];
         EXPECT_GE(listened(r), 5s);
     }},
    {"ValidPullRespReplacesTheDownlink",
     [](wire_token t) {
         return std::vector<scripted_reply>{{make_ack(1, t.first, t.second, ID_PULL_ACK)},
                                            {make_pull_resp(downlink_json(DOWNLINK_FRAME)), 20ms}};
     },
     0, to_text(DOWNLINK_FRAME),
     [](const run_result &r) {
         EXPECT_EQ(iot_files(r.dir), IOT_FILES_AFTER_DOWNLINK);
         std::vector<std::string> lines = pull_lines(r);
         ASSERT_EQ(lines.size(), 3u) << r.log_text();
         EXPECT_TRUE(std::regex_match(lines[0], std::regex(PULL_ACK_LINE_PATTERN))) << lines[0];
         EXPECT_EQ(lines[1], PULL_RESP_LINE);
         EXPECT_EQ(lines[2], std::string("info: INFO: [down] PULL_RESP parser data: ") + DOWNLINK_FRAME_BASE64);
         EXPECT_EQ(r.out, "parser size\nparser size: 14\nparser data\nparser data: " +
                              std::string(DOWNLINK_FRAME_BASE64) + "\n");
     }},
    // The key is a plain substring, but data does not occur inside datr.
    {"DatrDoesNotHideTheData",
     [](wire_token) {
         wire_bytes reply = *from_hex("01 0000 03");
         std::string json = R"({"txpk":{"imme":true,"datr":"SF7BW125","size":5,"data":"aGVsbG8="}})";
         reply.insert(reply.end(), json.begin(), json.end());
         return std::vector<scripted_reply>{{reply}};
     },
     0, "hello", nullptr},
    // Anything that is not a PULL_ACK is taken as a PULL_RESP, whatever its
    // version, token or identifier; the last valid one wins.
    {"EveryOtherReplyIsTakenAsPullResp",
     [](wire_token) {
         wire_bytes version2 = resp(downlink_json(to_bytes("two")));
         version2[0] = 2;
         return std::vector<scripted_reply>{
             {resp(downlink_json(to_bytes("push ack id")), ID_PUSH_ACK)},
             {resp(downlink_json(to_bytes("pull data id")), ID_PULL_DATA), 20ms},
             {version2, 40ms},
             {resp(downlink_json(to_bytes("the last one"))), 60ms},
         };
     },
     0, "the last one",
     [](const run_result &r) {
         std::vector<std::string> lines = pull_lines(r);
         EXPECT_EQ(std::count(lines.begin(), lines.end(), PULL_RESP_LINE), 4) << r.log_text();
     }},
    // Spaces around values are dropped. A reply without a size key is read
    // with the size text the earlier one left; one whose key has no ':'
    // after it keeps the earlier text too.
    {"ValueScraping",
     [](wire_token) {
         return std::vector<scripted_reply>{
             {resp(R"({"txpk":{"size" : 5 , "data" : "aGVsbG8=" }})")},
             {resp(R"({"txpk":{"data":"d29ybGQ="}})"), 30ms},
             {resp(R"({"txpk":{"imme":true}} size data)"), 60ms},
         };
     },
     0, "world",
     [](const run_result &r) {
         EXPECT_EQ(r.out, "parser size\nparser size: 5\nparser data\nparser data: aGVsbG8=\n"
                          "parser size\nparser size: 5\nparser data\nparser data: d29ybGQ=\n"
                          "parser size\nparser size: 5\nparser data\nparser data: d29ybGQ=\n");
     }},
    // Without any size key the size text is the initial "0": an empty data
    // text then passes and the downlink file becomes empty.
    {"MissingSizeComparesWithTheInitialZero",
     [](wire_token) { return std::vector<scripted_reply>{{resp(R"({"txpk":{"data":""}})")}}; }, 0, "", nullptr},
    {"MismatchesLeaveThePreviousDownlink",
     [](wire_token) {
         return std::vector<scripted_reply>{
             // Declared 4, decodes to 5.
             {resp(R"({"txpk":{"size":4,"data":"aGVsbG8="}})")},
             // A text that does not decode (one character too many) never
             // matches, not even a size of -1.
             {resp(R"({"txpk":{"size":-1,"data":"aGVsbG8=Y"}})"), 30ms},
             {resp(R"({"txpk":{"size":-1,"data":"Y"}})"), 60ms},
         };
     },
     0, PREVIOUS_DOWNLINK,
     [](const run_result &r) {
         std::vector<std::string> lines = pull_lines(r);
         EXPECT_EQ(std::count(lines.begin(), lines.end(), MISMATCH_LINE), 3) << r.log_text();
         EXPECT_EQ(iot_files(r.dir), IOT_FILES);
     }},
    // A reply too short to carry an identifier is passed over: it neither
    // counts as an acknowledgement nor as a downlink.
    {"ShortRepliesAreIgnored",
     [](wire_token t) {
         return std::vector<scripted_reply>{
             {wire_bytes{}},
             {wire_bytes{1, t.first, t.second}, 20ms},
             {wire_bytes{1}, 40ms},
         };
     },
     0, PREVIOUS_DOWNLINK,
     [](const run_result &r) {
         EXPECT_TRUE(pull_lines(r).empty()) << r.log_text();
         EXPECT_EQ(r.out, "");
     }},
    // A character outside the base64 alphabet ends the run at once with
    // status 1; the downlink file keeps its previous content.
    {"BadBase64CharacterEndsTheRun",
     [](wire_token) {
         return std::vector<scripted_reply>{{resp(R"({"txpk":{"size":5,"data":"aGV$bG8="}})")},
                                            {resp(downlink_json(to_bytes("late"))), 100ms}};
     },
     1, PREVIOUS_DOWNLINK,
     [](const run_result &r) {
         std::vector<std::string> lines = pull_lines(r);
         ASSERT_EQ(lines.size(), 3u) << r.log_text();
         EXPECT_EQ(lines[0], PULL_RESP_LINE);
         EXPECT_EQ(lines[1], "info: INFO: [down] PULL_RESP parser data: aGV$bG8=");
         EXPECT_EQ(lines[2], "err: ERROR: [down] PULL_RESP data holds a character outside base64: the run ends");
         EXPECT_EQ(r.out, "parser size\nparser size: 5\nparser data\nparser data: aGV$bG8=\n");
         EXPECT_LT(r.wall, scaled(4s));
     }},
};

class PullReplies : public ::testing::TestWithParam<pull_case> {
protected:
    void SetUp() override { ASSERT_TRUE(stub.ok()); }

    server_stub stub;
};

class Pull : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(stub.ok()); }

    server_stub stub;
};

} // namespace

TEST_P(PullReplies, Outcome)
{
    const pull_case &c = GetParam();
    run_result r = pull(stub, c.replies);
    EXPECT_EQ(r.exit_status, c.exit_status) << r.log_text();
    EXPECT_EQ(r.read_file("var/iot/dldata"), c.dldata);
    if (c.check)
        c.check(r);
}

INSTANTIATE_TEST_SUITE_P(, PullReplies, ::testing::ValuesIn(PULL_CASES), row_name());

// Without a socket for the pull no PULL_DATA can go out: the run ends as
// after a failed send. Here the process may hold only five descriptors, and
// the uplink's socket takes the last one.
TEST_F(Pull, NoSocketForThePullEndsTheRun)
{
    stub.set_script(ack_everything());
    run_options opt;
    opt.program = "/usr/bin/prlimit";
    opt.args = {"--nofile=5", TARNWICK_PROGRAM, "rxpk", "-57", "2"};
    opt.config = lorawan_config(stub.port());
    opt.data = std::string("\x40\x01", 2);
    opt.dldata = PREVIOUS_DOWNLINK;
    run_result r = run_program(opt, &stub);
    EXPECT_EQ(r.exit_status, 1) << r.log_text() << r.err;
    ASSERT_EQ(r.datagrams.size(), 1u);
    std::vector<std::string> lines = log_lines(r);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), std::string("err: ERROR: [down] socket returned ") + std::strerror(EMFILE));
    EXPECT_EQ(r.read_file("var/iot/dldata"), PREVIOUS_DOWNLINK);
}
