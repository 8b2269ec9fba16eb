// Loads one named section of a package file, written as Intel HEX records,
// into a byte image of a size fixed by the caller.
#pragma once

#include "view/FormView.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kt {

using Bytes = std::vector<std::uint8_t>;

// The byte of two characters of a record line. No validation: each character
// counts as its code minus 0x37 from "A" upward, minus 0x30 below, in 8 bits.
std::uint8_t HexPairValue(char high, char low);

// Thrown by HexWordValue for a field that is not a hexadecimal number.
class HexConversionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The up to four characters of `line` from `position` on (counted from 1),
// read as a hexadecimal number of either case.
int HexWordValue(std::string_view line, std::size_t position);

// Fills `image` with 0xFF and loads section `section` of `fileName` into it.
// True only when the section's end record was reached; every other outcome
// logs exactly one line. Moves the view's progress bar as it goes.
bool LoadHexSection(const std::string& fileName, std::string_view section, Bytes& image, FormView& view);

}  // namespace kt
