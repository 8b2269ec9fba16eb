// kt-flash as a program: what it says before any window shows.
#include "ChildProcess.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// kt-flash with no display at all: DISPLAY, WAYLAND_DISPLAY and QT_QPA_PLATFORM unset.
kt::test::ProgramRun RunWithoutDisplay(std::vector<std::string> args)
{
    std::vector<std::string> env = {"-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM", KT_FLASH_PATH};
    env.insert(env.end(), args.begin(), args.end());
    kt::test::TempDir scratch;
    return kt::test::RunProgram("/usr/bin/env", env, scratch.Path());
}

TEST(WindowProgram, VersionAndHelpNeedNoDisplay)
{
    const auto version = RunWithoutDisplay({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "kt-flash " KT_VERSION "\n");
    const auto help = RunWithoutDisplay({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: kt-flash [--simulate] [PACKAGE]\n", 0), 0u) << help.out;
}

// Not Qt's abort (exit 134) and its lines of advice: one line and exit 1.
TEST(WindowProgram, NoDisplayIsOneLineAndExitOne)
{
    const auto run = RunWithoutDisplay({});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
    EXPECT_EQ(run.err.rfind("kt-flash: no display", 0), 0u) << run.err;
}

}  // namespace
