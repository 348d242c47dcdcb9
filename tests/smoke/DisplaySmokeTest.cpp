// Proof that the display path works: a dialog from a template is shown, captured from
// the screen, and its size and colour are what the template and the code ask for.
#include "support/WinTest.h"

#include <gtest/gtest.h>

namespace {

constexpr COLORREF kBody = RGB(0xb4, 0x20, 0x2d);

INT_PTR CALLBACK SmokeProc(HWND, UINT msg, WPARAM, LPARAM) {
    static HBRUSH brush = CreateSolidBrush(kBody);
    if (msg == WM_CTLCOLORDLG)
        return reinterpret_cast<INT_PTR>(brush);
    return msg == WM_INITDIALOG;
}

TEST(DisplaySmoke, DialogFromTemplateShowsItsColourAtItsSize) {
    HWND dlg = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(9001), nullptr,
                                  SmokeProc, 0);
    ASSERT_NE(dlg, nullptr);
    SetWindowPos(dlg, HWND_TOPMOST, 40, 40, 0, 0, SWP_NOSIZE | SWP_SHOWWINDOW);
    ASSERT_TRUE(kxtest::WaitFor([&] { return IsWindowVisible(dlg) != FALSE; }));

    RECT expected{0, 0, 200, 100};
    MapDialogRect(dlg, &expected);
    RECT client{};
    GetClientRect(dlg, &client);
    EXPECT_EQ(client.right, expected.right);
    EXPECT_EQ(client.bottom, expected.bottom);

    UpdateWindow(dlg);
    kxtest::Pixels px;
    // The first frames may still be on their way to the X server; wait for the colour.
    EXPECT_TRUE(kxtest::WaitFor([&] {
        px = kxtest::CaptureWindow(dlg);
        return px.At(px.width / 2, px.height - 5) == kBody;
    }));
    RECT window{};
    GetWindowRect(dlg, &window);
    EXPECT_EQ(px.width, window.right - window.left);
    EXPECT_EQ(px.height, window.bottom - window.top);
    kxtest::SaveScreenshot(px, L"smoke_dialog");
    DestroyWindow(dlg);
}

} // namespace

namespace {

// Leak tests elsewhere compare GDI object counts; they are only meaningful if the
// count moves with the objects this process creates on this platform.
TEST(DisplaySmoke, GdiObjectCountFollowsCreatedObjects) {
    const DWORD before = kxtest::GdiObjectCount();
    HBRUSH brush = CreateSolidBrush(RGB(1, 2, 3));
    HDC dc = CreateCompatibleDC(nullptr);
    EXPECT_EQ(kxtest::GdiObjectCount(), before + 2);
    DeleteDC(dc);
    DeleteObject(brush);
    EXPECT_EQ(kxtest::GdiObjectCount(), before);
}

} // namespace
