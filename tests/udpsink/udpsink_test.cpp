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

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

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
    ASSERT_EQ(bind(holder, reinterpret_cast<struct sockaddr *>(&a), sizeof(a)), 0)
        << std::strerror(errno);

    ASSERT_TRUE(sink.start(UDPSINK_PROGRAM));
    std::optional<int> status = sink.wait_exit(wait_ms());
    close(holder);
    ASSERT_TRUE(status);
    ASSERT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 255);
    EXPECT_EQ(sink.rest_of_errors(wait_ms()), std::string("bind() failed: ") + std::strerror(EADDRINUSE) + "\n");
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
