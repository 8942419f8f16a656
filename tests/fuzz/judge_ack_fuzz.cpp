// SPDX-License-Identifier: ISC
// Fuzzes judge_ack with replies of every length (in buffers of exactly that
// length), every expected version and identifier and tokens of any int value.
//
// Input: from the end the expected version, identifier and the two tokens (4
// bytes each); the rest is the reply.

#include "protocol/exchange.h"
#include "tests/fuzz/fuzz_support.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzedDataProvider fdp(data, size);
    const std::uint8_t version = fdp.ConsumeBool() ? 2 : 1;
    const std::uint8_t identifier = fdp.ConsumeIntegral<std::uint8_t>();
    const int token1 = fdp.ConsumeIntegral<int>();
    const int token2 = fdp.ConsumeIntegral<int>();
    std::vector<std::uint8_t> bytes = fdp.ConsumeRemainingBytes<std::uint8_t>();
    std::unique_ptr<std::uint8_t[]> reply(new std::uint8_t[bytes.size()]);
    std::copy(bytes.begin(), bytes.end(), reply.get());

    ack_verdict v = judge_ack(reply.get(), bytes.size(), version, identifier, token1, token2);
    ack_verdict want = ack_verdict::accepted;
    const bool ours = bytes.size() >= 4 && bytes[1] == (token1 & 0xff) && bytes[2] == (token2 & 0xff);
    if (bytes.size() < 4 || bytes[3] != identifier)
        want = ack_verdict::invalid;
    else if (bytes[0] != version)
        want = ours && (bytes[0] == 1 || bytes[0] == 2) ? ack_verdict::other_version : ack_verdict::invalid;
    else if (!ours)
        want = ack_verdict::out_of_sync;
    FUZZ_CHECK(v == want);
    return 0;
}
