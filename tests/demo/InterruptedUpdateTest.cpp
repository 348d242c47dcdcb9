// An update cut short by the end of the tool's process, as a kill, a crash or a power cut
// ends it: the next start marks it interrupted in the history and tells the user once,
// naming the image's version; a copy started while another sends an image does not take
// that update for an interrupted one. A crash leaves a minidump and a record, and the next
// start says where the dump is, in the same prompt.
#include <gtest/gtest.h>

#include <cstdio>

#include "DemoTestSupport.h"
#include "KestrixVersion.h"
#include "res/resource.h"
#include "sim/WholeFile.h"
#include "support/MainWindowHarness.h"
#include "support/WinTest.h"

namespace {

// The simulated-receiver build running in a process of its own, and its main window.
class ToolProcess {
public:
    explicit ToolProcess(const std::vector<std::wstring>& args) {
        wchar_t self[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        const std::wstring program =
            (std::filesystem::path(self).parent_path().parent_path() / L"bin" /
             L"KestrixUpdaterSim.exe")
                .wstring();
        std::wstring line = L"\"" + program + L"\"";
        for (const std::wstring& arg : args)
            line += L" \"" + arg + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                            nullptr, &startup, &info))
            return;
        m_Process.Reset(info.hProcess);
        UniqueKernelHandle thread(info.hThread);
        m_hWindow = kxtest::WaitForTopWindow(L"Kestrix OV Tools V" KX_VERSION_SHORT_W, nullptr,
                                             info.dwThreadId, 10000);
    }
    ~ToolProcess() {
        if (m_Process.Valid() && WaitForSingleObject(m_Process.Get(), 0) == WAIT_TIMEOUT)
            TerminateProcess(m_Process.Get(), 1);
    }
    HWND Window() const { return m_hWindow; }
    HWND Prompt(DWORD timeoutMs) const {
        HWND prompt = nullptr;
        kxtest::WaitFor(
            [&] { return (prompt = kxtest::FindOwnedWindow(m_hWindow, kxtest::IsPromptWindow)); },
            timeoutMs);
        return prompt;
    }
    // Presses Update, chooses the image and confirms it.
    void Update(const std::wstring& image) const {
        ASSERT_TRUE(kxtest::WaitFor([&] {
            HWND update = GetDlgItem(m_hWindow, IDC_BTN_UPDATE);
            return update && IsWindowEnabled(update);
        }));
        kxtest::ClickControl(m_hWindow, IDC_BTN_UPDATE);
        HWND chooser = nullptr;
        ASSERT_TRUE(kxtest::WaitFor(
            [&] { return (chooser = kxtest::FindOwnedWindow(m_hWindow, kxtest::IsFileChooser)); }));
        kxtest::MainWindowHarness::ChooseFile(chooser, image);
        HWND confirmation = Prompt(5000);
        ASSERT_NE(confirmation, nullptr);
        kxtest::ClickControl(confirmation, IDC_BTN_OK);
    }
    // The process has ended by itself; its exit status.
    DWORD Ended(DWORD timeoutMs) const {
        DWORD code = STILL_ACTIVE;
        if (WaitForSingleObject(m_Process.Get(), timeoutMs) == WAIT_OBJECT_0)
            GetExitCodeProcess(m_Process.Get(), &code);
        return code;
    }
    // Ends the process at once, as the task manager would.
    void Kill() {
        TerminateProcess(m_Process.Get(), 1);
        WaitForSingleObject(m_Process.Get(), 5000);
    }
    bool Close() {
        PostMessageW(m_hWindow, WM_CLOSE, 0, 0);
        return WaitForSingleObject(m_Process.Get(), 10000) == WAIT_OBJECT_0;
    }

private:
    UniqueKernelHandle m_Process;
    HWND m_hWindow = nullptr;
};

std::string FileText(const std::wstring& path) {
    std::vector<std::uint8_t> bytes;
    ReadWholeFile(path, &bytes);
    return std::string(bytes.begin(), bytes.end());
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

TEST(InterruptedUpdate, IsToldOnceAtTheNextStartAndNeverWhileAnotherCopySendsIt) {
    TempDir dir;
    const std::wstring history = dir.Path(L"history.log");
    const std::wstring image = dir.Path(L"v137.dat");
    kxtest::WriteImage(image, 137, 65536, 65536);
    const std::string started = "started: the image is being sent";
    const std::string interrupted = "interrupted: the tool ended before the update did";

    ToolProcess sending({L"--latency-ms", L"5", L"--history", history});
    ASSERT_NE(sending.Window(), nullptr);
    ASSERT_NO_FATAL_FAILURE(sending.Update(image));
    // On the disk before the first block is asked for.
    ASSERT_TRUE(kxtest::WaitFor([&] { return Count(FileText(history), started) == 1; }));

    {
        ToolProcess second({L"--absent", L"--history", history});
        ASSERT_NE(second.Window(), nullptr);
        EXPECT_EQ(second.Prompt(1500), nullptr) << "an update still running was told of";
        EXPECT_TRUE(second.Close());
    }
    EXPECT_EQ(Count(FileText(history), interrupted), 0u);

    sending.Kill();
    {
        ToolProcess next({L"--absent", L"--history", history});
        ASSERT_NE(next.Window(), nullptr);
        HWND told = next.Prompt(5000);
        ASSERT_NE(told, nullptr) << "the interrupted update was not told of";
        EXPECT_NE(kxtest::WindowText(GetDlgItem(told, IDC_PROMPT_TEXT))
                      .find(L"The last firmware update did not finish (V1.37). Keep the receiver "
                            L"plugged in and run the update again."),
                  std::wstring::npos);
        kxtest::ClickControl(told, IDC_BTN_OK);
        EXPECT_TRUE(next.Close());
    }
    EXPECT_EQ(Count(FileText(history), interrupted), 1u);

    ToolProcess after({L"--absent", L"--history", history});
    ASSERT_NE(after.Window(), nullptr);
    EXPECT_EQ(after.Prompt(1500), nullptr) << "told twice";
    EXPECT_TRUE(after.Close());
    EXPECT_EQ(Count(FileText(history), interrupted), 1u);
}

TEST(InterruptedUpdate, ACrashLeavesADumpAndARecordAndIsToldWithTheUpdateItCut) {
    TempDir dir;
    const std::wstring history = dir.Path(L"history.log");
    const std::wstring image = dir.Path(L"v137.dat");
    kxtest::WriteImage(image, 137, 4096, 4096);

    std::wstring dump;
    {
        ToolProcess crashing({L"--crash-at-write", L"6", L"--history", history});
        ASSERT_NE(crashing.Window(), nullptr);
        ASSERT_NO_FATAL_FAILURE(crashing.Update(image));
        const ULONGLONG crashed = GetTickCount64();
        EXPECT_EQ(crashing.Ended(60000), static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
        std::printf("the crashed tool ended %llu ms after the confirmation\n",
                    GetTickCount64() - crashed);
    }
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW(dir.Path(L"crashes\\crash-*.dmp").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE) << "no dump";
    FindClose(search);
    dump = dir.Path(L"crashes\\") + found.cFileName;
    EXPECT_EQ(FileText(dump).substr(0, 4), "MDMP");
    const std::string text = FileText(history);
    EXPECT_NE(text.find("the tool crashed: exception 0xC0000005"), std::string::npos) << text;

    {
        ToolProcess next({L"--absent", L"--history", history});
        ASSERT_NE(next.Window(), nullptr);
        HWND told = next.Prompt(5000);
        ASSERT_NE(told, nullptr);
        const std::wstring said = kxtest::WindowText(GetDlgItem(told, IDC_PROMPT_TEXT));
        EXPECT_NE(said.find(L"did not finish (V1.37)"), std::wstring::npos);
        EXPECT_NE(said.find(L"A report for support was saved as " + dump + L"."),
                  std::wstring::npos)
            << std::string(said.begin(), said.end());
        kxtest::SaveScreenshot(kxtest::CaptureWindow(told), L"start_notice_crash");
        kxtest::ClickControl(told, IDC_BTN_OK);
        EXPECT_TRUE(next.Close());
    }
    ToolProcess after({L"--absent", L"--history", history});
    ASSERT_NE(after.Window(), nullptr);
    EXPECT_EQ(after.Prompt(1500), nullptr) << "told twice";
    EXPECT_TRUE(after.Close());
}

} // namespace
