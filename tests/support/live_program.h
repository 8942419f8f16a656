// SPDX-License-Identifier: ISC
#pragma once
// A program that keeps running while a test talks to it (udpsink, which
// only ends on a signal or an error): started under the launcher as the
// rig's runs are (TARNWICK_TEST_WRAPPER, see tarnwick_run.h), its standard
// output read line by line, its end awaited, every wait bounded. It shares
// the test process's namespaces: a test that uses a fixed port enters a
// private network first (enter_private_network in private_paths.h).
//
//   live_program sink;
//   ASSERT_TRUE(sink.start(UDPSINK_PROGRAM));
//   EXPECT_EQ(sink.next_line(scaled(3s)), "Listening on port 9930");
//   kill(sink.pid(), SIGTERM);
//   std::optional<int> status = sink.wait_exit(scaled(3s));

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

class live_program {
public:
    live_program() = default;
    // Kills and reaps the program if it still runs.
    ~live_program();
    live_program(const live_program &) = delete;
    live_program &operator=(const live_program &) = delete;

    // Starts `program` with `args`, under the launcher when it is one of the
    // built programs. False after a reported test failure.
    [[nodiscard]] bool start(const std::string &program, const std::vector<std::string> &args = {});
    [[nodiscard]] pid_t pid() const { return pid_; }

    // The next line of standard output without its line break, or
    // "<no line: "...">" (with what came of it) when none is complete within
    // `wait` or before the output ends.
    [[nodiscard]] std::string next_line(std::chrono::milliseconds wait);
    // The rest of standard output (what next_line has not taken) or of
    // standard error: what is there, and what comes until the stream ends
    // or `wait` has passed.
    [[nodiscard]] std::string rest_of_output(std::chrono::milliseconds wait);
    [[nodiscard]] std::string rest_of_errors(std::chrono::milliseconds wait);

    // The wait status once the program has ended, waiting up to `wait`;
    // nullopt while it runs.
    [[nodiscard]] std::optional<int> wait_exit(std::chrono::milliseconds wait);
    [[nodiscard]] bool running() { return !wait_exit(std::chrono::milliseconds(0)); }

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    int out_fd_ = -1;
    int err_fd_ = -1;
    std::string out_; // read, not yet taken
};
