// SPDX-License-Identifier: ISC
#pragma once
// Decimal numbers in text, read into integers without floating-point
// arithmetic (routers have no FPU, and soft-float code costs flash).

#include <cstdint>

// Reads the decimal number at the start of `text` as strtod reads it
// (leading blanks, a sign, digits with an optional '.', an optional
// exponent) and stores value x 10^scale in *out, cut toward zero or, with
// `round`, rounded to the nearest integer (halves up). Returns false, with
// *out untouched, when there is no number there, it is negative (other than
// zero) or the result does not fit 32 bits. *end, when given, is set past
// the number. Hexadecimal, "inf" and "nan" are not numbers here.
[[nodiscard]] bool decimal_to_u32(const char *text, int scale, bool round, std::uint32_t *out,
                                  const char **end = nullptr);
