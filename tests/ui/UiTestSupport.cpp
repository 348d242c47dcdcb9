#include "UiTestSupport.h"

BEGIN_MESSAGE_MAP(CHostWindow, CWnd)
ON_MESSAGE(WM_COMMAND, &CHostWindow::OnCommand)
END_MESSAGE_MAP()

BOOL CHostWindow::Create(const RECT& rc) {
    static const wchar_t* cls = [] {
        WNDCLASSW wc{};
        wc.lpfnWndProc = ::DefWindowProcW;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.hbrBackground = CreateSolidBrush(kHostColor);
        wc.lpszClassName = L"KxUiTestHost";
        RegisterClassW(&wc);
        return wc.lpszClassName;
    }();
    return CreateEx(WS_EX_TOPMOST, cls, L"Host", WS_POPUP | WS_VISIBLE | WS_CLIPCHILDREN, rc,
                    nullptr, 0);
}

LRESULT CHostWindow::OnCommand(WPARAM wParam, LPARAM) {
    if (HIWORD(wParam) == BN_CLICKED) {
        ++m_nClicks;
        m_nLastClickedId = LOWORD(wParam);
    }
    return 0;
}

kxtest::Pixels BitmapPixels(UINT resourceId) {
    kxtest::Pixels px;
    CBitmap bmp;
    BITMAP bm{};
    if (!bmp.LoadBitmap(resourceId) || !bmp.GetBitmap(&bm))
        return px;
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = bm.bmWidth;
    bi.bmiHeader.biHeight = -bm.bmHeight;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    px.width = bm.bmWidth;
    px.height = bm.bmHeight;
    px.data.resize(static_cast<size_t>(bm.bmWidth) * bm.bmHeight);
    HDC screen = GetDC(nullptr);
    GetDIBits(screen, bmp, 0, static_cast<UINT>(bm.bmHeight), px.data.data(), &bi, DIB_RGB_COLORS);
    ReleaseDC(nullptr, screen);
    for (auto& v : px.data)
        v &= 0x00FFFFFF;
    return px;
}

bool ShowsBitmap(const kxtest::Pixels& shown, const kxtest::Pixels& bitmap, int x, int y) {
    if (bitmap.width == 0 || x + bitmap.width > shown.width || y + bitmap.height > shown.height)
        return false;
    for (int row = 0; row < bitmap.height; ++row)
        for (int col = 0; col < bitmap.width; ++col)
            if (shown.At(x + col, y + row) != bitmap.At(col, row))
                return false;
    return true;
}
