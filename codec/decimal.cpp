// SPDX-License-Identifier: ISC
// Decimal text to a scaled 32-bit integer, exactly, on the digits alone.

#include "codec/decimal.h"

// Significant digits kept; later ones only decide whether the number is a
// bit larger than what was kept. A 32-bit result has at most 10 digits, and
// the one after them decides the rounding.
static constexpr int KEPT_DIGITS = 12;
static constexpr int MAX_EXPONENT = 1000;

static bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

bool decimal_to_u32(const char *text, int scale, bool round, std::uint32_t *out, const char **end)
{
    const char *p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        p++;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        p++;

    char digits[KEPT_DIGITS];
    int kept = 0;
    int point = 0; // where the decimal point sits after the first significant digit
    bool any_digit = false;
    bool significant = false;
    for (bool fraction = false;; p++) {
        if (*p == '.' && !fraction) {
            fraction = true;
            continue;
        }
        if (!is_digit(*p))
            break;
        any_digit = true;
        if (!significant && *p == '0') {
            if (fraction)
                point--;
            continue;
        }
        significant = true;
        if (kept < KEPT_DIGITS)
            digits[kept++] = *p;
        if (!fraction)
            point++;
    }
    if (!any_digit)
        return false;
    if ((*p == 'e' || *p == 'E') && (is_digit(p[1]) || ((p[1] == '+' || p[1] == '-') && is_digit(p[2])))) {
        const char *q = p + 1;
        bool minus = *q == '-';
        if (*q == '+' || *q == '-')
            q++;
        int exponent = 0;
        for (; is_digit(*q); q++)
            if (exponent < MAX_EXPONENT)
                exponent = exponent * 10 + (*q - '0');
        point += minus ? -exponent : exponent;
        p = q;
    }
    if (end)
        *end = p;
    if (!significant) {
        *out = 0;
        return true;
    }
    if (negative)
        return false;

    int whole = point + scale; // digits of the integer result
    if (whole > 10)
        return false;
    std::uint32_t value = 0;
    for (int i = 0; i < whole; i++) {
        unsigned d = i < kept ? static_cast<unsigned>(digits[i] - '0') : 0;
        if (value > 429496729u || (value == 429496729u && d > 5))
            return false;
        value = value * 10 + d;
    }
    if (round && whole >= 0 && whole < kept && digits[whole] >= '5') {
        if (value == 0xffffffffu)
            return false;
        value++;
    }
    *out = value;
    return true;
}
