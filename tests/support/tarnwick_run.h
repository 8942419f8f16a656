// SPDX-License-Identifier: ISC
#pragma once
// Runs a built program (tarnwick by default) as the radio side would: in a
// fresh private directory that supplies /etc/config/lorawan, /var/iot and
// /dev/log (private_paths.h), with a loopback server stub answering on the
// test's script, every wait bounded.
//
//   server_stub stub;
//   stub.set_script(ack_everything());
//   run_result r = run_program({.args = {"stat"}, .config = lorawan_config(stub.port())}, &stub);
//   EXPECT_EQ(r.exit_status, 0);
//   r.log, r.datagrams, r.read_file("var/iot/dldata"), ...
//
// Launcher: when the environment variable TARNWICK_TEST_WRAPPER holds a
// command (words separated by blanks, no quoting), the built programs
// (tarnwick, udpsink) run under it: "WRAPPER... PROGRAM ARGS...", as for
//   TARNWICK_TEST_WRAPPER="valgrind -q --error-exitcode=97 --log-file=/tmp/vg/%p"
// A word {argv0} in it is replaced by the argv[0] the run asks for (for
// launchers that can set it, e.g. "qemu-mips -0 {argv0}"). Without {argv0},
// a run whose argv[0] differs from the program's path gets the program at
// that path inside its private namespace, and the launcher starts it there,
// so the program sees the argv[0] it would see without a launcher.
//
// A run as another user (as_user) runs a copy of its program that the rig
// puts in the per-run directory, which that user can reach: the build may
// lie where only root can go (root's own 0700 home, a mktemp -d folder).

#include "tests/support/server_stub.h"
#include "tests/support/syslog_sink.h"

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// Built programs (compile definitions of the rig library).
inline constexpr const char *TARNWICK_PROGRAM = TARNWICK_BIN;
inline constexpr const char *UDPSINK_PROGRAM = UDPSINK_BIN;

// Who reads a run's standard output (a pipe).
enum class output_reader {
    while_running, // the rig, as the output comes
    after_exit,    // the rig, only once the program has ended, as a caller that
                   // reads the output afterwards: a program that fills the
                   // pipe blocks on it
    gone,          // nobody: the reading end is closed before the program
                   // starts, so its writes fail with EPIPE (or SIGPIPE)
};

struct run_options {
    std::vector<std::string> args{};        // argv[1] ...
    std::string program = TARNWICK_PROGRAM; // path that is executed (as_user: its copy)
    std::optional<std::string> argv0{};     // argv[0]; the path executed when unset

    // /etc/config/lorawan: this text, or no file (nullopt), or a directory.
    std::optional<std::string> config{};
    bool config_is_directory = false;
    std::optional<std::string> data{};   // /var/iot/data, bytes as given
    std::optional<std::string> dldata{}; // /var/iot/dldata before the run
    bool create_iot_dir = true;          // false: no /var/iot at all
    // Called with DIR after the files above are laid out, before the run.
    std::function<void(const std::string &dir)> prepare{};
    // /var/iot mounted read-only for the run.
    bool iot_read_only = false;
    // /var/iot is a small file system of its own (a tmpfs) holding the files
    // laid out (regular files only) and with only this many bytes left free,
    // rounded down to whole pages. Needs root; the mount lives in a mount
    // namespace the test process enters for it.
    std::optional<std::size_t> iot_free_bytes{};

    bool private_net = false; // own network namespace (only loopback; the stub is not reachable)
    // Run as this user and group (the test must be root): the private paths
    // then come from a user namespace, as for a normal user running the tests,
    // and the program is a copy in DIR/.bin/ (see above).
    std::optional<std::pair<uid_t, gid_t>> as_user{};
    // Entries of DIR (e.g. "var/iot/data") left to root with this mode, for
    // runs as_user: the user's own files would not do for "unreadable", as
    // the root of the user namespace may read those whatever their mode.
    std::vector<std::pair<std::string, mode_t>> root_owned{};
    // false: never under TARNWICK_TEST_WRAPPER (runs that need the bare
    // program, e.g. under tight resource limits).
    bool allow_wrapper = true;
    std::chrono::milliseconds deadline{15000};
    // When the deadline passes the child is killed; that is a test failure
    // unless this is false (for programs that never end by themselves).
    bool deadline_is_failure = true;
    bool keep_dir = false; // also kept when TARNWICK_KEEP_RUN_DIRS is set
    // Descriptors among 0, 1 and 2 that the program starts with closed (as
    // from a daemon that closed them), under a launcher too.
    std::vector<int> closed_descriptors{};
    output_reader stdout_reader = output_reader::while_running;
    // SIGKILL this long after the start (a crash or a power cut, as far as
    // the program can tell); a run that ends that way is no test failure.
    // Not stretched under a launcher: the test scales it where it must.
    std::optional<std::chrono::milliseconds> kill_after{};
};

// The per-run directory; removed with everything in it when the last
// run_result holding it goes, unless kept.
struct run_dir {
    std::string path;
    bool keep = false;
    std::vector<std::string> mounts{}; // unmounted first (in the test's own mount namespace)
    ~run_dir();
};

struct run_result {
    bool started = false; // the child got as far as exec
    bool exited = false;  // ended through exit (exit_status valid)
    int exit_status = -1;
    int signal = 0;         // the signal that ended it, if any
    bool timed_out = false; // killed at the deadline
    pid_t pid = -1;
    std::string out; // standard output
    std::string err; // standard error
    std::vector<syslog_line> log;
    std::vector<stub_datagram> datagrams;        // what the stub received during this run
    std::chrono::steady_clock::time_point start; // fork time, monotonic
    std::chrono::duration<double> wall{0};       // fork to exit
    std::chrono::duration<double> cpu{0};        // user + system time of the child
    std::string argv0;                           // the argv[0] the program was given
    std::string dir;                             // the per-run directory, e.g. dir + "/var/iot/dldata"
    std::shared_ptr<run_dir> dir_owner;

    // Contents of DIR/`relative`, or nullopt when it cannot be read.
    [[nodiscard]] std::optional<std::string> read_file(const std::string &relative) const;
    [[nodiscard]] bool file_exists(const std::string &relative) const;
    // The syslog messages, one per line, as "priority: message" (for failure output).
    [[nodiscard]] std::string log_text() const;
};

// The files of DIR/var/iot, sorted, hidden ones included (a temporary file
// left behind shows), the rig's own filler of a small /var/iot left out.
[[nodiscard]] std::vector<std::string> iot_files(const std::string &dir);

// The words of TARNWICK_TEST_WRAPPER (blank-separated, no quoting), empty
// when it is unset; and whether `path` is one of the built programs, the
// only ones that run under it.
[[nodiscard]] std::vector<std::string> launcher_words();
[[nodiscard]] bool is_built_program(const std::string &path);

// How much slower than bare runs a run may be: TARNWICK_TEST_TIME_SCALE (a
// number of at least 1; 1 when unset), for launchers such as valgrind or
// qemu. The rig stretches the deadline of every run under TARNWICK_TEST_WRAPPER
// by it; tests stretch their own upper bounds on such runs with scaled().
// The only reading of that variable.
[[nodiscard]] double time_scale();
[[nodiscard]] inline std::chrono::milliseconds scaled(std::chrono::milliseconds d)
{
    return std::chrono::milliseconds(static_cast<long long>(static_cast<double>(d.count()) * time_scale()));
}

// Runs `opt.program` once. The stub, when given, is served while the child
// runs; its datagrams of this run are in the result. Setup failures and a
// passed deadline (see run_options) are reported as test failures.
[[nodiscard]] run_result run_program(const run_options &opt, server_stub *stub = nullptr);

// Runs that overlap, as the radio side starts them: one per frame, all
// sharing one per-run directory (one /etc/config, /var/iot and /dev/log).
struct run_group {
    std::vector<run_result> runs;         // in the order of the options
    std::vector<stub_datagram> datagrams; // what the stub received meanwhile
    std::vector<syslog_line> log;         // every line, whoever wrote it
    std::string dir;
    std::shared_ptr<run_dir> dir_owner;
};

// Starts every run of `runs` at once (each with its own args, program,
// argv0 and deadline; the directory is laid out from runs[0] alone) and
// serves the stub until all have ended. `watch`, when given, is called with
// DIR at least every `watch_every` while any run is going on. Each result
// has its own status, output and the log lines that carry its process id;
// its datagrams stay in the group.
[[nodiscard]] run_group run_together(const std::vector<run_options> &runs, server_stub *stub = nullptr,
                                     const std::function<void(const std::string &dir)> &watch = nullptr,
                                     std::chrono::microseconds watch_every = std::chrono::microseconds(500));

// The log lines of a run as "priority: message" (e.g. "info: rxpk: ..."),
// each checked (as a test expectation) to come from this run's tarnwick
// under the user facility.
[[nodiscard]] std::vector<std::string> log_lines(const run_result &r);

// A typical /etc/config/lorawan: sections general and radio with all eleven
// options, server 127.0.0.1 and the given port. Each override sets an
// option's value (quoted as needed) or, with nullopt, leaves it out; a name
// that is not one of the eleven is added to section general.
using config_overrides = std::vector<std::pair<std::string, std::optional<std::string>>>;
[[nodiscard]] std::string lorawan_config(int port, const config_overrides &overrides = {});

// Makes a run resolve names from its own files alone (call it in `prepare`):
// DIR/etc/hosts gives 127.0.0.1 for localhost and for each of `names`, and a
// resolver that the C library asks anyway (musl reads no nsswitch.conf) is
// on loopback and given up on after a second. No lookup leaves the run.
void resolve_names_locally(const std::string &dir, const std::vector<std::string> &names);
