#include "ui/QMemDC.h"

QMemDC::QMemDC(CDC* pTarget, const RECT& rc) : m_pTarget(pTarget), m_rc(rc) {
    const int width = rc.right - rc.left, height = rc.bottom - rc.top;
    CreateCompatibleDC(pTarget);
    m_bmp.CreateCompatibleBitmap(pTarget, width, height);
    m_hOldBitmap = SelectObject(m_bmp);
    BitBlt(0, 0, width, height, pTarget, 0, 0, SRCCOPY);
}

QMemDC::~QMemDC() {
    if (m_hOldBitmap)
        SelectObject(m_hOldBitmap);
    m_bmp.DeleteObject();
    DeleteDC();
}

void QMemDC::Draw() {
    m_pTarget->BitBlt(m_rc.left, m_rc.top, m_rc.right - m_rc.left, m_rc.bottom - m_rc.top, this, 0,
                      0, SRCCOPY);
}
