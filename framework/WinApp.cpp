#include "framework/WinApp.h"

#include "framework/SystemLibrary.h"

#include <commctrl.h>

namespace {
CWinApp* g_pApp = nullptr;
}

CWinApp::CWinApp() noexcept {
    g_pApp = this;
}

CWinApp::~CWinApp() {
    if (g_pApp == this)
        g_pApp = nullptr;
}

int CWinApp::Run() {
    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
        CWnd* main = m_pMainWnd;
        if (!main || !main->PreTranslateMessage(&msg)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
    }
    return ExitInstance();
}

CWinApp* AfxGetApp() {
    return g_pApp;
}

CWnd* AfxGetMainWnd() {
    return g_pApp ? g_pApp->m_pMainWnd : nullptr;
}

int AfxWinMain(HINSTANCE instance) {
    CWinApp* app = AfxGetApp();
    if (!app)
        return 1;
    app->m_hInstance = instance;
    // The common controls are not one of the system's known libraries, so they are loaded
    // rather than imported; the manifest's side-by-side assembly supplies them. They stay
    // loaded while the application runs.
    const CSystemLibrary commonControls(L"comctl32.dll");
    const auto initCommonControls =
        commonControls.Function<decltype(&::InitCommonControlsEx)>("InitCommonControlsEx");
    if (initCommonControls) {
        INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
        initCommonControls(&icc);
    }
    if (!app->InitInstance())
        return app->ExitInstance();
    return app->Run();
}
