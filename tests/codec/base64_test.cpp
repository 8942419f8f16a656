// SPDX-License-Identifier: ISC
// Tests of the base64 codec: results, capacity edges as n-1/n pairs, what is
// written where (canary bytes after every output), and the process exits.

#include "codec/base64.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr char CANARY = '\xA5';
constexpr std::size_t SLACK = 16;
constexpr std::string_view ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr const char *CRITICAL_LINE =
    "CRITICAL file:[^ ]*base64\\.cpp line:[0-9]+ msg:switch default that should not be possible";

const std::uint8_t *bytes_of(std::string_view s)
{
    return reinterpret_cast<const std::uint8_t *>(s.data());
}

int size_of(std::string_view s)
{
    return static_cast<int>(s.size());
}

// Every byte of buf from `from` on still holds the canary.
::testing::AssertionResult untouched_from(const std::vector<char> &buf, std::size_t from)
{
    for (std::size_t i = from; i < buf.size(); i++) {
        if (buf[i] != CANARY)
            return ::testing::AssertionFailure() << "byte " << i << " was written";
    }
    return ::testing::AssertionSuccess();
}

std::vector<char> canary_buffer(int cap)
{
    return std::vector<char>(static_cast<std::size_t>(cap) + SLACK, CANARY);
}

// `left`: the NUL-terminated text expected in out afterwards; nullptr when
// nothing may be written at all.
struct EncodeCase {
    bool padded;
    std::string_view in;
    int cap;
    int result;
    const char *left;
};

constexpr EncodeCase ENCODE_CASES[] = {
    // Empty input writes a lone NUL whatever the capacity says.
    {false, "", 0, 0, ""},
    {true, "", 0, 0, ""},
    // Unpadded: text plus NUL must fit; an exact fit is accepted.
    {false, "a", 2, -1, nullptr},
    {false, "a", 3, 2, "YQ"},
    {false, "ab", 3, -1, nullptr},
    {false, "ab", 4, 3, "YWI"},
    {false, "abc", 4, -1, nullptr},
    {false, "abc", 5, 4, "YWJj"},
    {false, "abcd", 6, -1, nullptr},
    {false, "abcd", 7, 6, "YWJjZA"},
    // Padded: the padding asks for one spare byte; when it is missing the
    // unpadded text stays in out although the result is -1.
    {true, "a", 2, -1, nullptr},
    {true, "a", 3, -1, "YQ"},
    {true, "a", 5, -1, "YQ"},
    {true, "a", 6, 4, "YQ=="},
    {true, "ab", 3, -1, nullptr},
    {true, "ab", 4, -1, "YWI"},
    {true, "ab", 5, -1, "YWI"},
    {true, "ab", 6, 4, "YWI="},
    {true, "abc", 4, -1, nullptr},
    {true, "abc", 5, 4, "YWJj"},
    // RFC 4648 test vectors.
    {false, "f", 16, 2, "Zg"},
    {false, "fo", 16, 3, "Zm8"},
    {false, "foo", 16, 4, "Zm9v"},
    {false, "foob", 16, 6, "Zm9vYg"},
    {false, "fooba", 16, 7, "Zm9vYmE"},
    {false, "foobar", 16, 8, "Zm9vYmFy"},
    {true, "f", 16, 4, "Zg=="},
    {true, "fo", 16, 4, "Zm8="},
    {true, "foo", 16, 4, "Zm9v"},
    {true, "foob", 16, 8, "Zm9vYg=="},
    {true, "fooba", 16, 8, "Zm9vYmE="},
    {true, "foobar", 16, 8, "Zm9vYmFy"},
    // Bytes that reach both ends of the alphabet.
    {true, std::string_view("\x00\x00\x00\xff\xff\xff\xfb\xef", 8), 16, 12, "AAAA////++8="},
};

// `bytes`: what out holds afterwards; nothing past it may be written (the
// decoders never terminate their output).
struct DecodeCase {
    bool padded;
    std::string_view text;
    int cap;
    int result;
    std::string_view bytes;
};

constexpr DecodeCase DECODE_CASES[] = {
    {false, "", 0, 0, ""},
    {true, "", 0, 0, ""},
    // A remainder of one character cannot be decoded.
    {false, "Y", 8, -1, ""},
    {true, "Y", 8, -1, ""},
    {false, "YWJjZ", 8, -1, ""},
    // Capacity edges; an exact fit is accepted.
    {false, "YQ", 0, -1, ""},
    {false, "YQ", 1, 1, "a"},
    {false, "YWI", 1, -1, ""},
    {false, "YWI", 2, 2, "ab"},
    {false, "YWJj", 2, -1, ""},
    {false, "YWJj", 3, 3, "abc"},
    {false, "YWJjZA", 3, -1, ""},
    {false, "YWJjZA", 4, 4, "abcd"},
    {true, "YQ==", 0, -1, ""},
    {true, "YQ==", 1, 1, "a"},
    {true, "YWI=", 1, -1, ""},
    {true, "YWI=", 2, 2, "ab"},
    // The padded decoder takes unpadded text as well.
    {true, "YQ", 1, 1, "a"},
    {true, "YWI", 2, 2, "ab"},
    // Low bits of the last character that do not fit are ignored.
    {false, "YR", 1, 1, "a"},
    {false, "YWJ", 2, 2, "ab"},
    // With '=' second to last, the last character is dropped unread.
    {true, "YQ=x", 1, 1, "a"},
    // RFC 4648 test vectors.
    {true, "Zg==", 8, 1, "f"},
    {true, "Zm8=", 8, 2, "fo"},
    {true, "Zm9v", 8, 3, "foo"},
    {true, "Zm9vYg==", 8, 4, "foob"},
    {true, "Zm9vYmE=", 8, 5, "fooba"},
    {true, "Zm9vYmFy", 8, 6, "foobar"},
    {false, "Zg", 8, 1, "f"},
    {false, "Zm8", 8, 2, "fo"},
    {false, "Zm9vYg", 8, 4, "foob"},
    {false, "Zm9vYmE", 8, 5, "fooba"},
    {true, "AAAA////++8=", 16, 8, std::string_view("\x00\x00\x00\xff\xff\xff\xfb\xef", 8)},
};

int run_decode(bool padded, std::string_view text, std::vector<char> &out, int cap)
{
    auto *dst = reinterpret_cast<std::uint8_t *>(out.data());
    return padded ? b64_decode(text.data(), size_of(text), dst, cap)
                  : b64_decode_nopad(text.data(), size_of(text), dst, cap);
}

// n bytes of a repeating pattern. One byte more is allocated so that data()
// is never null, even for n == 0 (a null input is a missing buffer).
std::vector<std::uint8_t> pattern(int n, int seed)
{
    std::vector<std::uint8_t> v(static_cast<std::size_t>(n) + 1);
    for (int i = 0; i < n; i++)
        v[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i * 7 + seed);
    return v;
}

} // namespace

TEST(Base64, EncodeCases)
{
    for (const EncodeCase &c : ENCODE_CASES) {
        SCOPED_TRACE(::testing::Message() << (c.padded ? "b64_encode" : "b64_encode_nopad") << " of " << c.in.size()
                                          << " bytes, cap " << c.cap);
        std::vector<char> out = canary_buffer(c.cap);
        int r = c.padded ? b64_encode(bytes_of(c.in), size_of(c.in), out.data(), c.cap)
                         : b64_encode_nopad(bytes_of(c.in), size_of(c.in), out.data(), c.cap);
        EXPECT_EQ(r, c.result);
        std::size_t written = 0;
        if (c.left) {
            written = std::strlen(c.left) + 1;
            EXPECT_EQ(std::string_view(out.data(), written), std::string_view(c.left, written));
        }
        EXPECT_TRUE(untouched_from(out, written));
    }
}

TEST(Base64, DecodeCases)
{
    for (const DecodeCase &c : DECODE_CASES) {
        SCOPED_TRACE(::testing::Message()
                     << (c.padded ? "b64_decode" : "b64_decode_nopad") << " of \"" << c.text << "\", cap " << c.cap);
        std::vector<char> out = canary_buffer(c.cap);
        EXPECT_EQ(run_decode(c.padded, c.text, out, c.cap), c.result);
        EXPECT_EQ(std::string_view(out.data(), c.bytes.size()), c.bytes);
        EXPECT_TRUE(untouched_from(out, c.bytes.size()));
    }
}

// Capacity 341 takes 0..252 bytes and 255 bytes (340 characters); 253 and 254
// fail in the padding step (unpadded text left in out), 256 on in the
// unpadded step (nothing written).
TEST(Base64, EncodeCapacity341)
{
    constexpr int cap = 341;
    for (int n = 0; n <= 300; n++) {
        SCOPED_TRACE(::testing::Message() << n << " bytes");
        std::vector<std::uint8_t> in = pattern(n, 1);
        std::vector<char> out = canary_buffer(cap);
        int r = b64_encode(in.data(), n, out.data(), cap);
        int padded_len = (n + 2) / 3 * 4;
        int nopad_len = n / 3 * 4 + (n % 3 == 0 ? 0 : n % 3 + 1);
        std::size_t written = 0;
        if (n <= 252 || n == 255) {
            ASSERT_EQ(r, padded_len);
            written = static_cast<std::size_t>(r) + 1;
            EXPECT_EQ(out[static_cast<std::size_t>(r)], '\0');
        } else {
            ASSERT_EQ(r, -1);
            if (n <= 254) {
                written = static_cast<std::size_t>(nopad_len) + 1;
                EXPECT_EQ(out[static_cast<std::size_t>(nopad_len)], '\0');
            }
        }
        EXPECT_TRUE(untouched_from(out, written));
    }
}

// The 1024-byte payload: 1368 characters padded ("=="), 1366 unpadded.
TEST(Base64, DecodeCapacity1024)
{
    std::vector<std::uint8_t> payload = pattern(1024, 3);
    std::vector<char> text_buf(1400);
    ASSERT_EQ(b64_encode(payload.data(), 1024, text_buf.data(), 1400), 1368);
    std::string padded(text_buf.data(), 1368);
    ASSERT_EQ(padded.substr(1366), "==");
    std::string unpadded = padded.substr(0, 1366);
    std::string no_pad_1368 = unpadded + "AA";

    struct {
        bool padded_decoder;
        const std::string &text;
        int cap;
        int result;
    } cases[] = {
        {true, padded, 1023, -1},      {true, padded, 1024, 1024},      {true, unpadded, 1023, -1},
        {true, unpadded, 1024, 1024},  {false, unpadded, 1023, -1},     {false, unpadded, 1024, 1024},
        {true, no_pad_1368, 1024, -1}, {true, no_pad_1368, 1026, 1026},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << c.text.size() << " characters, cap " << c.cap);
        std::vector<char> out = canary_buffer(c.cap);
        ASSERT_EQ(run_decode(c.padded_decoder, c.text, out, c.cap), c.result);
        std::size_t written = c.result < 0 ? 0 : static_cast<std::size_t>(c.result);
        if (c.result == 1024) {
            EXPECT_EQ(std::memcmp(out.data(), payload.data(), 1024), 0);
        }
        EXPECT_TRUE(untouched_from(out, written));
    }
}

// Every length 0..255, each run starting the byte values at another offset,
// so all 256 values pass through every position of a group.
TEST(Base64, RoundTrip)
{
    for (int n = 0; n <= 255; n++) {
        SCOPED_TRACE(::testing::Message() << n << " bytes");
        std::vector<std::uint8_t> in = pattern(n, n);
        for (int i = 0; i < n; i++)
            in[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i + n);
        int padded_cap = (n + 2) / 3 * 4 + 2;
        std::vector<char> text(static_cast<std::size_t>(padded_cap));

        int len = b64_encode(in.data(), n, text.data(), padded_cap);
        ASSERT_EQ(len, (n + 2) / 3 * 4);
        std::vector<std::uint8_t> back(static_cast<std::size_t>(n) + 1);
        ASSERT_EQ(b64_decode(text.data(), len, back.data(), n), n);
        EXPECT_EQ(std::memcmp(back.data(), in.data(), static_cast<std::size_t>(n)), 0);

        len = b64_encode_nopad(in.data(), n, text.data(), padded_cap);
        ASSERT_GE(len, 0);
        ASSERT_EQ(b64_decode_nopad(text.data(), len, back.data(), n), n);
        EXPECT_EQ(std::memcmp(back.data(), in.data(), static_cast<std::size_t>(n)), 0);
    }
}

TEST(Base64, CharacterConversions)
{
    for (int v = 0; v < 64; v++) {
        char c = ALPHABET[static_cast<std::size_t>(v)];
        EXPECT_EQ(b64_sextet_to_char(v), c) << v;
        EXPECT_EQ(b64_char_to_sextet(c), v) << c;
        // The value is cut to its low 8 bits first.
        EXPECT_EQ(b64_sextet_to_char(v + 256), c) << v + 256;
        EXPECT_EQ(b64_sextet_to_char(v - 1024), c) << v - 1024;
    }
}

TEST(Base64, MissingBuffers)
{
    std::uint8_t bytes[8] = {};
    char text[8] = "YWJj";
    EXPECT_EQ(b64_encode_nopad(nullptr, 3, text, 8), -1);
    EXPECT_EQ(b64_encode_nopad(bytes, 3, nullptr, 8), -1);
    EXPECT_EQ(b64_encode_nopad(bytes, 0, nullptr, 8), -1);
    EXPECT_EQ(b64_encode(nullptr, 3, text, 8), -1);
    EXPECT_EQ(b64_encode(bytes, 3, nullptr, 8), -1);
    EXPECT_EQ(b64_decode_nopad(nullptr, 4, bytes, 8), -1);
    EXPECT_EQ(b64_decode_nopad(text, 4, nullptr, 8), -1);
    EXPECT_EQ(b64_decode(nullptr, 4, bytes, 8), -1);
    EXPECT_EQ(b64_decode(text, 4, nullptr, 8), -1);
    EXPECT_EQ(b64_decode_checked(nullptr, 4, bytes, 8), -1);
    EXPECT_EQ(b64_decode_nopad_checked(text, 4, nullptr, 8), -1);
}

// The decoders without the exit report a bad character as B64_BAD_CHAR, with
// the groups before it already stored and nothing after them.
TEST(Base64, CheckedDecodersReportBadCharacters)
{
    struct {
        bool padded;
        std::string_view text;
        int result;
        std::string_view stored;
    } cases[] = {
        {false, "-UJD", B64_BAD_CHAR, ""},
        {false, "QUJDRA-A", B64_BAD_CHAR, "ABC"},
        {false, "QUJDR_", B64_BAD_CHAR, "ABC"},
        {false, "QUJDRE=", B64_BAD_CHAR, "ABC"},
        {false, "QUJD\x80UJD", B64_BAD_CHAR, "ABC"},
        {false, std::string_view("QUJD\0UJD", 8), B64_BAD_CHAR, "ABC"},
        {false, "YQ==", B64_BAD_CHAR, ""},
        {true, "YQ=", B64_BAD_CHAR, ""},
        {true, "Y Q=", B64_BAD_CHAR, ""},
        {true, "YQ==", 1, "a"},
        {false, "QUJD", 3, "ABC"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << "\"" << c.text << "\"");
        std::vector<char> out = canary_buffer(16);
        auto *dst = reinterpret_cast<std::uint8_t *>(out.data());
        int r = c.padded ? b64_decode_checked(c.text.data(), size_of(c.text), dst, 16)
                         : b64_decode_nopad_checked(c.text.data(), size_of(c.text), dst, 16);
        EXPECT_EQ(r, c.result);
        EXPECT_EQ(std::string_view(out.data(), c.stored.size()), c.stored);
        EXPECT_TRUE(untouched_from(out, c.stored.size()));
    }
}

// Negative lengths are outside the contract. Those whose remainder a length
// of 0 or more can give (multiples of 3 or 4) must neither write nor return
// a bogus count; the checked decoders never exit on any of them.
TEST(Base64, NegativeLengthsWriteNothing)
{
    const std::uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const char text[] = "YWJjYWJj";
    for (int n : {-3, -6, -999}) {
        std::vector<char> out = canary_buffer(8);
        EXPECT_EQ(b64_encode_nopad(bytes, n, out.data() + 8, 8), -1) << n;
        EXPECT_EQ(b64_encode(bytes, n, out.data() + 8, 8), -1) << n;
        EXPECT_TRUE(untouched_from(out, 0));
    }
    for (int n : {-1, -2, -3, -4, -8, -1000}) {
        std::vector<char> out = canary_buffer(8);
        auto *dst = reinterpret_cast<std::uint8_t *>(out.data() + 8);
        EXPECT_EQ(b64_decode_nopad_checked(text, n, dst, 8), -1) << n;
        EXPECT_EQ(b64_decode_checked(text, n, dst, 8), -1) << n;
        if (n % 4 == 0) {
            EXPECT_EQ(b64_decode_nopad(text, n, dst, 8), -1) << n;
            EXPECT_EQ(b64_decode(text, n, dst, 8), -1) << n;
        }
        EXPECT_TRUE(untouched_from(out, 0));
    }
}

TEST(Base64DeathTest, BadCharacterEndsProcessSilently)
{
    for (char c : {'=', ' ', '\n', '\r', '-', '_', '.', '\x80', '\xff', '\0'}) {
        SCOPED_TRACE(::testing::Message() << "byte " << int(static_cast<unsigned char>(c)));
        // First position: no padding rule can drop it.
        const char text[4] = {c, 'W', 'J', 'j'};
        std::uint8_t out[8];
        EXPECT_EXIT((void)b64_decode(text, 4, out, 8), ::testing::ExitedWithCode(1), "^$");
        EXPECT_EXIT((void)b64_decode_nopad(text, 4, out, 8), ::testing::ExitedWithCode(1), "^$");
        EXPECT_EXIT((void)b64_char_to_sextet(c), ::testing::ExitedWithCode(1), "^$");
    }
}

TEST(Base64DeathTest, PaddingOutsideItsPlaceEndsProcess)
{
    std::uint8_t out[8];
    // Length 3 is not a multiple of 4: the '=' reaches the conversion.
    EXPECT_EXIT((void)b64_decode("YQ=", 3, out, 8), ::testing::ExitedWithCode(1), "^$");
    EXPECT_EXIT((void)b64_decode_nopad("YQ==", 4, out, 8), ::testing::ExitedWithCode(1), "^$");
}

TEST(Base64DeathTest, OutOfRangeSextetEndsProcessSilently)
{
    for (int v : {64, 255, -1, 0x1c0}) {
        EXPECT_EXIT((void)b64_sextet_to_char(v), ::testing::ExitedWithCode(1), "^$") << v;
    }
}

// Remainders only a negative length reaches: the CRITICAL line names this
// codec's own source file.
TEST(Base64DeathTest, ImpossibleRemainderReportsCritical)
{
    const std::uint8_t bytes[8] = {};
    const char text[] = "YWJjYWJj";
    char out[16];
    std::uint8_t bin[16];
    const auto critical = ::testing::ExitedWithCode(1);
    for (int n : {-1, -2, -4, -5}) {
        EXPECT_EXIT((void)b64_encode_nopad(bytes, n, out, 16), critical, CRITICAL_LINE) << n;
        EXPECT_EXIT((void)b64_encode(bytes, n, out, 16), critical, CRITICAL_LINE) << n;
    }
    for (int n : {-1, -2, -3, -5}) {
        EXPECT_EXIT((void)b64_decode_nopad(text, n, bin, 16), critical, CRITICAL_LINE) << n;
        EXPECT_EXIT((void)b64_decode(text, n, bin, 16), critical, CRITICAL_LINE) << n;
    }
}
