// QMemDC: an off-screen drawing surface for one paint. It starts as a copy of what
// the target shows in the given rectangle (whose top-left corner is the target's
// origin), is drawn into as a memory device context, and is put back on the target in
// one copy by Draw. Nothing is copied back on destruction.
#pragma once

#include "framework/Afx.h"

class QMemDC : public CDC {
public:
    QMemDC(CDC* pTarget, const RECT& rc);
    ~QMemDC() override;

    void Draw();

private:
    CDC* m_pTarget;
    RECT m_rc;
    CBitmap m_bmp;
    HGDIOBJ m_hOldBitmap = nullptr;
};
