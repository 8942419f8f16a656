// SPDX-License-Identifier: ISC
#pragma once
// Gives a process its own /etc/config, /var/iot and /dev/log, taken from a
// per-run directory, so that a system test can run the built programs at
// their fixed paths without touching the host's files.
//
// Layout of the per-run directory DIR (the caller creates what it needs):
//
//   DIR/etc/           upper layer of an overlay on /etc: every entry here
//                      shadows the host's entry of that name, and whatever
//                      the process writes under /etc lands here.
//   DIR/etc/config/    bound on /etc/config, so DIR/etc/config/lorawan is
//                      /etc/config/lorawan (a file, a directory or absent).
//   DIR/var/           upper layer of an overlay on /var, as for /etc.
//   DIR/var/iot/       bound on /var/iot: the payload file `data`, and the
//                      `dldata` and `pull_data` the program writes (a file
//                      present before the run is "the previous downlink").
//   DIR/dev/           every entry replaces the host's /dev entry of that
//                      name; DIR/dev/log is the syslog sink's socket.
//   DIR/.hide/         where the host has /etc/config or /var/iot, a
//                      whiteout for it in a layer of its own, so that the
//                      host's entry is never merged with DIR's; not for the
//                      test.
//   DIR/.work/PID/     overlay work directories, one set per process;
//                      not for the test.
//
// The host's own /etc/config, /var/iot and /dev/log are never visible to the
// process, whether DIR holds a replacement or not: an absent DIR/etc/config
// means no /etc/config at all. The rest of /etc, /var and /dev stays as on
// the host (resolver files, /dev/null, ...), but writes under /etc and /var
// go to DIR, never to the host.
//
// DIR must be an absolute path without ',' or ':' (overlay option syntax),
// outside /etc, /var and /dev (an overlay's layers must not overlap).

struct private_paths_options {
    // Own network namespace: only a loopback interface exists, and it is up.
    bool private_net = false;
    // /var/iot is mounted read-only (a file system that refuses writes, as
    // opposed to permissions that refuse them).
    bool iot_read_only = false;
    // When both are set, the file `program` also appears at the absolute
    // path `program_at` (e.g. /usr/bin/tarnwick): an empty file in an overlay
    // on its parent directory, with the program bound on it. For launchers
    // that cannot give the program an argv[0] of their own choosing. The
    // overlay's layers live in DIR/.place and DIR/.work/PID/place.
    const char *program = nullptr;
    const char *program_at = nullptr;
};

// Moves the calling process into new mount (and, with private_net, network)
// namespaces arranged as above. Meant for a forked child right before exec;
// it must be single-threaded. As a normal user it first enters a new user
// namespace in which it is root. Returns 0, or -1 after a message on stderr.
[[nodiscard]] int enter_private_paths(const char *dir, const private_paths_options &opt);
[[nodiscard]] int enter_private_paths(const char *dir, bool private_net);

// Moves the calling process into a new network namespace in which only a
// loopback interface exists, and it is up; as a normal user it first enters
// a new user namespace in which it is root. For a test that talks to a
// program over loopback itself (udpsink on its fixed port), so that the
// host's ports are never used. Returns 0, or -1 after a message on stderr.
[[nodiscard]] int enter_private_network();
