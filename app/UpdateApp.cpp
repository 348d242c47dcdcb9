#include "app/UpdateApp.h"

#include "app/CrashCapture.h"
#include "ui/UpdateDlg.h"
#include "update/UpdateHistory.h"

BOOL CUpdateApp::InitInstance() {
    const std::wstring history = m_HistoryPath.empty() ? UpdateHistoryPath() : m_HistoryPath;
    InstallCrashCapture(history);
    {
        CUpdateDlg dlg(nullptr);
        dlg.SetHistoryPath(history);
        dlg.TellAtStart(TakeCrashNotice(history));
        m_pMainWnd = &dlg;
        dlg.DoModal(); // returns once the window has closed
        m_pMainWnd = nullptr;
    }
    return FALSE; // no message loop of our own: the process ends now
}
