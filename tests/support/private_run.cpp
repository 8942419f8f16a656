// SPDX-License-Identifier: ISC
// private_run: runs a program with its own /etc/config, /var/iot and
// /dev/log taken from a per-run directory (see private_paths.h), for scripts.
//
//   private_run [--net] [--syslog] [--timeout SECONDS] DIR -- PROGRAM [ARGS...]
//
// Without --syslog it enters the private paths and executes PROGRAM in
// place. With --syslog it listens at DIR/dev/log itself, runs PROGRAM as a
// child (killed after --timeout seconds, 60 by default), then prints each
// system-log line on standard error as "syslog <priority> <ident>[<pid>]:
// <message>" and exits with the child's status (128 + signal when killed).

#include "tests/support/private_paths.h"
#include "tests/support/syslog_sink.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static int usage()
{
    std::fprintf(stderr, "usage: private_run [--net] [--syslog] [--timeout SECONDS] DIR -- PROGRAM [ARGS...]\n");
    return 2;
}

static void print_lines(const syslog_sink &sink)
{
    for (const syslog_line &l : sink.lines()) {
        if (!l.parsed) {
            std::fprintf(stderr, "syslog (unparsed) %s\n", l.raw.c_str());
            continue;
        }
        std::string message = l.message;
        if (!message.empty() && message.back() == '\n')
            message.pop_back();
        std::fprintf(stderr, "syslog %s %s[%d]: %s\n", priority_name(l.priority), l.ident.c_str(), l.pid,
                     message.c_str());
    }
}

static int run_with_syslog(const char *dir, bool net, int timeout, char **argv)
{
    std::string dev = std::string(dir) + "/dev";
    if (mkdir(dev.c_str(), 0755) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "private_run: mkdir %s: %s\n", dev.c_str(), std::strerror(errno));
        return 125;
    }
    syslog_sink sink(dev + "/log");
    if (!sink.ok())
        return 125;
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        std::perror("private_run: fork");
        return 125;
    }
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent || enter_private_paths(dir, net) != 0)
            _exit(125);
        execvp(argv[0], argv);
        std::fprintf(stderr, "private_run: exec %s: %s\n", argv[0], std::strerror(errno));
        _exit(127);
    }

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout);
    int status = 0;
    bool killed = false;
    // Bounded by the deadline.
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            std::fprintf(stderr, "private_run: %s still ran after %d s; killed\n", argv[0], timeout);
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            killed = true;
            break;
        }
        pollfd p{sink.fd(), POLLIN, 0};
        poll(&p, 1, 20);
        sink.drain();
    }
    sink.drain();
    print_lines(sink);
    if (killed)
        return 124;
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

int main(int argc, char **argv)
{
    bool net = false;
    bool syslog = false;
    int timeout = 60;
    int i = 1;
    for (; i < argc && argv[i][0] == '-' && std::strcmp(argv[i], "--") != 0; ++i) {
        if (std::strcmp(argv[i], "--net") == 0)
            net = true;
        else if (std::strcmp(argv[i], "--syslog") == 0)
            syslog = true;
        else if (std::strcmp(argv[i], "--timeout") == 0 && i + 1 < argc)
            timeout = std::atoi(argv[++i]);
        else
            return usage();
    }
    if (i + 2 >= argc || std::strcmp(argv[i + 1], "--") != 0 || timeout <= 0)
        return usage();
    // A script may name DIR relatively; the mounts need it absolute.
    char dir[PATH_MAX];
    if (!realpath(argv[i], dir)) {
        std::fprintf(stderr, "private_run: %s: %s\n", argv[i], std::strerror(errno));
        return 125;
    }
    char **program = argv + i + 2;

    if (syslog)
        return run_with_syslog(dir, net, timeout, program);
    if (enter_private_paths(dir, net) != 0)
        return 125;
    execvp(program[0], program);
    std::fprintf(stderr, "private_run: exec %s: %s\n", program[0], std::strerror(errno));
    return 127;
}
