// Per-class message maps: a table of (message, command or notification) -> member
// handler for each window class, chained to the base class's table. A class declares
// DECLARE_MESSAGE_MAP() in its body and defines its table in its .cpp:
//
//   BEGIN_MESSAGE_MAP(CMyDlg, CDialog)
//       ON_WM_PAINT()                       // void OnPaint()
//       ON_BN_CLICKED(IDC_GO, &CMyDlg::OnGo)  // void OnGo()
//   END_MESSAGE_MAP()
//
// The first matching entry, searching the class's table and then its bases', handles
// the message; a handler reaches the default processing through CWnd::Default().
// Handler signatures, documented once:
//   ON_MESSAGE(msg, fn)          LRESULT fn(WPARAM, LPARAM)
//   ON_COMMAND(id, fn)           void fn()            (WM_COMMAND from a menu/accelerator or
//   IDOK/IDCANCEL) ON_BN_CLICKED(id, fn)        void fn() ON_WM_PAINT()                void
//   OnPaint() ON_WM_NCPAINT()              void OnNcPaint() ON_WM_ERASEBKGND()           BOOL
//   OnEraseBkgnd(CDC* pDC) ON_WM_CTLCOLOR()             HBRUSH OnCtlColor(CDC* pDC, CWnd* pWnd,
//   UINT nCtlColor) ON_WM_QUERYDRAGICON()        HCURSOR OnQueryDragIcon() ON_WM_LBUTTONDOWN() void
//   OnLButtonDown(UINT nFlags, POINT point) ON_WM_LBUTTONUP()            void OnLButtonUp(UINT
//   nFlags, POINT point) ON_WM_MOUSEMOVE()            void OnMouseMove(UINT nFlags, POINT point)
//   ON_WM_TIMER()                void OnTimer(UINT_PTR nIDEvent)
//   ON_WM_DEVICECHANGE()         BOOL OnDeviceChange(UINT nEventType, DWORD_PTR dwData)
//   ON_WM_DPICHANGED()           LRESULT OnDpiChanged(UINT dpi, const RECT* suggested)
//   ON_WM_CLOSE()                void OnClose()
//   ON_WM_DESTROY()              void OnDestroy()
#pragma once

#include <windows.h>

class CWnd;
class CDC;

// Matches a message: for WM_COMMAND and WM_NOTIFY also the notification code and the
// control id. kAnyCode / kAnyId match every code or id.
struct CMessageMapEntry {
    UINT message;
    UINT code;
    UINT id;
    LRESULT (*handler)(CWnd* self, WPARAM wParam, LPARAM lParam);
};

struct CMessageMap {
    const CMessageMap* (*baseMap)(); // null at the root
    const CMessageMapEntry* entries; // ends with an entry whose handler is null
};

namespace framework_detail {
constexpr UINT kAnyCode = 0xFFFFFFFFu;
constexpr UINT kAnyId = 0xFFFFFFFFu;
// The crackers below turn (wParam, lParam) into the handler's arguments.
HBRUSH CallCtlColor(CWnd* self, WPARAM wParam, LPARAM lParam, UINT ctlType,
                    HBRUSH (*call)(CWnd*, CDC*, CWnd*, UINT));
BOOL CallEraseBkgnd(CWnd* self, WPARAM wParam, BOOL (*call)(CWnd*, CDC*));
} // namespace framework_detail

#define DECLARE_MESSAGE_MAP()                                                                      \
protected:                                                                                         \
    static const CMessageMap* GetThisMessageMap();                                                 \
    const CMessageMap* GetMessageMap() const override;                                             \
                                                                                                   \
private:

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                                     \
    const CMessageMap* theClass::GetMessageMap() const {                                           \
        return GetThisMessageMap();                                                                \
    }                                                                                              \
    const CMessageMap* theClass::GetThisMessageMap() {                                             \
        using ThisClass = theClass;                                                                \
        using TheBaseClass = baseClass;                                                            \
        static const CMessageMapEntry entries[] = {

#define END_MESSAGE_MAP()                                                                          \
    { 0, 0, 0, nullptr }                                                                           \
    }                                                                                              \
    ;                                                                                              \
    static const CMessageMap map{&TheBaseClass::GetThisMessageMap, entries};                       \
    return &map;                                                                                   \
    }

#define KX_THIS(self) (static_cast<ThisClass*>(self))

#define ON_MESSAGE(msg, fn)                                                                        \
    {msg, framework_detail::kAnyCode, framework_detail::kAnyId,                                    \
     [](CWnd* self, WPARAM w, LPARAM l) -> LRESULT { return (KX_THIS(self)->*(fn))(w, l); }},

#define ON_COMMAND(id, fn)                                                                         \
    {WM_COMMAND, framework_detail::kAnyCode, static_cast<UINT>(id),                                \
     [](CWnd* self, WPARAM, LPARAM) -> LRESULT {                                                   \
         (KX_THIS(self)->*(fn))();                                                                 \
         return 0;                                                                                 \
     }},

#define ON_BN_CLICKED(id, fn)                                                                      \
    {WM_COMMAND, BN_CLICKED, static_cast<UINT>(id), [](CWnd* self, WPARAM, LPARAM) -> LRESULT {    \
         (KX_THIS(self)->*(fn))();                                                                 \
         return 0;                                                                                 \
     }},

#define KX_ON_VOID(msg, call)                                                                      \
    {msg, framework_detail::kAnyCode, framework_detail::kAnyId,                                    \
     [](CWnd* self, WPARAM wParam, LPARAM lParam) -> LRESULT {                                     \
         (void)wParam;                                                                             \
         (void)lParam;                                                                             \
         KX_THIS(self)->call;                                                                      \
         return 0;                                                                                 \
     }},

#define KX_POINT(lParam)                                                                           \
    POINT {                                                                                        \
        static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))                     \
    }

#define ON_WM_PAINT() KX_ON_VOID(WM_PAINT, OnPaint())
#define ON_WM_NCPAINT() KX_ON_VOID(WM_NCPAINT, OnNcPaint())
#define ON_WM_CLOSE() KX_ON_VOID(WM_CLOSE, OnClose())
#define ON_WM_DESTROY() KX_ON_VOID(WM_DESTROY, OnDestroy())
#define ON_WM_TIMER() KX_ON_VOID(WM_TIMER, OnTimer(static_cast<UINT_PTR>(wParam)))
#define ON_MOUSE_MESSAGE(msg, fn)                                                                  \
    {msg, framework_detail::kAnyCode, framework_detail::kAnyId,                                    \
     [](CWnd* self, WPARAM w, LPARAM l) -> LRESULT {                                               \
         (KX_THIS(self)->*(fn))(static_cast<UINT>(w), KX_POINT(l));                                \
         return 0;                                                                                 \
     }},

#define ON_WM_LBUTTONDOWN()                                                                        \
    KX_ON_VOID(WM_LBUTTONDOWN, OnLButtonDown(static_cast<UINT>(wParam), KX_POINT(lParam)))
#define ON_WM_LBUTTONUP()                                                                          \
    KX_ON_VOID(WM_LBUTTONUP, OnLButtonUp(static_cast<UINT>(wParam), KX_POINT(lParam)))
#define ON_WM_MOUSEMOVE()                                                                          \
    KX_ON_VOID(WM_MOUSEMOVE, OnMouseMove(static_cast<UINT>(wParam), KX_POINT(lParam)))

#define ON_WM_QUERYDRAGICON()                                                                      \
    {WM_QUERYDRAGICON, framework_detail::kAnyCode, framework_detail::kAnyId,                       \
     [](CWnd* self, WPARAM, LPARAM) -> LRESULT {                                                   \
         return reinterpret_cast<LRESULT>(KX_THIS(self)->OnQueryDragIcon());                       \
     }},

#define ON_WM_DEVICECHANGE()                                                                       \
    {WM_DEVICECHANGE, framework_detail::kAnyCode, framework_detail::kAnyId,                        \
     [](CWnd* self, WPARAM w, LPARAM l) -> LRESULT {                                               \
         return KX_THIS(self)->OnDeviceChange(static_cast<UINT>(w), static_cast<DWORD_PTR>(l));    \
     }},

// The window's new DPI (the vertical one; both are equal) and the rectangle, in screen
// pixels, the system suggests for it at that DPI.
#define ON_WM_DPICHANGED()                                                                         \
    {WM_DPICHANGED, framework_detail::kAnyCode, framework_detail::kAnyId,                          \
     [](CWnd* self, WPARAM w, LPARAM l) -> LRESULT {                                               \
         return KX_THIS(self)->OnDpiChanged(HIWORD(w), reinterpret_cast<const RECT*>(l));          \
     }},

#define ON_WM_ERASEBKGND()                                                                         \
    {WM_ERASEBKGND, framework_detail::kAnyCode, framework_detail::kAnyId,                          \
     [](CWnd* self, WPARAM w, LPARAM) -> LRESULT {                                                 \
         return framework_detail::CallEraseBkgnd(                                                  \
             self, w, [](CWnd* s, CDC* dc) -> BOOL { return KX_THIS(s)->OnEraseBkgnd(dc); });      \
     }},

#define KX_ON_CTLCOLOR(msg)                                                                        \
    {msg, framework_detail::kAnyCode, framework_detail::kAnyId,                                    \
     [](CWnd* self, WPARAM w, LPARAM l) -> LRESULT {                                               \
         return reinterpret_cast<LRESULT>(                                                         \
             framework_detail::CallCtlColor(self, w, l, (msg)-WM_CTLCOLORMSGBOX,                   \
                                            [](CWnd* s, CDC* dc, CWnd* ctl, UINT type) -> HBRUSH { \
                                                return KX_THIS(s)->OnCtlColor(dc, ctl, type);      \
                                            }));                                                   \
     }},

// All control-colour requests, the static control's among them.
#define ON_WM_CTLCOLOR()                                                                           \
    KX_ON_CTLCOLOR(WM_CTLCOLORSTATIC)                                                              \
    KX_ON_CTLCOLOR(WM_CTLCOLORBTN)                                                                 \
    KX_ON_CTLCOLOR(WM_CTLCOLOREDIT)                                                                \
    KX_ON_CTLCOLOR(WM_CTLCOLORLISTBOX)                                                             \
    KX_ON_CTLCOLOR(WM_CTLCOLORDLG)                                                                 \
    KX_ON_CTLCOLOR(WM_CTLCOLORSCROLLBAR)                                                           \
    KX_ON_CTLCOLOR(WM_CTLCOLORMSGBOX)
