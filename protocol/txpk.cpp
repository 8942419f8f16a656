// SPDX-License-Identifier: ISC
// A tolerant reader of the txpk object of a PULL_RESP.

#include "protocol/txpk.h"

#include <cstring>

#include "codec/decimal.h"

namespace {

// A position in the text and its end.
struct cursor {
    const char *p;
    const char *end;
};

enum class kind { none, string, number, literal, container };

// One value: for a string the text between the quotes (escapes left as
// they are), for a number or literal its characters.
struct value {
    kind k;
    const char *s;
    std::size_t n;
};

void skip_blanks(cursor &c)
{
    while (c.p < c.end && (*c.p == ' ' || *c.p == '\t' || *c.p == '\n' || *c.p == '\r'))
        c.p++;
}

// After the opening quote: up to and past the closing one.
bool read_string(cursor &c, value &v)
{
    v = {kind::string, c.p, 0};
    for (; c.p < c.end; c.p++) {
        if (*c.p == '\\') {
            c.p++;
            continue;
        }
        if (*c.p == '"') {
            v.n = static_cast<std::size_t>(c.p - v.s);
            c.p++;
            return true;
        }
    }
    return false;
}

// Skips an object or array whose opening bracket is at c.p, nested ones
// and strings inside included.
bool skip_container(cursor &c)
{
    std::size_t depth = 0;
    value ignored{};
    while (c.p < c.end) {
        char ch = *c.p++;
        if (ch == '"') {
            if (!read_string(c, ignored))
                return false;
        } else if (ch == '{' || ch == '[') {
            depth++;
        } else if ((ch == '}' || ch == ']') && --depth == 0) {
            return true;
        }
    }
    return false;
}

bool read_value(cursor &c, value &v)
{
    skip_blanks(c);
    if (c.p >= c.end)
        return false;
    if (*c.p == '"') {
        c.p++;
        return read_string(c, v);
    }
    if (*c.p == '{' || *c.p == '[') {
        v = {kind::container, c.p, 0};
        return skip_container(c);
    }
    v = {kind::number, c.p, 0};
    if ((*c.p >= 'a' && *c.p <= 'z'))
        v.k = kind::literal;
    while (c.p < c.end && *c.p != ',' && *c.p != '}' && *c.p != ']' && *c.p != ' ' && *c.p != '\t' && *c.p != '\n' &&
           *c.p != '\r')
        c.p++;
    v.n = static_cast<std::size_t>(c.p - v.s);
    return v.n > 0;
}

bool is(const value &v, const char *text)
{
    return v.n == std::strlen(text) && std::memcmp(v.s, text, v.n) == 0;
}

// true, "true", 1 and "1" are true; anything else is false.
bool to_bool(const value &v)
{
    return (v.k != kind::container) && (is(v, "true") || is(v, "1"));
}

// A number's or a string's characters into a NUL-terminated buffer, cut at
// the first byte that is not printable ASCII: the texts become lines of
// dltx, where a line break or control byte from the server would forge a
// line of its own.
void to_text(const value &v, char *out, std::size_t cap)
{
    std::size_t n = 0;
    if (v.k != kind::container)
        while (n < v.n && n < cap - 1 && v.s[n] >= 0x20 && v.s[n] <= 0x7e)
            n++;
    std::memcpy(out, v.s, n);
    out[n] = '\0';
}

// The integer part of a number, modulo 2^32 (a server was seen sending an
// unwrapped tmst above 2^32); a leading '-' is kept in *negative.
bool to_u32_wrapping(const value &v, std::uint32_t *out, bool *negative)
{
    std::size_t i = 0;
    *negative = v.n > 0 && v.s[0] == '-';
    if (*negative || (v.n > 0 && v.s[0] == '+'))
        i++;
    std::uint32_t x = 0;
    std::size_t digits = 0;
    for (; i < v.n && v.s[i] >= '0' && v.s[i] <= '9'; i++, digits++)
        x = x * 10 + static_cast<std::uint32_t>(v.s[i] - '0');
    *out = x;
    return digits > 0 && v.k != kind::container;
}

void read_datr(txpk_params &t)
{
    // SF<7..12>BW<kHz>, e.g. SF12BW125.
    const char *d = t.datr;
    unsigned sf = 0;
    unsigned bw = 0;
    if (d[0] != 'S' || d[1] != 'F')
        return;
    d += 2;
    for (int i = 0; i < 2 && *d >= '0' && *d <= '9'; i++)
        sf = sf * 10 + static_cast<unsigned>(*d++ - '0');
    if (d[0] != 'B' || d[1] != 'W')
        return;
    d += 2;
    for (int i = 0; i < 3 && *d >= '0' && *d <= '9'; i++)
        bw = bw * 10 + static_cast<unsigned>(*d++ - '0');
    if (*d != '\0' || sf < 7 || sf > 12 || bw == 0)
        return;
    t.sf = sf;
    t.bw = bw;
}

void take_member(txpk_params &t, const value &key, const value &v)
{
    char text[32];
    bool negative = false;
    if (is(key, "imme")) {
        t.imme = to_bool(v);
    } else if (is(key, "ipol")) {
        t.ipol = to_bool(v);
    } else if (is(key, "ncrc")) {
        t.ncrc = to_bool(v);
    } else if (is(key, "tmst")) {
        t.has_tmst = to_u32_wrapping(v, &t.tmst, &negative) && !negative;
    } else if (is(key, "tmms")) {
        t.has_tmms = v.k == kind::number || v.k == kind::string;
    } else if (is(key, "freq")) {
        to_text(v, text, sizeof text);
        t.has_freq = decimal_to_u32(text, 6, true, &t.freq_hz);
    } else if (is(key, "powe")) {
        std::uint32_t p = 0;
        t.has_powe = to_u32_wrapping(v, &p, &negative) && p < 1000;
        t.powe = negative ? -static_cast<int>(p) : static_cast<int>(p);
    } else if (is(key, "modu")) {
        t.has_modu = true;
        to_text(v, t.modu, sizeof t.modu);
    } else if (is(key, "datr")) {
        to_text(v, t.datr, sizeof t.datr);
    } else if (is(key, "codr")) {
        to_text(v, t.codr, sizeof t.codr);
    }
}

// Past the '{' of an object.
bool open_object(cursor &c)
{
    skip_blanks(c);
    if (c.p >= c.end || *c.p != '{')
        return false;
    c.p++;
    return true;
}

// The key of the object's next member, with c left at its value; false at
// the end of the object and on text that is no member.
bool next_key(cursor &c, value &key)
{
    skip_blanks(c);
    if (c.p < c.end && *c.p == ',') {
        c.p++;
        skip_blanks(c);
    }
    if (c.p >= c.end || *c.p != '"')
        return false;
    c.p++;
    if (!read_string(c, key))
        return false;
    skip_blanks(c);
    if (c.p >= c.end || *c.p != ':')
        return false;
    c.p++;
    skip_blanks(c);
    return true;
}

} // namespace

void read_txpk(const char *text, std::size_t length, txpk_params *out)
{
    std::memset(out, 0, sizeof *out);
    std::memcpy(out->codr, "4/5", 4);
    cursor c{text, text + length};
    value key{};
    value v{};
    if (!open_object(c))
        return;
    while (next_key(c, key)) {
        if (is(key, "txpk") && c.p < c.end && *c.p == '{') {
            out->found = true;
            c.p++;
            while (next_key(c, key) && read_value(c, v))
                take_member(*out, key, v);
            read_datr(*out);
            return;
        }
        if (!read_value(c, v))
            return;
    }
}

bool txpk_is_lora(const txpk_params &t)
{
    return !t.has_modu || std::strcmp(t.modu, "LORA") == 0;
}
