// The skin's pictures at other display scales: every picture has a drawing for 125,
// 150, 175 and 200 % at its size times the scale; those drawings have sharp edges and
// leave plain patches wherever the window's labels lie at that scale; every other
// DPI takes the nearest larger drawing scaled down (never the 96-DPI bitmap scaled up).
#include <gtest/gtest.h>

#include "SkinPictureList.h"
#include "support/WinTest.h"
#include "ui/SkinPictures.h"
#include "ui/SkinScale.h"

namespace {

using kxtest::Pixels;

constexpr COLORREF kBody = RGB(0xb4, 0x20, 0x2d);
constexpr COLORREF kPanel = RGB(0xc3, 0x4d, 0x57);
constexpr COLORREF kStrip = RGB(0x8d, 0x16, 0x1e);
constexpr COLORREF kAmber = RGB(0xd7, 0x98, 0x1b);

constexpr UINT kDrawnDpis[] = {120, 144, 168, 192};
constexpr const wchar_t* kDrawnTypes[] = {L"SKIN125", L"SKIN150", L"SKIN175", L"SKIN200"};

Pixels Picture(UINT id, UINT dpi) {
    return kxtest::BitmapPixels(LoadSkinPicture(id, dpi));
}

SkinPixels AsSkinPixels(const Pixels& px) {
    SkinPixels out{px.width, px.height, {}};
    for (int y = 0; y < px.height; ++y)
        for (int x = 0; x < px.width; ++x) {
            const COLORREF c = px.At(x, y);
            out.data.push_back((GetRValue(c) << 16) | (GetGValue(c) << 8) | GetBValue(c));
        }
    return out;
}

// The number of pixels in the rectangle that are not the colour.
int CountOther(const Pixels& px, const RECT& rc, COLORREF colour) {
    int other = 0;
    for (int y = rc.top; y < rc.bottom; ++y)
        for (int x = rc.left; x < rc.right; ++x)
            other += px.At(x, y) != colour;
    return other;
}

RECT Offset(RECT rc, int dx, int dy) {
    OffsetRect(&rc, dx, dy);
    return rc;
}

TEST(ScaledPictures, EveryPictureIsDrawnForEveryScaleAtItsSizeTimesTheScale) {
    for (size_t s = 0; s < std::size(kDrawnDpis); ++s) {
        const CSkinScale scale(kDrawnDpis[s]);
        for (const PictureSize& p : AllPictures()) {
            SCOPED_TRACE(testing::Message()
                         << "bitmap " << p.id << " at " << scale.Dpi() << " DPI");
            EXPECT_NE(FindResourceW(nullptr, MAKEINTRESOURCEW(p.id), kDrawnTypes[s]), nullptr);
            const Pixels px = Picture(static_cast<UINT>(p.id), scale.Dpi());
            EXPECT_EQ(px.width, scale.Px(p.width));
            EXPECT_EQ(px.height, scale.Px(p.height));
        }
    }
}

// Drawn, not stretched: below the window's edge, the title strip, its amber rule and
// the body are exact colours from one whole row to the next, as at 96 DPI (where they
// are rows 1 to 25, 26 and 27).
TEST(ScaledPictures, DrawnScalesKeepSharpEdges) {
    for (UINT dpi : {96u, 120u, 144u, 168u, 192u}) {
        SCOPED_TRACE(testing::Message() << dpi << " DPI");
        const CSkinScale scale(dpi);
        const Pixels bg = Picture(static_cast<UINT>(LocalizedId(PIC_BACKGROUND)), dpi);
        const int x = scale.Px(300);
        for (int y = scale.Px(1); y < scale.Px(28); ++y) {
            const COLORREF expected = y < scale.Px(26) ? kStrip : y < scale.Px(27) ? kAmber : kBody;
            ASSERT_EQ(bg.At(x, y), expected) << "row " << y;
        }
    }
}

// Where the window's labels and buttons lie at a scale, the picture under them is the
// plain colour they paint with, so no patch shows around them.
TEST(ScaledPictures, LabelsAndButtonsLieOnPlainPatchesAtEveryScale) {
    for (UINT dpi : {96u, 120u, 144u, 168u, 192u}) {
        SCOPED_TRACE(testing::Message() << dpi << " DPI");
        const CSkinScale scale(dpi);
        for (int base : {RES_BASE_ENGLISH, RES_BASE_CHINESE}) {
            SCOPED_TRACE(testing::Message() << "set " << base);
            // The version text (267, 93, 105 x 14) on the version panel at (222, 88).
            const RECT version =
                Offset(scale.Rect(267, 93, 105, 14), -scale.Px(222), -scale.Px(88));
            EXPECT_EQ(CountOther(Picture(base + PIC_VERSION_CONNECTED, dpi), version, kBody), 0);
            EXPECT_EQ(CountOther(Picture(base + PIC_VERSION_ABSENT, dpi), version, kPanel), 0);
            const Pixels bg = Picture(base + PIC_BACKGROUND, dpi);
            EXPECT_EQ(CountOther(bg, scale.Rect(35, 224, 353, 68), kBody), 0) << "instructions";
            RECT buttons{scale.Px(381), scale.Px(4), scale.Px(398) + scale.Px(18),
                         scale.Px(4) + scale.Px(17)};
            EXPECT_EQ(CountOther(bg, buttons, kStrip), 0) << "minimise and close";
        }
        // The prompt's text, between the amber rule and the button row.
        EXPECT_EQ(CountOther(Picture(IDB_PROMPT_BG, dpi), scale.Rect(15, 21, 270, 64), kStrip), 0);
    }
}

TEST(ScaledPictures, TwentyEightWholeTilesFitTheBarAtEveryDpi) {
    for (UINT dpi = 96; dpi <= 288; dpi += 4) {
        const CSkinScale scale(dpi);
        const Pixels tile = Picture(IDB_TILE, dpi);
        ASSERT_GT(tile.width, 0) << dpi << " DPI";
        EXPECT_LE(28 * tile.width, scale.Px(254)) << dpi << " DPI";
        EXPECT_LE(tile.height, scale.Px(5)) << dpi << " DPI";
    }
}

TEST(ScaledPictures, OtherDpisScaleTheNearestLargerDrawingDown) {
    const UINT ids[] = {static_cast<UINT>(LocalizedId(PIC_BACKGROUND)),
                        static_cast<UINT>(LocalizedId(PIC_OK_HOVER)), IDB_TILE, IDB_CLOSE};
    const struct {
        UINT dpi;
        UINT drawn;
    } cases[] = {
        {100, 120}, {110, 120}, {121, 144}, {130, 144},
        {160, 168}, {180, 192}, {240, 192}}; // above 200 % the largest drawing is scaled up
    for (UINT id : ids) {
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << "bitmap " << id << " at " << c.dpi << " DPI");
            const CSkinScale scale(c.dpi);
            const Pixels shown = Picture(id, c.dpi);
            const Pixels base = kxtest::BitmapPixels(id);
            ASSERT_EQ(shown.width, scale.Px(base.width));
            ASSERT_EQ(shown.height, scale.Px(base.height));
            const SkinPixels expected =
                ResampleByArea(AsSkinPixels(Picture(id, c.drawn)), shown.width, shown.height);
            EXPECT_EQ(AsSkinPixels(shown).data, expected.data);
        }
    }
}

} // namespace
