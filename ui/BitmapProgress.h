// CBitmapProgress: the main window's progress bar in the skin's colours. A platform
// progress control (range and position through its own messages) whose painting is
// replaced: a strip of the body colour filled from the left with amber tiles, one per
// 1/28 of the range, composed off screen (QMemDC) and shown in one copy. No frame is
// drawn. A new position is painted only when it changes the tiles (or leaves or reaches
// 0). The strip is cleared only at position 0 and on the first paint after the owner
// window has come back to the foreground. The tile is the skin's picture for the bar's
// display scale (SetDpi), so 28 whole tiles always fit the bar at that scale. Screen
// readers find it as a progress bar whose value is the position in percent of the range
// ("50%"); its owner gives it its name. In high contrast it is a frame in the window
// text's colour filled from the left in the highlight colour, at every position.
#pragma once

#include "framework/Afx.h"
#include "ui/SkinColors.h"

// What the bar asks of its owner window while painting.
class IForegroundWindow {
public:
    virtual bool IsForeground() = 0;

protected:
    ~IForegroundWindow() = default;
};

class CBitmapProgress : public CProgressCtrl {
public:
    static constexpr COLORREF kStripColor = kSkinBody;
    static constexpr int kTileCount = 28; // tiles across the whole range

    CBitmapProgress();
    ~CBitmapProgress() override = default;

    // The window whose foreground state the paint consults; set before the bar
    // shows a non-zero position.
    void SetOwner(IForegroundWindow* pOwner) { m_pOwner = pOwner; }

    // Draws the tiles for this DPI from the next paint on (96 DPI until called).
    void SetDpi(UINT dpi);

    // Draws the high-contrast look (on) or the tiles (off), from now on.
    void SetHighContrast(bool on);

protected:
    void PreSubclassWindow() override;
    void OnPaint();
    void PaintHighContrast(CDC& dc, const RECT& rc, int pos);
    // The position in percent, as screen readers read the bar's value.
    void SayPosition(int pos, int lower, int upper);
    void OnNcPaint() {} // never a frame or edge
    LRESULT OnSetPos(WPARAM pos, LPARAM);
    // The tiles the bar shows at a position.
    int TilesAt(int pos) const;
    void OnClick(UINT flags, POINT point);
    DECLARE_MESSAGE_MAP()

    BITMAP m_bmTile{};
    CBitmap m_bmpTile;
    bool m_bFilled = true;        // false after a paint while the owner was in the background
    bool m_bPositionOnly = false; // a new position that draws nothing new is being set
    IForegroundWindow* m_pOwner = nullptr;
    bool m_bHighContrast = false;
};
