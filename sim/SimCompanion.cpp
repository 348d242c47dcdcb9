#include "sim/SimCompanion.h"

#include "sim/SimReceiver.h"
#include "update/FirmwareImage.h"

#include <cwchar>

namespace {

constexpr wchar_t kClassName[] = L"KestrixSimCompanion";
constexpr wchar_t kTitle[] = L"Simulated receiver";
constexpr UINT_PTR kRefreshTimer = 1;

// Client area layout, in pixels.
constexpr int kClientWidth = 300;
constexpr int kClientHeight = 122;
constexpr int kMargin = 10;
constexpr int kStatusHeight = 68;
constexpr int kButtonWidth = 90;
constexpr int kButtonHeight = 26;

const wchar_t* RegisterCompanionClass() {
    static const bool registered = [] {
        WNDCLASSW wc{};
        wc.lpfnWndProc = ::DefWindowProcW;
        wc.hInstance = ::GetModuleHandleW(nullptr);
        wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        wc.lpszClassName = kClassName;
        return ::RegisterClassW(&wc) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    }();
    return registered ? kClassName : nullptr;
}

RECT Rect(int x, int y, int width, int height) {
    return RECT{x, y, x + width, y + height};
}

std::wstring Hex8(std::uint32_t value) {
    wchar_t text[16];
    swprintf(text, 16, L"0x%08X", static_cast<unsigned>(value));
    return text;
}

std::wstring Outcome(const SimUpdateResult& update) {
    if (!update.Started)
        return L"none yet";
    if (!update.Ended)
        return L"in progress";
    if (update.Finished)
        return L"finished";
    if (update.FailureSubCode != 0) {
        wchar_t text[48];
        swprintf(text, 48, L"failed with sub-code 0x%02X", update.FailureSubCode);
        return text;
    }
    return L"unplugged during the update";
}

} // namespace

std::wstring SimStatusText(bool present, int mode, std::uint32_t version,
                           const SimUpdateResult& update) {
    std::wstring text =
        present ? L"Receiver: plugged in, mode " + std::to_wstring(mode)
                : L"Receiver: unplugged (plugs in in mode " + std::to_wstring(mode) + L")";
    text += L"\nVersion: " + FormatVersionText(version) + L" (" + Hex8(version) + L")";
    text += L"\nUpdate: ";
    if (!update.Started)
        text += L"none yet";
    else if (!update.HeaderReceived)
        text += L"started, no header yet";
    else
        text += std::to_wstring(update.Blocks) + (update.Blocks == 1 ? L" block, " : L" blocks, ") +
                std::to_wstring(update.DataBytes) + L" of " + std::to_wstring(update.DataLength) +
                L" data bytes received";
    text += L"\nLast outcome: " + Outcome(update);
    return text;
}

BEGIN_MESSAGE_MAP(CSimCompanion, CWnd)
    ON_BN_CLICKED(CSimCompanion::kPlugInId, &CSimCompanion::OnPlugIn)
    ON_BN_CLICKED(CSimCompanion::kUnplugId, &CSimCompanion::OnUnplug)
    ON_WM_TIMER()
    ON_WM_DEVICECHANGE()
END_MESSAGE_MAP()

CSimCompanion::CSimCompanion(SimReceiver& receiver, int plugMode)
    : m_Receiver(receiver), m_nPlugMode(plugMode == 2 ? 2 : 1) {}

CSimCompanion::~CSimCompanion() {
    // The window and its controls go before the font they use.
    DestroyWindow();
}

BOOL CSimCompanion::Create(int x, int y) {
    const wchar_t* cls = RegisterCompanionClass();
    if (!cls)
        return FALSE;
    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
    RECT frame = Rect(0, 0, kClientWidth, kClientHeight);
    ::AdjustWindowRectEx(&frame, style, FALSE, 0);
    if (!CreateEx(0, cls, kTitle, style,
                  Rect(x, y, frame.right - frame.left, frame.bottom - frame.top), nullptr, 0))
        return FALSE;

    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof(metrics);
    if (::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0))
        m_Font.CreateFontIndirect(metrics.lfMessageFont);
    HFONT font = m_Font.IsNull() ? static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT))
                                 : static_cast<HFONT>(m_Font);

    const int buttonsTop = kMargin + kStatusHeight + 8;
    if (!m_Status.CreateEx(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX,
                           Rect(kMargin, kMargin, kClientWidth - 2 * kMargin, kStatusHeight), this,
                           kStatusId) ||
        !m_PlugIn.Create(L"Plug in", WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON,
                         Rect(kMargin, buttonsTop, kButtonWidth, kButtonHeight), this, kPlugInId) ||
        !m_Unplug.Create(L"Unplug", WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON,
                         Rect(kMargin + kButtonWidth + 10, buttonsTop, kButtonWidth, kButtonHeight),
                         this, kUnplugId)) {
        DestroyWindow();
        return FALSE;
    }
    m_Status.SetFont(font, FALSE);
    m_PlugIn.SetFont(font, FALSE);
    m_Unplug.SetFont(font, FALSE);

    Refresh();
    SetTimer(kRefreshTimer, kRefreshMs);
    ShowWindow(SW_SHOWNOACTIVATE);
    return TRUE;
}

void CSimCompanion::Refresh() {
    if (!m_hWnd)
        return;
    const bool present = m_Receiver.Present();
    const int mode = present ? m_Receiver.Mode() : m_nPlugMode;
    const std::wstring text =
        SimStatusText(present, mode, m_Receiver.Version(), m_Receiver.LastUpdate());
    if (m_Status.GetWindowText() != text)
        m_Status.SetWindowText(text);
    if (m_PlugIn.IsWindowEnabled() != (present ? FALSE : TRUE))
        m_PlugIn.EnableWindow(!present);
    if (m_Unplug.IsWindowEnabled() != (present ? TRUE : FALSE))
        m_Unplug.EnableWindow(present);
}

void CSimCompanion::OnPlugIn() {
    if (!m_Receiver.Present())
        m_Receiver.Plug(m_nPlugMode);
    Refresh();
}

void CSimCompanion::OnUnplug() {
    m_Receiver.Unplug();
    Refresh();
}

void CSimCompanion::OnTimer(UINT_PTR id) {
    if (id == kRefreshTimer)
        Refresh();
}

BOOL CSimCompanion::OnDeviceChange(UINT, DWORD_PTR) {
    Refresh();
    return TRUE;
}
