// Whole updates through the real window, the real workers and the real file chooser
// against the simulated receiver, answered as a user would.
#include "support/MainWindowHarness.h"

#include <gtest/gtest.h>

#include "link/LinkProtocol.h"
#include "res/resource.h"
#include "ui/UpdateDlg.h"
#include "update/UpdateSession.h"

namespace {

using kxtest::MainWindowHarness;

TEST(WholeUpdate, SixtyFourKibImageArrivesWholeAndTheReceiverRebootsWithIt) {
    const std::wstring path = kxtest::TempPath(L"release-v1.36.dat");
    const auto image = kxtest::WriteImage(path, 0x00000088, 65536, 65536);

    MainWindowHarness h;
    h.sim.SetVersion(0x00000086);
    h.sim.Plug(1);
    ASSERT_NE(h.Start(), nullptr);
    ASSERT_TRUE(kxtest::WaitFor([&] { return h.VersionText() == L"V1.34"; }));
    ASSERT_TRUE(h.UpdateButtonEnabled());

    h.ClickUpdate();
    HWND chooser = h.WaitForChooser();
    ASSERT_NE(chooser, nullptr);
    EXPECT_FALSE(h.UpdateButtonEnabled());
    MainWindowHarness::ChooseFile(chooser, path);

    EXPECT_EQ(h.AnswerPrompt(IDC_BTN_OK), L"Update firmware version: V1.36");

    // Progress moves while the blocks go; the button stays disabled.
    int highest = 0;
    bool buttonEnabledDuringUpdate = false;
    HWND success = nullptr;
    kxtest::WaitFor(
        [&] {
            highest = std::max(highest, h.ProgressPos());
            buttonEnabledDuringUpdate |= h.UpdateButtonEnabled();
            success = h.CurrentPrompt();
            return success != nullptr;
        },
        60000);
    ASSERT_NE(success, nullptr);
    EXPECT_EQ(h.PromptText(success), L"Firmware upgraded successful!");
    kxtest::SaveScreenshot(h.CaptureWithPrompt(), L"main_success_prompt");
    EXPECT_GT(highest, 0);
    EXPECT_FALSE(buttonEnabledDuringUpdate);
    // The finish has been written: nothing is at stake while the message shows.
    EXPECT_FALSE(h.Dialog()->Session()->Updating());
    EXPECT_EQ(SendMessageW(h.Window(), WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), TRUE);
    // The receiver reboots and comes back while the prompt is still open.
    ASSERT_TRUE(kxtest::WaitFor([&] { return h.sim.Present() && h.sim.Idle(); }, 5000));
    kxtest::ClickControl(success, IDC_BTN_OK);

    // The receiver reboots with the new image and comes back reporting its version.
    EXPECT_TRUE(kxtest::WaitFor([&] { return h.VersionText() == L"V1.36"; }, 10000));
    EXPECT_TRUE(kxtest::WaitFor([&] { return h.UpdateButtonEnabled(); }));
    EXPECT_EQ(h.ProgressPos(), 0);
    EXPECT_FALSE(h.Dialog()->Session()->Updating());

    const SimUpdateResult result = h.sim.LastUpdate();
    EXPECT_TRUE(result.Finished);
    EXPECT_EQ(result.DataBytes, 65536u);
    EXPECT_EQ(h.sim.ReceivedImage(), image);
    h.Close();
}

} // namespace
