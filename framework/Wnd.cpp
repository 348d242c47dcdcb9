#include "framework/Wnd.h"

#include "framework/Accessible.h"
#include "framework/Gdi.h"

namespace {
// The window property through which a routed window finds its object.
const wchar_t kObjectProp[] = L"Kestrix.CWnd";
} // namespace

namespace framework_detail {
HBRUSH CallCtlColor(CWnd* self, WPARAM wParam, LPARAM lParam, UINT ctlType,
                    HBRUSH (*call)(CWnd*, CDC*, CWnd*, UINT)) {
    CDC dc(reinterpret_cast<HDC>(wParam));
    CWnd* control = CWnd::FromHandlePermanent(reinterpret_cast<HWND>(lParam));
    CWnd temporary; // for controls no object has subclassed
    if (!control) {
        temporary.Attach(reinterpret_cast<HWND>(lParam));
        control = &temporary;
    }
    HBRUSH brush = call(self, &dc, control, ctlType);
    temporary.Detach();
    dc.Detach();
    // An HBRUSH is a handle the handler returns, not an address inside dc or temporary.
    // cppcheck-suppress returnDanglingLifetime
    return brush;
}

BOOL CallEraseBkgnd(CWnd* self, WPARAM wParam, BOOL (*call)(CWnd*, CDC*)) {
    CDC dc(reinterpret_cast<HDC>(wParam));
    BOOL result = call(self, &dc);
    dc.Detach();
    return result;
}
} // namespace framework_detail

const CMessageMap* CWnd::GetThisMessageMap() {
    static const CMessageMapEntry entries[] = {{0, 0, 0, nullptr}};
    static const CMessageMap map{nullptr, entries};
    return &map;
}

const CMessageMap* CWnd::GetMessageMap() const {
    return GetThisMessageMap();
}

CWnd::~CWnd() {
    if (!m_hWnd)
        return;
    const bool owns = m_bOwnsWindow;
    HWND hwnd = m_pfnSuper ? UnsubclassWindow() : Detach();
    if (owns)
        ::DestroyWindow(hwnd);
}

CWnd* CWnd::FromHandlePermanent(HWND hwnd) {
    return hwnd ? static_cast<CWnd*>(::GetPropW(hwnd, kObjectProp)) : nullptr;
}

BOOL CWnd::Attach(HWND hwnd) {
    if (m_hWnd || !hwnd)
        return FALSE;
    m_hWnd = hwnd;
    return TRUE;
}

HWND CWnd::Detach() {
    HWND hwnd = m_hWnd;
    m_hWnd = nullptr;
    m_bOwnsWindow = false;
    return hwnd;
}

BOOL CWnd::SubclassWindow(HWND hwnd) {
    if (m_hWnd || !::IsWindow(hwnd) || FromHandlePermanent(hwnd))
        return FALSE;
    m_hWnd = hwnd;
    PreSubclassWindow();
    ::SetPropW(hwnd, kObjectProp, this);
    m_pfnSuper = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CWnd::RoutingWndProc)));
    return TRUE;
}

BOOL CWnd::SubclassDlgItem(UINT id, CWnd* pParent) {
    HWND item = pParent ? ::GetDlgItem(pParent->m_hWnd, static_cast<int>(id)) : nullptr;
    return item && SubclassWindow(item);
}

HWND CWnd::UnsubclassWindow() {
    if (!m_hWnd || !m_pfnSuper)
        return nullptr;
    ::SetWindowLongPtrW(m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_pfnSuper));
    ::RemovePropW(m_hWnd, kObjectProp);
    m_pfnSuper = nullptr;
    return Detach();
}

BOOL CWnd::CreateEx(DWORD exStyle, const wchar_t* className, const wchar_t* text, DWORD style,
                    const RECT& rect, CWnd* pParent, UINT id) {
    if (m_hWnd)
        return FALSE;
    HWND parent = pParent ? pParent->m_hWnd : nullptr;
    HWND hwnd = ::CreateWindowExW(exStyle, className, text, style, rect.left, rect.top,
                                  rect.right - rect.left, rect.bottom - rect.top, parent,
                                  reinterpret_cast<HMENU>(static_cast<UINT_PTR>(id)),
                                  ::GetModuleHandleW(nullptr), nullptr);
    if (!hwnd)
        return FALSE;
    if (!SubclassWindow(hwnd)) {
        ::DestroyWindow(hwnd);
        return FALSE;
    }
    m_bOwnsWindow = true;
    return TRUE;
}

BOOL CWnd::DestroyWindow() {
    return m_hWnd ? ::DestroyWindow(m_hWnd) : FALSE;
}

std::wstring CWnd::GetWindowText() const {
    const int length = ::GetWindowTextLengthW(m_hWnd);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    text.resize(static_cast<size_t>(::GetWindowTextW(m_hWnd, text.data(), length + 1)));
    return text;
}

BOOL CWnd::ModifyStyle(DWORD remove, DWORD add, UINT flags) {
    const DWORD style = GetStyle();
    const DWORD changed = (style & ~remove) | add;
    if (changed == style)
        return FALSE;
    ::SetWindowLongPtrW(m_hWnd, GWL_STYLE, static_cast<LONG_PTR>(changed));
    if (flags)
        SetWindowPos(nullptr, 0, 0, 0, 0,
                     SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | flags);
    return TRUE;
}

BOOL CWnd::PreTranslateMessage(MSG*) {
    return FALSE;
}

LRESULT CALLBACK CWnd::RoutingWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    CWnd* wnd = FromHandlePermanent(hwnd);
    if (!wnd)
        return ::DefWindowProcW(hwnd, msg, wParam, lParam);
    const CurrentMessage outer = wnd->m_current;
    wnd->m_current = {msg, wParam, lParam};
    const LRESULT result = wnd->WindowProc(msg, wParam, lParam);
    if (msg == WM_NCDESTROY) {
        // The window is gone: hand it back to its own procedure and let go of it.
        if (wnd->m_hWnd == hwnd && wnd->m_pfnSuper)
            wnd->UnsubclassWindow();
        wnd->PostNcDestroy();
        return result;
    }
    wnd->m_current = outer;
    return result;
}

CAccessible& CWnd::Accessible() {
    if (!m_pAccessible)
        m_pAccessible = std::make_unique<CAccessible>(m_hWnd);
    return *m_pAccessible;
}

LRESULT CWnd::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    if (msg == WM_GETOBJECT && m_pAccessible) {
        result = m_pAccessible->Answer(wParam, lParam);
        if (result)
            return result;
    }
    if (OnWndMsg(msg, wParam, lParam, &result))
        return result;
    return DefWindowProc(msg, wParam, lParam);
}

BOOL CWnd::OnWndMsg(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* pResult) {
    UINT code = framework_detail::kAnyCode, id = framework_detail::kAnyId;
    if (msg == WM_COMMAND) {
        code = HIWORD(wParam);
        id = LOWORD(wParam);
    } else if (msg == WM_NOTIFY) {
        const auto* header = reinterpret_cast<const NMHDR*>(lParam);
        code = header->code;
        id = static_cast<UINT>(header->idFrom);
    }
    for (const CMessageMap* map = GetMessageMap(); map;
         map = map->baseMap ? map->baseMap() : nullptr) {
        for (const CMessageMapEntry* e = map->entries; e->handler; ++e) {
            if (e->message != msg)
                continue;
            if (e->code != framework_detail::kAnyCode && e->code != code)
                continue;
            if (e->id != framework_detail::kAnyId && e->id != id)
                continue;
            *pResult = e->handler(this, wParam, lParam);
            return TRUE;
        }
    }
    if (msg == WM_DRAWITEM && ReflectDrawItem(lParam)) {
        *pResult = TRUE;
        return TRUE;
    }
    return FALSE;
}

BOOL CWnd::ReflectDrawItem(LPARAM lParam) {
    auto* item = reinterpret_cast<LPDRAWITEMSTRUCT>(lParam);
    if (!item || item->CtlType == ODT_MENU)
        return FALSE;
    CWnd* control = FromHandlePermanent(item->hwndItem);
    if (!control)
        return FALSE;
    control->DrawItem(item);
    return TRUE;
}

LRESULT CWnd::DefWindowProc(UINT msg, WPARAM wParam, LPARAM lParam) {
    if (m_pfnSuper)
        return ::CallWindowProcW(m_pfnSuper, m_hWnd, msg, wParam, lParam);
    return ::DefWindowProcW(m_hWnd, msg, wParam, lParam);
}

LRESULT CWnd::Default() {
    return DefWindowProc(m_current.msg, m_current.wParam, m_current.lParam);
}

HBRUSH CWnd::OnCtlColor(CDC*, CWnd*, UINT) {
    return reinterpret_cast<HBRUSH>(Default());
}
