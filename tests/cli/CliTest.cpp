#include "cli/CliOptions.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <array>
#include <cstdio>
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
    const std::string command = std::string(KT_CLI_PATH) + " " + args + " 2>/dev/null";
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

}  // namespace
}  // namespace kt::cli
