// Writes firmware packages (.kvf): the example package, test fixtures and the
// large packages of the benchmarks.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace kt::gen {

using Bytes = std::vector<std::uint8_t>;

// One Intel HEX record line, without its line end.
std::string HexRecord(std::uint8_t type, std::uint16_t address, const Bytes& data);

// The records of `image` from offset 0, `recordSize` bytes each, with an
// extended linear address record at every 64 KiB, and the end record.
void WriteHexRecords(std::ostream& out, const Bytes& image, std::size_t recordSize, const std::string& eol);

struct PackageContent {
    // Header texts in UTF-8; written to the file in Windows-1251.
    std::string version = "2";
    std::string name;
    std::string copyright;
    std::string support;
    std::string coreVers;
    std::string coreDate;
    std::string text;
    // Sizes default to the images' sizes.
    std::optional<std::int32_t> coreSize;
    std::optional<std::int32_t> flashSize;
    std::int32_t device = 0;
    Bytes core;
    Bytes flash;
    std::size_t recordSize = 16;
    std::string eol = "\r\n";
};

// Header texts that the package reader gives back exactly as they were given.
// Why `utf8` cannot be one, or nothing when it can: a character Windows-1251
// has no code for, a control character (a line end would end the value, 0x1A
// the file for the HEX reader), or more bytes than the reader keeps of a value.
std::optional<std::string> HeaderTextFault(std::string_view utf8);
// `utf8` as it is written after "KEY=": in a pair of double quotes when the
// reader would otherwise drop blanks or a pair of quotes at its ends.
std::string QuotedHeaderText(std::string_view utf8);

void WritePackage(std::ostream& out, const PackageContent& content);
// Throws std::runtime_error when the file cannot be written.
void WritePackageFile(const std::string& path, const PackageContent& content);

// Deterministic filler bytes, so that images differ from block to block.
Bytes PatternBytes(std::size_t size, std::uint32_t seed);

}  // namespace kt::gen
