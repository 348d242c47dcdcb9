// The scaled tests of this program (suites Scaled...) run in this process at the DPI of
// the test prefix (96), and here again in a child process at 144 and at 192 DPI. Wine
// takes a process's DPI from LogPixels when the process starts, so the value is set just
// for the child's run and put back afterwards; CTest runs these tests alone.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "link/UniqueKernelHandle.h"

namespace {

// LogPixels of the current user, set for as long as the object lives.
class ScopedLogPixels {
public:
    explicit ScopedLogPixels(DWORD dpi) {
        if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", 0, nullptr, 0,
                            KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &m_hKey,
                            nullptr) != ERROR_SUCCESS) {
            m_hKey = nullptr;
            return;
        }
        DWORD size = 0;
        if (RegQueryValueExW(m_hKey, kName, nullptr, &m_nType, nullptr, &size) == ERROR_SUCCESS) {
            m_Old.resize(size);
            m_bHadValue = RegQueryValueExW(m_hKey, kName, nullptr, &m_nType, m_Old.data(), &size) ==
                          ERROR_SUCCESS;
        }
        RegSetValueExW(m_hKey, kName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dpi),
                       sizeof(dpi));
    }
    ScopedLogPixels(const ScopedLogPixels&) = delete;
    ScopedLogPixels& operator=(const ScopedLogPixels&) = delete;
    ~ScopedLogPixels() {
        if (!m_hKey)
            return;
        if (m_bHadValue)
            RegSetValueExW(m_hKey, kName, 0, m_nType, m_Old.data(),
                           static_cast<DWORD>(m_Old.size()));
        else
            RegDeleteValueW(m_hKey, kName);
        RegCloseKey(m_hKey);
    }

private:
    static constexpr const wchar_t* kName = L"LogPixels";
    HKEY m_hKey = nullptr;
    bool m_bHadValue = false;
    DWORD m_nType = REG_DWORD;
    std::vector<BYTE> m_Old;
};

// Runs this program's scaled tests in a child started at the DPI; returns its exit code.
DWORD RunScaledTestsAt(UINT dpi) {
    wchar_t exe[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring command =
        L"\"" + std::wstring(exe) + L"\" --gtest_filter=Scaled* --gtest_color=no";
    std::fflush(stdout);
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi{};
    ScopedLogPixels logPixels(dpi);
    SetEnvironmentVariableW(L"KX_EXPECTED_DPI", std::to_wstring(dpi).c_str());
    const BOOL started =
        CreateProcessW(exe, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    SetEnvironmentVariableW(L"KX_EXPECTED_DPI", nullptr);
    if (!started)
        return GetLastError() | 0x80000000u;
    UniqueKernelHandle process(pi.hProcess), thread(pi.hThread);
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(process.Get(), 3 * 60 * 1000) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.Get(), &code);
    else
        TerminateProcess(process.Get(), 1);
    return code;
}

TEST(Scales, ScaledTestsPassAt144Dpi) {
    EXPECT_EQ(RunScaledTestsAt(144), 0u);
}

TEST(Scales, ScaledTestsPassAt192Dpi) {
    EXPECT_EQ(RunScaledTestsAt(192), 0u);
}

} // namespace
