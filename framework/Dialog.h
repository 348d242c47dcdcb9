// CDialog: a dialog built from a template resource. DoModal runs it with its own modal
// loop, so PreTranslateMessage sees every message before the dialog manager does; the
// owner (the application's main window unless a parent is given) is disabled while
// the dialog runs. DoModal works on any thread: the dialog belongs to the thread that
// runs it. OnInitDialog binds template controls to member objects through
// DoDataExchange / DDX_Control. Enter and Escape reach OnOK (result IDOK) and OnCancel
// (result IDCANCEL); the system close command becomes IDCANCEL.
#pragma once

#include "framework/Wnd.h"

class CDataExchange {
public:
    CDataExchange(CWnd* pDlgWnd, BOOL saveAndValidate)
        : m_pDlgWnd(pDlgWnd), m_bSaveAndValidate(saveAndValidate) {}
    CWnd* m_pDlgWnd;
    BOOL m_bSaveAndValidate;
};

// Binds the dialog's control id to the member object by subclassing it, once.
void DDX_Control(CDataExchange* pDX, int id, CWnd& control);

class CDialog : public CWnd {
public:
    // The result of DoModal when the dialog could not be created.
    static constexpr INT_PTR kCreateFailed = -1;

    explicit CDialog(UINT templateId, CWnd* pParentWnd = nullptr);
    ~CDialog() override;

    virtual INT_PTR DoModal();
    void EndDialog(INT_PTR result);

    virtual BOOL OnInitDialog();
    virtual void OnOK();
    virtual void OnCancel();

    BOOL UpdateData(BOOL saveAndValidate = TRUE);

    // The dialog manager's keyboard interface (Tab, Enter, Escape, arrows) for
    // messages aimed at this dialog or its controls.
    BOOL PreTranslateMessage(MSG* pMsg) override;

protected:
    virtual void DoDataExchange(CDataExchange*) {}

    UINT m_nIDTemplate;
    CWnd* m_pParentWnd;

    DECLARE_MESSAGE_MAP()

private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    HWND ModalOwner() const;

    bool m_bModalRunning = false;
    INT_PTR m_nModalResult = kCreateFailed;
};
