// SPDX-License-Identifier: ISC
// Fuzzes the handling of downlink replies as the pull receives them: a few
// replies in a row (the size and data texts carry over from one to the
// next), each in a buffer of its length plus the one byte for the NUL,
// through to the payload that would be written to /var/iot/dldata. The
// judgement, the texts and the payload are checked against the plain
// models. take_downlink_reply never ends the process: a character outside
// the base64 alphabet comes back as a verdict.
//
// Input: from the end the two token bytes and the number of replies (1 to
// 4); from the front the replies, each but the last ended by a backslash and
// another character (FuzzedDataProvider's ConsumeRandomLengthString).

#include "protocol/downlink.h"
#include "protocol/exchange.h"
#include "tests/fuzz/fuzz_support.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    silence_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzedDataProvider fdp(data, size);
    const std::uint8_t token[2] = {fdp.ConsumeIntegral<std::uint8_t>(), fdp.ConsumeIntegral<std::uint8_t>()};
    pull_texts texts;
    reset_pull_texts(texts);
    std::vector<char> size_text(SIZE_TEXT_SIZE, '\0'), data_text(DATA_TEXT_SIZE, '\0');
    size_text[0] = '0';

    const int replies = fdp.ConsumeIntegralInRange(1, 4);
    for (int i = 0; i < replies && fdp.remaining_bytes() > 0; ++i) {
        // One receive takes at most 2047 bytes.
        std::string bytes = i + 1 < replies ? fdp.ConsumeRandomLengthString(2047) : fdp.ConsumeRemainingBytesAsString();
        bytes.resize(std::min<std::size_t>(bytes.size(), 2047));
        std::unique_ptr<std::uint8_t[]> reply(new std::uint8_t[bytes.size() + 1]);
        std::memcpy(reply.get(), bytes.data(), bytes.size());

        int payload_len = -1;
        downlink_reply kind = take_downlink_reply(reply.get(), bytes.size(), token, texts, &payload_len);
        FUZZ_CHECK(payload_len >= 0);

        if (bytes.size() < REPLY_PREFIX_SIZE) {
            FUZZ_CHECK(kind == downlink_reply::ignored && payload_len == 0);
            continue;
        }
        if (static_cast<std::uint8_t>(bytes[3]) == PULL_ACK) {
            bool ours =
                static_cast<std::uint8_t>(bytes[1]) == token[0] && static_cast<std::uint8_t>(bytes[2]) == token[1];
            FUZZ_CHECK(kind == (ours ? downlink_reply::pull_ack : downlink_reply::out_of_sync_ack));
            FUZZ_CHECK(payload_len == 0);
            continue;
        }
        // Anything else is a PULL_RESP: both texts scraped from byte 4 on.
        std::string_view json(bytes.data() + REPLY_PREFIX_SIZE, bytes.size() - REPLY_PREFIX_SIZE);
        model::scrape(json, "size", size_text);
        model::scrape(json, "data", data_text);
        FUZZ_CHECK(std::memcmp(texts.size_text, size_text.data(), SIZE_TEXT_SIZE) == 0);
        FUZZ_CHECK(std::memcmp(texts.data_text, data_text.data(), DATA_TEXT_SIZE) == 0);

        std::vector<std::uint8_t> payload;
        int n = model::decode(std::string_view(data_text.data()), static_cast<int>(DOWNLINK_PAYLOAD_SIZE), payload);
        if (n == model::BAD_CHAR) {
            FUZZ_CHECK(kind == downlink_reply::bad_character && payload_len == 0);
        } else if (n < 0 || n != std::atoi(size_text.data())) {
            // Nothing to write, whatever the size text says (-1 included).
            FUZZ_CHECK(kind == downlink_reply::mismatch && payload_len == 0);
        } else {
            // What would be written: exactly the decoded bytes.
            FUZZ_CHECK(kind == downlink_reply::downlink);
            FUZZ_CHECK(payload_len == n && static_cast<std::size_t>(n) <= DOWNLINK_PAYLOAD_SIZE);
            FUZZ_CHECK(payload.empty() || std::memcmp(texts.payload, payload.data(), payload.size()) == 0);
        }
    }
    return 0;
}
