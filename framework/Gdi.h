// GDI wrappers: owning objects (bitmap, brush, font), device contexts, and a scoped
// selection that puts the previous object back. Every object here frees what it
// created when it goes out of scope, so nothing outlives a paint by accident.
#pragma once

#include <windows.h>

#include <utility>

// Owns one GDI object (bitmap, brush, font...). Move-only; deletes the object on
// destruction. Derived classes add the creation calls of their kind.
class CGdiObject {
public:
    CGdiObject() = default;
    explicit CGdiObject(HGDIOBJ handle) : m_hObject(handle) {}
    CGdiObject(const CGdiObject&) = delete;
    CGdiObject& operator=(const CGdiObject&) = delete;
    CGdiObject(CGdiObject&& other) noexcept : m_hObject(other.Detach()) {}
    CGdiObject& operator=(CGdiObject&& other) noexcept;
    virtual ~CGdiObject() { DeleteObject(); }

    HGDIOBJ GetSafeHandle() const { return m_hObject; }
    bool IsNull() const { return m_hObject == nullptr; }
    // Takes ownership of handle, deleting the object held before.
    void Attach(HGDIOBJ handle);
    HGDIOBJ Detach() { return std::exchange(m_hObject, nullptr); }
    BOOL DeleteObject();

protected:
    HGDIOBJ m_hObject = nullptr;
};

class CDC;

// A bitmap loaded from the program's resources or made compatible with a device.
class CBitmap : public CGdiObject {
public:
    CBitmap() = default;
    operator HBITMAP() const { return static_cast<HBITMAP>(m_hObject); }

    // LoadBitmapW from the program's own module (device-dependent, as the skin needs).
    BOOL LoadBitmap(UINT resourceId);
    BOOL CreateCompatibleBitmap(CDC* pDC, int width, int height);
    // Fills bm with the bitmap's description; 0 when there is no bitmap.
    int GetBitmap(BITMAP* bm) const;
};

class CBrush : public CGdiObject {
public:
    CBrush() = default;
    explicit CBrush(COLORREF color) { CreateSolidBrush(color); }
    operator HBRUSH() const { return static_cast<HBRUSH>(m_hObject); }
    BOOL CreateSolidBrush(COLORREF color);
};

class CFont : public CGdiObject {
public:
    CFont() = default;
    operator HFONT() const { return static_cast<HFONT>(m_hObject); }
    BOOL CreateFontIndirect(const LOGFONTW& lf);
    // The same font with its height scaled from one DPI to another: a font a dialog
    // template gave its controls, shown on a monitor of another scale.
    BOOL CreateScaledCopy(HFONT source, UINT fromDpi, UINT toDpi);
};

// A device context. Wraps a borrowed HDC (Attach) or owns one it created
// (CreateCompatibleDC), which it deletes on destruction.
class CDC {
public:
    CDC() = default;
    explicit CDC(HDC borrowed) : m_hDC(borrowed) {}
    CDC(const CDC&) = delete;
    CDC& operator=(const CDC&) = delete;
    virtual ~CDC();

    HDC GetSafeHdc() const { return m_hDC; }
    operator HDC() const { return m_hDC; }
    void Attach(HDC borrowed);
    HDC Detach();

    // Creates a memory context compatible with pDC (or the screen when null), owned.
    BOOL CreateCompatibleDC(CDC* pDC);
    BOOL DeleteDC();

    HGDIOBJ SelectObject(HGDIOBJ object) { return ::SelectObject(m_hDC, object); }
    BOOL BitBlt(int x, int y, int width, int height, CDC* pSrc, int xSrc, int ySrc, DWORD rop);
    void FillRect(const RECT& rc, HBRUSH brush) { ::FillRect(m_hDC, &rc, brush); }
    void FillSolidRect(const RECT& rc, COLORREF color);
    COLORREF SetTextColor(COLORREF color) { return ::SetTextColor(m_hDC, color); }
    COLORREF SetBkColor(COLORREF color) { return ::SetBkColor(m_hDC, color); }
    BOOL DrawIcon(int x, int y, HICON icon) { return ::DrawIcon(m_hDC, x, y, icon); }

protected:
    HDC m_hDC = nullptr;
    bool m_bOwned = false;
};

// BeginPaint/EndPaint for one WM_PAINT.
class CPaintDC : public CDC {
public:
    explicit CPaintDC(HWND hwnd);
    ~CPaintDC() override;
    PAINTSTRUCT m_ps{};

private:
    HWND m_hWnd;
};

// Selects an object into a device context for one scope and selects the previous
// object back when the scope ends.
class CSelectObject {
public:
    CSelectObject(HDC dc, HGDIOBJ object) : m_hDC(dc), m_hOld(::SelectObject(dc, object)) {}
    CSelectObject(const CSelectObject&) = delete;
    CSelectObject& operator=(const CSelectObject&) = delete;
    ~CSelectObject() {
        if (m_hOld)
            ::SelectObject(m_hDC, m_hOld);
    }

private:
    HDC m_hDC;
    HGDIOBJ m_hOld;
};
