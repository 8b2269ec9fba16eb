#include "cli/CliOptions.h"

#include "PtyDevice.h"
#include "TestSupport.h"
#include "package/IniFile.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

namespace kt::cli {
namespace {

struct ParseCase {
    std::string name;
    std::vector<std::string> args;
    bool ok;
    Command command = Command::Help;
    std::string package = {};
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
    } else {
        EXPECT_FALSE(result.error.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseTest,
    ::testing::Values(ParseCase{"OpenWithPackage", {"open", "a.kvf"}, true, Command::Open, "a.kvf"},
                      ParseCase{"OptionsBeforeCommand", {"--port", "/dev/pts/7", "--yes", "update", "p.kvf"}, true,
                                Command::Update, "p.kvf"},
                      ParseCase{"OptionWithEquals", {"--baud=9600", "info"}, true, Command::Info},
                      ParseCase{"Ports", {"ports"}, true, Command::Ports},
                      ParseCase{"Help", {"--help"}, true, Command::Help},
                      ParseCase{"DashDashEndsOptions", {"open", "--", "--odd.kvf"}, true, Command::Open, "--odd.kvf"},
                      ParseCase{"NoCommand", {}, false}, ParseCase{"UnknownCommand", {"flash"}, false},
                      ParseCase{"OpenWithoutPackage", {"open"}, false},
                      ParseCase{"ExtraArgument", {"info", "x"}, false},
                      ParseCase{"UnknownOption", {"--force", "info"}, false},
                      ParseCase{"PortWithoutName", {"info", "--port"}, false},
                      ParseCase{"BaudNotANumber", {"--baud", "fast", "info"}, false},
                      ParseCase{"BaudZero", {"--baud", "0", "info"}, false},
                      ParseCase{"FlagWithValue", {"--yes=no", "info"}, false}),
    [](const auto& info) { return info.param.name; });

struct Run {
    int status;
    std::string out;
};

Run RunCli(const std::string& args)
{
    const std::string command = std::string(KT_CLI_PATH) + " " + args + " 2>/dev/null </dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    std::array<char, 4096> buf{};
    std::size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0)
        out.append(buf.data(), n);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
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
    EXPECT_EQ(run.out, "Открываю файл: /nonexistent/x.kvf\n"
                       "   Несовместимая версия файла!\n"
                       "   Ошибка при чтении файла!\n"
                       "\n");
}

TEST(CliUsage, UsageErrorsExitTwoAndPrintNothingOnStandardOutput)
{
    for (const char* args : {"", "open", "bogus", "--nope info"}) {
        const auto run = RunCli(args);
        EXPECT_EQ(run.status, 2) << args;
        EXPECT_EQ(run.out, "") << args;
    }
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

const std::string kReadout = "Считываю информацию о контроллере...\n"
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
    EXPECT_NE(run.out.find("\n   Версия программного обеспечения: 3.0\u240D\u240A\n   Дата создания"), std::string::npos)
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
    std::string text = "[COMMON]\r\nVERSION=2\r\nCORE_VERS=1\r\nDEVICE=33\r\nCORE_SIZE=52000\r\n[CORE]\r\n:00000001FF\r\n";
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
        if (std::count_if(frames.begin(), frames.end(), [](const std::string& f) { return f.rfind("W[", 0) == 0; }) >= 3)
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

}  // namespace
}  // namespace kt::cli
