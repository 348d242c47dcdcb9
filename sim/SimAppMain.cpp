// Process entry of the simulated-receiver build: the same tool, with a simulated
// receiver plugged into the device seam, set up from the command line, and a small
// companion window to plug and unplug it. A bad command line prints the usage and ends
// the process with status 2.
#include "app/UpdateApp.h"
#include "framework/SystemLibrary.h"
#include "link/DeviceSeam.h"
#include "sim/SimCompanion.h"
#include "sim/SimOptions.h"
#include "sim/SimReceiver.h"

CUpdateApp theApp;

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    AfxRestrictDllSearch();
    SimOptions options;
    std::wstring error;
    if (!ParseSimOptions(__argc, __wargv, &options, &error)) {
        ReportSimUsageError(error);
        return 2;
    }
    // The receiver outlives the companion and the main window's device object.
    SimReceiver receiver;
    ScopedDeviceApi seam(receiver);
    ApplySimOptions(options, receiver);
    if (!options.HistoryPath.empty())
        theApp.m_HistoryPath = FullPath(options.HistoryPath);
    CSimCompanion companion(receiver, options.Mode);
    companion.Create();
    return AfxWinMain(instance);
}
