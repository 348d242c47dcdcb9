// GDI wrappers: paints that build memory contexts, bitmaps and brushes release all of
// them; replacing a static control's picture frees the one it replaces.
#include "FrameworkTestSupport.h"
#include "support/WinTest.h"

#include <gtest/gtest.h>

namespace {

// Paints through every wrapper the skin uses: an off-screen bitmap in a memory
// context, a scoped selection, a brush, and one copy to the screen.
class CPaintProbe : public CWnd {
public:
    int m_nPaints = 0;

protected:
    void OnPaint() {
        CPaintDC dc(m_hWnd);
        RECT rc{};
        GetClientRect(&rc);
        CDC mem;
        mem.CreateCompatibleDC(&dc);
        CBitmap bitmap;
        bitmap.CreateCompatibleBitmap(&dc, rc.right, rc.bottom);
        CSelectObject select(mem, bitmap);
        mem.FillSolidRect(rc, RGB(0x20, 0x40, 0x60));
        dc.BitBlt(0, 0, rc.right, rc.bottom, &mem, 0, 0, SRCCOPY);
        ++m_nPaints;
    }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CPaintProbe, CWnd)
    ON_WM_PAINT()
END_MESSAGE_MAP()

TEST(Gdi, RepeatedPaintsLeaveNoObjectsBehind) {
    CPaintProbe wnd;
    ASSERT_TRUE(wnd.CreateEx(WS_EX_TOPMOST, PlainWindowClass(), L"", WS_POPUP | WS_VISIBLE,
                             RECT{20, 20, 120, 80}, nullptr, 0));
    wnd.UpdateWindow();
    const DWORD before = kxtest::GdiObjectCount();
    for (int i = 0; i < 100; ++i) {
        wnd.Invalidate();
        wnd.UpdateWindow();
    }
    EXPECT_GE(wnd.m_nPaints, 100);
    EXPECT_EQ(kxtest::GdiObjectCount(), before);

    kxtest::Pixels px = kxtest::CaptureWindow(wnd.m_hWnd);
    EXPECT_EQ(px.At(50, 30), RGB(0x20, 0x40, 0x60));
}

TEST(Gdi, ReplacingAStaticPictureFreesTheOneItReplaces) {
    CWnd parent;
    ASSERT_TRUE(
        parent.CreateEx(0, PlainWindowClass(), L"", WS_POPUP, RECT{0, 0, 100, 100}, nullptr, 0));
    CStatic picture;
    ASSERT_TRUE(
        picture.CreateEx(0, L"STATIC", L"", WS_CHILD | SS_BITMAP, RECT{0, 0, 40, 40}, &parent, 5));
    CDC screen;
    screen.CreateCompatibleDC(nullptr);
    auto makeBitmap = [&] {
        CBitmap bmp;
        bmp.CreateCompatibleBitmap(&screen, 8, 8);
        return bmp;
    };
    picture.SetBitmap(makeBitmap());
    const DWORD before = kxtest::GdiObjectCount();
    for (int i = 0; i < 20; ++i)
        picture.SetBitmap(makeBitmap());
    EXPECT_EQ(kxtest::GdiObjectCount(), before);
    EXPECT_NE(picture.GetBitmap(), nullptr);
}

TEST(Gdi, ObjectsMoveWithoutBeingFreedTwice) {
    const DWORD before = kxtest::GdiObjectCount();
    {
        CBrush a(RGB(1, 1, 1));
        CBrush b(std::move(a));
        EXPECT_TRUE(a.IsNull());
        EXPECT_FALSE(b.IsNull());
        CBrush c;
        c = std::move(b);
        EXPECT_EQ(kxtest::GdiObjectCount(), before + 1);
    }
    EXPECT_EQ(kxtest::GdiObjectCount(), before);
}

} // namespace
