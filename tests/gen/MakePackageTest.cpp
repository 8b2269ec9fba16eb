// kt-make-package as the user runs it: the command lines it takes and the
// ones it refuses with a usage error before writing anything; the packages it
// makes of compiler output, read back with the program's package loader; and
// the inputs it refuses, with nothing left behind.
#include "ChildProcess.h"
#include "PackageMaker.h"
#include "TestSupport.h"
#include "package/Cp1251.h"
#include "package/Package.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace kt::gen {
namespace {

using Strings = std::vector<std::string>;
using test::ProgramRun;
using test::ReadWholeFile;

constexpr int kUsageExit = 2;
constexpr int kFailedExit = 1;
const std::string kUsage =
    "usage: kt-make-package OUT.kvf --core FILE [--base ADDR|auto] [--keep FIRST-LAST]\n"
    "                       [--flash FILE [--base ADDR|auto] [--keep FIRST-LAST]]\n"
    "                       --core-version TEXT --device N [--name TEXT] [--core-date TEXT] [--text TEXT]\n"
    "                       [--copyright TEXT] [--support TEXT]\n"
    "       kt-make-package OUT.kvf --generate [--core-size N] [--flash-size N] [--record N] [--device N] "
    "[--example]\n"
    "       kt-make-package --help\n";
// Tokens in a case's arguments and messages: OUT and OUT2 (as a whole argument)
// for the package files the program is asked to write, "@NAME" for the path
// of an input file the case provides.
const std::string kOut = "OUT";
const std::string kSecondOut = "OUT2";

// A file the program is given: `contents` written `repeat` times, so that a
// table of cases holds a large file as a few bytes.
struct InputFileSpec {
    std::string name;
    std::string contents;
    std::size_t repeat = 1;
};
using Files = std::vector<InputFileSpec>;

// One run of kt-make-package in a folder of its own. Packages are written into
// its out/ folder and nothing else is, so that what a run leaves there shows.
class MakePackage {
public:
    MakePackage() { std::filesystem::create_directory(OutFolder()); }

    ProgramRun Run(const Strings& args) const
    {
        Strings resolved;
        for (const auto& a : args)
            resolved.push_back(Resolve(a));
        return test::RunProgram(KT_MAKE_PACKAGE_PATH, resolved, dir_.Path());
    }

    void Provide(const Files& files) const
    {
        for (const auto& file : files) {
            std::string contents;
            contents.reserve(file.contents.size() * file.repeat);
            for (std::size_t i = 0; i < file.repeat; ++i)
                contents += file.contents;
            dir_.Write(file.name, contents);
        }
    }

    // An argument as given to the program.
    std::string Resolve(const std::string& arg) const
    {
        if (arg == kOut || arg == kSecondOut)
            return Output(arg);
        return Expand(arg);
    }
    // A text with the paths of OUT2 and of "@NAME" inputs in place of their tokens.
    std::string Expand(std::string text) const
    {
        if (const auto at = text.find(kSecondOut); at != std::string::npos)
            text.replace(at, kSecondOut.size(), Output(kSecondOut));
        for (auto at = text.find('@'); at != std::string::npos; at = text.find('@', at + 1)) {
            const auto end = std::min(text.find_first_of(" :\n", at), text.size());
            const std::string path = Input(text.substr(at + 1, end - at - 1));
            text.replace(at, end - at, path);
            at += path.size() - 1;
        }
        return text;
    }

    std::string Input(const std::string& name) const { return (dir_.Path() / name).string(); }
    std::string Output(const std::string& token) const { return (OutFolder() / (token + ".kvf")).string(); }
    std::filesystem::path OutFolder() const { return dir_.Path() / "out"; }

    // The names of the files in out/.
    Strings Left() const
    {
        Strings names;
        for (const auto& entry : std::filesystem::directory_iterator(OutFolder()))
            names.push_back(entry.path().filename().string());
        return names;
    }

private:
    test::TempDir dir_;
};

// --- Intel HEX fixtures, written here record by record ---------------------------

Bytes Count(std::size_t size, std::uint8_t first)
{
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(first + i);
    return bytes;
}

std::string Record(unsigned type, unsigned address, const Bytes& data)
{
    Bytes all{static_cast<std::uint8_t>(data.size()), static_cast<std::uint8_t>(address >> 8),
              static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(type)};
    all.insert(all.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (auto b : all)
        sum += b;
    all.push_back(static_cast<std::uint8_t>(-sum));
    std::string line = ":";
    for (auto b : all) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02X", b);
        line += pair;
    }
    return line;
}

std::string Data(unsigned address, const Bytes& data)
{
    return Record(0x00, address, data);
}
std::string Linear(unsigned upper)
{
    return Record(0x04, 0, {static_cast<std::uint8_t>(upper >> 8), static_cast<std::uint8_t>(upper)});
}
const std::string kEnd = ":00000001FF";

std::string Hex(const Strings& records, const std::string& eol = "\r\n")
{
    std::string text;
    for (const auto& r : records)
        text += r + eol;
    return text;
}

std::string Lower(std::string text)
{
    for (auto& c : text)
        if (c >= 'A' && c <= 'F')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// An image of `size` bytes of 0xFF with `parts` placed in it.
Bytes Image(std::size_t size, const std::vector<std::pair<std::size_t, Bytes>>& parts)
{
    Bytes image(size, 0xFF);
    for (const auto& [at, bytes] : parts)
        std::copy(bytes.begin(), bytes.end(), image.begin() + static_cast<std::ptrdiff_t>(at));
    return image;
}

std::string Text(const Bytes& bytes)
{
    return {bytes.begin(), bytes.end()};
}

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

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
    program.Provide({{"fw.hex", Hex({Data(0, Count(16, 0)), kEnd})}});
    const auto run = program.Run(c.args);
    EXPECT_EQ(run.status, kUsageExit);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "kt-make-package: " + program.Expand(c.message) + "\n" + kUsage);
    EXPECT_EQ(program.Left(), Strings{});
}

const std::string kSizeExpected = "(expected a whole number from 0 to 2147483647, decimal or 0x hex)";
const std::string kRecordExpected = "(expected a whole number from 1 to 255, decimal or 0x hex)";
const std::string kDeviceExpected = "a whole number from -2147483648 to 2147483647, decimal or 0x hex";
// A command line that names every header field a package of files needs.
const Strings kFileHeader = {"--core-version", "1", "--device", "33"};

Strings With(Strings args, const Strings& more)
{
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

INSTANTIATE_TEST_SUITE_P(
    GeneratedImages, MakePackageRefuses,
    ::testing::Values(
        RefusedCase{"CoreSizeNotANumber",
                    {"OUT", "--generate", "--core-size", "abc"},
                    "bad value for --core-size: abc " + kSizeExpected},
        RefusedCase{"CoreSizeWithAUnit",
                    {"OUT", "--generate", "--core-size", "12k"},
                    "bad value for --core-size: 12k " + kSizeExpected},
        RefusedCase{"CoreSizeNegative",
                    {"OUT", "--generate", "--core-size=-1"},
                    "bad value for --core-size: -1 " + kSizeExpected},
        RefusedCase{"CoreSizeBeyondTheHeader",
                    {"OUT", "--generate", "--core-size", "2147483648"},
                    "bad value for --core-size: 2147483648 " + kSizeExpected},
        RefusedCase{"FlashSizeBeyondEveryNumber",
                    {"--generate", "--flash-size", "99999999999999999999", "OUT"},
                    "bad value for --flash-size: 99999999999999999999 " + kSizeExpected},
        RefusedCase{"FlashSizeEmpty",
                    {"OUT", "--generate", "--flash-size="},
                    "--flash-size needs a whole number from 0 to 2147483647, decimal or 0x hex"},
        RefusedCase{"FlashSizeHexWithoutDigits",
                    {"OUT", "--generate", "--flash-size", "0x"},
                    "bad value for --flash-size: 0x " + kSizeExpected},
        RefusedCase{
            "RecordZero", {"OUT", "--generate", "--record", "0"}, "bad value for --record: 0 " + kRecordExpected},
        RefusedCase{"RecordLongerThanARecord",
                    {"OUT", "--generate", "--record", "256"},
                    "bad value for --record: 256 " + kRecordExpected},
        RefusedCase{"DeviceMissing", {"OUT", "--generate", "--device"}, "--device needs " + kDeviceExpected},
        RefusedCase{"DeviceBeyond32Bits",
                    {"OUT", "--generate", "--device", "0x80000000"},
                    "bad value for --device: 0x80000000 (expected " + kDeviceExpected + ")"},
        RefusedCase{"ExampleGivenAValue", {"OUT", "--example=yes"}, "--example takes no value"},
        RefusedCase{"UnknownOption", {"OUT", "--generate", "--fast"}, "unknown option --fast"},
        RefusedCase{"NoOutputFile", {"--generate", "--core-size", "5"}, "no output file given"},
        RefusedCase{"EmptyOutputFile", {"", "--generate"}, "no output file given"},
        RefusedCase{"TwoOutputFiles", {"OUT", "OUT2", "--generate"}, "unexpected argument OUT2"},
        RefusedCase{"SizesWithoutGenerate",
                    {"OUT", "--core-size", "5"},
                    "--core-size and --flash-size are sizes of generated images: they go with --generate"},
        RefusedCase{"FilesWithGenerate",
                    {"OUT", "--generate", "--core", "@fw.hex"},
                    "--generate makes its own images: --core FILE and --flash FILE do not go with it"}),
    [](const auto& row) { return row.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Files, MakePackageRefuses,
    ::testing::Values(
        RefusedCase{"NoCoreImage", With({"OUT"}, kFileHeader), "no core image given (--core FILE)"},
        RefusedCase{"OnlyAMediaImage", With({"OUT", "--flash", "@fw.hex"}, kFileHeader),
                    "no core image given (--core FILE)"},
        RefusedCase{"TheGeneratedImagesSizeGivenAsAFile", With({"OUT", "--core", "1024"}, kFileHeader),
                    "1024: no such file (images of generated bytes are made with --generate --core-size N "
                    "--flash-size N)"},
        RefusedCase{"BaseBeforeAnyImage", With({"OUT", "--base", "auto", "--core", "@fw.hex"}, kFileHeader),
                    "--base belongs after the --core FILE or --flash FILE it applies to"},
        RefusedCase{"KeepBeforeAnyImage", With({"OUT", "--keep", "0-9", "--core", "@fw.hex"}, kFileHeader),
                    "--keep belongs after the --core FILE or --flash FILE it applies to"},
        RefusedCase{"BaseNotAnAddress", With({"OUT", "--core", "@fw.hex", "--base", "low"}, kFileHeader),
                    "bad value for --base: low (expected an address or auto)"},
        RefusedCase{"BaseBeyond32Bits", With({"OUT", "--core", "@fw.hex", "--base", "0x100000000"}, kFileHeader),
                    "bad value for --base: 0x100000000 (expected an address or auto)"},
        RefusedCase{"KeepWithoutItsEnd", With({"OUT", "--core", "@fw.hex", "--keep", "0x100"}, kFileHeader),
                    "bad value for --keep: 0x100 (expected FIRST-LAST, two addresses)"},
        RefusedCase{"KeepBackwards", With({"OUT", "--core", "@fw.hex", "--keep", "0x200-0x100"}, kFileHeader),
                    "bad value for --keep: 0x200-0x100 (expected FIRST-LAST, two addresses)"},
        RefusedCase{"NoCoreVersion",
                    {"OUT", "--core", "@fw.hex", "--device", "33"},
                    "no --core-version given: a package without CORE_VERS does not open"},
        RefusedCase{"AnEmptyCoreVersion",
                    {"OUT", "--core", "@fw.hex", "--core-version=", "--device", "33"},
                    "no --core-version given: a package without CORE_VERS does not open"},
        RefusedCase{"NoDevice",
                    {"OUT", "--core", "@fw.hex", "--core-version", "1"},
                    "no --device given: the model byte the device reports, 0 to 255"},
        RefusedCase{"DeviceAboveAByte",
                    {"OUT", "--core", "@fw.hex", "--core-version", "1", "--device", "256"},
                    "bad value for --device: 256 (expected a whole number from 0 to 255, decimal or 0x hex for a "
                    "package of files)"},
        RefusedCase{"ANegativeDevice",
                    {"OUT", "--core", "@fw.hex", "--core-version", "1", "--device", "-1"},
                    "bad value for --device: -1 (expected a whole number from 0 to 255, decimal or 0x hex for a "
                    "package of files)"}),
    [](const auto& row) { return row.param.name; });

INSTANTIATE_TEST_SUITE_P(
    HeaderTexts, MakePackageRefuses,
    ::testing::Values(
        RefusedCase{"ACharacterWindows1251DoesNotHave",
                    With({"OUT", "--core", "@fw.hex", "--name", "Прошивка ✓"}, kFileHeader),
                    "--name: \"✓\" (U+2713) has no Windows-1251 code"},
        RefusedCase{"ACharacterBeyondTheBasicPlane",
                    With({"OUT", "--core", "@fw.hex", "--text", "ok 🙂"}, kFileHeader),
                    "--text: \"🙂\" (U+1F642) has no Windows-1251 code"},
        RefusedCase{"TheReplacementCharacter",
                    With({"OUT", "--core", "@fw.hex", "--support", "a\xEF\xBF\xBD"}, kFileHeader),
                    "--support: \"\xEF\xBF\xBD\" (U+FFFD) has no Windows-1251 code"},
        RefusedCase{"NotUtf8", With({"OUT", "--core", "@fw.hex", "--copyright", "\xC0\xEB\xFC\xF4\xE0"}, kFileHeader),
                    "--copyright: the text is not UTF-8"},
        RefusedCase{"ALineBreak", With({"OUT", "--core", "@fw.hex", "--text", "one\ntwo"}, kFileHeader),
                    "--text: a control character (0x0A) cannot be in a header text"},
        RefusedCase{"TheDosEndOfFile", With({"OUT", "--core", "@fw.hex", "--core-date", "10.12\x1A"}, kFileHeader),
                    "--core-date: a control character (0x1A) cannot be in a header text"},
        RefusedCase{"MoreThanTheReaderKeeps",
                    With({"OUT", "--core", "@fw.hex", "--name",
                          std::string(1024, 'x') + std::string(512, 'z') + "Ж" + std::string(511, 'y')},
                         kFileHeader),
                    "--name: 2048 bytes in Windows-1251, more than the 2047 the package reader keeps"},
        RefusedCase{"InGeneratedPackagesToo",
                    {"OUT", "--generate", "--name", "✓"},
                    "--name: \"✓\" (U+2713) has no Windows-1251 code"}),
    [](const auto& row) { return row.param.name; });

// --- Generated images -----------------------------------------------------------

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
    const PackageHead head{ReadWholeFile(program.Output(kOut))};
    EXPECT_EQ(head.Value("CORE_SIZE"), c.coreSize);
    EXPECT_EQ(head.Value("FLASH_SIZE"), c.flashSize);
    EXPECT_EQ(head.Value("DEVICE"), c.device);
    EXPECT_EQ(head.FirstCoreRecord(), c.firstCoreRecord);
    EXPECT_EQ(program.Left(), Strings{"OUT.kvf"});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MakePackageWrites,
    ::testing::Values(
        AcceptedCase{"Defaults", {"OUT", "--generate"}, "1024", "1024", "0", ":10000000"},
        AcceptedCase{"HexAndEquals",
                     {"OUT", "--generate", "--core-size", "0x10", "--flash-size=32", "--device=0x21"},
                     "16",
                     "32",
                     "33",
                     ":10000000"},
        AcceptedCase{"OutputAfterTheOptions", {"--generate", "--core-size", "5", "OUT"}, "5", "1024", "0", ":05000000"},
        AcceptedCase{"LongestRecord",
                     {"OUT", "--generate", "--record", "255", "--core-size", "300"},
                     "300",
                     "1024",
                     "0",
                     ":FF000000"},
        AcceptedCase{"NegativeDevice", {"OUT", "--generate", "--device", "-1"}, "1024", "1024", "-1", ":10000000"},
        AcceptedCase{
            "OptionAfterExampleOverridesIt", {"OUT", "--example", "--core-size", "5"}, "5", "10000", "33", ":05000000"},
        AcceptedCase{"ExampleOverridesAnEarlierOption",
                     {"--generate", "--core-size", "5", "OUT", "--example"},
                     "3000",
                     "10000",
                     "33",
                     ":10000000"},
        AcceptedCase{
            "OutputAfterDoubleDash", {"--generate", "--core-size=0", "--", "OUT"}, "0", "1024", "0", ":00000001"}),
    [](const auto& row) { return row.param.name; });

TEST(MakePackage, ExampleIsTheShippedPackageByteForByte)
{
    const MakePackage program;
    const auto run = program.Run({"OUT", "--example"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string shipped = ReadWholeFile(std::string(KT_EXAMPLES) + "/telviks-m2-3.0.12.kvf");
    ASSERT_FALSE(shipped.empty());
    EXPECT_TRUE(ReadWholeFile(program.Output(kOut)) == shipped);
}

TEST(MakePackage, AFileThatCannotBeWrittenExitsOne)
{
    const MakePackage program;
    const auto run = program.Run({"/nonexistent-folder/x.kvf", "--generate"});
    EXPECT_EQ(run.status, kFailedExit);
    EXPECT_EQ(run.err, "kt-make-package: cannot write /nonexistent-folder/x.kvf\n");
}

TEST(MakePackage, HelpTellsHowInputsAreRead)
{
    const MakePackage program;
    const auto run = program.Run({"--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out.rfind(kUsage, 0), 0u);
    EXPECT_TRUE(Contains(run.out, "raw binary when it is named\n  *.bin")) << run.out;
    EXPECT_TRUE(Contains(run.out, "more than three quarters")) << run.out;
}

// --- Packages of compiler output --------------------------------------------------

struct FromFilesCase {
    std::string name;
    Files files;
    Strings args;  // between OUT and the header options
    Bytes core;    // what the package loader must load: CORE_SIZE bytes
    Bytes flash;
    Strings notes = {};       // parts of standard error
    std::string absent = {};  // a part that standard error must not hold
};

std::ostream& operator<<(std::ostream& os, const FromFilesCase& c)
{
    return os << c.name;
}

class MakePackageFromFiles : public ::testing::TestWithParam<FromFilesCase> {};

TEST_P(MakePackageFromFiles, LoadsBackAsTheInputsPlaceTheirData)
{
    const auto& c = GetParam();
    const MakePackage program;
    program.Provide(c.files);
    const auto run = program.Run(With(With({"OUT"}, c.args), kFileHeader));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "");
    for (const auto& note : c.notes)
        EXPECT_TRUE(Contains(run.err, program.Expand(note))) << "missing: " << note << "\n" << run.err;
    if (!c.absent.empty()) {
        EXPECT_FALSE(Contains(run.err, c.absent)) << run.err;
    }
    EXPECT_EQ(program.Left(), Strings{"OUT.kvf"});

    test::RecordingView view;
    KVF_TYPE package;
    ASSERT_TRUE(OpenPackage(program.Output(kOut), package, view)) << testing::PrintToString(view.log);
    EXPECT_EQ(package.CORE_SIZE, static_cast<std::int32_t>(c.core.size()));
    EXPECT_EQ(package.CORE, c.core);
    EXPECT_EQ(package.FLASH_SIZE, static_cast<std::int32_t>(c.flash.size()));
    EXPECT_EQ(package.FLASH, c.flash);
    EXPECT_EQ(package.DEVICE, 33);
}

const Bytes k16 = Count(16, 0x10);
const std::string kFarHex = Hex({Data(0, k16), Linear(0x30), Data(0, {1, 2, 3, 4}), kEnd});

INSTANTIATE_TEST_SUITE_P(
    Cases, MakePackageFromFiles,
    ::testing::Values(
        FromFilesCase{"StartAddressesAreDroppedWithANote",
                      {{"fw.hex", Hex({Data(0, k16), Record(0x03, 0, {0x12, 0x34, 0x56, 0x78}),
                                       Record(0x05, 0, {0x08, 0x00, 0x01, 0x5C}), kEnd})}},
                      {"--core", "@fw.hex"},
                      Image(260, {{0, k16}}),
                      {},
                      {"--core @fw.hex: line 2: start address 1234:5678 (record type 0x03) dropped",
                       "--core @fw.hex: line 3: start address 0x0800015C (record type 0x05) dropped"}},
        FromFilesCase{"AnExplicitBaseBecomesByteZero",
                      {{"fw.hex", Hex({Linear(0x0800), Data(0, k16), Data(0x20, Count(8, 0x80)), kEnd})}},
                      {"--core", "@fw.hex", "--base", "0x08000000"},
                      Image(260, {{0, k16}, {0x20, Count(8, 0x80)}}),
                      {},
                      {"--core @fw.hex: address 0x08000000 is byte 0 of the core image"}},
        FromFilesCase{"AutoBaseIsTheLowestAddressOfTheData",
                      {{"fw.hex", Hex({Linear(0x0800), Data(0x120, Count(8, 0x80)), Data(0x100, k16), kEnd})}},
                      {"--core", "@fw.hex", "--base", "auto"},
                      Image(260, {{0, k16}, {0x20, Count(8, 0x80)}}),
                      {},
                      {"--core @fw.hex: address 0x08000100 is byte 0 of the core image"}},
        FromFilesCase{"LowerCaseDigitsAndLfLineEnds",
                      {{"fw.hex", Lower(Hex({Data(0, Count(16, 0xAA)), Data(0x10, Count(4, 0xFA)), kEnd}, "\n"))}},
                      {"--core", "@fw.hex"},
                      Image(260, {{0, Count(16, 0xAA)}, {0x10, Count(4, 0xFA)}}),
                      {}},
        FromFilesCase{"ExtendedSegmentAddresses",
                      {{"fw.hex", Hex({Record(0x02, 0, {0x10, 0x00}), Data(0x10, k16), kEnd})}},
                      {"--core", "@fw.hex", "--base", "0x10000"},
                      Image(260, {{0x10, k16}}),
                      {}},
        FromFilesCase{"KeepLeavesOutAFarRegion",
                      {{"fw.hex", kFarHex}},
                      {"--core", "@fw.hex", "--keep", "0x0-0xFFFF"},
                      Image(260, {{0, k16}}),
                      {},
                      {"--core @fw.hex: --keep 0x00000000-0x0000FFFF leaves out 4 bytes of data"}},
        FromFilesCase{"KeepAndBaseTogether",
                      {{"fw.hex", kFarHex}},
                      {"--core", "@fw.hex", "--keep", "0x300000-0x3FFFFF", "--base", "auto"},
                      Image(260, {{0, {1, 2, 3, 4}}}),
                      {}},
        FromFilesCase{"TheCoreTailIsPaddedToWholeBlocks",
                      {{"core.bin", Text(Count(300, 7))}},
                      {"--core", "@core.bin"},
                      Image(520, {{0, Count(300, 7)}}),
                      {},
                      {"--core @core.bin: the core image of 300 bytes is padded with 0xFF to 520 (2 blocks of 260 "
                       "bytes): the update sends whole core blocks only"}},
        FromFilesCase{"AWholeNumberOfBlocksIsLeftAsItIs",
                      {{"core.bin", Text(Count(520, 7))}},
                      {"--core", "@core.bin"},
                      Count(520, 7),
                      {},
                      {},
                      "padded"},
        FromFilesCase{"RawBinaryImagesAndAMediaImageOfItsOwnSize",
                      {{"core.bin", Text(Count(260, 3))}, {"media.bin", Text(Count(1000, 9))}},
                      {"--core", "@core.bin", "--flash", "@media.bin"},
                      Count(260, 3),
                      Count(1000, 9),
                      {"--flash @media.bin: read as raw binary, 1000 bytes from address 0"}},
        FromFilesCase{"HexAndBinaryToldApartByContent",
                      {{"core.a90", Hex({Data(0, k16), kEnd})}, {"media.img", Text(Count(700, 0x80))}},
                      {"--core", "@core.a90", "--flash", "@media.img"},
                      Image(260, {{0, k16}}),
                      Count(700, 0x80),
                      {"--flash @media.img: read as raw binary, 700 bytes from address 0"}},
        FromFilesCase{"RecordsOutOfOrderAndRepeatedAlike",
                      {{"fw.hex", Hex({Data(0x10, Count(16, 0x40)), Data(0, k16), Data(0x10, Count(16, 0x40)),
                                       Data(0x08, Count(8, 0x18)), kEnd})}},
                      {"--core", "@fw.hex"},
                      Image(260, {{0, k16}, {0x10, Count(16, 0x40)}}),
                      {}},
        FromFilesCase{"OneFileForBothImages",
                      {{"fw.hex", Hex({Linear(0x0800), Data(0, k16), kEnd})}},
                      {"--core", "@fw.hex", "--base", "auto", "--flash", "@fw.hex", "--base", "0x08000000"},
                      Image(260, {{0, k16}}),
                      k16,
                      {"--core @fw.hex: address 0x08000000 is byte 0 of the core image",
                       "--flash @fw.hex: address 0x08000000 is byte 0 of the media image"}}),
    [](const auto& row) { return row.param.name; });

TEST(MakePackage, HeaderTextsReadBackAsGivenInWindows1251)
{
    const MakePackage program;
    program.Provide({{"fw.hex", Hex({Data(0, k16), kEnd})}});
    const Strings texts = {"ТЕЛВИКС-М2 «Альфа» №5 — €",
                           "(c) 2026 ООО “Телвикс”",
                           "  blanks at both ends  ",
                           "\"in quotes\"",
                           "'10.12.2026'",
                           "3.0.12-ё"};
    const auto run =
        program.Run({"OUT", "--core", "@fw.hex", "--device", "33", "--name", texts[0], "--copyright", texts[1],
                     "--support", texts[2], "--text", texts[3], "--core-date", texts[4], "--core-version", texts[5]});
    ASSERT_EQ(run.status, 0) << run.err;

    test::RecordingView view;
    KVF_TYPE package;
    ASSERT_TRUE(OpenPackage(program.Output(kOut), package, view));
    EXPECT_EQ(Cp1251ToUtf8(package.NAME), texts[0]);
    EXPECT_EQ(Cp1251ToUtf8(package.COPYRIGHT), texts[1]);
    EXPECT_EQ(Cp1251ToUtf8(package.SUPPORT), texts[2]);
    EXPECT_EQ(Cp1251ToUtf8(package.TEXT), texts[3]);
    EXPECT_EQ(Cp1251ToUtf8(package.CORE_DATE), texts[4]);
    EXPECT_EQ(Cp1251ToUtf8(package.CORE_VERS), texts[5]);
    ASSERT_GE(view.log.size(), 2u);
    EXPECT_EQ(view.log[1], "  Имя: " + texts[0]);
    // The file holds Windows-1251 bytes, one a character.
    EXPECT_TRUE(Contains(ReadWholeFile(program.Output(kOut)),
                         "\r\nNAME=\xD2\xC5\xCB\xC2\xC8\xCA\xD1-\xCC"
                         "2 \xAB\xC0\xEB\xFC\xF4\xE0\xBB \xB9"
                         "5 \x97 \x88\r\n"));
}

// A package that fails its check after it was written: the file written for it
// goes again, and the earlier package stays.
TEST(WritePackageInPlace, APackageThatFailsItsCheckLeavesNothingBehind)
{
    const MakePackage program;
    const std::string earlier = "[COMMON]\r\nVERSION=2\r\n";
    std::ofstream(program.Output(kOut), std::ios::binary) << earlier;
    PackageContent content;
    content.coreVers = "1";
    content.core = Count(300, 1);
    std::string checked;
    EXPECT_THROW(WritePackageInPlace(program.Output(kOut), content,
                                     [&](const std::string& path) {
                                         checked = ReadWholeFile(path);
                                         throw PackageError("does not read back");
                                     }),
                 PackageError);
    EXPECT_TRUE(Contains(checked, "\r\nCORE_SIZE=300\r\n"));  // the check saw the new package
    EXPECT_EQ(program.Left(), Strings{"OUT.kvf"});
    EXPECT_EQ(ReadWholeFile(program.Output(kOut)), earlier);
}

// --- Inputs that cannot be packaged -------------------------------------------------

struct RefusedInputCase {
    std::string name;
    Files files;
    Strings args;   // between OUT and the header options
    Strings parts;  // parts of the message on standard error
};

std::ostream& operator<<(std::ostream& os, const RefusedInputCase& c)
{
    return os << c.name;
}

class MakePackageRefusesTheInput : public ::testing::TestWithParam<RefusedInputCase> {
protected:
    ProgramRun RunCase(const MakePackage& program) const
    {
        const auto& c = GetParam();
        program.Provide(c.files);
        const auto run = program.Run(With(With({"OUT"}, c.args), kFileHeader));
        EXPECT_EQ(run.status, kFailedExit);
        EXPECT_EQ(run.out, "");
        for (const auto& part : c.parts)
            EXPECT_TRUE(Contains(run.err, program.Expand(part))) << "missing: " << part << "\n" << run.err;
        return run;
    }
};

TEST_P(MakePackageRefusesTheInput, AndLeavesNoFileBehind)
{
    const MakePackage program;
    RunCase(program);
    EXPECT_EQ(program.Left(), Strings{});
}

TEST_P(MakePackageRefusesTheInput, AndLeavesAnEarlierPackageAsItWas)
{
    const MakePackage program;
    const std::string earlier = "[COMMON]\r\nVERSION=2\r\n";
    std::ofstream(program.Output(kOut), std::ios::binary) << earlier;
    RunCase(program);
    EXPECT_EQ(program.Left(), Strings{"OUT.kvf"});
    EXPECT_EQ(ReadWholeFile(program.Output(kOut)), earlier);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MakePackageRefusesTheInput,
    ::testing::Values(
        RefusedInputCase{"AFarRegion",
                         {{"fw.hex", kFarHex}},
                         {"--core", "@fw.hex"},
                         {"kt-make-package: --core @fw.hex: the image would be 3145732 bytes from 0x00000000, "
                          "3145712 of them 0xFF filler around 20 bytes of data, which lie at\n"
                          "  0x00000000-0x0000000F (16 bytes of data)\n"
                          "  0x00300000-0x00300003 (4 bytes of data)\n"
                          "give --keep FIRST-LAST after the file to keep only the part the device takes (e.g. --keep "
                          "0x00000000-0x0000000F)\n"}},
        RefusedInputCase{"AFarRegionOfTheMediaImage",
                         {{"fw.hex", Hex({Data(0, k16), kEnd})}, {"media.hex", kFarHex}},
                         {"--core", "@fw.hex", "--flash", "@media.hex"},
                         {"--flash @media.hex: the image would be 3145732 bytes", "0x00300000-0x00300003"}},
        RefusedInputCase{"DataFarAboveByteZero",
                         {{"fw.hex", Hex({Linear(0x0002), Data(0, k16), kEnd})}},
                         {"--core", "@fw.hex"},
                         {"0x00020000-0x0002000F (16 bytes of data)\ngive --base auto (or --base 0x00020000) after "
                          "the file to start the image at its data\n"}},
        RefusedInputCase{"DataBelowTheBase",
                         {{"fw.hex", Hex({Data(0, k16), kEnd})}},
                         {"--core", "@fw.hex", "--base", "0x100"},
                         {"--core @fw.hex: data at 0x00000000 lies below the base 0x00000100\n"}},
        RefusedInputCase{"KeepLeavesNoData",
                         {{"fw.hex", kFarHex}},
                         {"--core", "@fw.hex", "--keep", "0x1000-0x1FFF"},
                         {"--core @fw.hex: --keep 0x00001000-0x00001FFF leaves no data; the data lies at\n"
                          "  0x00000000-0x0000000F (16 bytes of data)\n"}},
        RefusedInputCase{"ABadChecksum",
                         {{"fw.hex", Hex({Data(0, k16), ":0400100001020304E1", kEnd})}},
                         {"--core", "@fw.hex"},
                         {"--core @fw.hex: line 2: checksum 0xE1, the record's bytes need 0xE2\n"}},
        RefusedInputCase{"NotAnIntelHexRecord",
                         {{"fw.hex", "S00F000068656C6C6F202020202000003C\r\n"}},
                         {"--core", "@fw.hex"},
                         {"--core @fw.hex: line 1: not an Intel HEX record (no ':' at its start)\n"}},
        RefusedInputCase{"ACharacterThatIsNoDigit",
                         {{"fw.hex", ":02000000G1F20B\r\n" + kEnd + "\r\n"}},
                         {"--core", "@fw.hex"},
                         {"line 1: a character that is not a hexadecimal digit\n"}},
        RefusedInputCase{"ARecordShorterThanItsCount",
                         {{"fw.hex", ":0400000001020304\r\n" + kEnd + "\r\n"}},
                         {"--core", "@fw.hex"},
                         {"line 1: the record's length does not match its byte count\n"}},
        RefusedInputCase{"AnUnknownRecordType",
                         {{"fw.hex", Hex({Record(0x06, 0, {1}), kEnd})}},
                         {"--core", "@fw.hex"},
                         {"--core @fw.hex: line 1: unknown record type 0x06\n"}},
        RefusedInputCase{"AnAddressRecordOfTheWrongLength",
                         {{"fw.hex", Hex({Record(0x04, 0, {1, 2, 3}), kEnd})}},
                         {"--core", "@fw.hex"},
                         {"line 1: a record of type 0x04 carries 2 bytes, this one 3\n"}},
        RefusedInputCase{"NoEndRecord",
                         {{"fw.hex", Hex({Data(0, k16)})}},
                         {"--core", "@fw.hex"},
                         {"--core @fw.hex: no end record (:00000001FF): the file is cut short\n"}},
        RefusedInputCase{"RecordsAfterTheEnd",
                         {{"fw.hex", Hex({kEnd, Data(0, k16)})}},
                         {"--core", "@fw.hex"},
                         {"line 2: more after the end record\n"}},
        RefusedInputCase{"TheSameAddressWithOtherData",
                         {{"fw.hex", Hex({Data(0, k16), Data(8, Count(4, 0)), kEnd})}},
                         {"--core", "@fw.hex"},
                         {"--core @fw.hex: the data at 0x00000008 is given twice with different bytes\n"}},
        RefusedInputCase{
            "NoData", {{"fw.hex", Hex({kEnd})}}, {"--core", "@fw.hex"}, {"--core @fw.hex: no data in it\n"}},
        RefusedInputCase{"NoSuchFile", {}, {"--core", "@missing.hex"}, {"--core @missing.hex: no such file\n"}},
        RefusedInputCase{"ACoreImageAboveWhatAPackageCarries",
                         {{"big.bin", "\x5A", 16777021}},
                         {"--core", "@big.bin"},
                         {"--core @big.bin: the core image would be 16777021 bytes; a package carries at most "
                          "16777020"}}),
    [](const auto& row) { return row.param.name; });

}  // namespace
}  // namespace kt::gen
