// kt-make-package as the user runs it: the command lines it writes a package
// for, and the ones it refuses with a usage error before writing anything.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

extern char** environ;

namespace kt::gen {
namespace {

using Strings = std::vector<std::string>;

constexpr int kUsageExit = 2;
const std::string kUsage =
    "usage: kt-make-package OUT.kvf [--core N] [--flash N] [--record N] [--device N] [--example]\n";
// Tokens for the package files the program is asked to write, in a case's
// arguments (as a whole argument) and message.
const std::string kOut = "OUT";
const std::string kSecondOut = "OUT2";

std::string ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// One run of kt-make-package in a folder of its own.
class MakePackage {
public:
    struct Result {
        int status = -1;  // the exit status; -1 when the program did not exit normally
        std::string out;
        std::string err;
    };

    Result Run(const Strings& args) const
    {
        const auto outPath = dir_.Path() / "stdout.txt";
        const auto errPath = dir_.Path() / "stderr.txt";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        Strings argv{KT_MAKE_PACKAGE_PATH};
        for (const auto& a : args)
            argv.push_back(Resolve(a));
        std::vector<char*> pointers;
        for (auto& a : argv)
            pointers.push_back(a.data());
        pointers.push_back(nullptr);
        pid_t pid = -1;
        const int failed = posix_spawn(&pid, pointers[0], &actions, nullptr, pointers.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (failed != 0)
            throw std::system_error(failed, std::generic_category(), "posix_spawn");
        int status = 0;
        ::waitpid(pid, &status, 0);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(outPath), ReadFile(errPath)};
    }

    // An argument as given to the program: the tokens OUT and OUT2 as paths.
    std::string Resolve(const std::string& arg) const { return arg == kOut || arg == kSecondOut ? Output(arg) : arg; }
    // A message with the path of OUT2 in place of its token.
    std::string Expand(std::string message) const
    {
        if (const auto at = message.find(kSecondOut); at != std::string::npos)
            message.replace(at, kSecondOut.size(), Output(kSecondOut));
        return message;
    }

    std::string Output(const std::string& token) const { return (dir_.Path() / (token + ".kvf")).string(); }

private:
    test::TempDir dir_;
};

// --- Refused command lines ------------------------------------------------------

struct RefusedCase {
    std::string name;
    Strings args;
    std::string message;  // the line after "kt-make-package: "
};

std::ostream& operator<<(std::ostream& os, const RefusedCase& c)
{
    return os << c.name;
}

class MakePackageRefuses : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(MakePackageRefuses, WithAUsageErrorAndWritesNothing)
{
    const auto& c = GetParam();
    const MakePackage program;
    const auto run = program.Run(c.args);
    EXPECT_EQ(run.status, kUsageExit);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "kt-make-package: " + program.Expand(c.message) + "\n" + kUsage);
    EXPECT_FALSE(std::filesystem::exists(program.Output(kOut)));
    EXPECT_FALSE(std::filesystem::exists(program.Output(kSecondOut)));
}

const std::string kSizeExpected = "(expected a whole number from 0 to 2147483647, decimal or 0x hex)";
const std::string kRecordExpected = "(expected a whole number from 1 to 255, decimal or 0x hex)";
const std::string kDeviceExpected = "a whole number from -2147483648 to 2147483647, decimal or 0x hex";

INSTANTIATE_TEST_SUITE_P(
    Cases, MakePackageRefuses,
    ::testing::Values(
        RefusedCase{"CoreNotANumber", {"OUT", "--core", "abc"}, "bad value for --core: abc " + kSizeExpected},
        RefusedCase{"CoreWithAUnit", {"OUT", "--core", "12k"}, "bad value for --core: 12k " + kSizeExpected},
        RefusedCase{"CoreNegative", {"OUT", "--core=-1"}, "bad value for --core: -1 " + kSizeExpected},
        RefusedCase{"CoreBeyondTheHeader",
                    {"OUT", "--core", "2147483648"},
                    "bad value for --core: 2147483648 " + kSizeExpected},
        RefusedCase{"FlashBeyondEveryNumber",
                    {"--flash", "99999999999999999999", "OUT"},
                    "bad value for --flash: 99999999999999999999 " + kSizeExpected},
        RefusedCase{
            "FlashEmpty", {"OUT", "--flash="}, "--flash needs a whole number from 0 to 2147483647, decimal or 0x hex"},
        RefusedCase{"FlashHexWithoutDigits", {"OUT", "--flash", "0x"}, "bad value for --flash: 0x " + kSizeExpected},
        RefusedCase{"RecordZero", {"OUT", "--record", "0"}, "bad value for --record: 0 " + kRecordExpected},
        RefusedCase{
            "RecordLongerThanARecord", {"OUT", "--record", "256"}, "bad value for --record: 256 " + kRecordExpected},
        RefusedCase{"DeviceMissing", {"OUT", "--device"}, "--device needs " + kDeviceExpected},
        RefusedCase{"DeviceBeyond32Bits",
                    {"OUT", "--device", "0x80000000"},
                    "bad value for --device: 0x80000000 (expected " + kDeviceExpected + ")"},
        RefusedCase{"ExampleGivenAValue", {"OUT", "--example=yes"}, "--example takes no value"},
        RefusedCase{"UnknownOption", {"OUT", "--fast"}, "unknown option --fast"},
        RefusedCase{"NoOutputFile", {"--core", "5"}, "no output file given"},
        RefusedCase{"EmptyOutputFile", {""}, "no output file given"},
        RefusedCase{"TwoOutputFiles", {"OUT", "OUT2"}, "unexpected argument OUT2"}),
    [](const auto& row) { return row.param.name; });

// --- Accepted command lines -----------------------------------------------------

struct AcceptedCase {
    std::string name;
    Strings args;
    std::string coreSize;
    std::string flashSize;
    std::string device;
    std::string firstCoreRecord;  // how the first record of [CORE] begins: ':', byte count, address, type
};

std::ostream& operator<<(std::ostream& os, const AcceptedCase& c)
{
    return os << c.name;
}

// The value of `key` in the package's header, and the line after "[CORE]".
struct PackageHead {
    std::string Value(const std::string& key) const
    {
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            if (line.starts_with(key + "="))
                return line.substr(key.size() + 1, line.find('\r') - key.size() - 1);
        }
        return "(missing)";
    }
    std::string FirstCoreRecord() const
    {
        const auto section = text.find("[CORE]\r\n");
        return section == std::string::npos ? "(missing)" : text.substr(section + 8, 9);
    }

    std::string text;
};

class MakePackageWrites : public ::testing::TestWithParam<AcceptedCase> {};

TEST_P(MakePackageWrites, ThePackageTheOptionsAskFor)
{
    const auto& c = GetParam();
    const MakePackage program;
    const auto run = program.Run(c.args);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const PackageHead head{ReadFile(program.Output(kOut))};
    EXPECT_EQ(head.Value("CORE_SIZE"), c.coreSize);
    EXPECT_EQ(head.Value("FLASH_SIZE"), c.flashSize);
    EXPECT_EQ(head.Value("DEVICE"), c.device);
    EXPECT_EQ(head.FirstCoreRecord(), c.firstCoreRecord);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MakePackageWrites,
    ::testing::Values(
        AcceptedCase{"Defaults", {"OUT"}, "1024", "1024", "0", ":10000000"},
        AcceptedCase{
            "HexAndEquals", {"OUT", "--core", "0x10", "--flash=32", "--device=0x21"}, "16", "32", "33", ":10000000"},
        AcceptedCase{"OutputAfterTheOptions", {"--core", "5", "OUT"}, "5", "1024", "0", ":05000000"},
        AcceptedCase{"LongestRecord", {"OUT", "--record", "255", "--core", "300"}, "300", "1024", "0", ":FF000000"},
        AcceptedCase{"NegativeDevice", {"OUT", "--device", "-1"}, "1024", "1024", "-1", ":10000000"},
        AcceptedCase{
            "OptionAfterExampleOverridesIt", {"OUT", "--example", "--core", "5"}, "5", "10000", "33", ":05000000"},
        AcceptedCase{
            "ExampleOverridesAnEarlierOption", {"--core", "5", "OUT", "--example"}, "3000", "10000", "33", ":10000000"},
        AcceptedCase{"OutputAfterDoubleDash", {"--core=0", "--", "OUT"}, "0", "1024", "0", ":00000001"}),
    [](const auto& row) { return row.param.name; });

TEST(MakePackage, AFileThatCannotBeWrittenExitsOne)
{
    const MakePackage program;
    const auto run = program.Run({"/nonexistent-folder/x.kvf"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "kt-make-package: cannot write /nonexistent-folder/x.kvf\n");
}

}  // namespace
}  // namespace kt::gen
