#include "PackageWriter.h"

#include "codec/HexCodec.h"
#include "package/Cp1251.h"
#include "package/IniFile.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <stdexcept>

namespace kt::gen {

std::string HexRecord(std::uint8_t type, std::uint16_t address, const Bytes& data)
{
    std::string line = ":";
    unsigned sum = 0;
    auto put = [&](std::uint8_t b) {
        AppendHexByte(line, b);
        sum += b;
    };
    put(static_cast<std::uint8_t>(data.size()));
    put(static_cast<std::uint8_t>(address >> 8));
    put(static_cast<std::uint8_t>(address & 0xFF));
    put(type);
    for (auto b : data)
        put(b);
    put(static_cast<std::uint8_t>(-sum & 0xFF));
    return line;
}

void WriteHexRecords(std::ostream& out, const Bytes& image, std::size_t recordSize, const std::string& eol)
{
    std::uint32_t segment = 0;
    std::size_t offset = 0;
    while (offset < image.size()) {
        const auto upper = static_cast<std::uint32_t>(offset >> 16);
        if (upper != segment) {
            segment = upper;
            out << HexRecord(0x04, 0, {static_cast<std::uint8_t>(upper >> 8), static_cast<std::uint8_t>(upper)}) << eol;
        }
        // A record stays inside its 64 KiB segment.
        const std::size_t segmentEnd = (static_cast<std::size_t>(upper) + 1) << 16;
        const std::size_t stop = std::min({offset + recordSize, image.size(), segmentEnd});
        Bytes data(image.begin() + static_cast<std::ptrdiff_t>(offset),
                   image.begin() + static_cast<std::ptrdiff_t>(stop));
        out << HexRecord(0x00, static_cast<std::uint16_t>(offset & 0xFFFF), data) << eol;
        offset = stop;
    }
    out << ":00000001FF" << eol;
}

std::optional<std::string> HeaderTextFault(std::string_view utf8)
{
    std::size_t i = 0;
    while (i < utf8.size()) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        if (lead < 0x20 || lead == 0x7F) {
            std::string code = "0x";
            AppendHexByte(code, lead);
            return "a control character (" + code + ") cannot be in a header text";
        }
        // One UTF-8 character: its length from the lead byte, its code point.
        std::size_t length = 1;
        char32_t code = lead;
        if ((lead >> 5) == 0x6) {
            length = 2;
            code = lead & 0x1F;
        } else if ((lead >> 4) == 0xE) {
            length = 3;
            code = lead & 0x0F;
        } else if ((lead >> 3) == 0x1E) {
            length = 4;
            code = lead & 0x07;
        } else if (lead >= 0x80) {
            return std::string("the text is not UTF-8");
        }
        if (i + length > utf8.size())
            return std::string("the text is not UTF-8");
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(utf8[i + k]);
            if ((next & 0xC0) != 0x80)
                return std::string("the text is not UTF-8");
            code = (code << 6) | (next & 0x3F);
        }
        // Windows-1251 holds the character when it goes to one byte and back unchanged.
        const std::string_view character = utf8.substr(i, length);
        const std::string encoded = Utf8ToCp1251(character);
        if (encoded.size() != 1 || Cp1251ToUtf8(encoded) != character) {
            char name[16];
            std::snprintf(name, sizeof name, "U+%04X", static_cast<unsigned>(code));
            return "\"" + std::string(character) + "\" (" + name + ") has no Windows-1251 code";
        }
        i += length;
    }
    if (const auto size = Utf8ToCp1251(utf8).size(); size > IniFile::kMaxValue)
        return std::to_string(size) + " bytes in Windows-1251, more than the " + std::to_string(IniFile::kMaxValue) +
               " the package reader keeps";
    return std::nullopt;
}

std::string QuotedHeaderText(std::string_view utf8)
{
    const bool blankEnds = !utf8.empty() && (utf8.front() == ' ' || utf8.back() == ' ');
    const bool quotedEnds =
        utf8.size() >= 2 && (utf8.front() == '"' || utf8.front() == '\'') && utf8.back() == utf8.front();
    return blankEnds || quotedEnds ? "\"" + std::string(utf8) + "\"" : std::string(utf8);
}

void WritePackage(std::ostream& out, const PackageContent& c)
{
    const auto& eol = c.eol;
    auto key = [&](const char* name, const std::string& value) { out << name << '=' << Utf8ToCp1251(value) << eol; };
    out << "[COMMON]" << eol;
    key("VERSION", c.version);
    key("NAME", c.name);
    key("COPYRIGHT", c.copyright);
    key("SUPPORT", c.support);
    key("CORE_VERS", c.coreVers);
    key("CORE_DATE", c.coreDate);
    key("TEXT", c.text);
    key("CORE_SIZE", std::to_string(c.coreSize.value_or(static_cast<std::int32_t>(c.core.size()))));
    key("FLASH_SIZE", std::to_string(c.flashSize.value_or(static_cast<std::int32_t>(c.flash.size()))));
    key("DEVICE", std::to_string(c.device));
    out << eol << "[CORE]" << eol;
    WriteHexRecords(out, c.core, c.recordSize, eol);
    out << eol << "[FLASH]" << eol;
    WriteHexRecords(out, c.flash, c.recordSize, eol);
}

void WritePackageFile(const std::string& path, const PackageContent& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    WritePackage(out, content);
    out.flush();
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

Bytes PatternBytes(std::size_t size, std::uint32_t seed)
{
    Bytes bytes(size);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x);
    }
    return bytes;
}

}  // namespace kt::gen
