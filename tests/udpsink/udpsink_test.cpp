// SPDX-License-Identifier: ISC
// Runs the built udpsink as a real process with its output on pipes and sends
// it real datagrams over loopback. Each test first moves into a network
// namespace of its own (CTest runs every test in a process of its own), so
// port 9930 of the host is never touched. udpsink runs under the rig's
// launcher (TARNWICK_TEST_WRAPPER), its waits stretched by the rig's time
// scale (see tests/support/tarnwick_run.h).

#include "tests/support/live_program.h"
#include "tests/support/private_paths.h"
#include "tests/support/tarnwick_run.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/close_range.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr int PORT = 9930;

std::chrono::milliseconds wait_ms()
{
    return scaled(3000ms);
}

struct sockaddr_in sink_address()
{
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(PORT);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

class Udpsink : public ::testing::Test {
protected:
    live_program sink;
    int tx = -1;

    void SetUp() override
    {
        // The rig's capability check (a CTest fixture) has already shown
        // that this works here.
        ASSERT_EQ(enter_private_network(), 0) << "no private network namespace: port 9930 stays untouched";
        tx = socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_GE(tx, 0) << std::strerror(errno);
    }

    void TearDown() override
    {
        if (tx >= 0)
            close(tx);
    }

    // Starts udpsink and waits for its listening line: from then on it is bound.
    void start_listening()
    {
        ASSERT_TRUE(sink.start(UDPSINK_PROGRAM));
        ASSERT_EQ(sink.next_line(wait_ms()), "Listening on port 9930");
    }

    std::string next_line(std::chrono::milliseconds wait = wait_ms()) { return sink.next_line(wait); }

    void send_datagram(std::string_view data)
    {
        struct sockaddr_in to = sink_address();
        ssize_t n = sendto(tx, data.data(), data.size(), 0, reinterpret_cast<struct sockaddr *>(&to), sizeof(to));
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

// Datagrams that would drive a terminal: how udpsink prints each on one
// (control bytes as \xNN) and into a pipe (as they are).
const struct {
    const char *what;
    std::string datagram;
    std::string on_terminal;
} CONTROL_BYTES[] = {
    {"clear the screen", "a\x1b[2Jb", "a\\x1b[2Jb"},
    {"set the window title", "\x1b]0;owned\x07", "\\x1b]0;owned\\x07"},
    {"carriage return and backspace", "ok\rno\bX", "ok\\x0dno\\x08X"},
    {"tab and line feed", "a\tb\nc", "a\\x09b\\x0ac"},
    {"delete",
     "a\x7f"
     "b",
     "a\\x7fb"},
    {"UTF-8 and other high bytes as they are", "\xc3\xa9\xff", "\xc3\xa9\xff"},
};

// udpsink started by the test itself, for what live_program does not
// offer: standard output on a terminal, standard descriptors closed. Under
// the rig's launcher, as every run of a built program.
class raw_udpsink {
public:
    raw_udpsink() = default;
    ~raw_udpsink()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    raw_udpsink(const raw_udpsink &) = delete;
    raw_udpsink &operator=(const raw_udpsink &) = delete;

    // Standard output on `out` (when not closed); standard input and error
    // on /dev/null; the descriptors in `closed` closed.
    [[nodiscard]] bool start(int out, const std::vector<int> &closed)
    {
        std::vector<std::string> words;
        for (const std::string &w : launcher_words())
            words.push_back(w == "{argv0}" ? UDPSINK_PROGRAM : w);
        words.push_back(UDPSINK_PROGRAM);
        std::vector<char *> argv;
        for (std::string &w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);
        pid_t parent = getpid();
        pid_ = fork();
        if (pid_ < 0)
            return false;
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent)
                _exit(127);
            int null_fd = open("/dev/null", O_RDWR);
            if (null_fd < 0 || dup2(null_fd, 0) < 0 || dup2(out >= 0 ? out : null_fd, 1) < 0 || dup2(null_fd, 2) < 0)
                _exit(127);
            close_range(3, ~0U, 0);
            for (int fd : closed)
                close(fd);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        return true;
    }

    [[nodiscard]] pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
};

// The next line from `fd` (a terminal's master side or a pipe), without its
// line break, or "<no line: ...>" when none is complete within `wait`.
std::string line_from(int fd, std::string &pending, std::chrono::milliseconds wait)
{
    auto deadline = std::chrono::steady_clock::now() + wait;
    for (int i = 0; i < 1000; ++i) {
        std::size_t nl = pending.find('\n');
        if (nl != std::string::npos) {
            std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            return line;
        }
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
            break;
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        pending.append(buf, static_cast<std::size_t>(n));
    }
    return "<no line: \"" + pending + "\">";
}

// What /proc says descriptor `fd` of `pid` is ("socket:[N]", "/dev/null",
// ...), or "(closed)".
std::string descriptor_of(pid_t pid, int fd)
{
    std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
    char target[256];
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n < 0)
        return "(closed)";
    return std::string(target, static_cast<std::size_t>(n));
}

// Whether a socket is bound to port 9930 in this test's network namespace:
// udpsink's own, once it has made and bound it (a child that has not yet
// reached exec holds only the test's sockets).
bool port_bound()
{
    std::FILE *f = std::fopen("/proc/net/udp", "r");
    if (!f)
        return false;
    char line[512];
    bool bound = false;
    const std::string port = ":26CA "; // 9930, in the local address
    while (!bound && std::fgets(line, sizeof line, f))
        bound = std::string(line).find(port) != std::string::npos;
    std::fclose(f);
    return bound;
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
    EXPECT_TRUE(sink.running());
    EXPECT_EQ(sink.rest_of_errors(0ms), "");
}

// SIGUSR1 interrupts the wait: "Error or signal", and udpsink listens on.
TEST_F(Udpsink, SignalInterruptsWaitAndListeningGoesOn)
{
    ASSERT_NO_FATAL_FAILURE(start_listening());
    // A signal that lands between two waits interrupts nothing: try again.
    std::string line;
    for (int attempt = 0; attempt < 5 && line != "Error or signal"; attempt++) {
        ASSERT_EQ(kill(sink.pid(), SIGUSR1), 0);
        line = next_line(scaled(500ms));
    }
    EXPECT_EQ(line, "Error or signal");
    ASSERT_NO_FATAL_FAILURE(send_datagram("after the signal"));
    EXPECT_EQ(next_line(), "after the signal");
    EXPECT_TRUE(sink.running());
}

TEST_F(Udpsink, TermSignalEndsIt)
{
    ASSERT_NO_FATAL_FAILURE(start_listening());
    ASSERT_EQ(kill(sink.pid(), SIGTERM), 0);
    std::optional<int> status = sink.wait_exit(wait_ms());
    ASSERT_TRUE(status);
    ASSERT_TRUE(WIFSIGNALED(*status));
    EXPECT_EQ(WTERMSIG(*status), SIGTERM);
}

TEST_F(Udpsink, PortTakenEndsWithBindError)
{
    int holder = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(holder, 0);
    struct sockaddr_in a = sink_address();
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(holder, reinterpret_cast<struct sockaddr *>(&a), sizeof(a)), 0) << std::strerror(errno);

    ASSERT_TRUE(sink.start(UDPSINK_PROGRAM));
    std::optional<int> status = sink.wait_exit(wait_ms());
    close(holder);
    ASSERT_TRUE(status);
    ASSERT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 255);
    // The error's words are the C library's own (musl: "Address in use").
    std::string errors = sink.rest_of_errors(wait_ms());
    EXPECT_TRUE(errors.starts_with("bind() failed: ") && errors.size() > 17 && errors.back() == '\n') << errors;
    EXPECT_EQ(sink.rest_of_output(wait_ms()), "");
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
    EXPECT_TRUE(sink.running());

    ASSERT_EQ(kill(sink.pid(), SIGINT), 0);
    std::optional<int> status = sink.wait_exit(wait_ms());
    ASSERT_TRUE(status);
    ASSERT_TRUE(WIFSIGNALED(*status));
    EXPECT_EQ(WTERMSIG(*status), SIGINT);
    EXPECT_EQ(sink.rest_of_output(wait_ms()), "");
}

// On a terminal a datagram must not drive it: control bytes come out as
// \xNN, one line per datagram. The terminal is raw, so the line is exactly
// what udpsink wrote.
TEST_F(Udpsink, ControlBytesAreEscapedOnATerminal)
{
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0) << std::strerror(errno);
    termios raw{};
    ASSERT_EQ(tcgetattr(slave, &raw), 0);
    cfmakeraw(&raw);
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &raw), 0);
    raw_udpsink terminal_sink;
    bool started = terminal_sink.start(slave, {});
    close(slave);
    ASSERT_TRUE(started);
    std::string pending;
    EXPECT_EQ(line_from(master, pending, wait_ms()), "Listening on port 9930");
    for (const auto &c : CONTROL_BYTES) {
        SCOPED_TRACE(c.what);
        ASSERT_NO_FATAL_FAILURE(send_datagram(c.datagram));
        EXPECT_EQ(line_from(master, pending, wait_ms()), c.on_terminal);
    }
    close(master);
}

// Into a pipe the bytes go as they are: a capture keeps the datagram.
TEST_F(Udpsink, ControlBytesGoAsTheyAreIntoAPipe)
{
    ASSERT_NO_FATAL_FAILURE(start_listening());
    for (const auto &c : CONTROL_BYTES) {
        SCOPED_TRACE(c.what);
        ASSERT_NO_FATAL_FAILURE(send_datagram(c.datagram));
        // A line feed in the datagram ends a line of its own.
        std::string line = next_line();
        std::size_t nl = c.datagram.find('\n');
        if (nl != std::string::npos) {
            EXPECT_EQ(line, c.datagram.substr(0, nl));
            line = next_line();
            EXPECT_EQ(line, c.datagram.substr(nl + 1));
            continue;
        }
        EXPECT_EQ(line, c.datagram);
    }
}

// Started with standard descriptors closed, udpsink opens them on /dev/null
// before its socket: the socket never becomes standard input, output or
// error, and a datagram still prints where output goes.
TEST_F(Udpsink, ClosedStandardDescriptorsNeverBecomeItsSocket)
{
    const std::vector<int> cases[] = {{0}, {1}, {2}, {0, 1}, {0, 1, 2}};
    for (const std::vector<int> &closed : cases) {
        std::string name;
        for (int fd : closed)
            name += std::to_string(fd) + " ";
        SCOPED_TRACE("closed: " + name);
        int out[2];
        ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
        raw_udpsink sink_process;
        bool started = sink_process.start(out[1], closed);
        close(out[1]);
        ASSERT_TRUE(started);
        auto deadline = std::chrono::steady_clock::now() + wait_ms();
        while (!port_bound() && std::chrono::steady_clock::now() < deadline)
            usleep(10000);
        ASSERT_TRUE(port_bound()) << "port 9930 not bound within " << wait_ms().count() << " ms";
        for (int fd = 0; fd < 3; ++fd) {
            std::string what = descriptor_of(sink_process.pid(), fd);
            EXPECT_NE(what, "(closed)") << "descriptor " << fd;
            EXPECT_FALSE(what.starts_with("socket:")) << "descriptor " << fd << " is " << what;
        }
        std::string pending;
        bool output_open = std::find(closed.begin(), closed.end(), 1) == closed.end();
        if (output_open) {
            EXPECT_EQ(line_from(out[0], pending, wait_ms()), "Listening on port 9930");
            ASSERT_NO_FATAL_FAILURE(send_datagram("still printed"));
            EXPECT_EQ(line_from(out[0], pending, wait_ms()), "still printed");
        }
        close(out[0]);
    }
}
