#include "FrameworkTestSupport.h"

#include "support/WinTest.h"

const wchar_t* PlainWindowClass() {
    static const wchar_t* name = [] {
        WNDCLASSW wc{};
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.lpszClassName = L"KxFrameworkTestWindow";
        RegisterClassW(&wc);
        return wc.lpszClassName;
    }();
    return name;
}

bool PostToDialog(const wchar_t* caption, UINT msg, WPARAM wParam, LPARAM lParam) {
    HWND dialog = kxtest::WaitForTopWindow(caption);
    return dialog && PostMessageW(dialog, msg, wParam, lParam);
}
