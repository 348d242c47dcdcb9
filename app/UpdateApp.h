// CUpdateApp: the application object. Its start-up step runs the one main window
// modally and returns FALSE, so the process ends as soon as the window has closed.
#pragma once

#include <string>

#include "framework/Afx.h"

class CUpdateApp : public CWinApp {
public:
    BOOL InitInstance() override;

    // The update history the window keeps, when not the user's own (the simulated
    // receiver's build may be given another).
    std::wstring m_HistoryPath;
};
