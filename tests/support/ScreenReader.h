// What a screen reader reads of a window, through the platform's accessibility library
// (oleacc) as any screen reader asks: AccessibleObjectFromWindow for the window's client
// object, then its name, value, description, role and keyboard shortcut.
#pragma once

#include <windows.h>

#include <string>

namespace kxtest {

struct ReadAloud {
    bool found = false; // the window gave an accessible object
    std::wstring name;
    std::wstring value;
    std::wstring description;
    std::wstring shortcut;
    long role = 0; // ROLE_SYSTEM_*
};

// Asks from the calling thread (in a COM apartment of its own for the call).
ReadAloud ReadWindow(HWND hwnd);

} // namespace kxtest
