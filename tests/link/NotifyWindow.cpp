#include "LinkFixture.h"

#include <dbt.h>

NotifyWindow::NotifyWindow() {
    static const wchar_t* const kClass = L"KxNotifyWindow";
    static const ATOM atom = [] {
        WNDCLASSW wc{};
        wc.lpfnWndProc = Proc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = kClass;
        return RegisterClassW(&wc);
    }();
    (void)atom;
    m_hWnd = CreateWindowExW(0, kClass, L"notify", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                             GetModuleHandleW(nullptr), this);
}

NotifyWindow::~NotifyWindow() {
    DestroyWindow(m_hWnd);
}

bool NotifyWindow::Has(WPARAM kind) const {
    for (const Event& event : m_Events) {
        if (event.Kind == kind) {
            return true;
        }
    }
    return false;
}

LRESULT CALLBACK NotifyWindow::Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<NotifyWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (message == WM_DEVICECHANGE && self) {
        Event event{wParam, {}};
        const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
        if (header && header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
            event.Path =
                reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(lParam)->dbcc_name;
        }
        self->m_Events.push_back(event);
        return TRUE;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}
