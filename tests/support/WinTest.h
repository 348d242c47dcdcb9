// Helpers for tests that drive real windows under Wine: finding windows and controls,
// clicking, waiting on a condition with a time-out while messages keep flowing, reading
// texts, and capturing what a window shows on screen.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace kxtest {

// Waits until cond() is true or timeoutMs have passed, dispatching the calling
// thread's messages meanwhile so windows of this thread stay alive. Returns cond().
bool WaitFor(const std::function<bool()>& cond, DWORD timeoutMs = 5000);

// Dispatches every message already queued for the calling thread.
void PumpMessages();

// First visible-or-not top-level window matching every given criterion. A null title
// or class, or a thread id of 0, matches anything.
HWND FindTopWindow(const wchar_t* title, const wchar_t* className = nullptr, DWORD threadId = 0);

// FindTopWindow, retried until it finds one or the time-out passes.
HWND WaitForTopWindow(const wchar_t* title, const wchar_t* className = nullptr, DWORD threadId = 0,
                      DWORD timeoutMs = 5000);

// A visible top-level window owned by `owner` for which match() is true, or null.
HWND FindOwnedWindow(HWND owner, const std::function<bool(HWND)>& match);

// A direct child control by id, or null.
HWND FindControl(HWND parent, int id);

// Clicks a button the way the keyboard interface does (BM_CLICK, posted so a modal
// loop the click starts does not block the caller). Returns false when there is no
// such control.
bool ClickControl(HWND parent, int id);

// Moves the real mouse pointer to a point in screen coordinates, and presses or
// releases the left button there, through the system's input queue. Each returns once
// the pointer is there (dispatching the calling thread's messages meanwhile).
void MouseMoveTo(POINT screen);
void MouseLeftDown(POINT screen);
void MouseLeftUp(POINT screen);
// Screen point at the centre of a window.
POINT CenterOf(HWND hwnd);
// Clicks a control with the real mouse: moves to its centre, presses, releases.
void ClickWithMouse(HWND control);

// Sends a key press and release through the system's input queue to the focus window.
void PressKey(WORD vk);
// Brings the window to the foreground and presses Alt+F4 there, as the keyboard does.
void PressAltF4(HWND window);
// Presses Alt with `key` in the window, brought to the foreground first, through the
// system's input queue as the keyboard does.
void PressAltWith(HWND window, WORD key);
// The window that has the keyboard focus in the thread of `window`.
HWND FocusIn(HWND window);

// The text of a window or control.
std::wstring WindowText(HWND hwnd);

// Pixels of a window as shown on screen, top-down, 0x00RRGGBB.
struct Pixels {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> data;

    COLORREF At(int x, int y) const; // as a COLORREF (0x00BBGGRR), CLR_INVALID outside
    bool SaveBmp(const std::wstring& path) const;
};

// Captures the window's rectangle from the screen (what the user sees, children and
// overlapping windows included). Empty on failure.
Pixels CaptureWindow(HWND hwnd);

// The pixels of a bitmap resource of this program, as the screen shows them.
Pixels BitmapPixels(UINT resourceId);
// The pixels of a bitmap, as the screen shows them (the bitmap is not taken over).
Pixels BitmapPixels(HBITMAP bitmap);

// Whether the capture shows the bitmap exactly, with the bitmap's top-left corner at
// (x, y) of the capture.
bool ShowsBitmap(const Pixels& shown, const Pixels& bitmap, int x = 0, int y = 0);

// Saves a capture as <dir>/<name>.bmp where dir is %KX_TEST_OUT% (set by CTest); the
// test script converts them to PNG. Returns the path written, empty when not saved.
std::wstring SaveScreenshot(const Pixels& pixels, const std::wstring& name);

// Number of GDI objects the process holds, for leak checks.
DWORD GdiObjectCount();

// What the process holds, for leak checks over many runs: kernel handles, GDI objects,
// USER objects (where the platform does not count them, its windows) and threads.
struct ProcessCounts {
    DWORD Handles = 0;
    DWORD Gdi = 0;
    DWORD User = 0;
    DWORD Threads = 0;
    bool operator==(const ProcessCounts& other) const {
        return Handles == other.Handles && Gdi == other.Gdi && User == other.User &&
               Threads == other.Threads;
    }
};
ProcessCounts CountProcessResources();

// The kernel handles the process holds, each with its object's kind ("Event", "Key"...),
// to tell what a count that moved is made of.
std::map<std::uintptr_t, std::wstring> HandleKinds();

// GDI objects the platform itself keeps for each dialog made from this template and
// destroyed again, measured over `count` bare dialogs of it after a first one.
DWORD PlatformGdiObjectsPerDialog(UINT templateId, HWND owner, int count);

} // namespace kxtest
