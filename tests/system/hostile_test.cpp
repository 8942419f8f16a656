// SPDX-License-Identifier: ISC
// tarnwick run as root among hostile neighbours: a radio side (the user who
// may write in /var/iot) that plants links and kills runs, another process
// that sits on the configuration file's lock, settings that try to break
// out of the records, a server that floods standard output or sends
// downlinks no radio can send, a caller that closed its descriptors or
// stopped reading. And the rule that holds through all of it: every run
// that fails writes exactly one error line, whatever pfwd_debug says.

#include "tests/fixtures/lorawan_frames.h"
#include "tests/support/gateway_values.h"
#include "tests/support/json_check.h"
#include "tests/support/table_rows.h"
#include "tests/support/tarnwick_run.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <ostream>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

const std::string &UPLINK = UPLINK_PAYLOAD; // first byte 0x40: a pull follows
const std::string &PREVIOUS = PREVIOUS_DOWNLINK;
const std::string PREVIOUS_DLTX = "data=cHJldmlvdXM=\nsize=8\n";
constexpr std::uint8_t ID_TX_ACK = 5;

// A server name of 64 characters, and the 63 characters a cut would leave:
// the run's private /etc/hosts resolves both to the stub's address, so a run
// that cut the name would reach a server.
const std::string SERVER_64 = std::string(51, 'n') + ".example.test";
const std::string SERVER_63 = SERVER_64.substr(0, 63);

// Name lookups from the run's own /etc/hosts alone: no resolver traffic
// leaves the run.
void private_resolver(const std::string &dir)
{
    resolve_names_locally(dir, {SERVER_64, SERVER_63});
}

void write_text(const std::string &path, const std::string &text, mode_t mode = 0644)
{
    std::FILE *f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr) << path;
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

std::optional<std::string> read_text(const std::string &path)
{
    std::FILE *f = std::fopen(path.c_str(), "r");
    if (!f)
        return std::nullopt;
    std::string text;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
        text.append(buf, n);
    std::fclose(f);
    return text;
}

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool root()
{
    return geteuid() == 0;
}

// The radio side's user owns /var/iot and what it plants there: a run as
// root must not trust it.
void give_to_the_radio_side(const std::string &dir, const std::string &relative)
{
    if (!root())
        return; // without root, the test's user plays both parts
    ASSERT_EQ(lchown((dir + "/" + relative).c_str(), NOBODY.first, NOBODY.second), 0) << relative;
}

// A file only root may read, outside /var/iot, and a link to it planted as
// /var/iot/data.
const std::string ROOT_SECRET = "root's own secret";

void plant_link_to_root_only_file(const std::string &dir)
{
    write_text(dir + "/secret", ROOT_SECRET, 0600);
    ASSERT_EQ(symlink((dir + "/secret").c_str(), (dir + "/var/iot/data").c_str()), 0);
    give_to_the_radio_side(dir, "var/iot");
    give_to_the_radio_side(dir, "var/iot/data");
}

// A link to a file that does not exist yet: following it with O_CREAT would
// create that file, anywhere the link points.
void plant_dangling_link(const std::string &dir)
{
    ASSERT_EQ(symlink((dir + "/made-by-the-run").c_str(), (dir + "/var/iot/data").c_str()), 0);
    give_to_the_radio_side(dir, "var/iot");
    give_to_the_radio_side(dir, "var/iot/data");
}

// Locks the test process holds on a run's configuration file, as another
// process (a `uci commit` that hangs, say) would: taken before the run
// starts, released after it (by the fixture at the latest).
std::vector<int> held_locks;

void hold_config_lock(const std::string &dir)
{
    int fd = open((dir + "/etc/config/lorawan").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    held_locks.push_back(fd);
}

void release_config_locks()
{
    for (int fd : held_locks)
        close(fd);
    held_locks.clear();
}

// The run's log lines ("priority: message"), each without a trailing line
// break: musl's syslog adds one where the text has none, glibc passes on
// the listening line's own, so only the text is compared.
std::vector<std::string> lines_of(const run_result &r)
{
    std::vector<std::string> lines = log_lines(r);
    for (std::string &l : lines)
        if (!l.empty() && l.back() == '\n')
            l.pop_back();
    return lines;
}

std::vector<std::string> error_lines(const std::vector<std::string> &lines)
{
    std::vector<std::string> errors;
    for (const std::string &l : lines)
        if (l.starts_with("err: "))
            errors.push_back(l);
    return errors;
}

const std::string LISTENING = "notice: Listening at SF7BW125 on 868.100000 Mhz.";

// `text` as a pattern that matches only itself.
std::string exact(const std::string &text)
{
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(text, special, R"(\$&)");
}

// A reply to the PULL_DATA: bytes, sent this long after it arrived.
struct scripted_reply {
    wire_bytes bytes;
    std::chrono::milliseconds delay{0};
};
using reply_script = std::function<std::vector<scripted_reply>(wire_token)>;

// Acknowledges every PUSH_DATA and PULL_DATA in the version it came in, and
// answers the PULL_DATA with what `replies` makes of its token.
server_stub::script answer_pull(reply_script replies)
{
    return [replies = std::move(replies)](server_stub &s, const stub_datagram &d) {
        if (d.data.size() < 4)
            return;
        if (d.data[3] == ID_PUSH_DATA)
            s.reply(d, make_ack(d.data[0], d.data[1], d.data[2], ID_PUSH_ACK));
        if (d.data[3] != ID_PULL_DATA)
            return;
        s.reply(d, make_ack(d.data[0], d.data[1], d.data[2], ID_PULL_ACK));
        if (replies)
            for (const scripted_reply &r : replies(token_of(d)))
                s.reply(d, r.bytes, r.delay);
    };
}

reply_script one_downlink(const std::string &payload)
{
    return [payload](wire_token) {
        return std::vector<scripted_reply>{{make_pull_resp(downlink_json(to_bytes(payload))), 20ms}};
    };
}

// The error codes of the TX_ACKs the gateway sent, in order.
std::vector<std::string> tx_ack_codes(const std::vector<stub_datagram> &datagrams)
{
    static const std::regex code(R"re(^\{"txpk_ack":\{"error":"([A-Z_]+)"\}\}$)re");
    std::vector<std::string> codes;
    for (const stub_datagram &d : datagrams) {
        gateway_datagram g = parse_gateway_datagram(d.data);
        if (!g.has_header || g.identifier != ID_TX_ACK)
            continue;
        std::smatch m;
        codes.push_back(std::regex_match(g.json, m, code) ? m[1].str() : "(malformed) " + g.json);
    }
    return codes;
}

// The runs of these tests, for a plain fixture or a table's: the installed
// argv[0], the usual configuration with `overrides`, a private resolver.
template <class Base> class with_hostile_runs : public Base {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(stub.ok());
        stub.set_script(ack_everything());
    }

    void TearDown() override { release_config_locks(); }

    run_options options(run_options opt, const config_overrides &overrides = {})
    {
        opt.argv0 = INSTALLED_TARNWICK;
        if (!opt.config && !opt.config_is_directory)
            opt.config = lorawan_config(stub.port(), overrides);
        opt.prepare = [own = opt.prepare](const std::string &dir) {
            private_resolver(dir);
            if (own)
                own(dir);
        };
        return opt;
    }

    run_result run(run_options opt, const config_overrides &overrides = {})
    {
        run_result r = run_program(options(std::move(opt), overrides), &stub);
        release_config_locks();
        return r;
    }

    // An uplink that starts a pull, /var/iot/dldata and dltx holding the
    // previous downlink's files.
    run_result pull(const reply_script &replies, run_options opt = {}, const config_overrides &overrides = {})
    {
        stub.set_script(answer_pull(replies));
        if (opt.args.empty())
            opt.args = {"rxpk", "-57", std::to_string(UPLINK.size())};
        opt.data = UPLINK;
        opt.dldata = PREVIOUS;
        opt.prepare = [own = opt.prepare](const std::string &dir) {
            write_text(dir + "/var/iot/dltx", PREVIOUS_DLTX);
            if (own)
                own(dir);
        };
        return run(std::move(opt), overrides);
    }

    server_stub stub;
};

using Hostile = with_hostile_runs<::testing::Test>;

// ---------------------------------------------------------------------------
// Every way a run fails. Each row runs twice, with pfwd_debug 0 and 1: the
// run ends with status 1 and exactly one error line, `line` (a pattern),
// or `gated_line` with pfwd_debug 1 where a debug line says it. With
// pfwd_debug 0 that line is the only one besides the listening line.
struct fatal_case {
    const char *name;
    std::vector<std::string> args;
    config_overrides overrides;
    run_options opt;
    server_stub::script script; // null: acknowledge everything
    bool needs_root;
    std::string line;
    std::optional<std::string> gated_line;
    std::size_t datagrams; // what reached the server before the end
    std::function<void(const run_result &)> check;
};

void PrintTo(const fatal_case &c, std::ostream *os)
{
    *os << c.name;
}

std::string unsafe_line(const char *option)
{
    return exact(std::string("err: option ") + option +
                 " holds a character that would break the record (a quote, backslash, control character or "
                 "byte that is no UTF-8): set lorawan.radio." +
                 option);
}

std::string port_line(const char *port)
{
    return exact(std::string("err: option port '") + port +
                 "' is not a number from 1 to 65535: set lorawan.general.port");
}

const std::vector<std::string> STAT = {"stat"};
const std::vector<std::string> RXPK = {"rxpk", "-57", "22"};
const std::string CANNOT_READ_DATA = exact("err: can't read data file!");
const std::string CANNOT_OPEN_DATA = exact("err: can't open data file!");

const fatal_case FATAL_CASES[] = {
    // Radio texts that would break the rxpk record or add fields to it.
    {"SpreadingFactorThatAddsFields",
     STAT,
     {{"SF", R"(7","freq":1,"x":")"}},
     {},
     nullptr,
     false,
     unsafe_line("SF"),
     std::nullopt,
     0,
     nullptr},
    {"SpreadingFactorWithABackslash",
     STAT,
     {{"SF", "7\\"}},
     {},
     nullptr,
     false,
     unsafe_line("SF"),
     std::nullopt,
     0,
     nullptr},
    {"SpreadingFactorWithATab", STAT, {{"SF", "7\t"}}, {}, nullptr, false, unsafe_line("SF"), std::nullopt, 0, nullptr},
    {"SpreadingFactorWithAnEscapeSequence",
     STAT,
     {{"SF", "\x1b[2J7"}},
     {},
     nullptr,
     false,
     unsafe_line("SF"),
     std::nullopt,
     0,
     nullptr},
    // Not a quote, backslash or control character, but no valid JSON either.
    {"SpreadingFactorOfInvalidUtf8",
     STAT,
     {{"SF", "7\xff"}},
     {},
     nullptr,
     false,
     unsafe_line("SF"),
     std::nullopt,
     0,
     nullptr},
    {"CodingRateWithAQuote",
     RXPK,
     {{"coderate", "5\""}},
     {.data = UPLINK},
     nullptr,
     false,
     unsafe_line("coderate"),
     std::nullopt,
     0,
     nullptr},
    {"CodingRateWithAControlCharacter",
     STAT,
     {{"coderate", "5\x01"}},
     {},
     nullptr,
     false,
     unsafe_line("coderate"),
     std::nullopt,
     0,
     nullptr},
    // Its 63-character cut resolves to the stub: nothing reaches it.
    {"ServerOfSixtyFourCharacters",
     STAT,
     {{"server", SERVER_64}},
     {},
     nullptr,
     false,
     exact("err: option server is longer than 63 characters: set lorawan.general.server"),
     std::nullopt,
     0,
     nullptr},
    {"PortZero", STAT, {{"port", "0"}}, {}, nullptr, false, port_line("0"), std::nullopt, 0, nullptr},
    {"PortOneAboveTheRange",
     STAT,
     {{"port", "65536"}},
     {},
     nullptr,
     false,
     port_line("65536"),
     std::nullopt,
     0,
     nullptr},
    {"PortFarAboveTheRange",
     STAT,
     {{"port", "99999"}},
     {},
     nullptr,
     false,
     port_line("99999"),
     std::nullopt,
     0,
     nullptr},
    {"PortNegative", STAT, {{"port", "-1"}}, {}, nullptr, false, port_line("-1"), std::nullopt, 0, nullptr},
    // Still for the resolver, as before: the gated line serves with pfwd_debug 1.
    {"PortThatIsNoNumber",
     STAT,
     {{"port", "abc"}},
     {.private_net = true},
     nullptr,
     false,
     "err: server '127\\.0\\.0\\.1' port 'abc' cannot be resolved \\(.+\\): check lorawan\\.general\\.server and "
     "lorawan\\.general\\.port",
     "err: failed to open socket to any of 127\\.0\\.0\\.1:abc, .+",
     0,
     nullptr},
    {"ConfigurationLockedByAnotherProcess",
     STAT,
     {},
     {.prepare = hold_config_lock},
     nullptr,
     false,
     exact("err: cannot read /etc/config/lorawan: locked by another process for more than a second"),
     std::nullopt,
     0,
     [](const run_result &r) {
         EXPECT_GE(r.wall, 900ms) << "gave up before the second was over";
         EXPECT_LT(r.wall, scaled(4s));
     }},
    // What sits at /var/iot/data.
    {"DataIsALinkToARootOnlyFile",
     RXPK,
     {},
     {.prepare = plant_link_to_root_only_file},
     nullptr,
     false,
     CANNOT_READ_DATA,
     std::nullopt,
     0,
     [](const run_result &r) {
         EXPECT_EQ(read_text(r.dir + "/secret"), ROOT_SECRET);
         struct stat st;
         ASSERT_EQ(lstat((r.dir + "/var/iot/data").c_str(), &st), 0);
         EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the planted link was replaced";
     }},
    {"DataIsADanglingLink",
     RXPK,
     {},
     {.prepare = plant_dangling_link},
     nullptr,
     false,
     CANNOT_READ_DATA,
     std::nullopt,
     0,
     [](const run_result &r) {
         EXPECT_FALSE(exists(r.dir + "/made-by-the-run")) << "the run created the link's target";
     }},
    {"DataIsADirectory",
     RXPK,
     {},
     {.prepare = [](const std::string &dir) { ASSERT_EQ(mkdir((dir + "/var/iot/data").c_str(), 0755), 0); }},
     nullptr,
     false,
     CANNOT_OPEN_DATA,
     std::nullopt,
     0,
     nullptr},
    {"DataUnreadableToTheRunsUser",
     RXPK,
     {},
     {.data = "hello", .as_user = NOBODY, .root_owned = {{"var/iot/data", 0600}}},
     nullptr,
     true,
     CANNOT_OPEN_DATA,
     std::nullopt,
     0,
     nullptr},
    {"PayloadLongerThanAFrame",
     RXPK,
     {},
     {.data = std::string(300, 'A')},
     nullptr,
     false,
     exact("err: ERROR: [up] payload too long for a LoRa frame (300 bytes read, at most 255): not sent"),
     std::nullopt,
     0,
     nullptr},
    // The server's part.
    {"PullRespDataOutsideBase64",
     RXPK,
     {},
     {.data = UPLINK, .dldata = PREVIOUS},
     answer_pull([](wire_token) {
         return std::vector<scripted_reply>{{make_pull_resp(R"({"txpk":{"size":5,"data":"aGV$bG8="}})"), 20ms}};
     }),
     false,
     exact("err: ERROR: [down] PULL_RESP data holds a character outside base64: the run ends"),
     std::nullopt,
     2,
     [](const run_result &r) { EXPECT_EQ(r.read_file("var/iot/dldata"), PREVIOUS); }},
    // Only loopback in the run's network: no route to the server.
    {"UplinkConnectFails",
     STAT,
     {{"server", "10.9.8.7"}, {"port", "1700"}},
     {.private_net = true},
     nullptr,
     false,
     "err: ERROR: \\[up\\] connect returned .+",
     std::nullopt,
     0,
     nullptr},
};

class FatalPath : public with_hostile_runs<::testing::TestWithParam<fatal_case>> {};

// ---------------------------------------------------------------------------
// Standard output that is closed, unread or gone while a server sends
// downlinks (each printing its "parser" lines). Every row ends with status
// 0 (never by a signal), and no text of standard output reaches the system
// log or the server.
struct output_case {
    const char *name;
    std::vector<std::string> args; // empty: an uplink that pulls
    std::vector<int> closed;
    output_reader reader;
    reply_script replies;
    std::function<void(const run_result &)> check;
};

void PrintTo(const output_case &c, std::ostream *os)
{
    *os << c.name;
}

// What a run may print: the scraper's lines, whole.
const std::size_t STDOUT_BUDGET = 8192;

void expect_whole_parser_lines(const std::string &out)
{
    static const std::regex line("parser (size|data)(: [A-Za-z0-9+/=]*)?");
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back(), '\n') << "a line cut short";
    std::size_t start = 0;
    for (std::size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string l = out.substr(start, end - start);
        EXPECT_TRUE(std::regex_match(l, line)) << l;
    }
}

// The n-th downlink of a flood: 200 bytes, each its own.
std::string flood_downlink(int n)
{
    std::size_t tags = 2 * (std::to_string(n).size() + 2);
    return numbered_payload(n, 200 - tags);
}

const std::string LAST_WORD = "the last word";

// 400 downlinks in two seconds, about 130 KB of parser lines (a pipe holds
// 64 KiB), then one more two seconds later.
std::vector<scripted_reply> flood(wire_token)
{
    std::vector<scripted_reply> replies;
    for (int n = 0; n < 400; ++n)
        replies.push_back(
            {make_pull_resp(downlink_json(to_bytes(flood_downlink(n)))), std::chrono::milliseconds(20 + 5 * n)});
    replies.push_back({make_pull_resp(downlink_json(to_bytes(LAST_WORD))), 4000ms});
    return replies;
}

void expect_pull_listened_its_window(const run_result &r)
{
    ASSERT_EQ(r.datagrams.size(), 2u);
    auto listened = r.wall - (r.datagrams[1].arrival - r.start);
    EXPECT_GE(listened, 5s);
    EXPECT_LT(listened, scaled(7s));
}

const output_case OUTPUT_CASES[] = {
    // The system-log socket would be the first free descriptor: 1. The
    // flood's lines fill more than one buffer of standard output, so some
    // go out while the run still writes its log.
    {"StandardOutputClosed",
     {},
     {1},
     output_reader::while_running,
     flood,
     [](const run_result &r) {
         EXPECT_EQ(r.read_file("var/iot/dldata"), LAST_WORD);
         EXPECT_EQ(r.out, "");
     }},
    {"StandardInputAndOutputClosed",
     {},
     {0, 1},
     output_reader::while_running,
     flood,
     [](const run_result &r) { EXPECT_EQ(r.read_file("var/iot/dldata"), LAST_WORD); }},
    // Without descriptors 0 to 2 the server's own socket could become
    // standard output, and the parser lines datagrams to it.
    {"AllThreeClosed",
     {},
     {0, 1, 2},
     output_reader::while_running,
     flood,
     [](const run_result &r) {
         EXPECT_EQ(r.read_file("var/iot/dldata"), LAST_WORD);
         EXPECT_EQ(r.err, "");
     }},
    // Writes to a pipe without a reader fail; they never end the run.
    {"ReaderGoneBeforeTheUsageLine",
     {"rxpk", "12"},
     {},
     output_reader::gone,
     nullptr,
     [](const run_result &r) { EXPECT_TRUE(r.datagrams.empty()); }},
    {"ReaderGoneBeforeTheParserLines",
     {},
     {},
     output_reader::gone,
     one_downlink("nobody reads"),
     [](const run_result &r) { EXPECT_EQ(r.read_file("var/iot/dldata"), "nobody reads"); }},
    {"FloodWithTheReaderGone",
     {},
     {},
     output_reader::gone,
     flood,
     [](const run_result &r) {
         EXPECT_EQ(r.read_file("var/iot/dldata"), LAST_WORD);
         expect_pull_listened_its_window(r);
     }},
    // A caller that reads the output only after the run: the run must not
    // block on a full pipe, and what it printed is whole lines, at most
    // the budget, and the budget used up.
    {"FloodIntoAPipeReadOnlyAfterTheRun",
     {},
     {},
     output_reader::after_exit,
     flood,
     [](const run_result &r) {
         EXPECT_LE(r.out.size(), STDOUT_BUDGET);
         EXPECT_GT(r.out.size(), STDOUT_BUDGET - 400) << "the budget was not used";
         expect_whole_parser_lines(r.out);
         EXPECT_EQ(r.read_file("var/iot/dldata"), LAST_WORD) << "the flood stopped more than the output";
         expect_pull_listened_its_window(r);
     }},
    {"FloodIntoAPipeReadAsItComes",
     {},
     {},
     output_reader::while_running,
     flood,
     [](const run_result &r) {
         EXPECT_LE(r.out.size(), STDOUT_BUDGET);
         expect_whole_parser_lines(r.out);
         EXPECT_EQ(r.read_file("var/iot/dldata"), LAST_WORD);
     }},
};

class StandardOutput : public with_hostile_runs<::testing::TestWithParam<output_case>> {};

// ---------------------------------------------------------------------------
// Settings that try to break out of the records. Each row is one run,
// acknowledged: one datagram whose record is valid JSON and holds `fragment`.
struct record_case {
    const char *name;
    std::vector<std::string> args;
    config_overrides overrides;
    std::string fragment;
};

void PrintTo(const record_case &c, std::ostream *os)
{
    *os << c.name;
}

const std::vector<std::string> NO_PULL = {"rxpk", "-57", "1"}; // with a payload of 0x41

std::string repeat(const std::string &s, int n)
{
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}

const record_case RECORD_CASES[] = {
    {"MailQuoteAndBackslash", STAT, {{"mail", R"(a"b\c)"}}, R"("mail":"a\"b\\c")"},
    {"MailThatAddsFields", STAT, {{"mail", R"(x","lati":99,"y":")"}}, R"("mail":"x\",\"lati\":99,\"y\":\"")"},
    {"MailControlCharacters",
     STAT,
     {{"mail", "a\tb\x01"
               "c\x1f"
               "d\x1b[2J"}},
     R"("mail":"a\tb\u0001c\u001fd\u001b[2J")"},
    {"MailLineBreaks", STAT, {{"mail", "a\nb\rc"}}, R"("mail":"a\nb\rc")"},
    // DEL is no control character to JSON.
    {"MailDeleteKept",
     STAT,
     {{"mail", "a\x7f"
               "b"}},
     "\"mail\":\"a\x7f"
     "b\""},
    {"MailValidUtf8Kept",
     STAT,
     {{"mail", "Zo\xc3\xab \xe2\x9c\x93 \xf0\x9f\x98\x80"}},
     "\"mail\":\"Zo\xc3\xab \xe2\x9c\x93 \xf0\x9f\x98\x80\""},
    {"MailBytesThatAreNoUtf8",
     STAT,
     {{"mail", "\xff\xfe"
               "a\x80"}},
     R"("mail":"\u00ff\u00fea\u0080")"},
    {"MailLoneLeadByte", STAT, {{"mail", "a\xc3"}}, R"("mail":"a\u00c3")"},
    {"MailOverlongSlash", STAT, {{"mail", "\xc0\xaf"}}, R"("mail":"\u00c0\u00af")"},
    {"MailSurrogate", STAT, {{"mail", "\xed\xa0\x80"}}, R"("mail":"\u00ed\u00a0\u0080")"},
    {"MailAboveUnicode", STAT, {{"mail", "\xf4\x90\x80\x80"}}, R"("mail":"\u00f4\u0090\u0080\u0080")"},
    {"MailSequenceCutShort",
     STAT,
     {{"mail", "\xe2\x9c"
               "x"}},
     R"("mail":"\u00e2\u009cx")"},
    // The cut to 63 characters splits the last character: its lead byte
    // alone is no UTF-8.
    {"MailCutInsideACharacter",
     STAT,
     {{"mail", std::string(62, 'm') + "\xc3\xa9"}},
     "\"mail\":\"" + std::string(62, 'm') + R"(\u00c3")"},
    // The longest escapes: every one of 63 bytes written as two or six.
    {"MailOfSixtyThreeQuotes", STAT, {{"mail", std::string(63, '"')}}, "\"mail\":\"" + repeat("\\\"", 63) + "\""},
    {"MailOfSixtyThreeControlBytes",
     STAT,
     {{"mail", std::string(63, '\x01')}},
     "\"mail\":\"" + repeat("\\u0001", 63) + "\",\"desc\":\"\"}}"},
    {"MailWithFormatDirectives", STAT, {{"mail", "%s%n%x"}}, R"("mail":"%s%n%x")"},
    // Positions that are no finite float.
    {"PositionNotANumber", STAT, {{"lati", "nan"}, {"long", "-nan"}}, R"("lati":0.00000,"long":0.00000)"},
    {"PositionInfinite", STAT, {{"lati", "inf"}, {"long", "-infinity"}}, R"("lati":0.00000,"long":0.00000)"},
    {"PositionBeyondAFloat", STAT, {{"lati", "1e39"}, {"long", "-1e39"}}, R"("lati":0.00000,"long":0.00000)"},
    {"PositionLargestFloat", STAT, {{"lati", "3.4e38"}}, R"("lati":339999995214436424907732413799364296704.00000,)"},
    // The radio texts that are allowed stay as before.
    {"SpreadingFactorMissing", NO_PULL, {{"SF", std::nullopt}}, R"("datr":"SFSFBW125")"},
    {"SpreadingFactorCutTo63Characters",
     NO_PULL,
     {{"SF", std::string(70, '7')}},
     "\"datr\":\"SF" + std::string(63, '7') + "BW125\""},
    {"RadioTextsOfValidUtf8Kept", NO_PULL, {{"coderate", "5\xc3\xa9"}}, "\"codr\":\"4/5\xc3\xa9\""},
};

class HostileRecord : public with_hostile_runs<::testing::TestWithParam<record_case>> {};

// ---------------------------------------------------------------------------
// Downlinks longer than a LoRa frame: not handed over, the previous files
// stay, the server is told TX_FREQ, and (with pfwd_debug on) a warning
// line says so. The longest frame goes through.
struct long_downlink_case {
    const char *name;
    std::size_t bytes;
    bool handed_over;
    std::optional<std::string> warning; // with pfwd_debug on; none: the line for a downlink longer than a frame
};

void PrintTo(const long_downlink_case &c, std::ostream *os)
{
    *os << c.name;
}

const long_downlink_case LONG_DOWNLINK_CASES[] = {
    {"LongestFrameIsHandedOver", 255, true, std::nullopt},
    {"OneByteTooLong", 256, false, std::nullopt},
    {"ThreeHundredBytes", 300, false, std::nullopt},
    // The longest whose base64 text (1020 characters) the pull keeps whole.
    {"SevenHundredSixtyFiveBytes", 765, false, std::nullopt},
    // Its text (1024 characters, "==" at the end) is one character more
    // than the pull keeps.
    {"SevenHundredSixtySixBytes", 766, false, std::nullopt},
    // The pull keeps only a part of its text: a text that fills the pull's
    // buffer is taken as what it is, too long for a frame.
    {"ThousandBytes", 1000, false, std::nullopt},
};

class LongDownlink : public with_hostile_runs<::testing::TestWithParam<long_downlink_case>> {};

wire_bytes payload_of(std::size_t n)
{
    wire_bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return b;
}

} // namespace

// ---------------------------------------------------------------------------

TEST_P(FatalPath, EndsWithExactlyOneErrorLine)
{
    const fatal_case &c = GetParam();
    if (c.needs_root && !root())
        GTEST_SKIP() << "needs root: the file must be another user's";
    for (const char *debug : {"0", "1"}) {
        SCOPED_TRACE(std::string("pfwd_debug ") + debug);
        stub.set_script(c.script ? c.script : ack_everything());
        config_overrides overrides = c.overrides;
        overrides.push_back({"pfwd_debug", debug});
        run_options opt = c.opt;
        opt.args = c.args;
        run_result r = run(opt, overrides);
        EXPECT_TRUE(r.exited) << "signal " << r.signal;
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.datagrams.size(), c.datagrams);
        std::vector<std::string> lines = lines_of(r);
        std::vector<std::string> errors = error_lines(lines);
        ASSERT_EQ(errors.size(), 1u) << r.log_text();
        const std::string &pattern = *debug == '1' && c.gated_line ? *c.gated_line : c.line;
        EXPECT_TRUE(std::regex_match(errors[0], std::regex(pattern))) << errors[0];
        if (*debug == '0') {
            lines.erase(std::remove(lines.begin(), lines.end(), LISTENING), lines.end());
            EXPECT_EQ(lines, errors) << r.log_text();
        }
        if (c.check)
            c.check(r);
    }
}

INSTANTIATE_TEST_SUITE_P(, FatalPath, ::testing::ValuesIn(FATAL_CASES), row_name());

// The 63-character name of the row above, for comparison: it resolves to
// the stub and is used, so the 64-character one was refused for its length.
TEST_F(Hostile, ServerOfSixtyThreeCharactersIsUsed)
{
    run_result r = run({.args = STAT}, {{"server", SERVER_63}});
    EXPECT_EQ(r.exit_status, 0) << r.log_text();
    EXPECT_EQ(r.datagrams.size(), 1u);
}

// A lock that another process releases within the second is waited out:
// the run reads the file and goes on.
TEST_F(Hostile, ConfigurationLockReleasedWithinTheSecondIsWaitedOut)
{
    run_options opt = options({.args = STAT, .prepare = hold_config_lock});
    auto start = std::chrono::steady_clock::now();
    run_group g = run_together({opt}, &stub, [start](const std::string &) {
        if (std::chrono::steady_clock::now() - start >= 300ms)
            release_config_locks();
    });
    release_config_locks();
    ASSERT_EQ(g.runs.size(), 1u);
    const run_result &r = g.runs[0];
    EXPECT_EQ(r.exit_status, 0) << r.log_text();
    EXPECT_EQ(g.datagrams.size(), 1u);
    EXPECT_GE(r.wall, 250ms) << "the lock was not waited for";
    EXPECT_TRUE(error_lines(lines_of(r)).empty()) << r.log_text();
}

TEST_P(StandardOutput, NeverEndsTheRunNorReachesTheLog)
{
    const output_case &c = GetParam();
    // A run that blocks is killed at the deadline: stretched under a
    // launcher, it still comes before CTest's time-out.
    run_options opt{.args = c.args, .deadline = 12s};
    opt.closed_descriptors = c.closed;
    opt.stdout_reader = c.reader;
    run_result r = c.args.empty() ? pull(c.replies, opt) : run(opt);
    EXPECT_TRUE(r.exited) << "signal " << r.signal;
    EXPECT_EQ(r.exit_status, 0) << r.log_text();
    // log_lines checks that each line is a record of tarnwick's own, none
    // a piece of standard output.
    static const std::regex parser_line("[a-z]+: parser (size|data).*");
    for (const std::string &l : lines_of(r))
        EXPECT_FALSE(std::regex_match(l, parser_line)) << l;
    for (const stub_datagram &d : r.datagrams) {
        gateway_datagram g = parse_gateway_datagram(d.data);
        EXPECT_TRUE(g.has_header && (g.identifier == ID_PUSH_DATA || g.identifier == ID_PULL_DATA))
            << to_text(d.data).substr(0, 80);
    }
    c.check(r);
}

INSTANTIATE_TEST_SUITE_P(, StandardOutput, ::testing::ValuesIn(OUTPUT_CASES), row_name());

// The checker of the records itself: what RFC 8259 allows and what it does not.
TEST(JsonCheck, TellsValidTextFromInvalid)
{
    const struct {
        std::string text;
        bool valid;
    } cases[] = {
        {R"({"stat":{"lati":0.00000,"long":-33.86880,"mail":"a\"b\\c\u00ff\n","x":[true,false,null]}})", true},
        {" [ -0.0e+1 , 1E5 , 0 , \"\x7f\" , \"\xc3\xa9\xe2\x9c\x93\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf\" ] ", true},
        {R"({"a":"\ud800"})", true}, // the grammar allows any four hex digits
        {"", false},
        {R"({"a":1,})", false},
        {R"({"a" 1})", false},
        {R"({"a":1} x)", false},
        {R"({"a":"unterminated)", false},
        {"{\"a\":\"raw\ttab\"}", false},
        {"{\"a\":\"raw\nline\"}", false},
        {R"({"a":"\x41"})", false},
        {R"({"a":"\u12"})", false},
        {R"({"lati":nan})", false},
        {R"({"lati":inf})", false},
        {R"({"lati":-inf})", false},
        {R"({"a":01})", false},
        {R"({"a":1.})", false},
        {R"({"a":+1})", false},
        {R"({"a":.5})", false},
        {"{\"a\":\"\xff\"}", false},
        {"{\"a\":\"\xc3\"}", false},
        {"{\"a\":\"\xc0\xaf\"}", false},         // overlong
        {"{\"a\":\"\xe0\x80\xaf\"}", false},     // overlong
        {"{\"a\":\"\xed\xa0\x80\"}", false},     // a surrogate
        {"{\"a\":\"\xf4\x90\x80\x80\"}", false}, // above U+10FFFF
        {"{\"a\":\"\xe2\x9c\"}", false},         // cut short
        {std::string("{\"a\":\"\0\"}", 8), false},
        {std::string(100, '[') + std::string(100, ']'), false}, // deeper than any record
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(!json_error(c.text), c.valid) << json_error(c.text).value_or("valid");
    }
}

TEST_P(HostileRecord, IsValidJson)
{
    const record_case &c = GetParam();
    run_result r = run({.args = c.args, .data = std::string("\x41")}, c.overrides);
    EXPECT_EQ(r.exit_status, 0) << r.log_text();
    ASSERT_EQ(r.datagrams.size(), 1u);
    std::string record = parse_gateway_datagram(r.datagrams[0].data).json;
    std::optional<std::string> error = json_error(record);
    EXPECT_FALSE(error) << *error << "\n" << record;
    EXPECT_NE(record.find(c.fragment), std::string::npos) << record;
}

INSTANTIATE_TEST_SUITE_P(, HostileRecord, ::testing::ValuesIn(RECORD_CASES), row_name());

TEST_P(LongDownlink, IsNotHandedOver)
{
    const long_downlink_case &c = GetParam();
    const wire_bytes payload = payload_of(c.bytes);
    const std::string warning = c.warning ? *c.warning
                                          : "warning: WARNING: [down] downlink of " + std::to_string(c.bytes) +
                                                " bytes is longer than a LoRa frame (at most 255): not handed over";
    for (const char *debug : {"1", "0"}) {
        SCOPED_TRACE(std::string("pfwd_debug ") + debug);
        run_result r = pull(
            [&](wire_token) {
                return std::vector<scripted_reply>{{make_pull_resp(downlink_json(payload), 2), 20ms}};
            },
            {}, {{"protocol", "2"}, {"pull_window", "2"}, {"pfwd_debug", debug}});
        EXPECT_EQ(r.exit_status, 0) << r.log_text();
        std::vector<std::string> lines = lines_of(r);
        EXPECT_EQ(std::count(lines.begin(), lines.end(), warning), !c.handed_over && *debug == '1' ? 1 : 0)
            << r.log_text();
        EXPECT_TRUE(error_lines(lines).empty()) << r.log_text();
        EXPECT_EQ(tx_ack_codes(r.datagrams), std::vector<std::string>{c.handed_over ? "NONE" : "TX_FREQ"});
        if (c.handed_over) {
            EXPECT_EQ(r.read_file("var/iot/dldata"), to_text(payload));
        } else {
            EXPECT_EQ(r.read_file("var/iot/dldata"), PREVIOUS);
            EXPECT_EQ(r.read_file("var/iot/dltx"), PREVIOUS_DLTX);
        }
        EXPECT_EQ(iot_files(r.dir), (std::vector<std::string>{"data", "dldata", "dltx", "pull_data"}));
    }
}

INSTANTIATE_TEST_SUITE_P(, LongDownlink, ::testing::ValuesIn(LONG_DOWNLINK_CASES), row_name());

// ---------------------------------------------------------------------------
// Runs killed in the middle of their pulls (a crash, the radio side's
// watchdog) leave temporary files behind; the next run clears those of dead
// processes before it writes its own, and never another live run's.

namespace {

constexpr const char *TEMP_PREFIXES[] = {".dldata.", ".dltx.", ".pull_data."};

bool is_temporary(const std::string &name)
{
    return std::any_of(std::begin(TEMP_PREFIXES), std::end(TEMP_PREFIXES),
                       [&](const char *p) { return name.starts_with(p); });
}

// The n-th downlink of the storm: distinct in length and content, its
// number at both ends, so that a torn or mixed file matches none.
std::string storm_downlink(int n)
{
    return numbered_payload(n, static_cast<std::size_t>(60 + (n * 37) % 150));
}

// The data= line of a dltx text, decoded.
std::optional<std::string> dltx_payload(const std::string &dltx)
{
    std::smatch m;
    static const std::regex data("^data=([A-Za-z0-9+/=]*)$");
    std::string first = dltx.substr(0, dltx.find('\n'));
    if (!std::regex_match(first, m, data))
        return std::nullopt;
    return m[1].str();
}

// The process id in a temporary file's name, when it is a child of this
// test (one of the storm's runs) that has not ended: 0 otherwise.
pid_t writer_of(const std::string &name)
{
    for (const char *prefix : TEMP_PREFIXES) {
        if (!name.starts_with(prefix))
            continue;
        std::string digits = name.substr(std::string(prefix).size());
        if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos)
            return 0;
        pid_t pid = static_cast<pid_t>(std::stol(digits));
        std::optional<std::string> stat = read_text("/proc/" + digits + "/stat");
        if (!stat)
            return 0;
        // pid (comm) state ppid ...: the command may hold blanks, not ')'.
        std::size_t close = stat->rfind(')');
        int ppid = 0;
        char state = 0;
        if (close == std::string::npos || std::sscanf(stat->c_str() + close + 1, " %c %d", &state, &ppid) != 2 ||
            ppid != getpid() || state == 'Z')
            return 0;
        return pid;
    }
    return 0;
}

// Stops `pid`, seen writing DIR/var/iot/`name`, and kills it if that file
// is still there once it has stopped: its write cut short, the file left
// behind. Otherwise lets it go on. True when it was killed.
bool kill_mid_write(const std::string &dir, const std::string &name, pid_t pid)
{
    if (kill(pid, SIGSTOP) != 0)
        return false;
    std::string stat_path = "/proc/" + std::to_string(pid) + "/stat";
    for (int i = 0; i < 50; ++i) {
        std::optional<std::string> stat = read_text(stat_path);
        std::size_t close = stat ? stat->rfind(')') : std::string::npos;
        if (close == std::string::npos || close + 2 >= stat->size() || (*stat)[close + 2] == 'T')
            break;
        usleep(200);
    }
    if (exists(dir + "/var/iot/" + name)) {
        kill(pid, SIGKILL);
        return true;
    }
    kill(pid, SIGCONT);
    return false;
}

// A process id that no process has now: a child that has ended.
pid_t dead_pid()
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(0);
    int status = 0;
    waitpid(pid, &status, 0);
    return pid;
}

// Copies the regular files and links of one /var/iot into another.
void copy_iot(const std::string &from, const std::string &to)
{
    DIR *d = opendir(from.c_str());
    ASSERT_NE(d, nullptr) << from;
    while (const dirent *e = readdir(d)) {
        std::string name = e->d_name;
        std::string src = from + "/" + name, dst = to + "/" + name;
        struct stat st;
        if (name == "." || name == ".." || lstat(src.c_str(), &st) != 0)
            continue;
        if (S_ISLNK(st.st_mode)) {
            char target[4096];
            ssize_t n = readlink(src.c_str(), target, sizeof target - 1);
            ASSERT_GT(n, 0);
            target[n] = '\0';
            ASSERT_EQ(symlink(target, dst.c_str()), 0) << dst;
        } else if (S_ISREG(st.st_mode)) {
            std::optional<std::string> text = read_text(src);
            ASSERT_TRUE(text) << src;
            write_text(dst, *text, st.st_mode & 0777);
        }
    }
    closedir(d);
}

} // namespace

TEST_F(Hostile, KilledPullsLeaveNothingBehindTheNextRun)
{
    constexpr int RUNS = 10;
    constexpr int DOWNLINKS_PER_PULL = 800; // bursts of 8 every 10 ms: the runs write most of the time
    std::set<std::string> sent = {PREVIOUS};
    int next = 0;
    stub.set_script([&](server_stub &s, const stub_datagram &d) {
        if (d.data.size() < 4)
            return;
        if (d.data[3] == ID_PUSH_DATA)
            s.reply(d, make_ack(d.data[0], d.data[1], d.data[2], ID_PUSH_ACK));
        if (d.data[3] != ID_PULL_DATA)
            return;
        s.reply(d, make_ack(d.data[0], d.data[1], d.data[2], ID_PULL_ACK));
        for (int k = 0; k < DOWNLINKS_PER_PULL; ++k) {
            std::string p = storm_downlink(next++);
            sent.insert(p);
            s.reply(d, make_pull_resp(downlink_json(to_bytes(p))), std::chrono::milliseconds(10 + k / 8 * 10));
        }
    });

    // Version 2, so that every downlink is answered: a TX_ACK other than
    // NONE would tell of a temporary file swept from under a live run.
    config_overrides overrides = {{"protocol", "2"}, {"pfwd_debug", "0"}};
    // Kills at random moments of the pull's five seconds: after a start
    // that a launcher slows down, within a window it does not stretch.
    std::mt19937 gen(61);
    std::uniform_int_distribution<int> moment(300, 3000);
    const auto slower_start = scaled(300ms) - 300ms;
    std::vector<run_options> storm;
    for (int i = 0; i < RUNS; ++i) {
        run_options opt{.args = {"rxpk", std::to_string(-60 - i), "22"}, .deadline = 12s};
        opt.kill_after = std::chrono::milliseconds(moment(gen)) + slower_start;
        if (i == 0) {
            opt.data = UPLINK;
            opt.dldata = PREVIOUS;
        }
        storm.push_back(options(opt, overrides));
    }
    // The radio side reads the downlink throughout. A kill at a random
    // moment rarely lands inside a write, so from 300 ms on, every 250 ms,
    // a run seen with a temporary file of its own is killed in the middle
    // of that write.
    std::vector<std::string> torn;
    int reads = 0;
    int killed_writing = 0;
    auto next_kill = std::chrono::steady_clock::now() + scaled(300ms);
    run_group g = run_together(
        storm, &stub,
        [&](const std::string &dir) {
            std::optional<std::string> now = read_text(dir + "/var/iot/dldata");
            ++reads;
            if (!now || (!sent.count(*now) && torn.size() < 5))
                torn.push_back(now ? now->substr(0, 60) + " (" + std::to_string(now->size()) + " bytes)" : "(none)");
            if (std::chrono::steady_clock::now() < next_kill)
                return;
            for (const std::string &name : iot_files(dir)) {
                pid_t pid = writer_of(name);
                if (pid > 0 && kill_mid_write(dir, name, pid)) {
                    ++killed_writing;
                    next_kill = std::chrono::steady_clock::now() + 250ms;
                    break;
                }
            }
        },
        500us);

    for (const run_result &r : g.runs)
        EXPECT_TRUE(r.signal == SIGKILL || (r.exited && r.exit_status == 0))
            << "pid " << r.pid << ": signal " << r.signal << ", status " << r.exit_status;
    EXPECT_GE(std::count_if(g.runs.begin(), g.runs.end(), [](const run_result &r) { return r.signal == SIGKILL; }),
              RUNS / 2);
    EXPECT_TRUE(torn.empty()) << torn.size() << " reads of no whole downlink, e.g. " << torn[0];
    EXPECT_GT(reads, 100);
    std::vector<std::string> codes = tx_ack_codes(g.datagrams);
    EXPECT_GT(codes.size(), 100u) << "the storm's downlinks did not arrive";
    EXPECT_EQ(std::count(codes.begin(), codes.end(), "NONE"), static_cast<long>(codes.size()))
        << "a downlink could not be written while runs overlapped";
    std::optional<std::string> after_storm = read_text(g.dir + "/var/iot/dldata");
    ASSERT_TRUE(after_storm);
    EXPECT_TRUE(sent.count(*after_storm)) << after_storm->substr(0, 60);
    std::vector<std::string> storm_files = iot_files(g.dir);
    long left_by_kills = std::count_if(storm_files.begin(), storm_files.end(), is_temporary);
    EXPECT_GT(left_by_kills, 0) << "no run was killed in the middle of a write (" << killed_writing << " tried)";
    RecordProperty("temporary_files_left_by_kills", static_cast<int>(left_by_kills));
    RecordProperty("runs_killed_while_writing", killed_writing);

    // Leftovers of processes that are gone, one of them a link to a file
    // outside /var/iot; and one of a process that still runs (this test).
    const pid_t dead = dead_pid();
    const std::string live = ".dltx." + std::to_string(getpid());
    const std::string final_downlink = "the run after the storm";
    std::string outside;
    stub.set_script(answer_pull(one_downlink(final_downlink)));
    run_result r =
        run({.args = {"rxpk", "-57", "22"},
             .prepare =
                 [&](const std::string &dir) {
                     copy_iot(g.dir + "/var/iot", dir + "/var/iot");
                     std::string iot = dir + "/var/iot/";
                     for (const char *prefix : TEMP_PREFIXES)
                         write_text(iot + prefix + std::to_string(dead), "half a downlink");
                     outside = dir + "/outside";
                     write_text(outside, "not in /var/iot");
                     ASSERT_EQ(symlink(outside.c_str(), (iot + ".dldata." + std::to_string(dead_pid())).c_str()), 0);
                     write_text(iot + live, "a live run's");
                 }},
            {{"pull_window", "2"}});
    EXPECT_EQ(r.exit_status, 0) << r.log_text();
    EXPECT_TRUE(error_lines(lines_of(r)).empty()) << r.log_text();
    EXPECT_EQ(iot_files(r.dir), (std::vector<std::string>{live, "data", "dldata", "dltx", "pull_data"}))
        << "after " << left_by_kills << " temporary files left by the kills";
    EXPECT_EQ(r.read_file("var/iot/dldata"), final_downlink);
    std::optional<std::string> dltx = r.read_file("var/iot/dltx");
    ASSERT_TRUE(dltx);
    EXPECT_EQ(dltx_payload(*dltx), base64_encode(to_bytes(final_downlink))) << *dltx;
    EXPECT_EQ(read_text(outside), "not in /var/iot");
}
