// SPDX-License-Identifier: ISC
#pragma once
// For the fuzz targets: a check that stops the run, and plain reference
// models of the parsers they drive, written from their contracts with the
// standard library and nothing clever, so that a target checks the results,
// not only that nothing crashed.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

// Stops the run at a broken rule: libFuzzer reports the abort as a crash
// and keeps the input.
#define FUZZ_CHECK(cond)                                                                                               \
    do {                                                                                                               \
        if (!(cond)) {                                                                                                 \
            std::fprintf(stderr, "fuzz check failed at %s:%d: %s\n", __FILE__, __LINE__, #cond);                       \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (0)

// The scraper prints two "parser" lines a call; libFuzzer reports on stderr,
// so standard output goes nowhere.
inline void silence_stdout()
{
    if (!std::freopen("/dev/null", "w", stdout))
        std::abort();
}

namespace model {

inline constexpr std::string_view ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
inline constexpr int BAD_CHAR = -2;

inline int sextet(char c)
{
    std::size_t i = ALPHABET.find(c);
    return i == std::string_view::npos || c == '\0' ? -1 : static_cast<int>(i);
}

// Padded (or not) base64 text of `in`.
inline std::string encode(const std::vector<std::uint8_t> &in, bool pad)
{
    std::string out;
    for (std::size_t i = 0; i < in.size(); i += 3) {
        std::uint32_t v = std::uint32_t{in[i]} << 16;
        if (i + 1 < in.size())
            v |= std::uint32_t{in[i + 1]} << 8;
        if (i + 2 < in.size())
            v |= in[i + 2];
        std::size_t chars = in.size() - i >= 3 ? 4 : in.size() - i + 1;
        for (std::size_t k = 0; k < 4; ++k) {
            if (k < chars)
                out += ALPHABET[(v >> (18 - 6 * k)) & 63];
            else if (pad)
                out += '=';
        }
    }
    return out;
}

// The unpadded decoder's contract: a remainder of 1 or a capacity that is
// too small gives -1, a character outside the alphabet BAD_CHAR, else the
// bytes (the low bits of the last character that do not fit are dropped).
inline int decode_nopad(std::string_view in, int cap, std::vector<std::uint8_t> &out)
{
    out.clear();
    std::size_t n = in.size();
    if (n == 0)
        return 0;
    if (n % 4 == 1)
        return -1;
    std::size_t bytes = n / 4 * 3 + (n % 4 == 0 ? 0 : n % 4 - 1);
    if (static_cast<long long>(bytes) > cap)
        return -1;
    std::uint32_t acc = 0;
    int bits = 0;
    for (std::size_t i = 0; i < n; ++i) {
        int v = sextet(in[i]);
        if (v < 0)
            return BAD_CHAR;
        acc = (acc << 6 | static_cast<std::uint32_t>(v)) & 0xffffff;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<std::uint8_t>(acc >> bits));
        }
    }
    return static_cast<int>(out.size());
}

// The padded decoder: "=" or "==" dropped from a text whose length is a
// positive multiple of 4 (with "=" second to last, the last character is
// not looked at), then as decode_nopad.
inline int decode(std::string_view in, int cap, std::vector<std::uint8_t> &out)
{
    std::size_t n = in.size();
    if (n >= 4 && n % 4 == 0) {
        if (in[n - 2] == '=')
            n -= 2;
        else if (in[n - 1] == '=')
            n -= 1;
    }
    return decode_nopad(in.substr(0, n), cap, out);
}

// scrape_json_field on a buffer of `out_size` bytes: the value after the
// first ':' that follows the first occurrence of `key` in the text (at most
// 2047 characters, up to its first NUL), ':' ' ' '"' skipped, ',' '}' or the
// end of the text or a full buffer ending it. Not found, or no ':' after
// it: the buffer stays as it was.
inline void scrape(std::string_view json, std::string_view key, std::vector<char> &out)
{
    std::string text(json.substr(0, std::min<std::size_t>(json.size(), 2047)));
    text = text.substr(0, text.find('\0'));
    std::size_t at = text.find(key);
    if (at == std::string::npos)
        return;
    std::size_t colon = text.find(':', at);
    if (colon == std::string::npos)
        return;
    std::size_t n = 0;
    for (std::size_t p = colon; p < text.size() && text[p] != ',' && text[p] != '}'; ++p) {
        char c = text[p];
        if (c == ':' || c == ' ' || c == '"')
            continue;
        if (n + 1 >= out.size())
            break;
        out[n++] = c;
    }
    out[n] = '\0';
}

} // namespace model
