// SPDX-License-Identifier: ISC
#pragma once
// A stand-in for the system log: a unix datagram socket that a test owns and
// that the program under test reaches as /dev/log (see private_paths.h).
// glibc's syslog(3) sends one datagram per line, synchronously, so every line
// is queued here by the time the program has exited.

#include <string>
#include <string_view>
#include <vector>

// One datagram as the C library's syslog(3) formats it (musl adds a
// trailing line break):
//   <PRI>Mmm dd hh:mm:ss ident[pid]: message
// (without LOG_PID: "ident: message").
struct syslog_line {
    std::string raw;       // the datagram as received
    bool parsed = false;   // false: raw did not have the shape above
    int priority = -1;     // PRI & 7 (LOG_ERR, LOG_WARNING, ...)
    int facility = -1;     // PRI & ~7 (LOG_USER is 8)
    std::string timestamp; // "Mmm dd hh:mm:ss"
    std::string ident;
    int pid = -1;        // -1 when the line carries none
    std::string message; // everything after ": ", but for one trailing "\n" (see the parser)
};

[[nodiscard]] syslog_line parse_syslog_line(std::string_view raw);

// The text of a priority for messages: "err", "warning", "notice", "info", ...
[[nodiscard]] const char *priority_name(int priority);

class syslog_sink {
public:
    // Binds a fresh socket at `path` (for a run: DIR/dev/log); an existing
    // file there is replaced. ok() tells whether that worked.
    explicit syslog_sink(const std::string &path);
    ~syslog_sink();
    syslog_sink(const syslog_sink &) = delete;
    syslog_sink &operator=(const syslog_sink &) = delete;

    [[nodiscard]] bool ok() const { return fd_ >= 0; }
    [[nodiscard]] int fd() const { return fd_; }
    [[nodiscard]] const std::string &path() const { return path_; }

    // Takes every datagram queued now, without waiting.
    void drain();
    [[nodiscard]] const std::vector<syslog_line> &lines() const { return lines_; }

private:
    int fd_ = -1;
    std::string path_;
    std::vector<syslog_line> lines_;
};
