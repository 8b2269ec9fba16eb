// The icon the Windows program carries is the toolbar's lightning bolt, and
// the file is one Windows reads.
#include "IconFile.h"

#include "view/icons/flash.xpm"

#include <gtest/gtest.h>

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

TEST(IconFile, RefusesPicturesWindowsCannotHold)
{
    EXPECT_THROW(kt::icon::IcoFile({kt::XpmImage{257, 1, std::vector<std::uint32_t>(257)}}), std::invalid_argument);
    EXPECT_THROW(kt::icon::IcoFile({kt::XpmImage{2, 2, {0u}}}), std::invalid_argument);
}

}  // namespace
