// SPDX-License-Identifier: ISC
// Runs a built program in a private per-run directory with the syslog sink
// and the server stub served while it runs; every wait bounded.

#include "tests/support/tarnwick_run.h"

#include "tests/support/gateway_values.h"
#include "tests/support/private_paths.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <linux/close_range.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

using namespace std::chrono_literals;

// How long standard output and error may stay open after the child has
// exited (a descendant could hold them).
static constexpr auto PIPE_GRACE = 1000ms;
// The file that takes up the room of a small /var/iot (iot_free_bytes).
static constexpr const char *SMALL_IOT_FILLER = ".fill";

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
    for (const std::string &m : mounts)
        umount2(m.c_str(), MNT_DETACH);
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
    if (base.find_first_of(",:") != std::string::npos || base.starts_with("/etc") || base.starts_with("/var") ||
        base.starts_with("/dev"))
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
    bool ok =
        make_dir(dir + "/etc") && make_dir(dir + "/etc/config") && make_dir(dir + "/var") && make_dir(dir + "/dev");
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

namespace {

// What a child executes: the file, its argv, and where the program must
// appear inside the private namespace (empty: nowhere else).
struct launch_plan {
    std::string file;
    bool search_path = false; // the launcher is found through PATH
    std::vector<std::string> argv;
    std::string place_at;
    std::chrono::milliseconds deadline{0}; // stretched by time_scale() under a launcher
};

// One started program and the state of its pipes.
struct child_run {
    const run_options *opt = nullptr;
    std::string program; // the file run: opt->program, or its copy for a run as another user
    launch_plan plan;
    run_result r;
    int out_fd = -1, err_fd = -1, status_fd = -1, pidfd = -1;
    bool out_open = true, err_open = true, reaped = false;
    bool killed = false; // by kill_after
    int wstatus = 0;
    std::optional<std::chrono::steady_clock::time_point> exited_at;
    std::chrono::steady_clock::time_point deadline;
};

} // namespace

double time_scale()
{
    const char *env = std::getenv("TARNWICK_TEST_TIME_SCALE");
    double scale = env ? std::atof(env) : 1.0;
    return scale >= 1.0 ? scale : 1.0;
}

std::vector<std::string> launcher_words()
{
    std::vector<std::string> words;
    const char *env = std::getenv("TARNWICK_TEST_WRAPPER");
    std::istringstream in(env ? env : "");
    std::string w;
    while (in >> w)
        words.push_back(w);
    return words;
}

bool is_built_program(const std::string &path)
{
    return path == TARNWICK_PROGRAM || path == UDPSINK_PROGRAM;
}

// `program` is the file to run: opt.program or its copy.
static bool plan_launch(const run_options &opt, const std::string &program, launch_plan &plan)
{
    std::string argv0 = opt.argv0.value_or(program);
    bool built = is_built_program(opt.program);
    std::vector<std::string> wrapper = opt.allow_wrapper && built ? launcher_words() : std::vector<std::string>{};
    plan = {};
    plan.deadline = wrapper.empty() ? opt.deadline : scaled(opt.deadline);
    if (wrapper.empty()) {
        plan.file = program;
        plan.argv.push_back(argv0);
    } else {
        bool sets_argv0 = std::find(wrapper.begin(), wrapper.end(), "{argv0}") != wrapper.end();
        std::string target = program;
        if (!sets_argv0 && argv0 != program) {
            // The launcher passes on the path it starts: make that path the
            // argv[0] asked for.
            if (argv0.empty() || argv0[0] != '/') {
                ADD_FAILURE() << "TARNWICK_TEST_WRAPPER has no {argv0} and cannot give the program the "
                                 "relative argv[0] '"
                              << argv0 << "'";
                return false;
            }
            plan.place_at = argv0;
            target = argv0;
        }
        plan.file = wrapper[0];
        plan.search_path = true;
        for (std::string &w : wrapper)
            plan.argv.push_back(w == "{argv0}" ? argv0 : w);
        plan.argv.push_back(target);
    }
    for (const std::string &a : opt.args)
        plan.argv.push_back(a);
    return true;
}

[[noreturn]] static void run_child(const child_run &c, const std::string &dir, pid_t parent, int out_fd, int err_fd,
                                   int status_fd)
{
    const run_options &opt = *c.opt;
    const launch_plan &plan = c.plan;
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
    private_paths_options paths;
    paths.private_net = opt.private_net;
    paths.iot_read_only = opt.iot_read_only;
    if (!plan.place_at.empty()) {
        paths.program = c.program.c_str();
        paths.program_at = plan.place_at.c_str();
    }
    if (enter_private_paths(dir.c_str(), paths) != 0)
        child_fail(status_fd, errno ? errno : EPERM);

    std::vector<std::string> args = plan.argv;
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    // The program starts with standard input, output and error only, as it
    // would from the radio side: nothing the test runner holds leaks in.
    close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    for (int fd : opt.closed_descriptors)
        if (fd >= 0 && fd <= 2)
            close(fd);
    if (plan.search_path)
        execvp(plan.file.c_str(), argv.data());
    else
        execv(plan.file.c_str(), argv.data());
    int error = errno;
    dprintf(2, "exec %s: %s\n", plan.file.c_str(), std::strerror(error));
    child_fail(status_fd, error);
}

static bool start_child(child_run &c, const std::string &dir)
{
    if (!plan_launch(*c.opt, c.program, c.plan))
        return false;
    c.r.argv0 = c.opt->argv0.value_or(c.program);
    int out_pipe[2], err_pipe[2], status_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0 || pipe2(status_pipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return false;
    }
    pid_t parent = getpid();
    c.r.start = std::chrono::steady_clock::now();
    c.deadline = c.r.start + c.plan.deadline;
    pid_t pid = fork();
    if (pid == 0)
        run_child(c, dir, parent, out_pipe[1], err_pipe[1], status_pipe[1]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    close(status_pipe[1]);
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << std::strerror(errno);
        close(out_pipe[0]);
        close(err_pipe[0]);
        close(status_pipe[0]);
        return false;
    }
    c.r.pid = pid;
    c.out_fd = out_pipe[0];
    c.err_fd = err_pipe[0];
    c.status_fd = status_pipe[0];
    fcntl(c.out_fd, F_SETFL, O_NONBLOCK);
    fcntl(c.err_fd, F_SETFL, O_NONBLOCK);
    if (c.opt->stdout_reader == output_reader::gone) {
        close(c.out_fd);
        c.out_fd = -1;
        c.out_open = false;
    }
    c.pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    return true;
}

static void note_exit(child_run &c, const rusage &ru)
{
    c.reaped = true;
    c.exited_at = std::chrono::steady_clock::now();
    auto seconds = [](const timeval &t) { return std::chrono::duration<double>(t.tv_sec + t.tv_usec / 1e6); };
    c.r.cpu = seconds(ru.ru_utime) + seconds(ru.ru_stime);
}

// The reports sanitizers and memcheck write on standard error.
static void check_for_reports(const run_result &r)
{
    static const std::regex report(
        R"(ERROR: (AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer)|runtime error: |ERROR SUMMARY: [1-9])");
    if (std::regex_search(r.err, report))
        ADD_FAILURE() << "pid " << r.pid << " reported a memory or undefined-behaviour error:\n" << r.err;
}

// Serves the children, the syslog sink and the stub until every child has
// ended and its pipes are at their end (or PIPE_GRACE after its exit), each
// child killed at its own deadline: bounded in time.
static void serve_children(std::vector<child_run> &kids, const std::string &dir, syslog_sink &sink, server_stub *stub,
                           const std::function<void(const std::string &)> &watch, std::chrono::microseconds watch_every)
{
    auto done = [](const child_run &c) { return c.reaped && !c.out_open && !c.err_open; };
    // Standard output read now: not while the program runs when its reader
    // comes only after the exit.
    auto reading_out = [](const child_run &c) {
        return c.out_open && (c.reaped || c.opt->stdout_reader != output_reader::after_exit);
    };
    auto next_watch = std::chrono::steady_clock::now();
    for (;;) {
        auto now = std::chrono::steady_clock::now();
        bool any_running = false, all_done = true;
        for (child_run &c : kids) {
            if (c.r.pid < 0 || done(c))
                continue;
            if (!c.reaped && !c.killed && c.opt->kill_after && now >= c.r.start + *c.opt->kill_after) {
                kill(c.r.pid, SIGKILL);
                c.killed = true;
            }
            if (!c.reaped && now >= c.deadline) {
                kill(c.r.pid, SIGKILL);
                rusage ru{};
                wait4(c.r.pid, &c.wstatus, 0, &ru);
                note_exit(c, ru);
                c.r.timed_out = true;
                c.out_open = c.err_open = false; // what is left is read below
                continue;
            }
            if (c.reaped && now >= *c.exited_at + PIPE_GRACE) {
                c.out_open = c.err_open = false;
                continue;
            }
            all_done = false;
            any_running = any_running || !c.reaped;
        }
        if (all_done)
            break;

        std::vector<pollfd> fds;
        auto wake = now + std::chrono::hours(1);
        bool no_pidfd = false;
        for (child_run &c : kids) {
            if (c.r.pid < 0 || done(c))
                continue;
            if (reading_out(c))
                fds.push_back({c.out_fd, POLLIN, 0});
            if (c.err_open)
                fds.push_back({c.err_fd, POLLIN, 0});
            if (!c.reaped && c.pidfd >= 0)
                fds.push_back({c.pidfd, POLLIN, 0});
            no_pidfd = no_pidfd || (!c.reaped && c.pidfd < 0);
            wake = std::min(wake, c.reaped ? *c.exited_at + PIPE_GRACE : c.deadline);
            if (!c.reaped && !c.killed && c.opt->kill_after)
                wake = std::min(wake, c.r.start + *c.opt->kill_after);
        }
        fds.push_back({sink.fd(), POLLIN, 0});
        if (stub && stub->ok())
            fds.push_back({stub->fd(), POLLIN, 0});
        if (stub && any_running)
            if (auto due = stub->next_due(); due && *due < wake)
                wake = *due;
        if (watch && any_running)
            wake = std::min(wake, next_watch);
        auto wait = std::chrono::ceil<std::chrono::milliseconds>(wake - now).count();
        if (no_pidfd)
            wait = std::min<long long>(wait, 10); // no pidfd: look for the exit often
        poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(0, wait)));

        for (child_run &c : kids) {
            if (c.r.pid < 0 || done(c))
                continue;
            if (reading_out(c))
                c.out_open = read_some(c.out_fd, c.r.out);
            if (c.err_open)
                c.err_open = read_some(c.err_fd, c.r.err);
        }
        sink.drain();
        if (stub && any_running)
            stub->service();
        for (child_run &c : kids) {
            if (c.r.pid < 0 || c.reaped)
                continue;
            rusage ru{};
            if (wait4(c.r.pid, &c.wstatus, WNOHANG, &ru) == c.r.pid)
                note_exit(c, ru);
        }
        if (watch && any_running && std::chrono::steady_clock::now() >= next_watch) {
            watch(dir);
            next_watch = std::chrono::steady_clock::now() + watch_every;
        }
    }
}

// Collects what is left of a child's output and its status, and reports a
// failed start or a passed deadline.
static void finish_child(child_run &c)
{
    run_result &r = c.r;
    if (r.pid < 0)
        return;
    if (!c.exited_at)
        c.exited_at = std::chrono::steady_clock::now();
    r.wall = *c.exited_at - r.start;
    if (c.pidfd >= 0)
        close(c.pidfd);
    if (c.out_fd >= 0) {
        read_some(c.out_fd, r.out);
        close(c.out_fd);
    }
    read_some(c.err_fd, r.err);
    close(c.err_fd);
    int child_error = 0;
    r.started = read(c.status_fd, &child_error, sizeof child_error) != sizeof child_error;
    close(c.status_fd);

    if (WIFEXITED(c.wstatus)) {
        r.exited = !r.timed_out;
        r.exit_status = WEXITSTATUS(c.wstatus);
    } else if (WIFSIGNALED(c.wstatus)) {
        r.signal = WTERMSIG(c.wstatus);
    }
    const run_options &opt = *c.opt;
    if (!r.started)
        ADD_FAILURE() << "could not start " << opt.program << " in " << r.dir << ": " << std::strerror(child_error)
                      << "\n"
                      << r.err;
    if (r.timed_out && opt.deadline_is_failure)
        ADD_FAILURE() << opt.program << " still ran after " << c.plan.deadline.count() << " ms; killed (pid " << r.pid
                      << ")\nstdout:\n"
                      << r.out << "\nstderr:\n"
                      << r.err << "\nlog:\n"
                      << r.log_text();
    check_for_reports(r);
}

// The test process's own mount namespace, entered once: the small /var/iot
// file systems are mounted there, seen by the runs (forked from it) and by
// the test, never by the host.
static bool own_mount_namespace()
{
    static bool entered = false;
    if (entered)
        return true;
    if (geteuid() != 0) {
        ADD_FAILURE() << "a small /var/iot needs root";
        return false;
    }
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        ADD_FAILURE() << "own mount namespace: " << std::strerror(errno);
        return false;
    }
    entered = true;
    return true;
}

static bool copy_file(const std::string &from, const std::string &to)
{
    std::ifstream in(from, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return in && write_file(to, content.str());
}

// Puts a tmpfs on DIR/var/iot holding the files laid out there, then fills
// it up to `free_bytes` (whole pages) with DIR/var/iot/.fill (SMALL_IOT_FILLER).
static bool make_small_iot(const std::string &dir, std::size_t free_bytes, run_dir &owner)
{
    static constexpr std::size_t PAGE = 4096;
    static constexpr std::size_t IOT_BYTES = 64 * 1024;
    if (!own_mount_namespace())
        return false;
    std::string iot = dir + "/var/iot";
    std::string aside = dir + "/.iot-laid";
    if (rename(iot.c_str(), aside.c_str()) != 0 || !make_dir(iot)) {
        ADD_FAILURE() << "move " << iot << " aside: " << std::strerror(errno);
        return false;
    }
    std::string size = "size=" + std::to_string(IOT_BYTES) + ",mode=0755";
    if (mount("tmpfs", iot.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, size.c_str()) != 0) {
        ADD_FAILURE() << "tmpfs on " << iot << ": " << std::strerror(errno);
        return false;
    }
    owner.mounts.push_back(iot);

    bool ok = true;
    if (DIR *d = opendir(aside.c_str())) {
        while (const dirent *e = readdir(d)) {
            std::string name = e->d_name;
            if (name == "." || name == "..")
                continue;
            struct stat st;
            std::string from = aside + "/" + name;
            if (lstat(from.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
                ADD_FAILURE() << "a small /var/iot takes regular files only: " << name;
                ok = false;
                continue;
            }
            ok = copy_file(from, iot + "/" + name) && chmod((iot + "/" + name).c_str(), st.st_mode & 07777) == 0 && ok;
            remove(from.c_str());
        }
        closedir(d);
    }
    rmdir(aside.c_str());

    int fd = open((iot + "/" + SMALL_IOT_FILLER).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        ADD_FAILURE() << "fill " << iot << ": " << std::strerror(errno);
        return false;
    }
    static const char zeros[PAGE] = {};
    std::size_t filled = 0;
    // Bounded by the size of the file system.
    for (std::size_t i = 0; i <= IOT_BYTES / PAGE; ++i) {
        ssize_t n = write(fd, zeros, sizeof zeros);
        if (n <= 0)
            break;
        filled += static_cast<std::size_t>(n);
    }
    std::size_t keep = filled / PAGE * PAGE;
    std::size_t give_back = std::min(keep, free_bytes / PAGE * PAGE);
    if (ftruncate(fd, static_cast<off_t>(keep - give_back)) != 0)
        ok = false;
    close(fd);
    return ok;
}

// A run as another user runs a copy of its program, DIR/.bin/N/NAME for the
// N-th run: that user can reach it wherever the build lies (a checkout in
// root's own 0700 home or in a mktemp -d folder cannot be entered).
static bool copy_program_in(const std::string &dir, std::size_t n, child_run &c)
{
    const std::string &from = c.opt->program;
    std::string bin = dir + "/.bin/" + std::to_string(n);
    if (!make_dir(dir + "/.bin") || !make_dir(bin))
        return false;
    c.program = bin + "/" + from.substr(from.rfind('/') + 1);
    if (!copy_file(from, c.program) || chmod(c.program.c_str(), 0755) != 0) {
        ADD_FAILURE() << "copy " << from << " to " << c.program
                      << " for a run as another user: " << std::strerror(errno);
        return false;
    }
    return true;
}

// Lays out the per-run directory for the runs (from the first one's options),
// puts the copies of the programs run as another user in it, and opens its
// syslog sink; false after a reported failure.
static bool prepare_dir(std::vector<child_run> &kids, run_group &g, std::optional<syslog_sink> &sink)
{
    const run_options &opt = *kids[0].opt;
    std::string templ = temp_base() + "/tarnwick-run-XXXXXX";
    if (!mkdtemp(templ.data())) {
        ADD_FAILURE() << "mkdtemp " << templ << ": " << std::strerror(errno);
        return false;
    }
    g.dir = templ;
    g.dir_owner = std::make_shared<run_dir>();
    g.dir_owner->path = g.dir;
    g.dir_owner->keep = opt.keep_dir;
    if (!lay_out(opt, g.dir))
        return false;
    sink.emplace(g.dir + "/dev/log");
    if (!sink->ok()) {
        ADD_FAILURE() << "syslog sink at " << g.dir << "/dev/log failed";
        return false;
    }
    if (opt.prepare)
        opt.prepare(g.dir);
    if (opt.iot_free_bytes && !make_small_iot(g.dir, *opt.iot_free_bytes, *g.dir_owner))
        return false;
    for (std::size_t n = 0; n < kids.size(); ++n)
        if (kids[n].opt->as_user && !copy_program_in(g.dir, n, kids[n]))
            return false;
    if (opt.as_user)
        give_tree(g.dir, opt.as_user->first, opt.as_user->second);
    for (const auto &[relative, mode] : opt.root_owned) {
        std::string path = g.dir + "/" + relative;
        if (lchown(path.c_str(), 0, 0) != 0 || chmod(path.c_str(), mode) != 0) {
            ADD_FAILURE() << "root_owned " << path << ": " << std::strerror(errno);
            return false;
        }
    }
    return true;
}

run_group run_together(const std::vector<run_options> &runs, server_stub *stub,
                       const std::function<void(const std::string &dir)> &watch, std::chrono::microseconds watch_every)
{
    run_group g;
    if (runs.empty())
        return g;
    std::optional<syslog_sink> sink;
    std::vector<child_run> kids(runs.size());
    for (std::size_t i = 0; i < runs.size(); ++i) {
        kids[i].opt = &runs[i];
        kids[i].program = runs[i].program;
    }
    bool ready = prepare_dir(kids, g, sink);
    for (child_run &c : kids) {
        c.r.dir = g.dir;
        c.r.dir_owner = g.dir_owner;
    }
    if (ready) {
        if (stub)
            (void)stub->take_received(); // earlier runs' datagrams are not ours
        for (child_run &c : kids)
            if (!start_child(c, g.dir))
                break;
        serve_children(kids, g.dir, *sink, stub, watch, watch_every);
        // The programs' last datagrams and log lines were queued before they ended.
        sink->drain();
        g.log = sink->lines();
        if (stub) {
            stub->service();
            stub->cancel_pending();
            g.datagrams = stub->take_received();
        }
        for (child_run &c : kids) {
            for (const syslog_line &l : g.log)
                if (l.pid == c.r.pid)
                    c.r.log.push_back(l);
            finish_child(c);
        }
    }
    for (child_run &c : kids)
        g.runs.push_back(std::move(c.r));
    return g;
}

run_result run_program(const run_options &opt, server_stub *stub)
{
    run_group g = run_together({opt}, stub);
    run_result r = std::move(g.runs[0]);
    // A lone run owns every line and datagram, including lines it could not
    // have written with its own process id (unparsed ones, say).
    r.log = std::move(g.log);
    r.datagrams = std::move(g.datagrams);
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

std::vector<std::string> iot_files(const std::string &dir)
{
    std::vector<std::string> names;
    if (DIR *d = opendir((dir + "/var/iot").c_str())) {
        while (const dirent *e = readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != ".." && name != SMALL_IOT_FILLER)
                names.push_back(name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
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
        {"general", "gateway_id", GATEWAY_ID},
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

void resolve_names_locally(const std::string &dir, const std::vector<std::string> &names)
{
    std::string hosts = "127.0.0.1 localhost\n";
    for (const std::string &n : names)
        hosts += "127.0.0.1 " + n + "\n";
    const std::pair<const char *, std::string> files[] = {
        {"/etc/nsswitch.conf", "hosts: files\nservices: files\n"},
        {"/etc/hosts", hosts},
        {"/etc/resolv.conf", "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n"},
    };
    for (const auto &[file, text] : files) {
        std::FILE *f = std::fopen((dir + file).c_str(), "w");
        ASSERT_NE(f, nullptr) << dir + file;
        std::fputs(text.c_str(), f);
        std::fclose(f);
    }
}
