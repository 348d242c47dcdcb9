// The main window and its prompt at the DPI this process runs at (96 here, 144 and 192
// in the children of ScaleRuns.cpp): the window's size, where its controls lie, the
// pictures drawn for the scale, texts that fit, whole progress tiles, the buttons' hit
// areas, dragging, and a whole update.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

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

constexpr COLORREF kBody = RGB(0xb4, 0x20, 0x2d);

class ScaledWindow : public testing::Test {
protected:
    void SetUp() override {
        dpi = kxtest::ProcessDpi();
        ASSERT_NE(dpi, 0u) << "the process did not start at the DPI its run asked for";
        scale = CSkinScale(dpi);
    }
    std::wstring Name(const wchar_t* what) const {
        return L"scaled_" + std::to_wstring(dpi) + L"_" + what;
    }
    RECT Rect(int id) const { return kxtest::RectInParent(h.Control(id)); }
    // Drags the window with the real mouse from the screen point by (60, 40); true when
    // it followed.
    static bool Drags(HWND window, POINT from) {
        RECT start{}, rc{};
        GetWindowRect(window, &start);
        kxtest::MouseMoveTo(from);
        kxtest::MouseLeftDown(from);
        // The press starts the system's move loop on the window's thread; the pointer
        // moves once that follows it.
        kxtest::WaitFor([&] { return InMoveLoop(window); }, 3000);
        kxtest::MouseMoveTo({from.x + 30, from.y + 20});
        kxtest::MouseMoveTo({from.x + 60, from.y + 40});
        kxtest::MouseLeftUp({from.x + 60, from.y + 40});
        const bool moved = kxtest::WaitFor([&] {
            GetWindowRect(window, &rc);
            return rc.left == start.left + 60 && rc.top == start.top + 40;
        });
        kxtest::MouseMoveTo({1000, 900});
        return moved;
    }
    // Makes the window the foreground window with a click at the screen point (a press
    // and release without a move, which moves nothing): only the foreground window keeps
    // the mouse capture that the buttons' hover looks rely on.
    static bool Activate(HWND window, POINT at) {
        kxtest::MouseMoveTo(at);
        kxtest::MouseLeftDown(at);
        kxtest::MouseLeftUp(at);
        return kxtest::WaitFor(
            [&] { return GetForegroundWindow() == window && !InMoveLoop(window); }, 2000);
    }
    // Moves the pointer onto a button in two steps, as a hand does: the second takes the
    // hover back should a late move that the platform makes after a capture ends (a
    // button left before, a click) have reached the button after the first.
    static void HoverAt(POINT at) {
        kxtest::MouseMoveTo({at.x - 1, at.y - 1});
        kxtest::MouseMoveTo(at);
    }
    // Whether the system's move loop runs for the window (a press on the skin starts it).
    static bool InMoveLoop(HWND window) {
        GUITHREADINFO gui{};
        gui.cbSize = sizeof(gui);
        return GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &gui) &&
               (gui.flags & GUI_INMOVESIZE);
    }
    // Checks that the caption button lies at its skin place (left, top, width, height)
    // at the scale, then points at its far corner, which lies outside the 96-DPI button
    // at larger scales, sees its hover look there and clicks it.
    void PressFarCorner(int id, RECT skin, UINT hoverPicture) {
        const RECT rc = Rect(id),
                   expected = scale.Rect(skin.left, skin.top, skin.right, skin.bottom);
        EXPECT_TRUE(EqualRect(&rc, &expected)) << "button " << id;
        ASSERT_TRUE(Activate(h.Window(), OnScreen(scale.Px(20), scale.Px(320))));
        const POINT corner = OnScreen(rc.right - 2, rc.bottom - 2);
        HoverAt(corner);
        Pixels px;
        const bool hover = kxtest::WaitForLook(
            h.Window(),
            [&](const Pixels& shown) {
                return kxtest::ShowsBitmap(shown, SkinPicture(hoverPicture, dpi), rc.left, rc.top);
            },
            &px);
        EXPECT_TRUE(hover) << "no hover look at the far corner of button " << id;
        kxtest::MouseLeftDown(corner);
        kxtest::MouseLeftUp(corner);
        kxtest::MouseMoveTo({1000, 900});
    }
    // A point of the window's client area on the screen.
    POINT OnScreen(int x, int y) const {
        POINT p{x, y};
        ClientToScreen(h.Window(), &p);
        return p;
    }
    // The pictures at their skin positions, all shown by the window.
    bool ShowsPictures(std::initializer_list<std::tuple<UINT, int, int>> pictures, Pixels* shown) {
        return kxtest::WaitForLook(
            h.Window(),
            [&](const Pixels& px) {
                for (const auto& [id, x, y] : pictures)
                    if (!kxtest::ShowsBitmap(px, SkinPicture(id, dpi), scale.Px(x), scale.Px(y)))
                        return false;
                return true;
            },
            shown);
    }

    UINT dpi = 0;
    CSkinScale scale;
    MainWindowHarness h;
};

TEST_F(ScaledWindow, IsTheSkinTimesTheScaleWithEveryControlInsideAndApart) {
    h.sim.Plug(1);
    ASSERT_NE(h.Start(), nullptr);
    ASSERT_TRUE(kxtest::WaitFor([&] { return h.VersionText() == L"V1.34"; }));
    RECT window{}, client{};
    GetWindowRect(h.Window(), &window);
    GetClientRect(h.Window(), &client);
    EXPECT_EQ(window.left, 0);
    EXPECT_EQ(window.top, 0);
    EXPECT_EQ(window.right, scale.Px(420));
    EXPECT_EQ(window.bottom, scale.Px(327));
    EXPECT_TRUE(EqualRect(&client, &window));

    const int apart[] = {IDC_BTN_MINIMIZE, IDC_BTN_CLOSE,     IDC_BTN_UPDATE, IDC_PROGRESS,
                         IDC_DEVICE_PANEL, IDC_VERSION_PANEL, IDC_GUIDE};
    for (int id : apart) {
        const RECT rc = Rect(id);
        RECT inside{};
        EXPECT_FALSE(IsRectEmpty(&rc)) << "control " << id;
        IntersectRect(&inside, &rc, &client);
        EXPECT_TRUE(EqualRect(&inside, &rc)) << "control " << id << " leaves the window";
        for (int other : apart) {
            const RECT rcOther = Rect(other);
            EXPECT_TRUE(other == id || !IntersectRect(&inside, &rc, &rcOther))
                << "controls " << id << " and " << other << " overlap";
        }
    }
    // The version text lies on its panel.
    RECT version = Rect(IDC_VERSION), panel = Rect(IDC_VERSION_PANEL), on{};
    IntersectRect(&on, &version, &panel);
    EXPECT_TRUE(EqualRect(&on, &version));
}

TEST_F(ScaledWindow, ShowsThePicturesDrawnForItsScaleAtTheirScaledPlaces) {
    ASSERT_NE(h.Start(), nullptr);
    Pixels px;
    EXPECT_TRUE(ShowsPictures({{LocalizedPicture(PIC_DEVICE_ABSENT), 28, 88},
                               {LocalizedPicture(PIC_VERSION_ABSENT), 222, 88},
                               {LocalizedPicture(PIC_UPDATE_DISABLED), 161, 140},
                               {IDB_MINIMIZE, 381, 4},
                               {IDB_CLOSE, 398, 4}},
                              &px));
    // The background where no control lies: the title strip and the footer.
    const Pixels background = SkinPicture(LocalizedPicture(PIC_BACKGROUND), dpi);
    EXPECT_TRUE(kxtest::WaitForLook(
        h.Window(),
        [&](const Pixels& shown) {
            return kxtest::ShowsPart(shown, background, scale.Rect(0, 0, 370, 27)) &&
                   kxtest::ShowsPart(shown, background, scale.Rect(0, 300, 420, 27));
        },
        &px));
    kxtest::SaveScreenshot(px, Name(L"not_connected"));
}

TEST_F(ScaledWindow, TextsFitTheirLabels) {
    h.sim.SetVersion(0x000C04D2); // the widest version text in use: V12.34  Beta12
    h.sim.Plug(1);
    ASSERT_NE(h.Start(), nullptr);
    ASSERT_TRUE(kxtest::WaitFor([&] { return h.VersionText() == L"V12.34  Beta12"; }));
    HWND version = h.Control(IDC_VERSION), guide = h.Control(IDC_GUIDE);
    RECT rc{};
    GetClientRect(version, &rc);
    EXPECT_LE(kxtest::TextHeightIn(version, h.VersionText(), DT_SINGLELINE), rc.bottom);
    SIZE extent{};
    HDC dc = GetDC(version);
    HGDIOBJ old =
        SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(version, WM_GETFONT, 0, 0)));
    GetTextExtentPoint32W(dc, h.VersionText().c_str(), static_cast<int>(h.VersionText().size()),
                          &extent);
    SelectObject(dc, old);
    ReleaseDC(version, dc);
    EXPECT_LE(extent.cx, rc.right) << "the version text is wider than its label";

    GetClientRect(guide, &rc);
    EXPECT_LE(kxtest::TextHeightIn(guide, kxtest::WindowText(guide), DT_WORDBREAK), rc.bottom)
        << "the instructions do not fit their label";
}

TEST_F(ScaledWindow, ProgressShowsWholeTilesAtZeroHalfAndFull) {
    ASSERT_NE(h.Start(), nullptr);
    HWND bar = h.Control(IDC_PROGRESS);
    const Pixels tile = SkinPicture(IDB_TILE, dpi);
    ASSERT_GT(tile.width, 0);
    for (const auto& [pos, tiles] : {std::pair{0, 0}, {50, 14}, {100, 28}}) {
        SCOPED_TRACE(testing::Message() << "position " << pos);
        SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(pos), 0);
        Pixels shown;
        const bool ok = kxtest::WaitForLook(
            bar,
            [&](const Pixels& px) {
                for (int i = 0; i < tiles; ++i)
                    if (!kxtest::ShowsBitmap(px, tile, i * tile.width, 0))
                        return false;
                // Past the last tile, the strip: no part of a further tile.
                for (int y = 0; y < px.height; ++y)
                    for (int x = tiles * tile.width; x < px.width; ++x)
                        if (px.At(x, y) != kBody)
                            return false;
                return true;
            },
            &shown);
        EXPECT_TRUE(ok);
        EXPECT_EQ(shown.width, scale.Px(254));
        EXPECT_LE(tiles * tile.width, shown.width);
        if (pos == 50)
            kxtest::SaveScreenshot(kxtest::CaptureWindow(h.Window()), Name(L"progress_50"));
    }
}

TEST_F(ScaledWindow, CloseAnswersAllOverItsScaledButton) {
    ASSERT_NE(h.Start(), nullptr);
    PressFarCorner(IDC_BTN_CLOSE, {398, 4, 18, 17}, IDB_CLOSE_HOVER);
    EXPECT_TRUE(h.WaitClosed(3000));
}

TEST_F(ScaledWindow, MinimiseAnswersAllOverItsScaledButton) {
    ASSERT_NE(h.Start(), nullptr);
    PressFarCorner(IDC_BTN_MINIMIZE, {381, 4, 16, 17}, IDB_MINIMIZE_HOVER);
    EXPECT_TRUE(kxtest::WaitFor([&] { return IsIconic(h.Window()) != FALSE; }));
}

TEST_F(ScaledWindow, DragsFromTheFarCornerOfTheScaledSkin) {
    ASSERT_NE(h.Start(), nullptr);
    // On the footer, outside the 96-DPI window at larger scales.
    const POINT from = OnScreen(scale.Px(420) - 12, scale.Px(327) - 6);
    EXPECT_TRUE(Drags(h.Window(), from));
}

TEST_F(ScaledWindow, PromptTakesTheWindowsScale) {
    ASSERT_NE(h.Start(), nullptr);
    const std::wstring question = L"\n   The new firmware is updating, will you abort it?   \n";
    std::atomic<int> result{0};
    std::thread worker([&] { result = h.Dialog()->ShowPrompt(question, PROMPT_OKCANCEL); });
    HWND prompt = h.WaitForPrompt();
    ASSERT_NE(prompt, nullptr);

    RECT rc{};
    GetWindowRect(prompt, &rc);
    EXPECT_EQ(rc.left, scale.Px(60));
    EXPECT_EQ(rc.top, scale.Px(125));
    EXPECT_EQ(rc.right - rc.left, scale.Px(300));
    EXPECT_EQ(rc.bottom - rc.top, scale.Px(127));
    const RECT ok = kxtest::RectInParent(GetDlgItem(prompt, IDC_BTN_OK));
    const RECT cancel = kxtest::RectInParent(GetDlgItem(prompt, IDC_BTN_CANCEL));
    const RECT text = kxtest::RectInParent(GetDlgItem(prompt, IDC_PROMPT_TEXT));
    EXPECT_EQ(ok.left, scale.Px(60));
    EXPECT_EQ(ok.top, scale.Px(90));
    EXPECT_EQ(cancel.left, scale.Px(170));
    EXPECT_LE(text.bottom, ok.top) << "the text runs into the buttons";
    EXPECT_LE(text.right, rc.right - rc.left) << "the text runs past the prompt";

    Pixels px;
    const Pixels background = SkinPicture(IDB_PROMPT_BG, dpi);
    EXPECT_TRUE(kxtest::WaitForLook(
        prompt,
        [&](const Pixels& shown) {
            return kxtest::ShowsBitmap(shown, SkinPicture(LocalizedPicture(PIC_OK_NORMAL), dpi),
                                       ok.left, ok.top) &&
                   kxtest::ShowsBitmap(shown, SkinPicture(LocalizedPicture(PIC_CANCEL_NORMAL), dpi),
                                       cancel.left, cancel.top) &&
                   kxtest::ShowsPart(shown, background, scale.Rect(0, 0, 300, 20));
        },
        &px));
    kxtest::SaveScreenshot(px, Name(L"prompt"));
    // Dragged from the far end of its text area.
    EXPECT_TRUE(Drags(prompt, {rc.left + text.right - 4, rc.top + text.bottom - 4}));
    HWND textControl = GetDlgItem(prompt, IDC_PROMPT_TEXT);
    for (const std::wstring& t :
         {question, std::wstring(L"Update firmware version: V12.34  Beta12"),
          std::wstring(L"Open file error! Please check the file!")})
        EXPECT_LE(kxtest::TextHeightIn(textControl, t, DT_WORDBREAK | DT_CENTER),
                  text.bottom - text.top)
            << "does not fit: " << testing::PrintToString(t);

    kxtest::ClickControl(prompt, IDC_BTN_CANCEL);
    kxtest::WaitFor([&] { return result != 0; });
    worker.join();
    EXPECT_EQ(result, 2);
}

TEST_F(ScaledWindow, AWholeUpdateRuns) {
    const std::wstring path = kxtest::TempPath(L"scaled-update.dat");
    const auto image = kxtest::WriteImage(path, 0x00000088, 8192, 8192);
    h.sim.Plug(1);
    h.sim.SetReplyLatency(2);
    ASSERT_NE(h.Start(), nullptr);
    ASSERT_TRUE(kxtest::WaitFor([&] { return h.VersionText() == L"V1.34"; }));
    h.ClickUpdate();
    MainWindowHarness::ChooseFile(h.WaitForChooser(), path);
    EXPECT_EQ(h.AnswerPrompt(IDC_BTN_OK), L"Update firmware version: V1.36");
    ASSERT_TRUE(kxtest::WaitFor([&] { return h.ProgressPos() >= 50; }, 20000));
    kxtest::SaveScreenshot(kxtest::CaptureWindow(h.Window()), Name(L"update"));

    HWND success = h.WaitForPrompt(30000);
    ASSERT_NE(success, nullptr);
    EXPECT_EQ(h.PromptText(success), L"Firmware upgraded successful!");
    Pixels px;
    const Pixels okFace = SkinPicture(LocalizedPicture(PIC_OK_NORMAL), dpi);
    kxtest::WaitForLook(
        h.Window(),
        [&](const Pixels& shown) {
            return kxtest::ShowsBitmap(shown, okFace, scale.Px(60) + scale.Px(214),
                                       scale.Px(125) + scale.Px(90));
        },
        &px);
    kxtest::SaveScreenshot(px, Name(L"success_prompt"));
    kxtest::ClickControl(success, IDC_BTN_OK);
    EXPECT_TRUE(kxtest::WaitFor([&] { return h.VersionText() == L"V1.36"; }, 10000));
    EXPECT_TRUE(h.sim.LastUpdate().Finished);
    EXPECT_EQ(h.sim.ReceivedImage(), image);
    h.Close();
}

} // namespace
