#include "IconFile.h"

#include "view/icons/flash.xpm"

#include <cstdint>
#include <stdexcept>

namespace kt::icon {
namespace {

void Put16(std::string& out, std::uint16_t v)
{
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>(v >> 8);
}

void Put32(std::string& out, std::uint32_t v)
{
    for (int shift = 0; shift < 32; shift += 8)
        out += static_cast<char>((v >> shift) & 0xFF);
}

constexpr std::size_t kDirectorySize = 6;
constexpr std::size_t kEntrySize = 16;
constexpr std::uint32_t kInfoHeaderSize = 40;

// BITMAPINFOHEADER, the colour rows bottom-up in BGRA, then the mask rows
// bottom-up, one bit a pixel (1 = transparent), each row padded to 32 bits.
std::string Picture(const XpmImage& image)
{
    const auto width = static_cast<std::uint32_t>(image.width);
    const auto height = static_cast<std::uint32_t>(image.height);
    const std::uint32_t maskStride = (width + 31) / 32 * 4;
    std::string out;
    Put32(out, kInfoHeaderSize);
    Put32(out, width);
    Put32(out, height * 2);  // the colour and the mask together
    Put16(out, 1);           // planes
    Put16(out, 32);          // bits a pixel
    Put32(out, 0);           // no compression
    Put32(out, width * height * 4 + maskStride * height);
    for (int i = 0; i < 4; ++i)
        Put32(out, 0);  // resolution and palette: unused
    for (std::uint32_t y = height; y-- > 0;)
        for (std::uint32_t x = 0; x < width; ++x)
            Put32(out, image.pixels[y * width + x]);  // 0xAARRGGBB is B, G, R, A in the file
    for (std::uint32_t y = height; y-- > 0;) {
        std::string row(maskStride, '\0');
        for (std::uint32_t x = 0; x < width; ++x)
            if ((image.pixels[y * width + x] >> 24) == 0)
                row[x / 8] = static_cast<char>(row[x / 8] | (0x80 >> (x % 8)));
        out += row;
    }
    return out;
}

}  // namespace

XpmImage Enlarged(const XpmImage& image, int scale)
{
    XpmImage out;
    out.width = image.width * scale;
    out.height = image.height * scale;
    out.pixels.reserve(static_cast<std::size_t>(out.width) * static_cast<std::size_t>(out.height));
    for (int y = 0; y < out.height; ++y)
        for (int x = 0; x < out.width; ++x)
            out.pixels.push_back(image.pixels[static_cast<std::size_t>(y / scale * image.width + x / scale)]);
    return out;
}

std::string IcoFile(const std::vector<XpmImage>& images)
{
    std::string out;
    Put16(out, 0);
    Put16(out, 1);  // an icon, not a cursor
    Put16(out, static_cast<std::uint16_t>(images.size()));
    std::vector<std::string> pictures;
    for (const auto& image : images) {
        if (image.width < 1 || image.width > 256 || image.height < 1 || image.height > 256 ||
            image.pixels.size() != static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height))
            throw std::invalid_argument("an icon's picture has sides of 1 to 256 pixels");
        pictures.push_back(Picture(image));
    }
    auto offset = static_cast<std::uint32_t>(kDirectorySize + kEntrySize * images.size());
    for (std::size_t i = 0; i < images.size(); ++i) {
        out += static_cast<char>(images[i].width & 0xFF);  // 256 is written as 0
        out += static_cast<char>(images[i].height & 0xFF);
        out += '\0';  // no palette
        out += '\0';
        Put16(out, 1);
        Put16(out, 32);
        Put32(out, static_cast<std::uint32_t>(pictures[i].size()));
        Put32(out, offset);
        offset += static_cast<std::uint32_t>(pictures[i].size());
    }
    for (const auto& picture : pictures)
        out += picture;
    return out;
}

std::string ProgramIcon()
{
    const auto art = DecodeXpm(flash_xpm);
    if (!art)
        throw std::logic_error("the lightning bolt's picture does not decode");
    return IcoFile({*art, Enlarged(*art, 2), Enlarged(*art, 3)});
}

}  // namespace kt::icon
