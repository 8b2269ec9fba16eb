#include "DeviceEngine.h"
#include "SimCommandLine.h"

#include "PtyClient.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ;

namespace kt::sim {
namespace {

using test::PtyClient;
using namespace std::chrono_literals;

constexpr auto kStartTimeout = 10s;  // the program prints its port path; sanitizer builds start slowly

// --- Command line -------------------------------------------------------------

struct ArgsCase {
    std::string name;
    std::vector<std::string> args;
    bool ok;
};

std::ostream& operator<<(std::ostream& os, const ArgsCase& c)
{
    return os << c.name;
}

class SimArgsTest : public ::testing::TestWithParam<ArgsCase> {};

TEST_P(SimArgsTest, AcceptsTheOptionsAndRejectsMistakes)
{
    const auto result = ParseSimCommandLine(GetParam().args);
    EXPECT_EQ(result.options.has_value(), GetParam().ok) << result.error;
    if (!GetParam().ok)
        EXPECT_FALSE(result.error.empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, SimArgsTest,
                         ::testing::Values(ArgsCase{"Nothing", {}, true}, ArgsCase{"Help", {"--help"}, true},
                                           ArgsCase{"AllKinds",
                                                    {"--model",
                                                     "0x21",
                                                     "--baud=1000000",
                                                     "--silent-on",
                                                     "v",
                                                     "--refuse-on",
                                                     "PFLASH",
                                                     "--garbage-on",
                                                     "D:ZZ",
                                                     "--append-on=n:\\r",
                                                     "--refuse-core-block",
                                                     "3:2",
                                                     "--refuse-media-block",
                                                     "258",
                                                     "--vanish-after-frames",
                                                     "40",
                                                     "--clock",
                                                     "0C0B1A0F1E2D00",
                                                     "--ping-esc",
                                                     "--start-in-loader",
                                                     "--delay-on",
                                                     "W:300"},
                                                    true},
                                           ArgsCase{"ModelTooBig", {"--model", "256"}, false},
                                           ArgsCase{"UnknownCommandName", {"--silent-on", "Q"}, false},
                                           ArgsCase{"FaultTextWithoutCommand", {"--garbage-on", "ZZ"}, false},
                                           ArgsCase{"BadEscape", {"--append-on", "n:\\q"}, false},
                                           ArgsCase{"IdentityNotTwelve", {"--identity", "TLV"}, false},
                                           ArgsCase{"ClockNotHex", {"--clock", "0C0B1A0F1E2DZZ"}, false},
                                           ArgsCase{"NegativeBaud", {"--baud", "-1"}, false},
                                           ArgsCase{"BlockNotANumber", {"--refuse-core-block", "x"}, false},
                                           ArgsCase{"ZeroRefusals", {"--refuse-core-block", "3:0"}, false},
                                           ArgsCase{"MissingValue", {"--version"}, false},
                                           ArgsCase{"FlagWithValue", {"--ping-esc=yes"}, false},
                                           ArgsCase{"UnknownOption", {"--fast"}, false}),
                         [](const auto& info) { return info.param.name; });

TEST(SimArgs, ReadsFaultValues)
{
    const auto result =
        ParseSimCommandLine({"--garbage-on", "D:\\x5A\\e", "--refuse-core-block", "3:2", "--refuse-core-block", "5",
                             "--model-reply", "", "--lose-core-block", "4:3", "--silent-after", "PFLASH:1"});
    ASSERT_TRUE(result.options) << result.error;
    const SimOptions& d = result.options->device;
    EXPECT_EQ(d.garbageOn.at("D"), "Z\x1B");
    EXPECT_EQ(d.refuseCoreBlock, (std::map<int, int>{{3, 2}, {5, 1}}));
    EXPECT_EQ(d.modelReply, "");
    EXPECT_EQ(d.loseCoreBlock, (std::map<int, int>{{4, 3}}));
    EXPECT_EQ(d.silentAfter, (std::map<std::string, int>{{"PFLASH", 1}}));
}

// --- The program --------------------------------------------------------------

class ScratchDir {
public:
    ScratchDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "kt-sim-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            throw std::system_error(errno, std::generic_category(), "mkdtemp");
        path_ = pattern;
    }
    ~ScratchDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// kt-device-sim as a child process, killed if a test leaves it running.
class SimProcess {
public:
    explicit SimProcess(std::vector<std::string> args)
    {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0)
            throw std::system_error(errno, std::generic_category(), "pipe2");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        args.insert(args.begin(), KT_DEVICE_SIM_PATH);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const int err = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        stdout_ = out[0];
        if (err != 0) {
            ::close(stdout_);
            throw std::system_error(err, std::generic_category(), "posix_spawn");
        }
    }
    ~SimProcess()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(stdout_);
    }

    // The first line the program prints, without its line end.
    std::string ReadLine()
    {
        std::string line;
        char c;
        pollfd p{stdout_, POLLIN, 0};
        while (::poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kStartTimeout).count())) > 0 &&
               ::read(stdout_, &c, 1) == 1 && c != '\n')
            line += c;
        return line;
    }

    // Sends `signal` and returns the exit status, or -1 when it did not exit normally.
    int Terminate(int signal)
    {
        ::kill(pid_, signal);
        return Wait();
    }

    int Wait()
    {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    int stdout_ = -1;
};

std::string ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class SimProgramTest : public ::testing::TestWithParam<int> {};

TEST_P(SimProgramTest, ServesUntilSignalledThenDumpsWhatItTook)
{
    ScratchDir dir;
    const auto link = dir / "ttyTLV";
    SimProcess sim({"--start-in-loader", "--link", link.string(), "--dump-core", (dir / "core.bin").string(),
                    "--dump-media", (dir / "media.bin").string(), "--dump-frames", (dir / "frames.txt").string()});
    const std::string path = sim.ReadLine();
    ASSERT_TRUE(path.starts_with("/dev/")) << path;

    const std::string core(kCoreBlockSize, 'c');
    Bytes media = {1, 0};
    media.resize(2 + kMediaBlockSize, 'm');
    {
        PtyClient client(link.string());
        ASSERT_EQ(client.Ask(DataFrame("W", Bytes(core.begin(), core.end())), 1), "\r");
        client.Write(CommandFrame("X"));
        ASSERT_EQ(client.Ask(CommandFrame("n"), 13), "DRAXO_FLASHER");
        ASSERT_EQ(client.Ask(DataFrame("F", media), 1), "\r");
    }

    EXPECT_EQ(sim.Terminate(GetParam()), 0);
    EXPECT_EQ(ReadFile(dir / "core.bin"), core);
    EXPECT_EQ(ReadFile(dir / "media.bin"), std::string(kMediaBlockSize, '\xFF') + std::string(kMediaBlockSize, 'm'));
    EXPECT_EQ(ReadFile(dir / "frames.txt"), "W[260]\nX\nn\nF[514]#1\n");
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link))) << "the link is removed at exit";
}

INSTANTIATE_TEST_SUITE_P(Signals, SimProgramTest, ::testing::Values(SIGTERM, SIGINT),
                         [](const auto& info) { return info.param == SIGTERM ? "Sigterm" : "Sigint"; });

TEST(SimProgram, RefusesABadCommandLine)
{
    SimProcess sim({"--model", "300"});
    EXPECT_EQ(sim.ReadLine(), "");
    EXPECT_EQ(sim.Wait(), 2);
}

}  // namespace
}  // namespace kt::sim
