#include "framework/Dialog.h"

#include "framework/WinApp.h"

void DDX_Control(CDataExchange* pDX, int id, CWnd& control) {
    if (!control.m_hWnd)
        control.SubclassDlgItem(static_cast<UINT>(id), pDX->m_pDlgWnd);
}

BEGIN_MESSAGE_MAP(CDialog, CWnd)
    ON_COMMAND(IDOK, &CDialog::OnOK)
    ON_COMMAND(IDCANCEL, &CDialog::OnCancel)
END_MESSAGE_MAP()

CDialog::CDialog(UINT templateId, CWnd* pParentWnd)
    : m_nIDTemplate(templateId), m_pParentWnd(pParentWnd) {}

CDialog::~CDialog() {
    if (m_hWnd)
        ::DestroyWindow(UnsubclassWindow());
}

HWND CDialog::ModalOwner() const {
    if (m_pParentWnd)
        return m_pParentWnd->m_hWnd;
    CWnd* main = AfxGetMainWnd();
    if (!main || main == this || !::IsWindow(main->m_hWnd))
        return nullptr;
    return main->m_hWnd;
}

INT_PTR CDialog::DoModal() {
    // The owner is disabled before the dialog exists, so it never takes input beside it.
    HWND owner = ModalOwner();
    const bool disableOwner = owner && ::IsWindowEnabled(owner);
    if (disableOwner)
        ::EnableWindow(owner, FALSE);

    m_nModalResult = kCreateFailed;
    m_bModalRunning = true; // EndDialog inside OnInitDialog clears it again
    HWND hwnd = ::CreateDialogParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(m_nIDTemplate),
                                     owner, &CDialog::DialogProc, reinterpret_cast<LPARAM>(this));
    if (!hwnd) {
        m_bModalRunning = false;
        if (disableOwner)
            ::EnableWindow(owner, TRUE);
        return kCreateFailed;
    }
    if (m_bModalRunning && !::IsWindowVisible(hwnd))
        ::ShowWindow(hwnd, SW_SHOWNORMAL);

    MSG msg;
    while (m_bModalRunning) {
        const BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
        if (got <= 0) {
            if (got == 0)
                ::PostQuitMessage(static_cast<int>(msg.wParam)); // leave it for the outer loop
            break;
        }
        if (!PreTranslateMessage(&msg)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
    }

    // Enable the owner before the dialog goes, so activation returns to it.
    if (disableOwner)
        ::EnableWindow(owner, TRUE);
    if (m_hWnd) {
        ::SetWindowPos(m_hWnd, nullptr, 0, 0, 0, 0,
                       SWP_HIDEWINDOW | SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE | SWP_NOZORDER);
        ::DestroyWindow(m_hWnd);
    }
    m_bModalRunning = false;
    return m_nModalResult;
}

void CDialog::EndDialog(INT_PTR result) {
    m_nModalResult = result;
    m_bModalRunning = false;
    if (m_hWnd)
        ::PostMessageW(m_hWnd, WM_NULL, 0, 0); // wake the modal loop
}

BOOL CDialog::OnInitDialog() {
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::OnOK() {
    EndDialog(IDOK);
}

void CDialog::OnCancel() {
    EndDialog(IDCANCEL);
}

BOOL CDialog::UpdateData(BOOL saveAndValidate) {
    CDataExchange dx(this, saveAndValidate);
    DoDataExchange(&dx);
    return TRUE;
}

BOOL CDialog::PreTranslateMessage(MSG* pMsg) {
    if (pMsg->message < WM_KEYFIRST || pMsg->message > WM_KEYLAST || !m_hWnd)
        return FALSE;
    if (pMsg->hwnd != m_hWnd && !::IsChild(m_hWnd, pMsg->hwnd))
        return FALSE;
    return ::IsDialogMessageW(m_hWnd, pMsg);
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hwnd, UINT msg, WPARAM, LPARAM lParam) {
    if (msg != WM_INITDIALOG)
        return FALSE; // everything else: the map first, then the dialog manager's default
    auto* dialog = reinterpret_cast<CDialog*>(lParam);
    if (!dialog->SubclassWindow(hwnd))
        return FALSE;
    return dialog->OnInitDialog();
}
