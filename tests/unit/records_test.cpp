// SPDX-License-Identifier: ISC
// The text conversions of the records: decimal numbers read without
// floating point, setting texts escaped for JSON, and the tolerant reader
// of a PULL_RESP's txpk.

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "codec/decimal.h"
#include "protocol/json.h"
#include "protocol/txpk.h"

namespace {

TEST(DecimalToU32, ReadsAsStrtodThenScales)
{
    struct {
        const char *text;
        int scale;
        bool round;
        bool ok;
        std::uint32_t want;
    } cases[] = {
        {"868100000", 0, false, true, 868100000},
        {" 868100000", 0, false, true, 868100000},  // leading blanks, as atof
        {"868100000.9", 0, false, true, 868100000}, // cut toward zero
        {"868.1e6", 0, false, true, 868100000},     // an exponent
        {"8681E5", 0, false, true, 868100000},
        {"00000000000000868100000", 0, false, true, 868100000},
        {"868100000.000000000000000001", 0, false, true, 868100000},
        {"868100000Hz", 0, false, true, 868100000}, // the number at the start
        {"4294967295", 0, false, true, 4294967295u},
        {"4294967296", 0, false, false, 0}, // does not fit 32 bits
        {"1e10", 0, false, false, 0},
        {"-1", 0, false, false, 0}, // negative
        {"-0", 0, false, true, 0},
        {"0.0004", 0, true, true, 0},
        {"1e-400", 0, false, true, 0},
        {"", 0, false, false, 0},
        {"frequency", 0, false, false, 0}, // the slot's own name
        {"inf", 0, false, false, 0},
        {"nan", 0, false, false, 0},
        {"0x33BE27A0", 0, false, true, 0}, // no hexadecimal: the 0 before x
        {"e5", 0, false, false, 0},
        {"5e", 0, false, true, 5}, // an exponent needs digits
        // MHz to Hz, rounded to the nearest: the float noise servers send.
        {"869.5250244140625", 6, true, true, 869525024},
        {"869.525", 6, true, true, 869525000},
        {"868.0999995", 6, true, true, 868100000}, // a half rounds up
        {"868.0999994", 6, true, true, 868099999},
        {"868.0999994", 6, false, true, 868099999},
        {"4294.9672955", 6, true, false, 0}, // rounds past 32 bits
        {".5", 0, true, true, 1},
        {"923.2", 6, true, true, 923200000},
    };
    for (const auto &c : cases) {
        std::uint32_t got = 12345;
        EXPECT_EQ(decimal_to_u32(c.text, c.scale, c.round, &got), c.ok) << c.text;
        EXPECT_EQ(got, c.ok ? c.want : 12345u) << c.text;
    }
    const char *end = nullptr;
    std::uint32_t v = 0;
    ASSERT_TRUE(decimal_to_u32("14.5,\"x\"", 0, false, &v, &end));
    EXPECT_STREQ(end, ",\"x\"");
}

TEST(JsonEscape, EveryRecordStaysValidJson)
{
    struct {
        const char *text;
        const char *want;
    } cases[] = {
        {"noc@example.net", "noc@example.net"},
        {"a\"b", "a\\\"b"},
        {"back\\slash", "back\\\\slash"},
        {"line\nbreak\ttab\rreturn", "line\\nbreak\\ttab\\rreturn"},
        {"\x01\x1f\x7f", "\\u0001\\u001f\x7f"}, // DEL is allowed in JSON
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\xa1", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\xa1"},
        {"latin1 \xe9t\xe9", "latin1 \\u00e9t\\u00e9"}, // not UTF-8: escaped byte by byte
        {"\xc0\xaf", "\\u00c0\\u00af"},                 // an overlong form
        {"\xed\xa0\x80", "\\u00ed\\u00a0\\u0080"},      // a surrogate
        {"\xe2\x82", "\\u00e2\\u0082"},                 // cut short
        {"7\",\"freq\":1,\"x\":\"", "7\\\",\\\"freq\\\":1,\\\"x\\\":\\\""},
        {"", ""},
    };
    for (const auto &c : cases) {
        char out[512];
        std::size_t n = json_escape(out, sizeof out, c.text);
        EXPECT_STREQ(out, c.want) << c.text;
        EXPECT_EQ(n, std::strlen(c.want));
        EXPECT_EQ(json_plain(c.text), std::strcmp(c.text, c.want) == 0) << c.text;
    }
    // An escape that does not fit is left out whole, with all that follows.
    char small[4];
    EXPECT_EQ(json_escape(small, sizeof small, "ab\"cd"), 2u);
    EXPECT_STREQ(small, "ab");
    EXPECT_EQ(json_escape(small, sizeof small, "abcdefgh"), 3u);
}

// What the radio side is told, one line per field, as dltx would have it.
std::string describe(const char *json)
{
    txpk_params t;
    read_txpk(json, std::strlen(json), &t);
    std::string s = t.found ? "found" : "none";
    s += " imme=" + std::to_string(t.imme) + " ipol=" + std::to_string(t.ipol) + " ncrc=" + std::to_string(t.ncrc);
    if (t.has_tmst)
        s += " tmst=" + std::to_string(t.tmst);
    if (t.has_tmms)
        s += " tmms";
    if (t.has_freq)
        s += " freq=" + std::to_string(t.freq_hz);
    if (t.has_powe)
        s += " powe=" + std::to_string(t.powe);
    if (t.has_modu)
        s += " modu=" + std::string(t.modu);
    s += " datr=" + std::string(t.datr) + " sf=" + std::to_string(t.sf) + " bw=" + std::to_string(t.bw) +
         " codr=" + std::string(t.codr);
    s += txpk_is_lora(t) ? " lora" : " not-lora";
    return s;
}

TEST(ReadTxpk, WhatServersSend)
{
    struct {
        const char *name;
        const char *json;
        const char *want;
    } cases[] = {
        {"a class A downlink with float noise and keys the radio side does not need",
         R"({"txpk":{"imme":false,"rfch":0,"powe":14,"ant":0,"brd":0,"tmst":3005000000,"freq":869.5250244140625,)"
         R"("modu":"LORA","datr":"SF9BW125","codr":"4/5","ipol":true,"size":12,"data":"YWJj"}})",
         "found imme=0 ipol=1 ncrc=0 tmst=3005000000 freq=869525024 powe=14 modu=LORA datr=SF9BW125 sf=9 bw=125 "
         "codr=4/5 lora"},
        {"booleans and numbers as strings",
         R"({"txpk":{"imme":"true","ipol":"false","ncrc":"true","powe":"27","freq":"868.1","datr":"SF7BW125"}})",
         "found imme=1 ipol=0 ncrc=1 freq=868100000 powe=27 datr=SF7BW125 sf=7 bw=125 codr=4/5 lora"},
        {"a tmst past 2^32, not wrapped by the server",
         R"({"txpk":{"tmst":4299000000,"freq":868.1,"datr":"SF12BW125"}})",
         "found imme=0 ipol=0 ncrc=0 tmst=4032704 freq=868100000 datr=SF12BW125 sf=12 bw=125 codr=4/5 lora"},
        {"GPS time only", R"({"txpk":{"tmms":1234567890123,"freq":868.1,"datr":"SF7BW125"}})",
         "found imme=0 ipol=0 ncrc=0 tmms freq=868100000 datr=SF7BW125 sf=7 bw=125 codr=4/5 lora"},
        {"FSK", R"({"txpk":{"imme":true,"modu":"FSK","datr":50000,"fdev":25000,"freq":868.8}})",
         "found imme=1 ipol=0 ncrc=0 freq=868800000 modu=FSK datr=50000 sf=0 bw=0 codr=4/5 not-lora"},
        {"nested values, nulls and blanks are skipped; the last of two keys wins",
         " { \"meta\" : {\"a\":[1,{\"tmst\":5}],\"b\":\"}\"} , \"txpk\" : { \"x\" : null , \"y\":[[\"]\"]],"
         " \"powe\" : -3 , \"powe\":7, \"datr\" : \"SF10BW500\" , \"codr\":\"4/8\" } }",
         "found imme=0 ipol=0 ncrc=0 powe=7 datr=SF10BW500 sf=10 bw=500 codr=4/8 lora"},
        {"escaped quotes inside strings", R"({"txpk":{"note":"say \"tmst\":1","tmst":9}})",
         "found imme=0 ipol=0 ncrc=0 tmst=9 datr= sf=0 bw=0 codr=4/5 lora"},
        {"no txpk", R"({"rxpk":[{"tmst":1}]})", "none imme=0 ipol=0 ncrc=0 datr= sf=0 bw=0 codr=4/5 lora"},
        {"a txpk that is not an object", R"({"txpk":[{"tmst":1}]})",
         "none imme=0 ipol=0 ncrc=0 datr= sf=0 bw=0 codr=4/5 lora"},
        {"cut short: what was read stays", R"({"txpk":{"tmst":77,"freq":868.1,"datr":"SF7)",
         "found imme=0 ipol=0 ncrc=0 tmst=77 freq=868100000 datr= sf=0 bw=0 codr=4/5 lora"},
        {"data rates that are no LoRa rates", R"({"txpk":{"datr":"SF13BW125"}})",
         "found imme=0 ipol=0 ncrc=0 datr=SF13BW125 sf=0 bw=0 codr=4/5 lora"},
        {"a negative tmst is no tmst", R"({"txpk":{"tmst":-5}})",
         "found imme=0 ipol=0 ncrc=0 datr= sf=0 bw=0 codr=4/5 lora"},
        {"not JSON", "txpk", "none imme=0 ipol=0 ncrc=0 datr= sf=0 bw=0 codr=4/5 lora"},
        {"texts cut at a line break or control byte, so that each stays one line of dltx",
         "{\"txpk\":{\"datr\":\"SF7BW125\nfreq=1\",\"codr\":\"4/5\x01x\","
         "\"modu\":\"LORA\r\",\"freq\":\"868.1\xc2\xa0\"}}",
         "found imme=0 ipol=0 ncrc=0 freq=868100000 modu=LORA datr=SF7BW125 sf=7 bw=125 codr=4/5 lora"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(describe(c.json), c.want) << c.name;
}

TEST(ReadTxpk, NeverReadsPastItsLength)
{
    // The text continues past the given length: nothing of it is read.
    const char json[] = R"({"txpk":{"tmst":12,"freq":868.1})"
                        R"(,"powe":14}})";
    txpk_params t;
    read_txpk(json, std::strlen(R"({"txpk":{"tmst":1)"), &t);
    EXPECT_TRUE(t.found);
    EXPECT_TRUE(t.has_tmst);
    EXPECT_EQ(t.tmst, 1u);
    EXPECT_FALSE(t.has_freq);
    EXPECT_FALSE(t.has_powe);
}

} // namespace
