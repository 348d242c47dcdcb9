#include "ToolUnderTest.h"

#include <commctrl.h>

#include "update/locale/Localization.h"
#include "res/resource.h"
#include "support/MainWindowHarness.h"
#include "support/WinTest.h"

namespace {

constexpr wchar_t kTitle[] = L"Kestrix OV Tools V1.0";

// Where the skin puts the device panel and the update button, in window pixels.
constexpr POINT kDevicePanel = {28, 88};
constexpr POINT kUpdateButton = {161, 140};

UINT Picture(int index) {
    return static_cast<UINT>(LocalizedId(index));
}

bool Shows(const kxtest::Pixels& shown, int picture, POINT at) {
    return kxtest::ShowsBitmap(shown, kxtest::BitmapPixels(Picture(picture)), at.x, at.y);
}

// Somewhere on the skin with no control under it, so the pointer leaves no hover look.
POINT RestingPoint(HWND window) {
    RECT rc{};
    GetWindowRect(window, &rc);
    return {rc.left + 400, rc.top + 250};
}

} // namespace

ToolUnderTest::~ToolUnderTest() {
    if (!m_Process.Valid() || WaitForSingleObject(m_Process.Get(), 0) != WAIT_TIMEOUT)
        return;
    // Left running by a scenario that failed: closed as a user would close it, so that
    // what it keeps (the update history) is what a user's closing leaves for the next
    // scenario; killed only if it does not end.
    if (IsWindow(m_hWnd))
        PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(m_Process.Get(), 10000) == WAIT_TIMEOUT) {
        TerminateProcess(m_Process.Get(), 1);
        WaitForSingleObject(m_Process.Get(), 5000);
    }
}

bool ToolUnderTest::Start(DWORD timeoutMs) {
    // The pointer is left where the last tool's close button was; out of the way, the new
    // window shows no hover look.
    kxtest::MouseMoveTo({GetSystemMetrics(SM_CXSCREEN) - 100, GetSystemMetrics(SM_CYSCREEN) - 100});
    std::wstring command = L"\"" + m_Exe + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi))
        return false;
    CloseHandle(pi.hThread);
    m_Process.Reset(pi.hProcess);
    m_nProcessId = pi.dwProcessId;
    kxtest::WaitFor(
        [&] {
            HWND found = kxtest::FindTopWindow(kTitle);
            DWORD process = 0;
            if (found)
                GetWindowThreadProcessId(found, &process);
            if (process == m_nProcessId && IsWindowVisible(found))
                m_hWnd = found;
            return m_hWnd != nullptr || Exited();
        },
        timeoutMs);
    return m_hWnd != nullptr;
}

bool ToolUnderTest::WaitForLook(Look look, const std::wstring& versionText, DWORD timeoutMs) {
    const bool connected = look == Look::Connected;
    return kxtest::WaitFor(
        [&] {
            if (UpdateButtonEnabled() != connected ||
                VersionText() != (connected ? versionText : std::wstring()))
                return false;
            const kxtest::Pixels shown = kxtest::CaptureWindow(m_hWnd);
            if (!Shows(shown, connected ? PIC_DEVICE_CONNECTED : PIC_DEVICE_ABSENT, kDevicePanel))
                return false;
            return connected ? Shows(shown, PIC_UPDATE_NORMAL, kUpdateButton) ||
                                   Shows(shown, PIC_UPDATE_HOVER, kUpdateButton)
                             : Shows(shown, PIC_UPDATE_DISABLED, kUpdateButton);
        },
        timeoutMs);
}

std::wstring ToolUnderTest::VersionText() const {
    return kxtest::WindowText(GetDlgItem(m_hWnd, IDC_VERSION));
}

bool ToolUnderTest::UpdateButtonEnabled() const {
    HWND button = GetDlgItem(m_hWnd, IDC_BTN_UPDATE);
    return button && IsWindowEnabled(button);
}

int ToolUnderTest::ProgressPos() const {
    return static_cast<int>(SendMessageW(GetDlgItem(m_hWnd, IDC_PROGRESS), PBM_GETPOS, 0, 0));
}

void ToolUnderTest::ClickUpdate() {
    kxtest::ClickWithMouse(GetDlgItem(m_hWnd, IDC_BTN_UPDATE));
    kxtest::MouseMoveTo(RestingPoint(m_hWnd));
}

HWND ToolUnderTest::WaitForChooser(DWORD timeoutMs) const {
    HWND chooser = nullptr;
    kxtest::WaitFor(
        [&] {
            return (chooser = kxtest::FindOwnedWindow(m_hWnd, kxtest::IsFileChooser)) != nullptr;
        },
        timeoutMs);
    return chooser;
}

HWND ToolUnderTest::CurrentPrompt() const {
    return kxtest::FindOwnedWindow(m_hWnd, kxtest::IsPromptWindow);
}

HWND ToolUnderTest::WaitForPrompt(DWORD timeoutMs) const {
    HWND prompt = nullptr;
    kxtest::WaitFor([&] { return (prompt = CurrentPrompt()) != nullptr; }, timeoutMs);
    return prompt;
}

std::wstring ToolUnderTest::PromptText(HWND prompt) {
    return kxtest::WindowText(GetDlgItem(prompt, IDC_PROMPT_TEXT));
}

void ToolUnderTest::ClickPromptButton(HWND prompt, int buttonId) {
    kxtest::ClickWithMouse(GetDlgItem(prompt, buttonId));
    kxtest::MouseMoveTo(RestingPoint(m_hWnd));
}

bool ToolUnderTest::AnswerPrompt(HWND prompt, int buttonId, DWORD timeoutMs) {
    if (!GetDlgItem(prompt, buttonId))
        return false;
    // A person reads the prompt before clicking: it has been drawn and stays still.
    Settled(prompt);
    ClickPromptButton(prompt, buttonId);
    return kxtest::WaitFor([&] { return !IsWindow(prompt); }, timeoutMs);
}

bool ToolUnderTest::Responds(DWORD timeoutMs) const {
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(m_hWnd, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, timeoutMs, &result) != 0;
}

void ToolUnderTest::ClickClose() {
    kxtest::ClickWithMouse(GetDlgItem(m_hWnd, IDC_BTN_CLOSE));
}

bool ToolUnderTest::Exited() const {
    return m_Process.Valid() && WaitForSingleObject(m_Process.Get(), 0) == WAIT_OBJECT_0;
}

kxtest::Pixels ToolUnderTest::Settled(HWND window) {
    kxtest::Pixels last;
    ULONGLONG changed = GetTickCount64();
    kxtest::WaitFor(
        [&] {
            kxtest::Pixels now = kxtest::CaptureWindow(window);
            if (now.data != last.data) {
                changed = GetTickCount64();
                last = std::move(now);
            }
            return GetTickCount64() - changed >= 400;
        },
        5000);
    return last;
}

void ToolUnderTest::Screenshot(const std::wstring& name, HWND window) const {
    kxtest::SaveScreenshot(Settled(window ? window : m_hWnd), name);
}
