// An INI file read and written the way Windows' profile functions do it:
// section and key names match without regard to case, blanks around keys and
// values are dropped, a value in a matching pair of quotes loses them, lines
// that are not `key=value` are ignored, and a missing file reads as no keys.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kt {

class IniError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class IniFile {
public:
    // Longest value a read returns; the rest of a longer value is cut off.
    static constexpr std::size_t kMaxValue = 2047;
    // Distinct keys read of one section: a key that first appears after this
    // many others reads as missing (a file with more is not a settings file).
    static constexpr std::size_t kMaxKeysPerSection = 65536;

    // Nothing is read until the first ReadString of a section.
    explicit IniFile(std::string path);
    // Keeps only `keys` of `section`, so that reading a file that may hold
    // anything costs no more than those values; each reads exactly as with the
    // other constructor. Reading any other key or section throws std::logic_error.
    IniFile(std::string path, std::string_view section, std::span<const std::string_view> keys);

    const std::string& Path() const { return path_; }

    // The value of `key` in the first section named `section`, or `def`.
    // Throws IniError when the file exists but cannot be read to its end.
    std::string ReadString(std::string_view section, std::string_view key, std::string_view def);
    // Decimal, or hexadecimal after 0x/0X; anything else counts as missing.
    std::int32_t ReadInteger(std::string_view section, std::string_view key, std::int32_t def);

    // Sets `key` in `section`, leaving every other line of the file in place;
    // creates the file, the section or the key as needed. Throws IniError.
    void WriteString(std::string_view section, std::string_view key, std::string_view value);
    void WriteInteger(std::string_view section, std::string_view key, std::int32_t value);

    static std::optional<std::int32_t> ParseInteger(std::string_view text);

private:
    using Section = std::map<std::string, std::string>;  // lower-case key -> value
    const Section& LoadSection(std::string_view section);

    struct Filter {
        std::string section;         // lower case
        std::set<std::string> keys;  // lower case
    };

    std::string path_;
    std::optional<Filter> filter_;
    std::map<std::string, Section> sections_;  // lower-case section name -> keys read
};

}  // namespace kt
