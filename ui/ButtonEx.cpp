#include "ui/ButtonEx.h"

#include <oleacc.h>

#include "framework/Accessible.h"
#include "ui/SkinPictures.h"

BEGIN_MESSAGE_MAP(CButtonEx, CButton)
    ON_WM_MOUSEMOVE()
    ON_WM_LBUTTONDOWN()
    ON_WM_LBUTTONUP()
END_MESSAGE_MAP()

void CButtonEx::LoadBitmaps(UINT normalId, UINT hoverId, UINT disabledId, UINT dpi) {
    m_bmpNormal = LoadSkinPicture(normalId, dpi);
    m_bmpHover = LoadSkinPicture(hoverId, dpi);
    m_bmpDisabled = LoadSkinPicture(disabledId, dpi);
    BITMAP bm{};
    if (m_bmpNormal.GetBitmap(&bm)) {
        m_nWidth = bm.bmWidth;
        m_nHeight = bm.bmHeight;
    } else {
        m_nWidth = m_nHeight = 0;
    }
    if (m_hWnd) // new looks for a button already shown
        Invalidate(TRUE);
}

BOOL CButtonEx::CreateOrMove(const RECT& rc, CWnd* pParent, UINT id) {
    if (!m_hWnd) {
        if (!Create(L"", kButtonStyle, rc, pParent, id))
            return FALSE;
        // Owner drawing hides what it is from the platform's standard object under Wine.
        Accessible().SetRole(ROLE_SYSTEM_PUSHBUTTON);
        return TRUE;
    }
    MoveWindow(rc);
    return TRUE;
}

void CButtonEx::PreSubclassWindow() {
    CButton::PreSubclassWindow();
    // A button taken over from a template is drawn by this class like a created one.
    ModifyStyle(0, BS_OWNERDRAW);
}

void CButtonEx::DrawItem(LPDRAWITEMSTRUCT item) {
    GetClientRect(&m_rcClient);
    CDC target(item->hDC);
    CDC mem;
    mem.CreateCompatibleDC(&target);

    // No pressed look: the face is the state's bitmap, with the focus cue where it is on.
    const CBitmap* face = &m_bmpNormal;
    if (GetStyle() & WS_DISABLED)
        face = &m_bmpDisabled;
    else if (m_bHover && GetCapture() == m_hWnd)
        face = &m_bmpHover;

    if (m_bHighContrast) {
        DrawTextButton(target);
    } else if (!face->IsNull()) {
        CSelectObject select(mem, *face);
        target.BitBlt(m_rcClient.left, m_rcClient.top, m_nWidth, m_nHeight, &mem, 0, 0, SRCCOPY);
    }
    if (m_bFocusCue && (item->itemState & ODS_FOCUS) && !(item->itemState & ODS_NOFOCUSRECT)) {
        RECT cue = m_rcClient;
        ::InflateRect(&cue, -3, -3);
        ::DrawFocusRect(target, &cue);
    }
    target.Detach();
}

void CButtonEx::DrawTextButton(CDC& target) {
    const bool enabled = !(GetStyle() & WS_DISABLED);
    target.FillRect(m_rcClient, ::GetSysColorBrush(COLOR_BTNFACE));
    ::FrameRect(target, &m_rcClient, ::GetSysColorBrush(COLOR_BTNTEXT));
    const std::wstring caption =
        m_strContrastCaption.empty() ? GetWindowText() : m_strContrastCaption;
    RECT rc = m_rcClient;
    const int oldMode = ::SetBkMode(target, TRANSPARENT);
    const COLORREF oldColor =
        target.SetTextColor(::GetSysColor(enabled ? COLOR_BTNTEXT : COLOR_GRAYTEXT));
    CSelectObject font(target, reinterpret_cast<HGDIOBJ>(SendMessage(WM_GETFONT)));
    ::DrawTextW(target, caption.c_str(), static_cast<int>(caption.size()), &rc,
                DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    target.SetTextColor(oldColor);
    ::SetBkMode(target, oldMode);
}

void CButtonEx::OnMouseMove(UINT, POINT point) {
    Default(); // the platform button's own handling of a held press
    if (m_bTracking && GetCapture() == m_hWnd) {
        RECT rc{};
        GetClientRect(&rc);
        if (::PtInRect(&rc, point))
            return;
        // Off the button: let go (this also drops a held press, so no click follows).
        m_bTracking = FALSE;
        ::ReleaseCapture();
        m_bHover = FALSE;
        Invalidate(TRUE);
    } else {
        m_bTracking = TRUE;
        SetCapture();
        m_bHover = TRUE;
        Invalidate(TRUE);
    }
}

void CButtonEx::OnLButtonDown(UINT, POINT) {
    m_bHover = FALSE;
    if (GetFocus() != m_hWnd)
        SetFocus();
    Default();
    Invalidate(TRUE);
}

void CButtonEx::OnLButtonUp(UINT, POINT) {
    m_bHover = TRUE;
    if (GetFocus() != m_hWnd)
        SetFocus();
    Default();  // releases the capture and, over the button, clicks
    if (m_hWnd) // the click's handler may have destroyed the button
        Invalidate(TRUE);
}
