#include "package/HexSection.h"

#include "PackageWriter.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>

namespace kt {
namespace {

using gen::HexRecord;
using test::CrLf;

std::string Data(std::uint16_t address, const Bytes& bytes)
{
    return HexRecord(0x00, address, bytes);
}

TEST(HexPairValue, FollowsTheUncheckedCharacterRule)
{
    struct Row {
        char high, low;
        std::uint8_t expected;
    };
    const Row rows[] = {
        {'0', '0', 0x00},
        {'F', 'F', 0xFF},
        {'A', '5', 0xA5},
        {'9', 'C', 0x9C},
        // A lower-case first digit loses its extra 0x20 in the shift; a second one keeps it as bit 5.
        {'f', '0', 0xF0},
        {'0', 'f', 0x2F},
        {'a', 'a', 0xAA},
        // Anything else gives what the rule yields.
        {'G', '0', 0x00},
        {'0', 'G', 0x10},
        {' ', ' ', 0xF0},
    };
    for (const auto& r : rows)
        EXPECT_EQ(HexPairValue(r.high, r.low), r.expected) << r.high << r.low;
}

TEST(HexWordValue, ReadsUpToFourHexDigitsOfEitherCase)
{
    EXPECT_EQ(HexWordValue(":10ABcd00", 4), 0xABCD);
    EXPECT_EQ(HexWordValue(":1000", 4), 0x00);  // fewer than four characters left
    EXPECT_EQ(HexWordValue("xx1F", 3), 0x1F);
    EXPECT_THROW(HexWordValue(":0000G000", 4), HexConversionError);
    EXPECT_THROW(HexWordValue(":00", 4), HexConversionError);  // no characters at all
    EXPECT_THROW(HexWordValue(":00 12", 4), HexConversionError);
}

struct LoadCase {
    std::string name;
    std::string file;  // whole file contents
    std::size_t size;
    bool ok;
    std::optional<std::string> line;                        // the one log line of a failure
    std::vector<std::pair<std::size_t, Bytes>> bytes = {};  // image contents expected at offsets
};

std::ostream& operator<<(std::ostream& os, const LoadCase& c)
{
    return os << c.name;
}

class LoadHexSectionTest : public ::testing::TestWithParam<LoadCase> {};

TEST_P(LoadHexSectionTest, LoadsOrReportsExactly)
{
    const LoadCase& c = GetParam();
    test::TempDir dir;
    const auto path = dir.Write("p.kvf", c.file);
    test::RecordingView view;
    Bytes image(c.size, 0x00);

    EXPECT_EQ(LoadHexSection(path, "CORE", image, view), c.ok);

    if (c.line)
        EXPECT_EQ(view.log, std::vector<std::string>{*c.line});
    else
        EXPECT_TRUE(view.log.empty());
    ASSERT_EQ(image.size(), c.size);
    std::vector<bool> expected(c.size, false);
    for (const auto& [offset, bytes] : c.bytes) {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            ASSERT_LT(offset + i, c.size);
            EXPECT_EQ(image[offset + i], bytes[i]) << "offset " << offset + i;
            expected[offset + i] = true;
        }
    }
    for (std::size_t i = 0; i < c.size; ++i)
        if (!expected[i])
            ASSERT_EQ(image[i], 0xFF) << "offset " << i << " should be untouched";
}

const std::string kEnd = ":00000001FF";

INSTANTIATE_TEST_SUITE_P(
    Cases, LoadHexSectionTest,
    ::testing::Values(
        LoadCase{"DataRecordsAtTheirOffsets",
                 CrLf({"[COMMON]", "VERSION=2", "[CORE]", Data(0, {1, 2, 3}), Data(0x10, {4}), kEnd}),
                 32,
                 true,
                 std::nullopt,
                 {{0, {1, 2, 3}}, {0x10, {4}}}},
        LoadCase{"ClassicRecordWithKnownChecksum",
                 CrLf({"[CORE]", ":10010000214601360121470136007EFE09D2190140", kEnd}),
                 0x110,
                 true,
                 std::nullopt,
                 {{0x100,
                   {0x21, 0x46, 0x01, 0x36, 0x01, 0x21, 0x47, 0x01, 0x36, 0x00, 0x7E, 0xFE, 0x09, 0xD2, 0x19, 0x01}}}},
        LoadCase{"MissingSectionHeader", CrLf({"[FLASH]", Data(0, {1}), kEnd}), 8, false,
                 "   Ошибка! Непредвиденный конец файла."},
        LoadCase{"HeaderInAnotherCase", CrLf({"[core]", Data(0, {1}), kEnd}), 8, false,
                 "   Ошибка! Непредвиденный конец файла."},
        LoadCase{"HeaderWithABlank", CrLf({"[CORE] ", Data(0, {1}), kEnd}), 8, false,
                 "   Ошибка! Непредвиденный конец файла."},
        LoadCase{"EmptyFile", "", 8, false, "   Ошибка! Непредвиденный конец файла."},
        LoadCase{"NoEndRecordRunsIntoTheNextSection",
                 CrLf({"[CORE]", Data(0, {1}), "", "[FLASH]", Data(4, {2}), kEnd}),
                 8,
                 true,
                 std::nullopt,
                 {{0, {1}}, {4, {2}}}},
        LoadCase{"NoEndRecordAndTheNextSectionDoesNotFit",
                 CrLf({"[CORE]", Data(0, {1}), "[FLASH]", Data(0x20, {2}), kEnd}),
                 8,
                 false,
                 "   Ошибка адреса 20 в строке 4",
                 {{0, {1}}}},
        LoadCase{"LowerCaseEndRecordIsTypeOne", CrLf({"[CORE]", ":00000001ff"}), 8, false,
                 "   Ошибка типа данных в строке 2"},
        LoadCase{"EndRecordWithTrailingBlank", CrLf({"[CORE]", ":00000001FF "}), 8, false,
                 "   Ошибка типа данных в строке 2"},
        LoadCase{"ShortAndForeignLinesAreSkippedButCounted",
                 CrLf({"x", "[CORE]", "", ":0000", "; a comment line", "abcdefghijklmn", ":0400000001020304F1"}), 8,
                 false, "  Ошибка CRC в строке 7"},
        LoadCase{"LastByteOfImageFits", CrLf({"[CORE]", Data(6, {1, 2}), kEnd}), 8, true, std::nullopt, {{6, {1, 2}}}},
        LoadCase{"OneByteBeyondTheImage",
                 CrLf({"[CORE]", Data(0, {9}), Data(7, {1, 2}), kEnd}),
                 8,
                 false,
                 "   Ошибка адреса 7 в строке 3",
                 {{0, {9}}}},
        LoadCase{"LinearBaseAddsSixtyFourKiB", CrLf({"[CORE]", HexRecord(0x04, 0, {0x00, 0x01}), Data(0, {1}), kEnd}),
                 0x10000, false, "   Ошибка адреса 10000 в строке 3"},
        LoadCase{"LinearBaseWithinTheImage",
                 CrLf({"[CORE]", HexRecord(0x04, 0, {0x00, 0x01}), Data(2, {7}), kEnd}),
                 0x10004,
                 true,
                 std::nullopt,
                 {{0x10002, {7}}}},
        LoadCase{"SegmentBaseIsTimesSixteen",
                 CrLf({"[CORE]", HexRecord(0x02, 0, {0x01, 0x00}), Data(1, {5}), kEnd}),
                 0x1002,
                 true,
                 std::nullopt,
                 {{0x1001, {5}}}},
        LoadCase{"BaseRecordWithWrongLength", CrLf({"[CORE]", HexRecord(0x04, 0, {0x00}), kEnd}), 8, false,
                 "   Ошибка длины данных в строке 2"},
        LoadCase{"UnknownRecordType", CrLf({"[CORE]", HexRecord(0x03, 0, {0, 0, 0, 0}), kEnd}), 8, false,
                 "   Ошибка типа данных в строке 2"},
        LoadCase{"AddressFieldNotHex", CrLf({"[CORE]", ":0000G00000", kEnd}), 8, false,
                 "  Ошибка в HEX данных строки 2"},
        LoadCase{"BadChecksum", CrLf({"[CORE]", ":0100000001FF", kEnd}), 8, false, "  Ошибка CRC в строке 2"},
        LoadCase{"LineShorterThanItsByteCount", CrLf({"[CORE]", ":1000000001020304", kEnd}), 8, false,
                 "  Ошибка CRC в строке 2"},
        LoadCase{"LaterRecordWins",
                 CrLf({"[CORE]", Data(0, {1, 2}), Data(1, {9}), kEnd}),
                 4,
                 true,
                 std::nullopt,
                 {{0, {1, 9}}}},
        LoadCase{"BareLfAndBareCrEndLines",
                 "[CORE]\n" + Data(0, {1}) + "\r" + Data(1, {2}) + "\n\n" + kEnd,
                 4,
                 true,
                 std::nullopt,
                 {{0, {1, 2}}}},
        LoadCase{"CtrlZEndsTheFile",
                 CrLf({"[CORE]", Data(0, {1})}) + "\x1a" + CrLf({kEnd}),
                 4,
                 false,
                 "   Ошибка! Непредвиденный конец файла.",
                 {{0, {1}}}},
        LoadCase{
            "EndRecordWithoutLineEnd", "[CORE]\r\n" + Data(0, {3}) + "\r\n" + kEnd, 4, true, std::nullopt, {{0, {3}}}},
        LoadCase{"HugeLineIsSkippedWithoutHarm",
                 CrLf({"[CORE]", std::string(3'000'000, 'x'), Data(0, {4}), kEnd}),
                 4,
                 true,
                 std::nullopt,
                 {{0, {4}}}},
        LoadCase{"HugeRecordLineIsCheckedOnItsFirstCharacters",
                 CrLf({"[CORE]", ":00000000" + std::string(3'000'000, '0'), Data(0, {4}), kEnd}),
                 4,
                 true,
                 std::nullopt,
                 {{0, {4}}}}),
    [](const auto& info) { return info.param.name; });

TEST(LoadHexSection, ReportsAFileThatCannotBeOpened)
{
    test::TempDir dir;
    test::RecordingView view;
    Bytes image(4, 0);
    EXPECT_FALSE(LoadHexSection((dir.Path() / "missing.kvf").string(), "CORE", image, view));
    EXPECT_FALSE(LoadHexSection(dir.Path().string(), "CORE", image, view));  // a folder
    EXPECT_EQ(view.log,
              (std::vector<std::string>{"  ОШИБКА! Не могу открыть файл!", "  ОШИБКА! Не могу открыть файл!"}));
    EXPECT_EQ(image, Bytes(4, 0xFF));
}

TEST(LoadHexSection, ProgressAdvancesPerKiBAndReachesTheImageSize)
{
    test::TempDir dir;
    std::string text = "[CORE]\r\n";
    for (std::uint32_t a = 0; a < 0x10000; a += 16)
        text += Data(static_cast<std::uint16_t>(a), Bytes(16, 0x5A)) + "\r\n";
    text += kEnd + "\r\n";
    const auto path = dir.Write("p.kvf", text);
    test::RecordingView view;
    int steps = 0;
    view.progress.OnChange([&](const ProgressBar&) { ++steps; });
    Bytes image(0x10000);

    ASSERT_TRUE(LoadHexSection(path, "CORE", image, view));
    EXPECT_EQ(view.progress.Max(), 0x10000);
    EXPECT_EQ(view.progress.Position(), 0x10000);
    EXPECT_EQ(steps, 2 + 64);  // reset, range, then one step per KiB
    EXPECT_EQ(image, Bytes(0x10000, 0x5A));
}

TEST(LoadHexSection, EmptyDataRecordStillAdvancesProgress)
{
    test::TempDir dir;
    const auto path = dir.Write("p.kvf", CrLf({"[CORE]", Data(0, {}), Data(0x400, {}), kEnd}));
    test::RecordingView view;
    Bytes image(0x800, 0);
    ASSERT_TRUE(LoadHexSection(path, "CORE", image, view));
    EXPECT_EQ(view.progress.Position(), 0x800);
    EXPECT_EQ(image, Bytes(0x800, 0xFF));
}

// The loading rules written out plainly over the whole file in memory: the
// oracle for the loader, which reads most records in place in its buffer and
// the rest line by line.
struct Loaded {
    bool ok = false;
    std::vector<std::string> log;
    Bytes image;
    int progress = 0;

    bool operator==(const Loaded&) const = default;
};

Loaded LoadPlainly(std::string file, std::string_view section, std::size_t size)
{
    Loaded r;
    r.image.assign(size, 0xFF);
    file = file.substr(0, file.find('\x1a'));
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < file.size();) {
        const std::size_t eol = std::min(file.find_first_of("\r\n", i), file.size());
        lines.push_back(file.substr(i, eol - i));
        i = eol + (file.compare(eol, 2, "\r\n") == 0 ? 2 : 1);
    }
    auto fail = [&](const std::string& text, std::size_t index) {
        r.log.push_back(text + std::to_string(index + 1));
        return r;
    };
    const std::string header = "[" + std::string(section) + "]";
    std::size_t n = 0;
    while (n < lines.size() && lines[n++] != header) {
    }
    std::uint32_t base = 0;
    for (; n < lines.size(); ++n) {
        const std::string& line = lines[n];
        if (line.size() < 11 || line[0] != ':')
            continue;
        if (line == kEnd) {
            r.ok = true;
            return r;
        }
        auto pair = [&](std::size_t i) { return HexPairValue(line[1 + 2 * i], line[2 + 2 * i]); };
        const std::size_t count = pair(0);
        if (line.size() < 11 + 2 * count)
            return fail("  Ошибка CRC в строке ", n);
        unsigned sum = 0;
        for (std::size_t i = 0; i < count + 5; ++i)
            sum += pair(i);
        if (sum % 256 != 0)
            return fail("  Ошибка CRC в строке ", n);
        auto word = [&](std::size_t at) -> std::optional<std::uint32_t> {
            const std::string digits = line.substr(at, 4);
            if (digits.find_first_not_of("0123456789ABCDEFabcdef") != std::string::npos)
                return std::nullopt;
            return static_cast<std::uint32_t>(std::stoul(digits, nullptr, 16));
        };
        const auto address = word(3);
        if (!address)
            return fail("  Ошибка в HEX данных строки ", n);
        const std::uint8_t type = pair(3);
        if (type == 0) {
            const std::uint32_t start = base + *address;
            if (std::uint64_t{start} + count > size) {
                char hex[16];
                std::snprintf(hex, sizeof hex, "%X", static_cast<unsigned>(start));
                return fail("   Ошибка адреса " + std::string(hex) + " в строке ", n);
            }
            for (std::size_t i = 0; i < count; ++i)
                r.image[start + i] = pair(4 + i);
            if (start % 1024 == 0)
                r.progress = std::min<int>(r.progress + 1024, static_cast<int>(size));
        } else if (type == 2 || type == 4) {
            if (count != 2)
                return fail("   Ошибка длины данных в строке ", n);
            const auto segment = word(9);
            if (!segment)
                return fail("  Ошибка в HEX данных строки ", n);
            base = *segment * (type == 2 ? 16u : 65536u);
        } else {
            return fail("   Ошибка типа данных в строке ", n);
        }
    }
    r.log.push_back("   Ошибка! Непредвиденный конец файла.");
    return r;
}

Loaded LoadFromFile(const test::TempDir& dir, const std::string& file, std::size_t size)
{
    const auto path = dir.Write("p.kvf", file);
    test::RecordingView view;
    Loaded r;
    r.image.assign(size, 0x00);
    r.ok = LoadHexSection(path, "FLASH", r.image, view);
    r.log = view.log;
    r.progress = view.progress.Position();
    return r;
}

// Packages of about 300 KiB, so that lines straddle the reader's 256 KiB
// buffer, with records of several lengths, the three line ends, extended
// addresses, and then a few characters changed, dropped, added or put in lower
// case: near the buffer's edge in half the files, anywhere in the rest. The
// loader must give exactly what the plain rules give, failure line and all.
TEST(LoadHexSection, ReadsExactlyAsThePlainRulesOnDamagedFiles)
{
    constexpr std::size_t kImage = 0x30000;
    constexpr std::size_t kBufferEdge = 256 * 1024;
    std::mt19937 random(20261211);
    auto below = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };

    std::string clean = "[COMMON]\r\nVERSION=2\r\n[CORE]\r\n" + Data(0, {1, 2}) + "\r\n" + kEnd + "\r\n[FLASH]\r\n";
    const char* const ends[] = {"\r\n", "\n", "\r"};
    std::uint32_t address = 0;
    while (address + 64 <= kImage - 0x100) {
        if (address % 0x10000 == 0)
            clean += HexRecord(0x04, 0, {0x00, static_cast<std::uint8_t>(address >> 16)}) + "\r\n";
        const std::size_t count = std::size_t{1} << below(6);  // 1 to 32 bytes
        Bytes bytes(count);
        for (auto& b : bytes)
            b = static_cast<std::uint8_t>(random());
        clean += Data(static_cast<std::uint16_t>(address), bytes) + ends[below(8) == 0 ? 1 + below(2) : 0];
        address += static_cast<std::uint32_t>(count);
    }
    clean += kEnd + "\r\n";
    ASSERT_GT(clean.size(), kBufferEdge + 4096);

    test::TempDir dir;
    const Loaded whole = LoadFromFile(dir, clean, kImage);
    ASSERT_TRUE(whole.ok) << (whole.log.empty() ? "" : whole.log[0]);
    ASSERT_EQ(whole, LoadPlainly(clean, "FLASH", kImage));

    const std::string replacements = "0F9Aaf:G \r\n\x1a";
    int failures = 0;
    for (int round = 0; round < 120; ++round) {
        std::string file = clean;
        const int changes = 1 + static_cast<int>(below(3));
        for (int c = 0; c < changes; ++c) {
            const std::size_t at = round % 2 == 0 ? kBufferEdge - 64 + below(128) : below(file.size());
            const char ch = replacements[below(replacements.size())];
            switch (below(4)) {
            case 0:
                file[at] = ch;
                break;
            case 1:
                file.erase(at, 1);
                break;
            case 2:  // the same digit in lower case, which the rules read otherwise
                if (const auto letter = file.find_first_of("ABCDEF", at); letter != std::string::npos)
                    file[letter] = static_cast<char>(file[letter] + ('a' - 'A'));
                break;
            default:
                file.insert(at, 1, ch);
            }
        }
        const Loaded expected = LoadPlainly(file, "FLASH", kImage);
        failures += expected.ok ? 0 : 1;
        const Loaded loaded = LoadFromFile(dir, file, kImage);
        ASSERT_EQ(loaded.ok, expected.ok) << "round " << round;
        ASSERT_EQ(loaded.log, expected.log) << "round " << round;
        ASSERT_EQ(loaded.progress, expected.progress) << "round " << round;
        ASSERT_TRUE(loaded.image == expected.image) << "round " << round;
    }
    // The damage must reach the failure lines, not only harmless places.
    EXPECT_GT(failures, 30);
}

}  // namespace
}  // namespace kt
