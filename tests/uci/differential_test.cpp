// SPDX-License-Identifier: ISC
// The built-in reader against libuci itself: the same lookups on many
// generated and mutated files must give the same answer and the same slot,
// one by one and in batches.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "uci/builtin_reader.h"
#include "uci/uci_reader.h"

namespace {

constexpr std::size_t SLOT = 64;
constexpr char CANARY = '\x5a';

struct rng {
    std::uint64_t s;
    std::uint64_t next()
    {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s;
    }
    std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
    bool chance(unsigned percent) { return below(100) < percent; }
    template <std::size_t N> const char *pick(const char *const (&a)[N]) { return a[below(N)]; }
};

const char *const KEYWORDS[] = {"config", "config", "config",  "c", "option", "option", "option",  "option", "o",
                                "list",   "l",      "package", "p", "Config", "opt",    "garbage", "#",      "options"};
const char *const TYPES[] = {"general", "radio", "general", "radio", "lora.wan-gw:1", "t", "x-y"};
const char *const SECTIONS[] = {"general",   "radio",     "general",   "radio",     "general", "radio", "cfg01f223",
                                "cfg02f223", "cfg03d1b4", "cfg02d1b4", "cfg0117ab", "9lives",  "a"};
const char *const OPTIONS[] = {"server", "port", "SF", "mail", "server", "port", "SF", "BW", "x_1", "a.b", "", "long"};
const char *const OPTIONS_VALID[] = {"server", "port", "SF", "mail", "server", "port", "SF", "BW", "x_1", "long", "9"};
// The forwarder's option names, for files looked up in batches.
const char *const OPTIONS_TARNWICK[] = {"server",     "port", "mail",     "gateway_id", "lati",         "long",
                                        "pfwd_debug", "SF",   "coderate", "BW",         "rx_frequency", "x_1"};
const char *const VALUES[] = {"x",  "1700", "lns.example.net",
                              "",   "a b",  "#",
                              ";",  "7;8",  "'",
                              "\"", "\\",   "\\\\",
                              "é",  "v\tv", "0123456789012345678901234567890123456789012345678901234567890123456789"};
const char *const SPACES[] = {" ", " ", " ", "\t", "  ", "\r", "\v", "\f", " \t"};
const char *const SAFE_ENDS[] = {"\r\n", " # c\n", "#x'\n", "\n\n", " \n", "\t\r\n"};
const char *const ENDS[] = {"\n",  "\n",     "\n",   "\n",   "\r\n",   ";", "; ",  " ;",
                            ";\n", " # c\n", "#x\n", "\\\n", "\\\r\n", "",  "\n\n"};

// A value written so that libuci reads it back unchanged.
std::string quote_valid(rng &r, const std::string &text)
{
    bool plain = !text.empty();
    for (char c : text)
        if (std::strchr(" \t\r\n\v\f'\"#;\\", c))
            plain = false;
    switch (r.below(4)) {
    case 0:
        if (plain)
            return text;
        [[fallthrough]];
    case 1:
        if (text.find('\'') == std::string::npos)
            return "'" + text + "'";
        [[fallthrough]];
    case 2: {
        std::string s = "\"";
        for (char c : text) {
            if (c == '"' || c == '\\')
                s += '\\';
            s += c;
        }
        return s + "\"";
    }
    default: { // pieces glued together, escapes, line continuations
        std::string s;
        for (char c : text) {
            if (std::strchr(" \t\r\n\v\f'\"#;\\", c))
                s += "\\";
            else if (r.chance(15))
                s += r.chance(70) ? "\\" : "\\\n";
            s += c;
        }
        return s.empty() ? "''" : s;
    }
    }
}

// An argument in any quoting, often one libuci reads differently or rejects.
std::string quote_any(rng &r, const std::string &text)
{
    switch (r.below(5)) {
    case 0:
        return text;
    case 1:
        return "'" + text + "'";
    case 2:
        return "\"" + text + "\"";
    case 3: {
        std::size_t cut = text.empty() ? 0 : r.below(text.size() + 1);
        return "'" + text.substr(0, cut) + "'\"" + text.substr(cut) + "\"";
    }
    default:
        return quote_valid(r, text);
    }
}

// `complete`: the command has all its arguments, so a ';' may follow it.
// `tarnwick`: options bear the forwarder's names.
std::string make_command(rng &r, bool sloppy, bool *in_section, bool *complete, bool tarnwick = false)
{
    std::string line;
    *complete = false;
    auto arg = [&](const std::string &text) {
        line += sloppy ? r.pick(SPACES) : (r.chance(90) ? " " : "\t");
        line += sloppy ? quote_any(r, text) : quote_valid(r, text);
    };
    if (!*in_section || r.chance(sloppy ? 30 : 20)) {
        line += sloppy ? r.pick(KEYWORDS) : (r.chance(80) ? "config" : "c");
        const char *name = r.chance(80) ? r.pick(SECTIONS) : "";
        // mostly one type per name: a repeated name with another type fails the load
        const char *type = sloppy || r.chance(5)                                          ? r.pick(TYPES)
                           : std::strstr(name, "d1b4") || std::strcmp(name, "radio") == 0 ? "radio"
                                                                                          : "general";
        arg(type);
        if (*name || r.chance(50)) {
            arg(name);
            *complete = true;
        }
        *in_section = true;
    } else {
        bool list = r.chance(15);
        line += sloppy ? r.pick(KEYWORDS) : list ? (r.chance(80) ? "list" : "l") : (r.chance(80) ? "option" : "o");
        arg(tarnwick ? r.pick(OPTIONS_TARNWICK) : r.pick(OPTIONS_VALID));
        if (r.chance(92)) {
            arg(r.pick(VALUES));
            *complete = true;
        }
    }
    if (sloppy && r.chance(10))
        arg(r.pick(VALUES));
    return line;
}

std::string make_file(rng &r, bool tarnwick = false)
{
    std::string f;
    bool in_section = false;
    bool noisy = r.chance(40);
    std::size_t lines = 1 + r.below(r.chance(10) ? 60 : 14);
    for (std::size_t i = 0; i < lines; i++) {
        bool sloppy = noisy && r.chance(8);
        if (r.chance(10))
            f += r.chance(50) ? "\n" : "# comment 'x\n";
        if (r.chance(10))
            f += r.pick(SPACES);
        bool complete;
        f += make_command(r, sloppy, &in_section, &complete, tarnwick);
        if (sloppy) {
            f += r.pick(ENDS);
        } else if (r.chance(10)) {
            f += r.pick(SAFE_ENDS);
        } else if (complete && r.chance(8)) {
            // another command on the same line
            f += r.chance(50) ? " ;" : "; ";
            f += make_command(r, false, &in_section, &complete, tarnwick);
            f += "\n";
        } else {
            f += r.chance(90) ? "\n" : "\r\n";
        }
    }
    if (r.chance(5)) // no final newline
        while (!f.empty() && f.back() == '\n')
            f.pop_back();
    if (r.chance(15)) { // a long line, for the NUL and buffer-size rules
        std::size_t at = f.find('\n', r.below(f.size() + 1));
        at = at == std::string::npos ? 0 : at + 1;
        f.insert(at, "# " + std::string(20 + r.below(300), 'k') + "\n");
    }
    std::size_t mutations = noisy ? 1 + r.below(3) : 0;
    for (std::size_t i = 0; i < mutations && !f.empty(); i++) {
        std::size_t at = r.below(f.size());
        switch (r.below(6)) {
        case 0:
            f[at] = '\0';
            break;
        case 1:
            f.insert(at, 1, '\0');
            break;
        case 2:
            f.erase(at, 1);
            break;
        case 3:
            f[at] = static_cast<char>(r.below(256));
            break;
        case 4:
            f.insert(at, 1, "'\";#\\\n\r "[r.below(9)]);
            break;
        default:
            f.resize(at);
            break;
        }
    }
    return f;
}

// The forwarder's configuration with values of every kind.
std::string make_tarnwick_config(rng &r)
{
    std::string f;
    for (const char *section : {"general", "radio"}) {
        f += std::string("config ") + section + " " + quote_valid(r, section) + "\n";
        // the first seven options are general's, then four of radio (x_1 is no one's)
        bool radio = section[0] == 'r';
        for (std::size_t i = radio ? 7 : 0; i < (radio ? 11 : 7); i++)
            f += std::string(r.chance(80) ? "\toption " : "\tlist ") + OPTIONS_TARNWICK[i] + " " +
                 quote_valid(r, r.pick(VALUES)) + "\n";
    }
    return f;
}

class Differential : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/uci-diff.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/lorawan";
    }
    void TearDown() override
    {
        unlink(path_.c_str());
        rmdir(dir_.c_str());
    }

    void write_file(const std::string &content)
    {
        FILE *f = std::fopen(path_.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(std::fwrite(content.data(), 1, content.size(), f), content.size());
        ASSERT_EQ(std::fclose(f), 0);
    }

    // Compares one lookup; returns false on a difference (and reports it).
    bool same(const std::string &content, const char *section, const char *option, std::size_t max_sections,
              unsigned *undecided)
    {
        char want[SLOT];
        char got[SLOT];
        std::memset(want, CANARY, sizeof(want));
        std::memset(got, CANARY, sizeof(got));
        cfg_result w = cfg_find_option(path_.c_str(), section, option, want, sizeof(want));
        cfg_builtin_tuning tuning{};
        tuning.max_sections = max_sections;
        cfg_result g = cfg_builtin_find_bytes(reinterpret_cast<const unsigned char *>(content.data()), content.size(),
                                              section, option, got, sizeof(got), &tuning);
        if (tuning.undecided) {
            ++*undecided;
            EXPECT_EQ(g, cfg_result::load_failed);
            return true;
        }
        if (w == g && std::memcmp(want, got, sizeof(want)) == 0) {
            outcomes_[static_cast<int>(w)]++;
            return true;
        }
        std::string hex;
        for (unsigned char ch : content) {
            char b[4];
            std::snprintf(b, sizeof(b), "%02x", ch);
            hex += b;
        }
        ADD_FAILURE() << "lookup " << section << "." << option << " (max_sections " << max_sections << "): libuci "
                      << static_cast<int>(w) << " [" << std::string(want, strnlen(want, SLOT)) << "], builtin "
                      << static_cast<int>(g) << " [" << std::string(got, strnlen(got, SLOT)) << "]\nfile hex: " << hex;
        return false;
    }

    struct batch_query {
        std::string section;
        std::string option;
        std::size_t size;
        bool by_out; // the option name is passed in the output itself, where it fits
    };

    // Compares one batch of lookups, built-in (through memory or the path)
    // against libuci (which loads the file for each query) and against the
    // built-in lookups alone. Returns false on a difference (and reports it).
    bool same_batch(const std::string &content, const std::vector<batch_query> &qs, std::size_t max_sections,
                    bool by_path, unsigned *undecided)
    {
        constexpr std::size_t GUARD = 8;
        std::vector<std::vector<char>> outs[3]; // libuci, batch, alone
        std::vector<cfg_query> calls[3];
        for (int way = 0; way < 3; way++) {
            for (const batch_query &q : qs) {
                std::vector<char> out(q.size + GUARD, CANARY);
                if (q.by_out && q.option.size() < q.size)
                    std::memcpy(out.data(), q.option.c_str(), q.option.size() + 1);
                outs[way].push_back(std::move(out));
            }
            for (std::size_t i = 0; i < qs.size(); i++) {
                char *out = outs[way][i].data();
                bool in_out = qs[i].by_out && qs[i].option.size() < qs[i].size;
                calls[way].push_back({qs[i].section.c_str(), in_out ? out : qs[i].option.c_str(), out, qs[i].size,
                                      static_cast<cfg_result>(-1)});
            }
        }
        const auto *bytes = reinterpret_cast<const unsigned char *>(content.data());
        cfg_find_options(path_.c_str(), calls[0].data(), calls[0].size());
        cfg_builtin_tuning tuning{};
        tuning.max_sections = max_sections;
        if (by_path)
            cfg_builtin_find_path_many(path_.c_str(), calls[1].data(), calls[1].size(), &tuning);
        else
            cfg_builtin_find_bytes_many(bytes, content.size(), calls[1].data(), calls[1].size(), &tuning);
        if (tuning.undecided)
            ++*undecided;
        bool ok = true;
        for (std::size_t i = 0; i < qs.size(); i++) {
            cfg_builtin_tuning alone{};
            alone.max_sections = max_sections;
            cfg_query &a = calls[2][i];
            a.result = cfg_builtin_find_bytes(bytes, content.size(), a.section, a.option, a.out, a.out_size, &alone);
            bool same_as_alone = calls[1][i].result == a.result && outs[1][i] == outs[2][i];
            bool same_as_libuci = calls[1][i].result == calls[0][i].result && outs[1][i] == outs[0][i];
            // with too little room to decide, the reader may only give up
            if (!same_as_libuci && tuning.undecided && calls[1][i].result == cfg_result::load_failed)
                same_as_libuci = true;
            if (same_as_alone && same_as_libuci) {
                outcomes_[static_cast<int>(calls[1][i].result)]++;
                continue;
            }
            ok = false;
            std::string hex;
            for (unsigned char ch : content) {
                char b[4];
                std::snprintf(b, sizeof(b), "%02x", ch);
                hex += b;
            }
            auto said = [&](int way) {
                const std::vector<char> &v = outs[way][i];
                return std::to_string(static_cast<int>(calls[way][i].result)) + " [" +
                       std::string(v.data(), strnlen(v.data(), qs[i].size)) + "]";
            };
            ADD_FAILURE() << "batch query " << i << " of " << qs.size() << ": " << qs[i].section << "." << qs[i].option
                          << " size " << qs[i].size << (qs[i].by_out ? " (named by its output)" : "")
                          << ", max_sections " << max_sections << (by_path ? ", by path" : ", in memory") << ": libuci "
                          << said(0) << ", batch " << said(1) << ", alone " << said(2) << "\nfile hex: " << hex;
        }
        return ok;
    }

    // The forwarder's eleven lookups, each naming its option by its slot.
    static std::vector<batch_query> tarnwick_batch()
    {
        std::vector<batch_query> qs;
        for (const char *o : {"server", "port", "mail", "gateway_id", "lati", "long", "pfwd_debug"})
            qs.push_back({"general", o, SLOT, true});
        for (const char *o : {"SF", "coderate", "BW", "rx_frequency"})
            qs.push_back({"radio", o, SLOT, true});
        return qs;
    }

    std::string dir_;
    std::string path_;
    unsigned outcomes_[3] = {};
};

// Many small generated files, each queried for the forwarder's options and a
// few random names, with the full table and with one that overflows at once.
TEST_F(Differential, GeneratedFilesGiveLibuciAnswers)
{
    rng r{0x9e3779b97f4a7c15ull};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    unsigned undecided = 0;
    unsigned failures = 0;
    unsigned files = 0;
    for (; files < 20000 && failures < 5; files++) {
        if (std::chrono::steady_clock::now() > deadline)
            break;
        std::string content = make_file(r);
        write_file(content);
        const char *queries[][2] = {{"general", "server"},
                                    {"general", "port"},
                                    {"radio", "SF"},
                                    {"general", "long"},
                                    {r.pick(SECTIONS), r.pick(OPTIONS)},
                                    {r.pick(SECTIONS), r.pick(OPTIONS)}};
        for (auto &q : queries) {
            std::size_t cap = r.chance(30) ? 1 + r.below(3) : 0;
            if (!same(content, q[0], q[1], cap, &undecided))
                failures++;
        }
    }
    EXPECT_GT(files, 1000u);
    std::printf("%u files: %u found, %u missing, %u load failures, %u undecided\n", files, outcomes_[0], outcomes_[1],
                outcomes_[2], undecided);
    // the generator must reach every outcome often
    for (unsigned n : outcomes_)
        EXPECT_GT(n, files / 20);
}

// The same generated files, looked up in batches: the forwarder's eleven
// lookups and up to nine more, some of them repeated, in slots of any size
// (large ones take long values whole), options often named by their own
// slots; beyond the batch's maximum, queries are looked up alone.
TEST_F(Differential, GeneratedFilesGiveLibuciAnswersInBatches)
{
    rng r{0x5eed0fba7c4e5u};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    unsigned undecided = 0;
    unsigned failures = 0;
    unsigned files = 0;
    for (; files < 8000 && failures < 5; files++) {
        if (std::chrono::steady_clock::now() > deadline)
            break;
        std::string content =
            r.chance(50) ? make_tarnwick_config(r) + make_file(r, r.chance(70)) : make_file(r, r.chance(70));
        write_file(content);
        std::vector<batch_query> qs = tarnwick_batch();
        std::size_t extra = r.below(10);
        for (std::size_t i = 0; i < extra; i++) {
            batch_query q = r.chance(20) ? qs[r.below(qs.size())]
                                         : batch_query{r.pick(SECTIONS), r.pick(OPTIONS), SLOT, r.chance(50)};
            if (r.chance(30))
                q.size = 1 + r.below(80);
            else if (r.chance(10))
                q.size = 300;
            qs.insert(qs.begin() + static_cast<std::ptrdiff_t>(r.below(qs.size() + 1)), q);
        }
        std::size_t cap = r.chance(30) ? 1 + r.below(3) : 0;
        if (!same_batch(content, qs, cap, r.chance(30), &undecided))
            failures++;
    }
    EXPECT_GT(files, 1000u);
    std::printf("%u files: %u found, %u missing, %u load failures, %u batches undecided\n", files, outcomes_[0],
                outcomes_[1], outcomes_[2], undecided);
    for (unsigned n : outcomes_)
        EXPECT_GT(n, files / 5);
}

// Files with many sections, far beyond the table, so that the partition
// passes do the type checks.
TEST_F(Differential, ManySectionsGiveLibuciAnswers)
{
    rng r{0x1234567887654321ull};
    unsigned undecided = 0;
    for (int round = 0; round < 40; round++) {
        std::string content;
        std::size_t sections = 40 + r.below(200);
        for (std::size_t i = 0; i < sections; i++) {
            std::string name = "s";
            name += std::to_string(r.below(sections));
            const char *type = r.chance(2) ? "radio" : "general";
            if (r.chance(3))
                content += "config " + std::string(type) + "\n"; // anonymous
            else
                content += "config " + std::string(r.chance(1) ? "other" : "general") + " " + name + "\n";
            content += "\toption server 'v" + std::to_string(i) + "'\n";
            if (r.chance(30))
                content += "\tlist port " + std::to_string(i) + "\n";
        }
        if (r.chance(50))
            content += "config general general\n\toption server last\n";
        write_file(content);
        EXPECT_TRUE(same(content, "general", "server", 0, &undecided));
        EXPECT_TRUE(same(content, "s1", "server", 0, &undecided));
        EXPECT_TRUE(same(content, "s2", "port", 0, &undecided));
        std::vector<batch_query> qs = tarnwick_batch();
        qs.push_back({"s1", "server", SLOT, true});
        qs.push_back({"s2", "port", SLOT, false});
        qs.push_back({"general", "server", 300, false});
        EXPECT_TRUE(same_batch(content, qs, 0, round % 2 == 0, &undecided));
    }
    EXPECT_EQ(undecided, 0u);
}

// Anonymous sections and named sections that use generated names (cfgNNHHHH):
// re-opening, two sections of one name, numbering after a re-open, type
// conflicts, with tables small enough that the multi-pass path decides.
TEST_F(Differential, GeneratedNamesGiveLibuciAnswers)
{
    rng r{0x0badc0ffee0ddf00ull};
    const char *const types[] = {"general", "radio"};
    auto generated = [](unsigned n, const char *type) {
        std::uint32_t h = 5381;
        for (const char *c = type; *c; c++)
            h = h * 33 + static_cast<unsigned char>(*c);
        char buf[32];
        std::snprintf(buf, sizeof(buf), "cfg%02x%04x", n, h & 0xffff);
        return std::string(buf);
    };
    unsigned undecided = 0;
    for (int round = 0; round < 3000; round++) {
        std::string content;
        std::vector<std::string> names;
        std::size_t lines = 2 + r.below(10);
        for (std::size_t i = 0; i < lines; i++) {
            const char *type = types[r.below(2)];
            if (r.chance(50)) {
                content += std::string("config ") + type + "\n";
            } else {
                // a name generated for some position and type; mostly this type
                const char *for_type = r.chance(85) ? type : types[r.below(2)];
                std::string name = generated(1 + static_cast<unsigned>(r.below(lines + 2)), for_type);
                names.push_back(name);
                content += std::string("config ") + type + " " + name + "\n";
            }
            if (r.chance(80))
                content += "\toption server v" + std::to_string(i) + "\n";
            if (r.chance(10))
                content += "\tlist server l" + std::to_string(i) + "\n";
        }
        write_file(content);
        std::vector<batch_query> qs = tarnwick_batch();
        for (int q = 0; q < 4; q++) {
            std::string section = !names.empty() && r.chance(50)
                                      ? names[r.below(names.size())]
                                      : generated(1 + static_cast<unsigned>(r.below(lines + 1)), types[r.below(2)]);
            EXPECT_TRUE(same(content, section.c_str(), "server", r.below(4), &undecided));
            qs.push_back({section, "server", SLOT, true});
        }
        // the generated names are looked up alone, next to a batch of the rest
        EXPECT_TRUE(same_batch(content, qs, r.below(4), round % 2 == 0, &undecided));
    }
    EXPECT_EQ(undecided, 0u);
    std::printf("%u found, %u missing, %u load failures\n", outcomes_[0], outcomes_[1], outcomes_[2]);
}

} // namespace
