// Shared pieces of the display-scale tests: the DPI this test process runs at, the skin
// pictures drawn for it, and where a control lies in its window.
#pragma once

#include <windows.h>

#include <functional>

#include "support/WinTest.h"
#include "ui/SkinScale.h"

namespace kxtest {

// The DPI the process took from Wine's LogPixels when it started. In a child started by
// the scale runs it must be the one the run asked for (KX_EXPECTED_DPI); returns 0 when
// it is not, so the test can say so.
UINT ProcessDpi();

// The skin picture's pixels as the program loads them for the DPI.
Pixels SkinPicture(UINT id, UINT dpi);
// The id of the shown language's picture with this index.
UINT LocalizedPicture(int index);

// A control's rectangle in its parent's client pixels.
RECT RectInParent(HWND control);

// Waits until the window's capture satisfies the condition; the last capture is kept.
bool WaitForLook(HWND window, const std::function<bool(const Pixels&)>& looks, Pixels* shown);

// Whether the capture shows the picture's pixels inside rc (the picture's own coordinates
// plus (dx, dy) in the capture).
bool ShowsPart(const Pixels& shown, const Pixels& picture, const RECT& rc, int dx = 0, int dy = 0);

// The height DrawText needs for the text in the control's font, broken into lines at the
// control's width (format: DT_WORDBREAK and the alignment the control uses).
int TextHeightIn(HWND control, const std::wstring& text, UINT format);

} // namespace kxtest
