// SPDX-License-Identifier: ISC
// rig_probe: a small program that does, in order, what its arguments ask, so
// that the rig's own tests can look at the world a run sees. Commands:
//   cat PATH             print the file, or "cat PATH: <error>"
//   exists PATH          print "PATH yes" or "PATH no"
//   write PATH TEXT      write TEXT to PATH through PATH.tmp and rename
//   log PRIORITY TEXT    syslog(PRIORITY, "%s", TEXT) as "rig_probe", LOG_PID|LOG_CONS, LOG_USER
//   udp PORT HEX MS      send the bytes to 127.0.0.1:PORT, then print every
//                        reply within MS ms as "reply +<ms> <hex>"
//   loopback             send a datagram to itself on 127.0.0.1, print "loopback ok"
//   devnull              write to /dev/null, print "devnull ok"
//   argv0                print "argv0 <argv[0]>"
//   uid                  print "uid <n>"
//   stderr TEXT          print TEXT on standard error
//   sleep MS
//   exit STATUS

#include "tests/support/server_stub.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

static void cat(const char *path)
{
    int fd = open(path, O_RDONLY);
    std::string text;
    char buf[4096];
    ssize_t n = 0;
    for (int i = 0; fd >= 0 && i < 4096 && (n = read(fd, buf, sizeof buf)) > 0; ++i)
        text.append(buf, static_cast<std::size_t>(n));
    int error = fd < 0 || n < 0 ? errno : 0;
    if (fd >= 0)
        close(fd);
    if (error)
        std::printf("cat %s: %s\n", path, std::strerror(error));
    else
        std::fputs(text.c_str(), stdout);
}

static void write_atomically(const std::string &path, const char *text)
{
    std::string tmp = path + ".tmp";
    FILE *f = std::fopen(tmp.c_str(), "w");
    if (!f || std::fputs(text, f) < 0 || std::fclose(f) != 0 || std::rename(tmp.c_str(), path.c_str()) != 0)
        std::printf("write %s: %s\n", path.c_str(), std::strerror(errno));
}

static void udp_exchange(int port, const char *hex, int wait_ms)
{
    std::optional<wire_bytes> data = from_hex(hex);
    // Times count from before the send, so that no reply can seem early.
    auto start = std::chrono::steady_clock::now();
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!data || fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        send(fd, data->data(), data->size(), 0) < 0) {
        std::printf("udp: %s\n", data ? std::strerror(errno) : "bad hex");
        if (fd >= 0)
            close(fd);
        return;
    }
    auto until = start + std::chrono::milliseconds(wait_ms);
    for (int i = 0; i < 1000; ++i) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0)
            continue;
        std::uint8_t buf[4096];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0) {
            std::printf("udp recv: %s\n", std::strerror(errno));
            break;
        }
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        std::printf("reply +%lld %s\n", static_cast<long long>(ms.count()), to_hex(wire_bytes(buf, buf + n)).c_str());
    }
    close(fd);
}

static void loopback()
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    char buf[8] = {};
    pollfd p{fd, POLLIN, 0};
    bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
              getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0 &&
              sendto(fd, "ping", 4, 0, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 4 &&
              poll(&p, 1, 1000) == 1 && recv(fd, buf, sizeof buf, 0) == 4;
    if (ok)
        std::printf("loopback ok\n");
    else
        std::printf("loopback: %s\n", std::strerror(errno));
    if (fd >= 0)
        close(fd);
}

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    bool log_open = false;
    for (int i = 1; i < argc; ++i) {
        std::string cmd = argv[i];
        auto arg = [&](int k) -> const char * { return i + k < argc ? argv[i + k] : ""; };
        if (cmd == "cat") {
            cat(arg(1));
            i += 1;
        } else if (cmd == "exists") {
            struct stat st;
            std::printf("%s %s\n", arg(1), lstat(arg(1), &st) == 0 ? "yes" : "no");
            i += 1;
        } else if (cmd == "write") {
            write_atomically(arg(1), arg(2));
            i += 2;
        } else if (cmd == "log") {
            if (!log_open)
                openlog("rig_probe", LOG_PID | LOG_CONS, LOG_USER);
            log_open = true;
            syslog(std::atoi(arg(1)), "%s", arg(2));
            i += 2;
        } else if (cmd == "udp") {
            udp_exchange(std::atoi(arg(1)), arg(2), std::atoi(arg(3)));
            i += 3;
        } else if (cmd == "loopback") {
            loopback();
        } else if (cmd == "devnull") {
            int fd = open("/dev/null", O_WRONLY);
            bool ok = fd >= 0 && write(fd, "x", 1) == 1;
            if (ok)
                std::printf("devnull ok\n");
            else
                std::printf("devnull: %s\n", std::strerror(errno));
            if (fd >= 0)
                close(fd);
        } else if (cmd == "argv0") {
            std::printf("argv0 %s\n", argv[0]);
        } else if (cmd == "uid") {
            std::printf("uid %u\n", static_cast<unsigned>(getuid()));
        } else if (cmd == "stderr") {
            std::fprintf(stderr, "%s\n", arg(1));
            i += 1;
        } else if (cmd == "sleep") {
            int ms = std::atoi(arg(1));
            timespec t{ms / 1000, (ms % 1000) * 1000000L};
            nanosleep(&t, nullptr);
            i += 1;
        } else if (cmd == "exit") {
            return std::atoi(arg(1));
        } else {
            std::fprintf(stderr, "rig_probe: unknown command %s\n", argv[i]);
            return 2;
        }
    }
    if (log_open)
        closelog();
    return 0;
}
