#include "PackageWriter.h"

#include "codec/HexCodec.h"
#include "package/Cp1251.h"

#include <algorithm>
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
