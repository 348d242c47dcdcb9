// The programs the build makes import by name only Windows' known DLLs, as the import
// tables of the files themselves show (ordinary and delay-load imports alike).
#include <gtest/gtest.h>

#include "LibrariesTestSupport.h"

#include <algorithm>
#include <cctype>
#include <memory>
#include <set>
#include <string>
#include <type_traits>

namespace {

// Windows' known DLLs: the loader maps these from its own list of system images and
// never searches a folder for them, so a library of the same name beside the program is
// never taken. The names are those of the registry key
// HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\KnownDLLs that Windows 7,
// Windows 10 and Windows 11 all list (Windows 10 and 11 add combase, gdiplus, shcore and
// others; Windows 7 adds lpk, usp10, urlmon, wininet and others). comctl32.dll is not one
// of them, and neither is hid.dll.
const std::set<std::string> kKnownDlls = {
    "advapi32.dll", "comdlg32.dll", "gdi32.dll",    "imm32.dll",  "kernel32.dll",
    "msvcrt.dll",   "ole32.dll",    "oleaut32.dll", "rpcrt4.dll", "sechost.dll",
    "setupapi.dll", "shell32.dll",  "shlwapi.dll",  "user32.dll", "ws2_32.dll",
};

// The names of the libraries a program imports by name, lower case: those of its
// ordinary and its delay-load import tables, read from the file mapped as an image.
std::set<std::string> ImportedLibraries(const std::filesystem::path& program) {
    std::set<std::string> names;
    const std::unique_ptr<std::remove_pointer_t<HMODULE>, decltype(&::FreeLibrary)> image(
        ::LoadLibraryExW(program.c_str(), nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE), &::FreeLibrary);
    if (!image) {
        ADD_FAILURE() << program << " cannot be read: " << ::GetLastError();
        return names;
    }
    // The low bits of the handle mark how it is mapped; the rest is where.
    const auto* base =
        reinterpret_cast<const BYTE*>(reinterpret_cast<ULONG_PTR>(image.get()) & ~ULONG_PTR{3});
    const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY* directories = headers->OptionalHeader.DataDirectory;
    const auto add = [&](DWORD nameAddress) {
        std::string name = reinterpret_cast<const char*>(base + nameAddress);
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        names.insert(name);
    };
    if (const DWORD table = directories[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress) {
        for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + table); d->Name; ++d)
            add(d->Name);
    }
    if (const DWORD table = directories[IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT].VirtualAddress) {
        for (auto* d = reinterpret_cast<const IMAGE_DELAYLOAD_DESCRIPTOR*>(base + table);
             d->DllNameRVA; ++d)
            add(d->DllNameRVA);
    }
    return names;
}

TEST(ImportTable, EveryProgramOfTheBuildImportsOnlyKnownDlls) {
    std::set<std::wstring> programs;
    for (const auto& file : std::filesystem::directory_iterator(BinDir())) {
        if (file.path().extension() != L".exe")
            continue;
        programs.insert(file.path().filename().wstring());
        for (const std::string& library : ImportedLibraries(file.path()))
            EXPECT_TRUE(kKnownDlls.count(library))
                << file.path().filename() << " imports " << library
                << " by name: a file of that name beside the program would be loaded";
    }
    EXPECT_TRUE(programs.count(L"KestrixUpdater.exe"));
    EXPECT_TRUE(programs.count(L"KestrixUpdaterSim.exe"));
}

// The reading itself: the probe imports the HID class, device set-up and common-controls
// libraries by name, and the table shows them.
TEST(ImportTable, ShowsTheLibrariesAProgramImportsByName) {
    const std::set<std::string> imported = ImportedLibraries(PlantedDir() / L"SearchProbe.exe");
    for (const char* library : {"hid.dll", "setupapi.dll", "comctl32.dll", "kernel32.dll"})
        EXPECT_TRUE(imported.count(library)) << library;
}

} // namespace
