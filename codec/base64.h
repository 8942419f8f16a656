// SPDX-License-Identifier: ISC
#pragma once
// Base64 (RFC 4648 alphabet, '=' padding) over caller-supplied buffers with an
// explicit capacity. Nothing is allocated and no state is kept. Every
// operation returns the number of characters or bytes produced, or -1 for a
// missing buffer, an impossible length or a capacity that is too small.
// Lengths are never negative in tarnwick. A negative one is refused with -1
// when it is a multiple of 3 (encoders) or 4 (decoders); any other ends the
// process with status 1 after a "CRITICAL file:... line:..." line on stderr.
// Nothing is read or written for a negative length.

#include <cstdint>

// Value 0..63 (after cutting to 8 bits) to its character. Any other value
// ends the process with status 1.
char b64_sextet_to_char(int value);
// Alphabet character to its value 0..63. Any other character ('=', blanks,
// '-', '_', bytes >= 0x80, NUL) ends the process with status 1.
int b64_char_to_sextet(char c);

// Text without padding, NUL-terminated. Needs cap >= 4*(n/3) + {0,2,3}[n%3] + 1.
// n == 0 writes a lone NUL and returns 0 without looking at cap.
int b64_encode_nopad(const std::uint8_t *in, int n, char *out, int cap);
// Text with '=' padding, NUL-terminated. Padding asks for one byte more than
// the padded text and its NUL occupy; when that byte is missing the result is
// -1 although the unpadded text is already in `out`.
int b64_encode(const std::uint8_t *in, int n, char *out, int cap);
// Text without padding to bytes (not terminated). A length of 4k+1 gives -1.
// A character outside the alphabet ends the process with status 1, after the
// groups before it were stored.
int b64_decode_nopad(const char *in, int n, std::uint8_t *out, int cap);
// As b64_decode_nopad, after dropping "=" or "==" from a text whose length is
// a multiple of 4.
int b64_decode(const char *in, int n, std::uint8_t *out, int cap);

// The decoders without the process exit, for code that must survive any
// input (fuzzing, checks): a character outside the alphabet gives
// B64_BAD_CHAR, with the groups before it already in `out`; any negative
// length gives -1.
inline constexpr int B64_BAD_CHAR = -2;
int b64_decode_nopad_checked(const char *in, int n, std::uint8_t *out, int cap);
int b64_decode_checked(const char *in, int n, std::uint8_t *out, int cap);
