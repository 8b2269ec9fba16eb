// kt-flash as a program: what it says before any window shows.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <string>

namespace {

struct Run {
    int status;
    std::string out;  // standard output and standard error together
};

Run RunWindowProgram(const std::string& environment, const std::string& args)
{
    const std::string command = "env " + environment + " " KT_FLASH_PATH " " + args + " 2>&1 </dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    std::array<char, 4096> buf{};
    std::size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0)
        out.append(buf.data(), n);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

constexpr const char* kNoDisplay = "-u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM";

TEST(WindowProgram, VersionAndHelpNeedNoDisplay)
{
    const auto version = RunWindowProgram(kNoDisplay, "--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "kt-flash " KT_VERSION "\n");
    const auto help = RunWindowProgram(kNoDisplay, "--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: kt-flash [--simulate] [PACKAGE]\n", 0), 0u) << help.out;
}

// Not Qt's abort (exit 134) and its lines of advice: one line and exit 1.
TEST(WindowProgram, NoDisplayIsOneLineAndExitOne)
{
    const auto run = RunWindowProgram(kNoDisplay, "");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out.find('\n'), run.out.size() - 1) << run.out;
    EXPECT_EQ(run.out.rfind("kt-flash: no display", 0), 0u) << run.out;
}

}  // namespace
