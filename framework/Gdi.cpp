#include "framework/Gdi.h"

CGdiObject& CGdiObject::operator=(CGdiObject&& other) noexcept {
    if (this != &other)
        Attach(other.Detach());
    return *this;
}

void CGdiObject::Attach(HGDIOBJ handle) {
    DeleteObject();
    m_hObject = handle;
}

BOOL CGdiObject::DeleteObject() {
    if (!m_hObject)
        return FALSE;
    return ::DeleteObject(std::exchange(m_hObject, nullptr));
}

BOOL CBitmap::LoadBitmap(UINT resourceId) {
    Attach(::LoadBitmapW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(resourceId)));
    return !IsNull();
}

BOOL CBitmap::CreateCompatibleBitmap(CDC* pDC, int width, int height) {
    Attach(::CreateCompatibleBitmap(pDC->GetSafeHdc(), width, height));
    return !IsNull();
}

int CBitmap::GetBitmap(BITMAP* bm) const {
    return m_hObject ? ::GetObjectW(m_hObject, sizeof(BITMAP), bm) : 0;
}

BOOL CBrush::CreateSolidBrush(COLORREF color) {
    Attach(::CreateSolidBrush(color));
    return !IsNull();
}

BOOL CFont::CreateFontIndirect(const LOGFONTW& lf) {
    Attach(::CreateFontIndirectW(&lf));
    return !IsNull();
}

BOOL CFont::CreateScaledCopy(HFONT source, UINT fromDpi, UINT toDpi) {
    LOGFONTW lf{};
    if (!source || !fromDpi || !::GetObjectW(source, sizeof(lf), &lf)) {
        DeleteObject();
        return FALSE;
    }
    lf.lfHeight = ::MulDiv(lf.lfHeight, static_cast<int>(toDpi), static_cast<int>(fromDpi));
    lf.lfWidth = ::MulDiv(lf.lfWidth, static_cast<int>(toDpi), static_cast<int>(fromDpi));
    return CreateFontIndirect(lf);
}

CDC::~CDC() {
    DeleteDC();
}

void CDC::Attach(HDC borrowed) {
    DeleteDC();
    m_hDC = borrowed;
}

HDC CDC::Detach() {
    m_bOwned = false;
    return std::exchange(m_hDC, nullptr);
}

BOOL CDC::CreateCompatibleDC(CDC* pDC) {
    DeleteDC();
    m_hDC = ::CreateCompatibleDC(pDC ? pDC->GetSafeHdc() : nullptr);
    m_bOwned = m_hDC != nullptr;
    return m_bOwned;
}

BOOL CDC::DeleteDC() {
    const bool owned = m_bOwned;
    HDC dc = Detach();
    return (dc && owned) ? ::DeleteDC(dc) : FALSE;
}

BOOL CDC::BitBlt(int x, int y, int width, int height, CDC* pSrc, int xSrc, int ySrc, DWORD rop) {
    return ::BitBlt(m_hDC, x, y, width, height, pSrc ? pSrc->GetSafeHdc() : nullptr, xSrc, ySrc,
                    rop);
}

void CDC::FillSolidRect(const RECT& rc, COLORREF color) {
    CBrush brush(color);
    FillRect(rc, brush);
}

CPaintDC::CPaintDC(HWND hwnd) : m_hWnd(hwnd) {
    m_hDC = ::BeginPaint(hwnd, &m_ps);
}

CPaintDC::~CPaintDC() {
    ::EndPaint(m_hWnd, &m_ps);
    m_hDC = nullptr;
}
