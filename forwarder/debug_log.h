// SPDX-License-Identifier: ISC
#pragma once
// The gated system-log writer: every line of tarnwick except the listening
// line goes through log_debug, which writes only when the pfwd_debug option
// holds a non-zero number.

#include <cstdarg>
#include <cstddef>

inline constexpr std::size_t LOG_LINE_SIZE = 2048; // a line holds at most 2047 characters

// Writes one line at `priority` (LOG_ERR, LOG_WARNING, LOG_NOTICE, LOG_INFO)
// when the gate is open. Only %s (a text) and %i (an int) are understood;
// any other letter after % is taken as %s. The finished line is handed to
// syslog as data, so a % in an argument reaches the log unchanged.
void log_debug(int priority, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// True when pfwd_debug reads as a non-zero number.
[[nodiscard]] bool log_gate_open();

// The formatting of log_debug on its own: fills `buf` (capacity `cap`, at
// least 1) with the line, cut to cap - 1 characters and NUL-terminated.
// Returns the length written.
std::size_t format_log_line(char *buf, std::size_t cap, const char *fmt, va_list ap);
