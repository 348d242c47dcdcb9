// Libraries of the system, loaded from the system folder only, and the process-wide rule
// that every later load by name does the same.
#pragma once

#include <windows.h>

#include "framework/UniqueHandle.h"

// CSystemLibrary owns one system library, loaded by name from the system folder and
// never from the program's own folder or the current directory. People run the tool from
// their Downloads folder, where a web page, an archive or a shared folder can leave a
// library of the same name beside it; a library imported or loaded by plain name would be
// taken from there and run its code inside the tool. A name the process's activation
// context redirects (the common controls the manifest asks for) still comes from the
// side-by-side store. A library that cannot be loaded leaves the object empty, and
// Function() then returns null just as it does for a function the library lacks, so the
// caller can fail the way the system call would instead of crashing.
class CSystemLibrary {
public:
    explicit CSystemLibrary(const wchar_t* name);

    bool Loaded() const { return m_hModule.Valid(); }

    // The exported function of this name as the function pointer type F, or null.
    template <class F> F Function(const char* name) const {
        if (!m_hModule.Valid())
            return nullptr;
        return reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(m_hModule.Get(), name)));
    }

    // The error a stand-in for one of its missing functions reports: why the library
    // could not be loaded, or ERROR_PROC_NOT_FOUND when it is loaded but lacks the
    // function.
    DWORD UnavailableError() const {
        return m_hModule.Valid() ? ERROR_PROC_NOT_FOUND : m_nLoadError;
    }

private:
    UniqueLibrary m_hModule;
    DWORD m_nLoadError = 0;
};

// Makes every later load of a library by plain name, by this program or by the system
// libraries it uses, search the system folder only (SetDefaultDllDirectories), and takes
// the current directory out of the search of loads that still use the standard order
// (SetDllDirectoryW). Call it first thing in the process entry. Returns whether both took
// effect; where the system lacks them the program keeps going with what it has.
bool AfxRestrictDllSearch();
