// CPromptDlg: the skinned modal prompt through which the tool shows every message and
// asks its two yes/no questions. A captionless dark-red panel of 300 x 127 pixels (taller
// for a text of more than three lines, up to its monitor's height) with
// centred white text and one (OK) or two (OK, Cancel) bitmap buttons, placed at a
// given screen position and dragged by pressing anywhere but on a button. It is drawn
// at the display scale of the window it is shown over (and again at the new scale when
// it is moved to a monitor of another one).
//
// For the keyboard and screen readers: the OK button has the focus when the prompt opens,
// Tab moves it between the buttons, and the focused one shows a dotted focus cue once a
// key has been pressed in the prompt. Enter or Space answers with the focused button; Escape
// answers Cancel, or OK where OK is the only answer. A screen reader finds the prompt as a dialog
// named by the prompt caption with its text as the description, and each button by its
// name, the OK button with the text as its description as well, so it reads the outcome
// as the prompt opens.
//
// Use: construct, SetPosition, SetDpi, SetText, SetStyle, DoModal. The result is 1 for
// OK, 2 for Cancel or the system close command. Show does all of that, placed over a
// window.
#pragma once

#include <memory>
#include <string>

#include "framework/Afx.h"
#include "ui/ButtonEx.h"
#include "ui/SkinColors.h"
#include "ui/SkinScale.h"
#include "update/SessionView.h" // PROMPT_OK, PROMPT_OKCANCEL

class CPromptDlg : public CDialog {
public:
    static constexpr int kWidth = 300;
    static constexpr int kHeight = 127;
    static constexpr COLORREF kPanelColor = kSkinPrompt;

    explicit CPromptDlg(CWnd* pParent = nullptr);
    ~CPromptDlg() override;

    void SetPosition(int x, int y) {
        m_nLeft = x;
        m_nTop = y;
    }
    void SetDpi(UINT dpi) { m_Scale = CSkinScale(dpi); }
    void SetText(const std::wstring& text) { m_strText = text; }
    void SetStyle(int style) { m_nStyle = style; }
    // Drawn in the system's colours, with text buttons, instead of the skin's pictures.
    void SetHighContrast(bool on) { m_bHighContrast = on; }

    // Shows a prompt owned by the window, at its scale, with its top-left corner at the
    // window's left + 60 and top + 125 skin pixels (kept wholly on the window's monitor),
    // runs it modally, and returns IDOK or IDCANCEL (also when it could not open).
    static int Show(HWND over, const std::wstring& text, int style, bool highContrast = false);

    BOOL PreTranslateMessage(MSG* pMsg) override;

protected:
    BOOL OnInitDialog() override;
    // Names, roles and the text as a description, for screen readers.
    void DescribeForScreenReaders();
    // The buttons show the focus cue from now on.
    void ShowFocusCues();
    HBRUSH OnCtlColor(CDC* pDC, CWnd* pWnd, UINT nCtlColor);
    void OnLButtonDown(UINT flags, POINT point);
    LRESULT OnDpiChanged(UINT dpi, const RECT* suggested);
    // Layout at m_Scale: the size at (m_nLeft, m_nTop), the buttons, the background
    // picture, and the text's place and font.
    void LayOut();
    void OnOkButton() { EndDialog(1); }
    void OnCancelButton() { EndDialog(2); }
    DECLARE_MESSAGE_MAP()

    std::unique_ptr<CButtonEx> m_pOkButton;
    std::unique_ptr<CButtonEx> m_pCancelButton;
    int m_nLeft = 0;
    int m_nTop = 0;
    std::wstring m_strText;
    int m_nStyle = PROMPT_OK;
    bool m_bHighContrast = false;
    CBrush m_brText;
    CSkinScale m_Scale;
    UINT m_nTemplateDpi = kDefaultDpi; // the DPI the template's font was made for
    CStatic m_Background;
    CStatic m_Text;
    CFont m_TextFont;
};
