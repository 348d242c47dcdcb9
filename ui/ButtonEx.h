// CButtonEx: the tool's only kind of button. A platform push button whose whole face
// is one of three bitmaps (normal, hover, disabled); captions are painted into the
// bitmaps. It keeps the platform button's pressing, focus and click (BN_CLICKED to the
// parent) and replaces only the drawing. Hover is followed by holding the mouse capture
// while the pointer is over the button. Its window text is never drawn: it is the name a
// screen reader says (an & marks the access key), and it tells screen readers it is a
// push button. With ShowFocusCue, a dotted rectangle inside its face shows while it has
// the focus (unless the window hides focus cues). In high contrast it is drawn as a text
// button in the system's colours: its name (or a shorter caption) on the button face.
//
// Use: allocate, LoadBitmaps(normal, hover, disabled, dpi), then CreateOrMove with a
// rectangle of the bitmaps' size and the parent, and SetWindowText with its name; delete
// it with the parent. On a change of display scale, LoadBitmaps again for the new DPI and
// move the button to its new rectangle.
#pragma once

#include <string>

#include "framework/Afx.h"

class CButtonEx : public CButton {
public:
    // WS_VISIBLE | WS_TABSTOP | BS_FLAT | BS_BITMAP | BS_OWNERDRAW; Create adds WS_CHILD.
    static constexpr DWORD kButtonStyle = 0x1001808B;

    CButtonEx() = default;
    ~CButtonEx() override = default;

    // Loads the three looks from the program's skin pictures, drawn for the DPI; the
    // normal bitmap's size is the size drawn in every state.
    void LoadBitmaps(UINT normalId, UINT hoverId, UINT disabledId, UINT dpi = kDefaultDpi);

    // Creates the button's window at rc the first time, and moves it there after.
    BOOL CreateOrMove(const RECT& rc, CWnd* pParent, UINT id);

    // Draws the focus cue from now on (off by default).
    void ShowFocusCue(bool show) { m_bFocusCue = show; }

    // Draws the high-contrast look (on) or the pictures (off), from the next paint on.
    // The caption, when not empty, is drawn instead of the name (for a button too small
    // for it).
    void SetHighContrast(bool on, const std::wstring& caption = {}) {
        m_bHighContrast = on;
        m_strContrastCaption = caption;
    }

    int BitmapWidth() const { return m_nWidth; }
    int BitmapHeight() const { return m_nHeight; }

protected:
    void PreSubclassWindow() override;
    void DrawItem(LPDRAWITEMSTRUCT item) override;
    void DrawTextButton(CDC& target);

    void OnMouseMove(UINT flags, POINT point);
    void OnLButtonDown(UINT flags, POINT point);
    void OnLButtonUp(UINT flags, POINT point);
    DECLARE_MESSAGE_MAP()

protected:
    BOOL m_bHover = FALSE;    // pointer over the button and the button not held down
    BOOL m_bTracking = FALSE; // the button holds the capture to follow the pointer
    RECT m_rcClient{};        // client rectangle as of the last draw
    CBitmap m_bmpNormal;
    CBitmap m_bmpHover;
    CBitmap m_bmpDisabled;
    int m_nWidth = 0;
    int m_nHeight = 0;
    bool m_bFocusCue = false;
    bool m_bHighContrast = false;
    std::wstring m_strContrastCaption;
};
