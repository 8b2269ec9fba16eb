#include "package/Package.h"

#include "PackageWriter.h"
#include "TestSupport.h"
#include "package/Cp1251.h"
#include "package/IniFile.h"

#include <gtest/gtest.h>

#include <functional>

#include <sstream>

namespace kt {
namespace {

using Lines = std::vector<std::string>;

gen::PackageContent Example()
{
    gen::PackageContent c;
    c.name = "Прошивка М2";
    c.copyright = "(c) ТЕЛВИКС";
    c.support = "Поддержка";
    c.coreVers = "3.0";
    c.coreDate = "01.12.2026";
    c.text = "Основная";
    c.device = 7;
    c.core = gen::PatternBytes(1000, 1);
    c.flash = gen::PatternBytes(1500, 2);
    return c;
}

std::string Text(const gen::PackageContent& c)
{
    std::ostringstream out;
    gen::WritePackage(out, c);
    return out.str();
}

const Lines kDescription = {"  Имя: Прошивка М2", "  Версия: 3.0 от 01.12.2026", "  Назначение: Основная",
                            "  Права: (c) ТЕЛВИКС"};

Lines Concat(std::initializer_list<Lines> parts)
{
    Lines all;
    for (const auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

class OpenPackageTest : public ::testing::Test {
protected:
    bool Open(const std::string& path) { return OpenPackage(path, package, view); }
    std::string Write(const std::string& text) { return dir.Write("update.kvf", text); }

    test::TempDir dir;
    test::RecordingView view;
    KVF_TYPE package;
};

TEST_F(OpenPackageTest, OpensBothImagesAndLogsTheDescription)
{
    const auto c = Example();
    const auto path = Write(Text(c));
    view.progress.SetMax(10);
    view.progress.SetPosition(5);

    ASSERT_TRUE(Open(path));

    EXPECT_EQ(view.log, Concat({{"Открываю файл: " + path},
                                kDescription,
                                {"Загружаю данные прошивки - 1000 байт...", "   Данные загружены успешно.",
                                 "Загружаю медиа данные - 1500 байт...", "   Данные загружены успешно.",
                                 "Файл загружен успешно.", ""}}));
    EXPECT_EQ(view.caption, "KT_FLASH - update.kvf");
    EXPECT_TRUE(view.updateEnabled);
    EXPECT_EQ(view.progress.Position(), view.progress.Min());
    EXPECT_EQ(package.FILE_NAME, path);
    EXPECT_EQ(package.CORE, c.core);
    EXPECT_EQ(package.FLASH, c.flash);
    EXPECT_EQ(package.DEVICE, 7);
    EXPECT_EQ(package.SUPPORT, Utf8ToCp1251("Поддержка"));  // texts keep the file's bytes
}

// `count` junk keys with names of `nameLength` characters, each its own.
std::string JunkKeys(std::size_t count, std::size_t nameLength)
{
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        const std::string number = std::to_string(i);
        text += std::string(nameLength - number.size(), 'j') + number + "=junk\r\n";
    }
    return text;
}

// Built when the case runs, not when the tests are listed: the junk runs to megabytes.
using TextMaker = std::function<std::string()>;

struct JunkCase {
    std::string name;
    TextMaker before;  // lines between "[COMMON]" and the header's keys
    TextMaker after;   // lines between the header's keys and the [CORE] section
    bool opens;
};

std::ostream& operator<<(std::ostream& os, const JunkCase& c)
{
    return os << c.name;
}

class OpenPackageJunk : public OpenPackageTest, public ::testing::WithParamInterface<JunkCase> {};

TEST_P(OpenPackageJunk, LogsAsWithoutTheJunk)
{
    const auto& c = GetParam();
    const auto content = Example();
    std::string text = Text(content);
    text.insert(text.find("\r\n\r\n[CORE]") + 2, c.after());
    text.insert(text.find("\r\n") + 2, c.before());
    const auto path = Write(text);

    EXPECT_EQ(Open(path), c.opens);

    if (c.opens) {
        EXPECT_EQ(view.log, Concat({{"Открываю файл: " + path},
                                    kDescription,
                                    {"Загружаю данные прошивки - 1000 байт...", "   Данные загружены успешно.",
                                     "Загружаю медиа данные - 1500 байт...", "   Данные загружены успешно.",
                                     "Файл загружен успешно.", ""}}));
        EXPECT_EQ(package.DEVICE, content.device);
        EXPECT_EQ(package.SUPPORT, Utf8ToCp1251(content.support));
        EXPECT_EQ(package.CORE, content.core);
        EXPECT_EQ(package.FLASH, content.flash);
    } else {
        EXPECT_EQ(view.log, (Lines{"Открываю файл: " + path, "   Несовместимая версия файла!",
                                   "   Ошибка при чтении файла!", ""}));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OpenPackageJunk,
    ::testing::Values(
        JunkCase{"ManyLongKeysAroundTheHeader", [] { return JunkKeys(30000, 200); },
                 [] { return JunkKeys(70000, 200); }, true},
        JunkCase{"HeaderKeysRepeatedWithOtherValues", [] { return JunkKeys(1000, 50); },
                 [] {
                     return test::CrLf({"version=3", "Support=other", "DEVICE=9", "CORE_SIZE=0"}) + JunkKeys(1000, 50);
                 },
                 true},
        JunkCase{"OtherSectionsWithLinesBeyondAnyLimit", [] { return std::string(); },
                 [] {
                     return test::CrLf({"[JUNK]", std::string(300 * 1024, 'z') + "=v", "[COMMON]", "DEVICE=9",
                                        std::string(300 * 1024, 'z')});
                 },
                 true},
        JunkCase{"HeaderKeysAfterTheKeyLimit", [] { return JunkKeys(IniFile::kMaxKeysPerSection, 20); },
                 [] { return std::string(); }, false}),
    [](const auto& info) { return info.param.name; });

TEST_F(OpenPackageTest, HeaderOnlyPackageOpensWithoutImages)
{
    const auto path = Write(test::CrLf({"[COMMON]", "VERSION=2", "NAME=n", "CORE_VERS=1", "DEVICE=0"}));
    ASSERT_TRUE(Open(path));
    EXPECT_EQ(view.log, (Lines{"Открываю файл: " + path, "  Имя: n", "  Версия: 1 от ",
                               "  Назначение: ", "  Права: ", "Файл загружен успешно.", ""}));
    EXPECT_EQ(package.CORE_SIZE, -1);
    EXPECT_EQ(package.FLASH_SIZE, -1);
    EXPECT_TRUE(package.CORE.empty());
    EXPECT_TRUE(view.updateEnabled);
}

TEST_F(OpenPackageTest, MediaOnlyPackageSkipsTheCoreLines)
{
    auto c = Example();
    c.coreSize = 0;
    const auto path = Write(Text(c));
    ASSERT_TRUE(Open(path));
    EXPECT_EQ(view.log, Concat({{"Открываю файл: " + path},
                                kDescription,
                                {"Загружаю медиа данные - 1500 байт...", "   Данные загружены успешно.",
                                 "Файл загружен успешно.", ""}}));
    EXPECT_TRUE(package.CORE.empty());
}

TEST_F(OpenPackageTest, HeaderReaderIsLenientAboutCaseBlanksAndHex)
{
    const auto path = Write(test::CrLf({"[common]", "version = 2 ", "Core_Vers=\"1.0\"", "device=0x1F"}));
    ASSERT_TRUE(Open(path));
    EXPECT_EQ(package.CORE_VERS, "1.0");
    EXPECT_EQ(package.DEVICE, 31);
}

struct FailCase {
    std::string name;
    std::string file;  // empty: the file does not exist
    Lines tail;        // the log after the "Открываю файл: " line
};

std::ostream& operator<<(std::ostream& os, const FailCase& c)
{
    return os << c.name;
}

class OpenPackageFailure : public OpenPackageTest, public ::testing::WithParamInterface<FailCase> {};

TEST_P(OpenPackageFailure, LogsExactlyAndLeavesUpdateDisabled)
{
    const auto& c = GetParam();
    const std::string path = c.file.empty() ? (dir.Path() / "missing.kvf").string() : Write(c.file);
    view.updateEnabled = true;

    EXPECT_FALSE(Open(path));

    EXPECT_EQ(view.log, Concat({{"Открываю файл: " + path}, c.tail}));
    EXPECT_FALSE(view.updateEnabled);
    EXPECT_EQ(view.caption, "KT_FLASH V.3.0");
}

Lines Header(std::initializer_list<std::string> keys)
{
    Lines lines{"[COMMON]"};
    lines.insert(lines.end(), keys);
    return lines;
}

const Lines kVersionFailure = {"   Несовместимая версия файла!", "   Ошибка при чтении файла!", ""};
const Lines kHeaderFailure = {"   Ошибка при чтении файла!", ""};
const Lines kDescriptionN = {"  Имя: ", "  Версия: 1 от ", "  Назначение: ", "  Права: "};

std::string WithKeys(std::initializer_list<std::string> keys, const Lines& rest = {})
{
    auto lines = Header(keys);
    lines.insert(lines.end(), rest.begin(), rest.end());
    return test::CrLf(lines);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OpenPackageFailure,
    ::testing::Values(
        FailCase{"FileDoesNotExist", "", kVersionFailure},
        FailCase{"VersionMissing", WithKeys({"CORE_VERS=1", "DEVICE=0"}), kVersionFailure},
        FailCase{"VersionWithLeadingZero", WithKeys({"VERSION=02", "CORE_VERS=1", "DEVICE=0"}), kVersionFailure},
        FailCase{"VersionTwoPointZero", WithKeys({"VERSION=2.0", "CORE_VERS=1", "DEVICE=0"}), kVersionFailure},
        FailCase{"CoreVersionOnlyBlanks", WithKeys({"VERSION=2", "CORE_VERS=   ", "DEVICE=0"}), kHeaderFailure},
        FailCase{"DeviceMissing", WithKeys({"VERSION=2", "CORE_VERS=1"}), kHeaderFailure},
        FailCase{"DeviceNotANumber", WithKeys({"VERSION=2", "CORE_VERS=1", "DEVICE=M2"}), kHeaderFailure},
        FailCase{"DeviceNegative", WithKeys({"VERSION=2", "CORE_VERS=1", "DEVICE=-1"}), kHeaderFailure},
        FailCase{"CoreRecordWithBadChecksum",
                 WithKeys({"VERSION=2", "CORE_VERS=1", "DEVICE=0", "CORE_SIZE=16"}, {"[CORE]", ":0100000001FF"}),
                 Concat({kDescriptionN,
                         {"Загружаю данные прошивки - 16 байт...", "  Ошибка CRC в строке 7",
                          "   ОШИБКА! Не могу загрузить данные.", ""}})},
        FailCase{"MediaHeaderInLowerCase",
                 WithKeys({"VERSION=2", "CORE_VERS=1", "DEVICE=0", "FLASH_SIZE=16"}, {"[flash]", ":00000001FF"}),
                 Concat({kDescriptionN,
                         {"Загружаю медиа данные - 16 байт...", "   Ошибка! Непредвиденный конец файла.",
                          "   ОШИБКА! Не могу загрузить данные.", ""}})},
        FailCase{
            "CoreSizeBeyondAnyController", WithKeys({"VERSION=2", "CORE_VERS=1", "DEVICE=0", "CORE_SIZE=0x7FFFFFFF"}),
            Concat({kDescriptionN,
                    {"Загружаю данные прошивки - 2147483647 байт...", "   ОШИБКА! Не могу загрузить данные.", ""}})},
        FailCase{"MediaSizeBeyondSixteenBitBlockNumbers",
                 WithKeys({"VERSION=2", "CORE_VERS=1", "DEVICE=0", "FLASH_SIZE=33554433"}),
                 Concat({kDescriptionN,
                         {"Загружаю медиа данные - 33554433 байт...", "   ОШИБКА! Не могу загрузить данные.", ""}})}),
    [](const auto& info) { return info.param.name; });

TEST_F(OpenPackageTest, FailedOpenDiscardsThePreviousPackage)
{
    ASSERT_TRUE(Open(Write(Text(Example()))));
    ASSERT_FALSE(package.CORE.empty());
    const auto bad = dir.Write("bad.kvf", WithKeys({"VERSION=2", "NAME=new", "CORE_VERS=", "DEVICE=0"}));

    EXPECT_FALSE(Open(bad));

    EXPECT_EQ(view.log.front(), "Открываю файл: " + bad);  // the log was cleared first
    EXPECT_EQ(view.clears, 2);
    EXPECT_TRUE(package.CORE.empty());
    EXPECT_TRUE(package.FLASH.empty());
    EXPECT_FALSE(view.updateEnabled);
    EXPECT_EQ(package.FILE_NAME, "");                          // cleared once the new reader was made
    EXPECT_EQ(package.NAME, "new");                            // read before the failure
    EXPECT_EQ(package.CORE_DATE, Utf8ToCp1251("01.12.2026"));  // not reached: the previous package's
}

TEST_F(OpenPackageTest, FailedCoreLoadKeepsWhatWasLoaded)
{
    const auto path = Write(WithKeys({"VERSION=2", "CORE_VERS=1", "DEVICE=0", "CORE_SIZE=8", "FLASH_SIZE=8"},
                                     {"[CORE]", gen::HexRecord(0, 0, {1, 2}), gen::HexRecord(0, 7, {3, 4})}));
    EXPECT_FALSE(Open(path));
    EXPECT_EQ(package.FILE_NAME, path);
    EXPECT_EQ(package.CORE, (Bytes{1, 2, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_TRUE(package.FLASH.empty());
    EXPECT_EQ(view.log[view.log.size() - 3], "   Ошибка адреса 7 в строке 9");
}

TEST(Cp1251, DecodesCyrillicAndRoundTrips)
{
    EXPECT_EQ(Cp1251ToUtf8("\xD2\xC5\xCB\xC2\xC8\xCA\xD1 \xB8\xA8\xB9"), "ТЕЛВИКС ёЁ№");
    EXPECT_EQ(Cp1251ToUtf8("\x98"), "\xEF\xBF\xBD");
    EXPECT_EQ(Utf8ToCp1251("Привет, мир — €"), "\xCF\xF0\xE8\xE2\xE5\xF2, \xEC\xE8\xF0 \x97 \x88");
    EXPECT_EQ(Utf8ToCp1251("日本"), "??");
    std::string all;
    for (int b = 0; b < 256; ++b)
        if (b != 0x98)
            all += static_cast<char>(b);
    EXPECT_EQ(Utf8ToCp1251(Cp1251ToUtf8(all)), all);
}

}  // namespace
}  // namespace kt
