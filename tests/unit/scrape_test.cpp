// SPDX-License-Identifier: ISC
// The JSON field scraper of the downlink pull.

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "protocol/downlink.h"

namespace {

struct scrape_case {
    const char *json;
    const char *key;
    std::size_t out_size;
    const char *before; // the output buffer's text before the call
    const char *want;
};

TEST(ScrapeJsonField, Cases)
{
    const scrape_case cases[] = {
        {"\"size\":12,\"data\":\"SGVsbG8=\"}", "size", 8, "0", "12"},
        {"\"size\":12,\"data\":\"SGVsbG8=\"}", "data", 1024, "", "SGVsbG8="},
        // The key data does not match inside datr.
        {"{\"txpk\":{\"imme\":true,\"datr\":\"SF7BW125\",\"size\":5,\"data\":\"aGVsbG8=\"}}", "data", 1024, "",
         "aGVsbG8="},
        // Spaces and quotes are dropped wherever they stand.
        {"{\"size\" : 5 ,\"x\":1}", "size", 8, "0", "5"},
        {"{\"data\": \"a G V s\" }", "data", 1024, "", "aGVs"},
        // A plain substring: the key may match inside another key.
        {"{\"modsize\":9,\"size\":5}", "size", 8, "0", "9"},
        // Tabs, line breaks and brackets are copied.
        {"{\"size\":[\t1\n]}", "size", 8, "0", "[\t1\n]"},
        // The end of the text ends the value.
        {"\"size\":42", "size", 8, "0", "42"},
        // A full buffer ends it: 7 characters for the size text.
        {"\"size\":123456789012}", "size", 8, "0", "1234567"},
        // Not found, or found with no ':' after it: the buffer keeps its text.
        {"{\"data\":\"AAAA\"}", "size", 8, "77", "77"},
        {"{\"x\":1} size", "size", 8, "77", "77"},
        // An empty value clears the buffer.
        {"{\"size\":,\"data\":\"\"}", "size", 8, "5", ""},
    };
    for (const auto &c : cases) {
        char out[1024 + 8];
        std::memset(out, '#', sizeof out);
        std::strcpy(out, c.before);
        scrape_json_field(c.json, out, c.out_size, c.key);
        EXPECT_STREQ(out, c.want) << c.json << " key " << c.key;
        // Nothing beyond the capacity is touched.
        EXPECT_EQ(out[c.out_size], '#') << c.json;
    }
}

TEST(ScrapeJsonField, LongDataCutToItsBuffer)
{
    std::string json = "{\"data\":\"" + std::string(3000, 'A') + "\"}";
    char out[DATA_TEXT_SIZE + 1];
    out[DATA_TEXT_SIZE] = '#';
    scrape_json_field(json.c_str(), out, DATA_TEXT_SIZE, "data");
    EXPECT_EQ(std::strlen(out), DATA_TEXT_SIZE - 1);
    EXPECT_EQ(out[DATA_TEXT_SIZE], '#');
}

TEST(ScrapeJsonField, PrintsTheParserLines)
{
    char out[8] = "0";
    testing::internal::CaptureStdout();
    scrape_json_field("{\"size\": 3}", out, sizeof out, "size");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "parser size\nparser size: 3\n");
}

} // namespace
