// The tool as a person runs it from their Downloads folder: a copy of the program alone
// in a folder (which is also its current directory), with libraries named hid.dll,
// setupapi.dll and comctl32.dll put beside it. Each planted library leaves a marker
// file when it is loaded; the tool must start, work, and leave none. Also: the tool
// starts in its not-connected look when the HID class or device set-up library cannot
// be loaded at all.
//
// Wine does not take every library it finds beside a program. It has no known-DLL list,
// but for most names it loads its own built-in library even when it finds another one
// first; only a few built-ins, hid.dll among them, step aside for a library found there.
// On Windows every library is taken from wherever the search finds it first, except the
// known DLLs (setupapi.dll is one). So each copy runs with Wine told to load these names
// from the first file found ("native, then built-in"), in Wine's settings for the
// copy's own program name: any search of the program's folder or the current directory
// for them then shows as a marker, as the probe program that imports them by name shows.
// (Wine takes such settings from its registry or from the environment Wine itself was
// started with, not from the environment a program hands to the one it starts.)
#include <gtest/gtest.h>

#include "LibrariesTestSupport.h"

#include "update/locale/Localization.h"
#include "link/UniqueKernelHandle.h"
#include "support/MainWindowHarness.h"
#include "support/TempDir.h"
#include "support/WinTest.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cwctype>
#include <string>
#include <vector>

namespace {

const std::vector<const wchar_t*> kPlanted = {L"comctl32.dll", L"hid.dll", L"setupapi.dll"};
const wchar_t kMainWindowTitle[] = L"Kestrix OV Tools V1.0";

// A copy of a program alone in a scratch folder under a name of its own, started there.
// Whatever it still runs when the object ends is ended, and its load-order settings go.
class ProgramCopy {
public:
    explicit ProgramCopy(const std::filesystem::path& program)
        : m_Name(L"kxcopy-" + program.filename().wstring()), m_Program(m_Folder.Path(m_Name)),
          m_SettingsKey(L"Software\\Wine\\AppDefaults\\" + m_Name) {
        std::filesystem::copy_file(program, m_Program);
    }
    ~ProgramCopy() {
        if (m_Process.Valid() && WaitForExit(0) == STILL_ACTIVE) {
            ::TerminateProcess(m_Process.Get(), 1);
            ::WaitForSingleObject(m_Process.Get(), 5000);
        }
        ::RegDeleteTreeW(HKEY_CURRENT_USER, m_SettingsKey.c_str());
    }
    ProgramCopy(const ProgramCopy&) = delete;
    ProgramCopy& operator=(const ProgramCopy&) = delete;

    // Puts a planted library of this name beside the program.
    void Plant(const wchar_t* library) {
        std::filesystem::copy_file(PlantedDir() / library, m_Folder.Path(library));
    }

    // Starts the program with Wine's load order for these libraries set to `order`:
    // "native,builtin", or "" for a library that cannot be loaded at all.
    bool Start(const std::vector<const wchar_t*>& libraries, const std::wstring& order) {
        HKEY key = nullptr;
        if (::RegCreateKeyExW(HKEY_CURRENT_USER, (m_SettingsKey + L"\\DllOverrides").c_str(), 0,
                              nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
            return false;
        for (const wchar_t* library : libraries) {
            const std::wstring module = std::filesystem::path(library).stem(); // no ".dll"
            ::RegSetValueExW(key, module.c_str(), 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(order.c_str()),
                             static_cast<DWORD>((order.size() + 1) * sizeof(wchar_t)));
        }
        ::RegCloseKey(key);
        std::wstring line = L"\"" + m_Program + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        if (!::CreateProcessW(m_Program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                              m_Folder.Path(L"").c_str(), &startup, &info))
            return false;
        m_Process = UniqueKernelHandle(info.hProcess);
        UniqueKernelHandle thread(info.hThread);
        m_nProcessId = info.dwProcessId;
        m_nThreadId = info.dwThreadId;
        return true;
    }

    // Its exit code once it has ended within the time-out, else STILL_ACTIVE.
    DWORD WaitForExit(DWORD timeoutMs) {
        DWORD code = STILL_ACTIVE;
        if (::WaitForSingleObject(m_Process.Get(), timeoutMs) == WAIT_OBJECT_0)
            ::GetExitCodeProcess(m_Process.Get(), &code);
        return code;
    }

    // The tool's main window once it shows, null when it does not come.
    HWND WaitForMainWindow() const {
        HWND window = kxtest::WaitForTopWindow(kMainWindowTitle, nullptr, m_nThreadId, 10000);
        if (window && !kxtest::WaitFor([&] { return ::IsWindowVisible(window) != FALSE; }))
            return nullptr;
        return window;
    }

    // Closes the main window as the system's close command would and returns the exit
    // code, STILL_ACTIVE when the program does not end.
    DWORD Close(HWND window) {
        ::PostMessageW(window, WM_CLOSE, 0, 0);
        return WaitForExit(10000);
    }

    // The folder a library of this name is loaded from in the running program, lower
    // case; empty when it is not loaded.
    std::wstring LoadedFrom(const wchar_t* library) const {
        UniqueKernelHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, m_nProcessId));
        MODULEENTRY32W module{};
        module.dwSize = sizeof(module);
        for (BOOL more = ::Module32FirstW(snapshot.Get(), &module); more;
             more = ::Module32NextW(snapshot.Get(), &module)) {
            if (Lower(module.szModule) == library)
                return Lower(std::filesystem::path(module.szExePath).parent_path().wstring());
        }
        return L"";
    }

    // Its folder, lower case, as LoadedFrom gives folders.
    std::wstring Folder() const { return Lower(std::filesystem::path(m_Program).parent_path()); }

    // The markers in the folder: the names of the planted libraries that were loaded,
    // lower case and sorted.
    std::vector<std::wstring> Markers() const {
        std::vector<std::wstring> loaded;
        const std::wstring suffix = L".loaded";
        for (const auto& file : std::filesystem::directory_iterator(m_Folder.Path(L""))) {
            const std::wstring name = Lower(file.path().filename().wstring());
            if (name.size() > suffix.size() &&
                name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
                loaded.push_back(name.substr(0, name.size() - suffix.size()));
        }
        std::sort(loaded.begin(), loaded.end());
        return loaded;
    }

private:
    TempDir m_Folder;
    std::wstring m_Name;
    std::wstring m_Program;
    std::wstring m_SettingsKey;
    UniqueKernelHandle m_Process;
    DWORD m_nProcessId = 0;
    DWORD m_nThreadId = 0;
};

TEST(PlantedLibraries, AreTakenByAProgramThatImportsThemByName) {
    ProgramCopy probe(PlantedDir() / L"SearchProbe.exe");
    for (const wchar_t* library : kPlanted)
        probe.Plant(library);
    ASSERT_TRUE(probe.Start(kPlanted, L"native,builtin"));
    EXPECT_EQ(probe.WaitForExit(10000), 0u);
    EXPECT_EQ(probe.Markers(),
              std::vector<std::wstring>({L"comctl32.dll", L"hid.dll", L"setupapi.dll"}));
}

TEST(PlantedLibraries, AreNotTakenByTheTool) {
    for (const wchar_t* program : {L"KestrixUpdater.exe", L"KestrixUpdaterSim.exe"}) {
        SCOPED_TRACE(program);
        ProgramCopy tool(BinDir() / program);
        for (const wchar_t* library : kPlanted)
            tool.Plant(library);
        ASSERT_TRUE(tool.Start(kPlanted, L"native,builtin"));
        const HWND window = tool.WaitForMainWindow();
        ASSERT_NE(window, nullptr) << "the program did not start";
        if (program == std::wstring(L"KestrixUpdater.exe")) {
            // No receiver here; the HID and device set-up services the tool searched with
            // are the system's.
            EXPECT_TRUE(kxtest::ShowsNotConnectedLook(window, L"planted_libraries_not_connected"));
            EXPECT_EQ(tool.LoadedFrom(L"hid.dll"), SystemDir());
            EXPECT_EQ(tool.LoadedFrom(L"setupapi.dll"), SystemDir());
        }
        for (const wchar_t* library : kPlanted)
            EXPECT_NE(tool.LoadedFrom(library), tool.Folder()) << library;
        EXPECT_EQ(tool.Close(window), 0u);
        EXPECT_EQ(tool.Markers(), std::vector<std::wstring>());
    }
}

TEST(MissingLibraries, LeaveTheToolNotConnected) {
    const std::vector<const wchar_t*> cases[] = {
        {L"hid.dll"}, {L"setupapi.dll"}, {L"hid.dll", L"setupapi.dll"}};
    for (const auto& missing : cases) {
        ProgramCopy tool(BinDir() / L"KestrixUpdater.exe");
        ASSERT_TRUE(tool.Start(missing, L""));
        const HWND window = tool.WaitForMainWindow();
        ASSERT_NE(window, nullptr) << "the tool did not start";
        for (const wchar_t* library : missing)
            EXPECT_EQ(tool.LoadedFrom(library), L"") << library << " was loaded after all";
        EXPECT_TRUE(kxtest::ShowsNotConnectedLook(window, L"missing_libraries_not_connected"));
        EXPECT_EQ(tool.Close(window), 0u);
    }
}

} // namespace
