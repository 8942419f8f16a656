// Unit tests of the built-in UCI reader: what the conformance corpus does not
// reach (sizes, read chunks, NUL bytes in long lines, the slot contract,
// files bigger than the section table, the path checks).

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "uci/builtin_reader.h"

namespace {

constexpr std::size_t SLOT = 64;
constexpr unsigned char CANARY = 0xa5;

struct answer {
    uci_result result;
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
                  uci_builtin_tuning *tuning = nullptr)
    {
        write(content);
        guarded_slot by_path;
        guarded_slot by_bytes;
        uci_result rp = uci_builtin_find_path(path_.c_str(), section, option, by_path.bytes, SLOT,
                                              tuning);
        uci_result rb = uci_builtin_find_bytes(reinterpret_cast<const unsigned char *>(content.data()),
                                               content.size(), section, option, by_bytes.bytes,
                                               SLOT);
        EXPECT_EQ(rp, rb);
        EXPECT_EQ(std::memcmp(by_path.bytes, by_bytes.bytes, sizeof(by_path.bytes)), 0);
        EXPECT_TRUE(by_path.canary_intact());
        if (rp != uci_result::found) {
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
        EXPECT_EQ(a.result, uci_result::found) << c.len;
        EXPECT_EQ(a.value, value.substr(0, c.kept)) << c.len;
    }
}

TEST_F(BuiltinReader, OptionNameMayBeTheSlotItself)
{
    // the forwarder passes each slot as the option name it holds
    write(HEAD + "\toption gateway_id 'a840411d2c3b4e5f0000000000000000000000000000000000000000000000000000'\n"
                 "config radio radio\n\toption SF 7\n");
    char slot[SLOT] = "gateway_id";
    ASSERT_EQ(uci_builtin_find_path(path_.c_str(), "general", slot, slot, sizeof(slot)),
              uci_result::found);
    EXPECT_EQ(std::string(slot), std::string("a840411d2c3b4e5f") + std::string(47, '0'));

    char missing[SLOT] = "SF";
    ASSERT_EQ(uci_builtin_find_path(path_.c_str(), "general", missing, missing, sizeof(missing)),
              uci_result::missing);
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
    } const cases[] = {{1, 0}, {2, 1}, {65, 64}, {66, 65}, {1000, 999}, {5000, 4999}, {5001, 5000},
                       {9000, 5000}};
    for (const auto &c : cases) {
        std::string out(c.size + 8, '\x7f');
        uci_builtin_tuning tuning{};
        ASSERT_EQ(uci_builtin_find_path(path_.c_str(), "general", "mail", out.data(), c.size, &tuning),
                  uci_result::found)
            << c.size;
        EXPECT_EQ(std::string(out.data(), strnlen(out.data(), c.size)), value.substr(0, c.kept)) << c.size;
        EXPECT_EQ(out.substr(c.size), std::string(8, '\x7f')) << c.size;
        EXPECT_EQ(tuning.passes, c.kept > UCI_BUILTIN_VALUE_KEEP ? 2u : 1u) << c.size;
    }
}

TEST_F(BuiltinReader, LongLinesAnywhere)
{
    const std::string big(100 * 1024, 'k');
    struct {
        const char *what;
        std::string content;
        uci_result result;
        std::string value;
    } const cases[] = {
        {"comment line", "# " + big + "\n" + HEAD + "\toption server s\n", uci_result::found, "s"},
        {"quoted value", HEAD + "\toption server '" + big + "'\n\toption port 1\n", uci_result::found,
         big.substr(0, 63)},
        {"value over lines", HEAD + "\toption server \"a\n" + big + "\nb\"\n", uci_result::found,
         "a\n" + big.substr(0, 61)},
        {"continued lines", HEAD + "\toption server a\\\n" + big + "\\\nb\n", uci_result::found,
         "a" + big.substr(0, 62)},
        {"unquoted with a space", HEAD + "\toption server " + big + " x\n", uci_result::load_failed, ""},
        {"long section name", "config radio " + std::string(300, 'n') + "\n\toption server s\n" +
                                  "config radio " + std::string(300, 'n') + "\n",
         uci_result::missing, ""},
        {"long type changes", "config " + std::string(300, 't') + "1 general\n" + "config " +
                                  std::string(300, 't') + "2 general\n",
         uci_result::load_failed, ""},
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
        uci_result result;
        std::string value;
    } const cases[] = {
        // short line: the newline is lost, the next line joins at the NUL
        {"short line joins next", HEAD + "\toption server x #" + nul + "\n\toption port 1700\n", "port",
         uci_result::missing, ""},
        {"joined words", HEAD + "\toption server x" + nul + "\nyz\n", "server", uci_result::found, "xyz"},
        // long line: the first read holds 31 bytes, the tail of the same line follows
        {"long line tail read on",
         HEAD + "\toption server x" + nul + std::string(14, 'p') + std::string(20, 'y') + "\n", "server",
         uci_result::found, "x" + std::string(20, 'y')},
        {"NUL first hides the line", HEAD + nul + "\toption server hidden\n\toption port 1\n", "server",
         uci_result::missing, ""},
        {"NUL first, long line: tail is a line",
         HEAD + nul + std::string(30, 'p') + "\toption server tail\n", "server", uci_result::found,
         "tail"},
        {"NUL line inside quotes", HEAD + "\toption server 'a\n" + nul + "b'\n", "server",
         uci_result::load_failed, ""},
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
    EXPECT_EQ(a.result, uci_result::found);
    EXPECT_EQ(a.value, std::string(20, 'x'));
    EXPECT_EQ(lookup(joined(40), "general", "server").result, uci_result::load_failed);
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
            ASSERT_EQ(a.result, uci_result::found) << t << " " << pad;
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
    EXPECT_EQ(lookup(junk, "general", "server").result, uci_result::load_failed);
    // a junk file made only of bytes that are no command at all
    EXPECT_EQ(lookup(std::string(10 * 1024 * 1024, '\xff'), "general", "server").result,
              uci_result::load_failed);
    // and one whose every line is a comment or NUL-hidden: it loads, empty
    std::string hidden;
    while (hidden.size() < 10 * 1024 * 1024)
        hidden += std::string(1, '\0') + "junk 'x \"y\n#" + std::string(100, '\xee') + "\n";
    EXPECT_EQ(lookup(hidden, "general", "server").result, uci_result::missing);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
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
        uci_result result;
        std::string value;
        bool one_pass;
    } const cases[] = {
        {"no conflict", "config radio general\n\toption server a\n" + middle +
                            "config radio general\n\toption server b\n",
         uci_result::found, "b", false},
        {"first and last", "config radio general\n\toption server a\n" + middle +
                               "config other general\n",
         uci_result::load_failed, "", true},
        {"two middle names", middle + "config radio s17\nconfig other s2999\n", uci_result::load_failed,
         "", false},
        {"anonymous name re-opened", "config radio\n" + middle + "config other cfg01d1b4\n",
         uci_result::load_failed, "", true},
        {"anonymous name re-opened, same type", "config radio\n" + middle + "config radio cfg01d1b4\n",
         uci_result::missing, "", false},
    };
    for (const auto &c : cases) {
        uci_builtin_tuning tuning{};
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
                          "config general cfg01f223\n\toption port 1700\n" +
                          "config general\n\toption server second\n";
    struct {
        const char *section;
        const char *option;
        uci_result result;
        const char *value;
    } const cases[] = {
        {"cfg01f223", "server", uci_result::found, "first"},
        {"cfg01f223", "port", uci_result::found, "1700"},
        {"cfgcaf223", "server", uci_result::found, "second"},
        {"cfgcbf223", "server", uci_result::missing, ""},
        {"n199", "server", uci_result::missing, ""},
    };
    for (const auto &c : cases) {
        uci_builtin_tuning tuning{};
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
    EXPECT_EQ(lookup(content, "s5000", "server").result, uci_result::missing);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
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
        uci_result result;
    } const cases[] = {
        {path_, uci_result::found},
        {dir_ + "/link", uci_result::found},
        {"./lorawan", uci_result::found},
        {"lorawan", uci_result::load_failed},      // a package name, looked up elsewhere by libuci
        {"../lorawan", uci_result::load_failed},
        {dir_ + "/missing", uci_result::load_failed},
        {dir_ + "/adir", uci_result::load_failed},
        {dir_ + "/adir/", uci_result::load_failed},
        {dir_ + "/fifo", uci_result::load_failed}, // and it must not block
        {"/dev/null", uci_result::load_failed},
        {dir_ + "/with space", uci_result::load_failed},
        {dir_ + "/caf\xc3\xa9", uci_result::load_failed},
        {"", uci_result::load_failed},
    };
    for (const auto &c : cases) {
        char slot[SLOT] = {};
        EXPECT_EQ(uci_builtin_find_path(c.path.c_str(), "general", "server", slot, sizeof(slot)), c.result)
            << c.path;
    }
    ASSERT_EQ(chdir("/"), 0);
}

} // namespace
