// The area filter that scales a skin picture drawn for a nearby scale to the size of
// the window's: averages where new pixels straddle old ones, and nothing else.
#include <gtest/gtest.h>

#include "ui/SkinPictures.h"

namespace {

SkinPixels Filled(int width, int height, uint32_t colour) {
    return {width, height, std::vector<uint32_t>(static_cast<size_t>(width) * height, colour)};
}

TEST(ResampleByArea, APlainPictureStaysExactlyPlainAtAnySize) {
    const SkinPixels plain = Filled(105, 42, 0x00B4202D);
    for (const auto& [w, h] : {std::pair{91, 37}, {70, 28}, {1, 1}, {157, 63}}) {
        const SkinPixels out = ResampleByArea(plain, w, h);
        ASSERT_EQ(out.width, w);
        ASSERT_EQ(out.height, h);
        for (uint32_t p : out.data)
            ASSERT_EQ(p, 0x00B4202Du) << w << " x " << h;
    }
}

TEST(ResampleByArea, HalvingAveragesEachBlockOfFour) {
    SkinPixels in = Filled(4, 2, 0);
    in.data = {0x00000000, 0x00FF0000, 0x00102030, 0x00102030,
               0x0000FF00, 0x000000FF, 0x00102030, 0x00506070};
    const SkinPixels out = ResampleByArea(in, 2, 1);
    ASSERT_EQ(out.data.size(), 2u);
    EXPECT_EQ(out.data[0], 0x00404040u); // 255 / 4 = 63.75 in every channel
    EXPECT_EQ(out.data[1], 0x00203040u);
}

TEST(ResampleByArea, AnEdgeOnAPixelBoundaryOfBothSizesStaysSharp) {
    // 9 old pixels to 6 new: the edge after old pixel 6 is new pixel 4's left edge.
    SkinPixels in = Filled(9, 1, 0x00FFFFFF);
    for (int x = 0; x < 6; ++x)
        in.data[static_cast<size_t>(x)] = 0x00000000;
    const SkinPixels out = ResampleByArea(in, 6, 1);
    const std::vector<uint32_t> expected = {0, 0, 0, 0, 0x00FFFFFF, 0x00FFFFFF};
    EXPECT_EQ(out.data, expected);
}

TEST(ResampleByArea, AnEdgeInsideANewPixelIsBlendedByItsShare) {
    // 3 old pixels to 2 new: new pixel 0 covers old 0 and half of old 1.
    SkinPixels in = Filled(3, 1, 0);
    in.data = {0x00000000, 0x00FFFFFF, 0x00FFFFFF};
    const SkinPixels out = ResampleByArea(in, 2, 1);
    EXPECT_EQ(out.data[0], 0x00555555u); // 255 x 0.5 / 1.5
    EXPECT_EQ(out.data[1], 0x00FFFFFFu);
}

} // namespace
