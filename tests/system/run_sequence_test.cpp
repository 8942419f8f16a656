// SPDX-License-Identifier: ISC
// The run sequence of tarnwick and its log gate, seen from outside: exit
// status, standard output, every system-log line with its priority, and what
// reaches the server. The jobs' records are tested elsewhere.

#include "tests/support/gateway_values.h"
#include "tests/support/table_rows.h"
#include "tests/support/tarnwick_run.h"

#include <gtest/gtest.h>

#include <netdb.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <optional>
#include <ostream>
#include <random>
#include <regex>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

// argv[0] as the radio side passes it; the lines name it.
const char *const PROG = INSTALLED_TARNWICK;
const std::string &LISTENING = LISTENING_LINE;

// Name lookups from /etc/hosts alone: no resolver traffic leaves the run.
void hosts_from_files_only(const std::string &dir)
{
    resolve_names_locally(dir, {"ns.example.test"});
}

// The runs of these tests, for a plain fixture or a table's.
template <class Base> class with_sequence_runs : public Base {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(stub.ok());
        stub.set_script(ack_everything());
    }

    run_result run(std::vector<std::string> args, std::optional<std::string> config, run_options opt = {})
    {
        opt.args = std::move(args);
        opt.argv0 = PROG;
        opt.config = std::move(config);
        opt.prepare = hosts_from_files_only;
        return run_program(opt, &stub);
    }

    std::string config(const config_overrides &overrides = {}) { return lorawan_config(stub.port(), overrides); }

    server_stub stub;
};

using RunSequence = with_sequence_runs<::testing::Test>;

// Deterministic bytes of every value.
std::string junk(std::size_t size, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string s(size, '\0');
    for (char &c : s)
        c = static_cast<char>(gen() & 0xff);
    return s;
}

// A configuration the run cannot use: the text of /etc/config/lorawan (made
// when the row runs, from the usual text), and what else `opt` does to it.
struct unusable_case {
    const char *name;
    std::function<std::optional<std::string>(const std::string &usual)> text;
    run_options opt;
    bool needs_root;
    const char *line; // the run's one log line, a pattern
};

void PrintTo(const unusable_case &c, std::ostream *os)
{
    *os << c.name;
}

std::optional<std::string> no_text(const std::string &)
{
    return std::nullopt;
}

// The error texts of the C library differ between libraries: only their
// presence is pinned.
constexpr const char *CANNOT_READ = "err: cannot read /etc/config/lorawan: [A-Z].*";
constexpr const char *NOT_UCI = "err: cannot read /etc/config/lorawan: not valid UCI syntax";

const unusable_case UNUSABLE_CASES[] = {
    {"NoFile", no_text, {}, false, CANNOT_READ},
    {"ADirectory",
     no_text,
     {.config_is_directory = true},
     false,
     "err: cannot read /etc/config/lorawan: not a regular file"},
    // A valid file without sections: it is the missing gateway_id that ends the run.
    {"AnEmptyFile",
     [](const std::string &) { return std::optional<std::string>(""); },
     {},
     false,
     "err: gateway_id is not set: set lorawan.general.gateway_id"},
    {"UnreadableToTheRunsUser",
     [](const std::string &usual) { return std::optional<std::string>(usual); },
     {.as_user = NOBODY, .root_owned = {{"etc/config/lorawan", 0600}}},
     true,
     CANNOT_READ},
    // The reader gives up at the first line it cannot parse, so even 10 MB
    // of junk costs little time.
    {"TenMegabytesOfJunk",
     [](const std::string &) { return std::optional<std::string>(junk(10 << 20, 1)); },
     {},
     false,
     NOT_UCI},
    {"ValidConfigurationThenTenMegabytesOfJunk",
     [](const std::string &) { return std::optional<std::string>(lorawan_config(1700) + junk(10 << 20, 2)); },
     {},
     false,
     NOT_UCI},
    {"HundredKilobyteLineThatIsNoCommand",
     [](const std::string &) {
         return std::optional<std::string>(lorawan_config(1700) + std::string(100 << 10, 'x') + "\n");
     },
     {},
     false,
     NOT_UCI},
};

class UnusableConfiguration : public with_sequence_runs<::testing::TestWithParam<unusable_case>> {};

} // namespace

// A run that fails says why in one error line, whatever pfwd_debug says.
TEST_F(RunSequence, NoArgumentExitsWithStatusOneAndOneErrorLine)
{
    run_result r = run({}, config());
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(log_lines(r), std::vector<std::string>{std::string("err: ") + PROG + ": need argument"});
    EXPECT_TRUE(r.datagrams.empty());
}

TEST_F(RunSequence, FewerThanThreeArgumentsPrintTheUsageLine)
{
    const std::vector<std::string> cases[] = {{"rxpk", "12"}, {"rxpk"}, {"foo"}, {"STAT", "1"}};
    for (const auto &args : cases) {
        SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] : ""));
        run_result r = run(args, config());
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(r.out, std::string("Usage: ") + PROG + " rxpk rssi size\n");
        EXPECT_EQ(log_lines(r), std::vector<std::string>{LISTENING});
        EXPECT_TRUE(r.datagrams.empty());
    }
}

// Lookups 1 to 7 happen while pfwd_debug still holds its own name, which
// reads as 0: their lines are never written. From lookup 8 on a missing
// option is logged when pfwd_debug is a non-zero number.
TEST_F(RunSequence, MissingOptionsAreLoggedOnlyFromLookupEightOnWithTheGateOpen)
{
    const std::string sf = std::string("notice: ") + PROG + ": get option sf=SF";
    const std::string coderate = std::string("notice: ") + PROG + ": get option coderate=coderate";
    const std::string bw = std::string("notice: ") + PROG + ": get option bw=BW";
    const std::string frequency = std::string("notice: ") + PROG + ": get option frequency=rx_frequency";
    const std::string listening_sf = "notice: Listening at SFSFBW125 on 868.100000 Mhz.";
    struct {
        const char *name;
        config_overrides overrides;
        std::vector<std::string> lines;
    } cases[] = {
        {"all options present", {}, {LISTENING}},
        {"general options 1-6 missing (gateway_id aside)",
         {{"server", std::nullopt},
          {"port", std::nullopt},
          {"mail", std::nullopt},
          {"lati", std::nullopt},
          {"long", std::nullopt}},
         {LISTENING}},
        {"radio options missing",
         {{"SF", std::nullopt}, {"coderate", std::nullopt}, {"BW", std::nullopt}, {"rx_frequency", std::nullopt}},
         {sf, coderate, bw, frequency, listening_sf}},
        {"radio options missing, pfwd_debug 2", {{"pfwd_debug", "2"}, {"SF", std::nullopt}}, {sf, listening_sf}},
        {"radio options missing, pfwd_debug 0", {{"pfwd_debug", "0"}, {"SF", std::nullopt}}, {listening_sf}},
        {"radio options missing, pfwd_debug empty (UCI drops it)",
         {{"pfwd_debug", ""}, {"SF", std::nullopt}},
         {listening_sf}},
        {"radio options missing, pfwd_debug a space", {{"pfwd_debug", " "}, {"SF", std::nullopt}}, {listening_sf}},
        {"radio options missing, pfwd_debug no", {{"pfwd_debug", "no"}, {"SF", std::nullopt}}, {listening_sf}},
        // Its own line is never written: the slot still reads as 0.
        {"pfwd_debug missing", {{"pfwd_debug", std::nullopt}, {"SF", std::nullopt}}, {listening_sf}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        run_result r = run({"rxpk", "12"}, config(c.overrides));
        EXPECT_EQ(r.exit_status, 0) << r.log_text();
        EXPECT_EQ(log_lines(r), c.lines);
        EXPECT_TRUE(r.datagrams.empty());
    }
}

TEST_F(RunSequence, ListeningLineShowsSpreadingFactorAndFrequency)
{
    struct {
        config_overrides overrides;
        const char *line;
    } cases[] = {
        {{{"SF", "12"}, {"rx_frequency", "869525000"}}, "Listening at SF12BW125 on 869.525000 Mhz."},
        {{{"rx_frequency", std::nullopt}}, "Listening at SF7BW125 on 868.100000 Mhz."},
        {{{"rx_frequency", "868.1e6"}}, "Listening at SF7BW125 on 868.100000 Mhz."},
        {{{"rx_frequency", "abc"}}, "Listening at SF7BW125 on 0.000000 Mhz."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        // The gate is closed so that the listening line is the only one.
        config_overrides overrides = c.overrides;
        overrides.push_back({"pfwd_debug", "0"});
        run_result r = run({"rxpk", "12"}, config(overrides));
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(log_lines(r), std::vector<std::string>{std::string("notice: ") + c.line});
    }
}

// A missing server means this host; a missing port means 1700. Seen from
// where the status job's datagram arrives (its content is not looked at).
TEST_F(RunSequence, MissingServerAndPortFallBackToTheirDefaults)
{
    {
        SCOPED_TRACE("no server option");
        run_result r = run({"stat"}, config({{"server", std::nullopt}}));
        EXPECT_EQ(r.exit_status, 0) << r.log_text();
        EXPECT_EQ(r.datagrams.size(), 1u);
    }
    {
        SCOPED_TRACE("no port option");
        server_stub at_1700(1700, "127.0.0.2");
        ASSERT_TRUE(at_1700.ok()) << "127.0.0.2:1700 is taken";
        at_1700.set_script(ack_everything());
        run_result r = run({"stat"}, config({{"server", "127.0.0.2"}, {"port", std::nullopt}}), {});
        EXPECT_EQ(r.exit_status, 0) << r.log_text();
        at_1700.service();
        EXPECT_EQ(at_1700.received().size(), 1u);
        EXPECT_TRUE(r.datagrams.empty());
    }
    {
        SCOPED_TRACE("server given by name");
        run_result r = run({"stat"}, config({{"server", "ns.example.test"}}));
        EXPECT_EQ(r.exit_status, 0) << r.log_text();
        EXPECT_EQ(r.datagrams.size(), 1u);
    }
}

TEST_F(RunSequence, UnresolvableServerEndsTheRunBeforeAnythingIsSent)
{
    // With pfwd_debug on, the gated line is the run's one error line; with
    // it off, a line naming the options to check. The resolver's own words
    // differ between C libraries: only where they stand is pinned.
    const std::string port = std::to_string(stub.port());
    struct {
        config_overrides overrides;
        std::string gated;
        std::string always;
    } cases[] = {
        {{{"server", "no-such-host.invalid"}},
         "err: failed to open socket to any of no-such-host\\.invalid:" + port + ", .+",
         "err: server 'no-such-host\\.invalid' port '" + port +
             "' cannot be resolved \\(.+\\): check lorawan\\.general\\.server and lorawan\\.general\\.port"},
        {{{"port", "no-such-service"}},
         "err: failed to open socket to any of 127\\.0\\.0\\.1:no-such-service, .+",
         "err: server '127\\.0\\.0\\.1' port 'no-such-service' cannot be resolved \\(.+\\): check "
         "lorawan\\.general\\.server and lorawan\\.general\\.port"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.always);
        for (const char *debug : {"1", "0"}) {
            config_overrides overrides = c.overrides;
            overrides.push_back({"pfwd_debug", debug});
            // Its own network: whatever the resolver tried could not leave.
            run_result r = run({"stat"}, config(overrides), {.private_net = true});
            EXPECT_EQ(r.exit_status, 1);
            EXPECT_EQ(r.out, "");
            std::vector<std::string> lines = log_lines(r);
            ASSERT_EQ(lines.size(), 1u) << "pfwd_debug " << debug << "\n" << r.log_text();
            EXPECT_TRUE(std::regex_match(lines[0], std::regex(*debug == '1' ? c.gated : c.always)))
                << "pfwd_debug " << debug << ": " << lines[0];
        }
    }
}

// The identifier must be 16 hexadecimal digits; anything else ends the run
// with status 1 before the listening line and before any datagram. Text of
// 16 characters that are not all hex digits is refused too, rather than sent
// as whatever prefix happens to parse.
TEST_F(RunSequence, GatewayIdentifierMustBeSixteenHexDigits)
{
    struct {
        const char *name;
        std::optional<std::string> gateway_id;
        const char *logged; // the slot's text in the error line; nullptr: accepted
    } cases[] = {
        {"16 hex digits, lower case", "a840411d2c3b4e5f", nullptr},
        {"16 hex digits, upper case", "A840411D2C3B4E5F", nullptr},
        {"15 characters", "a840411d2c3b4e5", "a840411d2c3b4e5"},
        {"17 characters", "a840411d2c3b4e5f0", "a840411d2c3b4e5f0"},
        {"missing: the slot keeps its name", std::nullopt, "gateway_id"},
        {"empty: UCI drops the option", "", "gateway_id"},
        {"16 characters, one not hex", "a840411d2c3b4e5g", "a840411d2c3b4e5g"},
        {"16 characters with a 0x prefix", "0x40411d2c3b4e5f", "0x40411d2c3b4e5f"},
        {"16 characters with a space", "a840411d 2c3b4e5", "a840411d 2c3b4e5"},
        {"16 characters with a sign", "-840411d2c3b4e5f", "-840411d2c3b4e5f"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        for (const char *debug : {"1", "0"}) {
            run_result r = run({"stat"}, config({{"gateway_id", c.gateway_id}, {"pfwd_debug", debug}}));
            if (!c.logged) {
                EXPECT_EQ(r.exit_status, 0) << r.log_text();
                EXPECT_EQ(r.datagrams.size(), 1u);
                continue;
            }
            EXPECT_EQ(r.exit_status, 1);
            EXPECT_TRUE(r.datagrams.empty());
            // One error line: the gated one while pfwd_debug is on, else one
            // that names the option to set.
            std::string expected = std::string("err: [GEUI] GatewayID: ") + c.logged + " ERR";
            if (*debug == '0')
                expected = std::string(c.logged) == "gateway_id"
                               ? "err: gateway_id is not set: set lorawan.general.gateway_id"
                               : std::string("err: gateway_id '") + c.logged +
                                     "' is not 16 hexadecimal digits: set lorawan.general.gateway_id";
            EXPECT_EQ(log_lines(r), std::vector<std::string>{expected}) << "pfwd_debug " << debug;
        }
    }
}

// Without a configuration it can read, the run ends with status 1 before
// anything is sent, and its one error line says why (the log gate stays
// closed: pfwd_debug was never read).
TEST_P(UnusableConfiguration, EndsTheRunWithOneErrorLine)
{
    const unusable_case &c = GetParam();
    if (c.needs_root && geteuid() != 0)
        GTEST_SKIP() << "needs root: the file must be another user's";
    run_result r = run({"stat"}, c.text(config()), c.opt);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "");
    std::vector<std::string> lines = log_lines(r);
    ASSERT_EQ(lines.size(), 1u) << r.log_text();
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(c.line))) << lines[0];
    EXPECT_TRUE(r.datagrams.empty());
    EXPECT_LT(r.wall, scaled(5s));
}

INSTANTIATE_TEST_SUITE_P(, UnusableConfiguration, ::testing::ValuesIn(UNUSABLE_CASES), row_name());
