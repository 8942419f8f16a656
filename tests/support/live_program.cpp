// SPDX-License-Identifier: ISC
// A program kept running while a test talks to it; every wait bounded.

#include "tests/support/live_program.h"

#include "tests/support/tarnwick_run.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char **environ;

using steady = std::chrono::steady_clock;

static int ms_left(steady::time_point deadline)
{
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - steady::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// Appends what `fd` has to `into`, waiting until `deadline` for it. False
// at the end of the stream, or when nothing came in time.
static bool read_some(int fd, std::string &into, steady::time_point deadline)
{
    pollfd p{fd, POLLIN, 0};
    if (fd < 0 || poll(&p, 1, ms_left(deadline)) <= 0)
        return false;
    char chunk[4096];
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0)
        return false;
    into.append(chunk, static_cast<std::size_t>(n));
    return true;
}

// What `fd` carries until it ends or `deadline` passes (at least what is
// there now).
static std::string rest_of(int fd, std::string text, steady::time_point deadline)
{
    for (int i = 0; i < 10000 && read_some(fd, text, deadline); ++i) {
    }
    return text;
}

live_program::~live_program()
{
    if (pid_ > 0 && !status_) {
        kill(pid_, SIGKILL);
        (void)wait_exit(scaled(std::chrono::milliseconds(3000)));
    }
    for (int fd : {out_fd_, err_fd_})
        if (fd >= 0)
            close(fd);
}

bool live_program::start(const std::string &program, const std::vector<std::string> &args)
{
    std::vector<std::string> words;
    if (is_built_program(program))
        for (const std::string &w : launcher_words())
            words.push_back(w == "{argv0}" ? program : w);
    words.push_back(program);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);

    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], STDERR_FILENO);
    int rc = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out_pipe[1]);
    close(err_pipe[1]);
    out_fd_ = out_pipe[0];
    err_fd_ = err_pipe[0];
    if (rc != 0) {
        pid_ = -1;
        ADD_FAILURE() << "could not start " << argv[0] << ": " << std::strerror(rc);
        return false;
    }
    return true;
}

std::string live_program::next_line(std::chrono::milliseconds wait)
{
    auto deadline = steady::now() + wait;
    std::size_t nl;
    for (int i = 0; (nl = out_.find('\n')) == std::string::npos; ++i)
        if (i > 1000 || !read_some(out_fd_, out_, deadline))
            return "<no line: \"" + out_ + "\">";
    std::string line = out_.substr(0, nl);
    out_.erase(0, nl + 1);
    return line;
}

std::string live_program::rest_of_output(std::chrono::milliseconds wait)
{
    std::string text = rest_of(out_fd_, std::move(out_), steady::now() + wait);
    out_.clear();
    return text;
}

std::string live_program::rest_of_errors(std::chrono::milliseconds wait)
{
    return rest_of(err_fd_, "", steady::now() + wait);
}

std::optional<int> live_program::wait_exit(std::chrono::milliseconds wait)
{
    if (status_ || pid_ <= 0)
        return status_;
    auto deadline = steady::now() + wait;
    // Bounded by the deadline: a look every 10 ms.
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            status_ = status;
            return status_;
        }
        if (r < 0 || ms_left(deadline) == 0)
            return std::nullopt;
        usleep(10000);
    }
}
