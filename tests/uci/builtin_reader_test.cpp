// SPDX-License-Identifier: ISC
// Unit tests of the built-in UCI reader: what the conformance corpus does not
// reach (sizes, read chunks, NUL bytes in long lines, the slot contract,
// files bigger than the section table, the path checks, batches of lookups).

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "uci/builtin_reader.h"

namespace {

constexpr std::size_t SLOT = 64;
constexpr unsigned char CANARY = 0xa5;

struct answer {
    cfg_result result;
    std::string value; // the slot's text when found
};

// A slot with canary bytes behind it, as the forwarder's settings slots sit
// next to each other.
struct guarded_slot {
    char bytes[SLOT + 16];
    guarded_slot() { std::memset(bytes, CANARY, sizeof(bytes)); }
    bool canary_intact() const
    {
        for (std::size_t i = SLOT; i < sizeof(bytes); i++)
            if (static_cast<unsigned char>(bytes[i]) != CANARY)
                return false;
        return true;
    }
};

// One lookup of a batch.
struct query {
    std::string section;
    std::string option;
    std::size_t out_size = SLOT;
    bool named_by_out = false; // the option name is passed in the output itself
};

class BuiltinReader : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/uci-builtin.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/lorawan";
    }
    void TearDown() override
    {
        std::string cmd = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }

    void write(const std::string &content, const std::string &path = "")
    {
        FILE *f = std::fopen((path.empty() ? path_ : path).c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(std::fwrite(content.data(), 1, content.size(), f), content.size());
        ASSERT_EQ(std::fclose(f), 0);
    }

    // The lookup through the file path and through memory; both must agree
    // and keep to the slot contract.
    answer lookup(const std::string &content, const char *section, const char *option,
                  cfg_builtin_tuning *tuning = nullptr)
    {
        write(content);
        guarded_slot by_path;
        guarded_slot by_bytes;
        cfg_result rp = cfg_builtin_find_path(path_.c_str(), section, option, by_path.bytes, SLOT, tuning);
        cfg_result rb = cfg_builtin_find_bytes(reinterpret_cast<const unsigned char *>(content.data()), content.size(),
                                               section, option, by_bytes.bytes, SLOT);
        EXPECT_EQ(rp, rb);
        EXPECT_EQ(std::memcmp(by_path.bytes, by_bytes.bytes, sizeof(by_path.bytes)), 0);
        EXPECT_TRUE(by_path.canary_intact());
        if (rp != cfg_result::found) {
            for (std::size_t i = 0; i < SLOT; i++)
                EXPECT_EQ(static_cast<unsigned char>(by_path.bytes[i]), CANARY) << "slot written";
            return {rp, ""};
        }
        std::size_t len = strnlen(by_path.bytes, SLOT);
        EXPECT_LT(len, SLOT);
        for (std::size_t i = len; i < SLOT; i++)
            EXPECT_EQ(by_path.bytes[i], '\0') << "slot not cleared at " << i;
        return {rp, std::string(by_path.bytes, len)};
    }

    // One batch through the path and through memory, and each query alone
    // through the path: results and whole outputs (with canaries behind)
    // must be the same. Returns the batch's answers; `tuning` sees the
    // batch through the path.
    std::vector<answer> batch(const std::string &content, const std::vector<query> &qs,
                              cfg_builtin_tuning *tuning = nullptr)
    {
        write(content);
        constexpr std::size_t GUARD = 16;
        std::vector<std::vector<char>> outs[3];
        std::vector<cfg_query> calls[2];
        for (int way = 0; way < 3; way++) {
            for (const query &q : qs) {
                std::vector<char> out(q.out_size + GUARD, static_cast<char>(CANARY));
                if (q.named_by_out && q.option.size() < q.out_size)
                    std::memcpy(out.data(), q.option.c_str(), q.option.size() + 1);
                outs[way].push_back(std::move(out));
            }
        }
        for (int way = 0; way < 2; way++)
            for (std::size_t i = 0; i < qs.size(); i++) {
                const query &q = qs[i];
                char *out = outs[way][i].data();
                bool in_out = q.named_by_out && q.option.size() < q.out_size;
                calls[way].push_back(
                    {q.section.c_str(), in_out ? out : q.option.c_str(), out, q.out_size, static_cast<cfg_result>(-1)});
            }
        cfg_builtin_find_path_many(path_.c_str(), calls[0].data(), calls[0].size(), tuning);
        cfg_builtin_find_bytes_many(reinterpret_cast<const unsigned char *>(content.data()), content.size(),
                                    calls[1].data(), calls[1].size());
        std::vector<answer> answers;
        for (std::size_t i = 0; i < qs.size(); i++) {
            const query &q = qs[i];
            char *out = outs[2][i].data();
            bool in_out = q.named_by_out && q.option.size() < q.out_size;
            cfg_result alone = cfg_builtin_find_path(path_.c_str(), q.section.c_str(), in_out ? out : q.option.c_str(),
                                                     out, q.out_size);
            std::string what = q.section + "." + q.option + " #" + std::to_string(i);
            EXPECT_EQ(calls[0][i].result, alone) << what;
            EXPECT_EQ(calls[1][i].result, alone) << what;
            EXPECT_EQ(outs[0][i], outs[2][i]) << what;
            EXPECT_EQ(outs[1][i], outs[2][i]) << what;
            answers.push_back({alone, alone == cfg_result::found ? std::string(out) : ""});
        }
        return answers;
    }

    std::string dir_;
    std::string path_;
};

const std::string HEAD = "config radio general\n";

TEST_F(BuiltinReader, ValuesAreCutToTheSlotAndTheSlotIsCleared)
{
    struct {
        std::size_t len;
        std::size_t kept;
    } const cases[] = {{1, 1}, {62, 62}, {63, 63}, {64, 63}, {65, 63}, {100, 63}, {100000, 63}};
    for (const auto &c : cases) {
        std::string value(c.len, 'v');
        value[0] = 'A';
        answer a = lookup(HEAD + "\toption mail '" + value + "'\n", "general", "mail");
        EXPECT_EQ(a.result, cfg_result::found) << c.len;
        EXPECT_EQ(a.value, value.substr(0, c.kept)) << c.len;
    }
}

TEST_F(BuiltinReader, OptionNameMayBeTheSlotItself)
{
    // the forwarder passes each slot as the option name it holds
    write(HEAD + "\toption gateway_id 'a840411d2c3b4e5f0000000000000000000000000000000000000000000000000000'\n"
                 "config radio radio\n\toption SF 7\n");
    char slot[SLOT] = "gateway_id";
    ASSERT_EQ(cfg_builtin_find_path(path_.c_str(), "general", slot, slot, sizeof(slot)), cfg_result::found);
    EXPECT_EQ(std::string(slot), std::string("a840411d2c3b4e5f") + std::string(47, '0'));

    char missing[SLOT] = "SF";
    ASSERT_EQ(cfg_builtin_find_path(path_.c_str(), "general", missing, missing, sizeof(missing)), cfg_result::missing);
    EXPECT_STREQ(missing, "SF");
}

TEST_F(BuiltinReader, LargeSlotsGetLongValuesWhole)
{
    std::string value(5000, 'x');
    value[4999] = 'z';
    write(HEAD + "\toption mail '" + value + "'\n\toption port 1700\n");
    struct {
        std::size_t size;
        std::size_t kept;
    } const cases[] = {{1, 0}, {2, 1}, {65, 64}, {66, 65}, {1000, 999}, {5000, 4999}, {5001, 5000}, {9000, 5000}};
    for (const auto &c : cases) {
        std::string out(c.size + 8, '\x7f');
        cfg_builtin_tuning tuning{};
        ASSERT_EQ(cfg_builtin_find_path(path_.c_str(), "general", "mail", out.data(), c.size, &tuning),
                  cfg_result::found)
            << c.size;
        EXPECT_EQ(std::string(out.data(), strnlen(out.data(), c.size)), value.substr(0, c.kept)) << c.size;
        EXPECT_EQ(out.substr(c.size), std::string(8, '\x7f')) << c.size;
        EXPECT_EQ(tuning.passes, c.kept > CFG_BUILTIN_VALUE_KEEP ? 2u : 1u) << c.size;
    }
}

TEST_F(BuiltinReader, LongLinesAnywhere)
{
    const std::string big(100 * 1024, 'k');
    struct {
        const char *what;
        std::string content;
        cfg_result result;
        std::string value;
    } const cases[] = {
        {"comment line", "# " + big + "\n" + HEAD + "\toption server s\n", cfg_result::found, "s"},
        {"quoted value", HEAD + "\toption server '" + big + "'\n\toption port 1\n", cfg_result::found,
         big.substr(0, 63)},
        {"value over lines", HEAD + "\toption server \"a\n" + big + "\nb\"\n", cfg_result::found,
         "a\n" + big.substr(0, 61)},
        {"continued lines", HEAD + "\toption server a\\\n" + big + "\\\nb\n", cfg_result::found,
         "a" + big.substr(0, 62)},
        {"unquoted with a space", HEAD + "\toption server " + big + " x\n", cfg_result::load_failed, ""},
        {"long section name",
         "config radio " + std::string(300, 'n') + "\n\toption server s\n" + "config radio " + std::string(300, 'n') +
             "\n",
         cfg_result::missing, ""},
        {"long type changes",
         "config " + std::string(300, 't') + "1 general\n" + "config " + std::string(300, 't') + "2 general\n",
         cfg_result::load_failed, ""},
    };
    for (const auto &c : cases) {
        answer a = lookup(c.content, "general", "server");
        EXPECT_EQ(a.result, c.result) << c.what;
        EXPECT_EQ(a.value, c.value) << c.what;
    }
}

// libuci reads a line with fgets into a buffer of 32 bytes that doubles when
// a line does not fit; a NUL byte loses the rest of that one fgets read.
TEST_F(BuiltinReader, NulBytesCutWhatOneReadOfTheLineBufferHeld)
{
    const std::string nul(1, '\0');
    struct {
        const char *what;
        std::string content;
        const char *option;
        cfg_result result;
        std::string value;
    } const cases[] = {
        // short line: the newline is lost, the next line joins at the NUL
        {"short line joins next", HEAD + "\toption server x #" + nul + "\n\toption port 1700\n", "port",
         cfg_result::missing, ""},
        {"joined words", HEAD + "\toption server x" + nul + "\nyz\n", "server", cfg_result::found, "xyz"},
        // long line: the first read holds 31 bytes, the tail of the same line follows
        {"long line tail read on",
         HEAD + "\toption server x" + nul + std::string(14, 'p') + std::string(20, 'y') + "\n", "server",
         cfg_result::found, "x" + std::string(20, 'y')},
        {"NUL first hides the line", HEAD + nul + "\toption server hidden\n\toption port 1\n", "server",
         cfg_result::missing, ""},
        {"NUL first, long line: tail is a line", HEAD + nul + std::string(30, 'p') + "\toption server tail\n", "server",
         cfg_result::found, "tail"},
        {"NUL line inside quotes", HEAD + "\toption server 'a\n" + nul + "b'\n", "server", cfg_result::load_failed, ""},
    };
    for (const auto &c : cases) {
        answer a = lookup(c.content, "general", c.option);
        EXPECT_EQ(a.result, c.result) << c.what;
        EXPECT_EQ(a.value, c.value) << c.what;
    }
}

TEST_F(BuiltinReader, LinesJoinedByNulBytesGrowTheBufferUntilItFails)
{
    // each "x<NUL>\n" read ends without a newline: the line goes on and the
    // line buffer doubles; libuci's allocation fails long before 2^40 bytes
    auto joined = [](int reads) {
        std::string s = HEAD + "\toption server ";
        for (int i = 0; i < reads; i++)
            s += std::string("x") + '\0' + "\n";
        return s + "\n";
    };
    answer a = lookup(joined(20), "general", "server");
    EXPECT_EQ(a.result, cfg_result::found);
    EXPECT_EQ(a.value, std::string(20, 'x'));
    EXPECT_EQ(lookup(joined(40), "general", "server").result, cfg_result::load_failed);
}

// The file is read in 512-byte chunks: every token must survive a chunk
// boundary at any byte.
TEST_F(BuiltinReader, TokensAcrossReadChunks)
{
    const char *tails[] = {
        "config radio general\n\toption server 'quoted value'\n",
        "config radio general\n\toption server esc\\ aped\n",
        "config radio general\n\toption server con\\\ntinued\n",
        "config radio general\r\n\toption server \"dq\\\"x\"\r\n",
        "config radio 'general'; option server semi\n",
    };
    const char *values[] = {"quoted value", "esc aped", "continued", "dq\"x", "semi"};
    for (std::size_t t = 0; t < std::size(tails); t++) {
        for (std::size_t pad = 470; pad < 530; pad++) {
            std::string content(pad + 2, '-');
            content.front() = '#';
            content.back() = '\n';
            content.append(tails[t]);
            answer a = lookup(content, "general", "server");
            ASSERT_EQ(a.result, cfg_result::found) << t << " " << pad;
            ASSERT_EQ(a.value, values[t]) << t << " " << pad;
        }
    }
}

TEST_F(BuiltinReader, TenMegabytesOfJunkFailQuickly)
{
    std::mt19937_64 gen(7);
    std::string junk(10 * 1024 * 1024, '\0');
    for (auto &ch : junk)
        ch = static_cast<char>(gen());
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(lookup(junk, "general", "server").result, cfg_result::load_failed);
    // a junk file made only of bytes that are no command at all
    EXPECT_EQ(lookup(std::string(10 * 1024 * 1024, '\xff'), "general", "server").result, cfg_result::load_failed);
    // and one whose every line is a comment or NUL-hidden: it loads, empty
    std::string hidden;
    while (hidden.size() < 10 * 1024 * 1024)
        hidden += std::string(1, '\0') + "junk 'x \"y\n#" + std::string(100, '\xee') + "\n";
    EXPECT_EQ(lookup(hidden, "general", "server").result, cfg_result::missing);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(120));
}

// More sections than the table holds: the type checks take more passes and
// must still find a conflict anywhere.
TEST_F(BuiltinReader, TypeConflictsFarApartInALargeFile)
{
    std::string middle;
    for (int i = 0; i < 3000; i++)
        middle += "config radio s" + std::to_string(i) + "\n\toption v " + std::to_string(i) + "\n" +
                  (i % 7 == 0 ? "config radio\n" : "");
    // (a first section stays in the table: conflicts with it show in the first pass)
    struct {
        const char *what;
        std::string content;
        cfg_result result;
        std::string value;
        bool one_pass;
    } const cases[] = {
        {"no conflict",
         "config radio general\n\toption server a\n" + middle + "config radio general\n\toption server b\n",
         cfg_result::found, "b", false},
        {"first and last", "config radio general\n\toption server a\n" + middle + "config other general\n",
         cfg_result::load_failed, "", true},
        {"two middle names", middle + "config radio s17\nconfig other s2999\n", cfg_result::load_failed, "", false},
        {"anonymous name re-opened", "config radio\n" + middle + "config other cfg01d1b4\n", cfg_result::load_failed,
         "", true},
        {"anonymous name re-opened, same type", "config radio\n" + middle + "config radio cfg01d1b4\n",
         cfg_result::missing, "", false},
    };
    for (const auto &c : cases) {
        cfg_builtin_tuning tuning{};
        answer a = lookup(c.content, "general", "server", &tuning);
        EXPECT_EQ(a.result, c.result) << c.what;
        EXPECT_EQ(a.value, c.value) << c.what;
        EXPECT_EQ(tuning.passes == 1, c.one_pass) << c.what;
        EXPECT_FALSE(tuning.undecided) << c.what;
    }
}

// Anonymous sections' generated names in a file bigger than the table: their
// numbers are worked out over several passes.
TEST_F(BuiltinReader, GeneratedNamesInALargeFile)
{
    std::string many;
    for (int i = 0; i < 200; i++)
        many += "config radio n" + std::to_string(i) + "\n";
    // sections: 1 anonymous general, 200 named, then a named section using
    // the first one's generated name (re-opens it, creates nothing), then an
    // anonymous general section: number 202, not 203
    std::string content = "config general\n\toption server first\n" + many +
                          "config general cfg01f223\n\toption port 1700\n" + "config general\n\toption server second\n";
    struct {
        const char *section;
        const char *option;
        cfg_result result;
        const char *value;
    } const cases[] = {
        {"cfg01f223", "server", cfg_result::found, "first"},  {"cfg01f223", "port", cfg_result::found, "1700"},
        {"cfgcaf223", "server", cfg_result::found, "second"}, {"cfgcbf223", "server", cfg_result::missing, ""},
        {"n199", "server", cfg_result::missing, ""},
    };
    for (const auto &c : cases) {
        cfg_builtin_tuning tuning{};
        answer a = lookup(content, c.section, c.option, &tuning);
        EXPECT_EQ(a.result, c.result) << c.section << "." << c.option;
        EXPECT_EQ(a.value, c.value) << c.section << "." << c.option;
        EXPECT_FALSE(tuning.undecided);
    }
}

TEST_F(BuiltinReader, ManySectionsOneQuery)
{
    std::string content;
    for (int i = 0; i < 5000; i++)
        content += "config radio s" + std::to_string(i) + "\n\toption server v" + std::to_string(i) + "\n";
    content += "config radio s4321\n\toption port p\n"; // merges into the earlier s4321
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(lookup(content, "s4321", "server").value, "v4321");
    EXPECT_EQ(lookup(content, "s4321", "port").value, "p");
    EXPECT_EQ(lookup(content, "s5000", "server").result, cfg_result::missing);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(120));
}

TEST_F(BuiltinReader, OnlyRegularFilesWithAPackageNameLoad)
{
    write(HEAD + "\toption server s\n");
    ASSERT_EQ(mkdir((dir_ + "/adir").c_str(), 0700), 0);
    ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
    ASSERT_EQ(symlink(path_.c_str(), (dir_ + "/link").c_str()), 0);
    write(HEAD + "\toption server s\n", dir_ + "/with space");
    write(HEAD + "\toption server s\n", dir_ + "/caf\xc3\xa9");
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    struct {
        std::string path;
        cfg_result result;
    } const cases[] = {
        {path_, cfg_result::found},
        {dir_ + "/link", cfg_result::found},
        {"./lorawan", cfg_result::found},
        {"lorawan", cfg_result::load_failed}, // a package name, looked up elsewhere by libuci
        {"../lorawan", cfg_result::load_failed},
        {dir_ + "/missing", cfg_result::load_failed},
        {dir_ + "/adir", cfg_result::load_failed},
        {dir_ + "/adir/", cfg_result::load_failed},
        {dir_ + "/fifo", cfg_result::load_failed}, // and it must not block
        {"/dev/null", cfg_result::load_failed},
        {dir_ + "/with space", cfg_result::load_failed},
        {dir_ + "/caf\xc3\xa9", cfg_result::load_failed},
        {"", cfg_result::load_failed},
    };
    for (const auto &c : cases) {
        char slot[SLOT] = {};
        EXPECT_EQ(cfg_builtin_find_path(c.path.c_str(), "general", "server", slot, sizeof(slot)), c.result) << c.path;
    }
    ASSERT_EQ(chdir("/"), 0);
}

// The forwarder's eleven lookups, each passing its slot as the option name.
std::vector<query> tarnwick_queries()
{
    std::vector<query> qs;
    for (const char *o : {"server", "port", "mail", "gateway_id", "lati", "long", "pfwd_debug"})
        qs.push_back({"general", o, SLOT, true});
    for (const char *o : {"SF", "coderate", "BW", "rx_frequency"})
        qs.push_back({"radio", o, SLOT, true});
    return qs;
}

const std::string TYPICAL = "config general 'general'\n"
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
                            "\toption rx_frequency '868100000'\n";

TEST_F(BuiltinReader, BatchGivesEachQueryItsAnswerInOnePass)
{
    struct {
        const char *what;
        std::string content;
        std::vector<std::string> values; // the eleven answers, "-" for missing, "!" for load failure
    } const cases[] = {
        {"typical",
         TYPICAL,
         {"127.0.0.1", "1700", "gateway@example.net", "a840411d2c3b4e5f", "52.1", "114.057865", "1", "7", "5", "125",
          "868100000"}},
        {"sections re-opened, later values win, lists and empty values skipped",
         "config radio radio\n\toption SF 9\nconfig general general\n\tlist server a\n\toption port ''\n"
         "config radio radio\n\toption SF 10 ; option BW 250\n"
         "config general general\n\toption mail x\n\toption mail y\n\toption port 1\n\toption port ''\n",
         {"-", "1", "y", "-", "-", "-", "-", "10", "-", "250", "-"}},
        {"other sections and anonymous ones hold nothing for us",
         "config general\n\toption server anon\nconfig general other\n\toption server o\n"
         "config general general\n\toption lati 1\nconfig radio cfg03d1b4\n\toption SF 8\n",
         {"-", "-", "-", "-", "1", "-", "-", "-", "-", "-", "-"}},
        {"a type conflict fails every query",
         TYPICAL + "config radio general\n",
         {"!", "!", "!", "!", "!", "!", "!", "!", "!", "!", "!"}},
        {"a syntax error fails every query",
         TYPICAL + "\toption 'SF\n",
         {"!", "!", "!", "!", "!", "!", "!", "!", "!", "!", "!"}},
        {"empty file", "", {"-", "-", "-", "-", "-", "-", "-", "-", "-", "-", "-"}},
    };
    for (const auto &c : cases) {
        cfg_builtin_tuning tuning{};
        std::vector<answer> got = batch(c.content, tarnwick_queries(), &tuning);
        EXPECT_EQ(tuning.passes, 1u) << c.what;
        for (std::size_t i = 0; i < got.size(); i++) {
            const std::string &v = c.values[i];
            cfg_result want = v == "-" ? cfg_result::missing : v == "!" ? cfg_result::load_failed : cfg_result::found;
            EXPECT_EQ(got[i].result, want) << c.what << " #" << i;
            EXPECT_EQ(got[i].value, want == cfg_result::found ? v : "") << c.what << " #" << i;
        }
    }
}

// Queries naming the same option, with slots of every size around what the
// batch keeps of a value, and options named by their own slots.
TEST_F(BuiltinReader, BatchQueriesShareOptionsButNotSlots)
{
    const std::string value(100, 'v');
    std::vector<query> qs;
    for (std::size_t size : {1, 2, 10, 64, 65, 66, 200})
        for (bool by_out : {false, true})
            qs.push_back({"general", "mail", size, by_out});
    qs.push_back({"general", "server", SLOT, true});
    cfg_builtin_tuning tuning{};
    std::vector<answer> got = batch(HEAD + "\toption server s\n\toption mail '" + value + "'\n", qs, &tuning);
    EXPECT_EQ(got[1].result, cfg_result::found);
    EXPECT_EQ(got[1].value, "") << "a 1-byte slot holds only the NUL";
    EXPECT_EQ(got[12].value, value.substr(0, 199));
    EXPECT_EQ(got.back().value, "s");
    // the 66- and 200-byte slots want more than was kept: each reads the
    // value again
    EXPECT_EQ(tuning.passes, 1u + 4u);
}

// What one pass cannot settle is looked up alone, on the same open file;
// the further passes a file bigger than the table needs are shared.
TEST_F(BuiltinReader, BatchLooksUpAloneWhatItsPassesCannotSettle)
{
    std::string big; // more sections than the table holds
    for (int i = 0; i < 40; i++)
        big += "config radio s" + std::to_string(i) + "\n\toption SF " + std::to_string(i) + "\n";
    const std::string long_name(200, 'n');
    struct {
        const char *what;
        std::string content;
        std::vector<query> extra;
        cfg_result sf;   // radio.SF
        unsigned passes; // of the lookups alone
    } const cases[] = {
        {"generated section name",
         TYPICAL + "config radio\n\toption SF 12\n\toption BW 1\n",
         {{"cfg03d1b4", "SF"}, {"cfg03d1b4", "BW"}},
         cfg_result::found,
         2},
        {"long option name", TYPICAL + "\toption " + long_name + " 1\n", {{"radio", long_name}}, cfg_result::found, 1},
        {"long section name",
         TYPICAL + "config radio " + long_name + "\n\toption SF 1\n",
         {{long_name, "SF"}},
         cfg_result::found,
         1},
        // type checks a partition at a time
        {"big file", TYPICAL + big + "config radio radio\n\toption BW 500\n", {}, cfg_result::found, 0},
        // and where a named section may re-open an anonymous one past the
        // table, the type checks of those two
        {"big file, anonymous section re-opened",
         TYPICAL + big + "config radio\nconfig radio cfg2bd1b4\n\toption BW 3\n",
         {},
         cfg_result::found,
         0},
        {"big file, anonymous section re-opened with another type",
         TYPICAL + big + "config radio\nconfig general cfg2bd1b4\n",
         {},
         cfg_result::load_failed,
         0},
    };
    for (const auto &c : cases) {
        std::vector<query> qs = tarnwick_queries();
        qs.insert(qs.end(), c.extra.begin(), c.extra.end());
        cfg_builtin_tuning tuning{};
        std::vector<answer> got = batch(c.content, qs, &tuning);
        EXPECT_EQ(got[7].result, c.sf) << c.what;
        for (std::size_t i = 11; i < got.size(); i++)
            EXPECT_EQ(got[i].result, cfg_result::found) << c.what << " #" << i;
        cfg_builtin_tuning alone{};
        char out[SLOT];
        (void)cfg_builtin_find_path(path_.c_str(), "radio", "BW", out, sizeof(out), &alone);
        EXPECT_EQ(tuning.passes, c.passes == 0 ? alone.passes : 1 + c.passes) << c.what;
        EXPECT_GT(tuning.passes, 1u) << c.what;
        EXPECT_FALSE(tuning.undecided) << c.what;
    }
}

TEST_F(BuiltinReader, BatchBeyondItsMaximum)
{
    std::string content = "config general general\n";
    std::vector<query> qs;
    for (std::size_t i = 0; i < CFG_BUILTIN_BATCH_MAX + 9; i++) {
        std::string o = std::to_string(i).insert(0, 1, 'o');
        if (i % 3 != 0)
            content += "\toption " + o + " v" + std::to_string(i) + "\n";
        qs.push_back({"general", o, SLOT, i % 2 == 0});
    }
    cfg_builtin_tuning tuning{};
    std::vector<answer> got = batch(content, qs, &tuning);
    for (std::size_t i = 0; i < qs.size(); i++)
        EXPECT_EQ(got[i].value, i % 3 != 0 ? "v" + std::to_string(i) : "") << i;
    EXPECT_EQ(tuning.passes, 1u + 9u);
}

TEST_F(BuiltinReader, BatchOfUnloadableFilesAndOddQueries)
{
    write(TYPICAL);
    char outs[4][SLOT];
    std::memset(outs, CANARY, sizeof(outs));
    cfg_query qs[] = {
        {"general", "server", outs[0], SLOT, cfg_result::found},
        {nullptr, "server", outs[1], SLOT, cfg_result::found},
        {"general", nullptr, outs[2], SLOT, cfg_result::found},
        {"general", "port", outs[3], 0, cfg_result::found},
    };
    // no file, no package name, a directory, a FIFO (which must not block):
    // nothing is written
    ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
    for (std::string path : {dir_ + "/missing", dir_ + "/", dir_, std::string("lorawan"), dir_ + "/fifo"}) {
        cfg_builtin_find_path_many(path.c_str(), qs, std::size(qs));
        for (const cfg_query &q : qs)
            EXPECT_EQ(q.result, cfg_result::load_failed) << path;
        for (const char(&out)[SLOT] : outs)
            for (char c : out)
                ASSERT_EQ(static_cast<unsigned char>(c), CANARY) << path;
    }
    // queries without a section, an option or room fail alone
    cfg_builtin_find_path_many(path_.c_str(), qs, std::size(qs));
    EXPECT_EQ(qs[0].result, cfg_result::found);
    EXPECT_STREQ(outs[0], "127.0.0.1");
    for (std::size_t i = 1; i < std::size(qs); i++)
        EXPECT_EQ(qs[i].result, cfg_result::load_failed) << i;
    EXPECT_EQ(static_cast<unsigned char>(outs[3][0]), CANARY);
    // an empty batch touches nothing
    qs[0].result = cfg_result::missing;
    cfg_builtin_find_path_many(path_.c_str(), qs, 0);
    cfg_builtin_find_bytes_many(nullptr, 0, qs, 0);
    EXPECT_EQ(qs[0].result, cfg_result::missing);
}

} // namespace
