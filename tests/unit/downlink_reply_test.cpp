// SPDX-License-Identifier: ISC
// The handling of one reply to the pull, byte for byte: what kind of reply
// take_downlink_reply makes of it, the size and data texts it leaves for
// the next reply, and the payload a valid downlink hands over. A table of
// named rows, each a test of its own, so that a reply taken for the wrong
// kind shows at once under the case's name.

#include "protocol/downlink.h"
#include "tests/support/table_rows.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

using namespace std::string_literals;

static const char *verdict_name(downlink_reply v)
{
    switch (v) {
    case downlink_reply::ignored:
        return "ignored";
    case downlink_reply::pull_ack:
        return "pull_ack";
    case downlink_reply::out_of_sync_ack:
        return "out_of_sync_ack";
    case downlink_reply::mismatch:
        return "mismatch";
    case downlink_reply::bad_character:
        return "bad_character";
    case downlink_reply::downlink:
        return "downlink";
    }
    return "unknown";
}

// GoogleTest names a verdict in a failure.
static void PrintTo(downlink_reply v, std::ostream *os)
{
    *os << verdict_name(v);
}

namespace {

// The PULL_DATA's token in every row.
constexpr std::uint8_t TOKEN[2] = {0x12, 0x34};

// The 4-byte prefix of a reply: version, token, identifier (3 PULL_RESP,
// 4 PULL_ACK, 1 PUSH_ACK, 2 PULL_DATA).
std::string prefix(std::uint8_t version, std::uint8_t token1, std::uint8_t token2, std::uint8_t identifier)
{
    return std::string{static_cast<char>(version), static_cast<char>(token1), static_cast<char>(token2),
                       static_cast<char>(identifier)};
}

std::string resp(const std::string &json, std::uint8_t version = 1, std::uint8_t identifier = 3)
{
    return prefix(version, 0, 0, identifier) + json;
}

const std::string HELLO = R"({"txpk":{"imme":true,"size":5,"data":"aGVsbG8="}})";

struct reply_case {
    const char *name;
    std::string reply; // the bytes as received
    downlink_reply verdict;
    std::string payload = {}; // handed over when the verdict is downlink
    // The texts an earlier reply of the pull left ("0" and "" at its start),
    // and those this reply leaves.
    std::string size_before = "0";
    std::string data_before = {};
    std::optional<std::string> size_after = std::nullopt;
    std::optional<std::string> data_after = std::nullopt;
};

void PrintTo(const reply_case &c, std::ostream *os)
{
    *os << c.name;
}

const reply_case CASES[] = {
    // Too short to carry an identifier: passed over, the texts untouched.
    {.name = "EmptyIsIgnored", .reply = "", .verdict = downlink_reply::ignored},
    {.name = "ThreeBytesOfOurTokenAreIgnored",
     .reply = prefix(1, 0x12, 0x34, 4).substr(0, 3),
     .verdict = downlink_reply::ignored},
    {.name = "OneByteIsIgnored", .reply = "\x01", .verdict = downlink_reply::ignored},

    // PULL_ACK: ours when both token bytes match, whatever the version and
    // whatever follows the prefix.
    {.name = "PullAckWithOurToken", .reply = prefix(1, 0x12, 0x34, 4), .verdict = downlink_reply::pull_ack},
    {.name = "PullAckOfVersionTwoWithOurToken", .reply = prefix(2, 0x12, 0x34, 4), .verdict = downlink_reply::pull_ack},
    {.name = "PullAckWithBytesAfterThePrefix",
     .reply = prefix(1, 0x12, 0x34, 4) + HELLO,
     .verdict = downlink_reply::pull_ack,
     .size_after = "0",
     .data_after = ""},
    {.name = "PullAckWithAnotherSecondByte",
     .reply = prefix(1, 0x12, 0x35, 4),
     .verdict = downlink_reply::out_of_sync_ack},
    {.name = "PullAckWithAnotherFirstByte",
     .reply = prefix(1, 0x13, 0x34, 4),
     .verdict = downlink_reply::out_of_sync_ack},
    {.name = "PullAckWithTheTokenBytesSwapped",
     .reply = prefix(1, 0x34, 0x12, 4),
     .verdict = downlink_reply::out_of_sync_ack},

    // Anything else of four bytes or more is a PULL_RESP.
    {.name = "PullRespValid",
     .reply = resp(HELLO),
     .verdict = downlink_reply::downlink,
     .payload = "hello",
     .size_after = "5",
     .data_after = "aGVsbG8="},
    {.name = "PullRespOfVersionTwoWithAnyToken",
     .reply = prefix(2, 0x99, 0x77, 3) + HELLO,
     .verdict = downlink_reply::downlink,
     .payload = "hello"},
    {.name = "PushAckIdentifierTakenAsPullResp",
     .reply = resp(HELLO, 1, 1),
     .verdict = downlink_reply::downlink,
     .payload = "hello"},
    {.name = "PullDataIdentifierTakenAsPullResp",
     .reply = resp(HELLO, 1, 2),
     .verdict = downlink_reply::downlink,
     .payload = "hello"},
    {.name = "PullRespWithBinaryPayload",
     .reply = resp(R"({"txpk":{"size":4,"data":"AP+AAQ=="}})"),
     .verdict = downlink_reply::downlink,
     .payload = "\x00\xff\x80\x01"s},
    {.name = "PullRespSpacesAroundValuesDropped",
     .reply = resp(R"({"txpk":{"size" : 5 , "data" : "aGVsbG8=" }})"),
     .verdict = downlink_reply::downlink,
     .payload = "hello",
     .size_after = "5",
     .data_after = "aGVsbG8="},
    // The key is a plain substring, but data does not occur inside datr.
    {.name = "DatrDoesNotHideTheData",
     .reply = resp(R"({"txpk":{"datr":"SF7BW125","size":5,"data":"aGVsbG8="}})"),
     .verdict = downlink_reply::downlink,
     .payload = "hello"},

    // Size and data that disagree: nothing to hand over.
    {.name = "SizeLargerThanTheData",
     .reply = resp(R"({"txpk":{"size":6,"data":"aGVsbG8="}})"),
     .verdict = downlink_reply::mismatch,
     .size_after = "6",
     .data_after = "aGVsbG8="},
    {.name = "SizeSmallerThanTheData",
     .reply = resp(R"({"txpk":{"size":4,"data":"aGVsbG8="}})"),
     .verdict = downlink_reply::mismatch},
    // A text that does not decode never matches, not even a size of -1.
    {.name = "DataOneCharacterTooLong",
     .reply = resp(R"({"txpk":{"size":-1,"data":"aGVsbG8=Y"}})"),
     .verdict = downlink_reply::mismatch},
    {.name = "DataOfOneCharacter",
     .reply = resp(R"({"txpk":{"size":-1,"data":"Y"}})"),
     .verdict = downlink_reply::mismatch},
    {.name = "SizeThatIsNoNumberReadsAsZero",
     .reply = resp(R"({"txpk":{"size":"five","data":"aGVsbG8="}})"),
     .verdict = downlink_reply::mismatch,
     .size_after = "five"},

    // A character outside the base64 alphabet: a verdict of its own, which
    // ends the run (the pull's business, not this function's).
    {.name = "BadCharacterInTheData",
     .reply = resp(R"({"txpk":{"size":5,"data":"aGV$bG8="}})"),
     .verdict = downlink_reply::bad_character,
     .size_after = "5",
     .data_after = "aGV$bG8="},
    {.name = "BadCharacterEvenWhenTheSizeIsWrong",
     .reply = resp(R"({"txpk":{"size":1,"data":"a*"}})"),
     .verdict = downlink_reply::bad_character},

    // The texts carry over from one reply to the next.
    {.name = "MissingSizeKeyKeepsTheEarlierSize",
     .reply = resp(R"({"txpk":{"data":"d29ybGQ="}})"),
     .verdict = downlink_reply::downlink,
     .payload = "world",
     .size_before = "5",
     .size_after = "5",
     .data_after = "d29ybGQ="},
    {.name = "MissingSizeKeyAtTheStartComparesWithZero",
     .reply = resp(R"({"txpk":{"data":""}})"),
     .verdict = downlink_reply::downlink,
     .payload = "",
     .size_after = "0",
     .data_after = ""},
    {.name = "MissingSizeKeyAtTheStartIsAMismatch",
     .reply = resp(R"({"txpk":{"data":"aGVsbG8="}})"),
     .verdict = downlink_reply::mismatch,
     .size_after = "0"},
    {.name = "KeysWithoutColonKeepBothTexts",
     .reply = resp(R"({"txpk":{"imme":true}} size data)"),
     .verdict = downlink_reply::downlink,
     .payload = "world",
     .size_before = "5",
     .data_before = "d29ybGQ=",
     .size_after = "5",
     .data_after = "d29ybGQ="},
    {.name = "BarePrefixRepeatsTheEarlierDownlink",
     .reply = prefix(1, 0, 0, 3),
     .verdict = downlink_reply::downlink,
     .payload = "world",
     .size_before = "5",
     .data_before = "d29ybGQ="},
    {.name = "BarePrefixAtTheStartIsAnEmptyDownlink",
     .reply = prefix(1, 0, 0, 3),
     .verdict = downlink_reply::downlink,
     .payload = ""},
};

class DownlinkReply : public ::testing::TestWithParam<reply_case> {};

} // namespace

TEST_P(DownlinkReply, IsTakenAsTheRowSays)
{
    const reply_case &c = GetParam();
    pull_texts texts;
    reset_pull_texts(texts);
    ASSERT_LT(c.size_before.size(), sizeof texts.size_text);
    ASSERT_LT(c.data_before.size(), sizeof texts.data_text);
    std::strcpy(texts.size_text, c.size_before.c_str());
    std::strcpy(texts.data_text, c.data_before.c_str());

    // As received: the bytes, and room for the NUL the function adds.
    std::vector<std::uint8_t> reply(c.reply.begin(), c.reply.end());
    reply.push_back(0xee);
    int payload_len = -1;
    testing::internal::CaptureStdout(); // the scraper's "parser" lines
    downlink_reply verdict = take_downlink_reply(reply.data(), c.reply.size(), TOKEN, texts, &payload_len);
    testing::internal::GetCapturedStdout();

    EXPECT_EQ(verdict, c.verdict);
    if (c.verdict == downlink_reply::downlink) {
        ASSERT_EQ(payload_len, static_cast<int>(c.payload.size()));
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(texts.payload), c.payload.size()), c.payload);
    } else {
        EXPECT_EQ(payload_len, 0);
    }
    // A reply that is no PULL_RESP leaves the texts as they were.
    bool resp = c.verdict != downlink_reply::ignored && c.verdict != downlink_reply::pull_ack &&
                c.verdict != downlink_reply::out_of_sync_ack;
    EXPECT_EQ(texts.size_text, c.size_after.value_or(resp ? texts.size_text : c.size_before));
    EXPECT_EQ(texts.data_text, c.data_after.value_or(resp ? texts.data_text : c.data_before));
}

INSTANTIATE_TEST_SUITE_P(, DownlinkReply, ::testing::ValuesIn(CASES), row_name());
