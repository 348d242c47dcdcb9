#include "Decoy.h"

#include <cstdint>
#include <cstdio>
#include <string>

// Shared between the campaign and its decoy, in a named mapping of the campaign's.
struct DecoyBoard {
    volatile LONG Closes;       // WM_CLOSE or SC_CLOSE received
    volatile LONG WindowsShown; // windows shown so far (one a thread)
    volatile LONG Quit;         // the campaign asks the decoy to end
};

namespace {

constexpr int kChurningThreads = 6;
constexpr wchar_t kClass[] = L"KestrixCampaignDecoy";

std::wstring BoardName(DWORD campaignPid) {
    return L"Local\\KestrixCampaignDecoy-" + std::to_wstring(campaignPid);
}

DecoyBoard* g_pBoard = nullptr;

LRESULT CALLBACK DecoyProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    // Counted and refused: the decoy closes its windows itself, never on request.
    if (msg == WM_CLOSE || (msg == WM_SYSCOMMAND && (wParam & 0xFFF0) == SC_CLOSE)) {
        InterlockedIncrement(&g_pBoard->Closes);
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

// One visible window for the thread's short life, in the screen's bottom-right corner,
// away from the tool's window and never taking the focus.
HWND ShowDecoyWindow(int slot) {
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    HWND hwnd = CreateWindowExW(WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE, kClass, L"Decoy",
                                WS_POPUP | WS_BORDER, work.right - 40 - 12 * slot,
                                work.bottom - 40, 32, 32, nullptr, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
    if (hwnd) {
        ShowWindow(hwnd, SW_SHOWNOACTIVATE);
        InterlockedIncrement(&g_pBoard->WindowsShown);
    }
    return hwnd;
}

void PumpFor(DWORD milliseconds) {
    const ULONGLONG until = GetTickCount64() + milliseconds;
    for (ULONGLONG now = GetTickCount64(); now < until; now = GetTickCount64()) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(until - now), QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

struct SlotStart {
    int Slot;
    DWORD LifeMs;
};

DWORD WINAPI ChurningThread(void* param) {
    const SlotStart start = *static_cast<SlotStart*>(param);
    delete static_cast<SlotStart*>(param);
    HWND hwnd = ShowDecoyWindow(start.Slot);
    PumpFor(start.LifeMs);
    if (hwnd)
        DestroyWindow(hwnd);
    return 0;
}

} // namespace

int RunDecoy(DWORD campaignPid) {
    HANDLE mapping = OpenFileMappingW(FILE_MAP_WRITE, FALSE, BoardName(campaignPid).c_str());
    HANDLE campaign = OpenProcess(SYNCHRONIZE, FALSE, campaignPid);
    if (!mapping || !campaign)
        return 1;
    g_pBoard = static_cast<DecoyBoard*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(DecoyBoard)));
    if (!g_pBoard)
        return 1;
    WNDCLASSW wc{};
    wc.lpfnWndProc = DecoyProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = kClass;
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH));
    RegisterClassW(&wc);

    // One window that stays, and threads that each show one for 20 to 300 ms, replaced as
    // they end: the system hands out the numbers of ended threads again, and the decoy's
    // new threads take them up.
    HWND steady = ShowDecoyWindow(kChurningThreads);
    HANDLE threads[kChurningThreads] = {};
    std::uint32_t random = campaignPid * 2654435761u + 1;
    while (!g_pBoard->Quit && WaitForSingleObject(campaign, 0) == WAIT_TIMEOUT) {
        for (int slot = 0; slot < kChurningThreads; ++slot) {
            if (threads[slot] && WaitForSingleObject(threads[slot], 0) == WAIT_TIMEOUT)
                continue;
            if (threads[slot])
                CloseHandle(threads[slot]);
            random = random * 1664525u + 1013904223u;
            auto* start = new SlotStart{slot, 20 + (random >> 8) % 281};
            threads[slot] = CreateThread(nullptr, 0, ChurningThread, start, 0, nullptr);
            if (!threads[slot])
                delete start;
        }
        PumpFor(10);
    }
    for (HANDLE thread : threads)
        if (thread) {
            WaitForSingleObject(thread, 2000);
            CloseHandle(thread);
        }
    if (steady)
        DestroyWindow(steady);
    return 0;
}

CDecoy::~CDecoy() {
    if (m_pBoard) {
        m_pBoard->Quit = 1;
        if (m_hProcess)
            WaitForSingleObject(m_hProcess, 3000);
        UnmapViewOfFile(m_pBoard);
    }
    if (m_hProcess)
        CloseHandle(m_hProcess);
    if (m_hMapping)
        CloseHandle(m_hMapping);
}

bool CDecoy::Start() {
    const DWORD pid = GetCurrentProcessId();
    m_hMapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(DecoyBoard),
                                    BoardName(pid).c_str());
    if (!m_hMapping)
        return false;
    m_pBoard = static_cast<DecoyBoard*>(MapViewOfFile(m_hMapping, FILE_MAP_WRITE, 0, 0, sizeof(DecoyBoard)));
    if (!m_pBoard)
        return false;
    wchar_t exe[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(exe) + L"\" --decoy " + std::to_wstring(pid);
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(exe, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi))
        return false;
    CloseHandle(pi.hThread);
    m_hProcess = pi.hProcess;
    const ULONGLONG until = GetTickCount64() + 10000;
    while (m_pBoard->WindowsShown < 2 && GetTickCount64() < until &&
           WaitForSingleObject(m_hProcess, 20) == WAIT_TIMEOUT) {
    }
    return m_pBoard->WindowsShown >= 2;
}

long CDecoy::Closes() const {
    if (!m_pBoard || !m_hProcess || WaitForSingleObject(m_hProcess, 0) != WAIT_TIMEOUT)
        return -1;
    return m_pBoard->Closes;
}

long CDecoy::WindowsShown() const {
    return m_pBoard ? m_pBoard->WindowsShown : 0;
}
