// CWinApp: the application object. Exactly one instance exists; the process entry
// calls its InitInstance, and when that returns FALSE the process ends at once with
// ExitInstance's code; when it returns TRUE a message loop runs until WM_QUIT.
#pragma once

#include "framework/Wnd.h"

class CWinApp {
public:
    CWinApp() noexcept;
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;
    virtual ~CWinApp();

    virtual BOOL InitInstance() { return FALSE; }
    virtual int Run();
    virtual int ExitInstance() { return 0; }

    CWnd* m_pMainWnd = nullptr;
    HINSTANCE m_hInstance = nullptr;
};

CWinApp* AfxGetApp();
CWnd* AfxGetMainWnd();

// The process entry's work: initialises the common controls, then runs the
// application object. Called by wWinMain.
int AfxWinMain(HINSTANCE instance);
