// SPDX-License-Identifier: ISC
// Fuzzes scrape_json_field with both keys it is used with ("size", "data")
// and both buffer sizes (8 and 1024), now and then another key, against the
// plain model: the whole output buffer must come out as the model says,
// including the bytes the scraper must leave alone.
//
// Input: from the end the key, the buffer size and the byte the buffer held
// before; the rest is the JSON text (at most 2047 bytes, as received).

#include "protocol/downlink.h"
#include "tests/fuzz/fuzz_support.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
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
    std::string key;
    switch (fdp.ConsumeIntegralInRange(0, 4)) {
    case 0:
    case 1:
        key = "size";
        break;
    case 2:
    case 3:
        key = "data";
        break;
    default:
        key = fdp.ConsumeRandomLengthString(6);
        key = key.substr(0, key.find('\0'));
        break;
    }
    const std::size_t out_size = fdp.ConsumeBool() ? SIZE_TEXT_SIZE : DATA_TEXT_SIZE;
    const unsigned char fill = fdp.ConsumeIntegral<unsigned char>();
    // As received: at most 2047 bytes, NUL after them (the receive buffer's rule).
    std::string text = fdp.ConsumeRemainingBytesAsString();
    text.resize(std::min<std::size_t>(text.size(), 2047));
    std::unique_ptr<char[]> json(new char[text.size() + 1]);
    std::memcpy(json.get(), text.data(), text.size());
    json[text.size()] = '\0';

    // The output starts with whatever an earlier reply left: here a NUL-
    // terminated fill, as the texts always are.
    std::unique_ptr<char[]> out(new char[out_size]);
    std::memset(out.get(), fill ? fill : 'x', out_size);
    out[out_size - 1] = '\0';
    std::vector<char> want(out.get(), out.get() + out_size);

    scrape_json_field(json.get(), out.get(), out_size, key.c_str());
    model::scrape(text, key, want);
    FUZZ_CHECK(std::memcmp(out.get(), want.data(), out_size) == 0);
    FUZZ_CHECK(std::memchr(out.get(), '\0', out_size) != nullptr);
    return 0;
}
