// Wrappers of the platform controls the tool uses: static text and pictures, push
// buttons (with owner drawing reflected to DrawItem), and the progress bar.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include "framework/Gdi.h"
#include "framework/Wnd.h"

// A static text or picture control. A picture set through SetBitmap is owned by the
// control object: the one it replaces is freed (also one the control loaded from its
// template), and the last is freed with the object.
class CStatic : public CWnd {
public:
    void SetBitmap(CBitmap&& bitmap);
    HBITMAP GetBitmap() const;

private:
    CBitmap m_image;
};

// A push button. Create adds WS_CHILD; an owner-drawn button's WM_DRAWITEM, sent to
// its parent, reaches DrawItem of this object.
class CButton : public CWnd {
public:
    BOOL Create(const wchar_t* caption, DWORD style, const RECT& rect, CWnd* pParent, UINT id);
};

// The platform progress bar: position and range through its own messages.
class CProgressCtrl : public CWnd {
public:
    void GetRange(int& lower, int& upper) const;
    int SetPos(int pos) {
        return static_cast<int>(SendMessage(PBM_SETPOS, static_cast<WPARAM>(pos)));
    }
    int GetPos() const { return static_cast<int>(SendMessage(PBM_GETPOS)); }
};
