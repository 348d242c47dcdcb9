// The bitmap progress bar as it shows on screen: tile counts per position, the strip
// colour, no frame, the clear-first rule after regaining the foreground, focus on
// click, and no GDI objects left over by its paints.
#include "UiTestSupport.h"

#include <gtest/gtest.h>

#include "res/resource.h"
#include "ui/BitmapProgress.h"

namespace {

constexpr COLORREF kStrip = RGB(0xb4, 0x20, 0x2d);

class FakeOwner : public IForegroundWindow {
public:
    bool m_bForeground = true;
    bool IsForeground() override { return m_bForeground; }
};

class BitmapProgressTest : public testing::Test {
protected:
    void SetUp() override {
        tile = BitmapPixels(IDB_TILE);
        ASSERT_EQ(tile.width, 9);
        ASSERT_EQ(tile.height, 3);
        ASSERT_TRUE(host.Create(RECT{100, 100, 500, 200}));
        ASSERT_TRUE(bar.CreateEx(0, PROGRESS_CLASSW, L"", WS_CHILD | WS_VISIBLE,
                                 RECT{82, 50, 82 + 254, 55}, &host, IDC_PROGRESS));
        bar.SendMessage(PBM_SETRANGE, 0, MAKELPARAM(0, 100));
        bar.SetOwner(&owner);
        SetPos(0);
    }
    void SetPos(int pos) {
        bar.SendMessage(PBM_SETPOS, static_cast<WPARAM>(pos));
        bar.UpdateWindow();
        kxtest::PumpMessages();
        shown = kxtest::CaptureWindow(bar.m_hWnd);
    }
    // Columns of the top row that show a tile's column, counted from the left.
    int TileColumns() const {
        int n = 0;
        while (n < shown.width && shown.At(n, 0) == tile.At(n % tile.width, 0) &&
               shown.At(n, 2) == tile.At(n % tile.width, 2))
            ++n;
        return n;
    }
    bool RowsAreStrip(int fromX, int fromY) const {
        for (int y = fromY; y < shown.height; ++y)
            for (int x = fromX; x < shown.width; ++x)
                if (shown.At(x, y) != kStrip)
                    return false;
        return true;
    }

    CHostWindow host;
    CBitmapProgress bar;
    FakeOwner owner;
    kxtest::Pixels tile, shown;
};

TEST_F(BitmapProgressTest, ShowsOneTilePerTwentyEighthOfTheRange) {
    const struct {
        int pos;
        int tiles;
    } cases[] = {{0, 0}, {1, 0}, {3, 0}, {4, 1}, {50, 14}, {100, 28}};
    for (const auto& c : cases) {
        SetPos(0);
        SetPos(c.pos);
        EXPECT_EQ(TileColumns(), c.tiles * 9) << "position " << c.pos;
        EXPECT_TRUE(RowsAreStrip(c.tiles * 9, 0)) << "strip right of the tiles at " << c.pos;
        EXPECT_TRUE(RowsAreStrip(0, 3)) << "rows below the tiles at " << c.pos;
        if (c.pos == 50 || c.pos == 100)
            kxtest::SaveScreenshot(kxtest::CaptureWindow(host.m_hWnd),
                                   L"progress_" + std::to_wstring(c.pos));
    }
}

// A new position is painted only when it changes what the bar draws: the session sets
// the position for every block, and most blocks add no tile. Black is scribbled over the
// bar before each position; a repaint draws the first tile, or the strip at 0, over it.
TEST_F(BitmapProgressTest, RepaintsOnlyWhenThePositionChangesTheTiles) {
    auto repaintedAt = [&](int pos, bool invalidate = false) {
        RECT rc{};
        bar.GetClientRect(&rc);
        HDC dc = GetDC(bar.m_hWnd);
        FillRect(dc, &rc, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
        ReleaseDC(bar.m_hWnd, dc);
        if (invalidate)
            InvalidateRect(bar.m_hWnd, nullptr, TRUE);
        SetPos(pos);
        return shown.At(0, 0) != RGB(0, 0, 0);
    };
    SetPos(0);
    EXPECT_TRUE(repaintedAt(4)) << "the first tile";
    EXPECT_FALSE(repaintedAt(7));
    EXPECT_TRUE(repaintedAt(8)) << "the second tile";
    EXPECT_EQ(TileColumns(), 2 * 9);
    EXPECT_TRUE(repaintedAt(0));
    SetPos(50);
    EXPECT_TRUE(repaintedAt(51, true)) << "a repaint due for another reason is kept";
    EXPECT_EQ(TileColumns(), 14 * 9);
}

TEST_F(BitmapProgressTest, PositionZeroIsAPlainStripWithNoFrame) {
    SetPos(100);
    SetPos(0);
    ASSERT_EQ(shown.width, 254);
    ASSERT_EQ(shown.height, 5);
    EXPECT_TRUE(RowsAreStrip(0, 0)); // corners included: no frame or edge
    kxtest::SaveScreenshot(kxtest::CaptureWindow(host.m_hWnd), L"progress_0");
}

TEST_F(BitmapProgressTest, ClearsTheStripFirstOnlyAfterRegainingTheForeground) {
    SetPos(50);
    ASSERT_EQ(TileColumns(), 14 * 9);
    owner.m_bForeground = false;
    SetPos(10); // two tiles drawn over the fourteen: nothing cleared
    EXPECT_EQ(TileColumns(), 14 * 9);
    owner.m_bForeground = true;
    SetPos(11); // back in the foreground: cleared, then three tiles
    EXPECT_EQ(TileColumns(), 3 * 9);
    EXPECT_TRUE(RowsAreStrip(3 * 9, 0));
    SetPos(7); // in the foreground the strip is not cleared again
    EXPECT_EQ(TileColumns(), 3 * 9);
}

TEST_F(BitmapProgressTest, ClickGivesTheBarTheFocus) {
    SetFocus(host.m_hWnd);
    const POINT at = kxtest::CenterOf(bar.m_hWnd);
    kxtest::MouseLeftDown(at);
    kxtest::MouseLeftUp(at);
    EXPECT_TRUE(kxtest::WaitFor([&] { return GetFocus() == bar.m_hWnd; }));
}

TEST_F(BitmapProgressTest, RepeatedPaintsLeaveNoGdiObjects) {
    SetPos(1);
    const DWORD before = kxtest::GdiObjectCount();
    for (int i = 0; i <= 100; ++i)
        SetPos(i % 2 ? i : 0);
    EXPECT_EQ(kxtest::GdiObjectCount(), before);
}

} // namespace
