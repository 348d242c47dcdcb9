// CSkinScale: the one mapping from the skin's pixels to a window's device pixels. The
// skin is laid out and drawn for 96 DPI; at another DPI every position and every size
// is its 96-DPI value times DPI / 96, rounded down to a whole pixel. The artwork of each
// scale is drawn to the same rule (tools/make_artwork.py), so pictures, panels, labels
// and buttons stay in register, and 28 progress tiles always fit the bar. At 96 DPI it
// is the identity. The skin is never shown below 100 %: lower DPIs count as 96.
//
// Use: a window keeps one for the DPI it is laid out at and places every control with
// it; the skin's pictures come from LoadSkinPicture (ui/SkinPictures.h) for Dpi().
#pragma once

#include <windows.h>

#include "framework/Dpi.h"

class CSkinScale {
public:
    explicit CSkinScale(UINT dpi = kDefaultDpi) : m_nDpi(dpi > kDefaultDpi ? dpi : kDefaultDpi) {}

    UINT Dpi() const { return m_nDpi; }
    bool IsDefault() const { return m_nDpi == kDefaultDpi; }

    // A position or size in skin pixels (not negative) in device pixels.
    int Px(int skin) const {
        return static_cast<int>(static_cast<long long>(skin) * m_nDpi / kDefaultDpi);
    }
    // A rectangle given as left, top, width and height in skin pixels.
    RECT Rect(int x, int y, int width, int height) const {
        const int left = Px(x), top = Px(y);
        return {left, top, left + Px(width), top + Px(height)};
    }
    RECT Rect(const RECT& skin) const {
        return Rect(skin.left, skin.top, skin.right - skin.left, skin.bottom - skin.top);
    }

private:
    UINT m_nDpi;
};
