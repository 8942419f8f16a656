// SPDX-License-Identifier: ISC
#pragma once
// A strict check of JSON text as RFC 8259 defines it, for the records the
// gateway sends: one value and nothing else but whitespace around it,
// strings of valid UTF-8 (no overlong forms, no surrogates, nothing above
// U+10FFFF) without raw control characters, only the escapes the grammar
// has, numbers in the grammar's form (no NaN, no Infinity, no leading zero,
// no '+'). A network server drops a record that fails any of these.
//
//   std::optional<std::string> error = json_error(record);
//   EXPECT_FALSE(error) << *error << "\n" << record;

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace json_check_detail {

class checker {
public:
    explicit checker(std::string_view text) : s_(text) {}

    std::optional<std::string> run()
    {
        skip_blanks();
        if (!value(0))
            return error_;
        skip_blanks();
        if (at_ < s_.size())
            fail("text after the value");
        return error_;
    }

private:
    static constexpr int MAX_DEPTH = 64;

    std::string_view s_;
    std::size_t at_ = 0;
    std::optional<std::string> error_;

    bool fail(const std::string &what)
    {
        if (!error_)
            error_ = what + " at byte " + std::to_string(at_);
        return false;
    }

    [[nodiscard]] int peek() const { return at_ < s_.size() ? static_cast<unsigned char>(s_[at_]) : -1; }

    void skip_blanks()
    {
        while (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')
            ++at_;
    }

    bool literal(std::string_view word)
    {
        if (s_.substr(at_, word.size()) != word)
            return fail("not a value");
        at_ += word.size();
        return true;
    }

    bool value(int depth)
    {
        if (depth > MAX_DEPTH)
            return fail("nested too deep");
        switch (peek()) {
        case '{':
            return object(depth);
        case '[':
            return array(depth);
        case '"':
            return string();
        case 't':
            return literal("true");
        case 'f':
            return literal("false");
        case 'n':
            return literal("null");
        case -1:
            return fail("no value");
        default:
            if (peek() == '-' || (peek() >= '0' && peek() <= '9'))
                return number();
            return fail("not a value");
        }
    }

    bool object(int depth)
    {
        ++at_; // '{'
        skip_blanks();
        if (peek() == '}') {
            ++at_;
            return true;
        }
        for (;;) {
            skip_blanks();
            if (peek() != '"')
                return fail("a member name must be a string");
            if (!string())
                return false;
            skip_blanks();
            if (peek() != ':')
                return fail("':' missing after a member name");
            ++at_;
            skip_blanks();
            if (!value(depth + 1))
                return false;
            skip_blanks();
            if (peek() == ',') {
                ++at_;
                continue;
            }
            if (peek() == '}') {
                ++at_;
                return true;
            }
            return fail("',' or '}' missing in an object");
        }
    }

    bool array(int depth)
    {
        ++at_; // '['
        skip_blanks();
        if (peek() == ']') {
            ++at_;
            return true;
        }
        for (;;) {
            skip_blanks();
            if (!value(depth + 1))
                return false;
            skip_blanks();
            if (peek() == ',') {
                ++at_;
                continue;
            }
            if (peek() == ']') {
                ++at_;
                return true;
            }
            return fail("',' or ']' missing in an array");
        }
    }

    bool digits()
    {
        if (!(peek() >= '0' && peek() <= '9'))
            return fail("digit missing in a number");
        while (peek() >= '0' && peek() <= '9')
            ++at_;
        return true;
    }

    bool number()
    {
        if (peek() == '-')
            ++at_;
        if (peek() == '0') {
            ++at_;
            if (peek() >= '0' && peek() <= '9')
                return fail("leading zero in a number");
        } else if (!digits()) {
            return false;
        }
        if (peek() == '.') {
            ++at_;
            if (!digits())
                return false;
        }
        if (peek() == 'e' || peek() == 'E') {
            ++at_;
            if (peek() == '+' || peek() == '-')
                ++at_;
            if (!digits())
                return false;
        }
        return true;
    }

    static bool hex(int c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

    // One UTF-8 sequence of two to four bytes at at_, by the table of
    // well-formed byte sequences of the Unicode standard.
    bool utf8_sequence()
    {
        int b0 = peek();
        int n = 0;
        int lo = 0x80, hi = 0xbf; // range of the second byte
        if (b0 >= 0xc2 && b0 <= 0xdf) {
            n = 2;
        } else if (b0 == 0xe0) {
            n = 3;
            lo = 0xa0;
        } else if ((b0 >= 0xe1 && b0 <= 0xec) || b0 == 0xee || b0 == 0xef) {
            n = 3;
        } else if (b0 == 0xed) {
            n = 3;
            hi = 0x9f;
        } else if (b0 == 0xf0) {
            n = 4;
            lo = 0x90;
        } else if (b0 >= 0xf1 && b0 <= 0xf3) {
            n = 4;
        } else if (b0 == 0xf4) {
            n = 4;
            hi = 0x8f;
        } else {
            return fail("invalid UTF-8 lead byte");
        }
        for (int i = 1; i < n; ++i) {
            std::size_t pos = at_ + static_cast<std::size_t>(i);
            int b = pos < s_.size() ? static_cast<unsigned char>(s_[pos]) : -1;
            int low = i == 1 ? lo : 0x80, high = i == 1 ? hi : 0xbf;
            if (b < low || b > high)
                return fail("invalid UTF-8 sequence");
        }
        at_ += static_cast<std::size_t>(n);
        return true;
    }

    bool string()
    {
        ++at_; // '"'
        for (;;) {
            int c = peek();
            if (c == -1)
                return fail("unterminated string");
            if (c == '"') {
                ++at_;
                return true;
            }
            if (c < 0x20)
                return fail("raw control character in a string");
            if (c >= 0x80) {
                if (!utf8_sequence())
                    return false;
                continue;
            }
            ++at_;
            if (c != '\\')
                continue;
            c = peek();
            if (c == '"' || c == '\\' || c == '/' || c == 'b' || c == 'f' || c == 'n' || c == 'r' || c == 't') {
                ++at_;
                continue;
            }
            if (c != 'u')
                return fail("unknown escape");
            ++at_;
            for (int i = 0; i < 4; ++i, ++at_)
                if (!hex(peek()))
                    return fail("\\u needs four hexadecimal digits");
        }
    }
};

} // namespace json_check_detail

// nullopt when `text` is exactly one JSON text; else what is wrong, and at
// which byte.
[[nodiscard]] inline std::optional<std::string> json_error(std::string_view text)
{
    return json_check_detail::checker(text).run();
}
