// The main window follows the system's high-contrast setting both ways without a
// restart. Wine always reports high contrast off, so the test gives the window its own
// answer and sends the notification the system sends when the setting changes.
#include "support/MainWindowHarness.h"

#include <gtest/gtest.h>

#include <atomic>

#include "res/resource.h"
#include "ui/UpdateDlg.h"
#include "update/locale/Localization.h"

namespace {

using kxtest::MainWindowHarness;
using kxtest::Pixels;

bool ShowsSkin(HWND window, Pixels* px) {
    const Pixels background = kxtest::BitmapPixels(static_cast<UINT>(LocalizedId(PIC_BACKGROUND)));
    const Pixels device =
        kxtest::BitmapPixels(static_cast<UINT>(LocalizedId(PIC_DEVICE_CONNECTED)));
    const Pixels update = kxtest::BitmapPixels(static_cast<UINT>(LocalizedId(PIC_UPDATE_NORMAL)));
    return kxtest::WaitFor([&] {
        *px = kxtest::CaptureWindow(window);
        return px->At(5, 320) == background.At(5, 320) &&
               kxtest::ShowsBitmap(*px, device, 28, 88) &&
               kxtest::ShowsBitmap(*px, update, 161, 140);
    });
}

int PixelsOf(const Pixels& px, const RECT& rc, COLORREF colour) {
    int count = 0;
    for (int y = rc.top; y < rc.bottom; ++y)
        for (int x = rc.left; x < rc.right; ++x)
            count += px.At(x, y) == colour;
    return count;
}

TEST(MainWindowHighContrast, FollowsTheSettingBothWaysWithoutARestart) {
    std::atomic<bool> highContrast{false};
    MainWindowHarness h([&] {
        auto window = std::make_unique<CUpdateDlg>();
        window->SetHighContrastQuery([&] { return highContrast.load(); });
        return window;
    });
    h.sim.Plug(1);
    HWND window = h.Start();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(kxtest::WaitFor([&] { return h.VersionText() == L"V1.34"; }));
    Pixels px;
    ASSERT_TRUE(ShowsSkin(window, &px));

    highContrast = true;
    SendMessageW(window, WM_SYSCOLORCHANGE, 0, 0);
    h.Dialog()->SetProgress(50);
    const COLORREF back = GetSysColor(COLOR_WINDOW), text = GetSysColor(COLOR_WINDOWTEXT);
    EXPECT_TRUE(kxtest::WaitFor([&] {
        px = kxtest::CaptureWindow(window);
        return px.At(5, 320) == back && px.At(90, 182) == GetSysColor(COLOR_HIGHLIGHT) &&
               px.At(165, 144) == GetSysColor(COLOR_BTNFACE);
    }));
    kxtest::SaveScreenshot(px, L"main_high_contrast");
    EXPECT_TRUE(h.Dialog()->HighContrast());
    EXPECT_EQ(px.At(300, 182), back);                       // the bar past 50 %
    EXPECT_EQ(px.At(165, 144), GetSysColor(COLOR_BTNFACE)); // inside the update button
    EXPECT_GT(PixelsOf(px, {28, 88, 200, 117}, text), 20);  // "Receiver connected"
    EXPECT_GT(PixelsOf(px, {267, 93, 372, 106}, text), 10); // the version text
    EXPECT_GT(PixelsOf(px, {161, 140, 261, 168}, GetSysColor(COLOR_BTNTEXT)), 20); // its name

    // The not-connected state in words: a longer text, on more than one line.
    h.sim.Unplug();
    EXPECT_TRUE(kxtest::WaitFor([&] {
        px = kxtest::CaptureWindow(window);
        return PixelsOf(px, {28, 102, 200, 138}, text) > 10 && // more than one line
               px.At(165, 144) == GetSysColor(COLOR_BTNFACE);
    }));
    // The buttons are still drawn after the window changed its state's words.
    EXPECT_EQ(px.At(165, 144), GetSysColor(COLOR_BTNFACE));
    EXPECT_GT(PixelsOf(px, {161, 140, 261, 168}, GetSysColor(COLOR_GRAYTEXT)), 20); // greyed
    EXPECT_GT(PixelsOf(px, {398, 4, 418, 24}, GetSysColor(COLOR_BTNTEXT)), 5);      // the close "X"
    kxtest::SaveScreenshot(px, L"main_high_contrast_not_connected");
    h.sim.Plug(1);

    highContrast = false;
    h.Dialog()->SetProgress(0);
    SendMessageW(window, WM_SETTINGCHANGE, SPI_SETHIGHCONTRAST, 0);
    EXPECT_TRUE(ShowsSkin(window, &px));
    EXPECT_FALSE(h.Dialog()->HighContrast());
}

} // namespace
