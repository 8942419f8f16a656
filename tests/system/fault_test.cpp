// SPDX-License-Identifier: ISC
// What tarnwick does when its surroundings fail: a configuration it cannot
// use, a /var/iot it cannot read or write, a server that refuses or floods.
// Each case pins the outcome: the log line, the exit status, and that
// nothing already there is lost. (A configuration that cannot be used at
// all, and what sits at /var/iot/data, are tables of their own in
// run_sequence_test.cpp and push_test.cpp.)

#include "tests/fixtures/lorawan_frames.h"
#include "tests/support/gateway_values.h"
#include "tests/support/table_rows.h"
#include "tests/support/tarnwick_run.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

const std::string &UPLINK = UPLINK_PAYLOAD; // first byte 0x40: a pull follows
const std::string &PREVIOUS = PREVIOUS_DOWNLINK;

// The runs of these tests, for a plain fixture or a table's.
template <class Base> class with_fault_runs : public Base {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(stub.ok());
        stub.set_script(ack_everything());
    }

    // A run with the usual configuration unless `opt` brings its own.
    run_result run(std::vector<std::string> args, run_options opt = {})
    {
        opt.args = std::move(args);
        opt.argv0 = INSTALLED_TARNWICK;
        if (!opt.config && !opt.config_is_directory)
            opt.config = lorawan_config(stub.port());
        return run_program(opt, &stub);
    }

    // An uplink that starts a pull; the stub answers the PULL_DATA with a
    // PULL_ACK and a PULL_RESP carrying `downlink`.
    run_result pull(const std::string &downlink, run_options opt = {})
    {
        stub.set_script(ack_and_send_downlink(downlink_json(to_bytes(downlink))));
        opt.data = UPLINK;
        if (!opt.dldata)
            opt.dldata = PREVIOUS;
        return run({"rxpk", "-57", std::to_string(UPLINK.size())}, std::move(opt));
    }

    static bool root() { return geteuid() == 0; }

    server_stub stub;
};

using Fault = with_fault_runs<::testing::Test>;

// A full /var/iot when the downlink arrives: how much room is left, and
// what /var/iot/dldata then holds.
struct full_iot_case {
    const char *name;
    std::size_t free_bytes;
    std::string dldata;
    bool logs_failure;
};

void PrintTo(const full_iot_case &c, std::ostream *os)
{
    *os << c.name;
}

const full_iot_case FULL_IOT_CASES[] = {
    {"NoRoomLeft", 0, PREVIOUS_DOWNLINK, true},
    {"RoomForTheDownlink", 16 << 10, "new downlink", false},
};

class FullIot : public with_fault_runs<::testing::TestWithParam<full_iot_case>> {};

// A server whose port is closed, for the status record and for an uplink
// whose pull follows.
struct refused_case {
    const char *name;
    std::vector<std::string> args;
    std::optional<std::string> data;
    bool pulls;
};

void PrintTo(const refused_case &c, std::ostream *os)
{
    *os << c.name;
}

const refused_case REFUSED_CASES[] = {
    {"StatusRecord", {"stat"}, std::nullopt, false},
    {"UplinkAndThePull", {"rxpk", "-57", "22"}, UPLINK_PAYLOAD, true},
};

class RefusedPort : public with_fault_runs<::testing::TestWithParam<refused_case>> {};

} // namespace

// A line of 100 KB that the syntax allows is read past, whole: a value that
// long is cut to the 63 characters of its slot, a comment is skipped.
TEST_F(Fault, HundredKilobyteLinesAreReadPast)
{
    const std::string long_mail(100 << 10, 'm');
    struct {
        const char *name;
        std::string config;
        std::string mail; // as the status record carries it
    } cases[] = {
        {"a 100 KB value", lorawan_config(stub.port(), {{"mail", long_mail}}), std::string(63, 'm')},
        {"a 100 KB comment", "#" + std::string(100 << 10, 'c') + "\n" + lorawan_config(stub.port()),
         "gateway@example.net"},
        {"a 100 KB run of blanks", std::string(100 << 10, ' ') + "\n" + lorawan_config(stub.port()),
         "gateway@example.net"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        run_result r = run({"stat"}, {.config = c.config});
        EXPECT_EQ(r.exit_status, 0) << r.log_text();
        ASSERT_EQ(r.datagrams.size(), 1u);
        std::string record = parse_gateway_datagram(r.datagrams[0].data).json;
        EXPECT_NE(record.find("\"mail\":\"" + c.mail + "\""), std::string::npos) << record.substr(0, 400);
    }
}

// A read-only /var/iot: the payload cannot be opened for writing, but it can
// be read, so the frame still goes out; the pull then cannot write its
// files, and the previous downlink stays where it is.
TEST_F(Fault, ReadOnlyIotFileSystemStillForwardsTheFrame)
{
    run_result r = run({"rxpk", "-57", "22"}, {.data = UPLINK, .dldata = PREVIOUS, .iot_read_only = true});
    EXPECT_EQ(r.exit_status, 0) << r.log_text();
    ASSERT_EQ(r.datagrams.size(), 2u); // PUSH_DATA and PULL_DATA
    std::string record = parse_gateway_datagram(r.datagrams[0].data).json;
    EXPECT_NE(record.find(std::string("\"data\":\"") + UPLINK_FRAME_BASE64 + "\""), std::string::npos) << record;
    EXPECT_EQ(r.read_file("var/iot/data"), UPLINK);
    EXPECT_EQ(r.read_file("var/iot/dldata"), PREVIOUS);
}

// A /var/iot the run may not write in (root's directory, the payload file
// the run's own): the uplink goes out, the pull runs its course, and the
// downlink that cannot be written is reported while the previous one stays.
TEST_F(Fault, UnwritableIotDirectoryKeepsThePreviousDownlink)
{
    if (!root())
        GTEST_SKIP() << "needs root: the directory must be another user's";
    run_result r = pull("new downlink", {.as_user = NOBODY, .root_owned = {{"var/iot", 0755}}});
    EXPECT_EQ(r.exit_status, 0) << r.log_text();
    EXPECT_EQ(r.datagrams.size(), 2u); // PUSH_DATA and PULL_DATA
    std::vector<std::string> lines = log_lines(r);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "info: fail to open /var/iot/dldata") << r.log_text();
    EXPECT_EQ(r.read_file("var/iot/dldata"), PREVIOUS);
    EXPECT_FALSE(r.file_exists("var/iot/pull_data"));
    EXPECT_EQ(iot_files(r.dir), (std::vector<std::string>{"data", "dldata"}));
}

// /var/iot is full when a downlink arrives: the new file cannot be written,
// the failure is logged, and the previous downlink is still there, whole,
// with no half-written file beside it. With room left the same downlink is
// written: the small file system itself is no obstacle.
TEST_P(FullIot, KeepsThePreviousDownlink)
{
    if (!root())
        GTEST_SKIP() << "needs root: a tmpfs of its own for /var/iot";
    const full_iot_case &c = GetParam();
    run_result r = pull("new downlink", {.iot_free_bytes = c.free_bytes});
    EXPECT_EQ(r.exit_status, 0) << r.log_text();
    EXPECT_EQ(r.read_file("var/iot/dldata"), c.dldata);
    EXPECT_EQ(r.read_file("var/iot/data"), UPLINK);
    std::vector<std::string> lines = log_lines(r);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back() == "info: downlink message fail to write", c.logs_failure) << r.log_text();
    std::vector<std::string> files = iot_files(r.dir);
    EXPECT_EQ(std::count_if(
                  files.begin(), files.end(),
                  [](const std::string &f) { return f != "data" && f != "dldata" && f != "dltx" && f != "pull_data"; }),
              0);
}

INSTANTIATE_TEST_SUITE_P(, FullIot, ::testing::ValuesIn(FULL_IOT_CASES), row_name());

// The server's port is closed: the kernel answers the datagram with an ICMP
// error, which the next receive reports; that is a connection error, not a
// failure of the run. After an uplink the pull still goes out and listens
// its five seconds, waiting in its receive time-outs rather than spinning,
// and the previous downlink stays.
TEST_P(RefusedPort, IsAConnectionErrorNotAFailure)
{
    const refused_case &c = GetParam();
    std::uint16_t closed_port = 0;
    {
        server_stub closed;
        closed_port = closed.port();
    }
    run_options opt{.config = lorawan_config(closed_port), .data = c.data};
    if (c.pulls)
        opt.dldata = PREVIOUS;
    run_result r = run(c.args, opt);
    EXPECT_EQ(r.exit_status, 0);
    std::vector<std::string> lines = log_lines(r);
    ASSERT_EQ(lines.size(), 3u) << r.log_text();
    EXPECT_EQ(lines[2], "err: ERROR[up]: server connection error");
    if (!c.pulls)
        return;
    EXPECT_GE(r.wall, 5s);
    EXPECT_LT(r.wall, scaled(8s));
    EXPECT_LT(r.cpu, scaled(2s)) << "busy while waiting";
    EXPECT_EQ(r.read_file("var/iot/dldata"), PREVIOUS);
    EXPECT_TRUE(r.file_exists("var/iot/pull_data"));
}

INSTANTIATE_TEST_SUITE_P(, RefusedPort, ::testing::ValuesIn(REFUSED_CASES), row_name());

// Thousands of replies during the pull: acknowledgements with and without
// the right token, datagrams too short for a prefix, datagrams larger than
// the receive buffer, downlinks whose size does not match, binary junk and
// valid downlinks, one a millisecond for three seconds. The pull still ends
// on time, the gateway sends nothing more, and the last valid downlink,
// sent after the flood, is the one in /var/iot/dldata.
TEST_F(Fault, ReplyFloodDuringThePullIsBoundedInTime)
{
    constexpr int FLOOD = 3000;
    const std::string last = "the last word";
    std::mt19937 gen(7);
    auto flood = [&](wire_token t) {
        std::vector<std::pair<wire_bytes, std::chrono::milliseconds>> replies;
        for (int i = 0; i < FLOOD; ++i) {
            wire_bytes b;
            switch (i % 8) {
            case 0:
                b = make_ack(1, t.first ^ 0x5a, t.second, ID_PULL_ACK);
                break;
            case 1:
                b = make_ack(1, t.first, t.second, ID_PULL_ACK);
                break;
            case 2:
                b = wire_bytes(static_cast<std::size_t>(i % 4), 0x04);
                break;
            case 3: // cut to 2047 bytes by the receive: 'A's to the end of the data text
                b = make_pull_resp(R"({"txpk":{"size":3,"data":")" + std::string(4000, 'A'));
                break;
            case 4:
                b = make_pull_resp(downlink_json(base64_encode(to_bytes("mismatch")), 9));
                break;
            case 5:
                b = make_pull_resp(downlink_json(to_bytes("flood " + std::to_string(i))));
                break;
            case 6: { // no letters, so no key: the texts of earlier replies stay
                b = make_pull_resp("");
                for (int k = 0; k < 64; ++k)
                    b.push_back(static_cast<std::uint8_t>(0x80 | (gen() & 0x7f)));
                break;
            }
            case 7:
                b = make_pull_resp(downlink_json(to_bytes("version 2")), 2);
                break;
            }
            replies.push_back({b, std::chrono::milliseconds(i * 3000 / FLOOD)});
        }
        replies.push_back({make_pull_resp(downlink_json(to_bytes(last))), 4000ms});
        return replies;
    };
    stub.set_script([&](server_stub &s, const stub_datagram &d) {
        if (d.data.size() < 4)
            return;
        s.reply(d, ack_for(d));
        if (d.data[3] == ID_PULL_DATA)
            for (auto &[bytes, delay] : flood(token_of(d)))
                s.reply(d, bytes, delay);
    });
    run_result r = run({"rxpk", "-57", "22"}, {.data = UPLINK, .dldata = PREVIOUS, .deadline = 30s});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    ASSERT_EQ(r.datagrams.size(), 2u); // one PUSH_DATA, one PULL_DATA: nothing sent twice
    auto listened = r.wall - (r.datagrams[1].arrival - r.start);
    EXPECT_GE(listened, 5s);
    EXPECT_LT(listened, scaled(7s));
    EXPECT_EQ(r.read_file("var/iot/dldata"), last);
    EXPECT_EQ(iot_files(r.dir), (std::vector<std::string>{"data", "dldata", "dltx", "pull_data"}));
    std::vector<std::string> lines = log_lines(r);
    // Most of the flood is taken in; a slowed program (valgrind, qemu) lets
    // the kernel drop more of it from the socket's queue.
    EXPECT_GT(std::count(lines.begin(), lines.end(), PULL_RESP_LINE), FLOOD / (4 * time_scale()))
        << "the flood did not arrive";
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string &l) { return l.find("fail") != std::string::npos; }),
              0);
}
