// SPDX-License-Identifier: ISC
// fatal_exit: the run's one error line, then exit with status 1.

#include "forwarder/fatal.h"

#include <cstdlib>
#include <netdb.h>
#include <syslog.h>

#include "forwarder/settings.h"

void fatal_exit_v(bool unless_gate_open, const char *fmt, ...)
{
    if (!unless_gate_open || !log_gate_open()) {
        va_list ap;
        va_start(ap, fmt);
        log_line_v(LOG_ERR, fmt, ap);
        va_end(ap);
    }
    closelog();
    free_server_addrs();
    std::exit(1);
}
