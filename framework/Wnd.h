// CWnd: a C++ object bound to a window handle. A window created by the object, or an
// existing window subclassed by it, sends its messages through the class's message map
// (see MessageMap.h); what no entry handles goes to the window's original procedure.
// Attach/Detach bind a handle without taking its messages. The object and the window
// part when the window is destroyed (WM_NCDESTROY) or when the object is destroyed,
// whichever comes first; a window the object created is destroyed with it.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "framework/Accessible.h"
#include "framework/MessageMap.h"

class CWnd {
public:
    CWnd() = default;
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;
    virtual ~CWnd();

    HWND m_hWnd = nullptr;
    HWND GetSafeHwnd() const { return m_hWnd; }
    operator HWND() const { return m_hWnd; }

    // The object that has subclassed hwnd, or null.
    static CWnd* FromHandlePermanent(HWND hwnd);

    // Binding without message routing.
    BOOL Attach(HWND hwnd);
    HWND Detach();

    // Routes hwnd's messages through this object (PreSubclassWindow runs first).
    BOOL SubclassWindow(HWND hwnd);
    BOOL SubclassDlgItem(UINT id, CWnd* pParent);
    HWND UnsubclassWindow();

    // Creates a child or top-level window of a registered class and routes its
    // messages through this object. The object owns the window.
    BOOL CreateEx(DWORD exStyle, const wchar_t* className, const wchar_t* text, DWORD style,
                  const RECT& rect, CWnd* pParent, UINT id);

    BOOL DestroyWindow();

    // Window text, state and geometry.
    std::wstring GetWindowText() const;
    void SetWindowText(const std::wstring& text) { ::SetWindowTextW(m_hWnd, text.c_str()); }
    BOOL EnableWindow(BOOL enable = TRUE) { return ::EnableWindow(m_hWnd, enable); }
    BOOL IsWindowEnabled() const { return ::IsWindowEnabled(m_hWnd); }
    BOOL ShowWindow(int cmd) { return ::ShowWindow(m_hWnd, cmd); }
    BOOL IsWindowVisible() const { return ::IsWindowVisible(m_hWnd); }
    BOOL IsIconic() const { return ::IsIconic(m_hWnd); }
    void MoveWindow(int x, int y, int width, int height, BOOL repaint = TRUE) {
        ::MoveWindow(m_hWnd, x, y, width, height, repaint);
    }
    void MoveWindow(const RECT& rc, BOOL repaint = TRUE) {
        MoveWindow(rc.left, rc.top, rc.right - rc.left, rc.bottom - rc.top, repaint);
    }
    BOOL SetWindowPos(HWND after, int x, int y, int cx, int cy, UINT flags) {
        return ::SetWindowPos(m_hWnd, after, x, y, cx, cy, flags);
    }
    void GetClientRect(RECT* rc) const { ::GetClientRect(m_hWnd, rc); }
    void GetWindowRect(RECT* rc) const { ::GetWindowRect(m_hWnd, rc); }
    int GetDlgCtrlID() const { return ::GetDlgCtrlID(m_hWnd); }

    // Styles. ModifyStyle removes, then adds, the given bits; flags, when given, go to
    // SetWindowPos so the frame follows.
    DWORD GetStyle() const { return static_cast<DWORD>(::GetWindowLongPtrW(m_hWnd, GWL_STYLE)); }
    BOOL ModifyStyle(DWORD remove, DWORD add, UINT flags = 0);

    // Painting.
    void Invalidate(BOOL erase = TRUE) { ::InvalidateRect(m_hWnd, nullptr, erase); }
    void InvalidateRect(const RECT* rc, BOOL erase = TRUE) { ::InvalidateRect(m_hWnd, rc, erase); }
    void UpdateWindow() { ::UpdateWindow(m_hWnd); }

    // Messages and timers.
    LRESULT SendMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0) const {
        return ::SendMessageW(m_hWnd, msg, wParam, lParam);
    }
    BOOL PostMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0) const {
        return ::PostMessageW(m_hWnd, msg, wParam, lParam);
    }
    UINT_PTR SetTimer(UINT_PTR id, UINT elapseMs) {
        return ::SetTimer(m_hWnd, id, elapseMs, nullptr);
    }
    BOOL KillTimer(UINT_PTR id) { return ::KillTimer(m_hWnd, id); }

    // Mouse and keyboard.
    HWND SetCapture() { return ::SetCapture(m_hWnd); }
    static HWND GetCapture() { return ::GetCapture(); }
    HWND SetFocus() { return ::SetFocus(m_hWnd); }
    static HWND GetFocus() { return ::GetFocus(); }

    // Dialog items.
    HWND GetDlgItem(int id) const { return ::GetDlgItem(m_hWnd, id); }
    void SetDlgItemText(int id, const std::wstring& text) {
        ::SetDlgItemTextW(m_hWnd, id, text.c_str());
    }

    HICON SetIcon(HICON icon, BOOL big) {
        return reinterpret_cast<HICON>(
            SendMessage(WM_SETICON, big ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(icon)));
    }
    void SetFont(HFONT font, BOOL redraw = TRUE) {
        SendMessage(WM_SETFONT, reinterpret_cast<WPARAM>(font), redraw);
    }

    // Hook for messages before the dialog manager or translation sees them; return
    // TRUE when the message has been handled and must go no further.
    virtual BOOL PreTranslateMessage(MSG* pMsg);

    // Owner-drawn controls receive their parent's WM_DRAWITEM here.
    virtual void DrawItem(LPDRAWITEMSTRUCT) {}

    // What the window tells a screen reader beyond the platform's standard answer
    // (framework/Accessible.h), made on first use; from then on the window answers
    // WM_GETOBJECT through it. Made on the window's thread.
    CAccessible& Accessible();

protected:
    // Called before a window is routed through this object, while the handle is
    // already known (m_hWnd set).
    virtual void PreSubclassWindow() {}
    // Called after the window has gone (WM_NCDESTROY handled).
    virtual void PostNcDestroy() {}

    // Every message of the window: the message map, then the default processing.
    virtual LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam);
    // The message map search; true when an entry handled the message.
    BOOL OnWndMsg(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* pResult);
    // The window's original procedure for the given message.
    virtual LRESULT DefWindowProc(UINT msg, WPARAM wParam, LPARAM lParam);
    // The original procedure for the message being handled now.
    LRESULT Default();

    // Default handlers that derived classes call from theirs.
    HBRUSH OnCtlColor(CDC* pDC, CWnd* pWnd, UINT nCtlColor);

    static const CMessageMap* GetThisMessageMap();
    virtual const CMessageMap* GetMessageMap() const;

    WNDPROC m_pfnSuper = nullptr; // the window's procedure before we routed it

private:
    struct CurrentMessage {
        UINT msg;
        WPARAM wParam;
        LPARAM lParam;
    };
    static LRESULT CALLBACK RoutingWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    BOOL ReflectDrawItem(LPARAM lParam);

    CurrentMessage m_current{};
    bool m_bOwnsWindow = false;
    std::unique_ptr<CAccessible> m_pAccessible; // after m_hWnd, which it refers to
};
