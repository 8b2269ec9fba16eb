#include "package/IniFile.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

namespace kt {
namespace {

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct ReadCase {
    std::string name;
    std::string file;
    std::string section;
    std::string key;
    std::string expected;  // "<default>" when the key should read as missing
};

std::ostream& operator<<(std::ostream& os, const ReadCase& c)
{
    return os << c.name;
}

class IniReadTest : public ::testing::TestWithParam<ReadCase> {};

TEST_P(IniReadTest, ReadsLikeTheProfileFunctions)
{
    const auto& c = GetParam();
    test::TempDir dir;
    IniFile ini(dir.Write("a.ini", c.file));
    EXPECT_EQ(ini.ReadString(c.section, c.key, "<default>"), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IniReadTest,
    ::testing::Values(ReadCase{"Plain", "[S]\r\nK=v\r\n", "S", "K", "v"},
                      ReadCase{"NamesIgnoreCase", "[common]\r\nVersion=2\r\n", "COMMON", "VERSION", "2"},
                      ReadCase{"BlanksAroundKeyAndValueDropped", "[S]\r\n  K \t=  a b  \r\n", "S", "K", "a b"},
                      ReadCase{"BlanksInsideSectionBrackets", "[ S ]\r\nK=v\r\n", "S", "K", "v"},
                      ReadCase{"DoubleQuotesRemoved", "[S]\r\nK=\" x \"\r\n", "S", "K", " x "},
                      ReadCase{"SingleQuotesRemoved", "[S]\r\nK='x'\r\n", "S", "K", "x"},
                      ReadCase{"UnmatchedQuotesKept", "[S]\r\nK=\"x'\r\n", "S", "K", "\"x'"},
                      ReadCase{"LoneQuoteKept", "[S]\r\nK=\"\r\n", "S", "K", "\""},
                      ReadCase{"ValueMayHoldEquals", "[S]\r\nK=a=b\r\n", "S", "K", "a=b"},
                      ReadCase{"EmptyValue", "[S]\r\nK=\r\n", "S", "K", ""},
                      ReadCase{"LinesWithoutEqualsIgnored", "[S]\r\n:10000000FF\r\nK\r\n", "S", "K", "<default>"},
                      ReadCase{"KeyOfAnotherSection", "[A]\r\nK=a\r\n[B]\r\nX=b\r\n", "B", "K", "<default>"},
                      ReadCase{"FirstOfRepeatedKeys", "[S]\r\nK=1\r\nK=2\r\n", "S", "K", "1"},
                      ReadCase{"KeysBeforeAnySection", "K=v\r\n[S]\r\n", "S", "K", "<default>"},
                      ReadCase{"BareLfLines", "[S]\nK=v\n", "S", "K", "v"},
                      ReadCase{"LastLineWithoutLineEnd", "[S]\r\nK=v", "S", "K", "v"},
                      ReadCase{"ValueCutAt2047", "[S]\r\nK=" + std::string(3000, 'a') + "\r\n", "S", "K",
                               std::string(2047, 'a')},
                      ReadCase{"Cp1251BytesKept", "[S]\r\nK=\xD2\xC5\xCB\r\n", "S", "K", "\xD2\xC5\xCB"}),
    [](const auto& info) { return info.param.name; });

// `count` distinct keys named after `stem`, each on its own line.
std::string OtherKeys(std::size_t count, const std::string& stem = "Other")
{
    std::string text;
    for (std::size_t i = 0; i < count; ++i)
        text += stem + std::to_string(i) + "=x\r\n";
    return text;
}

struct FilterCase {
    std::string name;
    std::string file;
    std::string expectedK;  // what both readers give for [COMMON] K; "<default>" when missing
};

std::ostream& operator<<(std::ostream& os, const FilterCase& c)
{
    return os << c.name;
}

class IniFilterTest : public ::testing::TestWithParam<FilterCase> {};

TEST_P(IniFilterTest, KeepingOnlySomeKeysReadsThemAsTheFullReaderDoes)
{
    const auto& c = GetParam();
    test::TempDir dir;
    const auto path = dir.Write("a.kvf", c.file);
    const std::vector<std::string_view> wanted = {"VERSION", "k", " Name "};
    IniFile full(path);
    IniFile filtered(path, "common", wanted);

    EXPECT_EQ(full.ReadString("COMMON", "K", "<default>"), c.expectedK);
    for (const char* key : {"K", "k", "VERSION", "version", "NAME"})
        EXPECT_EQ(filtered.ReadString(" Common ", key, "<default>"), full.ReadString("COMMON", key, "<default>"))
            << key;
}

constexpr std::size_t kLimit = IniFile::kMaxKeysPerSection;
const std::string kLongLine(100 * 1024, 'z');  // beyond what the reader keeps of a line

INSTANTIATE_TEST_SUITE_P(
    Shapes, IniFilterTest,
    ::testing::Values(
        FilterCase{"Plain", "[COMMON]\r\nVERSION=2\r\nNAME=n\r\nK=v\r\n", "v"},
        FilterCase{"NamesInOtherCase", "[common]\r\nversion=2\r\nname=n\r\nk=v\r\n", "v"},
        FilterCase{"FirstOfRepeatedKeysInAnyCase", "[COMMON]\r\nk=1\r\nNAME=a\r\nK=2\r\nname=b\r\n", "1"},
        FilterCase{"KeysOfOtherSections", "[A]\r\nK=a\r\n[COMMON]\r\nVERSION=2\r\n[B]\r\nK=b\r\nNAME=b\r\n",
                   "<default>"},
        FilterCase{"OnlyTheFirstSectionOfTheName", "[COMMON]\r\nVERSION=2\r\n[X]\r\n[common]\r\nK=late\r\n",
                   "<default>"},
        FilterCase{"OddLines",
                   "K=before\r\n[COMMON\r\n[COMMON]\r\n=empty key\r\nK\r\n[bad\r\n ; K=x\r\n  K  =  \"v\"  \r\n", "v"},
        FilterCase{"BareCrAndLfLineEnds", "[COMMON]\rVERSION=2\nK=v\r", "v"},
        FilterCase{"KeyRepeatedAfterManyOthers", "[COMMON]\r\nK=first\r\n" + OtherKeys(kLimit + 10) + "K=second\r\n",
                   "first"},
        FilterCase{"KeyAfterOneFewerOthersThanTheLimit", "[COMMON]\r\n" + OtherKeys(kLimit - 1) + "K=last\r\n", "last"},
        FilterCase{"KeyAfterAsManyOthersAsTheLimit", "[COMMON]\r\n" + OtherKeys(kLimit) + "K=lost\r\nVERSION=2\r\n",
                   "<default>"},
        FilterCase{"RepeatedKeysCountOnceInAnyCase",
                   "[COMMON]\r\n" + OtherKeys(kLimit - 1, "Other") + OtherKeys(kLimit - 1, "OTHER") + "K=v\r\n", "v"},
        FilterCase{"OtherSectionsDoNotCount",
                   "[A]\r\n" + OtherKeys(kLimit) + "[COMMON]\r\n" + OtherKeys(kLimit - 1) + "K=v\r\n", "v"},
        FilterCase{"KeysBeyondTheLinePrefix",
                   "[COMMON]\r\n" + kLongLine + "K=hidden\r\n" + "NAME=" + kLongLine + "\r\nK=" + kLongLine + "\r\n",
                   kLongLine.substr(0, IniFile::kMaxValue)}),
    [](const auto& info) { return info.param.name; });

TEST(IniFile, KeepingOnlySomeKeysRefusesToReadOthers)
{
    test::TempDir dir;
    const std::vector<std::string_view> wanted = {"K"};
    IniFile ini(dir.Write("a.ini", "[S]\r\nK=v\r\nX=x\r\n[T]\r\nK=t\r\n"), "S", wanted);
    EXPECT_EQ(ini.ReadString("s", "k", ""), "v");
    EXPECT_THROW(ini.ReadString("S", "X", ""), std::logic_error);
    EXPECT_THROW(ini.ReadString("T", "K", ""), std::logic_error);
}

TEST(IniFile, MissingFileOrFolderReadsAsNoKeys)
{
    test::TempDir dir;
    IniFile missing((dir.Path() / "none.ini").string());
    EXPECT_EQ(missing.ReadString("S", "K", "d"), "d");
    EXPECT_EQ(missing.ReadInteger("S", "K", -1), -1);
    IniFile folder(dir.Path().string());
    EXPECT_EQ(folder.ReadString("S", "K", "d"), "d");
}

TEST(IniFile, ParsesDecimalAndPrefixedHexIntegers)
{
    struct Row {
        const char* text;
        std::optional<std::int32_t> value;
    };
    const Row rows[] = {
        {"0", 0},
        {"42", 42},
        {"-5", -5},
        {"0x1F", 31},
        {"0X1f", 31},
        {"2147483647", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"0xFFFFFFFF", -1},
        {"", std::nullopt},
        {"abc", std::nullopt},
        {"12abc", std::nullopt},
        {"0x", std::nullopt},
        {"0xG", std::nullopt},
        {"2147483648", std::nullopt},
        {"0x100000000", std::nullopt},
        {"1.5", std::nullopt},
        {"--1", std::nullopt},
        {"$1F", std::nullopt},
    };
    for (const auto& r : rows)
        EXPECT_EQ(IniFile::ParseInteger(r.text), r.value) << '"' << r.text << '"';
}

TEST(IniFile, InvalidIntegerReadsAsDefault)
{
    test::TempDir dir;
    IniFile ini(dir.Write("a.ini", "[PARAMS]\r\nBOAD=fast\r\nPORT=0x10\r\n"));
    EXPECT_EQ(ini.ReadInteger("PARAMS", "BOAD", 1000000), 1000000);
    EXPECT_EQ(ini.ReadInteger("PARAMS", "PORT", 0), 16);
}

TEST(IniFile, WriteKeepsEveryOtherKeyAndSection)
{
    test::TempDir dir;
    const auto path = dir.Write("a.ini",
                                "; settings\r\n[Window]\r\nLeft=1\r\nTop=2\r\n\r\n[PARAMS]\r\nBOAD=9600\r\n"
                                "LAST_NAME=/x/y.kvf\r\nport=old\r\n");
    IniFile ini(path);
    ini.WriteInteger("window", "Left", 100);
    ini.WriteString("PARAMS", "PORT", "/dev/ttyUSB0");
    ini.WriteInteger("Window", "Width", 422);
    EXPECT_EQ(ReadAll(path),
              "; settings\r\n[Window]\r\nLeft=100\r\nTop=2\r\nWidth=422\r\n\r\n[PARAMS]\r\nBOAD=9600\r\n"
              "LAST_NAME=/x/y.kvf\r\nPORT=/dev/ttyUSB0\r\n");
    EXPECT_EQ(ini.ReadString("PARAMS", "PORT", ""), "/dev/ttyUSB0");  // a write is seen by the next read
}

TEST(IniFile, WriteCreatesFileAndSections)
{
    test::TempDir dir;
    const auto path = (dir.Path() / "new.ini").string();
    IniFile ini(path);
    ini.WriteInteger("Window", "Left", 5);
    ini.WriteString("PARAMS", "PORT", "");
    EXPECT_EQ(ReadAll(path), "[Window]\nLeft=5\n[PARAMS]\nPORT=\n");
    IniFile again(path);
    EXPECT_EQ(again.ReadInteger("Window", "Left", 0), 5);
    EXPECT_EQ(again.ReadString("PARAMS", "PORT", "d"), "");
}

TEST(IniFile, WriteIntoAMissingFolderFailsWithoutLeavingFiles)
{
    test::TempDir dir;
    IniFile ini((dir.Path() / "no" / "such.ini").string());
    EXPECT_THROW(ini.WriteString("S", "K", "v"), IniError);
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
}

}  // namespace
}  // namespace kt
