#include "ScaleTestSupport.h"

#include <cstdlib>

#include "update/locale/Localization.h"
#include "ui/SkinPictures.h"

namespace kxtest {

UINT ProcessDpi() {
    const UINT dpi = GetWindowDpi(nullptr);
    wchar_t expected[16] = {};
    if (GetEnvironmentVariableW(L"KX_EXPECTED_DPI", expected, 16) &&
        std::wcstoul(expected, nullptr, 10) != dpi)
        return 0;
    return dpi;
}

Pixels SkinPicture(UINT id, UINT dpi) {
    return BitmapPixels(LoadSkinPicture(id, dpi));
}

UINT LocalizedPicture(int index) {
    return static_cast<UINT>(LocalizedId(index));
}

RECT RectInParent(HWND control) {
    RECT rc{};
    GetWindowRect(control, &rc);
    MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&rc), 2);
    return rc;
}

bool WaitForLook(HWND window, const std::function<bool(const Pixels&)>& looks, Pixels* shown) {
    return WaitFor([&] {
        *shown = CaptureWindow(window);
        return looks(*shown);
    });
}

bool ShowsPart(const Pixels& shown, const Pixels& picture, const RECT& rc, int dx, int dy) {
    if (picture.width == 0 || IsRectEmpty(&rc))
        return false;
    for (int y = rc.top; y < rc.bottom; ++y)
        for (int x = rc.left; x < rc.right; ++x)
            if (shown.At(x + dx, y + dy) != picture.At(x, y))
                return false;
    return true;
}

int TextHeightIn(HWND control, const std::wstring& text, UINT format) {
    RECT rc{};
    GetClientRect(control, &rc);
    HDC dc = GetDC(control);
    HGDIOBJ old =
        SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
    DrawTextW(dc, text.c_str(), -1, &rc, format | DT_CALCRECT | DT_NOPREFIX);
    SelectObject(dc, old);
    ReleaseDC(control, dc);
    return rc.bottom - rc.top;
}

} // namespace kxtest
