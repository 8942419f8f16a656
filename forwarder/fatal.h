// SPDX-License-Identifier: ISC
#pragma once
// The single way out of a run that fails: every path that ends tarnwick with
// status 1 goes through fatal_exit, which leaves exactly one error line in
// the system log, whatever pfwd_debug says, then closes the log, frees the
// resolved server addresses and exits.

#include "forwarder/debug_log.h"

[[noreturn]] void fatal_exit_v(bool unless_gate_open, const char *fmt, ...);

// Writes `fmt` at error level and ends the run with status 1. Where a gated
// error line used to say the same, the call replaces it: the text is the
// same, and now also reaches the log while the gate is closed.
template <typename... Args>
[[noreturn]] inline void fatal_exit(log_format<std::type_identity_t<Args>...> fmt, Args... args)
{
    fatal_exit_v(false, fmt.text, args...);
}

// For a failure that a gated error line has just described: while the gate
// is open that line is the run's error line, and `fmt` (the same failure in
// the words an operator needs: cause and the option to set) is written only
// while the gate is closed. Never two lines for one failure.
template <typename... Args>
[[noreturn]] inline void fatal_exit_unless_logged(log_format<std::type_identity_t<Args>...> fmt, Args... args)
{
    fatal_exit_v(true, fmt.text, args...);
}
