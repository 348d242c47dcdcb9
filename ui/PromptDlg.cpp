#include "ui/PromptDlg.h"

#include <oleacc.h>

#include <algorithm>

#include "framework/Accessible.h"
#include "update/locale/Localization.h"
#include "res/resource.h"
#include "ui/SkinPictures.h"

namespace {
// Button rows in the prompt's client pixels at 96 DPI.
constexpr RECT kOkOfTwo{60, 90, 130, 112};
constexpr RECT kCancelOfTwo{170, 90, 240, 112};
constexpr RECT kOkAlone{214, 90, 284, 112};
// The text block: where the template puts it at 96 DPI with the fonts the skin was drawn
// for. Placed in pixels, because other fonts (a substituted "MS Shell Dlg") make the
// template's dialog units wider than the prompt.
constexpr RECT kText{15, 24, 285, 74};
// A text that needs more lines than the block holds (a notice naming a file's path)
// makes the prompt taller by what is missing: this row of the background's plain body,
// between the title band and the line over the buttons, is repeated that often.
constexpr int kGrowRow = 60;
constexpr int kBackgroundId = -1; // the background picture has no id of its own

// Where a prompt over `over` goes: its left + 60 and top + 125 skin pixels, from where the
// window stands when it is not minimised (a minimised window's own rectangle lies far off
// the screen), moved into its monitor's work area wherever it would not lie wholly on it.
POINT PromptPlace(HWND over, const CSkinScale& scale) {
    RECT rc{};
    ::GetWindowRect(over, &rc);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    WINDOWPLACEMENT placement{};
    placement.length = sizeof(placement);
    if (::IsIconic(over) && ::GetWindowPlacement(over, &placement)) {
        rc = placement.rcNormalPosition; // in work-area coordinates
        if (::GetMonitorInfoW(::MonitorFromRect(&rc, MONITOR_DEFAULTTONEAREST), &monitor))
            ::OffsetRect(&rc, monitor.rcWork.left - monitor.rcMonitor.left,
                         monitor.rcWork.top - monitor.rcMonitor.top);
    }
    POINT at{rc.left + scale.Px(60), rc.top + scale.Px(125)};
    if (::GetMonitorInfoW(::MonitorFromRect(&rc, MONITOR_DEFAULTTONEAREST), &monitor)) {
        const RECT& work = monitor.rcWork;
        at.x = std::max(work.left, std::min<LONG>(at.x, work.right - scale.Px(CPromptDlg::kWidth)));
        at.y = std::max(work.top, std::min<LONG>(at.y, work.bottom - scale.Px(CPromptDlg::kHeight)));
    }
    return at;
}

// The picture `extra` pixels taller: the rows above `row` as they are, `row` repeated,
// then the rest. Empty when it cannot be made.
CBitmap TallerPicture(const CBitmap& picture, int row, int extra) {
    CBitmap taller;
    BITMAP bm{};
    if (!picture.GetBitmap(&bm))
        return taller;
    CDC source, target;
    source.CreateCompatibleDC(nullptr);
    target.CreateCompatibleDC(nullptr);
    CSelectObject fromPicture(source, picture);
    // Compatible with the picture selected in the source, so as deep as the skin's.
    if (!taller.CreateCompatibleBitmap(&source, bm.bmWidth, bm.bmHeight + extra))
        return taller;
    CSelectObject intoTaller(target, taller);
    const int width = bm.bmWidth;
    target.BitBlt(0, 0, width, row, &source, 0, 0, SRCCOPY);
    ::StretchBlt(target, 0, row, width, extra, source, 0, row, width, 1, SRCCOPY);
    target.BitBlt(0, row + extra, width, bm.bmHeight - row, &source, 0, row, SRCCOPY);
    return taller;
}

// How many pixels taller than `height` the text is when broken into lines of `width`
// in `font`, as the text control breaks it; 0 when it fits.
int TextOverflow(HWND control, HFONT font, const std::wstring& text, int width, int height) {
    HDC dc = ::GetDC(control);
    if (!dc)
        return 0;
    RECT rc{0, 0, width, 0};
    {
        CSelectObject withFont(dc, font);
        ::DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &rc,
                    DT_CALCRECT | DT_CENTER | DT_WORDBREAK | DT_EXPANDTABS | DT_NOPREFIX);
    }
    ::ReleaseDC(control, dc);
    return std::max(0, static_cast<int>(rc.bottom) - height);
}

// The work area of the monitor the rectangle lies on.
RECT WorkAreaOf(const RECT& rc) {
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    if (::GetMonitorInfoW(::MonitorFromRect(&rc, MONITOR_DEFAULTTONEAREST), &monitor))
        return monitor.rcWork;
    return rc;
}

// The text as a screen reader should read it: without the blank lines and spaces that
// set it off on the panel.
std::wstring Trimmed(const std::wstring& text) {
    const wchar_t* blank = L" \t\r\n";
    const size_t first = text.find_first_not_of(blank);
    if (first == std::wstring::npos)
        return {};
    return text.substr(first, text.find_last_not_of(blank) - first + 1);
}

// Gives a button its looks for the scale and puts it at its place, `down` pixels lower
// in a prompt grown for its text; creates the button the first time.
void PlaceButton(CWnd* parent, const CSkinScale& scale, std::unique_ptr<CButtonEx>& button,
                 const RECT& rc, int down, UINT id, int normalIndex, int hoverIndex) {
    if (!button)
        button = std::make_unique<CButtonEx>();
    const UINT normal = static_cast<UINT>(LocalizedId(normalIndex));
    button->LoadBitmaps(normal, static_cast<UINT>(LocalizedId(hoverIndex)), normal, scale.Dpi());
    RECT at = scale.Rect(rc);
    ::OffsetRect(&at, 0, down);
    button->CreateOrMove(at, parent, id);
}

} // namespace

BEGIN_MESSAGE_MAP(CPromptDlg, CDialog)
    ON_WM_CTLCOLOR()
    ON_WM_LBUTTONDOWN()
    ON_WM_DPICHANGED()
    ON_BN_CLICKED(IDC_BTN_OK, &CPromptDlg::OnOkButton)
    ON_BN_CLICKED(IDC_BTN_CANCEL, &CPromptDlg::OnCancelButton)
END_MESSAGE_MAP()

CPromptDlg::CPromptDlg(CWnd* pParent) : CDialog(IDD_PROMPT, pParent) {}

CPromptDlg::~CPromptDlg() {
    m_pCancelButton.reset();
    m_pOkButton.reset();
}

int CPromptDlg::Show(HWND over, const std::wstring& text, int style, bool highContrast) {
    const CSkinScale scale(GetWindowDpi(over));
    CPromptDlg prompt(CWnd::FromHandlePermanent(over));
    const POINT at = PromptPlace(over, scale);
    prompt.SetPosition(at.x, at.y);
    prompt.SetDpi(scale.Dpi());
    prompt.SetText(text);
    prompt.SetStyle(style);
    prompt.SetHighContrast(highContrast);
    // A prompt that could not open answered nothing: that counts as Cancel, never as OK.
    return prompt.DoModal() == IDOK ? IDOK : IDCANCEL;
}

BOOL CPromptDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    DisableDialogDpiScaling(m_hWnd);
    m_nTemplateDpi = GetWindowDpi(m_hWnd);
    m_Background.SubclassDlgItem(static_cast<UINT>(kBackgroundId), this);
    m_Text.SubclassDlgItem(IDC_PROMPT_TEXT, this);
    LayOut();
    SetDlgItemText(IDC_PROMPT_TEXT, m_strText);
    DescribeForScreenReaders();
    if (m_bHighContrast) {
        // A frame, the system's colours and text buttons instead of the pictures.
        m_Background.ShowWindow(SW_HIDE);
        ModifyStyle(0, WS_BORDER, SWP_FRAMECHANGED);
        for (CButtonEx* button : {m_pOkButton.get(), m_pCancelButton.get()}) {
            if (button) {
                button->SetHighContrast(true);
                button->SetFont(m_TextFont, TRUE);
            }
        }
    }
    // The default answer has the focus, so Enter and a screen reader start there.
    m_pOkButton->SetFocus();
    return FALSE; // the focus is set
}

void CPromptDlg::DescribeForScreenReaders() {
    const std::wstring caption = LoadLocalizedString(TXT_PROMPT_CAPTION);
    const std::wstring text = Trimmed(m_strText);
    SetWindowText(caption); // never drawn: the prompt has no caption bar
    Accessible().SetRole(ROLE_SYSTEM_DIALOG);
    Accessible().SetName(caption);
    Accessible().SetDescription(text);
    m_pOkButton->SetWindowText(LoadLocalizedString(TXT_OK_BUTTON_NAME));
    m_pOkButton->Accessible().SetDescription(text);
    if (m_pCancelButton)
        m_pCancelButton->SetWindowText(LoadLocalizedString(TXT_CANCEL_BUTTON_NAME));
}

void CPromptDlg::ShowFocusCues() {
    for (CButtonEx* button : {m_pOkButton.get(), m_pCancelButton.get()}) {
        if (button) {
            button->ShowFocusCue(true);
            button->Invalidate(FALSE);
        }
    }
}

BOOL CPromptDlg::PreTranslateMessage(MSG* pMsg) {
    const bool ours = m_hWnd && (pMsg->hwnd == m_hWnd || ::IsChild(m_hWnd, pMsg->hwnd));
    // The prompt shows where the focus is once the keyboard is used in it (whatever the
    // system's setting for keyboard cues, which Wine has on): a prompt answered with the
    // mouse looks as it always has.
    if (ours && (pMsg->message == WM_KEYDOWN || pMsg->message == WM_SYSKEYDOWN))
        ShowFocusCues();
    if (ours && pMsg->message == WM_KEYDOWN) {
        if (pMsg->wParam == VK_RETURN) {
            const bool onCancel = m_pCancelButton && GetFocus() == m_pCancelButton->m_hWnd;
            EndDialog(onCancel ? 2 : 1);
            return TRUE;
        }
        if (pMsg->wParam == VK_ESCAPE) {
            EndDialog(m_nStyle == PROMPT_OKCANCEL ? 2 : 1);
            return TRUE;
        }
    }
    return CDialog::PreTranslateMessage(pMsg);
}

void CPromptDlg::LayOut() {
    // The text keeps the template's font, at the prompt's scale.
    m_TextFont.CreateScaledCopy(reinterpret_cast<HFONT>(SendMessage(WM_GETFONT)), m_nTemplateDpi,
                                m_Scale.Dpi());
    const RECT text = m_Scale.Rect(kText);
    const int baseHeight = m_Scale.Px(kHeight);
    // The prompt is its background picture, made taller for a long text, but never
    // taller than the work area it is shown on, and moved up to lie wholly on it.
    RECT rc{m_nLeft, m_nTop, m_nLeft + m_Scale.Px(kWidth), m_nTop + baseHeight};
    const RECT work = WorkAreaOf(rc);
    const int extra = std::min<int>(
        TextOverflow(m_Text.m_hWnd, m_TextFont, m_strText, text.right - text.left,
                     text.bottom - text.top),
        std::max<int>(0, (work.bottom - work.top) - baseHeight));
    if (m_nTop + baseHeight + extra > work.bottom)
        m_nTop = std::max<int>(work.top, work.bottom - baseHeight - extra);
    MoveWindow(m_nLeft, m_nTop, m_Scale.Px(kWidth), baseHeight + extra, TRUE);

    if (m_nStyle == PROMPT_OKCANCEL) {
        PlaceButton(this, m_Scale, m_pOkButton, kOkOfTwo, extra, IDC_BTN_OK, PIC_OK_NORMAL,
                    PIC_OK_HOVER);
        PlaceButton(this, m_Scale, m_pCancelButton, kCancelOfTwo, extra, IDC_BTN_CANCEL,
                    PIC_CANCEL_NORMAL, PIC_CANCEL_HOVER);
    } else {
        PlaceButton(this, m_Scale, m_pOkButton, kOkAlone, extra, IDC_BTN_OK, PIC_OK_NORMAL,
                    PIC_OK_HOVER);
    }
    // The picture the template gave the background is the 96-DPI one; it is replaced
    // (and freed) by the one for the scale.
    CBitmap background = LoadSkinPicture(IDB_PROMPT_BG, m_Scale.Dpi());
    if (extra > 0) {
        CBitmap taller = TallerPicture(background, m_Scale.Px(kGrowRow), extra);
        if (!taller.IsNull())
            background = std::move(taller);
    }
    m_Background.SetBitmap(std::move(background));
    m_Background.MoveWindow({0, 0, m_Scale.Px(kWidth), baseHeight + extra});
    m_Text.MoveWindow({text.left, text.top, text.right, text.bottom + extra});
    m_Text.SetFont(m_TextFont, TRUE);
}

LRESULT CPromptDlg::OnDpiChanged(UINT dpi, const RECT* suggested) {
    m_Scale = CSkinScale(dpi);
    if (suggested)
        SetPosition(suggested->left, suggested->top);
    LayOut();
    // Nothing of the old scale may stay on screen (the move copied the old pixels).
    ::RedrawWindow(m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
    return 0;
}

HBRUSH CPromptDlg::OnCtlColor(CDC* pDC, CWnd* pWnd, UINT nCtlColor) {
    if (m_bHighContrast && (nCtlColor == CTLCOLOR_DLG || nCtlColor == CTLCOLOR_STATIC)) {
        pDC->SetTextColor(::GetSysColor(COLOR_WINDOWTEXT));
        pDC->SetBkColor(::GetSysColor(COLOR_WINDOW));
        return ::GetSysColorBrush(COLOR_WINDOW);
    }
    HBRUSH brush = CDialog::OnCtlColor(pDC, pWnd, nCtlColor);
    if (nCtlColor == CTLCOLOR_STATIC && pWnd->GetDlgCtrlID() == IDC_PROMPT_TEXT) {
        pDC->SetTextColor(kSkinText);
        pDC->SetBkColor(kPanelColor);
        if (m_brText.IsNull())
            m_brText.CreateSolidBrush(kPanelColor);
        brush = m_brText;
    }
    return brush;
}

void CPromptDlg::OnLButtonDown(UINT, POINT) {
    // No caption to drag by: the system's move loop follows the mouse from here, moving
    // the window as if the caption had been pressed (a move begun from the client area
    // moves nothing on some systems, Wine among them).
    SendMessage(WM_SYSCOMMAND, SC_MOVE | HTCAPTION, 0);
}
