// The companion window of the simulated-receiver build.
#pragma once

#include "framework/Afx.h"
#include "sim/SimFirmware.h"

#include <cstdint>
#include <string>

class SimReceiver;

// CSimCompanion is a small top-level window titled "Simulated receiver" that stands for
// the hand that plugs the receiver in: "Plug in" (control 1001) plugs it in, in the mode
// the build was started with, and "Unplug" (1002) pulls it out, so a person can bring on
// every look of the tool. Its status line (1003) shows presence, mode, the version the
// receiver reports, the blocks and bytes of the latest update and how it ended; a timer
// and every device-change broadcast keep it current. Each button is enabled only when it
// would do something.
//
// Use: construct it with the receiver (which outlives it) and the mode to plug in, and
// call Create on the main window's thread before that window's modal loop runs. It is
// not owned by the main window, so the tool's modal prompts, which disable the main
// window, leave it usable: the receiver can be pulled out while a prompt is up, as a real
// one can. Closing it only closes it; destroying the object destroys the window.
class CSimCompanion : public CWnd {
public:
    static constexpr UINT kPlugInId = 1001;
    static constexpr UINT kUnplugId = 1002;
    static constexpr UINT kStatusId = 1003;
    // Beside the main window, which is 420 pixels wide at (0, 0).
    static constexpr int kDefaultLeft = 430;
    static constexpr int kDefaultTop = 0;
    static constexpr UINT kRefreshMs = 100;

    CSimCompanion(SimReceiver& receiver, int plugMode);
    ~CSimCompanion() override;

    // Creates the window with its top-left corner at (x, y) on the screen and shows it
    // without taking the activation.
    BOOL Create(int x = kDefaultLeft, int y = kDefaultTop);

    // Brings the status line and the buttons up to date with the receiver.
    void Refresh();

protected:
    void OnPlugIn();
    void OnUnplug();
    void OnTimer(UINT_PTR id);
    BOOL OnDeviceChange(UINT eventType, DWORD_PTR data);
    DECLARE_MESSAGE_MAP()

private:
    SimReceiver& m_Receiver;
    int m_nPlugMode;
    CFont m_Font; // before the controls that use it, so it goes after them
    CButton m_PlugIn;
    CButton m_Unplug;
    CStatic m_Status;
};

// The text of the companion's status line: four lines saying whether the receiver is
// plugged in (and in which mode, or in which mode it would come), the version it reports,
// the progress of the latest update and how that update ended.
std::wstring SimStatusText(bool present, int mode, std::uint32_t version,
                           const SimUpdateResult& update);
