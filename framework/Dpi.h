// Display scale: the DPI a window is shown at, and the dialog manager's own scaling on a
// DPI change switched off for dialogs that lay themselves out. The per-monitor services
// behind them exist from Windows 10 (1607 and 1703) on and are looked up at run time, so
// the program still starts on older systems: there every window has the system's DPI and
// no DPI change ever arrives.
#pragma once

#include <windows.h>

// The DPI at which 100 % scaling shows: the one every skin position is given for.
constexpr UINT kDefaultDpi = 96;

// The DPI of the monitor the window is on (the system's DPI where the system has no
// per-monitor scale).
UINT GetWindowDpi(HWND hwnd);

// Keeps the dialog manager from resizing the dialog, replacing its fonts or moving its
// controls when the dialog moves to a monitor of another scale; the dialog's own
// WM_DPICHANGED handler lays it out instead. Nothing to do where the service is absent.
void DisableDialogDpiScaling(HWND dialog);
