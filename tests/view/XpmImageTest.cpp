// The toolbar pictures decode to what the windows draw, and a malformed
// picture is refused rather than read past its end.
#include "view/XpmImage.h"

#include "view/icons/clock.xpm"
#include "view/icons/flash.xpm"
#include "view/icons/info.xpm"
#include "view/icons/open.xpm"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

struct Picture {
    const char* name;
    std::optional<kt::XpmImage> image;
};

TEST(XpmImage, ToolbarPicturesAre16By16WithATransparentBackground)
{
    for (const auto& p : {Picture{"open", kt::DecodeXpm(open_xpm)}, Picture{"info", kt::DecodeXpm(info_xpm)},
                          Picture{"clock", kt::DecodeXpm(clock_xpm)}, Picture{"flash", kt::DecodeXpm(flash_xpm)}}) {
        ASSERT_TRUE(p.image.has_value()) << p.name;
        EXPECT_EQ(p.image->width, 16) << p.name;
        EXPECT_EQ(p.image->height, 16) << p.name;
        ASSERT_EQ(p.image->pixels.size(), 256u) << p.name;
        EXPECT_EQ(p.image->pixels.front(), 0u) << p.name << ": the corner is background";
        EXPECT_GT(std::count_if(p.image->pixels.begin(), p.image->pixels.end(),
                                [](std::uint32_t px) { return (px >> 24) == 0xFF; }),
                  20)
            << p.name;
    }
}

TEST(XpmImage, ColoursAndRowsLandWherePlaced)
{
    const char* const picture[] = {"3 2 3 1", "  c None", ". c #000000", "+ c #FF8000", ".+ ", " .+"};
    const auto image = kt::DecodeXpm(picture);
    ASSERT_TRUE(image.has_value());
    EXPECT_EQ(image->pixels, (std::vector<std::uint32_t>{0xFF000000u, 0xFFFF8000u, 0u, 0u, 0xFF000000u, 0xFFFF8000u}));
}

struct Malformed {
    std::string name;
    std::vector<const char*> lines;
};

class XpmMalformed : public ::testing::TestWithParam<Malformed> {};

TEST_P(XpmMalformed, IsRefused)
{
    const auto& lines = GetParam().lines;
    EXPECT_FALSE(kt::DecodeXpm(lines.data(), lines.size()).has_value());
}

INSTANTIATE_TEST_SUITE_P(Cases, XpmMalformed,
                         ::testing::Values(Malformed{"NoLines", {}},
                                           Malformed{"NoValues", {"2 1", ". c #000000", ".."}},
                                           Malformed{"TwoCharactersPerPixel", {"1 1 1 2", ".. c #000000", ".."}},
                                           Malformed{"FewerRowsThanTheHeight", {"2 2 1 1", ". c #000000", ".."}},
                                           Malformed{"ShortRow", {"2 1 1 1", ". c #000000", "."}},
                                           Malformed{"LongRow", {"2 1 1 1", ". c #000000", "..."}},
                                           Malformed{"UnknownPixel", {"2 1 1 1", ". c #000000", ".x"}},
                                           Malformed{"NamedColour", {"1 1 1 1", ". c black", "."}},
                                           Malformed{"ShortColour", {"1 1 1 1", ". c #FFF", "."}},
                                           Malformed{"MissingRow", {"1 2 1 1", ". c #000000", ".", nullptr}},
                                           Malformed{"HugeSide", {"100000 1 1 1", ". c #000000", "."}}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
