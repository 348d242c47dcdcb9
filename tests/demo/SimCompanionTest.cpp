// The companion window: its buttons plug the receiver in and out, its status line
// follows the receiver.
#include "DemoTestSupport.h"
#include "sim/SimCompanion.h"

namespace {

std::wstring StatusOf(HWND window) {
    return kxtest::WindowText(kxtest::FindControl(window, CSimCompanion::kStatusId));
}

bool Enabled(HWND window, int id) {
    return IsWindowEnabled(kxtest::FindControl(window, id)) != FALSE;
}

class SimCompanionTest : public DemoLinkTest {
protected:
    // Waits until the status line holds text.
    bool StatusShows(HWND window, const std::wstring& text) {
        return kxtest::WaitFor([&] { return StatusOf(window).find(text) != std::wstring::npos; },
                               3000);
    }
};

TEST_F(SimCompanionTest, ButtonsPlugAndUnplugInTheStartMode) {
    CSimCompanion companion(sim, 2);
    ASSERT_TRUE(companion.Create());
    HWND window = kxtest::FindTopWindow(L"Simulated receiver");
    ASSERT_EQ(companion.m_hWnd, window);
    RECT rc{};
    GetWindowRect(window, &rc);
    EXPECT_EQ(CSimCompanion::kDefaultLeft, rc.left);
    EXPECT_EQ(CSimCompanion::kDefaultTop, rc.top);
    EXPECT_EQ(L"Plug in", kxtest::WindowText(kxtest::FindControl(window, 1001)));
    EXPECT_EQ(L"Unplug", kxtest::WindowText(kxtest::FindControl(window, 1002)));

    EXPECT_TRUE(StatusShows(window, L"Receiver: unplugged (plugs in in mode 2)\n"
                                    L"Version: V1.34 (0x00000086)\n"
                                    L"Update: none yet\nLast outcome: none yet"));
    EXPECT_TRUE(Enabled(window, 1001));
    EXPECT_FALSE(Enabled(window, 1002));

    ASSERT_TRUE(kxtest::ClickControl(window, 1001));
    ASSERT_TRUE(kxtest::WaitFor([&] { return sim.Present(); }));
    EXPECT_EQ(2, sim.Mode());
    EXPECT_TRUE(StatusShows(window, L"Receiver: plugged in, mode 2\n"));
    EXPECT_TRUE(kxtest::WaitFor([&] { return !Enabled(window, 1001) && Enabled(window, 1002); }));
    kxtest::SaveScreenshot(kxtest::CaptureWindow(window), L"demo-companion-plugged");

    ASSERT_TRUE(kxtest::ClickControl(window, 1002));
    ASSERT_TRUE(kxtest::WaitFor([&] { return !sim.Present(); }));
    EXPECT_TRUE(StatusShows(window, L"Receiver: unplugged (plugs in in mode 2)\n"));
    EXPECT_TRUE(kxtest::WaitFor([&] { return Enabled(window, 1001) && !Enabled(window, 1002); }));
}

TEST_F(SimCompanionTest, StatusFollowsAnUpdate) {
    sim.FailAtDataRequest(3, 0x18);
    Connect(1);
    CSimCompanion companion(sim, 1);
    ASSERT_TRUE(companion.Create());
    EXPECT_EQ(Bytes({0x00, 0x16, 0x01, 0x00, 0x18}), SendImage(SmallImage()));
    EXPECT_TRUE(StatusShows(companion, L"Update: 2 blocks, 64 of 100 data bytes received\n"
                                       L"Last outcome: failed with sub-code 0x18"));
    // Pulled out in the middle of the next update.
    sim.UnplugAfterBlocks(1);
    SendImage(SmallImage());
    EXPECT_TRUE(StatusShows(companion, L"Receiver: unplugged (plugs in in mode 1)\n"));
    EXPECT_TRUE(StatusShows(companion, L"Update: 1 block, 32 of 100 data bytes received\n"
                                       L"Last outcome: unplugged during the update"));
}

} // namespace
