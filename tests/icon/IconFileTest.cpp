// The icon the programs carry is the toolbar's lightning bolt, in files
// Windows and the desktops read.
#include "IconFile.h"

#include "view/icons/flash.xpm"

#include <gtest/gtest.h>

#ifdef KT_HAVE_ZLIB
#include <zlib.h>
#endif

#include <algorithm>

#include <cstdint>
#include <fstream>
#include <iterator>

namespace {

std::uint32_t Read32(const std::string& s, std::size_t at)
{
    return static_cast<std::uint32_t>(static_cast<unsigned char>(s[at])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + 1])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + 2])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + 3])) << 24;
}

std::uint16_t Read16(const std::string& s, std::size_t at)
{
    return static_cast<std::uint16_t>(static_cast<unsigned char>(s[at]) | static_cast<unsigned char>(s[at + 1]) << 8);
}

TEST(IconFile, TheEmbeddedIconIsTheToolbarArtwork)
{
    std::ifstream in(KT_WINDOWS_ICON, std::ios::binary);
    ASSERT_TRUE(in) << KT_WINDOWS_ICON;
    const std::string committed{std::istreambuf_iterator<char>(in), {}};
    EXPECT_TRUE(committed == kt::icon::ProgramIcon())
        << KT_WINDOWS_ICON << " differs from the artwork: run kt-make-icon " << KT_WINDOWS_ICON;
}

// A 2 x 1 picture, one opaque and one transparent pixel: the directory, the
// header, the colour and the mask land where Windows looks for them.
TEST(IconFile, LayoutOfOnePicture)
{
    kt::XpmImage image{2, 1, {0xFF102030u, 0u}};
    const std::string ico = kt::icon::IcoFile({image});
    ASSERT_EQ(ico.size(), 6u + 16u + 40u + 8u + 4u);
    EXPECT_EQ(Read16(ico, 2), 1) << "an icon";
    EXPECT_EQ(Read16(ico, 4), 1) << "one picture";
    EXPECT_EQ(ico[6], 2);
    EXPECT_EQ(ico[7], 1);
    EXPECT_EQ(Read16(ico, 12), 32) << "bits a pixel";
    EXPECT_EQ(Read32(ico, 14), 40u + 8u + 4u);
    EXPECT_EQ(Read32(ico, 18), 22u) << "the picture follows the directory";
    EXPECT_EQ(Read32(ico, 22), 40u);
    EXPECT_EQ(Read32(ico, 26), 2u);
    EXPECT_EQ(Read32(ico, 30), 2u) << "height counts the colour and the mask";
    EXPECT_EQ(Read32(ico, 62), 0xFF102030u);
    EXPECT_EQ(Read32(ico, 66), 0u);
    EXPECT_EQ(static_cast<unsigned char>(ico[70]), 0x40) << "the second pixel is transparent";
}

TEST(IconFile, EnlargedRepeatsEachPixel)
{
    const auto art = kt::DecodeXpm(flash_xpm);
    ASSERT_TRUE(art.has_value());
    const auto big = kt::icon::Enlarged(*art, 3);
    ASSERT_EQ(big.width, 48);
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 48; ++x)
            ASSERT_EQ(big.pixels[static_cast<std::size_t>(y * 48 + x)],
                      art->pixels[static_cast<std::size_t>(y / 3 * 16 + x / 3)])
                << x << "," << y;
}

#ifdef KT_HAVE_ZLIB
std::uint32_t Read32Big(const std::string& s, std::size_t at)
{
    return static_cast<std::uint32_t>(static_cast<unsigned char>(s[at])) << 24 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + 1])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + 2])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + 3]));
}

// zlib, an independent reader, finds in the PNG file the pixels of the art.
TEST(IconFile, PngHoldsTheArtworkPixels)
{
    const auto art = kt::icon::Enlarged(kt::icon::ProgramArt(), 5);  // 80 x 80: more than one deflate block
    const std::string png = kt::icon::PngFile(art);
    ASSERT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    std::string idat;
    for (std::size_t at = 8; at + 12 <= png.size();) {
        const std::uint32_t length = Read32Big(png, at);
        const std::string type = png.substr(at + 4, 4);
        ASSERT_LE(at + 12 + length, png.size());
        const auto crc = crc32(0, reinterpret_cast<const Bytef*>(png.data() + at + 4), length + 4);
        EXPECT_EQ(Read32Big(png, at + 8 + length), crc) << type;
        if (type == "IHDR") {
            EXPECT_EQ(Read32Big(png, at + 8), 80u);
            EXPECT_EQ(Read32Big(png, at + 12), 80u);
        }
        if (type == "IDAT")
            idat += png.substr(at + 8, length);
        at += 12 + length;
    }
    std::string raw(80 * (1 + 80 * 4), '\0');
    uLongf rawLength = raw.size();
    ASSERT_EQ(uncompress(reinterpret_cast<Bytef*>(raw.data()), &rawLength, reinterpret_cast<const Bytef*>(idat.data()),
                         idat.size()),
              Z_OK);
    ASSERT_EQ(rawLength, raw.size());
    for (int y = 0; y < 80; ++y)
        for (int x = 0; x < 80; ++x) {
            const std::size_t at = static_cast<std::size_t>(y) * (1 + 80 * 4) + 1 + static_cast<std::size_t>(x) * 4;
            const std::uint32_t rgba = static_cast<std::uint32_t>(static_cast<unsigned char>(raw[at + 3])) << 24 |
                                       static_cast<std::uint32_t>(static_cast<unsigned char>(raw[at])) << 16 |
                                       static_cast<std::uint32_t>(static_cast<unsigned char>(raw[at + 1])) << 8 |
                                       static_cast<unsigned char>(raw[at + 2]);
            ASSERT_EQ(rgba, art.pixels[static_cast<std::size_t>(y * 80 + x)]) << x << "," << y;
        }
}
#endif

TEST(IconFile, SvgDrawsEachOpaquePixelOnce)
{
    const auto art = kt::icon::ProgramArt();
    const std::string svg = kt::icon::SvgFile(art);
    std::size_t squares = 0;
    for (std::size_t at = svg.find("<rect"); at != std::string::npos; at = svg.find("<rect", at + 1))
        ++squares;
    const auto opaque = static_cast<std::size_t>(
        std::count_if(art.pixels.begin(), art.pixels.end(), [](std::uint32_t p) { return (p >> 24) != 0; }));
    EXPECT_EQ(squares, opaque);
    EXPECT_NE(svg.find("viewBox=\"0 0 16 16\""), std::string::npos);
    EXPECT_EQ(svg.substr(svg.size() - 7), "</svg>\n");
}

TEST(IconFile, RefusesPicturesWindowsCannotHold)
{
    EXPECT_THROW(kt::icon::IcoFile({kt::XpmImage{257, 1, std::vector<std::uint32_t>(257)}}), std::invalid_argument);
    EXPECT_THROW(kt::icon::IcoFile({kt::XpmImage{2, 2, {0u}}}), std::invalid_argument);
}

}  // namespace
