#include "UiTestSupport.h"

BEGIN_MESSAGE_MAP(CHostWindow, CWnd)
    ON_MESSAGE(WM_COMMAND, &CHostWindow::OnCommand)
END_MESSAGE_MAP()

BOOL CHostWindow::Create(const RECT& rc) {
    static const wchar_t* cls = [] {
        WNDCLASSW wc{};
        wc.lpfnWndProc = ::DefWindowProcW;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.hbrBackground = CreateSolidBrush(kHostColor);
        wc.lpszClassName = L"KxUiTestHost";
        RegisterClassW(&wc);
        return wc.lpszClassName;
    }();
    return CreateEx(WS_EX_TOPMOST, cls, L"Host", WS_POPUP | WS_VISIBLE | WS_CLIPCHILDREN, rc,
                    nullptr, 0);
}

LRESULT CHostWindow::OnCommand(WPARAM wParam, LPARAM) {
    if (HIWORD(wParam) == BN_CLICKED) {
        ++m_nClicks;
        m_nLastClickedId = LOWORD(wParam);
    }
    return 0;
}
