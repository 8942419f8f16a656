// SPDX-License-Identifier: ISC
// The system-log writers: a small formatter, the pfwd_debug gate and syslog.

#include "forwarder/debug_log.h"

#include <cstdlib>
#include <syslog.h>

#include "forwarder/settings.h"

bool debug_enabled(const char *pfwd_debug)
{
    return std::atoi(pfwd_debug) != 0;
}

bool log_gate_open()
{
    return debug_enabled(gw_settings.pfwd_debug);
}

static std::size_t append_text(char *buf, std::size_t cap, std::size_t len, const char *text)
{
    if (!text)
        text = "(null)";
    while (*text && len + 1 < cap)
        buf[len++] = *text++;
    return len;
}

static std::size_t append_int(char *buf, std::size_t cap, std::size_t len, int value)
{
    char digits[12]; // "-2147483648" and a NUL
    std::size_t n = 0;
    // Work on the negative side so that INT_MIN needs no special case.
    int rest = value < 0 ? value : -value;
    do {
        digits[n++] = static_cast<char>('0' - rest % 10);
        rest /= 10;
    } while (rest != 0);
    if (value < 0)
        digits[n++] = '-';
    while (n > 0 && len + 1 < cap)
        buf[len++] = digits[--n];
    return len;
}

std::size_t format_log_line(char *buf, std::size_t cap, const char *fmt, va_list ap)
{
    std::size_t len = 0;
    for (const char *p = fmt; *p; ++p) {
        // A directive is '%' and exactly one letter; a '%' that ends the
        // format has no letter and is kept as it is.
        if (*p != '%' || p[1] == '\0') {
            if (len + 1 < cap)
                buf[len++] = *p;
            continue;
        }
        ++p;
        if (*p == 'i')
            len = append_int(buf, cap, len, va_arg(ap, int));
        else
            len = append_text(buf, cap, len, va_arg(ap, const char *));
    }
    buf[len] = '\0';
    return len;
}

void log_line_v(int priority, const char *fmt, va_list ap)
{
    char line[LOG_LINE_SIZE] = {};
    format_log_line(line, sizeof line, fmt, ap);
    // The line is finished text: a '%' in it must not be read as a directive.
    syslog(priority, "%s", line);
}

void log_debug_v(int priority, const char *fmt, ...)
{
    if (!log_gate_open())
        return;
    va_list ap;
    va_start(ap, fmt);
    log_line_v(priority, fmt, ap);
    va_end(ap);
}

void log_always_v(int priority, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    log_line_v(priority, fmt, ap);
    va_end(ap);
}
