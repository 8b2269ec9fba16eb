// The toolbar pictures and the program's icon are kept as XPM text (the Qt
// window reads the same files); this decodes them for front ends that draw
// with the system's own calls.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace kt {

struct XpmImage {
    int width = 0;
    int height = 0;
    // Row by row from the top, 0xAARRGGBB; a transparent pixel is 0.
    std::vector<std::uint32_t> pixels;
};

// Decodes the lines of an XPM picture (the strings of its C array: the
// values line, one line per colour, then the rows) with one character per
// pixel and colours "#RRGGBB" or "None". `lineCount` bounds the reading.
// Nothing when the picture is malformed.
std::optional<XpmImage> DecodeXpm(const char* const* lines, std::size_t lineCount);

template <std::size_t N>
std::optional<XpmImage> DecodeXpm(const char* const (&lines)[N])
{
    return DecodeXpm(lines, N);
}

}  // namespace kt
