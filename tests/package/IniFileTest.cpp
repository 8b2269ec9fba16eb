#include "package/IniFile.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

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
    ::testing::Values(
        ReadCase{"Plain", "[S]\r\nK=v\r\n", "S", "K", "v"},
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
        {"0", 0},           {"42", 42},       {"-5", -5},          {"0x1F", 31},         {"0X1f", 31},
        {"2147483647", INT32_MAX}, {"-2147483648", INT32_MIN}, {"0xFFFFFFFF", -1},
        {"", std::nullopt}, {"abc", std::nullopt}, {"12abc", std::nullopt}, {"0x", std::nullopt},
        {"0xG", std::nullopt}, {"2147483648", std::nullopt}, {"0x100000000", std::nullopt},
        {"1.5", std::nullopt}, {"--1", std::nullopt}, {"$1F", std::nullopt},
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
