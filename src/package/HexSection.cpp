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

namespace {

// The digits of a record as they nearly always are: 0-9 and A-F have their
// value, every other character is flagged with kNotPlain.
constexpr std::uint8_t kNotPlain = 0x10;
constexpr std::array<std::uint8_t, 256> MakePlainDigits()
{
    std::array<std::uint8_t, 256> table{};
    for (int c = 0; c < 256; ++c) {
        const int value = HexDigitValue(static_cast<char>(c));
        const bool plain = value >= 0 && !(c >= 'a' && c <= 'f');
        table[static_cast<std::size_t>(c)] = plain ? static_cast<std::uint8_t>(value) : kNotPlain;
    }
    return table;
}
constexpr auto kPlainDigit = MakePlainDigits();

constexpr std::size_t kMaxPairs = 255 + 5;  // byte count, address, type, data, checksum
constexpr std::string_view kEndRecord = ":00000001FF";

// A whole record line at the start of `buffered` that holds nothing but ':',
// upper-case digits, exactly as many as its byte count asks for, and then a CR
// or an LF. Returns the line's length and its pairs' values in `pairs`; 0 when
// the line is anything else, which the general rules then read. For such a
// line both ways read the same values.
std::size_t PlainRecord(std::string_view buffered, std::array<std::uint8_t, kMaxPairs>& pairs)
{
    if (buffered.size() < 12 || buffered[0] != ':')
        return 0;
    auto digit = [&](std::size_t i) { return kPlainDigit[static_cast<unsigned char>(buffered[i])]; };
    const std::uint8_t countHigh = digit(1);
    const std::uint8_t countLow = digit(2);
    if (((countHigh | countLow) & kNotPlain) != 0)
        return 0;
    const std::size_t count = countHigh * 16u + countLow;
    const std::size_t length = 11 + 2 * count;
    if (buffered.size() <= length || !IsLineEnd(buffered[length]))
        return 0;
    unsigned notPlain = 0;
    for (std::size_t i = 0; i < count + 5; ++i) {
        const std::uint8_t high = digit(1 + 2 * i);
        const std::uint8_t low = digit(2 + 2 * i);
        notPlain |= high | low;
        pairs[i] = static_cast<std::uint8_t>((high << 4) | low);
    }
    return (notPlain & kNotPlain) != 0 ? 0 : length;
}

// Applies the records of one section to an image, counting lines for the
// failure lines.
class SectionLoader {
public:
    enum class Step { Next, Done, Failed };

    SectionLoader(Bytes& image, FormView& view) : image_(image), view_(view), progress_(view.Progress()) {}

    long long lineNo = 0;

    // A line of the section, read by the general rules: anything goes.
    Step Line(const TextLine& line)
    {
        if (line.length < 11)
            return Step::Next;
        if (line.Equals(kEndRecord))
            return Step::Done;
        const std::string_view text = line.text;
        if (text[0] != ':')
            return Step::Next;
        const std::size_t count = PairAt(text, 2);
        // A line too short for its byte count cannot carry its checksum.
        if (line.length < 11 + 2 * count)
            return Fail("  Ошибка CRC в строке ");
        for (std::size_t i = 0; i < count + 5; ++i)
            pairs_[i] = PairAt(text, 2 + 2 * i);
        return Record(text, false);
    }

    // Takes a plain record from the start of `buffered` when there is one;
    // `length` is then its line's length, 0 otherwise.
    Step PlainLine(std::string_view buffered, std::size_t& length)
    {
        length = PlainRecord(buffered, pairs_);
        if (length == 0)
            return Step::Next;
        ++lineNo;
        const std::string_view text = buffered.substr(0, length);
        if (text == kEndRecord)
            return Step::Done;
        return Record(text, true);
    }

private:
    // The record whose count + 5 pair values are in pairs_; with `plain` every
    // one of its characters is an upper-case digit.
    Step Record(std::string_view text, bool plain)
    {
        const std::size_t count = pairs_[0];
        unsigned sum = 0;
        for (std::size_t i = 0; i < count + 5; ++i)
            sum += pairs_[i];
        if ((sum & 0xFF) != 0)
            return Fail("  Ошибка CRC в строке ");

        try {
            const auto address =
                static_cast<std::uint32_t>(plain ? pairs_[1] * 256u + pairs_[2] : HexWordValue(text, 4));
            const std::uint8_t type = pairs_[3];
            switch (type) {
            case 0x00: {
                const std::uint32_t start = base_ + address;  // at most 0xFFFF0000 + 0xFFFF
                if (std::uint64_t{start} + count > image_.size()) {
                    char hex[16];
                    std::snprintf(hex, sizeof hex, "%X", static_cast<unsigned>(start));
                    return Fail("   Ошибка адреса " + std::string(hex) + " в строке ");
                }
                std::copy_n(pairs_.begin() + 4, count, image_.begin() + start);
                if (start % 1024 == 0)
                    progress_.StepBy(1024);
                return Step::Next;
            }
            case 0x02:
            case 0x04: {
                if (count != 2)
                    return Fail("   Ошибка длины данных в строке ");
                const auto segment =
                    static_cast<std::uint32_t>(plain ? pairs_[4] * 256u + pairs_[5] : HexWordValue(text, 10));
                base_ = segment * (type == 0x02 ? 16u : 65536u);
                return Step::Next;
            }
            default:
                return Fail("   Ошибка типа данных в строке ");
            }
        } catch (const HexConversionError&) {
            return Fail("  Ошибка в HEX данных строки ");
        }
    }

    Step Fail(const std::string& text)
    {
        view_.AddLog(text + std::to_string(lineNo));
        return Step::Failed;
    }

    Bytes& image_;
    FormView& view_;
    ProgressBar& progress_;
    std::uint32_t base_ = 0;
    std::array<std::uint8_t, kMaxPairs> pairs_{};
};

}  // namespace

bool LoadHexSection(const std::string& fileName, std::string_view section, Bytes& image, FormView& view)
{
    std::fill(image.begin(), image.end(), std::uint8_t{0xFF});
    ProgressBar& progress = view.Progress();
    progress.SetToMin();
    progress.SetMax(static_cast<int>(std::min<std::uint64_t>(image.size(), INT32_MAX)));

    LineReader reader(fileName, kKeptPerLine, true);
    if (!reader.IsOpen()) {
        view.AddLog("  ОШИБКА! Не могу открыть файл!");
        return false;
    }

    SectionLoader loader(image, view);
    const std::string header = "[" + std::string(section) + "]";
    TextLine line;
    while (!reader.AtEnd()) {
        if (reader.Read(line) == LineReader::Status::Error) {
            view.AddLog("  ОШИБКА! Ошибка чтения данных!");
            return false;
        }
        ++loader.lineNo;
        if (line.Equals(header))
            break;
    }

    for (;;) {
        // Nearly every line is a plain record wholly in the reader's buffer:
        // it is read in place; anything else goes by the general rules.
        std::size_t length = 0;
        auto step = loader.PlainLine(reader.Buffered(), length);
        if (length != 0) {
            reader.TakeLine(length);
        } else {
            if (reader.AtEnd())
                break;
            if (reader.Read(line) == LineReader::Status::Error) {
                view.AddLog("  ОШИБКА! Ошибка чтения данных!");
                return false;
            }
            ++loader.lineNo;
            step = loader.Line(line);
        }
        if (step != SectionLoader::Step::Next)
            return step == SectionLoader::Step::Done;
    }
    view.AddLog("   Ошибка! Непредвиденный конец файла.");
    return false;
}

}  // namespace kt
