#include "view/XpmImage.h"

#include <array>
#include <charconv>
#include <cstring>
#include <sstream>
#include <string>
#include <string_view>

namespace kt {
namespace {

// Pictures larger than this are no toolbar picture or icon.
constexpr int kLargestSide = 256;

std::optional<std::uint32_t> ParseColour(std::string_view text)
{
    if (text == "None" || text == "none")
        return 0u;
    if (text.size() != 7 || text[0] != '#')
        return std::nullopt;
    std::uint32_t rgb = 0;
    const auto [end, error] = std::from_chars(text.data() + 1, text.data() + text.size(), rgb, 16);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return 0xFF000000u | rgb;
}

}  // namespace

std::optional<XpmImage> DecodeXpm(const char* const* lines, std::size_t lineCount)
{
    if (lines == nullptr || lineCount == 0 || lines[0] == nullptr)
        return std::nullopt;
    std::istringstream values(lines[0]);
    int width = 0, height = 0, colours = 0, charsPerPixel = 0;
    if (!(values >> width >> height >> colours >> charsPerPixel) || charsPerPixel != 1 || width <= 0 || height <= 0 ||
        width > kLargestSide || height > kLargestSide || colours <= 0 || colours > 256)
        return std::nullopt;
    if (lineCount < 1 + static_cast<std::size_t>(colours) + static_cast<std::size_t>(height))
        return std::nullopt;

    std::array<std::optional<std::uint32_t>, 256> table{};
    for (int i = 0; i < colours; ++i) {
        const char* line = lines[1 + i];
        if (line == nullptr)
            return std::nullopt;
        // "<key> c <colour>"
        const std::string_view text(line);
        if (text.size() < 5 || text.substr(1, 3) != " c ")
            return std::nullopt;
        const auto colour = ParseColour(text.substr(4));
        if (!colour)
            return std::nullopt;
        table[static_cast<unsigned char>(text[0])] = colour;
    }

    XpmImage image;
    image.width = width;
    image.height = height;
    image.pixels.reserve(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y) {
        const char* row = lines[1 + colours + y];
        if (row == nullptr || std::strlen(row) != static_cast<std::size_t>(width))
            return std::nullopt;
        for (int x = 0; x < width; ++x) {
            const auto& colour = table[static_cast<unsigned char>(row[x])];
            if (!colour)
                return std::nullopt;
            image.pixels.push_back(*colour);
        }
    }
    return image;
}

}  // namespace kt
