// SPDX-License-Identifier: ISC
// Fuzzes the base64 codec: the encoders on random bytes with random
// capacities, and the checked decoders (the ones without the process exit)
// on random text with random capacities, each against the plain model.
// Every output buffer is allocated at exactly its capacity, so AddressSanitizer
// sees a write past it.
//
// Input: from the end the operation (encode padded or not, decode padded or
// not) and the capacity choice; from the front the bytes or the text.

#include "codec/base64.h"
#include "tests/fuzz/fuzz_support.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

static constexpr unsigned char CANARY = 0xa5;

// Capacities around the one the input needs, and now and then anything.
static int pick_cap(FuzzedDataProvider &fdp, int needed)
{
    switch (fdp.ConsumeIntegralInRange(0, 3)) {
    case 0:
        return needed;
    case 1:
        return needed + fdp.ConsumeIntegralInRange(-5, 5);
    default:
        return fdp.ConsumeIntegralInRange(0, 2 * needed + 8);
    }
}

static void fuzz_encode(FuzzedDataProvider &fdp, bool pad)
{
    std::vector<std::uint8_t> in = fdp.ConsumeBytes<std::uint8_t>(fdp.ConsumeIntegralInRange(0, 1200));
    const int n = static_cast<int>(in.size());
    const std::string text = model::encode(in, false);
    const int unpadded = static_cast<int>(text.size());
    const int padded = static_cast<int>(model::encode(in, true).size());
    // Padding asks for one byte more than the padded text and its NUL.
    const int needed = pad && padded > unpadded ? padded + 2 : unpadded + 1;
    int cap = std::max(pick_cap(fdp, needed), 1); // every caller gives at least one byte
    std::unique_ptr<char[]> out(new char[static_cast<std::size_t>(cap)]);
    std::memset(out.get(), CANARY, static_cast<std::size_t>(cap));
    const std::uint8_t *src = in.empty() ? reinterpret_cast<const std::uint8_t *>("") : in.data();

    int r = pad ? b64_encode(src, n, out.get(), cap) : b64_encode_nopad(src, n, out.get(), cap);
    if (n == 0) {
        FUZZ_CHECK(r == 0 && out[0] == '\0');
        return;
    }
    if (cap < unpadded + 1) { // refused before anything is written
        FUZZ_CHECK(r == -1);
        for (int i = 0; i < cap; ++i)
            FUZZ_CHECK(static_cast<unsigned char>(out[i]) == CANARY);
        return;
    }
    // The unpadded text is there in any case.
    FUZZ_CHECK(std::memcmp(out.get(), text.data(), text.size()) == 0);
    if (!pad || padded == unpadded) {
        FUZZ_CHECK(r == unpadded && out[unpadded] == '\0');
    } else if (cap < needed) {
        FUZZ_CHECK(r == -1 && out[unpadded] == '\0');
    } else {
        FUZZ_CHECK(r == padded && out[padded] == '\0');
        for (int i = unpadded; i < padded; ++i)
            FUZZ_CHECK(out[i] == '=');
    }
    if (r > 0) { // and it decodes back to the bytes
        std::vector<std::uint8_t> back(static_cast<std::size_t>(n));
        FUZZ_CHECK(b64_decode_checked(out.get(), r, back.data(), n) == n);
        FUZZ_CHECK(back == in);
    }
}

static void fuzz_decode(FuzzedDataProvider &fdp, bool padded)
{
    const std::string in = fdp.ConsumeRandomLengthString(2000);
    const int n = static_cast<int>(in.size());
    // The text in a buffer of its exact length: no NUL after it to lean on.
    std::unique_ptr<char[]> text(new char[in.size()]);
    std::memcpy(text.get(), in.data(), in.size());
    auto model_decode = padded ? model::decode : model::decode_nopad;

    std::vector<std::uint8_t> want;
    int full = model_decode(in, 1 << 20, want);
    int cap = std::max(pick_cap(fdp, std::max(full, 0)), 0);
    // cap + 1 bytes, the last a canary: nothing may be written past cap.
    std::unique_ptr<std::uint8_t[]> out(new std::uint8_t[static_cast<std::size_t>(cap) + 1]);
    std::memset(out.get(), CANARY, static_cast<std::size_t>(cap) + 1);
    int r = padded ? b64_decode_checked(text.get(), n, out.get(), cap)
                   : b64_decode_nopad_checked(text.get(), n, out.get(), cap);
    int expected = model_decode(in, cap, want);
    FUZZ_CHECK(r == expected);
    FUZZ_CHECK(out[cap] == CANARY);
    if (r > 0)
        FUZZ_CHECK(std::memcmp(out.get(), want.data(), want.size()) == 0);
    if (r == -1)
        for (int i = 0; i < cap; ++i)
            FUZZ_CHECK(out[i] == CANARY); // refused before anything is written
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzedDataProvider fdp(data, size);
    switch (fdp.ConsumeIntegralInRange(0, 3)) {
    case 0:
        fuzz_encode(fdp, true);
        break;
    case 1:
        fuzz_encode(fdp, false);
        break;
    case 2:
        fuzz_decode(fdp, true);
        break;
    default:
        fuzz_decode(fdp, false);
        break;
    }
    return 0;
}
