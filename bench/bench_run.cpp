// SPDX-License-Identifier: ISC
// bench_run: runs tarnwick builds and the floor program against a loopback
// server in private paths and prints, per program, the instructions of one
// run (callgrind, whole process), its peak resident memory and two
// latencies over many runs.
//
//   bench_run [--runs N] [--valgrind PATH] WORKDIR NAME=PROGRAM...
//
// Each program gets WORKDIR/NAME as its private /etc/config, /var/iot and
// /dev/log (see tests/support/private_paths.h), with the same configuration
// file, and they all talk to one server on 127.0.0.1 that answers at once:
// PUSH_ACK for a PUSH_DATA, PULL_ACK and then a PULL_RESP for a PULL_DATA.
//
// Output, one figure a line ("-" where a run failed):
//   NAME instructions JOB N           callgrind total, JOB = stat|uplink|usage
//   NAME callgrind JOB FILE           the callgrind output of that run
//   NAME peak_rss_kib JOB N           VmHWM of the program's own process image
//   NAME push_us MEDIAN P95 RUNS      exec -> PUSH_DATA at the server
//   NAME dldata_us MEDIAN P95 RUNS    PULL_RESP sent -> /var/iot/dldata in place
// Failures are reported on standard error; the exit status is 1 if any run
// failed.

#include "tests/support/private_paths.h"
#include "tests/support/syslog_sink.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct program {
    std::string name;
    std::string path;
    std::string dir; // WORKDIR/NAME, absolute
    int watch = -1;  // inotify watch on dir/var/iot
    std::unique_ptr<syslog_sink> sink;
};

enum class run_mode { plain, ptrace_rss, callgrind };

struct run_request {
    program *prog = nullptr;
    std::vector<std::string> args; // after argv[0]
    run_mode mode = run_mode::plain;
    std::string callgrind_out;
    bool end_after_dldata = false; // the pull's remaining seconds are not measured
};

struct run_result {
    bool ok = false;
    int status = -1;       // exit status, or 128 + signal
    double push_us = -1;   // exec -> first PUSH_DATA arrival
    double dldata_us = -1; // PULL_RESP sent -> dldata in place
    long peak_rss_kib = -1;
};

} // namespace

static constexpr const char *GATEWAY_ID = "a840411d2c3b4e5f";
static constexpr int WARM_UP_RUNS = 5;
static constexpr int RSS_RUNS = 9;
static constexpr int RUN_SECONDS = 20;        // any single run, plain or traced
static constexpr int CALLGRIND_SECONDS = 120; // a run under valgrind

// A 20-byte frame as the radio side leaves it in /var/iot/data. Only the
// first byte matters here: 0x41 asks for no downlink, 0x40 does.
static std::vector<std::uint8_t> frame(std::uint8_t first)
{
    std::vector<std::uint8_t> bytes(20);
    for (std::size_t i = 0; i < bytes.size(); i++)
        bytes[i] = static_cast<std::uint8_t>(i);
    bytes[0] = first;
    return bytes;
}
static const std::vector<std::uint8_t> UPLINK_NO_PULL = frame(0x41);
static const std::vector<std::uint8_t> UPLINK_PULL = frame(0x40);
// A downlink as a network server sends it: "downlink payload!", 17 bytes.
static constexpr const char *DOWNLINK_JSON =
    "{\"txpk\":{\"imme\":false,\"tmst\":1234567,\"freq\":869.525,\"rfch\":0,\"powe\":14,"
    "\"modu\":\"LORA\",\"datr\":\"SF9BW125\",\"codr\":\"4/5\",\"ipol\":true,\"size\":17,"
    "\"data\":\"ZG93bmxpbmsgcGF5bG9hZCE=\"}}";
static constexpr std::size_t DOWNLINK_SIZE = 17;

static int server_fd = -1;
static int inotify_fd = -1;
static int signal_fd = -1;
static std::timespec *exec_stamp = nullptr; // shared with the child: CLOCK_REALTIME before exec
static int failures = 0;

static void fail(const std::string &what)
{
    std::fprintf(stderr, "bench_run: %s\n", what.c_str());
    failures++;
}

static double now_us(clockid_t clock)
{
    std::timespec t{};
    clock_gettime(clock, &t);
    return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

static bool write_file(const std::string &path, const void *data, std::size_t len)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char *>(data), static_cast<std::streamsize>(len));
    return static_cast<bool>(out);
}

static bool make_dir(const std::string &path)
{
    return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

static std::string config_text(unsigned port)
{
    std::ostringstream s;
    s << "config lorawan 'general'\n"
         "\toption server '127.0.0.1'\n"
         "\toption port '"
      << port
      << "'\n"
         "\toption gateway_id '"
      << GATEWAY_ID
      << "'\n"
         "\toption mail 'ops@example.net'\n"
         "\toption lati '52.1'\n"
         "\toption long '114.057865'\n"
         "\toption pfwd_debug '0'\n"
         "\n"
         "config lorawan 'radio'\n"
         "\toption SF '7'\n"
         "\toption coderate '5'\n"
         "\toption BW '125'\n"
         "\toption rx_frequency '868100000'\n";
    return s.str();
}

static bool prepare_program(program &p, const std::string &work, unsigned port)
{
    p.dir = work + "/" + p.name;
    for (const char *sub : {"", "/etc", "/etc/config", "/var", "/var/iot", "/dev"})
        if (!make_dir(p.dir + sub)) {
            fail("mkdir " + p.dir + sub + ": " + std::strerror(errno));
            return false;
        }
    std::string config = config_text(port);
    if (!write_file(p.dir + "/etc/config/lorawan", config.data(), config.size()))
        return false;
    p.sink = std::make_unique<syslog_sink>(p.dir + "/dev/log");
    if (!p.sink->ok())
        return false;
    p.watch = inotify_add_watch(inotify_fd, (p.dir + "/var/iot").c_str(), IN_MOVED_TO | IN_CLOSE_WRITE);
    if (p.watch < 0) {
        fail("inotify " + p.dir + ": " + std::strerror(errno));
        return false;
    }
    return true;
}

static bool set_payload(program &p, const std::vector<std::uint8_t> &payload)
{
    return write_file(p.dir + "/var/iot/data", payload.data(), payload.size());
}

static void drain_server()
{
    std::uint8_t buf[4096];
    while (recv(server_fd, buf, sizeof buf, MSG_DONTWAIT) >= 0) {
    }
}

static void drain_inotify()
{
    alignas(inotify_event) char buf[4096];
    while (read(inotify_fd, buf, sizeof buf) > 0) {
    }
}

// The child: private paths, then exec, with the moment of exec noted.
[[noreturn]] static void run_child(const run_request &req, const std::string &valgrind)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    sigset_t all;
    sigemptyset(&all);
    sigprocmask(SIG_SETMASK, &all, nullptr);
    int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, 0);
    dup2(null_fd, 1);
    if (enter_private_paths(req.prog->dir.c_str(), false) != 0)
        _exit(125);

    std::vector<std::string> words;
    if (req.mode == run_mode::callgrind) {
        words = {valgrind, "-q", "--tool=callgrind", "--callgrind-out-file=" + req.callgrind_out};
    }
    words.push_back(req.prog->path);
    words.insert(words.end(), req.args.begin(), req.args.end());
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);

    if (req.mode == run_mode::ptrace_rss && ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0)
        _exit(126);
    clock_gettime(CLOCK_REALTIME, exec_stamp);
    execv(argv[0], argv.data());
    _exit(127);
}

// The arrival time (CLOCK_REALTIME, from the kernel) of one datagram.
static double arrival_us(msghdr &msg)
{
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            std::timespec t{};
            std::memcpy(&t, CMSG_DATA(c), sizeof t);
            return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
        }
    return now_us(CLOCK_REALTIME);
}

static void reply_to(const sockaddr_in &to, const std::uint8_t *data, std::size_t len)
{
    if (sendto(server_fd, data, len, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to) < 0)
        fail(std::string("server sendto: ") + std::strerror(errno));
}

// Answers what the program sent; notes the first PUSH_DATA's arrival and
// when the PULL_RESP went out (CLOCK_MONOTONIC).
static void serve(run_result &r, double &pull_resp_sent)
{
    for (int i = 0; i < 64; i++) {
        std::uint8_t buf[4096];
        sockaddr_in from{};
        alignas(cmsghdr) char control[256];
        iovec iov{buf, sizeof buf};
        msghdr msg{};
        msg.msg_name = &from;
        msg.msg_namelen = sizeof from;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        ssize_t n = recvmsg(server_fd, &msg, MSG_DONTWAIT);
        if (n < 0)
            return;
        if (n < 4 || buf[0] != 1)
            continue;
        if (buf[3] == 0) { // PUSH_DATA
            if (r.push_us < 0)
                r.push_us = arrival_us(msg) - (exec_stamp->tv_sec * 1e6 + exec_stamp->tv_nsec / 1e3);
            std::uint8_t ack[4] = {1, buf[1], buf[2], 1};
            reply_to(from, ack, sizeof ack);
        } else if (buf[3] == 2) { // PULL_DATA
            std::uint8_t ack[4] = {1, buf[1], buf[2], 4};
            reply_to(from, ack, sizeof ack);
            std::string resp("\x01\x00\x00\x03", 4);
            resp += DOWNLINK_JSON;
            pull_resp_sent = now_us(CLOCK_MONOTONIC);
            reply_to(from, reinterpret_cast<const std::uint8_t *>(resp.data()), resp.size());
        }
    }
}

static long read_vm_hwm_kib(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

// Handles every state change of the child; true once it has ended.
static bool reap(pid_t pid, run_result &r)
{
    signalfd_siginfo info;
    while (read(signal_fd, &info, sizeof info) > 0) {
    }
    for (;;) {
        int status = 0;
        pid_t got = waitpid(pid, &status, WNOHANG | __WALL);
        if (got <= 0)
            return false;
        if (WIFEXITED(status)) {
            r.status = WEXITSTATUS(status);
            return true;
        }
        if (WIFSIGNALED(status)) {
            r.status = 128 + WTERMSIG(status);
            return true;
        }
        if (!WIFSTOPPED(status))
            continue;
        int sig = WSTOPSIG(status);
        int event = status >> 16;
        if (event == PTRACE_EVENT_EXIT) {
            r.peak_rss_kib = read_vm_hwm_kib(pid);
            sig = 0;
        } else if (sig == SIGTRAP) {
            // The stop right after exec: from here on, stop once more at exit.
            ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL);
            sig = 0;
        }
        ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void *>(static_cast<long>(sig)));
    }
}

static bool dldata_in_place(const program &p)
{
    alignas(inotify_event) char buf[4096];
    bool seen = false;
    ssize_t n;
    while ((n = read(inotify_fd, buf, sizeof buf)) > 0) {
        for (char *at = buf; at < buf + n;) {
            auto *e = reinterpret_cast<inotify_event *>(at);
            if (e->wd == p.watch && e->len > 0 && std::strcmp(e->name, "dldata") == 0)
                seen = true;
            at += sizeof(inotify_event) + e->len;
        }
    }
    return seen;
}

static run_result run_once(const run_request &req, const std::string &valgrind)
{
    run_result r;
    program &p = *req.prog;
    drain_server();
    drain_inotify();
    p.sink->drain();
    std::size_t lines_before = p.sink->lines().size();
    *exec_stamp = {};

    pid_t pid = fork();
    if (pid < 0) {
        fail(std::string("fork: ") + std::strerror(errno));
        return r;
    }
    if (pid == 0)
        run_child(req, valgrind);

    double pull_resp_sent = -1;
    int seconds = req.mode == run_mode::callgrind ? CALLGRIND_SECONDS : RUN_SECONDS;
    double deadline = now_us(CLOCK_MONOTONIC) + seconds * 1e6;
    bool ended = false;
    bool killed = false;
    // Bounded by the deadline: the child is killed when it passes.
    while (!ended) {
        double left_ms = (deadline - now_us(CLOCK_MONOTONIC)) / 1000;
        if (left_ms <= 0) {
            fail(p.name + " still ran after " + std::to_string(seconds) + " s; killed");
            kill(pid, SIGKILL);
            killed = true;
            deadline += 5e6;
        }
        pollfd fds[4] = {
            {server_fd, POLLIN, 0}, {inotify_fd, POLLIN, 0}, {p.sink->fd(), POLLIN, 0}, {signal_fd, POLLIN, 0}};
        poll(fds, 4, static_cast<int>(std::clamp(left_ms, 1.0, 1000.0)));
        if (fds[0].revents)
            serve(r, pull_resp_sent);
        if (fds[1].revents && dldata_in_place(p) && pull_resp_sent >= 0 && r.dldata_us < 0) {
            r.dldata_us = now_us(CLOCK_MONOTONIC) - pull_resp_sent;
            if (req.end_after_dldata)
                kill(pid, SIGKILL);
        }
        if (fds[2].revents)
            p.sink->drain();
        if (fds[3].revents)
            ended = reap(pid, r);
    }
    serve(r, pull_resp_sent);
    p.sink->drain();
    if (p.sink->lines().size() == lines_before && r.status == 0) {
        // Every run writes its listening line; without it the run did not
        // do the work being measured (or its log went astray).
        fail(p.name + ": no line reached the system log");
        r.status = -1;
    }
    if (pull_resp_sent >= 0 && r.dldata_us < 0 && dldata_in_place(p))
        r.dldata_us = now_us(CLOCK_MONOTONIC) - pull_resp_sent;
    bool killed_on_purpose = req.end_after_dldata && r.dldata_us >= 0 && r.status == 128 + SIGKILL;
    r.ok = !killed && (r.status == 0 || killed_on_purpose);
    if (!r.ok && !killed)
        fail(p.name + " exited with status " + std::to_string(r.status));
    return r;
}

static void print_value(const program &p, const char *what, const char *job, long long value)
{
    if (value < 0)
        std::printf("%s %s %s -\n", p.name.c_str(), what, job);
    else
        std::printf("%s %s %s %lld\n", p.name.c_str(), what, job, value);
}

static long long callgrind_total(const std::string &file)
{
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("summary:", 0) == 0 || line.rfind("totals:", 0) == 0)
            return std::strtoll(line.c_str() + line.find(':') + 1, nullptr, 10);
    return -1;
}

static void print_latency(const program &p, const char *what, std::vector<double> v, int runs)
{
    if (v.size() != static_cast<std::size_t>(runs)) {
        std::printf("%s %s - - %zu\n", p.name.c_str(), what, v.size());
        return;
    }
    std::sort(v.begin(), v.end());
    std::size_t n = v.size();
    double median = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    // The nearest-rank 95th percentile.
    std::size_t rank = (95 * n + 99) / 100;
    double p95 = v[rank - 1];
    std::printf("%s %s %.0f %.0f %zu\n", p.name.c_str(), what, median, p95, n);
}

struct job {
    const char *name;
    std::vector<std::string> args;
    const std::vector<std::uint8_t> *payload;
};

static int usage()
{
    std::fprintf(stderr, "usage: bench_run [--runs N] [--valgrind PATH] WORKDIR NAME=PROGRAM...\n");
    return 2;
}

int main(int argc, char **argv)
{
    int runs = 200;
    std::string valgrind;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; i++) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
            runs = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--valgrind") == 0 && i + 1 < argc)
            valgrind = argv[++i];
        else
            return usage();
    }
    if (i + 2 > argc || runs < 1 || runs > 10000)
        return usage();
    char work[PATH_MAX];
    if (!make_dir(argv[i]) || !realpath(argv[i], work)) {
        std::fprintf(stderr, "bench_run: %s: %s\n", argv[i], std::strerror(errno));
        return 2;
    }
    std::vector<program> programs;
    for (i++; i < argc; i++) {
        const char *eq = std::strchr(argv[i], '=');
        char path[PATH_MAX];
        if (!eq || !realpath(eq + 1, path)) {
            std::fprintf(stderr, "bench_run: not NAME=PROGRAM: %s\n", argv[i]);
            return 2;
        }
        program p;
        p.name = std::string(argv[i], static_cast<std::size_t>(eq - argv[i]));
        p.path = path;
        programs.push_back(std::move(p));
    }

    void *page = mmap(nullptr, sizeof(std::timespec), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) {
        std::perror("bench_run: mmap");
        return 2;
    }
    exec_stamp = static_cast<std::timespec *>(page);

    // Real-time priority, where allowed, so that the driver notes an event
    // the moment it happens instead of waiting for the program to yield the
    // CPU (a program that exits right after writing dldata would otherwise
    // be charged for its own exit). The programs run at normal priority.
    sched_param priority{};
    priority.sched_priority = 10;
    if (sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &priority) != 0)
        std::fprintf(stderr, "bench_run: no real-time priority (%s); latencies are coarser\n", std::strerror(errno));

    sigset_t chld;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, nullptr);
    signal_fd = signalfd(-1, &chld, SFD_NONBLOCK | SFD_CLOEXEC);
    inotify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    server_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t addr_len = sizeof addr;
    int on = 1;
    if (signal_fd < 0 || inotify_fd < 0 || server_fd < 0 ||
        setsockopt(server_fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0 ||
        bind(server_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        getsockname(server_fd, reinterpret_cast<sockaddr *>(&addr), &addr_len) != 0) {
        std::perror("bench_run: set-up");
        return 2;
    }
    for (program &p : programs)
        if (!prepare_program(p, work, ntohs(addr.sin_port)))
            return 2;

    const job jobs[] = {
        {"stat", {"stat"}, &UPLINK_NO_PULL},
        {"uplink", {"rxpk", "-57", std::to_string(UPLINK_NO_PULL.size())}, &UPLINK_NO_PULL},
        {"usage", {"rxpk"}, &UPLINK_NO_PULL},
    };
    const job pull_job = {"pull", {"rxpk", "-57", std::to_string(UPLINK_PULL.size())}, &UPLINK_PULL};

    // Instructions of one run, and where they go.
    if (!valgrind.empty()) {
        for (program &p : programs)
            for (const job &j : jobs) {
                if (!set_payload(p, *j.payload))
                    return 2;
                run_request req{&p, j.args, run_mode::callgrind, p.dir + "/callgrind." + j.name, false};
                run_result r = run_once(req, valgrind);
                print_value(p, "instructions", j.name, r.ok ? callgrind_total(req.callgrind_out) : -1);
                std::printf("%s callgrind %s %s\n", p.name.c_str(), j.name, req.callgrind_out.c_str());
            }
    }

    // Peak resident memory of the program's own image: the median of a few
    // traced runs, each read at the exit stop.
    for (program &p : programs)
        for (const job &j : jobs) {
            if (!set_payload(p, *j.payload))
                return 2;
            std::vector<long> peaks;
            for (int k = 0; k < RSS_RUNS; k++) {
                run_result r = run_once({&p, j.args, run_mode::ptrace_rss, "", false}, valgrind);
                if (r.ok && r.peak_rss_kib > 0)
                    peaks.push_back(r.peak_rss_kib);
            }
            std::sort(peaks.begin(), peaks.end());
            print_value(p, "peak_rss_kib", j.name, peaks.size() == RSS_RUNS ? peaks[RSS_RUNS / 2] : -1);
        }

    // Latencies: the programs take turns, run by run, so that a slow moment
    // of the machine falls on all of them alike.
    for (const job *j : {&jobs[1], &pull_job}) {
        bool pull = j == &pull_job;
        for (program &p : programs)
            if (!set_payload(p, *j->payload))
                return 2;
        std::vector<std::vector<double>> times(programs.size());
        for (int k = -WARM_UP_RUNS; k < runs; k++)
            for (std::size_t n = 0; n < programs.size(); n++) {
                std::remove((programs[n].dir + "/var/iot/dldata").c_str());
                run_result r = run_once({&programs[n], j->args, run_mode::plain, "", pull}, valgrind);
                double t = pull ? r.dldata_us : r.push_us;
                if (!r.ok || t < 0) {
                    if (r.ok)
                        fail(programs[n].name + (pull ? ": no dldata" : ": no PUSH_DATA"));
                    continue;
                }
                if (pull) {
                    std::ifstream in(programs[n].dir + "/var/iot/dldata", std::ios::binary | std::ios::ate);
                    if (static_cast<std::size_t>(in.tellg()) != DOWNLINK_SIZE) {
                        fail(programs[n].name + ": dldata does not hold the downlink");
                        continue;
                    }
                }
                if (k >= 0)
                    times[n].push_back(t);
            }
        for (std::size_t n = 0; n < programs.size(); n++)
            print_latency(programs[n], pull ? "dldata_us" : "push_us", times[n], runs);
    }
    return failures ? 1 : 0;
}
