// SPDX-License-Identifier: ISC
// The bound on waiting for a lock on the configuration file: a one-shot
// interval timer whose signal, installed without SA_RESTART, makes a
// blocked flock fail with EINTR. libuci then fails the load cleanly; the
// built-in reader stops retrying once the time is out.

#include "uci/uci_reader.h"

#include <csignal>
#include <sys/time.h>

static volatile std::sig_atomic_t expired;

static void on_alarm(int)
{
    expired = 1;
}

void cfg_lock_deadline_start(unsigned ms)
{
    expired = 0;
    struct sigaction sa {};
    sa.sa_handler = on_alarm;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGALRM, &sa, nullptr);
    itimerval t{};
    t.it_value.tv_sec = static_cast<time_t>(ms / 1000);
    t.it_value.tv_usec = static_cast<suseconds_t>(ms % 1000 * 1000);
    setitimer(ITIMER_REAL, &t, nullptr);
}

void cfg_lock_deadline_stop()
{
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    signal(SIGALRM, SIG_DFL);
}

bool cfg_lock_wait_expired()
{
    return expired != 0;
}
