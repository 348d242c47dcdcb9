// A library that the libraries tests plant beside a program under the name of a system
// library. Loaded into a process, it leaves a marker file beside itself (its own path
// with ".loaded" added), so a test sees that it was taken. It exports the functions of
// the system library it stands in for (one .def file per name lists them) as one
// function that does nothing, so a program importing them by name resolves to it and
// starts as it would with the real library.
#include "link/UniqueKernelHandle.h"

#include <windows.h>

#include <cwchar>

extern "C" int PlantedStandIn() {
    return 0;
}

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    wchar_t marker[MAX_PATH + 8];
    const DWORD length = ::GetModuleFileNameW(self, marker, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        std::wcscpy(marker + length, L".loaded");
        UniqueKernelHandle file(
            ::CreateFileW(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    }
    return TRUE;
}
