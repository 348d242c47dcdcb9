#include "support/MainWindowHarness.h"

#include <cstdio>

#include "update/locale/Localization.h"
#include "link/LinkProtocol.h"
#include "support/ReceiverFrames.h"
#include "res/resource.h"
#include "ui/UpdateDlg.h"

namespace kxtest {

namespace {
class CHarnessApp : public CWinApp {};
} // namespace

bool IsPromptWindow(HWND hwnd) {
    return GetDlgItem(hwnd, IDC_PROMPT_TEXT) != nullptr;
}

bool IsFileChooser(HWND hwnd) {
    wchar_t cls[64] = {};
    GetClassNameW(hwnd, cls, 64);
    return lstrcmpW(cls, L"#32770") == 0 && !IsPromptWindow(hwnd);
}

std::vector<std::uint8_t> WriteImage(const std::wstring& path, std::uint32_t versionWord,
                                     std::uint32_t dataLength, std::uint32_t dataBytes,
                                     std::uint32_t seed) {
    std::vector<std::uint8_t> bytes(28 + dataBytes);
    auto put32 = [&](size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            bytes[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    put32(0, versionWord);
    put32(4, 0x11223344);
    put32(8, dataLength);
    put32(12, 0x55667788);
    for (int i = 0; i < 12; ++i)
        bytes[16 + i] = static_cast<std::uint8_t>(0xA0 + i);
    std::uint32_t x = seed * 2654435761u + 1;
    for (std::uint32_t i = 0; i < dataBytes; ++i) {
        x = x * 1664525u + 1013904223u;
        bytes[28 + i] = static_cast<std::uint8_t>(x >> 24);
    }
    FILE* f = _wfopen(path.c_str(), L"wb");
    if (f) {
        fwrite(bytes.data(), 1, bytes.size(), f);
        fclose(f);
    }
    return bytes;
}

std::wstring TempPath(const std::wstring& name) {
    wchar_t dir[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, dir);
    std::wstring folder = std::wstring(dir) + L"kestrix-tests";
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder + L"\\" + name;
}

bool ShowsNotConnectedLook(HWND window, const std::wstring& screenshot) {
    const Pixels absent = BitmapPixels(static_cast<UINT>(LocalizedId(PIC_DEVICE_ABSENT)));
    const Pixels disabled = BitmapPixels(static_cast<UINT>(LocalizedId(PIC_UPDATE_DISABLED)));
    Pixels shown;
    const bool ok = WaitFor([&] {
        shown = CaptureWindow(window);
        return ShowsBitmap(shown, absent, 28, 88) && ShowsBitmap(shown, disabled, 161, 140);
    });
    SaveScreenshot(shown, screenshot);
    return ok;
}

MainWindowHarness::MainWindowHarness(WindowFactory makeWindow)
    : m_Seam(sim), m_MakeWindow(std::move(makeWindow)) {}

MainWindowHarness::~MainWindowHarness() {
    if (m_UiThread.joinable()) {
        if (!m_bEnded && m_hWnd)
            PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
        WaitFor([&] { return m_bEnded.load(); }, 10000);
        m_UiThread.join();
    }
}

HWND MainWindowHarness::Start() {
    m_UiThread = std::thread([this] {
        CHarnessApp app;
        m_pWindow = m_MakeWindow ? m_MakeWindow() : std::make_unique<CUpdateDlg>(nullptr);
        if (!historyPath.empty())
            m_pWindow->SetHistoryPath(historyPath);
        app.m_pMainWnd = m_pWindow.get();
        m_pDialog = m_pWindow.get();
        m_Result = m_pWindow->DoModal();
        app.m_pMainWnd = nullptr;
        m_bEnded = true;
    });
    WaitFor(
        [&] {
            CUpdateDlg* dlg = m_pDialog;
            HWND hwnd = dlg ? dlg->m_hWnd : nullptr;
            if (hwnd && IsWindowVisible(hwnd))
                m_hWnd = hwnd;
            return m_hWnd != nullptr || m_bEnded;
        },
        10000);
    return m_hWnd;
}

void MainWindowHarness::Close() {
    if (m_hWnd)
        PostMessageW(m_hWnd, WM_SYSCOMMAND, SC_CLOSE, 0);
    WaitClosed();
}

bool MainWindowHarness::WaitClosed(DWORD timeoutMs) {
    return WaitFor([&] { return m_bEnded.load(); }, timeoutMs);
}

HWND MainWindowHarness::CurrentPrompt() const {
    return FindOwnedWindow(m_hWnd, IsPromptWindow);
}

HWND MainWindowHarness::WaitForPrompt(DWORD timeoutMs) const {
    HWND prompt = nullptr;
    WaitFor([&] { return (prompt = CurrentPrompt()) != nullptr; }, timeoutMs);
    return prompt;
}

std::wstring MainWindowHarness::PromptText(HWND prompt) const {
    return WindowText(GetDlgItem(prompt, IDC_PROMPT_TEXT));
}

std::wstring MainWindowHarness::AnswerPrompt(int buttonId, DWORD timeoutMs) {
    HWND prompt = WaitForPrompt(timeoutMs);
    if (!prompt)
        return {};
    const std::wstring text = PromptText(prompt);
    ClickControl(prompt, buttonId);
    WaitFor([&] { return !IsWindow(prompt); });
    return text;
}

Pixels MainWindowHarness::CaptureWithPrompt() const {
    Pixels px;
    WaitFor([&] {
        px = CaptureWindow(m_hWnd);
        int white = 0;
        for (int x = 80; x < 340; ++x)
            for (int y = 150; y < 200; ++y)
                white += px.At(x, y) == RGB(255, 255, 255);
        return px.At(70, 200) == RGB(0x8d, 0x16, 0x1e) && white > 20;
    });
    return px;
}

HWND MainWindowHarness::WaitForChooser(DWORD timeoutMs) const {
    HWND chooser = nullptr;
    WaitFor([&] { return (chooser = FindOwnedWindow(m_hWnd, IsFileChooser)) != nullptr; },
            timeoutMs);
    return chooser;
}

void MainWindowHarness::ChooseFile(HWND chooser, const std::wstring& path) {
    // The file name box (a combo box in the explorer-style chooser, an edit otherwise).
    for (int id : {0x047C, 0x0480})
        if (HWND box = GetDlgItem(chooser, id))
            SendMessageW(box, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
    PostMessageW(chooser, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(chooser, IDOK)));
}

void MainWindowHarness::CancelChooser(HWND chooser) {
    PostMessageW(chooser, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(chooser, IDCANCEL)));
}

HWND MainWindowHarness::ChooserOrConfirmation(const std::wstring& image) const {
    HWND chooser = WaitForChooser();
    if (!chooser || image.empty())
        return chooser;
    ChooseFile(chooser, image);
    return WaitForPrompt();
}

void MainWindowHarness::ClickUpdate() {
    ClickControl(m_hWnd, IDC_BTN_UPDATE);
}

bool MainWindowHarness::UpdateButtonEnabled() const {
    HWND button = Control(IDC_BTN_UPDATE);
    return button && IsWindowEnabled(button);
}

int MainWindowHarness::ProgressPos() const {
    return static_cast<int>(SendMessageW(Control(IDC_PROGRESS), PBM_GETPOS, 0, 0));
}

std::wstring MainWindowHarness::VersionText() const {
    return WindowText(Control(IDC_VERSION));
}

std::vector<std::vector<std::uint8_t>> MainWindowHarness::FramesWritten() const {
    return FramesInReports(sim.AcceptedReports());
}

int MainWindowHarness::LinkFramesWritten(std::uint8_t sub) const {
    int n = 0;
    for (const auto& frame : FramesWritten())
        n += frame.size() >= 5 && frame[1] == FRAME_LINK && frame[4] == sub;
    return n;
}

} // namespace kxtest
