// SPDX-License-Identifier: ISC
#pragma once
// tarnwick's lines for the system log.
//
// log_debug writes a line only while the pfwd_debug option holds a non-zero
// number (the gate); log_always writes whatever pfwd_debug says, for the
// few lines an operator must see: the listening line, the one error line of
// a run that fails, a server that speaks another protocol version.
//
// The texts of these lines are fixed by design: operators grep for them and
// the system tests pin them word for word, odd spellings ("out-of sync",
// "non-ACL", "Mhz") included. Do not "correct" them.
//
// Formats understand only %s (a text: const char * or char *) and %i (an
// int). The format is checked at compile time against the arguments' types:
// any other directive, a missing or extra argument or a wrong type does not
// compile.

#include <cstdarg>
#include <cstddef>
#include <type_traits>

inline constexpr std::size_t LOG_LINE_SIZE = 2048; // a line holds at most 2047 characters

namespace log_detail {
// Called only where a format does not fit its arguments: not being
// constexpr, it turns the check into a compile error that names it.
void format_does_not_match_arguments();

template <typename T> consteval char directive_for()
{
    using U = std::remove_cv_t<T>;
    if constexpr (std::is_same_v<U, int>)
        return 'i';
    else if constexpr (std::is_same_v<U, const char *> || std::is_same_v<U, char *>)
        return 's';
    else
        return '?';
}
} // namespace log_detail

// A format text checked against the types Args of its arguments.
template <typename... Args> struct log_format {
    const char *text;

    template <std::size_t N> consteval log_format(const char (&s)[N]) : text(s)
    {
        constexpr char wanted[] = {log_detail::directive_for<Args>()..., '\0'};
        std::size_t next = 0;
        for (std::size_t i = 0; i + 1 < N; i++) {
            if (s[i] != '%')
                continue;
            char d = s[i + 1];
            if ((d != 's' && d != 'i') || next >= sizeof...(Args) || wanted[next] != d)
                log_detail::format_does_not_match_arguments();
            next++;
            i++;
        }
        if (next != sizeof...(Args))
            log_detail::format_does_not_match_arguments();
    }
};

// The unchecked writers behind the templates below.
void log_debug_v(int priority, const char *fmt, ...);
void log_always_v(int priority, const char *fmt, ...);

// Writes one line at `priority` (LOG_ERR, LOG_WARNING, LOG_NOTICE, LOG_INFO)
// when the gate is open. The finished line is handed to syslog as data, so a
// % in an argument reaches the log unchanged.
template <typename... Args>
inline void log_debug(int priority, log_format<std::type_identity_t<Args>...> fmt, Args... args)
{
    log_debug_v(priority, fmt.text, args...);
}

// The same, whatever the gate says.
template <typename... Args>
inline void log_always(int priority, log_format<std::type_identity_t<Args>...> fmt, Args... args)
{
    log_always_v(priority, fmt.text, args...);
}

// True when a pfwd_debug text reads as a non-zero number (atoi).
[[nodiscard]] bool debug_enabled(const char *pfwd_debug);
// True when this run's pfwd_debug opens the gate.
[[nodiscard]] bool log_gate_open();

// The formatting of the writers on its own: fills `buf` (capacity `cap`, at
// least 1) with the line, cut to cap - 1 characters and NUL-terminated. Any
// letter after % other than i is taken as s (the checked formats never hold
// one). Returns the length written.
std::size_t format_log_line(char *buf, std::size_t cap, const char *fmt, va_list ap);

// Formats and writes one line at `priority`, whatever the gate says.
void log_line_v(int priority, const char *fmt, va_list ap);
