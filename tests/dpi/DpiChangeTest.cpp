// A move to a monitor of another scale (WM_DPICHANGED, as the system sends it): the
// window and the prompt are laid out again at the new scale and at the rectangle the
// system suggests, and back at 96 DPI the window looks exactly as it did.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "ScaleTestSupport.h"
#include "update/locale/Localization.h"
#include "res/resource.h"
#include "support/MainWindowHarness.h"
#include "ui/UpdateDlg.h"

namespace {

using kxtest::LocalizedPicture;
using kxtest::MainWindowHarness;
using kxtest::Pixels;
using kxtest::SkinPicture;

// Tells the window it is now on a monitor of this DPI, suggesting the rectangle of the
// skin's size (width x height at 96 DPI) at that scale with its top-left corner at
// `at`, and checks that the window took exactly that rectangle.
void MoveToScale(HWND window, UINT dpi, POINT at, int width, int height) {
    const CSkinScale scale(dpi);
    RECT suggested{at.x, at.y, at.x + scale.Px(width), at.y + scale.Px(height)}, rc{};
    SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));
    GetWindowRect(window, &rc);
    EXPECT_TRUE(EqualRect(&rc, &suggested))
        << "at " << dpi << " DPI the window is at " << rc.left << ", " << rc.top << " - "
        << rc.right << ", " << rc.bottom;
}

TEST(DpiChange, TheWindowIsLaidOutAgainAtTheSuggestedRectangleAndBack) {
    ASSERT_EQ(kxtest::ProcessDpi(), kDefaultDpi);
    MainWindowHarness h;
    h.sim.Plug(1);
    HWND window = h.Start();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(kxtest::WaitFor([&] { return h.VersionText() == L"V1.34"; }));
    Pixels before;
    ASSERT_TRUE(kxtest::WaitForLook(
        window,
        [&](const Pixels& px) {
            return kxtest::ShowsBitmap(px, SkinPicture(LocalizedPicture(PIC_DEVICE_CONNECTED), 96),
                                       28, 88) &&
                   kxtest::ShowsBitmap(px, SkinPicture(LocalizedPicture(PIC_UPDATE_NORMAL), 96),
                                       161, 140) &&
                   kxtest::ShowsPart(px, SkinPicture(LocalizedPicture(PIC_BACKGROUND), 96),
                                     {0, 300, 420, 327});
        },
        &before));

    const CSkinScale scale(144);
    MoveToScale(window, 144, {100, 60}, 420, 327);
    const RECT progress = kxtest::RectInParent(h.Control(IDC_PROGRESS));
    EXPECT_EQ(progress.left, scale.Px(82));
    EXPECT_EQ(progress.right - progress.left, scale.Px(254));
    Pixels px;
    EXPECT_TRUE(kxtest::WaitForLook(
        window,
        [&](const Pixels& shown) {
            const std::tuple<UINT, int, int> pictures[] = {
                {LocalizedPicture(PIC_DEVICE_CONNECTED), 28, 88},
                {LocalizedPicture(PIC_UPDATE_NORMAL), 161, 140},
                {IDB_CLOSE, 398, 4}};
            for (const auto& [id, x, y] : pictures)
                if (!kxtest::ShowsBitmap(shown, SkinPicture(id, 144), scale.Px(x), scale.Px(y)))
                    return false;
            return kxtest::ShowsPart(shown, SkinPicture(LocalizedPicture(PIC_BACKGROUND), 144),
                                     scale.Rect(0, 300, 420, 27));
        },
        &px));
    kxtest::SaveScreenshot(px, L"dpi_change_to_144");

    MoveToScale(window, 96, {0, 0}, 420, 327);
    Pixels after;
    EXPECT_TRUE(kxtest::WaitForLook(
        window, [&](const Pixels& shown) { return shown.data == before.data; }, &after))
        << "back at 96 DPI the window does not look as it did";
}

TEST(DpiChange, ThePromptIsLaidOutAgainAtTheSuggestedRectangle) {
    MainWindowHarness h;
    ASSERT_NE(h.Start(), nullptr);
    std::atomic<int> result{0};
    std::thread worker([&] { result = h.Dialog()->ShowPrompt(L"Firmware update failure", 0); });
    HWND prompt = h.WaitForPrompt();
    ASSERT_NE(prompt, nullptr);
    const RECT textBefore = kxtest::RectInParent(GetDlgItem(prompt, IDC_PROMPT_TEXT));

    const CSkinScale scale(192);
    MoveToScale(prompt, 192, {200, 100}, 300, 127);
    const RECT ok = kxtest::RectInParent(GetDlgItem(prompt, IDC_BTN_OK));
    EXPECT_EQ(ok.left, scale.Px(214));
    EXPECT_EQ(ok.top, scale.Px(90));
    const RECT text = kxtest::RectInParent(GetDlgItem(prompt, IDC_PROMPT_TEXT));
    EXPECT_EQ(text.left, textBefore.left * 2);
    EXPECT_EQ(text.bottom, textBefore.bottom * 2);
    EXPECT_LT(text.right, scale.Px(300));
    Pixels px;
    EXPECT_TRUE(kxtest::WaitForLook(
        prompt,
        [&](const Pixels& shown) {
            return kxtest::ShowsBitmap(shown, SkinPicture(LocalizedPicture(PIC_OK_NORMAL), 192),
                                       ok.left, ok.top);
        },
        &px));

    kxtest::ClickControl(prompt, IDC_BTN_OK);
    kxtest::WaitFor([&] { return result != 0; });
    worker.join();
    EXPECT_EQ(result, 1);
}

} // namespace
