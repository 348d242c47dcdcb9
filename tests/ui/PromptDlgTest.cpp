// The prompt dialog: where it is placed, its buttons for both styles, its colours, the
// result of each way of closing it, what a screen reader and a keyboard user find in it,
// and no GDI objects left behind by repeated prompts.
#include "UiTestSupport.h"

#include <oleacc.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "update/locale/Localization.h"
#include "res/resource.h"
#include "support/ScreenReader.h"
#include "ui/PromptDlg.h"

namespace {

class CTestApp : public CWinApp {};

// Pixels of the prompt's text area that are white.
int WhiteTextPixels(const kxtest::Pixels& px) {
    int white = 0;
    for (int y = 24; y < 80; ++y)
        for (int x = 15; x < 285; ++x)
            white += px.At(x, y) == RGB(255, 255, 255);
    return white;
}

// Waits until the prompt shows its panel and its text; returns the capture.
kxtest::Pixels WaitForPrompt(HWND prompt) {
    kxtest::Pixels px;
    kxtest::WaitFor([&] {
        px = kxtest::CaptureWindow(prompt);
        return px.At(150, 60) == CPromptDlg::kPanelColor && WhiteTextPixels(px) > 20;
    });
    return px;
}

class PromptDlgTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(main.Create(RECT{30, 20, 30 + 420, 20 + 327}));
        app.m_pMainWnd = &main;
    }
    void TearDown() override { app.m_pMainWnd = nullptr; }

    // Shows a prompt over the main window from a worker thread (as the update does)
    // and lets `act` handle it once it is on screen. Returns the prompt's result.
    int Run(const std::wstring& text, int style, const std::function<void(HWND)>& act,
            bool highContrast = false) {
        std::atomic<int> result{-100};
        std::atomic<bool> done{false};
        std::thread worker([&] {
            result = CPromptDlg::Show(main.m_hWnd, text, style, highContrast);
            done = true;
        });
        HWND prompt = nullptr;
        kxtest::WaitFor([&] {
            prompt = FindPrompt();
            return prompt && IsWindowVisible(prompt);
        });
        if (prompt)
            act(prompt);
        kxtest::WaitFor([&] { return done.load(); });
        worker.join();
        return result;
    }
    HWND FindPrompt() const {
        HWND found = nullptr;
        EnumWindows(
            [](HWND hwnd, LPARAM param) -> BOOL {
                if (GetWindow(hwnd, GW_OWNER) && GetDlgItem(hwnd, IDC_PROMPT_TEXT)) {
                    *reinterpret_cast<HWND*>(param) = hwnd;
                    return FALSE;
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&found));
        return found;
    }
    static RECT ClientRectOf(HWND prompt, int id) {
        RECT rc{};
        HWND control = GetDlgItem(prompt, id);
        if (!control)
            return rc;
        GetWindowRect(control, &rc);
        MapWindowPoints(nullptr, prompt, reinterpret_cast<POINT*>(&rc), 2);
        return rc;
    }

    CTestApp app;
    CHostWindow main;
};

TEST_F(PromptDlgTest, OneButtonPromptGeometryAndColours) {
    RECT window{}, ok{};
    bool cancelExists = true, ownerDisabled = false;
    kxtest::Pixels px;
    const int result = Run(L"Firmware upgraded successful!", PROMPT_OK, [&](HWND prompt) {
        GetWindowRect(prompt, &window);
        ok = ClientRectOf(prompt, IDC_BTN_OK);
        cancelExists = GetDlgItem(prompt, IDC_BTN_CANCEL) != nullptr;
        ownerDisabled = !IsWindowEnabled(main.m_hWnd);
        const kxtest::Pixels okFace = BitmapPixels(static_cast<UINT>(LocalizedId(PIC_OK_NORMAL)));
        kxtest::WaitFor([&] {
            px = WaitForPrompt(prompt);
            return ShowsBitmap(px, okFace, 214, 90);
        });
        kxtest::SaveScreenshot(px, L"prompt_ok");
        kxtest::ClickControl(prompt, IDC_BTN_OK);
    });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(window.left, 30 + 60);
    EXPECT_EQ(window.top, 20 + 125);
    EXPECT_EQ(window.right - window.left, 300);
    EXPECT_EQ(window.bottom - window.top, 127);
    EXPECT_EQ(ok.left, 214);
    EXPECT_EQ(ok.top, 90);
    EXPECT_EQ(ok.right, 284);
    EXPECT_EQ(ok.bottom, 112);
    EXPECT_FALSE(cancelExists);
    EXPECT_TRUE(ownerDisabled);
    EXPECT_TRUE(main.IsWindowEnabled());

    // White text on the panel colour inside the text control's area.
    EXPECT_GT(WhiteTextPixels(px), 20);
    EXPECT_TRUE(
        ShowsBitmap(px, BitmapPixels(static_cast<UINT>(LocalizedId(PIC_OK_NORMAL))), 214, 90));
}

TEST_F(PromptDlgTest, TwoButtonPromptHasOkLeftAndCancelRight) {
    RECT ok{}, cancel{};
    const int result = Run(L"Update firmware version: V1.34", PROMPT_OKCANCEL, [&](HWND prompt) {
        ok = ClientRectOf(prompt, IDC_BTN_OK);
        cancel = ClientRectOf(prompt, IDC_BTN_CANCEL);
        kxtest::SaveScreenshot(WaitForPrompt(prompt), L"prompt_okcancel");
        kxtest::ClickControl(prompt, IDC_BTN_CANCEL);
    });
    EXPECT_EQ(result, 2);
    EXPECT_EQ(ok.left, 60);
    EXPECT_EQ(ok.right, 130);
    EXPECT_EQ(cancel.left, 170);
    EXPECT_EQ(cancel.right, 240);
    EXPECT_EQ(ok.top, 90);
    EXPECT_EQ(cancel.bottom, 112);
}

// Over a minimised window the prompt goes where it will be over the window once restored;
// one that would reach past the screen's edge is moved onto it.
TEST_F(PromptDlgTest, APromptLiesWhollyOnTheScreen) {
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    RECT shown{};
    auto note = [&](HWND prompt) {
        ShowWindow(main.m_hWnd, SW_RESTORE);
        GetWindowRect(prompt, &shown);
        kxtest::ClickControl(prompt, IDC_BTN_OK);
    };
    ShowWindow(main.m_hWnd, SW_MINIMIZE);
    ASSERT_TRUE(main.IsIconic());
    EXPECT_EQ(Run(L"minimised", PROMPT_OK, note), 1);
    EXPECT_EQ(shown.left, 30 + 60);
    EXPECT_EQ(shown.top, 20 + 125);

    main.MoveWindow(work.right - 100, work.bottom - 100, 420, 327);
    EXPECT_EQ(Run(L"in the corner", PROMPT_OK, note), 1);
    EXPECT_EQ(shown.right, work.right);
    EXPECT_EQ(shown.bottom, work.bottom);
}

// A notice naming a file's path, longer than the three lines the prompt is drawn for.
const wchar_t kLongNotice[] =
    L"The last firmware update did not finish (2026-12-09 10:41:07). Keep the receiver "
    L"plugged in and run the update again.\n\nThe tool stopped unexpectedly last time. A "
    L"report for support was saved as C:\\users\\Tom & Jerry\\AppData\\Local\\Kestrix\\"
    L"OV Tools\\crashes\\crash-20261209-104107-4242.dmp.";

// A text of more lines than the prompt holds makes it taller: every line on the panel,
// the background's body grown between its title and its button row, the button row and
// the bottom edge moved down with it.
TEST_F(PromptDlgTest, ALongTextMakesThePromptTallerWithNothingCut) {
    RECT window{}, ok{}, text{};
    kxtest::Pixels px;
    const kxtest::Pixels okFace = BitmapPixels(static_cast<UINT>(LocalizedId(PIC_OK_NORMAL)));
    Run(kLongNotice, PROMPT_OK, [&](HWND prompt) {
        // Until the grown prompt has been painted, its OK button included.
        kxtest::WaitFor([&] {
            GetWindowRect(prompt, &window);
            px = WaitForPrompt(prompt);
            ok = ClientRectOf(prompt, IDC_BTN_OK);
            return px.height == window.bottom - window.top && ShowsBitmap(px, okFace, 214, ok.top);
        });
        text = ClientRectOf(prompt, IDC_PROMPT_TEXT);
        kxtest::SaveScreenshot(px, L"prompt_long");
        kxtest::ClickControl(prompt, IDC_BTN_OK);
    });
    const int height = window.bottom - window.top;
    const int extra = height - 127;
    ASSERT_GT(extra, 0);
    EXPECT_EQ(window.right - window.left, 300);
    EXPECT_EQ(ok.top, 90 + extra);
    EXPECT_EQ(ok.bottom, 112 + extra);
    EXPECT_EQ(text.bottom, 74 + extra);
    EXPECT_TRUE(ShowsBitmap(px, okFace, 214, ok.top));
    // The last line is drawn: white in the text's lowest line height.
    int lastLineWhite = 0;
    for (int y = text.bottom - 16; y < text.bottom; ++y)
        for (int x = text.left; x < text.right; ++x)
            lastLineWhite += px.At(x, y) == RGB(255, 255, 255);
    EXPECT_GT(lastLineWhite, 10);
    // The panel's body where it grew, and its dark edge at the very bottom.
    EXPECT_EQ(px.At(5, 80 + extra / 2), CPromptDlg::kPanelColor);
    EXPECT_EQ(px.At(150, height - 1), px.At(150, 0));
}

TEST_F(PromptDlgTest, KeyboardAndSystemCloseResults) {
    auto key = [](WPARAM vk) {
        return [vk](HWND prompt) { PostMessageW(prompt, WM_KEYDOWN, vk, 1); };
    };
    auto altF4 = [](HWND prompt) { PostMessageW(prompt, WM_SYSCOMMAND, SC_CLOSE, 0); };
    for (int style : {PROMPT_OK, PROMPT_OKCANCEL}) {
        EXPECT_EQ(Run(L"enter", style, key(VK_RETURN)), 1) << "Enter, style " << style;
        // Escape takes the way out: Cancel, or OK where that is the only answer.
        EXPECT_EQ(Run(L"escape", style, key(VK_ESCAPE)), style == PROMPT_OKCANCEL ? 2 : 1)
            << "Escape, style " << style;
        EXPECT_EQ(Run(L"alt+f4", style, altF4), 2) << "system close, style " << style;
    }
}


// A screen reader finds the prompt as a dialog whose description is its text and its OK
// button focused, named and described by that text; Tab moves the focus to Cancel, which
// then shows the focus cue where OK shows none, and Enter answers with it.
TEST_F(PromptDlgTest, AScreenReaderReadsThePromptAndTheKeyboardAnswersIt) {
    kxtest::ReadAloud dialog, ok, cancel;
    HWND focusAtOpen = nullptr, okButton = nullptr;
    bool okPlain = false, cancelPlain = true, cancelCued = false;
    const int result = Run(L"\n   Abort the update?   \n", PROMPT_OKCANCEL, [&](HWND prompt) {
        okButton = GetDlgItem(prompt, IDC_BTN_OK);
        HWND cancelButton = GetDlgItem(prompt, IDC_BTN_CANCEL);
        WaitForPrompt(prompt);
        focusAtOpen = kxtest::FocusIn(prompt);
        dialog = kxtest::ReadWindow(prompt);
        ok = kxtest::ReadWindow(okButton);
        cancel = kxtest::ReadWindow(cancelButton);
        const kxtest::Pixels okFace = BitmapPixels(static_cast<UINT>(LocalizedId(PIC_OK_NORMAL)));
        const kxtest::Pixels cancelFace =
            BitmapPixels(static_cast<UINT>(LocalizedId(PIC_CANCEL_NORMAL)));
        cancelPlain = kxtest::WaitFor(
            [&] { return ShowsBitmap(kxtest::CaptureWindow(prompt), cancelFace, 170, 90); });
        PostMessageW(prompt, WM_KEYDOWN, VK_TAB, 1);
        kxtest::Pixels px;
        cancelCued = kxtest::WaitFor([&] {
            px = kxtest::CaptureWindow(prompt);
            return kxtest::FocusIn(prompt) == cancelButton && !ShowsBitmap(px, cancelFace, 170, 90);
        });
        okPlain = ShowsBitmap(px, okFace, 60, 90);
        kxtest::SaveScreenshot(px, L"prompt_focus_on_cancel");
        PostMessageW(cancelButton, WM_KEYDOWN, VK_RETURN, 1);
    });
    EXPECT_EQ(result, 2);
    EXPECT_EQ(focusAtOpen, okButton);
    EXPECT_EQ(dialog.role, ROLE_SYSTEM_DIALOG);
    EXPECT_EQ(dialog.name, L"NOTE");
    EXPECT_EQ(dialog.description, L"Abort the update?");
    EXPECT_EQ(ok.role, ROLE_SYSTEM_PUSHBUTTON);
    EXPECT_EQ(ok.name, L"OK");
    EXPECT_EQ(ok.description, L"Abort the update?");
    EXPECT_EQ(cancel.role, ROLE_SYSTEM_PUSHBUTTON);
    EXPECT_EQ(cancel.name, L"Cancel");
    EXPECT_TRUE(cancelPlain) << "no focus cue before the keyboard is used";
    EXPECT_TRUE(cancelCued);
    EXPECT_TRUE(okPlain);
}

// In high contrast the prompt is the system's window colours with a frame, its text in the
// window text's colour and its buttons text buttons; they still answer.
TEST_F(PromptDlgTest, HighContrastDrawsInTheSystemsColours) {
    kxtest::Pixels px;
    const COLORREF window = GetSysColor(COLOR_WINDOW), face = GetSysColor(COLOR_BTNFACE);
    const int result = Run(
        L"Update firmware version: V1.36", PROMPT_OKCANCEL,
        [&](HWND prompt) {
            kxtest::WaitFor([&] {
                px = kxtest::CaptureWindow(prompt);
                return px.At(150, 60) == window && px.At(65, 95) == face && px.At(175, 95) == face;
            });
            kxtest::SaveScreenshot(px, L"prompt_high_contrast");
            kxtest::ClickControl(prompt, IDC_BTN_CANCEL);
        },
        true);
    EXPECT_EQ(result, 2);
    EXPECT_EQ(px.At(150, 60), window);
    EXPECT_EQ(px.At(0, 0), GetSysColor(COLOR_WINDOWFRAME)); // the frame
    EXPECT_EQ(px.At(65, 95), face);                         // inside OK
    EXPECT_EQ(px.At(175, 95), face);                        // inside Cancel
    int text = 0;
    for (int y = 24; y < 60; ++y)
        for (int x = 15; x < 285; ++x)
            text += px.At(x, y) == GetSysColor(COLOR_WINDOWTEXT);
    EXPECT_GT(text, 20);
}

TEST_F(PromptDlgTest, RepeatedPromptsLeaveNoGdiObjectsOfTheirOwn) {
    auto clickOk = [](HWND prompt) {
        WaitForPrompt(prompt);
        kxtest::ClickControl(prompt, IDC_BTN_OK);
    };
    Run(L"warm-up", PROMPT_OKCANCEL, clickOk);
    const DWORD platform = 4 * kxtest::PlatformGdiObjectsPerDialog(IDD_PROMPT, main.m_hWnd, 4);
    const DWORD before = kxtest::GdiObjectCount();
    // Two of them grown for a long text, whose taller background is a picture of its own.
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(Run(i < 2 ? L"again" : kLongNotice, i % 2, clickOk), 1);
    EXPECT_EQ(kxtest::GdiObjectCount() - before, platform);
}

} // namespace
