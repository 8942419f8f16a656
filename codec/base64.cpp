// SPDX-License-Identifier: ISC
// Base64 encoding and decoding over caller-supplied, capacity-bounded buffers.

#include "codec/base64.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

static constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
static_assert(sizeof ALPHABET == 64 + 1);

// Marks a byte that is not in the alphabet in SEXTET_OF.
static constexpr std::uint8_t NOT_B64 = 0xff;

// A plain array in a struct rather than std::array: every index is a byte,
// and plain indexing needs nothing from the C++ library, also when it is
// built with -D_GLIBCXX_ASSERTIONS.
struct sextet_table {
    std::uint8_t of[256];
};

static constexpr sextet_table make_sextet_table()
{
    sextet_table table{};
    for (auto &v : table.of)
        v = NOT_B64;
    for (std::size_t i = 0; i < 64; i++)
        table.of[static_cast<std::uint8_t>(ALPHABET[i])] = static_cast<std::uint8_t>(i);
    return table;
}

static constexpr sextet_table SEXTET_OF = make_sextet_table();
static constexpr std::uint8_t sextet_entry(char c)
{
    return SEXTET_OF.of[static_cast<unsigned char>(c)];
}
static_assert(sextet_entry('A') == 0 && sextet_entry('a') == 26 && sextet_entry('0') == 52);
static_assert(sextet_entry('+') == 62 && sextet_entry('/') == 63);
static_assert(sextet_entry('=') == NOT_B64 && sextet_entry('-') == NOT_B64 && sextet_entry('\0') == NOT_B64);

// Result of a core when the length left a remainder that no length of 0 or
// more gives (only negative lengths get there).
static constexpr int IMPOSSIBLE_REMAINDER = -3;

static const char CRITICAL_MSG[] = "switch default that should not be possible";

[[noreturn]] static void critical_exit(const char *file, unsigned line)
{
    fprintf(stderr, "\nCRITICAL file:%s line:%u msg:%s\n", file, line, CRITICAL_MSG);
    exit(1);
}

// 0..63 for an alphabet character, -1 for anything else.
static int sextet_of(char c)
{
    std::uint8_t v = SEXTET_OF.of[static_cast<unsigned char>(c)];
    return v == NOT_B64 ? -1 : v;
}

// The whole encoder without padding. On an impossible remainder it stores
// the line of the check in *bad_line and returns IMPOSSIBLE_REMAINDER.
static int encode_nopad_core(const std::uint8_t *in, int n, char *out, int cap, unsigned *bad_line)
{
    if (!out || !in)
        return -1;
    if (n == 0) {
        out[0] = '\0';
        return 0;
    }

    int groups = n / 3;
    int extra;
    switch (n % 3) {
    case 0:
        extra = 0;
        break;
    case 1:
        extra = 2;
        break;
    case 2:
        extra = 3;
        break;
    default:
        *bad_line = __LINE__;
        return IMPOSSIBLE_REMAINDER;
    }
    // A negative multiple of 3 would give a negative text length and a NUL
    // stored before out: treat it as the impossible length it is.
    if (n < 0)
        return -1;
    // 64-bit sum: 4 * (n / 3) overflows an int for n near INT_MAX.
    if (cap < std::int64_t{groups} * 4 + extra + 1)
        return -1;

    const std::uint8_t *src = in;
    char *dst = out;
    for (int g = 0; g < groups; g++) {
        std::uint32_t v = std::uint32_t{src[0]} << 16 | std::uint32_t{src[1]} << 8 | src[2];
        dst[0] = ALPHABET[(v >> 18) & 0x3f];
        dst[1] = ALPHABET[(v >> 12) & 0x3f];
        dst[2] = ALPHABET[(v >> 6) & 0x3f];
        dst[3] = ALPHABET[v & 0x3f];
        src += 3;
        dst += 4;
    }
    if (extra == 2) {
        dst[0] = ALPHABET[src[0] >> 2];
        dst[1] = ALPHABET[(src[0] & 0x03) << 4];
    } else if (extra == 3) {
        std::uint32_t v = std::uint32_t{src[0]} << 10 | std::uint32_t{src[1]} << 2;
        dst[0] = ALPHABET[(v >> 12) & 0x3f];
        dst[1] = ALPHABET[(v >> 6) & 0x3f];
        dst[2] = ALPHABET[v & 0x3f];
    }
    dst[extra] = '\0';
    return groups * 4 + extra;
}

// The whole decoder without padding and without any process exit: a
// character outside the alphabet gives B64_BAD_CHAR (the groups before it
// are stored), an impossible remainder gives IMPOSSIBLE_REMAINDER with the
// line of the check in *bad_line.
static int decode_nopad_core(const char *in, int n, std::uint8_t *out, int cap, unsigned *bad_line)
{
    if (!out || !in)
        return -1;
    if (n == 0)
        return 0;

    int groups = n / 4;
    int extra;
    switch (n % 4) {
    case 0:
        extra = 0;
        break;
    case 1:
        return -1;
    case 2:
        extra = 1;
        break;
    case 3:
        extra = 2;
        break;
    default:
        *bad_line = __LINE__;
        return IMPOSSIBLE_REMAINDER;
    }
    // A negative multiple of 4 would otherwise come back as a negative count.
    if (n < 0)
        return -1;
    if (cap < groups * 3 + extra)
        return -1;

    const char *src = in;
    std::uint8_t *dst = out;
    for (int g = 0; g < groups; g++) {
        int a = sextet_of(src[0]);
        int b = sextet_of(src[1]);
        int c = sextet_of(src[2]);
        int d = sextet_of(src[3]);
        if (a < 0 || b < 0 || c < 0 || d < 0)
            return B64_BAD_CHAR;
        std::uint32_t v = std::uint32_t(a) << 18 | std::uint32_t(b) << 12 | std::uint32_t(c) << 6 | std::uint32_t(d);
        dst[0] = static_cast<std::uint8_t>(v >> 16);
        dst[1] = static_cast<std::uint8_t>(v >> 8);
        dst[2] = static_cast<std::uint8_t>(v);
        src += 4;
        dst += 3;
    }
    if (extra == 1) {
        int a = sextet_of(src[0]);
        int b = sextet_of(src[1]);
        if (a < 0 || b < 0)
            return B64_BAD_CHAR;
        dst[0] = static_cast<std::uint8_t>(a << 2 | b >> 4);
    } else if (extra == 2) {
        int a = sextet_of(src[0]);
        int b = sextet_of(src[1]);
        int c = sextet_of(src[2]);
        if (a < 0 || b < 0 || c < 0)
            return B64_BAD_CHAR;
        std::uint32_t v = std::uint32_t(a) << 10 | std::uint32_t(b) << 4 | std::uint32_t(c) >> 2;
        dst[0] = static_cast<std::uint8_t>(v >> 8);
        dst[1] = static_cast<std::uint8_t>(v);
    }
    return groups * 3 + extra;
}

// Length left after dropping "==" or "=" from a text whose length is a
// positive multiple of 4. With "=" second to last, the last character is not
// looked at.
static int strip_padding(const char *in, int n)
{
    if (n < 4 || n % 4 != 0)
        return n;
    if (in[n - 2] == '=')
        return n - 2;
    if (in[n - 1] == '=')
        return n - 1;
    return n;
}

char b64_sextet_to_char(int value)
{
    int v = value & 0xff;
    if (v >= 64)
        exit(1);
    return ALPHABET[v];
}

int b64_char_to_sextet(char c)
{
    int v = sextet_of(c);
    if (v < 0)
        exit(1);
    return v;
}

int b64_encode_nopad(const std::uint8_t *in, int n, char *out, int cap)
{
    unsigned bad_line = 0;
    int r = encode_nopad_core(in, n, out, cap, &bad_line);
    if (r == IMPOSSIBLE_REMAINDER)
        critical_exit(__FILE__, bad_line);
    return r;
}

int b64_encode(const std::uint8_t *in, int n, char *out, int cap)
{
    int r = b64_encode_nopad(in, n, out, cap);
    if (r == -1)
        return -1;

    switch (r % 4) {
    case 0:
        return r;
    case 2:
        if (cap < std::int64_t{r} + 4)
            return -1;
        out[r] = '=';
        out[r + 1] = '=';
        out[r + 2] = '\0';
        return r + 2;
    case 3:
        if (cap < std::int64_t{r} + 3)
            return -1;
        out[r] = '=';
        out[r + 1] = '\0';
        return r + 1;
    case 1:
        return -1;
    default:
        critical_exit(__FILE__, __LINE__);
    }
}

int b64_decode_nopad_checked(const char *in, int n, std::uint8_t *out, int cap)
{
    unsigned bad_line = 0;
    int r = decode_nopad_core(in, n, out, cap, &bad_line);
    // Without the process exit a negative length is just an impossible one.
    return r == IMPOSSIBLE_REMAINDER ? -1 : r;
}

int b64_decode_checked(const char *in, int n, std::uint8_t *out, int cap)
{
    if (!in)
        return -1;
    return b64_decode_nopad_checked(in, strip_padding(in, n), out, cap);
}

int b64_decode_nopad(const char *in, int n, std::uint8_t *out, int cap)
{
    unsigned bad_line = 0;
    int r = decode_nopad_core(in, n, out, cap, &bad_line);
    if (r == B64_BAD_CHAR)
        exit(1);
    if (r == IMPOSSIBLE_REMAINDER)
        critical_exit(__FILE__, bad_line);
    return r;
}

int b64_decode(const char *in, int n, std::uint8_t *out, int cap)
{
    if (!in)
        return -1;
    return b64_decode_nopad(in, strip_padding(in, n), out, cap);
}
