// SPDX-License-Identifier: ISC
// Runs the built udpsink as a real process with its output on pipes and sends
// it real datagrams over loopback. Each test first moves into a network
// namespace of its own (CTest runs every test in a process of its own), so
// port 9930 of the host is never touched.
//
// Launcher: when TARNWICK_TEST_WRAPPER holds a command (words separated by
// blanks), udpsink runs under it, "WRAPPER... UDPSINK", with a word {argv0}
// replaced by udpsink's path; e.g. "qemu-mips -L /usr/mips-linux-gnu -0 {argv0}"
// for a udpsink built for big-endian MIPS. TARNWICK_TEST_TIME_SCALE (at
// least 1) then stretches every wait.

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef UDPSINK_PATH
#error "UDPSINK_PATH must name the udpsink program"
#endif

extern char **environ;

namespace {

constexpr int PORT = 9930;

using steady = std::chrono::steady_clock;

// ms stretched by TARNWICK_TEST_TIME_SCALE when udpsink runs under a launcher.
int scaled_ms(int ms)
{
    const char *wrapper = std::getenv("TARNWICK_TEST_WRAPPER");
    const char *env = std::getenv("TARNWICK_TEST_TIME_SCALE");
    double scale = wrapper && *wrapper && env ? std::atof(env) : 1.0;
    return scale > 1.0 ? static_cast<int>(ms * scale) : ms;
}

int wait_ms()
{
    return scaled_ms(3000);
}

// The argv that starts udpsink, launcher words first.
std::vector<std::string> launch_words()
{
    std::vector<std::string> words;
    const char *env = std::getenv("TARNWICK_TEST_WRAPPER");
    std::istringstream in(env ? env : "");
    for (std::string w; in >> w;)
        words.push_back(w == "{argv0}" ? UDPSINK_PATH : w);
    words.push_back(UDPSINK_PATH);
    return words;
}

bool write_file(const char *path, const std::string &text)
{
    int fd = open(path, O_WRONLY);
    if (fd < 0)
        return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

// A new, empty network namespace with its loopback up. Without root, a user
// namespace that maps us to root comes along. Returns an error text or "".
std::string enter_private_network()
{
    uid_t uid = getuid();
    gid_t gid = getgid();
    int flags = CLONE_NEWNET | (uid == 0 ? 0 : CLONE_NEWUSER);
    if (unshare(flags) != 0)
        return std::string("unshare: ") + std::strerror(errno);
    if (uid != 0) {
        if (!write_file("/proc/self/setgroups", "deny") ||
            !write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
            return std::string("id maps: ") + std::strerror(errno);
    }

    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return std::string("socket: ") + std::strerror(errno);
    struct ifreq ifr {};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    std::string err;
    if (ioctl(fd, SIOCGIFFLAGS, &ifr) != 0) {
        err = std::string("SIOCGIFFLAGS: ") + std::strerror(errno);
    } else {
        ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
        if (ioctl(fd, SIOCSIFFLAGS, &ifr) != 0)
            err = std::string("SIOCSIFFLAGS: ") + std::strerror(errno);
    }
    close(fd);
    return err;
}

struct sockaddr_in sink_address()
{
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(PORT);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

int ms_left(steady::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

class Udpsink : public ::testing::Test {
protected:
    pid_t pid = -1;
    int out_fd = -1;
    int err_fd = -1;
    int tx = -1;
    std::string out; // read from stdout, not yet taken by next_line
    std::string err;

    void SetUp() override
    {
        std::string why = enter_private_network();
        if (!why.empty())
            GTEST_SKIP() << "no private network namespace (" << why
                         << "); port 9930 stays untouched";
        tx = socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_GE(tx, 0) << std::strerror(errno);
    }

    void TearDown() override
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            int status;
            wait_exit(&status, wait_ms());
        }
        for (int fd : {out_fd, err_fd, tx}) {
            if (fd >= 0)
                close(fd);
        }
    }

    void start()
    {
        int out_pipe[2];
        int err_pipe[2];
        ASSERT_EQ(pipe2(out_pipe, O_CLOEXEC), 0);
        ASSERT_EQ(pipe2(err_pipe, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err_pipe[1], STDERR_FILENO);
        std::vector<std::string> words = launch_words();
        std::vector<char *> argv;
        for (std::string &w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);
        int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out_pipe[1]);
        close(err_pipe[1]);
        out_fd = out_pipe[0];
        err_fd = err_pipe[0];
        ASSERT_EQ(rc, 0) << std::strerror(rc);
    }

    // Starts udpsink and waits for its listening line: from then on it is bound.
    void start_listening()
    {
        ASSERT_NO_FATAL_FAILURE(start());
        ASSERT_EQ(next_line(), "Listening on port 9930");
    }

    // Appends what fd has to acc, waiting up to ms. False on end of file or
    // when nothing came.
    static bool read_some(int fd, std::string &acc, int ms)
    {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0)
            return false;
        char chunk[4096];
        ssize_t n = read(fd, chunk, sizeof(chunk));
        if (n <= 0)
            return false;
        acc.append(chunk, static_cast<std::size_t>(n));
        return true;
    }

    // The next line of standard output without its line break, or
    // "<no line: ...>" when none is complete before the deadline or the end.
    std::string next_line(int ms = wait_ms())
    {
        auto deadline = steady::now() + std::chrono::milliseconds(ms);
        std::size_t nl;
        for (int rounds = 0; (nl = out.find('\n')) == std::string::npos; rounds++) {
            if (rounds > 1000 || !read_some(out_fd, out, ms_left(deadline)))
                return "<no line: \"" + out + "\">";
        }
        std::string line = out.substr(0, nl);
        out.erase(0, nl + 1);
        return line;
    }

    // Everything the stream still carries until it ends (or the deadline).
    static std::string drain(int fd, std::string acc, int ms = wait_ms())
    {
        auto deadline = steady::now() + std::chrono::milliseconds(ms);
        for (int rounds = 0; rounds < 10000 && ms_left(deadline) > 0; rounds++) {
            struct pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, ms_left(deadline)) <= 0)
                break;
            char chunk[4096];
            ssize_t n = read(fd, chunk, sizeof(chunk));
            if (n <= 0)
                break;
            acc.append(chunk, static_cast<std::size_t>(n));
        }
        return acc;
    }

    // Waits up to ms for udpsink to end; true with its status when it did.
    bool wait_exit(int *status, int ms)
    {
        auto deadline = steady::now() + std::chrono::milliseconds(ms);
        for (;;) {
            pid_t r = waitpid(pid, status, WNOHANG);
            if (r == pid) {
                pid = -1;
                return true;
            }
            if (r < 0 || ms_left(deadline) == 0)
                return false;
            usleep(10000);
        }
    }

    bool running()
    {
        int status;
        return waitpid(pid, &status, WNOHANG) == 0;
    }

    void send_datagram(std::string_view data)
    {
        struct sockaddr_in to = sink_address();
        ssize_t n = sendto(tx, data.data(), data.size(), 0,
                           reinterpret_cast<struct sockaddr *>(&to), sizeof(to));
        ASSERT_EQ(n, static_cast<ssize_t>(data.size())) << std::strerror(errno);
    }
};

std::string letters(std::size_t n)
{
    std::string s(n, ' ');
    for (std::size_t i = 0; i < n; i++)
        s[i] = static_cast<char>('a' + i % 26);
    return s;
}

} // namespace

// One udpsink gets the datagrams in turn; each prints one line before the
// next is sent, so a datagram after the empty one also shows it keeps going.
TEST_F(Udpsink, PrintsEachDatagramAsOneLine)
{
    using namespace std::string_literals;
    const std::string full = letters(1500);
    const std::string longer = letters(1600);
    // A PUSH_DATA: version 1, token, identifier 0, gateway id, JSON.
    const std::string push_data = "\x01\xab\xcd\x00\xaa\x55\x5a\x00\x00\x00\x00\x01{\"rxpk\":[]}"s;
    const struct {
        const char *what;
        std::string datagram;
        std::string line;
    } cases[] = {
        {"text", "hello", "hello"},
        {"NUL in the middle", "hel\0lo"s, "hel"},
        {"NUL first", "\0hello"s, ""},
        {"empty", "", "The socket closed ?!?!"},
        {"still listening", "again", "again"},
        {"exactly 1500 bytes", full, full},
        {"1600 bytes, cut by the receive", longer, longer.substr(0, 1500)},
        {"PUSH_DATA", push_data, "\x01\xab\xcd"},
    };

    ASSERT_NO_FATAL_FAILURE(start_listening());
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NO_FATAL_FAILURE(send_datagram(c.datagram));
        EXPECT_EQ(next_line(), c.line);
    }
    EXPECT_TRUE(running());
    EXPECT_EQ(drain(err_fd, "", 0), "");
}

// SIGUSR1 interrupts the wait: "Error or signal", and udpsink listens on.
TEST_F(Udpsink, SignalInterruptsWaitAndListeningGoesOn)
{
    ASSERT_NO_FATAL_FAILURE(start_listening());
    // A signal that lands between two waits interrupts nothing: try again.
    std::string line;
    for (int attempt = 0; attempt < 5 && line != "Error or signal"; attempt++) {
        ASSERT_EQ(kill(pid, SIGUSR1), 0);
        line = next_line(scaled_ms(500));
    }
    EXPECT_EQ(line, "Error or signal");
    ASSERT_NO_FATAL_FAILURE(send_datagram("after the signal"));
    EXPECT_EQ(next_line(), "after the signal");
    EXPECT_TRUE(running());
}

TEST_F(Udpsink, TermSignalEndsIt)
{
    ASSERT_NO_FATAL_FAILURE(start_listening());
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    int status = 0;
    ASSERT_TRUE(wait_exit(&status, wait_ms()));
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

TEST_F(Udpsink, PortTakenEndsWithBindError)
{
    int holder = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(holder, 0);
    struct sockaddr_in a = sink_address();
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(holder, reinterpret_cast<struct sockaddr *>(&a), sizeof(a)), 0)
        << std::strerror(errno);

    ASSERT_NO_FATAL_FAILURE(start());
    int status = 0;
    ASSERT_TRUE(wait_exit(&status, wait_ms()));
    close(holder);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 255);
    EXPECT_EQ(drain(err_fd, ""), std::string("bind() failed: ") + std::strerror(EADDRINUSE) + "\n");
    EXPECT_EQ(drain(out_fd, ""), "");
}

// Through a pipe each line arrives while udpsink still runs, and an interrupt
// (default action) loses nothing already printed.
TEST_F(Udpsink, LinesReachPipeAtOnce)
{
    ASSERT_NO_FATAL_FAILURE(start_listening());
    ASSERT_NO_FATAL_FAILURE(send_datagram("first"));
    EXPECT_EQ(next_line(), "first");
    ASSERT_NO_FATAL_FAILURE(send_datagram("second"));
    EXPECT_EQ(next_line(), "second");
    EXPECT_TRUE(running());

    ASSERT_EQ(kill(pid, SIGINT), 0);
    int status = 0;
    ASSERT_TRUE(wait_exit(&status, wait_ms()));
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGINT);
    EXPECT_EQ(drain(out_fd, out), "");
}
