#include "framework/Controls.h"

#include <commctrl.h>

void CStatic::SetBitmap(CBitmap&& bitmap) {
    auto replaced = reinterpret_cast<HBITMAP>(
        SendMessage(STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bitmap.GetSafeHandle())));
    // A picture the control loaded from its template belongs to nobody else: free it.
    if (replaced && m_image.IsNull())
        ::DeleteObject(replaced);
    m_image = std::move(bitmap); // frees the picture we had set before
}

HBITMAP CStatic::GetBitmap() const {
    return reinterpret_cast<HBITMAP>(SendMessage(STM_GETIMAGE, IMAGE_BITMAP));
}

BOOL CButton::Create(const wchar_t* caption, DWORD style, const RECT& rect, CWnd* pParent,
                     UINT id) {
    return CreateEx(0, L"BUTTON", caption, style | WS_CHILD, rect, pParent, id);
}

void CProgressCtrl::GetRange(int& lower, int& upper) const {
    PBRANGE range{};
    SendMessage(PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
    lower = range.iLow;
    upper = range.iHigh;
}
