// The main window for a screen reader and the keyboard alone: every control's name in
// both looks, the progress as a value in percent, and a whole update started with the
// update button's access key and answered with Enter.
#include "support/MainWindowHarness.h"
#include "support/ScreenReader.h"

#include <gtest/gtest.h>

#include <oleacc.h>

#include "res/resource.h"
#include "sim/SimFirmware.h"
#include "ui/UpdateDlg.h"

namespace {

using kxtest::MainWindowHarness;
using kxtest::ReadWindow;

void PressAltU(HWND window) {
    kxtest::PressAltWith(window, 'U');
}

// Presses Enter in the prompt, brought to the foreground first.
void PressEnterIn(HWND prompt) {
    SetForegroundWindow(prompt);
    kxtest::WaitFor([&] { return GetForegroundWindow() == prompt; }, 2000);
    kxtest::PressKey(VK_RETURN);
}


TEST(MainWindowScreenReader, NamesEveryControlInBothLooks) {
    MainWindowHarness h;
    h.sim.Plug(1);
    ASSERT_NE(h.Start(), nullptr);
    ASSERT_TRUE(kxtest::WaitFor([&] { return h.VersionText() == L"V1.34"; }));

    const kxtest::ReadAloud update = ReadWindow(h.Control(IDC_BTN_UPDATE));
    EXPECT_EQ(update.name, L"Update");
    EXPECT_EQ(update.shortcut, L"Alt+U");
    EXPECT_EQ(update.role, ROLE_SYSTEM_PUSHBUTTON);
    EXPECT_EQ(ReadWindow(h.Control(IDC_BTN_MINIMIZE)).name, L"Minimize");
    EXPECT_EQ(ReadWindow(h.Control(IDC_BTN_CLOSE)).name, L"Close");
    const kxtest::ReadAloud device = ReadWindow(h.Control(IDC_DEVICE_PANEL));
    EXPECT_EQ(device.name, L"Receiver connected");
    EXPECT_EQ(device.role, ROLE_SYSTEM_STATICTEXT);
    EXPECT_EQ(ReadWindow(h.Control(IDC_VERSION)).name, L"Firmware version V1.34");
    const kxtest::ReadAloud bar = ReadWindow(h.Control(IDC_PROGRESS));
    EXPECT_EQ(bar.name, L"Update progress");
    EXPECT_EQ(bar.value, L"0%");
    EXPECT_EQ(bar.role, ROLE_SYSTEM_PROGRESSBAR);

    h.sim.Unplug();
    EXPECT_TRUE(kxtest::WaitFor([&] {
        return ReadWindow(h.Control(IDC_DEVICE_PANEL)).name ==
               L"Receiver not connected. Please insert the receiver.";
    }));
    EXPECT_EQ(ReadWindow(h.Control(IDC_VERSION)).name, L"");
    EXPECT_EQ(ReadWindow(h.Control(IDC_BTN_UPDATE)).name, L"Update"); // greyed, still named
}

// Alt+U does nothing while the update button is greyed; with a receiver it opens the
// chooser, and Enter answers the confirmation and the success message, each read out
// from its focused OK button. The receiver gets the image byte for byte.
TEST(MainWindowScreenReader, AltUAndEnterRunAWholeUpdate) {
    MainWindowHarness h;
    HWND window = h.Start();
    ASSERT_NE(window, nullptr);
    PressAltU(window);
    EXPECT_EQ(h.WaitForChooser(700), nullptr) << "the greyed button started an update";

    const std::wstring path = kxtest::TempPath(L"keyboard-update.dat");
    const std::vector<std::uint8_t> image = kxtest::WriteImage(path, 0x88, 8192, 8192);
    h.sim.Plug(1);
    ASSERT_TRUE(kxtest::WaitFor([&] { return h.UpdateButtonEnabled(); }));
    ASSERT_TRUE(kxtest::WaitFor([&] { return !h.Dialog()->IsWorkerRunning(); }));
    PressAltU(window);
    HWND chooser = h.WaitForChooser();
    ASSERT_NE(chooser, nullptr);
    MainWindowHarness::ChooseFile(chooser, path);

    HWND confirmation = h.WaitForPrompt();
    ASSERT_NE(confirmation, nullptr);
    HWND ok = GetDlgItem(confirmation, IDC_BTN_OK);
    EXPECT_EQ(kxtest::FocusIn(confirmation), ok);
    EXPECT_EQ(ReadWindow(ok).description, L"Update firmware version: V1.36");
    PressEnterIn(confirmation);

    ASSERT_TRUE(kxtest::WaitFor([&] { return h.sim.LastUpdate().Finished; }, 20000));
    HWND outcome = h.WaitForPrompt();
    ASSERT_NE(outcome, nullptr);
    EXPECT_EQ(ReadWindow(outcome).description, L"Firmware upgraded successful!");
    EXPECT_EQ(ReadWindow(GetDlgItem(outcome, IDC_BTN_OK)).description,
              L"Firmware upgraded successful!");
    EXPECT_EQ(ReadWindow(h.Control(IDC_PROGRESS)).value, L"100%");
    PressEnterIn(outcome);
    EXPECT_TRUE(kxtest::WaitFor([&] { return h.CurrentPrompt() == nullptr; }));

    const SimUpdateResult received = h.sim.LastUpdate();
    EXPECT_EQ(received.DataBytes, 8192u);
    EXPECT_EQ(received.DataDigest, SimDigest(image.data() + 28, image.size() - 28));
}

} // namespace
