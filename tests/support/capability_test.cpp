// SPDX-License-Identifier: ISC
// The one check that the system tests can run on this machine, as the user
// running them: a run through the rig, with its private /etc/config,
// /var/iot, /dev/log and network. CTest runs it first (fixture
// rig_capability, see CMakeLists.txt): when it fails, every test labelled
// system is reported "not run" instead of failing one by one, and this
// test's message says what is missing.

#include "tests/support/tarnwick_run.h"

#include <gtest/gtest.h>

#include <unistd.h>

TEST(SystemTestCapability, PrivatePathsAndNetworkCanBeSetUp)
{
    run_result r = run_program({.program = "/bin/true", .private_net = true});
    EXPECT_TRUE(r.started && r.exit_status == 0)
        << "The system tests start the programs in private mount and network namespaces, which needs root "
           "or unprivileged user namespaces; as uid "
        << geteuid()
        << " they could not be set up here (the error is above). Run the tests as root, or allow user "
           "namespaces (sysctl user.max_user_namespaces, kernel.unprivileged_userns_clone or "
           "kernel.apparmor_restrict_unprivileged_userns, as the system has them). Without them, "
           "`ctest -LE system` runs every other test.";
}
