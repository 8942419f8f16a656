// SPDX-License-Identifier: ISC
// Runs that overlap, as on the gateway: the radio side starts one tarnwick
// per received frame, so several pulls share /var/iot during their five
// seconds. Every uplink must reach the server whole, every run must end
// well, and the downlink file must never be seen torn or mixed.

#include "tests/fixtures/lorawan_frames.h"
#include "tests/support/gateway_values.h"
#include "tests/support/tarnwick_run.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr int RUNS = 20;
// Each pull is answered with a new downlink every 100 ms for 4.5 seconds:
// about 900 replacements of the file while a reader looks at it.
constexpr int DOWNLINKS_PER_PULL = 45;
constexpr auto DOWNLINK_SPACING = 100ms;

const std::string &PREVIOUS = PREVIOUS_DOWNLINK;
const std::string &UPLINK = UPLINK_PAYLOAD; // first byte 0x40: a pull follows

// The n-th downlink the stub sends: distinct in length and content, with
// its number at both ends, so that a torn or mixed file matches none; at
// most 249 bytes, so that a LoRa frame holds it.
std::string downlink(int n)
{
    return numbered_payload(n, static_cast<std::size_t>(100 + (n * 37) % 140));
}

// What the rxpk record of a run with this rssi must read, "data" included.
std::regex record_pattern(int rssi)
{
    return std::regex(R"re(\{"rxpk":\[\{"tmst":\d+,"chan": 0,"rfch": 0,"freq":868\.100000,"stat":1,)re"
                      R"re("modu":"LORA","datr":"SF7BW125","codr":"4/5","lsnr":9,"rssi":)re" +
                      std::to_string(rssi) + R"re(,"size":22,"data":")re" + UPLINK_FRAME_BASE64 + R"re("\}\]\})re");
}

// Reads the downlink file the way the radio side would, and keeps what it
// saw: how often, and every content that is not a known downlink.
struct downlink_reader {
    std::set<std::string> known;
    int reads = 0;
    int changes = 0;
    std::string last;
    std::vector<std::string> bad;

    void look(const std::string &dir)
    {
        int fd = open((dir + "/var/iot/dldata").c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            bad.push_back("(no file)");
            return;
        }
        std::string content;
        char buf[4096];
        ssize_t n = 0;
        for (int i = 0; i < 16 && (n = read(fd, buf, sizeof buf)) > 0; ++i)
            content.append(buf, static_cast<std::size_t>(n));
        close(fd);
        ++reads;
        if (content != last)
            ++changes;
        last = content;
        if (!known.count(content) && bad.size() < 10)
            bad.push_back(content.substr(0, 80) + " (" + std::to_string(content.size()) + " bytes)");
    }
};

} // namespace

TEST(Concurrency, OverlappingRunsShareIotWithoutTearing)
{
    server_stub stub;
    ASSERT_TRUE(stub.ok());
    int next_downlink = 0;
    stub.set_script([&](server_stub &s, const stub_datagram &d) {
        if (d.data.size() < 4)
            return;
        s.reply(d, ack_for(d));
        if (d.data[3] != ID_PULL_DATA)
            return;
        for (int k = 0; k < DOWNLINKS_PER_PULL; ++k)
            s.reply(d, make_pull_resp(downlink_json(to_bytes(downlink(next_downlink++)))), k * DOWNLINK_SPACING);
    });

    downlink_reader reader;
    reader.known.insert(PREVIOUS);
    for (int n = 0; n < RUNS * DOWNLINKS_PER_PULL; ++n)
        reader.known.insert(downlink(n));

    // One frame, twenty runs: each with its own rssi, so that every
    // PUSH_DATA tells which run sent it.
    std::vector<run_options> runs;
    for (int i = 0; i < RUNS; ++i) {
        run_options opt;
        opt.args = {"rxpk", std::to_string(-60 - i), "22"};
        opt.argv0 = INSTALLED_TARNWICK;
        opt.deadline = 40s;
        if (i == 0) {
            opt.config = lorawan_config(stub.port());
            opt.data = UPLINK;
            opt.dldata = PREVIOUS;
        }
        runs.push_back(opt);
    }
    run_group g = run_together(runs, &stub, [&](const std::string &dir) { reader.look(dir); });

    for (int i = 0; i < RUNS; ++i) {
        const run_result &r = g.runs[static_cast<std::size_t>(i)];
        SCOPED_TRACE("run " + std::to_string(i));
        EXPECT_EQ(r.exit_status, 0) << r.err << r.log_text();
        std::vector<std::string> lines = log_lines(r);
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [](const std::string &l) { return l.find("fail") != std::string::npos; }),
                  0)
            << r.log_text();
    }

    // Every PUSH_DATA whole: one per run, each parsing as that run's record.
    std::map<int, int> pushes; // rssi -> count
    int pulls = 0;
    for (const stub_datagram &d : g.datagrams) {
        gateway_datagram gd = parse_gateway_datagram(d.data);
        ASSERT_TRUE(gd.has_header);
        if (gd.identifier == ID_PULL_DATA) {
            EXPECT_EQ(d.data.size(), 12u);
            ++pulls;
            continue;
        }
        ASSERT_EQ(gd.identifier, ID_PUSH_DATA);
        std::smatch m;
        ASSERT_TRUE(std::regex_search(gd.json, m, std::regex(R"re("rssi":(-\d+),)re"))) << gd.json;
        int rssi = std::stoi(m[1]);
        EXPECT_TRUE(std::regex_match(gd.json, record_pattern(rssi))) << gd.json;
        ++pushes[rssi];
    }
    EXPECT_EQ(pulls, RUNS);
    ASSERT_EQ(pushes.size(), static_cast<std::size_t>(RUNS));
    for (int i = 0; i < RUNS; ++i)
        EXPECT_EQ(pushes[-60 - i], 1) << "rssi " << -60 - i;

    // The reader looked throughout and never saw anything but a whole
    // downlink; the file did change under it.
    EXPECT_TRUE(reader.bad.empty()) << reader.bad.size() << " torn or mixed reads, e.g. " << reader.bad[0];
    EXPECT_GT(reader.reads, 1000);
    EXPECT_GT(reader.changes, 100);
    std::optional<std::string> final_downlink = g.runs[0].read_file("var/iot/dldata");
    ASSERT_TRUE(final_downlink);
    EXPECT_TRUE(reader.known.count(*final_downlink) && *final_downlink != PREVIOUS);

    // No temporary file left behind by any run.
    EXPECT_EQ(iot_files(g.dir), (std::vector<std::string>{"data", "dldata", "dltx", "pull_data"}));
}
