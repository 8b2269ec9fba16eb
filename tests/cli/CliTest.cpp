#include "cli/CliOptions.h"

#include "PackageWriter.h"
#include "ChildProcess.h"
#include "PtyDevice.h"
#include "TestSupport.h"
#include "package/IniFile.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

namespace kt::cli {
namespace {

struct ParseCase {
    std::string name;
    std::vector<std::string> args;
    bool ok;
    Command command = Command::Help;
    std::string package = {};
    std::vector<std::string> ports = {};
    int simulate = 0;
    bool yes = false;
};

std::ostream& operator<<(std::ostream& os, const ParseCase& c)
{
    return os << c.name;
}

class ParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseTest, AcceptsTheContractAndRejectsTheRest)
{
    const auto& c = GetParam();
    const auto result = ParseCommandLine(c.args);
    ASSERT_EQ(result.options.has_value(), c.ok) << result.error;
    if (c.ok) {
        EXPECT_EQ(result.options->command, c.command);
        EXPECT_EQ(result.options->package, c.package);
        EXPECT_EQ(result.options->ports, c.ports);
        EXPECT_EQ(result.options->simulate, c.simulate);
        EXPECT_EQ(result.options->yes, c.yes);
    } else {
        EXPECT_FALSE(result.error.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseTest,
    ::testing::Values(
        ParseCase{"OpenWithPackage", {"open", "a.kvf"}, true, Command::Open, "a.kvf"},
        ParseCase{"OptionsBeforeCommand",
                  {"--port", "/dev/pts/7", "--yes", "update", "p.kvf"},
                  true,
                  Command::Update,
                  "p.kvf",
                  {"/dev/pts/7"},
                  0,
                  true},
        ParseCase{"ShortOptions",
                  {"-p", "/dev/ttyUSB0", "-b", "9600", "-y", "update", "p.kvf"},
                  true,
                  Command::Update,
                  "p.kvf",
                  {"/dev/ttyUSB0"},
                  0,
                  true},
        ParseCase{"SeveralPortsInOrder",
                  {"--port", "A", "-p", "B", "--port=C", "info"},
                  true,
                  Command::Info,
                  "",
                  {"A", "B", "C"}},
        ParseCase{"SimulateAloneIsOneDevice", {"--simulate", "info"}, true, Command::Info, "", {}, 1},
        ParseCase{"SimulateCount", {"--simulate", "8", "-y", "update", "8"}, true, Command::Update, "8", {}, 8, true},
        ParseCase{"SimulateCountWithEquals", {"--simulate=3", "time"}, true, Command::Time, "", {}, 3},
        ParseCase{
            "Watch", {"--yes", "--record", "r.jsonl", "watch", "p.kvf"}, true, Command::Watch, "p.kvf", {}, 0, true},
        ParseCase{"VersionShort", {"-V"}, true, Command::Version},
        ParseCase{"SimulateNone", {"--simulate=0", "info"}, false},
        ParseCase{"SimulateTooMany", {"--simulate", "65", "info"}, false},
        ParseCase{"PortAndSimulate", {"--port", "A", "--simulate", "info"}, false},
        ParseCase{"PortAndAllPorts", {"--port", "A", "--all-ports", "info"}, false},
        ParseCase{"OpenOnTwoPorts", {"-p", "A", "-p", "B", "open", "p.kvf"}, false},
        ParseCase{"WatchWithPort", {"-p", "A", "watch", "p.kvf"}, false},
        ParseCase{"RecordWithoutFile", {"info", "--record"}, false}, ParseCase{"WatchWithoutPackage", {"watch"}, false},
        ParseCase{"OptionWithEquals", {"--baud=9600", "info"}, true, Command::Info},
        ParseCase{"Ports", {"ports"}, true, Command::Ports}, ParseCase{"Help", {"--help"}, true, Command::Help},
        ParseCase{"Version", {"--version", "update"}, true, Command::Version},
        ParseCase{"DashDashEndsOptions", {"open", "--", "--odd.kvf"}, true, Command::Open, "--odd.kvf"},
        ParseCase{"NoCommand", {}, false}, ParseCase{"UnknownCommand", {"flash"}, false},
        ParseCase{"OpenWithoutPackage", {"open"}, false}, ParseCase{"ExtraArgument", {"info", "x"}, false},
        ParseCase{"UnknownOption", {"--force", "info"}, false}, ParseCase{"PortWithoutName", {"info", "--port"}, false},
        ParseCase{"BaudNotANumber", {"--baud", "fast", "info"}, false},
        ParseCase{"BaudZero", {"--baud", "0", "info"}, false}, ParseCase{"FlagWithValue", {"--yes=no", "info"}, false}),
    [](const auto& info) { return info.param.name; });

struct Run {
    int status;
    std::string out;
};

// kt-flash-cli with `args` split at blanks; standard error is not looked at.
Run RunCli(const std::string& args)
{
    std::vector<std::string> words;
    std::istringstream in(args);
    for (std::string word; in >> word;)
        words.push_back(word);
    test::TempDir scratch;
    const auto run = test::RunProgram(KT_CLI_PATH, words, scratch.Path());
    return {run.status, run.out};
}

TEST(CliOpen, PrintsTheLogLinesOfAGoodPackageAndSucceeds)
{
    const std::string path = std::string(KT_EXAMPLES) + "/telviks-m2-3.0.12.kvf";
    const auto open = RunCli("open " + path);
    EXPECT_EQ(open.status, 0);
    EXPECT_EQ(open.out, "Открываю файл: " + path +
                            "\n"
                            "  Имя: ТЕЛВИКС-М2, основная прошивка\n"
                            "  Версия: 3.0.12 от 10.12.2026\n"
                            "  Назначение: Обновление ядра и медиа данных контроллера\n"
                            "  Права: (c) 2026 ТЕЛВИКС. Все права защищены.\n"
                            "Загружаю данные прошивки - 3000 байт...\n"
                            "   Данные загружены успешно.\n"
                            "Загружаю медиа данные - 10000 байт...\n"
                            "   Данные загружены успешно.\n"
                            "Файл загружен успешно.\n"
                            "\n");
}

TEST(CliOpen, FailedOpenPrintsItsLinesAndExitsOne)
{
    const auto run = RunCli("open /nonexistent/x.kvf");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out,
              "Открываю файл: /nonexistent/x.kvf\n"
              "   Несовместимая версия файла!\n"
              "   Ошибка при чтении файла!\n"
              "\n");
}

// kt-flash-cli open with both streams: the log on standard output, what to
// check of the package on standard error.
struct OpenRun {
    int status;
    std::string out;
    std::string err;
};

OpenRun OpenWithBothStreams(const std::string& package, const test::TempDir& dir)
{
    const auto run = test::RunProgram(KT_CLI_PATH, {"open", package}, dir.Path());
    return {run.status, run.out, run.err};
}

// The SHA-256 of `bytes` as sha256sum prints it.
std::string Sha256Sum(const gen::Bytes& bytes, const test::TempDir& dir)
{
    const auto file = dir.Write("image.bin", std::string(bytes.begin(), bytes.end()));
    return test::FirstWordOf("sha256sum '" + file + "'");
}

struct SummaryCase {
    std::string name;
    gen::Bytes core;
    gen::Bytes flash;
    std::int32_t device;
    std::string model;        // the model line after "kt-flash-cli: "
    std::string knownDigest;  // the core image's SHA-256 where it is a published vector
    std::string warning;      // the warning line after "kt-flash-cli: ", or none
};

std::ostream& operator<<(std::ostream& os, const SummaryCase& c)
{
    return os << c.name;
}

class CliOpenSummary : public ::testing::TestWithParam<SummaryCase> {};

TEST_P(CliOpenSummary, TellsTheModelSizesSha256AndTheCoreBytesNotSentOnStandardError)
{
    const auto& c = GetParam();
    test::TempDir dir;
    gen::PackageContent content;
    content.coreVers = "1";
    content.device = c.device;
    content.core = c.core;
    content.flash = c.flash;
    const auto package = (dir.Path() / "p.kvf").string();
    gen::WritePackageFile(package, content);

    auto image = [&](const char* name, const char* key, const gen::Bytes& bytes) {
        if (bytes.empty())
            return "kt-flash-cli: " + std::string(name) + ": none (" + key + " 0)\n";
        return "kt-flash-cli: " + std::string(name) + ": " + std::to_string(bytes.size()) + " bytes, SHA-256 " +
               Sha256Sum(bytes, dir) + "\n";
    };
    std::string expected = "kt-flash-cli: " + c.model + "\n" + image("core image", "CORE_SIZE", c.core) +
                           image("media image", "FLASH_SIZE", c.flash);
    if (!c.warning.empty())
        expected += "kt-flash-cli: " + c.warning + "\n";

    const auto open = OpenWithBothStreams(package, dir);
    EXPECT_EQ(open.status, 0);
    EXPECT_EQ(open.err, expected);
    if (!c.knownDigest.empty()) {
        EXPECT_NE(open.err.find("SHA-256 " + c.knownDigest + "\n"), std::string::npos) << open.err;
    }
    EXPECT_EQ(open.out.find("kt-flash-cli"), std::string::npos) << open.out;
    EXPECT_TRUE(open.out.ends_with("Файл загружен успешно.\n\n")) << open.out;
}

std::string NotSent(int size, int blocks, int left)
{
    return "warning: CORE_SIZE " + std::to_string(size) +
           " is not a whole number of 260-byte core blocks: the update sends " + std::to_string(blocks) + " blocks (" +
           std::to_string(blocks * 260) + " bytes), the last " + std::to_string(left) +
           " bytes of the core image are not sent";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CliOpenSummary,
    ::testing::Values(SummaryCase{"WholeCoreBlocks", gen::PatternBytes(520, 5), gen::PatternBytes(1000, 6), 33,
                                  "target model: DEVICE 33 (0x21)", "", ""},
                      SummaryCase{"TheExampleSizes", gen::PatternBytes(3000, 1), gen::PatternBytes(10000, 2), 33,
                                  "target model: DEVICE 33 (0x21)", "", NotSent(3000, 11, 140)},
                      SummaryCase{"OneByteShortOfWholeBlocks",
                                  gen::PatternBytes(519, 3),
                                  {},
                                  200,
                                  "target model: DEVICE 200 (0xC8)",
                                  "",
                                  NotSent(519, 1, 259)},
                      SummaryCase{"OneByteOverWholeBlocks", gen::PatternBytes(521, 3), gen::PatternBytes(1, 4), 255,
                                  "target model: DEVICE 255 (0xFF)", "", NotSent(521, 2, 1)},
                      SummaryCase{"TheKnownVectorAbc",
                                  gen::Bytes{'a', 'b', 'c'},
                                  {},
                                  0,
                                  "target model: DEVICE 0 (0x00)",
                                  "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
                                  NotSent(3, 0, 3)},
                      SummaryCase{
                          "NoCoreImage", {}, gen::PatternBytes(512, 8), 33, "target model: DEVICE 33 (0x21)", "", ""}),
    [](const auto& info) { return info.param.name; });

TEST(CliOpen, AFailedOpenSaysNothingOnStandardError)
{
    test::TempDir dir;
    const auto open = OpenWithBothStreams("/nonexistent/x.kvf", dir);
    EXPECT_EQ(open.status, 1);
    EXPECT_EQ(open.err, "");
}

TEST(CliUsage, UsageErrorsExitTwoAndPrintNothingOnStandardOutput)
{
    for (const char* args : {"", "open", "bogus", "--nope info"}) {
        const auto run = RunCli(args);
        EXPECT_EQ(run.status, 2) << args;
        EXPECT_EQ(run.out, "") << args;
    }
}

// --version answers before anything else is looked at, and touches no device.
TEST(CliUsage, VersionPrintsTheProgramAndItsVersion)
{
    const auto run = RunCli("--version update missing.kvf");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "kt-flash-cli " KT_VERSION "\n");
}

// kt-flash-cli against a simulated device, with a settings file of its own.
class CliDevice : public ::testing::Test {
protected:
    void Start(sim::SimOptions options = {}) { device = std::make_unique<sim::PtyDevice>(std::move(options)); }
    std::string Options() const { return "--settings " + settings + " --port " + device->SlavePath() + " "; }
    std::string Found() const { return "ТЕЛВИКС обнаружен на порту " + device->SlavePath() + "\n"; }

    test::TempDir dir;
    std::string settings = (dir.Path() / "cli.INI").string();
    std::unique_ptr<sim::PtyDevice> device;
};

const std::string kReadout =
    "Считываю информацию о контроллере...\n"
    "   Версия программного обеспечения: 3.0.12\n"
    "   Дата создания: 10.12.2026\n"
    "   Версия железа: M2 rev.B\n"
    "   Показания часов: 12.11.2026 15:30:45\n"
    "   DRAXO ID: TLV-M2-00042\n";

sim::SimOptions FixedClock()
{
    sim::SimOptions o;
    o.clock = sim::ClockRecord{0x0C, 0x0B, 0x1A, 0x0F, 0x1E, 0x2D, 0x00};
    return o;
}

TEST_F(CliDevice, InfoPrintsTheReadoutAndRemembersThePort)
{
    Start(FixedClock());
    const auto run = RunCli(Options() + "info");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, Found() + kReadout + "\n");
    IniFile ini(settings);
    EXPECT_EQ(ini.ReadString("PARAMS", "PORT", ""), device->SlavePath());
    EXPECT_EQ(device->Frames().back(), "X");
}

TEST_F(CliDevice, LineBreaksInADeviceReplyStayOnTheirLogLine)
{
    sim::SimOptions options = FixedClock();
    options.garbageOn = {{"v", "3.0\r\n"}};
    Start(options);
    const auto run = RunCli(Options() + "info");
    EXPECT_NE(run.out.find("\n   Версия программного обеспечения: 3.0\u240D\u240A\n   Дата создания"),
              std::string::npos)
        << run.out;
}

TEST_F(CliDevice, TimeSetsTheClock)
{
    Start();
    const auto run = RunCli(Options() + "time");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, Found() + "Синхронизация часов ...\n   Часы успешно установлены.\n\n");
    EXPECT_TRUE(device->LastClockSet().has_value());
}

TEST_F(CliDevice, NoDeviceExitsOneAndForgetsThePort)
{
    const auto run = RunCli("--settings " + settings + " --port /dev/kt-no-such-port time");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "ОШИБКА! ТЕЛВИКС не подключен к компьютеру.\n\n");
    IniFile ini(settings);
    EXPECT_EQ(ini.ReadString("PARAMS", "PORT", "missing"), "");
}

TEST_F(CliDevice, UpdateWritesThePackage)
{
    Start(FixedClock());
    const std::string package = std::string(KT_EXAMPLES) + "/telviks-m2-3.0.12.kvf";
    const auto run = RunCli(Options() + "--yes update " + package);
    EXPECT_EQ(run.status, 0);
    const std::string tail = "ОБНОВЛЕНИЕ начато, ожидайте...\n" + Found() + kReadout +
                             "Обновление микропрограммы...\n   Данные успешно загружены.\n"
                             "Обновление медиа данных...\n   Данные успешно загружены.\n"
                             "Синхронизация часов ...\n   Часы успешно установлены.\n"
                             "ОБНОВЛЕНИЕ завершено успешно!\n\n";
    ASSERT_GE(run.out.size(), tail.size());
    EXPECT_EQ(run.out.substr(run.out.size() - tail.size()), tail);
    EXPECT_EQ(run.out.rfind("Открываю файл: " + package + "\n", 0), 0u);
    EXPECT_EQ(device->CoreImage().size(), 3000u / 260 * 260);
    EXPECT_EQ(device->MediaImage().size(), 10240u);
}

// --simulate: the device inside the program takes the update under its own
// port name, and the remembered port is left as it was.
TEST_F(CliDevice, SimulateUpdatesTheDeviceInsideTheProgram)
{
    std::ofstream(settings) << "[PARAMS]\nPORT=/dev/ttyREMEMBERED\n";
    const std::string package = std::string(KT_EXAMPLES) + "/telviks-m2-3.0.12.kvf";
    const auto run = RunCli("--settings " + settings + " --simulate --yes update " + package);
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("ОБНОВЛЕНИЕ начато, ожидайте...\n"
                           "ТЕЛВИКС обнаружен на порту SIM\n"
                           "Считываю информацию о контроллере...\n"),
              std::string::npos)
        << run.out;
    const std::string tail =
        "Обновление микропрограммы...\n   Данные успешно загружены.\n"
        "Обновление медиа данных...\n   Данные успешно загружены.\n"
        "Синхронизация часов ...\n   Часы успешно установлены.\n"
        "ОБНОВЛЕНИЕ завершено успешно!\n\n";
    ASSERT_GE(run.out.size(), tail.size());
    EXPECT_EQ(run.out.substr(run.out.size() - tail.size()), tail);
    IniFile ini(settings);
    EXPECT_EQ(ini.ReadString("PARAMS", "PORT", ""), "/dev/ttyREMEMBERED");
}

TEST_F(CliDevice, UpdateWithoutConfirmationSendsNothing)
{
    Start();
    const auto run = RunCli(Options() + "update " + std::string(KT_EXAMPLES) + "/telviks-m2-3.0.12.kvf");
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(device->Frames().empty());
}

TEST_F(CliDevice, FailedUpdateExitsOne)
{
    sim::SimOptions options;
    options.refuseOn = {"T"};
    Start(options);
    const auto run = RunCli(Options() + "--yes update " + std::string(KT_EXAMPLES) + "/telviks-m2-3.0.12.kvf");
    EXPECT_EQ(run.status, 1);
    const std::string tail = "   ОШИБКА! Проблемы связи с контроллером.\n\nОбновление завершено с ошибками!\n\n";
    ASSERT_GE(run.out.size(), tail.size());
    EXPECT_EQ(run.out.substr(run.out.size() - tail.size()), tail);
}

TEST_F(CliDevice, PortsListTheRememberedPortFirst)
{
    std::ofstream(settings) << "[PARAMS]\nPORT=/dev/ttyREMEMBERED\n";
    const auto run = RunCli("--settings " + settings + " ports");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.rfind("/dev/ttyREMEMBERED\n", 0), 0u);
    EXPECT_EQ(RunCli("--port /dev/ttyX ports").out, "/dev/ttyX\n");
}

TEST_F(CliDevice, CtrlCStopsTheUpdateAndClosesThePort)
{
    sim::SimOptions slow;
    slow.baud = 115200;  // about 45 ms a core block
    Start(slow);
    test::TempDir pkgDir;
    // A package with a large core image, so that the stop comes in the middle.
    std::string text =
        "[COMMON]\r\nVERSION=2\r\nCORE_VERS=1\r\nDEVICE=33\r\nCORE_SIZE=52000\r\n[CORE]\r\n:00000001FF\r\n";
    const auto package = pkgDir.Write("big.kvf", text);
    const auto out = (pkgDir.Path() / "out.txt").string();
    const pid_t pid = fork();
    if (pid == 0) {
        freopen(out.c_str(), "w", stdout);
        freopen("/dev/null", "w", stderr);
        execl(KT_CLI_PATH, KT_CLI_PATH, "--settings", settings.c_str(), "--port", device->SlavePath().c_str(), "--yes",
              "update", package.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    // Wait for the core transfer to be under way, then press Ctrl+C.
    for (int i = 0; i < 400; ++i) {
        const auto frames = device->Frames();
        if (std::count_if(frames.begin(), frames.end(), [](const std::string& f) { return f.rfind("W[", 0) == 0; }) >=
            3)
            break;
        usleep(10000);
    }
    kill(pid, SIGINT);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    std::ifstream in(out);
    const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(log.find("Обновление микропрограммы...\nПрервано пользователем!\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Обновление завершено с ошибками!"), std::string::npos);
    ASSERT_TRUE(device->WaitForFrames(1, std::chrono::seconds(2)));
    EXPECT_EQ(device->Frames().back(), "X");
    const auto frames = device->Frames();
    EXPECT_LT(std::count_if(frames.begin(), frames.end(), [](const std::string& f) { return f.rfind("W[", 0) == 0; }),
              200);
}

// ---- Stops, signals and a reader that goes away ----

using Frames = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

using test::ChangesTheDevice;
using test::CountOf;

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// kt-flash-cli as a child process with its standard streams where the test wants them.
class Child {
public:
    Child(const std::vector<std::string>& args, int in, int out, int err)
    {
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in, STDIN_FILENO);
            dup2(out, STDOUT_FILENO);
            dup2(err, STDERR_FILENO);
            std::vector<char*> argv{const_cast<char*>(KT_CLI_PATH)};
            for (const auto& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(KT_CLI_PATH, argv.data());
            _exit(127);
        }
    }
    ~Child()
    {
        if (!status_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    void Signal(int signal) const { kill(pid_, signal); }
    // The exit status, or nothing when the program did not end in time or was killed by a signal.
    std::optional<int> Wait(std::chrono::milliseconds timeout)
    {
        const auto deadline = Clock::now() + timeout;
        while (!status_) {
            int status = 0;
            const pid_t got = waitpid(pid_, &status, WNOHANG);
            if (got == pid_) {
                status_ = status;
                break;
            }
            if (Clock::now() >= deadline)
                return std::nullopt;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (!WIFEXITED(*status_))
            return std::nullopt;
        return WEXITSTATUS(*status_);
    }

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// Waits until the simulated device has seen frames that satisfy `when`.
bool WaitForMoment(const sim::PtyDevice& device, const std::function<bool(const Frames&)>& when)
{
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < deadline) {
        if (when(device.Frames()))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

struct CliStopCase {
    std::string name;
    std::string command;  // info, time or update
    int signal;
    sim::SimOptions options;
    std::function<bool(const Frames&)> when;
    std::string tail;       // the end of standard output
    bool connected = true;  // the device was found before the stop, so it is told the exchange is over
    int times = 1;          // a user who presses Ctrl+C again
};

std::ostream& operator<<(std::ostream& os, const CliStopCase& c)
{
    return os << c.name;
}

class CliStop : public CliDevice, public ::testing::WithParamInterface<CliStopCase> {
protected:
    std::string UpdatePackage(std::size_t coreSize, std::size_t flashSize)
    {
        gen::PackageContent c;
        c.coreVers = "1";
        c.device = 0x21;
        c.core = gen::PatternBytes(coreSize, 5);
        c.flash = gen::PatternBytes(flashSize, 6);
        const auto path = (dir.Path() / "u.kvf").string();
        gen::WritePackageFile(path, c);
        return path;
    }
};

// Whatever the moment, a stop sends nothing more that changes the device,
// tells the device the exchange is over, keeps the remembered port and exits 1.
TEST_P(CliStop, EndsCleanlyWithNothingMoreSentToTheDevice)
{
    const auto& c = GetParam();
    sim::SimOptions options = c.options;
    options.baud = 115200;  // slow enough to stop in the middle of anything
    Start(options);
    std::vector<std::string> args{"--settings", settings, "--port", device->SlavePath()};
    if (c.command == "update") {
        args.insert(args.end(), {"--yes", "update", UpdatePackage(260 * 30, 512 * 20)});
    } else {
        args.push_back(c.command);
    }
    const auto out = (dir.Path() / "out.txt").string();
    const int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int nullFd = open("/dev/null", O_RDWR);
    Child child(args, nullFd, outFd, nullFd);
    close(outFd);
    close(nullFd);

    ASSERT_TRUE(WaitForMoment(*device, c.when)) << ReadFile(out);
    const std::size_t stoppedAt = device->Frames().size();
    for (int i = 0; i < c.times; ++i) {
        child.Signal(c.signal);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(child.Wait(std::chrono::seconds(10)), 1);

    const auto log = ReadFile(out);
    ASSERT_GE(log.size(), c.tail.size()) << log;
    EXPECT_EQ(log.substr(log.size() - c.tail.size()), c.tail) << log;
    if (c.connected)  // the last frame may still be on its way to the device
        WaitForMoment(*device, [](const Frames& f) { return !f.empty() && f.back() == "X"; });
    const auto frames = device->Frames();
    // One frame may have been on its way when the signal came.
    long changes = 0;
    for (std::size_t i = stoppedAt; i < frames.size(); ++i)
        changes += ChangesTheDevice(frames[i]) ? 1 : 0;
    EXPECT_LE(changes, 1) << log;
    if (c.connected)
        EXPECT_EQ(frames.back(), "X");
    IniFile ini(settings);
    EXPECT_EQ(ini.ReadString("PARAMS", "PORT", ""), device->SlavePath());
}

const std::string kStoppedUpdate = "Прервано пользователем!\n\nОбновление завершено с ошибками!\n\n";

sim::SimOptions SilentOn(const std::string& command)
{
    sim::SimOptions o;
    o.silentOn = {command};
    return o;
}

sim::SimOptions SilentAfter(const std::string& command, int answers)
{
    sim::SimOptions o;
    o.silentAfter = {{command, answers}};
    return o;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CliStop,
    ::testing::Values(CliStopCase{"UpdateDuringTheSearch", "update", SIGINT, SilentOn("PFLASH"),
                                  [](const Frames& f) { return CountOf(f, "PFLASH") >= 2; },
                                  "ОБНОВЛЕНИЕ начато, ожидайте...\nПрервано пользователем!\n\n", false},
                      CliStopCase{"UpdateDuringTheReadout",
                                  "update",
                                  SIGINT,
                                  {},
                                  [](const Frames& f) { return CountOf(f, "n") >= 2; },
                                  "Считываю информацию о контроллере...\n" + kStoppedUpdate},
                      CliStopCase{"UpdateBetweenCoreAndMedia",
                                  "update",
                                  SIGINT,
                                  {},
                                  [](const Frames& f) { return CountOf(f, "W[") >= 30 && f.back() == "X"; },
                                  "   Данные успешно загружены.\n" + kStoppedUpdate},
                      CliStopCase{"UpdateDuringTheCoreTransfer",
                                  "update",
                                  SIGINT,
                                  {},
                                  [](const Frames& f) { return CountOf(f, "W[") >= 3; },
                                  "Обновление микропрограммы...\n" + kStoppedUpdate},
                      CliStopCase{"UpdateDuringTheMediaTransfer",
                                  "update",
                                  SIGINT,
                                  {},
                                  [](const Frames& f) { return CountOf(f, "F[") >= 3; },
                                  "Обновление медиа данных...\n" + kStoppedUpdate},
                      CliStopCase{"UpdateDuringTheClock", "update", SIGINT, SilentAfter("PFLASH", 3),
                                  [](const Frames& f) { return CountOf(f, "PFLASH") >= 4; },
                                  "Синхронизация часов ...\n" + kStoppedUpdate},
                      CliStopCase{"CtrlCTwiceDuringTheMediaTransfer",
                                  "update",
                                  SIGINT,
                                  {},
                                  [](const Frames& f) { return CountOf(f, "F[") >= 3; },
                                  "Обновление медиа данных...\n" + kStoppedUpdate,
                                  true,
                                  2},
                      CliStopCase{"SighupDuringTheCoreTransfer",
                                  "update",
                                  SIGHUP,
                                  {},
                                  [](const Frames& f) { return CountOf(f, "W[") >= 3; },
                                  "Обновление микропрограммы...\n" + kStoppedUpdate},
                      CliStopCase{"SigtermDuringTheMediaTransfer",
                                  "update",
                                  SIGTERM,
                                  {},
                                  [](const Frames& f) { return CountOf(f, "F[") >= 3; },
                                  "Обновление медиа данных...\n" + kStoppedUpdate},
                      CliStopCase{"InfoDuringTheReadout",
                                  "info",
                                  SIGINT,
                                  {},
                                  [](const Frames& f) { return CountOf(f, "n") >= 2; },
                                  "Считываю информацию о контроллере...\nПрервано пользователем!\n\n"},
                      CliStopCase{"TimeBeforeTheClockIsSent", "time", SIGINT, SilentAfter("PFLASH", 1),
                                  [](const Frames& f) { return CountOf(f, "PFLASH") >= 2; },
                                  "Синхронизация часов ...\nПрервано пользователем!\n\n"}),
    [](const auto& info) { return info.param.name; });

TEST_F(CliDevice, CtrlCAtTheQuestionEndsAtOnceWithNothingSent)
{
    Start();
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    const auto err = (dir.Path() / "err.txt").string();
    const int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int nullFd = open("/dev/null", O_RDWR);
    Child child({"--settings", settings, "--port", device->SlavePath(), "update",
                 std::string(KT_EXAMPLES) + "/telviks-m2-3.0.12.kvf"},
                terminal, nullFd, errFd);
    close(errFd);
    close(nullFd);
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (ReadFile(err).find("[y/N]") == std::string::npos && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_NE(ReadFile(err).find("[y/N]"), std::string::npos);

    const auto stopped = Clock::now();
    child.Signal(SIGINT);
    EXPECT_EQ(child.Wait(std::chrono::seconds(5)), 1);
    // At once: not after a line is typed, nor after any device wait.
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - stopped).count(), 1000);
    EXPECT_TRUE(device->Frames().empty());
    close(terminal);
    close(master);
}

TEST_F(CliDevice, ReaderGoingAwayNeverInterruptsTheUpdate)
{
    Start();
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);  // the program holds no read end of its own
    const int nullFd = open("/dev/null", O_RDWR);
    Child child({"--settings", settings, "--port", device->SlavePath(), "--yes", "update",
                 std::string(KT_EXAMPLES) + "/telviks-m2-3.0.12.kvf"},
                nullFd, pipeFds[1], nullFd);
    close(pipeFds[1]);
    close(nullFd);
    // Like "| head": read the first lines, then go away while the core is written.
    ASSERT_TRUE(WaitForMoment(*device, [](const Frames& f) { return CountOf(f, "W[") >= 1; }));
    close(pipeFds[0]);

    EXPECT_EQ(child.Wait(std::chrono::seconds(30)), 1);  // the log could not be written whole
    WaitForMoment(*device, [](const Frames& f) { return !f.empty() && f.back() == "X"; });
    const auto frames = device->Frames();
    EXPECT_EQ(CountOf(frames, "F["), 20);  // 10,000 bytes of media in 512-byte blocks
    EXPECT_EQ(CountOf(frames, "T"), 1);
    EXPECT_EQ(frames.back(), "X");
}

TEST_F(CliDevice, FullDiskMakesTheExitStatusOne)
{
    Start();
    const int full = open("/dev/full", O_WRONLY);
    if (full < 0)
        GTEST_SKIP() << "no /dev/full";
    const int nullFd = open("/dev/null", O_RDWR);
    Child child({"--settings", settings, "--port", device->SlavePath(), "time"}, nullFd, full, nullFd);
    close(full);
    close(nullFd);
    EXPECT_EQ(child.Wait(std::chrono::seconds(10)), 1);
    ASSERT_TRUE(device->LastClockSet().has_value());  // the work was done all the same
}

}  // namespace
}  // namespace kt::cli
