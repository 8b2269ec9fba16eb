#include "package/HexSection.h"

#include "codec/HexCodec.h"
#include "package/LineReader.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace kt {
namespace {

// A record line holds at most 11 + 2 * 255 characters that are examined;
// keeping a little more still tells a longer line from an exact match.
constexpr std::size_t kKeptPerLine = 600;
// A record's address and an extended address are 16-bit words: four digits.
constexpr std::size_t kWordDigits = 4;
constexpr int kHexBase = 16;

// The pairs of a record are read by the unchecked rule of HexPairValue, not by
// the codec: a character that is no digit still counts towards the checksum.
constexpr std::array<std::uint8_t, 256> MakeNibbles()
{
    std::array<std::uint8_t, 256> table{};
    for (int c = 0; c < 256; ++c)
        table[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c >= 0x41 ? c - 0x37 : c - 0x30);
    return table;
}
constexpr auto kNibble = MakeNibbles();

std::uint8_t PairAt(std::string_view line, std::size_t position)  // position counted from 1
{
    return HexPairValue(line[position - 1], line[position]);
}

}  // namespace

std::uint8_t HexPairValue(char high, char low)
{
    const auto hi = kNibble[static_cast<unsigned char>(high)];
    const auto lo = kNibble[static_cast<unsigned char>(low)];
    return static_cast<std::uint8_t>((hi << 4) | lo);
}

int HexWordValue(std::string_view line, std::size_t position)
{
    if (position < 1 || position > line.size())
        throw HexConversionError("no hexadecimal digits");
    const auto digits = line.substr(position - 1, kWordDigits);
    int value = 0;
    for (char c : digits) {
        const int digit = HexDigitValue(c);
        if (digit < 0)
            throw HexConversionError("not a hexadecimal number");
        value = value * kHexBase + digit;
    }
    return value;
}

bool LoadHexSection(const std::string& fileName, std::string_view section, Bytes& image, FormView& view)
{
    std::fill(image.begin(), image.end(), std::uint8_t{0xFF});
    const std::uint64_t size = image.size();
    ProgressBar& progress = view.Progress();
    progress.SetToMin();
    progress.SetMax(static_cast<int>(std::min<std::uint64_t>(size, INT32_MAX)));

    LineReader reader(fileName, kKeptPerLine, true);
    if (!reader.IsOpen()) {
        view.AddLog("  ОШИБКА! Не могу открыть файл!");
        return false;
    }

    const std::string header = "[" + std::string(section) + "]";
    long long lineNo = 0;
    TextLine line;
    while (!reader.AtEnd()) {
        if (reader.Read(line) == LineReader::Status::Error) {
            view.AddLog("  ОШИБКА! Ошибка чтения данных!");
            return false;
        }
        ++lineNo;
        if (line.Equals(header))
            break;
    }

    std::uint32_t base = 0;
    while (!reader.AtEnd()) {
        if (reader.Read(line) == LineReader::Status::Error) {
            view.AddLog("  ОШИБКА! Ошибка чтения данных!");
            return false;
        }
        ++lineNo;
        if (line.length < 11)
            continue;
        if (line.Equals(":00000001FF"))
            return true;
        const std::string_view text = line.text;
        if (text[0] != ':')
            continue;

        const std::size_t count = PairAt(text, 2);
        // A line too short for its byte count cannot carry its checksum.
        if (line.length < 11 + 2 * count) {
            view.AddLog("  Ошибка CRC в строке " + std::to_string(lineNo));
            return false;
        }
        unsigned sum = 0;
        for (std::size_t i = 0; i < count + 5; ++i)
            sum += PairAt(text, 2 + 2 * i);
        if ((sum & 0xFF) != 0) {
            view.AddLog("  Ошибка CRC в строке " + std::to_string(lineNo));
            return false;
        }

        try {
            const auto address = static_cast<std::uint32_t>(HexWordValue(text, 4));
            const std::uint8_t type = PairAt(text, 8);
            switch (type) {
            case 0x00: {
                const std::uint32_t start = base + address;  // at most 0xFFFF0000 + 0xFFFF
                if (std::uint64_t{start} + count > size) {
                    char hex[16];
                    std::snprintf(hex, sizeof hex, "%X", static_cast<unsigned>(start));
                    view.AddLog("   Ошибка адреса " + std::string(hex) + " в строке " + std::to_string(lineNo));
                    return false;
                }
                for (std::size_t i = 0; i < count; ++i)
                    image[start + i] = PairAt(text, 10 + 2 * i);
                if (start % 1024 == 0)
                    progress.StepBy(1024);
                break;
            }
            case 0x02:
            case 0x04:
                if (count != 2) {
                    view.AddLog("   Ошибка длины данных в строке " + std::to_string(lineNo));
                    return false;
                }
                base = static_cast<std::uint32_t>(HexWordValue(text, 10)) * (type == 0x02 ? 16u : 65536u);
                break;
            default:
                view.AddLog("   Ошибка типа данных в строке " + std::to_string(lineNo));
                return false;
            }
        } catch (const HexConversionError&) {
            view.AddLog("  Ошибка в HEX данных строки " + std::to_string(lineNo));
            return false;
        }
    }
    view.AddLog("   Ошибка! Непредвиденный конец файла.");
    return false;
}

}  // namespace kt
