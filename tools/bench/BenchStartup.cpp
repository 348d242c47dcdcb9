#include "BenchStartup.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "res/resource.h"
#include "support/WinTest.h"

namespace {

constexpr DWORD kStartTimeoutMs = 20000;
constexpr int kGridColumns = 12, kGridRows = 8;
// The share of sample points that must show the skin: the few under the version text
// or the receiver's picture may still change after the first paint.
constexpr double kPaintedShare = 0.9;

std::uint64_t Hundreds(const FILETIME& t) {
    return static_cast<std::uint64_t>(t.dwHighDateTime) << 32 | t.dwLowDateTime;
}

double MillisecondsSince(const FILETIME& created) {
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    return static_cast<double>(Hundreds(now) - Hundreds(created)) / 1e4;
}

struct FindMain {
    DWORD Process;
    HWND Found;
};

// The main window of a process: its top-level window with the skin's background.
HWND MainWindowOf(DWORD process) {
    FindMain find{process, nullptr};
    EnumWindows(
        [](HWND hwnd, LPARAM param) -> BOOL {
            auto* find = reinterpret_cast<FindMain*>(param);
            DWORD owner = 0;
            GetWindowThreadProcessId(hwnd, &owner);
            if (owner == find->Process && IsWindowVisible(hwnd) &&
                GetDlgItem(hwnd, IDC_BACKGROUND)) {
                find->Found = hwnd;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&find));
    return find.Found;
}

// The window's pixels at the sample points, a grid over the whole window.
std::vector<std::uint32_t> Samples(const kxtest::Pixels& shown) {
    std::vector<std::uint32_t> samples;
    for (int row = 0; row < kGridRows; ++row)
        for (int column = 0; column < kGridColumns; ++column) {
            const int x = (2 * column + 1) * shown.width / (2 * kGridColumns);
            const int y = (2 * row + 1) * shown.height / (2 * kGridRows);
            samples.push_back(shown.data[static_cast<std::size_t>(y) * shown.width + x]);
        }
    return samples;
}

bool ShowsSkin(HWND window, const std::vector<std::uint32_t>& reference) {
    const kxtest::Pixels shown = kxtest::CaptureWindow(window);
    if (shown.data.empty())
        return false;
    const std::vector<std::uint32_t> samples = Samples(shown);
    std::size_t same = 0;
    for (std::size_t i = 0; i < samples.size(); ++i)
        same += samples[i] == reference[i];
    return static_cast<double>(same) >= kPaintedShare * static_cast<double>(samples.size());
}

struct StartTimes {
    double WindowShown = -1; // the main window exists and is visible, painted or not
    double FirstPaint = -1;
    double VersionShown = -1;
    std::vector<std::uint32_t> Finally; // the sample points once the start is over
};

// One start: polls the screen as often as it can until the skin shows (against the
// reference; without one, only the window) and the version is shown, then closes it.
bool StartOnce(const std::wstring& exe, const std::wstring& arguments, bool version,
               const std::vector<std::uint32_t>& reference, StartTimes* times) {
    std::wstring command = L"\"" + exe + L"\"" + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(exe.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        fprintf(stderr, "bench: cannot start %ls (error %lu)\n", exe.c_str(), GetLastError());
        return false;
    }
    FILETIME created, exited, kernel, user;
    GetProcessTimes(process.hProcess, &created, &exited, &kernel, &user);
    const ULONGLONG deadline = GetTickCount64() + kStartTimeoutMs;
    HWND window = nullptr;
    while (GetTickCount64() < deadline) {
        if (!window) {
            window = MainWindowOf(process.dwProcessId);
            if (window)
                times->WindowShown = MillisecondsSince(created);
        }
        if (window && times->FirstPaint < 0 && (reference.empty() || ShowsSkin(window, reference)))
            times->FirstPaint = MillisecondsSince(created);
        if (window && version && times->VersionShown < 0 &&
            !kxtest::WindowText(GetDlgItem(window, IDC_VERSION)).empty())
            times->VersionShown = MillisecondsSince(created);
        if (times->FirstPaint >= 0 && (!version || times->VersionShown >= 0))
            break;
        Sleep(1); // the start needs the processor more than the poll does
    }
    if (window) {
        Sleep(500); // whatever the start still draws, for the reference
        const kxtest::Pixels shown = kxtest::CaptureWindow(window);
        if (!shown.data.empty())
            times->Finally = Samples(shown);
        PostMessageW(window, WM_CLOSE, 0, 0);
    }
    if (WaitForSingleObject(process.hProcess, 10000) != WAIT_OBJECT_0)
        TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return times->FirstPaint >= 0 && (!version || times->VersionShown >= 0);
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

} // namespace

namespace {
bool MeasureStarts(const std::wstring& exe, const std::wstring& arguments, int runs, bool version) {
    // The first start warms Wine up and shows what the window looks like once started.
    StartTimes warm;
    if (!StartOnce(exe, arguments, version, {}, &warm) || warm.Finally.empty())
        return false;
    std::vector<double> windows, paints, versions;
    for (int i = 0; i < runs; ++i) {
        StartTimes times;
        if (!StartOnce(exe, arguments, version, warm.Finally, &times))
            return false;
        windows.push_back(times.WindowShown);
        paints.push_back(times.FirstPaint);
        versions.push_back(times.VersionShown);
    }
    const std::size_t slash = exe.find_last_of(L"\\/");
    printf("startup exe=%ls runs=%d window_ms=%.0f first_paint_ms=%.0f first_paint_max_ms=%.0f",
           exe.substr(slash == std::wstring::npos ? 0 : slash + 1).c_str(), runs, Median(windows),
           Median(paints), *std::max_element(paints.begin(), paints.end()));
    if (version)
        printf(" version_ms=%.0f", Median(versions));
    printf("\n");
    return true;
}

LRESULT CALLBACK ProbeProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY)
        PostQuitMessage(0);
    return DefWindowProcW(hwnd, message, wParam, lParam);
}
} // namespace

bool RunStartup(const std::wstring& exe, int runs, bool version) {
    return MeasureStarts(exe, L"", runs, version);
}

bool RunProbeStartup(int runs) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    return MeasureStarts(self, L" probe", runs, false);
}

int RunProbe() {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = ProbeProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.hbrBackground = CreateSolidBrush(RGB(0x20, 0x60, 0xA0));
    windowClass.lpszClassName = L"KestrixBenchProbe";
    RegisterClassW(&windowClass);
    // The size of the tool's window, with a child of the id the bench looks for.
    const HWND window =
        CreateWindowExW(0, windowClass.lpszClassName, L"probe", WS_POPUP | WS_VISIBLE, 100, 100,
                        420, 300, nullptr, nullptr, windowClass.hInstance, nullptr);
    CreateWindowExW(0, L"STATIC", L"", WS_CHILD, 0, 0, 1, 1, window,
                    reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_BACKGROUND)),
                    windowClass.hInstance, nullptr);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
