// The bitmap button under the real mouse: its three looks, hover tracking by capture,
// clicks reaching the parent (and not after moving off while held), and drawing only
// over the bitmap's size.
#include "UiTestSupport.h"

#include <gtest/gtest.h>

#include <memory>

#include "update/locale/Localization.h"
#include "res/resource.h"
#include "ui/ButtonEx.h"

namespace {

class ButtonExTest : public testing::Test {
protected:
    void SetUp() override {
        normal = BitmapPixels(static_cast<UINT>(LocalizedId(PIC_UPDATE_NORMAL)));
        hover = BitmapPixels(static_cast<UINT>(LocalizedId(PIC_UPDATE_HOVER)));
        disabled = BitmapPixels(static_cast<UINT>(LocalizedId(PIC_UPDATE_DISABLED)));
        ASSERT_EQ(normal.width, 100);
        kxtest::MouseMoveTo({5, 5});
        ASSERT_TRUE(host.Create(RECT{100, 100, 400, 300}));
        button = std::make_unique<CButtonEx>();
        button->LoadBitmaps(static_cast<UINT>(LocalizedId(PIC_UPDATE_NORMAL)),
                            static_cast<UINT>(LocalizedId(PIC_UPDATE_HOVER)),
                            static_cast<UINT>(LocalizedId(PIC_UPDATE_DISABLED)));
        ASSERT_TRUE(button->Create(L"", CButtonEx::kButtonStyle, RECT{50, 50, 150, 78}, &host,
                                   IDC_BTN_UPDATE));
        ASSERT_TRUE(Shows(normal));
    }
    void TearDown() override { kxtest::MouseMoveTo({5, 5}); }

    // Waits until the button shows the bitmap; the last capture stays in `shown`.
    bool Shows(const kxtest::Pixels& bitmap) {
        const bool ok = kxtest::WaitFor(
            [&] {
                shown = kxtest::CaptureWindow(button->m_hWnd);
                return ShowsBitmap(shown, bitmap);
            },
            2000);
        if (!ok)
            kxtest::SaveScreenshot(shown, L"button_unexpected_look");
        return ok;
    }
    POINT At(int x, int y) {
        RECT rc{};
        button->GetWindowRect(&rc);
        return {rc.left + x, rc.top + y};
    }

    CHostWindow host;
    std::unique_ptr<CButtonEx> button;
    kxtest::Pixels normal, hover, disabled, shown;
};

TEST_F(ButtonExTest, HoverLookFollowsThePointerOnAndOff) {
    kxtest::MouseMoveTo(At(50, 14));
    EXPECT_TRUE(Shows(hover));
    EXPECT_EQ(CWnd::GetCapture(), button->m_hWnd);
    kxtest::MouseMoveTo(At(60, 10)); // within: still hover
    EXPECT_TRUE(Shows(hover));
    kxtest::MouseMoveTo(At(50, 60)); // off, over the host
    EXPECT_TRUE(Shows(normal));
    EXPECT_EQ(CWnd::GetCapture(), nullptr);
    kxtest::SaveScreenshot(kxtest::CaptureWindow(host.m_hWnd), L"button_normal_after_hover");
}

TEST_F(ButtonExTest, HeldShowsNormalAndAClickReachesTheParent) {
    kxtest::MouseMoveTo(At(50, 14));
    ASSERT_TRUE(Shows(hover));
    kxtest::SaveScreenshot(kxtest::CaptureWindow(host.m_hWnd), L"button_hover");
    kxtest::MouseLeftDown(At(50, 14));
    EXPECT_TRUE(Shows(normal)); // no pressed look: the normal face while held
    kxtest::MouseLeftUp(At(50, 14));
    EXPECT_TRUE(kxtest::WaitFor([&] { return host.m_nClicks == 1; }));
    EXPECT_EQ(host.m_nLastClickedId, static_cast<UINT>(IDC_BTN_UPDATE));
    // The platform follows a release of the capture with a pointer movement, so the
    // hover look and its capture come back at once while the pointer stays on it.
    EXPECT_TRUE(Shows(hover));
    EXPECT_EQ(CWnd::GetCapture(), button->m_hWnd);
}

TEST_F(ButtonExTest, PressMoveOffAndReleaseSendsNoClick) {
    kxtest::MouseMoveTo(At(50, 14));
    ASSERT_TRUE(Shows(hover));
    kxtest::MouseLeftDown(At(50, 14));
    kxtest::MouseMoveTo(At(50, 80));
    EXPECT_TRUE(Shows(normal));
    kxtest::MouseLeftUp(At(50, 80));
    kxtest::MouseMoveTo(At(50, 14)); // back over it: tracked again, no click pending
    EXPECT_TRUE(Shows(hover));
    EXPECT_EQ(host.m_nClicks, 0);
}

TEST_F(ButtonExTest, DisabledShowsItsLookWhateverThePointerDoes) {
    button->EnableWindow(FALSE);
    EXPECT_TRUE(Shows(disabled));
    kxtest::SaveScreenshot(kxtest::CaptureWindow(host.m_hWnd), L"button_disabled");
    kxtest::MouseMoveTo(At(50, 14));
    kxtest::MouseLeftDown(At(50, 14));
    kxtest::MouseLeftUp(At(50, 14));
    EXPECT_TRUE(Shows(disabled));
    kxtest::PumpMessages();
    EXPECT_EQ(host.m_nClicks, 0);
}

TEST(ButtonEx, DrawsOnlyOverItsBitmapsSizeFromTheTopLeft) {
    CHostWindow host;
    ASSERT_TRUE(host.Create(RECT{0, 0, 300, 200}));
    CButtonEx button;
    button.LoadBitmaps(static_cast<UINT>(LocalizedId(PIC_OK_NORMAL)),
                       static_cast<UINT>(LocalizedId(PIC_OK_HOVER)),
                       static_cast<UINT>(LocalizedId(PIC_OK_NORMAL)));
    ASSERT_TRUE(button.Create(L"", CButtonEx::kButtonStyle, RECT{0, 0, 150, 60}, &host, 9));

    // Draw into an off-screen surface pre-filled with a colour no bitmap uses.
    constexpr COLORREF kSentinel = RGB(1, 2, 3);
    CDC screen(GetDC(nullptr));
    CDC mem;
    mem.CreateCompatibleDC(&screen);
    CBitmap surface;
    surface.CreateCompatibleBitmap(&screen, 150, 60);
    ReleaseDC(nullptr, screen.Detach());
    CSelectObject select(mem, surface);
    mem.FillSolidRect(RECT{0, 0, 150, 60}, kSentinel);
    DRAWITEMSTRUCT item{};
    item.CtlType = ODT_BUTTON;
    item.hwndItem = button.m_hWnd;
    item.hDC = mem;
    item.rcItem = {0, 0, 150, 60};
    static_cast<CWnd&>(button).DrawItem(&item);

    const kxtest::Pixels face = BitmapPixels(static_cast<UINT>(LocalizedId(PIC_OK_NORMAL)));
    ASSERT_EQ(face.width, 70);
    ASSERT_EQ(face.height, 22);
    for (int y = 0; y < 60; y += 3) {
        for (int x = 0; x < 150; x += 3) {
            const COLORREF got = GetPixel(mem, x, y);
            if (x < 70 && y < 22)
                ASSERT_EQ(got, face.At(x, y)) << x << "," << y;
            else
                ASSERT_EQ(got, kSentinel) << x << "," << y;
        }
    }
}

TEST(ButtonEx, ATemplateButtonTakenOverBecomesOwnerDrawn) {
    CHostWindow host;
    ASSERT_TRUE(host.Create(RECT{0, 0, 100, 100}));
    HWND plain = CreateWindowExW(0, L"BUTTON", L"x", WS_CHILD | BS_PUSHBUTTON, 0, 0, 50, 20,
                                 host.m_hWnd, nullptr, GetModuleHandleW(nullptr), nullptr);
    CButtonEx button;
    ASSERT_TRUE(button.SubclassWindow(plain));
    EXPECT_EQ(button.GetStyle() & BS_TYPEMASK, static_cast<DWORD>(BS_OWNERDRAW));
}

} // namespace
