#include "framework/SystemLibrary.h"

#include <string>

namespace {

HMODULE LoadFromSystemFolder(const wchar_t* name) {
    HMODULE module = ::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module || ::GetLastError() != ERROR_INVALID_PARAMETER)
        return module;
    // Windows 7 without its 2011 loader update does not know the flag: name the file in
    // the system folder instead, and let its own imports be searched for from there. (A
    // full path is not redirected by the manifest: that system takes comctl32.dll's
    // functions from the system folder, while its windows still get the manifest's.)
    wchar_t folder[MAX_PATH];
    const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return nullptr;
    const std::wstring path = std::wstring(folder, length) + L"\\" + name;
    return ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

} // namespace

CSystemLibrary::CSystemLibrary(const wchar_t* name) : m_hModule(LoadFromSystemFolder(name)) {
    if (!m_hModule.Valid())
        m_nLoadError = ::GetLastError();
}

bool AfxRestrictDllSearch() {
    // Looked up, not imported: Windows 7 has it only with the same loader update, and a
    // missing import would stop the program from starting at all.
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    const CSystemLibrary kernel(L"kernel32.dll");
    const auto setDefaultDirectories =
        kernel.Function<SetDefaultDllDirectoriesFn>("SetDefaultDllDirectories");
    const bool systemOnly =
        setDefaultDirectories && setDefaultDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    const bool noCurrentDirectory = ::SetDllDirectoryW(L"") != FALSE;
    return systemOnly && noCurrentDirectory;
}
