#include "ui/PromptDlg.h"

#include "app/Localization.h"
#include "res/resource.h"

namespace {
// Button rows in the prompt's client pixels.
constexpr RECT kOkOfTwo{60, 90, 130, 112};
constexpr RECT kCancelOfTwo{170, 90, 240, 112};
constexpr RECT kOkAlone{214, 90, 284, 112};
constexpr int kBackgroundId = 0xFFFF; // the background picture has no id of its own (-1)

std::unique_ptr<CButtonEx> MakeButton(CWnd* parent, const RECT& rc, UINT id, int normalIndex,
                                      int hoverIndex) {
    auto button = std::make_unique<CButtonEx>();
    const UINT normal = static_cast<UINT>(LocalizedId(normalIndex));
    button->LoadBitmaps(normal, static_cast<UINT>(LocalizedId(hoverIndex)), normal);
    button->Create(L"", CButtonEx::kButtonStyle, rc, parent, id);
    return button;
}
} // namespace

BEGIN_MESSAGE_MAP(CPromptDlg, CDialog)
    ON_WM_CTLCOLOR()
    ON_WM_LBUTTONDOWN()
    ON_WM_DESTROY()
    ON_BN_CLICKED(IDC_BTN_OK, &CPromptDlg::OnOkButton)
    ON_BN_CLICKED(IDC_BTN_CANCEL, &CPromptDlg::OnCancelButton)
END_MESSAGE_MAP()

CPromptDlg::CPromptDlg(CWnd* pParent) : CDialog(IDD_PROMPT, pParent) {}

CPromptDlg::~CPromptDlg() {
    m_pCancelButton.reset();
    m_pOkButton.reset();
}

int CPromptDlg::Show(HWND over, const std::wstring& text, int style) {
    RECT rc{};
    ::GetWindowRect(over, &rc);
    CPromptDlg prompt;
    prompt.SetPosition(rc.left + 60, rc.top + 125);
    prompt.SetText(text);
    prompt.SetStyle(style);
    return static_cast<int>(prompt.DoModal());
}

BOOL CPromptDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    // The prompt is exactly its background picture, whatever the dialog units come to.
    MoveWindow(m_nLeft, m_nTop, kWidth, kHeight, TRUE);
    if (m_nStyle == PROMPT_OKCANCEL) {
        m_pOkButton = MakeButton(this, kOkOfTwo, IDC_BTN_OK, PIC_OK_NORMAL, PIC_OK_HOVER);
        m_pCancelButton =
            MakeButton(this, kCancelOfTwo, IDC_BTN_CANCEL, PIC_CANCEL_NORMAL, PIC_CANCEL_HOVER);
    } else {
        m_pOkButton = MakeButton(this, kOkAlone, IDC_BTN_OK, PIC_OK_NORMAL, PIC_OK_HOVER);
    }
    SetDlgItemText(IDC_PROMPT_TEXT, m_strText);
    return TRUE;
}

HBRUSH CPromptDlg::OnCtlColor(CDC* pDC, CWnd* pWnd, UINT nCtlColor) {
    HBRUSH brush = CDialog::OnCtlColor(pDC, pWnd, nCtlColor);
    if (nCtlColor == CTLCOLOR_STATIC && pWnd->GetDlgCtrlID() == IDC_PROMPT_TEXT) {
        pDC->SetTextColor(RGB(0xff, 0xff, 0xff));
        pDC->SetBkColor(kPanelColor);
        if (m_brText.IsNull())
            m_brText.CreateSolidBrush(kPanelColor);
        brush = m_brText;
    }
    return brush;
}

void CPromptDlg::OnLButtonDown(UINT, POINT) {
    // No caption to drag by: the system's move loop follows the mouse from here.
    SendMessage(WM_SYSCOMMAND, SC_MOVE | 1, 0);
}

void CPromptDlg::OnDestroy() {
    // The background picture control loaded its bitmap from the template itself and
    // never frees it; take it back so that each prompt does not leave one behind.
    if (HWND background = GetDlgItem(kBackgroundId)) {
        auto picture =
            reinterpret_cast<HBITMAP>(::SendMessageW(background, STM_SETIMAGE, IMAGE_BITMAP, 0));
        if (picture)
            ::DeleteObject(picture);
    }
    Default();
}
