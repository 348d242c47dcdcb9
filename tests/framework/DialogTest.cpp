// Modal dialogs: results of OK, Cancel, Escape and the system close command; the
// pre-translation hook; running from a worker thread with the owner disabled; and the
// failure value when the template does not exist.
#include "FrameworkTestSupport.h"
#include "support/WinTest.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

namespace {

// Runs DoModal on this thread while `drive` acts on the dialog from another thread,
// as a user would. Returns the dialog's result.
INT_PTR RunDriven(CDialog& dlg, const std::function<void(HWND)>& drive) {
    std::thread driver([&] {
        HWND d = kxtest::WaitForTopWindow(L"Framework test");
        if (d)
            drive(d);
    });
    const INT_PTR result = dlg.DoModal();
    driver.join();
    return result;
}

void PostKey(HWND dialog, WPARAM vk) {
    HWND target = GetDlgItem(dialog, IDC_FW_EDIT);
    PostMessageW(target, WM_KEYDOWN, vk, 1);
    PostMessageW(target, WM_KEYUP, vk, 0xC0000001);
}

TEST(ModalDialog, EndsWithTheResultOfEachWayOfClosing) {
    struct Case {
        const char* name;
        std::function<void(HWND)> close;
        INT_PTR expected;
    };
    const Case cases[] = {
        {"Enter", [](HWND d) { PostKey(d, VK_RETURN); }, IDOK},
        {"Cancel button", [](HWND d) { kxtest::ClickControl(d, IDCANCEL); }, IDCANCEL},
        {"Escape", [](HWND d) { PostKey(d, VK_ESCAPE); }, IDCANCEL},
        {"system close", [](HWND d) { PostMessageW(d, WM_SYSCOMMAND, SC_CLOSE, 0); }, IDCANCEL},
        {"EndDialog", [](HWND d) { PostMessageW(d, WM_COMMAND, IDOK, 0); }, IDOK},
    };
    for (const Case& c : cases) {
        CDialog dlg(IDD_FW_TEST);
        EXPECT_EQ(RunDriven(dlg, c.close), c.expected) << c.name;
        EXPECT_EQ(dlg.m_hWnd, nullptr) << c.name;
    }
}

// Swallows Escape before the dialog manager can turn it into IDCANCEL.
class CEscapeFilterDialog : public CDialog {
public:
    CEscapeFilterDialog() : CDialog(IDD_FW_TEST) {}
    std::atomic<int> m_nFiltered{0};
    BOOL PreTranslateMessage(MSG* pMsg) override {
        if (pMsg->message == WM_KEYDOWN && pMsg->wParam == VK_ESCAPE) {
            ++m_nFiltered;
            return TRUE;
        }
        return CDialog::PreTranslateMessage(pMsg);
    }
};

TEST(ModalDialog, KeyFilteredByPreTranslationNeverReachesTheDialog) {
    CEscapeFilterDialog dlg;
    const INT_PTR result = RunDriven(dlg, [&](HWND d) {
        PostKey(d, VK_ESCAPE);
        PostKey(d, VK_ESCAPE);
        kxtest::WaitFor([&] { return dlg.m_nFiltered == 2; });
        PostKey(d, VK_RETURN); // not filtered: the dialog manager makes it IDOK
    });
    EXPECT_EQ(dlg.m_nFiltered, 2);
    EXPECT_EQ(result, IDOK); // Escape, which would have given IDCANCEL, never arrived
}

TEST(ModalDialog, MissingTemplateReturnsAFailureThatIsNeitherOkNorCancel) {
    CDialog dlg(4242);
    const INT_PTR result = dlg.DoModal();
    EXPECT_NE(result, IDOK);
    EXPECT_NE(result, IDCANCEL);
    EXPECT_EQ(result, CDialog::kCreateFailed);
}

class CTestApp : public CWinApp {};

TEST(ModalDialog, RunFromAWorkerThreadDisablesAndReenablesTheMainWindow) {
    CTestApp app;
    CWnd main;
    ASSERT_TRUE(main.CreateEx(0, PlainWindowClass(), L"Main", WS_POPUP | WS_VISIBLE,
                              RECT{0, 0, 100, 100}, nullptr, 0));
    app.m_pMainWnd = &main;

    std::atomic<INT_PTR> result{0};
    std::atomic<bool> done{false};
    std::atomic<DWORD> dialogThread{0};
    std::thread worker([&] {
        dialogThread = GetCurrentThreadId();
        CDialog dlg(IDD_FW_TEST);
        result = dlg.DoModal();
        done = true;
    });
    // The main window's thread keeps dispatching while it waits, as a GUI thread does.
    HWND dlg = kxtest::WaitForTopWindow(L"Framework test");
    ASSERT_NE(dlg, nullptr);
    EXPECT_EQ(GetWindowThreadProcessId(dlg, nullptr), dialogThread.load());
    EXPECT_EQ(GetWindow(dlg, GW_OWNER), main.m_hWnd);
    EXPECT_FALSE(main.IsWindowEnabled());

    PostMessageW(dlg, WM_COMMAND, IDCANCEL, 0);
    EXPECT_TRUE(kxtest::WaitFor([&] { return done.load(); }));
    worker.join();
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_TRUE(main.IsWindowEnabled());
    app.m_pMainWnd = nullptr;
}

} // namespace
