// The main window end to end with the simulated receiver: its looks at start with and
// without a receiver and in mode 2, device arrival and removal, the keys it ignores,
// closing, and the close button's question during an update.
#include "support/MainWindowHarness.h"

#include <gtest/gtest.h>

#include <dbt.h>

#include <functional>

#include "update/locale/Localization.h"
#include "link/LinkProtocol.h"
#include "res/resource.h"
#include "ui/UpdateDlg.h"
#include "update/UpdateSession.h"

namespace {

using kxtest::BitmapPixels;
using kxtest::MainWindowHarness;
using kxtest::Pixels;

constexpr COLORREF kBody = RGB(0xb4, 0x20, 0x2d);
constexpr COLORREF kPanel = RGB(0xc3, 0x4d, 0x57);

UINT Picture(int index) {
    return static_cast<UINT>(LocalizedId(index));
}

// Waits until the window shows each picture at its place; the last capture is kept.
bool ShowsPictures(HWND window, std::initializer_list<std::tuple<UINT, int, int>> pictures,
                   Pixels* shown = nullptr) {
    Pixels px;
    const bool ok = kxtest::WaitFor([&] {
        px = kxtest::CaptureWindow(window);
        for (const auto& [id, x, y] : pictures)
            if (!kxtest::ShowsBitmap(px, BitmapPixels(id), x, y))
                return false;
        return true;
    });
    if (shown)
        *shown = px;
    return ok;
}

// Waits until the background picture shows where no control covers it.
bool ShowsBackground(HWND window, Pixels* shown) {
    const Pixels background = BitmapPixels(Picture(PIC_BACKGROUND));
    return kxtest::WaitFor([&] {
        *shown = kxtest::CaptureWindow(window);
        for (POINT at : {POINT{5, 320}, POINT{200, 30}, POINT{415, 60}, POINT{30, 135}})
            if (shown->At(at.x, at.y) != background.At(at.x, at.y))
                return false;
        return true;
    });
}

// A window whose update of a 64 KiB image is under way, slowly enough to act on.
void StartSlowUpdate(MainWindowHarness& h, const std::wstring& name) {
    const std::wstring path = kxtest::TempPath(name);
    kxtest::WriteImage(path, 0x88, 65536, 65536);
    h.sim.Plug(1);
    h.sim.SetReplyLatency(5);
    ASSERT_NE(h.Start(), nullptr);
    h.ClickUpdate();
    MainWindowHarness::ChooseFile(h.WaitForChooser(), path);
    h.AnswerPrompt(IDC_BTN_OK);
}

int QueriesSent(const MainWindowHarness& h) {
    return h.LinkFramesWritten(SUB_QUERY_VERSION);
}

TEST(MainWindow, StartsWithoutAReceiverInTheNotConnectedLook) {
    MainWindowHarness h;
    HWND window = h.Start();
    ASSERT_NE(window, nullptr);
    Pixels px;
    EXPECT_TRUE(ShowsPictures(window,
                              {{Picture(PIC_DEVICE_ABSENT), 28, 88},
                               {Picture(PIC_VERSION_ABSENT), 222, 88},
                               {Picture(PIC_UPDATE_DISABLED), 161, 140}},
                              &px));
    kxtest::SaveScreenshot(px, L"main_not_connected");
    EXPECT_FALSE(h.UpdateButtonEnabled());
    EXPECT_EQ(px.At(300, 99), kPanel); // the empty version text on the light panel
    EXPECT_EQ(kxtest::WindowText(window), L"Kestrix OV Tools V1.0");
    RECT rc{};
    GetWindowRect(window, &rc);
    EXPECT_EQ(rc.left, 0);
    EXPECT_EQ(rc.top, 0);
    EXPECT_EQ(rc.right, 420);
    EXPECT_EQ(rc.bottom, 327);
    EXPECT_EQ(h.VersionText(), L"");
    h.Close();
    EXPECT_EQ(h.sim.Registrations(), 0u); // the notification registration went with it
}

TEST(MainWindow, StartsWithAModeOneReceiverConnectedAndShowsItsVersion) {
    MainWindowHarness h;
    h.sim.SetVersion(0x00030086);
    h.sim.Plug(1);
    HWND window = h.Start();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(kxtest::WaitFor([&] { return h.VersionText() == L"V1.34  Beta3"; }));
    Pixels px;
    EXPECT_TRUE(ShowsPictures(
        window, {{Picture(PIC_DEVICE_CONNECTED), 28, 88}, {Picture(PIC_UPDATE_NORMAL), 161, 140}},
        &px));
    // The version text shows white on the body colour over the dark panel.
    kxtest::WaitFor([&] {
        px = kxtest::CaptureWindow(window);
        return px.At(268, 94) == kBody;
    });
    EXPECT_EQ(px.At(268, 94), kBody);
    kxtest::SaveScreenshot(px, L"main_connected");
    EXPECT_TRUE(h.UpdateButtonEnabled());
    EXPECT_EQ(QueriesSent(h), 1);
    EXPECT_TRUE(kxtest::WaitFor([&] { return !h.Dialog()->IsWorkerRunning(); }));
}

TEST(MainWindow, ModeTwoReceiverIsAskedToSwitchEverySecondUntilItDoes) {
    MainWindowHarness h;
    h.sim.SetVersion(0x87);
    h.sim.Plug(2);
    h.sim.FailWrites(1); // the first request does not go through
    // Timed from before the window starts: a busy machine may take a while to show it.
    const ULONGLONG start = GetTickCount64();
    HWND window = h.Start();
    ASSERT_NE(window, nullptr);
    // The template's state: panel hidden, no version picture, the button enabled.
    EXPECT_FALSE(IsWindowVisible(h.Control(IDC_DEVICE_PANEL)));
    EXPECT_FALSE(IsWindowVisible(h.Control(IDC_VERSION)));
    EXPECT_TRUE(h.UpdateButtonEnabled());
    Pixels px;
    EXPECT_TRUE(ShowsBackground(window, &px));
    kxtest::SaveScreenshot(px, L"main_mode2_start");

    ASSERT_TRUE(kxtest::WaitFor([&] { return h.sim.Mode() == 1 && h.sim.Present(); }, 5000));
    const ULONGLONG took = GetTickCount64() - start;
    EXPECT_GE(took, 1500u); // the failed request at 1 s, the one that went through at 2 s
    int switches = 0;
    for (const auto& w : h.sim.Writes())
        switches += w.Report.size() > 3 && w.Report[2] == 0x00 && w.Report[3] == CMD_SWITCH_MODE;
    EXPECT_EQ(switches, 2);

    // Back in mode 1, it is found on its arrival and asked for its version.
    EXPECT_TRUE(kxtest::WaitFor([&] { return h.VersionText() == L"V1.35"; }, 5000));
    EXPECT_TRUE(ShowsPictures(window, {{Picture(PIC_DEVICE_CONNECTED), 28, 88}}));
}

TEST(MainWindow, UnplugAndPlugAgainSwitchesLooksAndStartsANewListenWorker) {
    MainWindowHarness h;
    h.sim.Plug(1);
    HWND window = h.Start();
    ASSERT_TRUE(kxtest::WaitFor([&] { return h.VersionText() == L"V1.34"; }));
    ASSERT_TRUE(kxtest::WaitFor([&] { return !h.Dialog()->IsWorkerRunning(); }));

    h.sim.Unplug();
    EXPECT_TRUE(ShowsPictures(
        window, {{Picture(PIC_DEVICE_ABSENT), 28, 88}, {Picture(PIC_UPDATE_DISABLED), 161, 140}}));
    EXPECT_EQ(h.VersionText(), L"");

    h.sim.SetVersion(0x99); // the new version arrives only once the receiver answers
    h.sim.SetReplyLatency(300);
    h.sim.Plug(1);
    EXPECT_TRUE(kxtest::WaitFor([&] { return h.VersionText() == L"V1.34"; })); // the last known
    EXPECT_TRUE(kxtest::WaitFor([&] { return h.VersionText() == L"V1.53"; }, 3000));
    EXPECT_EQ(QueriesSent(h), 2);
    EXPECT_TRUE(h.UpdateButtonEnabled());
}

TEST(MainWindow, DevnodesChangedShowsTheLookWithoutANewWorker) {
    MainWindowHarness h;
    h.sim.Plug(1);
    HWND window = h.Start();
    ASSERT_TRUE(kxtest::WaitFor(
        [&] { return !h.Dialog()->IsWorkerRunning() && h.VersionText() == L"V1.34"; }));
    EnableWindow(h.Control(IDC_BTN_UPDATE), FALSE);
    SendMessageW(window, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
    EXPECT_TRUE(h.UpdateButtonEnabled());
    EXPECT_FALSE(h.Dialog()->IsWorkerRunning());
    EXPECT_EQ(QueriesSent(h), 1);
}

TEST(MainWindow, RemovalWhileAnotherMatchingReceiverRemainsChangesNothing) {
    MainWindowHarness h;
    SimOtherDevice twin;
    twin.VendorID = KESTRIX_VENDOR_ID;
    twin.ProductID = KESTRIX_PRODUCT_ID;
    twin.ReportLength = REPORT_LENGTH_MODE1;
    h.sim.AddOtherDevice(twin);
    h.sim.Plug(1);
    HWND window = h.Start();
    ASSERT_TRUE(ShowsPictures(window, {{Picture(PIC_DEVICE_CONNECTED), 28, 88}}));
    h.sim.Unplug();
    kxtest::WaitFor([&] { return h.sim.Idle(); });
    EXPECT_TRUE(ShowsPictures(
        window, {{Picture(PIC_DEVICE_CONNECTED), 28, 88}, {Picture(PIC_UPDATE_NORMAL), 161, 140}}));
    EXPECT_TRUE(h.UpdateButtonEnabled());
}

TEST(MainWindow, EnterEscapeTabArrowsAndF1DoNothing) {
    MainWindowHarness h;
    h.sim.Plug(1);
    HWND window = h.Start();
    ASSERT_NE(window, nullptr);
    HWND target = h.Control(IDC_BTN_UPDATE);
    for (WPARAM vk : {VK_RETURN, VK_ESCAPE, VK_TAB, VK_LEFT, VK_UP, VK_RIGHT, VK_DOWN, VK_F1}) {
        PostMessageW(target, WM_KEYDOWN, vk, 1);
        PostMessageW(target, WM_KEYUP, vk, 0xC0000001);
    }
    PostMessageW(window, WM_KEYDOWN, VK_ESCAPE, 1);
    // Nothing closes it: the run is still going once every key has been handled.
    EXPECT_FALSE(h.WaitClosed(500));
    EXPECT_TRUE(IsWindow(window));
    EXPECT_EQ(h.CurrentPrompt(), nullptr);
}

TEST(MainWindow, EveryWayOfClosingDuringAnUpdateAsksTheSameQuestion) {
    MainWindowHarness h;
    StartSlowUpdate(h, L"close-during-update.dat");
    ASSERT_TRUE(kxtest::WaitFor([&] { return h.ProgressPos() >= 2; }, 10000));
    const std::wstring question = L"\n   The new firmware is updating, will you abort it?   \n";
    const std::function<void()> ways[] = {
        [&] { kxtest::ClickControl(h.Window(), IDC_BTN_CLOSE); },
        [&] { kxtest::PressAltF4(h.Window()); },
        // The taskbar's and the system menu's Close.
        [&] { PostMessageW(h.Window(), WM_SYSCOMMAND, SC_CLOSE, 0); },
        [&] { PostMessageW(h.Window(), WM_CLOSE, 0, 0); },
    };
    for (const auto& close : ways) {
        close();
        EXPECT_EQ(h.AnswerPrompt(IDC_BTN_CANCEL), question);
        const int pos = h.ProgressPos();
        EXPECT_TRUE(kxtest::WaitFor([&] { return h.ProgressPos() > pos; })); // still going
        EXPECT_FALSE(h.WaitClosed(50));
    }
    ways[1]();
    EXPECT_EQ(h.AnswerPrompt(IDC_BTN_OK), question);
    EXPECT_TRUE(h.WaitClosed(5000));
    EXPECT_EQ(h.Result(), IDCANCEL);
    EXPECT_FALSE(h.sim.LastUpdate().Finished);
}

TEST(MainWindow, LogOffWaitsForAnUpdateAndAForcedEndLeavesAtOnce) {
    MainWindowHarness h;
    h.sim.Plug(1);
    ASSERT_NE(h.Start(), nullptr);
    EXPECT_EQ(SendMessageW(h.Window(), WM_QUERYENDSESSION, 0, 0), TRUE); // nothing runs
    h.Close();

    MainWindowHarness updating;
    StartSlowUpdate(updating, L"logoff-during-update.dat");
    ASSERT_TRUE(kxtest::WaitFor([&] { return updating.ProgressPos() >= 2; }, 10000));
    EXPECT_EQ(SendMessageW(updating.Window(), WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), FALSE);
    EXPECT_EQ(updating.CurrentPrompt(), nullptr);
    const int pos = updating.ProgressPos();
    EXPECT_TRUE(kxtest::WaitFor([&] { return updating.ProgressPos() > pos; })); // goes on

    // The system ends the session anyway: the tool leaves, without a question.
    const ULONGLONG before = GetTickCount64();
    SendMessageW(updating.Window(), WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
    EXPECT_TRUE(updating.WaitClosed(3000));
    EXPECT_LT(GetTickCount64() - before, 3000u);
}

// A close request from outside reaches the window, disabled under the chooser or the
// confirmation, while the worker waits for the user. No image is being sent yet: the
// window closes at once, closing what the worker shows, and the update counts as aborted.
TEST(MainWindow, ClosingWhileTheWorkerWaitsForTheUserAbortsTheUpdate) {
    const std::wstring path = kxtest::TempPath(L"close-at-confirmation.dat");
    kxtest::WriteImage(path, 0x88, 1024, 1024);
    for (const bool atConfirmation : {false, true}) {
        SCOPED_TRACE(atConfirmation ? "at the confirmation" : "in the chooser");
        MainWindowHarness h;
        h.sim.Plug(1);
        ASSERT_NE(h.Start(), nullptr);
        h.ClickUpdate();
        HWND shown = h.ChooserOrConfirmation(atConfirmation ? path : L"");
        ASSERT_NE(shown, nullptr);
        const ULONGLONG before = GetTickCount64();
        PostMessageW(h.Window(), WM_CLOSE, 0, 0);
        EXPECT_TRUE(h.WaitClosed(5000));
        EXPECT_LT(GetTickCount64() - before, 5000u);
        EXPECT_FALSE(IsWindow(shown));
        EXPECT_EQ(h.Dialog()->Session()->Outcome(), SessionOutcome::Aborted);
        EXPECT_FALSE(h.sim.LastUpdate().HeaderReceived);
    }
}

// Under Wine the file chooser stops opening after some sixty threads in one process have
// opened it: a user who starts update after update in one window must still get it.
TEST(MainWindow, TheChooserStillOpensAfterSeventyUpdatesInOneWindow) {
    MainWindowHarness h;
    h.sim.Plug(1);
    ASSERT_NE(h.Start(), nullptr);
    for (int i = 0; i < 70; ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(kxtest::WaitFor([&] { return h.UpdateButtonEnabled(); }));
        h.ClickUpdate();
        HWND chooser = h.WaitForChooser();
        ASSERT_NE(chooser, nullptr);
        MainWindowHarness::CancelChooser(chooser);
        ASSERT_TRUE(kxtest::WaitFor([&] { return !h.Dialog()->IsWorkerRunning(); }));
    }
}

TEST(MainWindow, CloseButtonAsksDuringAnUpdateAndCancelKeepsItRunning) {
    MainWindowHarness h;
    StartSlowUpdate(h, L"ask-during-update.dat");
    ASSERT_TRUE(kxtest::WaitFor([&] { return h.ProgressPos() >= 50; }, 20000));
    kxtest::SaveScreenshot(kxtest::CaptureWindow(h.Window()), L"main_update_50");

    kxtest::ClickControl(h.Window(), IDC_BTN_CLOSE);
    EXPECT_EQ(h.AnswerPrompt(IDC_BTN_CANCEL),
              L"\n   The new firmware is updating, will you abort it?   \n");
    const int pos = h.ProgressPos();
    EXPECT_TRUE(kxtest::WaitFor([&] { return h.ProgressPos() > pos; })); // still going
    EXPECT_FALSE(h.WaitClosed(100));

    kxtest::ClickControl(h.Window(), IDC_BTN_CLOSE);
    h.AnswerPrompt(IDC_BTN_OK);
    EXPECT_TRUE(h.WaitClosed(5000));
}

TEST(MainWindow, MinimiseButtonMinimisesTheCaptionlessWindow) {
    MainWindowHarness h;
    ASSERT_NE(h.Start(), nullptr);
    kxtest::ClickControl(h.Window(), IDC_BTN_MINIMIZE);
    EXPECT_TRUE(kxtest::WaitFor([&] { return IsIconic(h.Window()) != FALSE; }));
}

TEST(MainWindow, CloseButtonWithoutAnUpdateClosesAtOnce) {
    MainWindowHarness h;
    ASSERT_NE(h.Start(), nullptr);
    kxtest::ClickControl(h.Window(), IDC_BTN_CLOSE);
    EXPECT_TRUE(h.WaitClosed(3000));
}

TEST(MainWindow, RepaintingTheLabelsUsesNoFurtherGdiObjects) {
    MainWindowHarness h;
    h.sim.Plug(1);
    HWND window = h.Start();
    ASSERT_TRUE(kxtest::WaitFor([&] { return h.VersionText() == L"V1.34"; }));
    ASSERT_TRUE(kxtest::WaitFor([&] { return !h.Dialog()->IsWorkerRunning(); }));
    auto repaint = [&] {
        for (int id : {IDC_VERSION, IDC_GUIDE}) {
            InvalidateRect(h.Control(id), nullptr, TRUE);
            UpdateWindow(h.Control(id));
        }
    };
    repaint();
    const long before = static_cast<long>(kxtest::GdiObjectCount());
    for (int i = 0; i < 50; ++i)
        repaint();
    // A brush per paint would leave 100 behind; the platform's own caches may move the
    // count by one or two while the window lives.
    EXPECT_LT(static_cast<long>(kxtest::GdiObjectCount()) - before, 5);
    (void)window;
}

} // namespace
