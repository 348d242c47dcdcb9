#include "app/UpdateApp.h"

#include "ui/UpdateDlg.h"

BOOL CUpdateApp::InitInstance() {
    {
        CUpdateDlg dlg(nullptr);
        if (!m_HistoryPath.empty())
            dlg.SetHistoryPath(m_HistoryPath);
        dlg.TellOfInterruptedUpdates();
        m_pMainWnd = &dlg;
        dlg.DoModal(); // returns once the window has closed
        m_pMainWnd = nullptr;
    }
    return FALSE; // no message loop of our own: the process ends now
}
