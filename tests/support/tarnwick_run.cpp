// Runs a built program in a private per-run directory with the syslog sink
// and the server stub served while it runs; every wait bounded.

#include "tests/support/tarnwick_run.h"

#include "tests/support/private_paths.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/close_range.h>
#include <grp.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

using namespace std::chrono_literals;

// How long standard output and error may stay open after the child has
// exited (a descendant could hold them).
static constexpr auto PIPE_GRACE = 1000ms;

static int open_dir_tree(const char *path, const struct stat *, int type, FTW *)
{
    if (type == FTW_D || type == FTW_DNR)
        chmod(path, 0700); // overlay leaves a mode-0 work directory behind
    return 0;
}

static int remove_entry(const char *path, const struct stat *, int, FTW *)
{
    remove(path);
    return 0;
}

run_dir::~run_dir()
{
    if (keep || std::getenv("TARNWICK_KEEP_RUN_DIRS") || path.empty())
        return;
    nftw(path.c_str(), open_dir_tree, 16, FTW_PHYS);
    nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

static uid_t tree_uid;
static gid_t tree_gid;

static int chown_entry(const char *path, const struct stat *, int, FTW *)
{
    if (lchown(path, tree_uid, tree_gid) != 0)
        ADD_FAILURE() << "chown " << path << ": " << std::strerror(errno);
    return 0;
}

static void give_tree(const std::string &dir, uid_t uid, gid_t gid)
{
    tree_uid = uid;
    tree_gid = gid;
    nftw(dir.c_str(), chown_entry, 16, FTW_PHYS);
}

static std::string temp_base()
{
    // Overlay options forbid ',' and ':'; its layers must not lie under the
    // overlaid trees.
    const char *tmp = std::getenv("TMPDIR");
    std::string base = tmp && *tmp == '/' ? tmp : "/tmp";
    if (base.find_first_of(",:") != std::string::npos || base.starts_with("/etc") ||
        base.starts_with("/var") || base.starts_with("/dev"))
        base = "/tmp";
    return base;
}

static bool write_file(const std::string &path, const std::string &content)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
    f.close();
    if (!f)
        ADD_FAILURE() << "cannot write " << path;
    return static_cast<bool>(f);
}

static bool make_dir(const std::string &path)
{
    if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST)
        return true;
    ADD_FAILURE() << "mkdir " << path << ": " << std::strerror(errno);
    return false;
}

static bool lay_out(const run_options &opt, const std::string &dir)
{
    bool ok = make_dir(dir + "/etc") && make_dir(dir + "/etc/config") && make_dir(dir + "/var") &&
              make_dir(dir + "/dev");
    if (!ok)
        return false;
    std::string lorawan = dir + "/etc/config/lorawan";
    if (opt.config_is_directory)
        ok = make_dir(lorawan);
    else if (opt.config)
        ok = write_file(lorawan, *opt.config);
    if (opt.create_iot_dir) {
        ok = ok && make_dir(dir + "/var/iot");
        if (ok && opt.data)
            ok = write_file(dir + "/var/iot/data", *opt.data);
        if (ok && opt.dldata)
            ok = write_file(dir + "/var/iot/dldata", *opt.dldata);
    }
    return ok;
}

// Reads what is there now; false once the pipe is at its end.
static bool read_some(int fd, std::string &into)
{
    char buf[4096];
    for (int i = 0; i < 1024; ++i) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            into.append(buf, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return true;
        return false;
    }
    return true;
}

[[noreturn]] static void child_fail(int status_fd, int error)
{
    ssize_t ignored = write(status_fd, &error, sizeof error);
    (void)ignored;
    _exit(127);
}

[[noreturn]] static void run_child(const run_options &opt, const std::string &dir, pid_t parent, int out_fd,
                                   int err_fd, int status_fd)
{
    int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null_fd < 0 || dup2(null_fd, 0) < 0 || dup2(out_fd, 1) < 0 || dup2(err_fd, 2) < 0)
        child_fail(status_fd, errno);
    if (opt.as_user) {
        auto [uid, gid] = *opt.as_user;
        if (setgroups(0, nullptr) != 0 || setresgid(gid, gid, gid) != 0 || setresuid(uid, uid, uid) != 0)
            child_fail(status_fd, errno);
        // As a user who logged in: the change of user made the process
        // non-dumpable, which leaves /proc/self (the id maps) to root.
        prctl(PR_SET_DUMPABLE, 1);
    }
    // Never outlive the test, whatever happens to it (set after the change
    // of user, which clears it).
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(127);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (enter_private_paths(dir.c_str(), opt.private_net) != 0)
        child_fail(status_fd, errno ? errno : EPERM);

    std::vector<char *> argv;
    std::string argv0 = opt.argv0.value_or(opt.program);
    argv.push_back(argv0.data());
    std::vector<std::string> args = opt.args;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    // The program starts with standard input, output and error only, as it
    // would from the radio side: nothing the test runner holds leaks in.
    close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    execv(opt.program.c_str(), argv.data());
    int error = errno;
    dprintf(2, "exec %s: %s\n", opt.program.c_str(), std::strerror(error));
    child_fail(status_fd, error);
}

run_result run_program(const run_options &opt, server_stub *stub)
{
    run_result r;
    std::string templ = temp_base() + "/tarnwick-run-XXXXXX";
    if (!mkdtemp(templ.data())) {
        ADD_FAILURE() << "mkdtemp " << templ << ": " << std::strerror(errno);
        return r;
    }
    r.dir = templ;
    r.dir_owner = std::make_shared<run_dir>();
    r.dir_owner->path = r.dir;
    r.dir_owner->keep = opt.keep_dir;
    if (!lay_out(opt, r.dir))
        return r;
    syslog_sink sink(r.dir + "/dev/log");
    if (!sink.ok()) {
        ADD_FAILURE() << "syslog sink at " << r.dir << "/dev/log failed";
        return r;
    }
    if (opt.prepare)
        opt.prepare(r.dir);
    if (opt.as_user)
        give_tree(r.dir, opt.as_user->first, opt.as_user->second);
    if (stub)
        (void)stub->take_received(); // earlier runs' datagrams are not ours

    int out_pipe[2], err_pipe[2], status_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0 || pipe2(status_pipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return r;
    }
    pid_t parent = getpid();
    r.start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0)
        run_child(opt, r.dir, parent, out_pipe[1], err_pipe[1], status_pipe[1]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    close(status_pipe[1]);
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << std::strerror(errno);
        close(out_pipe[0]);
        close(err_pipe[0]);
        close(status_pipe[0]);
        return r;
    }
    r.pid = pid;
    fcntl(out_pipe[0], F_SETFL, O_NONBLOCK);
    fcntl(err_pipe[0], F_SETFL, O_NONBLOCK);
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));

    auto deadline = r.start + opt.deadline;
    std::optional<std::chrono::steady_clock::time_point> exited_at;
    bool out_open = true, err_open = true, reaped = false;
    int wstatus = 0;
    // Ends by the child's exit plus the pipes' end, by PIPE_GRACE after the
    // exit, or by the deadline: bounded in time.
    while (!reaped || out_open || err_open) {
        auto now = std::chrono::steady_clock::now();
        if (!reaped && now >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &wstatus, 0);
            reaped = true;
            r.timed_out = true;
            exited_at = std::chrono::steady_clock::now();
            break;
        }
        if (reaped && now >= *exited_at + PIPE_GRACE)
            break;

        std::vector<pollfd> fds;
        if (out_open)
            fds.push_back({out_pipe[0], POLLIN, 0});
        if (err_open)
            fds.push_back({err_pipe[0], POLLIN, 0});
        fds.push_back({sink.fd(), POLLIN, 0});
        if (stub && stub->ok())
            fds.push_back({stub->fd(), POLLIN, 0});
        if (!reaped && pidfd >= 0)
            fds.push_back({pidfd, POLLIN, 0});

        auto wake = reaped ? *exited_at + PIPE_GRACE : deadline;
        if (stub && !reaped)
            if (auto due = stub->next_due(); due && *due < wake)
                wake = *due;
        auto wait = std::chrono::ceil<std::chrono::milliseconds>(wake - now).count();
        if (pidfd < 0 && !reaped)
            wait = std::min<long long>(wait, 10); // no pidfd: look for the exit often
        poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(0, wait)));

        if (out_open)
            out_open = read_some(out_pipe[0], r.out);
        if (err_open)
            err_open = read_some(err_pipe[0], r.err);
        sink.drain();
        if (stub && !reaped)
            stub->service();
        if (!reaped && waitpid(pid, &wstatus, WNOHANG) == pid) {
            reaped = true;
            exited_at = std::chrono::steady_clock::now();
        }
    }
    if (!exited_at)
        exited_at = std::chrono::steady_clock::now();
    r.wall = *exited_at - r.start;
    if (pidfd >= 0)
        close(pidfd);
    read_some(out_pipe[0], r.out);
    read_some(err_pipe[0], r.err);
    close(out_pipe[0]);
    close(err_pipe[0]);

    int child_error = 0;
    r.started = read(status_pipe[0], &child_error, sizeof child_error) != sizeof child_error;
    close(status_pipe[0]);

    // The program's last datagrams and log lines were queued before it ended.
    sink.drain();
    r.log = sink.lines();
    if (stub) {
        stub->service();
        stub->cancel_pending();
        r.datagrams = stub->take_received();
    }

    if (WIFEXITED(wstatus)) {
        r.exited = !r.timed_out;
        r.exit_status = WEXITSTATUS(wstatus);
    } else if (WIFSIGNALED(wstatus)) {
        r.signal = WTERMSIG(wstatus);
    }
    if (!r.started)
        ADD_FAILURE() << "could not start " << opt.program << " in " << r.dir << ": " << std::strerror(child_error)
                      << "\n"
                      << r.err;
    if (r.timed_out && opt.deadline_is_failure)
        ADD_FAILURE() << opt.program << " still ran after " << opt.deadline.count() << " ms; killed (pid " << pid
                      << ")\nstdout:\n"
                      << r.out << "\nstderr:\n"
                      << r.err << "\nlog:\n"
                      << r.log_text();
    return r;
}

std::optional<std::string> run_result::read_file(const std::string &relative) const
{
    std::ifstream f(dir + "/" + relative, std::ios::binary);
    if (!f)
        return std::nullopt;
    std::ostringstream s;
    s << f.rdbuf();
    if (f.bad())
        return std::nullopt;
    return s.str();
}

bool run_result::file_exists(const std::string &relative) const
{
    struct stat st;
    return lstat((dir + "/" + relative).c_str(), &st) == 0;
}

std::string run_result::log_text() const
{
    std::string text;
    for (const syslog_line &l : log) {
        if (l.parsed)
            text += std::string(priority_name(l.priority)) + ": " + l.message;
        else
            text += "(unparsed) " + l.raw;
        if (text.empty() || text.back() != '\n')
            text += '\n';
    }
    return text;
}

static std::string uci_quote(const std::string &value)
{
    std::string out = "'";
    for (char c : value) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

std::string lorawan_config(int port, const config_overrides &overrides)
{
    struct option {
        const char *section;
        std::string name;
        std::optional<std::string> value;
    };
    std::vector<option> options = {
        {"general", "server", "127.0.0.1"},
        {"general", "port", std::to_string(port)},
        {"general", "mail", "gateway@example.net"},
        {"general", "gateway_id", "a840411d2c3b4e5f"},
        {"general", "lati", "52.1"},
        {"general", "long", "114.057865"},
        {"general", "pfwd_debug", "1"},
        {"radio", "SF", "7"},
        {"radio", "coderate", "5"},
        {"radio", "BW", "125"},
        {"radio", "rx_frequency", "868100000"},
    };
    for (const auto &ov : overrides) {
        const std::string &name = ov.first;
        const std::optional<std::string> &value = ov.second;
        auto it = std::find_if(options.begin(), options.end(), [&](const option &o) { return o.name == name; });
        if (it != options.end())
            it->value = value;
        else // at the end of section general
            options.insert(std::find_if(options.begin(), options.end(),
                                        [](const option &o) { return std::string(o.section) == "radio"; }),
                           {"general", name, value});
    }
    std::string text;
    for (const char *section : {"general", "radio"}) {
        text += std::string("config ") + section + " '" + section + "'\n";
        for (const option &o : options)
            if (o.value && std::string(o.section) == section)
                text += "\toption " + o.name + " " + uci_quote(*o.value) + "\n";
        if (std::string(section) == "general")
            text += "\n";
    }
    return text;
}

std::vector<std::string> log_lines(const run_result &r)
{
    std::vector<std::string> lines;
    for (const syslog_line &l : r.log) {
        EXPECT_TRUE(l.parsed) << l.raw;
        EXPECT_EQ(l.facility, LOG_USER) << l.raw;
        EXPECT_EQ(l.ident, "tarnwick") << l.raw;
        EXPECT_EQ(l.pid, r.pid) << l.raw;
        lines.push_back(std::string(priority_name(l.priority)) + ": " + l.message);
    }
    return lines;
}
