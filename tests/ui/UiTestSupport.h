// Shared pieces of the skinned-control tests: a host window that paints a known colour
// and counts button clicks.
#pragma once

#include "framework/Afx.h"
#include "support/WinTest.h"

constexpr COLORREF kHostColor = RGB(0x00, 0x80, 0x40);

// A top-level window of a plain class with a solid background; counts BN_CLICKED.
class CHostWindow : public CWnd {
public:
    BOOL Create(const RECT& rc);
    int m_nClicks = 0;
    UINT m_nLastClickedId = 0;

protected:
    LRESULT OnCommand(WPARAM wParam, LPARAM lParam);
    DECLARE_MESSAGE_MAP()
};

using kxtest::BitmapPixels;
using kxtest::ShowsBitmap;
