// SPDX-License-Identifier: ISC
// The system-test rig itself: private paths, the syslog sink, the server
// stub, the runner and the rig's programs, proved with a probe program.

#include "tests/support/gateway_values.h"
#include "tests/support/server_stub.h"
#include "tests/support/syslog_sink.h"
#include "tests/support/tarnwick_run.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

const wire_bytes PULL_DATA_BYTES = *from_hex("01 1234 02 a840411d2c3b4e5f");

run_result run_probe(std::vector<std::string> args, run_options opt = {}, server_stub *stub = nullptr)
{
    opt.program = RIG_PROBE_BIN;
    opt.args = std::move(args);
    return run_program(opt, stub);
}

// The hex texts of the "reply +<ms> <hex>" lines of the probe, in order,
// and their delays in milliseconds.
struct probe_reply {
    long ms;
    std::string hex;
};

std::vector<probe_reply> replies(const std::string &out)
{
    std::vector<probe_reply> found;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        long ms = 0;
        char hex[4096] = {};
        if (std::sscanf(line.c_str(), "reply +%ld %4095s", &ms, hex) >= 1)
            found.push_back({ms, hex});
    }
    return found;
}

std::string file_state(const char *path)
{
    struct stat st;
    if (lstat(path, &st) != 0)
        return std::string(path) + " absent";
    return std::string(path) + " inode " + std::to_string(st.st_ino) + " mtime " + std::to_string(st.st_mtime) +
           " size " + std::to_string(st.st_size);
}

// Every test checks that the host's own paths are as they were (on this
// kind of machine: absent).
class Rig : public ::testing::Test {
protected:
    static std::string host_state()
    {
        return file_state("/etc/config") + "\n" + file_state("/var/iot") + "\n" + file_state("/dev/log");
    }
    void SetUp() override { before_ = host_state(); }
    void TearDown() override { EXPECT_EQ(host_state(), before_); }

private:
    std::string before_;
};

} // namespace

TEST(SyslogParse, GlibcLineShapes)
{
    struct {
        const char *raw;
        bool parsed;
        int priority, facility;
        const char *ident;
        int pid;
        const char *message;
    } cases[] = {
        {"<11>Jan  5 12:00:00 tarnwick[123]: a: need argument", true, 3, 8, "tarnwick", 123, "a: need argument"},
        // One trailing line break is dropped: glibc sends the text as it is,
        // musl adds one where the text has none.
        {"<13>Dec 31 23:59:59 tarnwick[7]: Listening at SF7BW125 on 868.100000 Mhz.\n", true, 5, 8, "tarnwick", 7,
         "Listening at SF7BW125 on 868.100000 Mhz."},
        {"<11>Jan  5 12:00:00 tarnwick[7]: two breaks\n\n", true, 3, 8, "tarnwick", 7, "two breaks\n"},
        {"<30>Jan  5 12:00:00 other: no pid here", true, 6, 24, "other", -1, "no pid here"},
        {"<14>Jan  5 12:00:00 t[1]: ", true, 6, 8, "t", 1, ""},
        {"<191>Jan  5 12:00:00 t[1]: 100% %s", true, 7, 184, "t", 1, "100% %s"},
        {"hello", false, -1, -1, "", -1, ""},
        {"<1x>Jan  5 12:00:00 t[1]: m", false, -1, -1, "", -1, ""},
        {"<14>Jan  5", false, -1, -1, "", -1, ""},
        {"<14>Jan  5 12:00:00 t[1x]: m", false, -1, -1, "", -1, ""},
        {"<14>Jan  5 12:00:00 no separator", false, -1, -1, "", -1, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.raw);
        syslog_line l = parse_syslog_line(c.raw);
        EXPECT_EQ(l.raw, c.raw);
        ASSERT_EQ(l.parsed, c.parsed);
        if (!c.parsed)
            continue;
        EXPECT_EQ(l.priority, c.priority);
        EXPECT_EQ(l.facility, c.facility);
        EXPECT_EQ(l.ident, c.ident);
        EXPECT_EQ(l.pid, c.pid);
        EXPECT_EQ(l.message, c.message);
    }
}

TEST_F(Rig, ProgramSeesItsOwnFilesAndWritesLandInTheRunDirectory)
{
    run_result r = run_probe({"cat", "/etc/config/lorawan", "cat", "/var/iot/data", "cat", "/var/iot/dldata", "write",
                              "/var/iot/dldata", "new downlink", "exists", "/var/iot/dldata.tmp"},
                             {.config = "config general 'general'\n", .data = "payload", .dldata = "old downlink"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "config general 'general'\npayloadold downlink/var/iot/dldata.tmp no\n");
    EXPECT_EQ(r.read_file("var/iot/dldata"), "new downlink");
    EXPECT_EQ(r.read_file("var/iot/data"), "payload");
}

TEST_F(Rig, ConfigAndIotDirectoryVariants)
{
    struct {
        const char *name;
        run_options opt;
        const char *out;
    } cases[] = {
        {"no config file", {}, "cat /etc/config/lorawan: No such file or directory\n/var/iot yes\n"},
        {"config is a directory",
         {.config_is_directory = true},
         "cat /etc/config/lorawan: Is a directory\n/var/iot yes\n"},
        {"no /var/iot", {.config = "x\n", .create_iot_dir = false}, "x\n/var/iot no\n"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        run_result r = run_probe({"cat", "/etc/config/lorawan", "exists", "/var/iot"}, c.opt);
        EXPECT_EQ(r.out, c.out);
    }
}

// The rest of the host stays usable, but whatever is written under /etc or
// /var goes to the run directory.
TEST_F(Rig, HostFilesStayVisibleButAreNotWritten)
{
    const char *stray = "/etc/rig_probe_stray";
    run_result r = run_probe({"exists", "/etc/passwd", "exists", "/var/tmp", "exists", "/dev/log", "devnull", "write",
                              stray, "x", "exists", stray});
    EXPECT_EQ(r.out, "/etc/passwd yes\n/var/tmp yes\n/dev/log yes\ndevnull ok\n/etc/rig_probe_stray yes\n");
    EXPECT_EQ(r.read_file("etc/rig_probe_stray"), "x");
    EXPECT_EQ(file_state(stray), std::string(stray) + " absent");
}

TEST_F(Rig, SyslogLinesArriveWithTheirPriority)
{
    run_result r = run_probe({"log", std::to_string(LOG_ERR), "error line", "log", std::to_string(LOG_WARNING),
                              "warning line", "log", std::to_string(LOG_NOTICE), "notice line\n", "log",
                              std::to_string(LOG_INFO), "100% %s %i", "log", std::to_string(LOG_DEBUG), ""});
    ASSERT_EQ(r.exit_status, 0);
    struct {
        int priority;
        const char *message;
    } expected[] = {{LOG_ERR, "error line"},
                    {LOG_WARNING, "warning line"},
                    {LOG_NOTICE, "notice line"}, // the trailing break dropped
                    {LOG_INFO, "100% %s %i"},
                    {LOG_DEBUG, ""}};
    ASSERT_EQ(r.log.size(), std::size(expected)) << r.log_text();
    for (std::size_t i = 0; i < r.log.size(); ++i) {
        const syslog_line &l = r.log[i];
        SCOPED_TRACE(l.raw);
        ASSERT_TRUE(l.parsed);
        EXPECT_EQ(l.priority, expected[i].priority);
        EXPECT_EQ(l.facility, LOG_USER);
        EXPECT_EQ(l.ident, "rig_probe");
        EXPECT_EQ(l.pid, r.pid);
        EXPECT_EQ(l.message, expected[i].message);
    }
}

TEST_F(Rig, PrivateNetworkHasOnlyItsOwnLoopback)
{
    for (bool private_net : {false, true}) {
        SCOPED_TRACE(private_net ? "private network" : "host network");
        server_stub stub;
        ASSERT_TRUE(stub.ok());
        stub.set_script(ack_everything());
        run_result r = run_probe({"loopback", "udp", std::to_string(stub.port()), to_hex(PULL_DATA_BYTES), "1000"},
                                 {.private_net = private_net}, &stub);
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(r.out.substr(0, 12), "loopback ok\n");
        EXPECT_EQ(r.datagrams.size(), private_net ? 0u : 1u);
        EXPECT_EQ(replies(r.out).size(), private_net ? 0u : 1u) << r.out;
    }
}

// As a normal user the private paths come from a user namespace.
TEST_F(Rig, WorksForAnUnprivilegedUser)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "not root: every other test already runs through a user namespace";
    run_result r = run_probe({"uid", "cat", "/etc/config/lorawan", "write", "/var/iot/dldata", "new", "devnull", "log",
                              std::to_string(LOG_NOTICE), "from a user"},
                             {.config = "user config\n", .as_user = NOBODY});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, "uid 0\nuser config\ndevnull ok\n");
    EXPECT_EQ(r.read_file("var/iot/dldata"), "new");
    struct stat st;
    ASSERT_EQ(stat((r.dir + "/var/iot/dldata").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, NOBODY.first);
    ASSERT_EQ(r.log.size(), 1u);
    EXPECT_EQ(r.log[0].message, "from a user");
    EXPECT_EQ(r.log[0].priority, LOG_NOTICE);
}

// private_run inside a run: its own directory has no etc/config, var/iot or
// dev/log, so the ones of the outer run must not show through; with
// --syslog it prints the lines it collected.
TEST_F(Rig, PrivateRunHidesTheOuterEntriesAndReportsSyslog)
{
    run_dir inner;
    char templ[] = "/tmp/rig-inner-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    inner.path = templ;

    run_result r = run_program({.args = {inner.path, "--", RIG_PROBE_BIN, "exists", "/etc/config", "exists", "/var/iot",
                                         "exists", "/dev/log", "exists", "/etc/passwd"},
                                .program = PRIVATE_RUN_BIN,
                                .config = "outer\n"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, "/etc/config no\n/var/iot no\n/dev/log no\n/etc/passwd yes\n");

    run_result s = run_program(
        {.args = {"--syslog", inner.path, "--", RIG_PROBE_BIN, "log", "5", "hello", "exists", "/dev/log", "exit", "4"},
         .program = PRIVATE_RUN_BIN});
    EXPECT_EQ(s.exit_status, 4);
    EXPECT_EQ(s.out, "/dev/log yes\n");
    EXPECT_NE(s.err.find("syslog notice rig_probe["), std::string::npos) << s.err;
    EXPECT_NE(s.err.find("]: hello\n"), std::string::npos) << s.err;
    EXPECT_TRUE(s.log.empty()); // the inner run had its own sink
}

TEST_F(Rig, StubRepliesAsScriptedAndRecordsEachRun)
{
    server_stub stub;
    ASSERT_TRUE(stub.ok());
    stub.set_script([](server_stub &s, const stub_datagram &d) {
        s.reply(d, make_ack(1, d.data[1], d.data[2], ID_PULL_ACK));
        s.reply(d, make_pull_resp("{}", 2, 9, 9), 300ms);
        s.reply(d, {}, 300ms); // an empty datagram, after the one due at the same time
    });
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        run_result r = run_probe({"udp", std::to_string(stub.port()), to_hex(PULL_DATA_BYTES), "1000"}, {}, &stub);
        std::vector<probe_reply> got = replies(r.out);
        ASSERT_EQ(got.size(), 3u) << r.out;
        EXPECT_EQ(got[0].hex, "01123404");
        EXPECT_LT(got[0].ms, 300); // not held back with the others
        EXPECT_EQ(got[1].hex, "020909037b7d");
        EXPECT_GE(got[1].ms, 300);
        EXPECT_EQ(got[2].hex, "");

        ASSERT_EQ(r.datagrams.size(), 1u); // only this run's
        EXPECT_EQ(r.datagrams[0].data, PULL_DATA_BYTES);
        EXPECT_GE(r.datagrams[0].arrival, r.start);
        EXPECT_LE(r.datagrams[0].arrival, r.start + std::chrono::duration_cast<stub_clock::duration>(r.wall));
    }
    EXPECT_EQ(stub.received().size(), 2u);
}

TEST_F(Rig, RunnerReportsStatusStreamsAndArgv0)
{
    run_result r = run_probe({"argv0", "stderr", "on stderr", "exit", "3"}, {.argv0 = "/usr/bin/tarnwick"});
    EXPECT_TRUE(r.started);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exit_status, 3);
    EXPECT_EQ(r.out, "argv0 /usr/bin/tarnwick\n");
    EXPECT_EQ(r.err, "on stderr\n");

    run_result plain = run_probe({"argv0"});
    EXPECT_EQ(plain.out, std::string("argv0 ") + RIG_PROBE_BIN + "\n");
}

static void run_past_deadline()
{
    (void)run_probe({"sleep", "20000"}, {.deadline = 200ms});
}

static void run_missing_program()
{
    (void)run_program({.program = "/nonexistent/tarnwick"});
}

TEST_F(Rig, RunnerKillsAtTheDeadlineAndReportsFailures)
{
    run_result r = run_probe({"sleep", "20000"}, {.deadline = 300ms, .deadline_is_failure = false});
    EXPECT_TRUE(r.timed_out);
    EXPECT_FALSE(r.exited);
    EXPECT_EQ(r.signal, SIGKILL);
    EXPECT_GE(r.wall, 300ms);
    EXPECT_LT(r.wall, 3s);
    EXPECT_EQ(kill(r.pid, 0), -1); // reaped

    EXPECT_NONFATAL_FAILURE(run_past_deadline(), "still ran after 200 ms");
    EXPECT_NONFATAL_FAILURE(run_missing_program(), "could not start /nonexistent/tarnwick");
}

TEST_F(Rig, RunDirectoryGoesWithTheResultUnlessKept)
{
    std::string removed, kept;
    {
        run_result r = run_probe({});
        removed = r.dir;
        EXPECT_TRUE(r.file_exists("var/iot"));
        run_result k = run_probe({}, {.keep_dir = true});
        kept = k.dir;
    }
    struct stat st;
    EXPECT_NE(stat(removed.c_str(), &st), 0);
    EXPECT_EQ(stat(kept.c_str(), &st), 0);
    run_dir cleanup{kept};
}

TEST_F(Rig, ConfigBuilderWritesOptionsAndLeavesOutOmittedOnes)
{
    EXPECT_EQ(lorawan_config(1700), "config general 'general'\n"
                                    "\toption server '127.0.0.1'\n"
                                    "\toption port '1700'\n"
                                    "\toption mail 'gateway@example.net'\n"
                                    "\toption gateway_id 'a840411d2c3b4e5f'\n"
                                    "\toption lati '52.1'\n"
                                    "\toption long '114.057865'\n"
                                    "\toption pfwd_debug '1'\n"
                                    "\n"
                                    "config radio 'radio'\n"
                                    "\toption SF '7'\n"
                                    "\toption coderate '5'\n"
                                    "\toption BW '125'\n"
                                    "\toption rx_frequency '868100000'\n");
    std::string c = lorawan_config(5, {{"port", std::nullopt}, {"mail", "it's"}, {"extra", "e"}, {"SF", "12"}});
    EXPECT_EQ(c.find("option port"), std::string::npos);
    EXPECT_NE(c.find("\toption mail 'it'\\''s'\n"), std::string::npos) << c;
    EXPECT_LT(c.find("option extra 'e'"), c.find("config radio"));
    EXPECT_NE(c.find("\toption SF '12'\n"), std::string::npos);
}

TEST_F(Rig, NsStubAnswersAndPrintsTheExchange)
{
    std::string cmd = std::string(NS_STUB_BIN) + " --downlink-hex 68656c6c6f --count 2 --seconds 10";
    FILE *ns = popen(cmd.c_str(), "r");
    ASSERT_NE(ns, nullptr);
    char line[512] = {};
    ASSERT_NE(fgets(line, sizeof line, ns), nullptr);
    unsigned port = 0;
    ASSERT_EQ(std::sscanf(line, "ns_stub listening on 127.0.0.1:%u", &port), 1) << line;

    std::string json = R"({"stat":{}})";
    wire_bytes push = *from_hex("01 abcd 00 a840411d2c3b4e5f");
    push.insert(push.end(), json.begin(), json.end());
    run_result r = run_probe({"udp", std::to_string(port), to_hex(push), "1000", "udp", std::to_string(port),
                              to_hex(PULL_DATA_BYTES), "1000"});
    std::string printed;
    while (fgets(line, sizeof line, ns))
        printed += line;
    EXPECT_EQ(pclose(ns), 0);

    std::string downlink = downlink_json(to_bytes("hello")); // the hex payload is "hello"
    EXPECT_NE(downlink.find(R"("size":5,"data":"aGVsbG8=")"), std::string::npos);
    std::vector<probe_reply> got = replies(r.out);
    ASSERT_EQ(got.size(), 3u) << r.out;
    EXPECT_EQ(got[0].hex, "01abcd01");
    EXPECT_EQ(got[1].hex, "01123404");
    EXPECT_EQ(got[2].hex, to_hex(make_pull_resp(downlink)));
    EXPECT_EQ(printed, "<- PUSH_DATA version 1 token abcd gateway a840411d2c3b4e5f json {\"stat\":{}}\n"
                       "-> PUSH_ACK version 1 token abcd\n"
                       "<- PULL_DATA version 1 token 1234 gateway a840411d2c3b4e5f\n"
                       "-> PULL_ACK version 1 token 1234\n"
                       "-> PULL_RESP version 1 token 0000 json " +
                           downlink +
                           "\n"
                           "ns_stub done: 2 datagrams\n");
}
