// SPDX-License-Identifier: ISC
// The downlink pull as the radio side and the network server see it: what
// goes on the wire, what lands in /var/iot/dldata and /var/iot/pull_data,
// the log lines and the scraper's lines. Each run listens for five seconds;
// CTest runs the cases side by side.

#include "tests/fixtures/lorawan_frames.h"
#include "tests/support/tarnwick_run.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

const std::string PREVIOUS = "previous downlink";
const std::string ACK_LINE = R"(info: INFO: \[down\] PULL_ACK received in \d+ ms)";
const std::string RESP_LINE = "info: INFO: [down] PULL_RESP received :)";
const std::string MISMATCH_LINE =
    "info: WARNING: [down] mismatch between .size and .data size once converter to binary";

// A reply to the PULL_DATA: bytes, sent this long after it arrived.
struct scripted_reply {
    wire_bytes bytes;
    std::chrono::milliseconds delay{0};
};

// The PULL_DATA's own token, for the acknowledgements that answer it.
struct pull_token {
    std::uint8_t first, second;
};

class Pull : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(stub.ok()); }

    // An uplink whose first byte starts the pull. The stub acknowledges the
    // PUSH_DATA and answers the PULL_DATA with what `replies` makes of its
    // token.
    run_result pull(std::function<std::vector<scripted_reply>(pull_token)> replies,
                    run_options opt = {})
    {
        stub.set_script([replies](server_stub &s, const stub_datagram &d) {
            if (d.data.size() < 4)
                return;
            if (d.data[3] == ID_PUSH_DATA)
                s.reply(d, ack_for(d));
            if (d.data[3] == ID_PULL_DATA)
                for (const scripted_reply &r : replies({d.data[1], d.data[2]}))
                    s.reply(d, r.bytes, r.delay);
        });
        opt.args = {"rxpk", "-57", std::to_string(UPLINK_FRAME.size())};
        opt.config = lorawan_config(stub.port());
        opt.data = std::string(UPLINK_FRAME.begin(), UPLINK_FRAME.end());
        if (!opt.dldata)
            opt.dldata = PREVIOUS;
        return run_program(opt, &stub);
    }

    // The log lines after the uplink's three (listening, rxpk, PUSH_ACK).
    static std::vector<std::string> pull_lines(const run_result &r)
    {
        std::vector<std::string> lines = log_lines(r);
        EXPECT_GE(lines.size(), 3u) << r.log_text();
        if (lines.size() < 3)
            return {};
        return std::vector<std::string>(lines.begin() + 3, lines.end());
    }

    server_stub stub;
};

wire_bytes resp(const std::string &json, std::uint8_t identifier = ID_PULL_RESP)
{
    wire_bytes r = make_pull_resp(json);
    r[3] = identifier;
    return r;
}

std::string as_text(const wire_bytes &b)
{
    return std::string(b.begin(), b.end());
}

// The files of /var/iot after the run: nothing but the three known ones, so
// no temporary file is left behind.
std::vector<std::string> iot_files(const run_result &r)
{
    std::vector<std::string> names;
    if (DIR *d = opendir((r.dir + "/var/iot").c_str())) {
        while (const dirent *e = readdir(d))
            if (e->d_name[0] != '.' || (std::string(e->d_name) != "." && std::string(e->d_name) != ".."))
                names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

const std::vector<std::string> IOT_FILES = {"data", "dldata", "pull_data"};

} // namespace

TEST_F(Pull, NoReplyListensFiveSecondsAndWritesOnlyPullData)
{
    run_result r = pull([](pull_token) { return std::vector<scripted_reply>{}; });
    EXPECT_EQ(r.exit_status, 0) << r.log_text();
    ASSERT_EQ(r.datagrams.size(), 2u);
    const stub_datagram &pull_data = r.datagrams[1];
    ASSERT_EQ(pull_data.data.size(), 12u);
    EXPECT_EQ(pull_data.data[3], ID_PULL_DATA);
    // The header's copy for the radio side.
    EXPECT_EQ(r.read_file("var/iot/pull_data"), as_text(pull_data.data));
    EXPECT_EQ(r.read_file("var/iot/dldata"), PREVIOUS);
    EXPECT_EQ(iot_files(r), IOT_FILES);
    EXPECT_TRUE(pull_lines(r).empty()) << r.log_text();
    EXPECT_EQ(r.out, "");
    // Five whole seconds, checked after receives of 200 ms at most.
    auto listened = r.wall - (pull_data.arrival - r.start);
    EXPECT_GE(listened, 5s);
    EXPECT_LT(listened, 7s);
}

TEST_F(Pull, AcknowledgementsAreLoggedAndListeningGoesOn)
{
    run_result r = pull([](pull_token t) {
        return std::vector<scripted_reply>{
            {make_ack(1, t.first ^ 0xff, t.second, ID_PULL_ACK)},
            {make_ack(1, t.first, t.second, ID_PULL_ACK), 50ms},
        };
    });
    EXPECT_EQ(r.exit_status, 0);
    std::vector<std::string> lines = pull_lines(r);
    ASSERT_EQ(lines.size(), 2u) << r.log_text();
    EXPECT_EQ(lines[0], "info: INFO: [down] received out-of-sync ACK");
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(ACK_LINE))) << lines[1];
    EXPECT_GE(r.wall - (r.datagrams[1].arrival - r.start), 5s);
    EXPECT_EQ(r.read_file("var/iot/dldata"), PREVIOUS);
}

TEST_F(Pull, ValidPullRespReplacesTheDownlink)
{
    std::string json = downlink_json(DOWNLINK_FRAME);
    run_result r = pull([json](pull_token t) {
        return std::vector<scripted_reply>{{make_ack(1, t.first, t.second, ID_PULL_ACK)},
                                           {make_pull_resp(json), 20ms}};
    });
    EXPECT_EQ(r.exit_status, 0) << r.log_text();
    EXPECT_EQ(r.read_file("var/iot/dldata"), as_text(DOWNLINK_FRAME));
    EXPECT_EQ(iot_files(r), IOT_FILES);
    std::vector<std::string> lines = pull_lines(r);
    ASSERT_EQ(lines.size(), 3u) << r.log_text();
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(ACK_LINE))) << lines[0];
    EXPECT_EQ(lines[1], RESP_LINE);
    EXPECT_EQ(lines[2], std::string("info: INFO: [down] PULL_RESP parser data: ") + DOWNLINK_FRAME_BASE64);
    EXPECT_EQ(r.out, "parser size\nparser size: 14\nparser data\nparser data: " +
                         std::string(DOWNLINK_FRAME_BASE64) + "\n");
}

// The key is a plain substring, but data does not occur inside datr.
TEST_F(Pull, DatrDoesNotHideTheData)
{
    run_result r = pull([](pull_token) {
        wire_bytes reply = *from_hex("01 0000 03");
        std::string json = R"({"txpk":{"imme":true,"datr":"SF7BW125","size":5,"data":"aGVsbG8="}})";
        reply.insert(reply.end(), json.begin(), json.end());
        return std::vector<scripted_reply>{{reply}};
    });
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.read_file("var/iot/dldata"), "hello");
}

// Anything that is not a PULL_ACK is taken as a PULL_RESP, whatever its
// version, token or identifier; the last valid one wins.
TEST_F(Pull, EveryOtherReplyIsTakenAsPullResp)
{
    run_result r = pull([](pull_token) {
        wire_bytes version2 = resp(downlink_json(to_bytes("two")));
        version2[0] = 2;
        return std::vector<scripted_reply>{
            {resp(downlink_json(to_bytes("push ack id")), ID_PUSH_ACK)},
            {resp(downlink_json(to_bytes("pull data id")), ID_PULL_DATA), 20ms},
            {version2, 40ms},
            {resp(downlink_json(to_bytes("the last one"))), 60ms},
        };
    });
    EXPECT_EQ(r.exit_status, 0);
    std::vector<std::string> lines = pull_lines(r);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), RESP_LINE), 4) << r.log_text();
    EXPECT_EQ(r.read_file("var/iot/dldata"), "the last one");
}

TEST_F(Pull, ValueScraping)
{
    // Spaces around values are dropped. A reply without a size key is read
    // with the size text the earlier one left; one whose key has no ':'
    // after it keeps the earlier text too.
    run_result r = pull([](pull_token) {
        return std::vector<scripted_reply>{
            {resp(R"({"txpk":{"size" : 5 , "data" : "aGVsbG8=" }})")},
            {resp(R"({"txpk":{"data":"d29ybGQ="}})"), 30ms},
            {resp(R"({"txpk":{"imme":true}} size data)"), 60ms},
        };
    });
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.read_file("var/iot/dldata"), "world");
    EXPECT_EQ(r.out, "parser size\nparser size: 5\nparser data\nparser data: aGVsbG8=\n"
                     "parser size\nparser size: 5\nparser data\nparser data: d29ybGQ=\n"
                     "parser size\nparser size: 5\nparser data\nparser data: d29ybGQ=\n");
}

// Without any size key the size text is the initial "0": an empty data
// text then passes and the downlink file becomes empty.
TEST_F(Pull, MissingSizeComparesWithTheInitialZero)
{
    run_result r = pull([](pull_token) {
        return std::vector<scripted_reply>{{resp(R"({"txpk":{"data":""}})")}};
    });
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.read_file("var/iot/dldata"), "");
}

TEST_F(Pull, MismatchesLeaveThePreviousDownlink)
{
    run_result r = pull([](pull_token) {
        return std::vector<scripted_reply>{
            // Declared 4, decodes to 5.
            {resp(R"({"txpk":{"size":4,"data":"aGVsbG8="}})")},
            // A text that does not decode (one character too many) never
            // matches, not even a size of -1.
            {resp(R"({"txpk":{"size":-1,"data":"aGVsbG8=Y"}})"), 30ms},
            {resp(R"({"txpk":{"size":-1,"data":"Y"}})"), 60ms},
        };
    });
    EXPECT_EQ(r.exit_status, 0);
    std::vector<std::string> lines = pull_lines(r);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), MISMATCH_LINE), 3) << r.log_text();
    EXPECT_EQ(r.read_file("var/iot/dldata"), PREVIOUS);
    EXPECT_EQ(iot_files(r), IOT_FILES);
}

// A reply too short to carry an identifier is passed over: it neither
// counts as an acknowledgement nor as a downlink.
TEST_F(Pull, ShortRepliesAreIgnored)
{
    run_result r = pull([](pull_token t) {
        return std::vector<scripted_reply>{
            {wire_bytes{}},
            {wire_bytes{1, t.first, t.second}, 20ms},
            {wire_bytes{1}, 40ms},
        };
    });
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_TRUE(pull_lines(r).empty()) << r.log_text();
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.read_file("var/iot/dldata"), PREVIOUS);
}

// A character outside the base64 alphabet ends the run at once with status
// 1; the downlink file keeps its previous content.
TEST_F(Pull, BadBase64CharacterEndsTheRun)
{
    run_result r = pull([](pull_token) {
        return std::vector<scripted_reply>{{resp(R"({"txpk":{"size":5,"data":"aGV$bG8="}})")},
                                           {resp(downlink_json(to_bytes("late"))), 100ms}};
    });
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.read_file("var/iot/dldata"), PREVIOUS);
    std::vector<std::string> lines = pull_lines(r);
    ASSERT_EQ(lines.size(), 2u) << r.log_text();
    EXPECT_EQ(lines[0], RESP_LINE);
    EXPECT_EQ(lines[1], "info: INFO: [down] PULL_RESP parser data: aGV$bG8=");
    EXPECT_EQ(r.out, "parser size\nparser size: 5\nparser data\nparser data: aGV$bG8=\n");
    EXPECT_LT(r.wall, 4s);
}

// Without a socket for the pull no PULL_DATA can go out: the run ends as
// after a failed send. Here the process may hold only five descriptors, and
// the uplink's socket takes the last one.
TEST_F(Pull, NoSocketForThePullEndsTheRun)
{
    run_options opt;
    opt.program = "/usr/bin/prlimit";
    run_result r = [&] {
        stub.set_script(ack_everything());
        opt.args = {"--nofile=5", TARNWICK_PROGRAM, "rxpk", "-57", "2"};
        opt.config = lorawan_config(stub.port());
        opt.data = std::string("\x40\x01", 2);
        opt.dldata = PREVIOUS;
        return run_program(opt, &stub);
    }();
    EXPECT_EQ(r.exit_status, 1) << r.log_text() << r.err;
    ASSERT_EQ(r.datagrams.size(), 1u);
    std::vector<std::string> lines = log_lines(r);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "err: ERROR: [down] socket returned Too many open files");
    EXPECT_EQ(r.read_file("var/iot/dldata"), PREVIOUS);
}
