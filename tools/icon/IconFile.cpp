#include "IconFile.h"

#include "view/icons/flash.xpm"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
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

XpmImage ProgramArt()
{
    auto art = DecodeXpm(flash_xpm);
    if (!art)
        throw std::logic_error("the lightning bolt's picture does not decode");
    return *art;
}

std::string ProgramIcon()
{
    const XpmImage art = ProgramArt();
    return IcoFile({art, Enlarged(art, 2), Enlarged(art, 3)});
}

namespace {

std::uint32_t Crc32(const std::string& data)
{
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    std::uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : data)
        crc = table[(crc ^ byte) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

void PutBig32(std::string& out, std::uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out += static_cast<char>((v >> shift) & 0xFF);
}

void Chunk(std::string& out, const char* type, const std::string& data)
{
    PutBig32(out, static_cast<std::uint32_t>(data.size()));
    const std::string typed = std::string(type, 4) + data;
    out += typed;
    PutBig32(out, Crc32(typed));
}

// A zlib stream of stored (not compressed) deflate blocks.
std::string Stored(const std::string& raw)
{
    constexpr std::size_t kLargestBlock = 65535;
    std::string out("\x78\x01", 2);
    std::size_t at = 0;
    do {
        const std::size_t length = std::min(kLargestBlock, raw.size() - at);
        const bool last = at + length == raw.size();
        out += static_cast<char>(last ? 1 : 0);
        out += static_cast<char>(length & 0xFF);
        out += static_cast<char>(length >> 8);
        out += static_cast<char>(~length & 0xFF);
        out += static_cast<char>((~length >> 8) & 0xFF);
        out.append(raw, at, length);
        at += length;
    } while (at < raw.size());
    std::uint32_t a = 1, b = 0;  // Adler-32
    for (unsigned char byte : raw) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    PutBig32(out, b << 16 | a);
    return out;
}

}  // namespace

std::string PngFile(const XpmImage& image)
{
    std::string out("\x89PNG\r\n\x1a\n", 8);
    std::string header;
    PutBig32(header, static_cast<std::uint32_t>(image.width));
    PutBig32(header, static_cast<std::uint32_t>(image.height));
    header += std::string("\x08\x06\x00\x00\x00", 5);  // 8 bits, RGBA, deflate, no filter, no interlace
    Chunk(out, "IHDR", header);
    std::string raw;
    raw.reserve(static_cast<std::size_t>(image.height) * (1 + 4 * static_cast<std::size_t>(image.width)));
    for (int y = 0; y < image.height; ++y) {
        raw += '\0';  // no filter on this row
        for (int x = 0; x < image.width; ++x) {
            const std::uint32_t argb = image.pixels[static_cast<std::size_t>(y * image.width + x)];
            raw += static_cast<char>((argb >> 16) & 0xFF);
            raw += static_cast<char>((argb >> 8) & 0xFF);
            raw += static_cast<char>(argb & 0xFF);
            raw += static_cast<char>(argb >> 24);
        }
    }
    Chunk(out, "IDAT", Stored(raw));
    Chunk(out, "IEND", {});
    return out;
}

std::string SvgFile(const XpmImage& image)
{
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
                      std::to_string(image.width) + "\" height=\"" + std::to_string(image.height) +
                      "\" viewBox=\"0 0 " + std::to_string(image.width) + " " + std::to_string(image.height) +
                      "\" shape-rendering=\"crispEdges\">\n";
    char colour[8];
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x) {
            const std::uint32_t argb = image.pixels[static_cast<std::size_t>(y * image.width + x)];
            if ((argb >> 24) == 0)
                continue;
            std::snprintf(colour, sizeof colour, "#%06X", static_cast<unsigned>(argb & 0xFFFFFF));
            out += "<rect x=\"" + std::to_string(x) + "\" y=\"" + std::to_string(y) +
                   "\" width=\"1\" height=\"1\" fill=\"" + colour + "\"/>\n";
        }
    out += "</svg>\n";
    return out;
}

}  // namespace kt::icon
