#include "ui/BitmapProgress.h"

#include <oleacc.h>

#include "framework/Accessible.h"

#include "res/resource.h"
#include "ui/QMemDC.h"
#include "ui/SkinPictures.h"

#include <algorithm>

BEGIN_MESSAGE_MAP(CBitmapProgress, CProgressCtrl)
    ON_WM_PAINT()
    ON_WM_NCPAINT()
    ON_MESSAGE(PBM_SETPOS, &CBitmapProgress::OnSetPos)
    ON_MOUSE_MESSAGE(WM_LBUTTONDOWN, &CBitmapProgress::OnClick)
    ON_MOUSE_MESSAGE(WM_LBUTTONUP, &CBitmapProgress::OnClick)
END_MESSAGE_MAP()

CBitmapProgress::CBitmapProgress() {
    SetDpi(kDefaultDpi);
}

void CBitmapProgress::SetDpi(UINT dpi) {
    m_bmpTile = LoadSkinPicture(IDB_TILE, dpi);
    m_bmTile = {};
    m_bmpTile.GetBitmap(&m_bmTile);
    if (m_hWnd)
        Invalidate(TRUE);
}

void CBitmapProgress::OnPaint() {
    CPaintDC dc(m_hWnd);
    if (m_bPositionOnly)
        return;
    RECT rc{};
    GetClientRect(&rc);
    CDC tiles;
    tiles.CreateCompatibleDC(&dc);

    const int pos = GetPos();
    if (m_bHighContrast) {
        PaintHighContrast(dc, rc, pos);
        return;
    }
    if (pos == 0) {
        dc.FillSolidRect(rc, kStripColor);
        return;
    }
    // Tiles are drawn over what the bar shows; the strip is cleared only when the
    // owner has just come back to the foreground.
    const bool foreground = !m_pOwner || m_pOwner->IsForeground();
    if (!foreground) {
        m_bFilled = false;
    } else if (!m_bFilled) {
        dc.FillSolidRect(rc, kStripColor);
        m_bFilled = true;
    }

    QMemDC surface(&dc, rc);
    const int count = TilesAt(pos);
    {
        CSelectObject select(tiles, m_bmpTile);
        for (int i = 0; i < count; ++i)
            surface.BitBlt(rc.left + i * m_bmTile.bmWidth, 0, m_bmTile.bmWidth, m_bmTile.bmHeight,
                           &tiles, 0, 0, SRCCOPY);
    }
    surface.Draw();
}

void CBitmapProgress::SetHighContrast(bool on) {
    m_bHighContrast = on;
    m_bFilled = true; // the skin's strip is drawn whole when it comes back
    if (m_hWnd)
        Invalidate(TRUE);
}

void CBitmapProgress::PaintHighContrast(CDC& dc, const RECT& rc, int pos) {
    int lower = 0, upper = 0;
    GetRange(lower, upper);
    dc.FillRect(rc, ::GetSysColorBrush(COLOR_WINDOW));
    RECT filled = rc;
    ::InflateRect(&filled, -1, -1);
    const int width = filled.right - filled.left;
    filled.right = filled.left + (upper != lower ? width * (pos - lower) / (upper - lower) : 0);
    dc.FillRect(filled, ::GetSysColorBrush(COLOR_HIGHLIGHT));
    ::FrameRect(dc, &rc, ::GetSysColorBrush(COLOR_WINDOWTEXT));
}

int CBitmapProgress::TilesAt(int pos) const {
    int lower = 0, upper = 0;
    GetRange(lower, upper);
    return upper != lower ? kTileCount * pos / (upper - lower) : 0;
}

LRESULT CBitmapProgress::OnSetPos(WPARAM wParam, LPARAM) {
    // The platform's control repaints for every new position, and most positions draw
    // the same tiles: such a repaint only takes the update region back, unless one was
    // due for another reason as well.
    int lower = 0, upper = 0;
    GetRange(lower, upper);
    const int from = GetPos();
    const int to =
        std::clamp(static_cast<int>(wParam), std::min(lower, upper), std::max(lower, upper));
    const bool repaintDue = ::GetUpdateRect(m_hWnd, nullptr, FALSE) != FALSE;
    m_bPositionOnly =
        !m_bHighContrast && !repaintDue && TilesAt(to) == TilesAt(from) && (to == 0) == (from == 0);
    const LRESULT previous = Default();
    if (m_bPositionOnly)
        ::ValidateRect(m_hWnd, nullptr); // for a control that repaints later rather than at once
    m_bPositionOnly = false;
    SayPosition(to, lower, upper);
    return previous;
}

void CBitmapProgress::PreSubclassWindow() {
    CProgressCtrl::PreSubclassWindow();
    Accessible().SetRole(ROLE_SYSTEM_PROGRESSBAR);
    int lower = 0, upper = 0;
    GetRange(lower, upper);
    SayPosition(GetPos(), lower, upper);
}

void CBitmapProgress::SayPosition(int pos, int lower, int upper) {
    const int percent = upper != lower ? (pos - lower) * 100 / (upper - lower) : 0;
    Accessible().SetValue(std::to_wstring(percent) + L"%");
}

void CBitmapProgress::OnClick(UINT, POINT) {
    if (GetFocus() != m_hWnd)
        SetFocus();
    Default();
    Invalidate(TRUE);
}
