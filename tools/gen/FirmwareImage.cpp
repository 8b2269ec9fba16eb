#include "FirmwareImage.h"

#include "codec/HexCodec.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

namespace kt::gen {
namespace {

// A record is ':', a byte count, two address bytes, a type, the data and a checksum.
constexpr std::size_t kRecordOverhead = 5;
constexpr std::uint8_t kDataRecord = 0x00;
constexpr std::uint8_t kEndRecord = 0x01;
constexpr std::uint8_t kExtendedSegment = 0x02;
constexpr std::uint8_t kStartSegment = 0x03;
constexpr std::uint8_t kExtendedLinear = 0x04;
constexpr std::uint8_t kStartLinear = 0x05;
constexpr unsigned kSegmentShift = 4;
constexpr unsigned kLinearShift = 16;
constexpr std::uint8_t kFiller = 0xFF;
// No package holds more than 32 MiB of media and 16 MiB of core; a HEX file of
// such images is under 100 MiB. A larger input is no firmware and is not read
// into memory.
constexpr std::uintmax_t kMaxInputFile = 256 * 1024 * 1024;

std::string LineError(const std::string& source, std::size_t line, const std::string& what)
{
    return source + ": line " + std::to_string(line) + ": " + what;
}

std::string HexByte(std::uint8_t byte)
{
    std::string text = "0x";
    AppendHexByte(text, byte);
    return text;
}

unsigned Word(std::uint8_t high, std::uint8_t low)
{
    return (static_cast<unsigned>(high) << 8) | low;
}

bool IsLineBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\x1A';  // 0x1A ends a DOS text file
}

std::string_view TrimLine(std::string_view line)
{
    while (!line.empty() && IsLineBlank(line.front()))
        line.remove_prefix(1);
    while (!line.empty() && IsLineBlank(line.back()))
        line.remove_suffix(1);
    return line;
}

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; });
    return text;
}

}  // namespace

std::string FormatAddress(Address address)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(address));
    return text;
}

FirmwareImage::FirmwareImage(std::vector<Segment> segments, const std::string& source)
{
    std::stable_sort(segments.begin(), segments.end(),
                     [](const Segment& a, const Segment& b) { return a.address < b.address; });
    for (auto& next : segments) {
        if (next.bytes.empty())
            continue;
        if (segments_.empty() || next.address > segments_.back().End()) {
            segments_.push_back(std::move(next));
            continue;
        }
        Segment& current = segments_.back();
        // `next` starts inside or right at the end of `current`: the bytes both
        // give must agree, the rest of `next` extends `current`.
        const std::size_t skip = static_cast<std::size_t>(next.address - current.address);
        const std::size_t common = std::min(current.bytes.size() - skip, next.bytes.size());
        if (!std::equal(next.bytes.begin(), next.bytes.begin() + static_cast<std::ptrdiff_t>(common),
                        current.bytes.begin() + static_cast<std::ptrdiff_t>(skip)))
            throw ImageError(source + ": the data at " + FormatAddress(next.address) +
                             " is given twice with different bytes");
        current.bytes.insert(current.bytes.end(), next.bytes.begin() + static_cast<std::ptrdiff_t>(common),
                             next.bytes.end());
    }
}

std::uint64_t FirmwareImage::DataBytes() const
{
    std::uint64_t total = 0;
    for (const auto& s : segments_)
        total += s.bytes.size();
    return total;
}

Address FirmwareImage::Lowest() const
{
    return segments_.empty() ? 0 : segments_.front().address;
}

Address FirmwareImage::End() const
{
    return segments_.empty() ? 0 : segments_.back().End();
}

void FirmwareImage::Keep(Address first, Address last)
{
    std::vector<Segment> kept;
    for (auto& s : segments_) {
        const Address from = std::max(first, s.address);
        const Address to = std::min(last + 1, s.End());
        if (from >= to)
            continue;
        const auto begin = s.bytes.begin() + static_cast<std::ptrdiff_t>(from - s.address);
        kept.push_back({from, Bytes(begin, begin + static_cast<std::ptrdiff_t>(to - from))});
    }
    segments_ = std::move(kept);
}

void FirmwareImage::Rebase(Address base, const std::string& source)
{
    if (!segments_.empty() && Lowest() < base)
        throw ImageError(source + ": data at " + FormatAddress(Lowest()) + " lies below the base " +
                         FormatAddress(base));
    for (auto& s : segments_)
        s.address -= base;
}

std::vector<Region> FirmwareImage::Regions(Address joinGap) const
{
    std::vector<Region> regions;
    for (const auto& s : segments_) {
        if (regions.empty() || s.address - regions.back().last - 1 > joinGap)
            regions.push_back({s.address, s.End() - 1, 0});
        regions.back().last = s.End() - 1;
        regions.back().dataBytes += s.bytes.size();
    }
    return regions;
}

Bytes FirmwareImage::Flatten(std::size_t size) const
{
    Bytes image(std::max<std::size_t>(size, static_cast<std::size_t>(End())), kFiller);
    for (const auto& s : segments_)
        std::copy(s.bytes.begin(), s.bytes.end(), image.begin() + static_cast<std::ptrdiff_t>(s.address));
    return image;
}

bool FirmwareImage::Matches(const Bytes& image) const
{
    if (image.size() < End())
        return false;
    Address at = 0;
    auto filler = [&](Address from, Address to) {
        return std::all_of(image.begin() + static_cast<std::ptrdiff_t>(from),
                           image.begin() + static_cast<std::ptrdiff_t>(to),
                           [](std::uint8_t b) { return b == kFiller; });
    };
    for (const auto& s : segments_) {
        if (!filler(at, s.address) ||
            !std::equal(s.bytes.begin(), s.bytes.end(), image.begin() + static_cast<std::ptrdiff_t>(s.address)))
            return false;
        at = s.End();
    }
    return filler(at, image.size());
}

InputFormat FormatOf(const std::string& path, std::string_view contents)
{
    const std::string extension = Lower(std::filesystem::path(path).extension().string());
    if (extension == ".hex" || extension == ".ihex" || extension == ".ihx")
        return InputFormat::IntelHex;
    if (extension == ".bin")
        return InputFormat::Binary;
    const auto first = contents.find_first_not_of(" \t\r\n");
    return first != std::string_view::npos && contents[first] == ':' ? InputFormat::IntelHex : InputFormat::Binary;
}

FirmwareImage ReadIntelHex(std::string_view text, const std::string& source, std::vector<std::string>& notes)
{
    std::vector<Segment> data;
    Address base = 0;
    bool ended = false;
    std::size_t lineNo = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t stop = std::min(text.find_first_of("\r\n", pos), text.size());
        const std::string_view line = TrimLine(text.substr(pos, stop - pos));
        pos = stop;
        if (pos < text.size() && text[pos++] == '\r' && pos < text.size() && text[pos] == '\n')
            ++pos;  // CR LF ends one line
        ++lineNo;
        if (line.empty())
            continue;
        if (ended)
            throw ImageError(LineError(source, lineNo, "more after the end record"));
        if (line.front() != ':')
            throw ImageError(LineError(source, lineNo, "not an Intel HEX record (no ':' at its start)"));
        const HexDecoded decoded = DecodeHex(line.substr(1));
        if (decoded.failure == HexFailure::NotADigit)
            throw ImageError(LineError(source, lineNo, "a character that is not a hexadecimal digit"));
        const Bytes& r = decoded.bytes;
        if (!decoded.Ok() || r.size() < kRecordOverhead || r.size() != r[0] + kRecordOverhead)
            throw ImageError(LineError(source, lineNo, "the record's length does not match its byte count"));
        unsigned sum = 0;
        for (auto b : r)
            sum += b;
        if ((sum & 0xFF) != 0) {
            const auto expected = static_cast<std::uint8_t>(r.back() - sum);
            throw ImageError(LineError(
                source, lineNo, "checksum " + HexByte(r.back()) + ", the record's bytes need " + HexByte(expected)));
        }
        const std::size_t count = r[0];
        const unsigned address = Word(r[1], r[2]);
        const std::uint8_t type = r[3];
        const auto payload = r.begin() + 4;
        auto needCount = [&](std::size_t n) {
            if (count != n)
                throw ImageError(LineError(source, lineNo,
                                           "a record of type " + HexByte(type) + " carries " + std::to_string(n) +
                                               " bytes, this one " + std::to_string(count)));
        };
        switch (type) {
        case kDataRecord:
            data.push_back({base + address, Bytes(payload, payload + static_cast<std::ptrdiff_t>(count))});
            break;
        case kEndRecord:
            needCount(0);
            ended = true;
            break;
        case kExtendedSegment:
            needCount(2);
            base = Address{Word(payload[0], payload[1])} << kSegmentShift;
            break;
        case kExtendedLinear:
            needCount(2);
            base = Address{Word(payload[0], payload[1])} << kLinearShift;
            break;
        case kStartSegment:
        case kStartLinear: {
            needCount(4);
            char start[32];
            if (type == kStartSegment)
                std::snprintf(start, sizeof start, "%04X:%04X", Word(payload[0], payload[1]),
                              Word(payload[2], payload[3]));
            else
                std::snprintf(start, sizeof start, "0x%04X%04X", Word(payload[0], payload[1]),
                              Word(payload[2], payload[3]));
            notes.push_back(source + ": line " + std::to_string(lineNo) + ": start address " + start +
                            " (record type " + HexByte(type) + ") dropped: a package carries no start address");
            break;
        }
        default:
            throw ImageError(LineError(source, lineNo, "unknown record type " + HexByte(type)));
        }
    }
    if (!ended)
        throw ImageError(source + ": no end record (:00000001FF): the file is cut short");
    return FirmwareImage(std::move(data), source);
}

InputFile ReadFirmwareFile(const std::string& path, const std::string& source, std::vector<std::string>& notes)
{
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (!std::filesystem::exists(status))
        throw ImageError(source + ": no such file");
    if (std::filesystem::is_directory(status))
        throw ImageError(source + ": a folder, not a file");
    const auto size = std::filesystem::file_size(path, ec);
    if (!ec && size > kMaxInputFile)
        throw ImageError(source + ": " + std::to_string(size) + " bytes, more than any package holds");
    std::string contents;
    {
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(std::fopen(path.c_str(), "rb"), std::fclose);
        if (!in)
            throw ImageError(source + ": cannot open it");
        char buffer[64 * 1024];
        std::size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, in.get())) > 0)
            contents.append(buffer, n);
        if (std::ferror(in.get()))
            throw ImageError(source + ": cannot read it");
    }

    InputFile file;
    file.format = FormatOf(path, contents);
    if (file.format == InputFormat::IntelHex) {
        file.image = ReadIntelHex(contents, source, notes);
    } else {
        std::vector<Segment> whole;
        whole.push_back({0, Bytes(contents.begin(), contents.end())});
        file.image = FirmwareImage(std::move(whole), source);
        notes.push_back(source + ": read as raw binary, " + std::to_string(contents.size()) + " bytes from address 0");
    }
    return file;
}

}  // namespace kt::gen
