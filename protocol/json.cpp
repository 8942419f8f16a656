// SPDX-License-Identifier: ISC
// Escaping of setting texts for the JSON records.

#include "protocol/json.h"

#include <cstdint>
#include <cstring>

// Length of the valid UTF-8 sequence at `s` (1 to 4), or 0 when the byte
// there does not start one. Overlong forms, surrogates and values above
// U+10FFFF are not valid.
static int utf8_sequence(const unsigned char *s)
{
    unsigned c = s[0];
    int n;
    std::uint32_t v;
    if (c < 0x80)
        return 1;
    if (c >= 0xc2 && c <= 0xdf) {
        n = 2;
        v = c & 0x1f;
    } else if (c >= 0xe0 && c <= 0xef) {
        n = 3;
        v = c & 0x0f;
    } else if (c >= 0xf0 && c <= 0xf4) {
        n = 4;
        v = c & 0x07;
    } else {
        return 0;
    }
    for (int i = 1; i < n; i++) {
        if ((s[i] & 0xc0) != 0x80)
            return 0;
        v = v << 6 | (s[i] & 0x3f);
    }
    if ((n == 3 && (v < 0x800 || (v >= 0xd800 && v <= 0xdfff))) || (n == 4 && (v < 0x10000 || v > 0x10ffff)))
        return 0;
    return n;
}

std::size_t json_escape(char *out, std::size_t cap, const char *text)
{
    static const char HEX[] = "0123456789abcdef";
    const auto *s = reinterpret_cast<const unsigned char *>(text);
    std::size_t len = 0;
    while (*s) {
        char piece[7];
        std::size_t n = 0;
        int seq = utf8_sequence(s);
        unsigned c = *s;
        if (c == '"' || c == '\\') {
            piece[n++] = '\\';
            piece[n++] = static_cast<char>(c);
        } else if (c == '\n' || c == '\t' || c == '\r') {
            piece[n++] = '\\';
            piece[n++] = c == '\n' ? 'n' : c == '\t' ? 't' : 'r';
        } else if (c < 0x20 || seq == 0) {
            std::memcpy(piece, "\\u00", 4);
            n = 4;
            piece[n++] = HEX[c >> 4];
            piece[n++] = HEX[c & 15];
        } else {
            std::memcpy(piece, s, static_cast<std::size_t>(seq));
            n = static_cast<std::size_t>(seq);
        }
        if (len + n + 1 > cap)
            break;
        std::memcpy(out + len, piece, n);
        len += n;
        s += seq > 0 ? seq : 1;
    }
    out[len] = '\0';
    return len;
}

bool json_plain(const char *text)
{
    // The longest slot text is 63 bytes; each escape takes at most 6.
    char escaped[64 * 6 + 1];
    return json_escape(escaped, sizeof escaped, text) == std::strlen(text);
}
