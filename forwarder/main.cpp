// SPDX-License-Identifier: ISC
// tarnwick: forwards one received LoRa frame, or one status record, to the
// network server.

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

#include "forwarder/run.h"

// Descriptors 0, 1 and 2 open, on /dev/null where they were closed: else
// the system-log socket could become standard output, and text a server
// chose (the "parser" lines) would reach the log as records of its own.
static void open_standard_descriptors()
{
    for (int fd = 0; fd < 3; fd++) {
        if (fcntl(fd, F_GETFD) != -1)
            continue;
        int null_fd = open("/dev/null", O_RDWR);
        if (null_fd < 0)
            _exit(1);
        if (null_fd > 2) { // cannot happen while fd is free, but never leak it
            close(null_fd);
            break;
        }
    }
}

int main(int argc, char **argv)
{
    open_standard_descriptors();
    // A reader that went away (a closed pipe) must not end a forward that
    // succeeded: writes to standard output just fail.
    signal(SIGPIPE, SIG_IGN);
    return run_forwarder(argc, argv);
}
