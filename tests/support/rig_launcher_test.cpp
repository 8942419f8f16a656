// SPDX-License-Identifier: ISC
// The rig's launcher mechanism (TARNWICK_TEST_WRAPPER): the built program
// runs under the launcher and still sees the argv[0] the test asked for,
// whether the launcher can set it ({argv0}) or not (the program is then
// placed at that path inside the run's private namespace).

#include "tests/support/gateway_values.h"
#include "tests/support/tarnwick_run.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace {

const char *const PROG = INSTALLED_TARNWICK;

// A launcher that leaves a mark on standard error, so that a test sees it ran.
std::string write_launcher(const std::string &dir, bool sets_argv0)
{
    std::string path = dir + (sets_argv0 ? "/launch-argv0" : "/launch");
    std::ofstream f(path);
    if (sets_argv0)
        f << "#!/bin/bash\necho launched >&2\nargv0=$1\nshift\nexec -a \"$argv0\" \"$@\"\n";
    else
        f << "#!/bin/sh\necho launched >&2\nexec \"$@\"\n";
    f.close();
    chmod(path.c_str(), 0755);
    return path;
}

class Launcher : public ::testing::Test {
protected:
    void SetUp() override
    {
        char templ[] = "/tmp/rig-launcher-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        scratch.path = templ;
    }
    void TearDown() override { unsetenv("TARNWICK_TEST_WRAPPER"); }

    run_dir scratch;
};

} // namespace

TEST_F(Launcher, ProgramSeesTheArgv0AskedFor)
{
    struct {
        const char *name;
        std::string wrapper;
    } cases[] = {
        {"a launcher without {argv0}: the program is placed at the path", write_launcher(scratch.path, false)},
        {"a launcher given {argv0}", write_launcher(scratch.path, true) + " {argv0}"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        setenv("TARNWICK_TEST_WRAPPER", c.wrapper.c_str(), 1);
        run_result r = run_program({.args = {"rxpk"}, .argv0 = PROG, .config = lorawan_config(1700)});
        EXPECT_EQ(r.exit_status, 0) << r.err;
        EXPECT_EQ(r.err, "launched\n");
        EXPECT_EQ(r.out, std::string("Usage: ") + PROG + " rxpk rssi size\n");
        EXPECT_EQ(r.argv0, PROG);
    }
}

TEST_F(Launcher, OnlyTheBuiltProgramsRunUnderIt)
{
    setenv("TARNWICK_TEST_WRAPPER", write_launcher(scratch.path, false).c_str(), 1);
    run_result bare = run_program({.program = "/bin/true"});
    EXPECT_EQ(bare.exit_status, 0);
    EXPECT_EQ(bare.err, "");
    run_result opted_out = run_program({.args = {"rxpk"}, .config = lorawan_config(1700), .allow_wrapper = false});
    EXPECT_EQ(opted_out.err, "");
    EXPECT_EQ(opted_out.out, std::string("Usage: ") + TARNWICK_PROGRAM + " rxpk rssi size\n");
}
