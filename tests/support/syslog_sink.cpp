// SPDX-License-Identifier: ISC
// The test's own system log: collects and parses syslog(3) datagrams.

#include "tests/support/syslog_sink.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

static constexpr std::size_t TIMESTAMP_SIZE = 15; // "Mmm dd hh:mm:ss"

syslog_line parse_syslog_line(std::string_view raw)
{
    syslog_line line;
    line.raw = std::string(raw);

    if (raw.size() < 3 || raw[0] != '<')
        return line;
    std::size_t close = raw.find('>');
    if (close == std::string_view::npos || close == 1 || close > 4)
        return line;
    int pri = 0;
    for (std::size_t i = 1; i < close; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(raw[i])))
            return line;
        pri = pri * 10 + (raw[i] - '0');
    }
    std::string_view rest = raw.substr(close + 1);
    if (rest.size() < TIMESTAMP_SIZE + 1 || rest[TIMESTAMP_SIZE] != ' ')
        return line;
    std::string_view stamp = rest.substr(0, TIMESTAMP_SIZE);
    rest.remove_prefix(TIMESTAMP_SIZE + 1);

    std::size_t colon = rest.find(": ");
    if (colon == std::string_view::npos || colon == 0)
        return line;
    std::string_view tag = rest.substr(0, colon);
    int pid = -1;
    if (tag.back() == ']') {
        std::size_t open = tag.rfind('[');
        if (open == std::string_view::npos || open + 2 > tag.size() - 1)
            return line;
        pid = 0;
        for (std::size_t i = open + 1; i + 1 < tag.size(); ++i) {
            if (!std::isdigit(static_cast<unsigned char>(tag[i])))
                return line;
            pid = pid * 10 + (tag[i] - '0');
        }
        tag = tag.substr(0, open);
    }

    line.parsed = true;
    line.priority = pri & 7;
    line.facility = pri & ~7;
    line.timestamp = std::string(stamp);
    line.ident = std::string(tag);
    line.pid = pid;
    // musl's syslog ends every record with a line break (where the text
    // has none); glibc's sends the text as it is. One trailing "\n" is
    // dropped, so a message reads the same from either library.
    std::string_view message = rest.substr(colon + 2);
    if (!message.empty() && message.back() == '\n')
        message.remove_suffix(1);
    line.message = std::string(message);
    return line;
}

const char *priority_name(int priority)
{
    static const char *const names[] = {"emerg", "alert", "crit", "err", "warning", "notice", "info", "debug"};
    if (priority < 0 || priority > 7)
        return "?";
    return names[priority];
}

syslog_sink::syslog_sink(const std::string &path) : path_(path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        std::fprintf(stderr, "syslog sink: path too long: %s\n", path.c_str());
        return;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    unlink(path.c_str());

    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) {
        std::perror("syslog sink: socket");
        return;
    }
    if (bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        std::perror("syslog sink: bind");
        close(fd_);
        fd_ = -1;
        return;
    }
    // Let a program in a user namespace (mapped to another id) connect too.
    chmod(path.c_str(), 0666);
}

syslog_sink::~syslog_sink()
{
    if (fd_ >= 0) {
        close(fd_);
        unlink(path_.c_str());
    }
}

void syslog_sink::drain()
{
    if (fd_ < 0)
        return;
    char buf[65536];
    // Bounded, in case a writer keeps sending while we read.
    for (int i = 0; i < 100000; ++i) {
        ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return; // EAGAIN: nothing more queued
        }
        lines_.push_back(parse_syslog_line(std::string_view(buf, static_cast<std::size_t>(n))));
    }
}
