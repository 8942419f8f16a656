// SPDX-License-Identifier: ISC
// The log line formatter and the pfwd_debug gate.

#include <climits>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "forwarder/debug_log.h"

namespace {

std::string format(std::size_t cap, const char *fmt, ...)
{
    std::string buf(cap + 16, '#');
    va_list ap;
    va_start(ap, fmt);
    std::size_t len = format_log_line(buf.data(), cap, fmt, ap);
    va_end(ap);
    EXPECT_EQ(buf[len], '\0');
    EXPECT_EQ(std::strlen(buf.c_str()), len);
    // Nothing is written past the capacity.
    EXPECT_EQ(buf.substr(cap), std::string(16, '#'));
    return buf.substr(0, len);
}

TEST(LogFormat, Directives)
{
    EXPECT_EQ(format(LOG_LINE_SIZE, "INFO: [up] PUSH_ACK received in %i ms", 37),
              "INFO: [up] PUSH_ACK received in 37 ms");
    EXPECT_EQ(format(LOG_LINE_SIZE, "%s: get option server=%s", "/usr/bin/tarnwick", "server"),
              "/usr/bin/tarnwick: get option server=server");
    EXPECT_EQ(format(LOG_LINE_SIZE, "%i|%i|%i|%i", 0, -1, INT_MAX, INT_MIN), "0|-1|2147483647|-2147483648");
    // A '%' in an argument is text, not a directive.
    EXPECT_EQ(format(LOG_LINE_SIZE, "rxpk: %s", "100%s %i %%"), "rxpk: 100%s %i %%");
    EXPECT_EQ(format(LOG_LINE_SIZE, "no directives"), "no directives");
    EXPECT_EQ(format(LOG_LINE_SIZE, ""), "");
}

TEST(LogFormat, OtherLettersTakeAText)
{
    // Only %s and %i are known; any other letter consumes a text argument,
    // and %% is no escape. The format checker would refuse these at a real
    // call site, so call through a plain pointer.
    const char *fmt = "a%db%%c";
    EXPECT_EQ(format(LOG_LINE_SIZE, fmt, "X", "Y"), "aXbYc");
    const char *trailing = "100%";
    EXPECT_EQ(format(LOG_LINE_SIZE, trailing), "100%");
}

TEST(LogFormat, CutAtCapacity)
{
    std::string long_text(5000, 'x');
    std::string line = format(LOG_LINE_SIZE, "rxpk: %s", long_text.c_str());
    EXPECT_EQ(line.size(), LOG_LINE_SIZE - 1);
    EXPECT_EQ(line.substr(0, 6), "rxpk: ");

    EXPECT_EQ(format(8, "%s", "abcdefghij"), "abcdefg");
    EXPECT_EQ(format(8, "ab%i", -123456789), "ab-1234");
    EXPECT_EQ(format(1, "%s", "abc"), "");
}

TEST(LogGate, OpenForNonZeroNumbers)
{
    struct {
        const char *value;
        bool open;
    } cases[] = {
        {"1", true},   {"2", true},   {"-1", true},   {" 3", true},          {"7 days", true},
        {"0", false},  {"", false},   {"no", false},  {"pfwd_debug", false}, {"yes", false},
        {"00", false}, {"+0", false}, {"0x1", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(debug_enabled(c.value), c.open) << "pfwd_debug=\"" << c.value << "\"";
}

} // namespace
