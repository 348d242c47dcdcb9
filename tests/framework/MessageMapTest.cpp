// Message maps: dispatch to the class's handler, chaining to the base class, default
// processing from a handler, subclassed controls, and owner-draw reflection.
#include "FrameworkTestSupport.h"
#include "support/WinTest.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace {

constexpr UINT WM_BASE_ONLY = WM_APP + 1;
constexpr UINT WM_BOTH = WM_APP + 2;
constexpr UINT WM_DERIVED_ONLY = WM_APP + 3;

class CBaseProbe : public CWnd {
public:
    std::wstring m_log;

protected:
    LRESULT OnBaseOnly(WPARAM, LPARAM) {
        m_log += L"base-only ";
        return 11;
    }
    LRESULT OnBoth(WPARAM, LPARAM) {
        m_log += L"base-both ";
        return 12;
    }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CBaseProbe, CWnd)
    ON_MESSAGE(WM_BASE_ONLY, &CBaseProbe::OnBaseOnly)
    ON_MESSAGE(WM_BOTH, &CBaseProbe::OnBoth)
END_MESSAGE_MAP()

class CDerivedProbe : public CBaseProbe {
protected:
    LRESULT OnBoth(WPARAM, LPARAM) {
        m_log += L"derived-both ";
        return 22;
    }
    LRESULT OnDerivedOnly(WPARAM wParam, LPARAM lParam) {
        m_log += L"derived-only ";
        return static_cast<LRESULT>(wParam + lParam);
    }
    // Sets the text through the default processing, then reports what it became.
    LRESULT OnSetText(WPARAM, LPARAM) {
        const LRESULT result = Default();
        m_log += L"text=" + GetWindowText() + L" ";
        return result;
    }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CDerivedProbe, CBaseProbe)
    ON_MESSAGE(WM_BOTH, &CDerivedProbe::OnBoth)
    ON_MESSAGE(WM_DERIVED_ONLY, &CDerivedProbe::OnDerivedOnly)
    ON_MESSAGE(WM_SETTEXT, &CDerivedProbe::OnSetText)
END_MESSAGE_MAP()

TEST(MessageMap, DispatchesToTheClassAndChainsToItsBase) {
    CDerivedProbe wnd;
    ASSERT_TRUE(wnd.CreateEx(0, PlainWindowClass(), L"", WS_POPUP, RECT{0, 0, 50, 50}, nullptr, 0));
    EXPECT_EQ(wnd.SendMessage(WM_DERIVED_ONLY, 3, 4), 7);
    EXPECT_EQ(wnd.SendMessage(WM_BOTH), 22);         // the derived entry wins
    EXPECT_EQ(wnd.SendMessage(WM_BASE_ONLY), 11);    // found in the base's table
    EXPECT_EQ(wnd.SendMessage(WM_APP + 9, 0, 0), 0); // unmapped: the window's own procedure
    EXPECT_EQ(wnd.m_log, L"derived-only derived-both base-only ");
}

TEST(MessageMap, HandlerReachesDefaultProcessing) {
    CDerivedProbe wnd;
    ASSERT_TRUE(wnd.CreateEx(0, PlainWindowClass(), L"", WS_POPUP, RECT{0, 0, 50, 50}, nullptr, 0));
    wnd.SetWindowText(L"hello");
    EXPECT_EQ(wnd.m_log, L"text=hello ");
    EXPECT_EQ(kxtest::WindowText(wnd.m_hWnd), L"hello");
}

TEST(MessageMap, ObjectAndWindowPartWhicheverGoesFirst) {
    HWND hwnd = nullptr;
    {
        CDerivedProbe wnd;
        ASSERT_TRUE(
            wnd.CreateEx(0, PlainWindowClass(), L"", WS_POPUP, RECT{0, 0, 5, 5}, nullptr, 0));
        hwnd = wnd.m_hWnd;
        EXPECT_EQ(CWnd::FromHandlePermanent(hwnd), &wnd);
    }
    EXPECT_FALSE(IsWindow(hwnd)); // the object created it, so it took it along

    CDerivedProbe wnd;
    ASSERT_TRUE(wnd.CreateEx(0, PlainWindowClass(), L"", WS_POPUP, RECT{0, 0, 5, 5}, nullptr, 0));
    DestroyWindow(wnd.m_hWnd);
    EXPECT_EQ(wnd.m_hWnd, nullptr); // let go on WM_NCDESTROY
}

// A static control taken over from a template: counts the texts it is given.
class CTextProbe : public CStatic {
public:
    int m_nSetText = 0;
    bool m_bHadHandleBeforeSubclass = false;

protected:
    void PreSubclassWindow() override { m_bHadHandleBeforeSubclass = m_hWnd != nullptr; }
    LRESULT OnSetText(WPARAM, LPARAM) {
        ++m_nSetText;
        return Default();
    }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CTextProbe, CStatic)
    ON_MESSAGE(WM_SETTEXT, &CTextProbe::OnSetText)
END_MESSAGE_MAP()

// Owner-drawn button that paints itself one colour and counts its draws.
class COwnerDrawProbe : public CButton {
public:
    int m_nDraws = 0;
    void DrawItem(LPDRAWITEMSTRUCT item) override {
        ++m_nDraws;
        CDC dc(item->hDC);
        dc.FillSolidRect(item->rcItem, RGB(0x12, 0x34, 0x56));
        dc.Detach();
    }
};

class CBindingDialog : public CDialog {
public:
    CBindingDialog() : CDialog(IDD_FW_TEST) {}
    CTextProbe m_Static;
    COwnerDrawProbe m_Button;
    HWND m_hStaticAtInit = nullptr;

protected:
    void DoDataExchange(CDataExchange* pDX) override { DDX_Control(pDX, IDC_FW_STATIC, m_Static); }
    BOOL OnInitDialog() override {
        CDialog::OnInitDialog();
        m_hStaticAtInit = m_Static.m_hWnd;
        m_Button.Create(L"", WS_VISIBLE | BS_OWNERDRAW, RECT{10, 60, 60, 90}, this, 77);
        SetWindowPos(HWND_TOPMOST, 50, 50, 0, 0, SWP_NOSIZE);
        return TRUE;
    }
};

TEST(MessageMap, TemplateControlBoundByDataExchangeReceivesItsMessages) {
    CBindingDialog dlg;
    std::thread driver([] {
        HWND d = kxtest::WaitForTopWindow(L"Framework test");
        SetDlgItemTextW(d, IDC_FW_STATIC, L"one");
        SetDlgItemTextW(d, IDC_FW_STATIC, L"two");
        PostMessageW(d, WM_COMMAND, IDCANCEL, 0);
    });
    dlg.DoModal();
    driver.join();
    EXPECT_NE(dlg.m_hStaticAtInit, nullptr);
    EXPECT_TRUE(dlg.m_Static.m_bHadHandleBeforeSubclass);
    EXPECT_EQ(dlg.m_Static.m_nSetText, 2);
}

TEST(MessageMap, OwnerDrawRequestReachesTheButtonsDrawItem) {
    CBindingDialog dlg;
    int drawsWhileShown = 0;
    COLORREF shown = CLR_INVALID;
    std::thread driver([&] {
        HWND d = kxtest::WaitForTopWindow(L"Framework test");
        HWND button = GetDlgItem(d, 77);
        kxtest::WaitFor([&] {
            kxtest::Pixels px = kxtest::CaptureWindow(button);
            shown = px.At(px.width / 2, px.height / 2);
            return shown == RGB(0x12, 0x34, 0x56);
        });
        drawsWhileShown = dlg.m_Button.m_nDraws;
        PostMessageW(d, WM_COMMAND, IDCANCEL, 0);
    });
    dlg.DoModal();
    driver.join();
    EXPECT_GE(drawsWhileShown, 1);
    EXPECT_EQ(shown, RGB(0x12, 0x34, 0x56));
}

} // namespace
