#include "support/WinTest.h"

#include <tlhelp32.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace kxtest {

void PumpMessages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

bool WaitFor(const std::function<bool()>& cond, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        PumpMessages();
        if (cond())
            return true;
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            return cond();
        // Wake on new messages for this thread, or after a short slice to re-test.
        const DWORD slice = static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 10));
        MsgWaitForMultipleObjects(0, nullptr, FALSE, slice, QS_ALLINPUT);
    }
}

namespace {
struct FindCriteria {
    const wchar_t* title;
    const wchar_t* className;
    DWORD threadId;
    HWND found;
};

BOOL CALLBACK MatchTopWindow(HWND hwnd, LPARAM param) {
    auto* c = reinterpret_cast<FindCriteria*>(param);
    if (c->threadId && GetWindowThreadProcessId(hwnd, nullptr) != c->threadId)
        return TRUE;
    if (c->className) {
        wchar_t cls[256] = {};
        GetClassNameW(hwnd, cls, 256);
        if (lstrcmpW(cls, c->className) != 0)
            return TRUE;
    }
    if (c->title && WindowText(hwnd) != c->title)
        return TRUE;
    c->found = hwnd;
    return FALSE;
}
} // namespace

HWND FindTopWindow(const wchar_t* title, const wchar_t* className, DWORD threadId) {
    FindCriteria c{title, className, threadId, nullptr};
    if (threadId)
        EnumThreadWindows(threadId, MatchTopWindow, reinterpret_cast<LPARAM>(&c));
    else
        EnumWindows(MatchTopWindow, reinterpret_cast<LPARAM>(&c));
    return c.found;
}

HWND WaitForTopWindow(const wchar_t* title, const wchar_t* className, DWORD threadId,
                      DWORD timeoutMs) {
    HWND found = nullptr;
    WaitFor([&] { return (found = FindTopWindow(title, className, threadId)) != nullptr; },
            timeoutMs);
    return found;
}

HWND FindOwnedWindow(HWND owner, const std::function<bool(HWND)>& match) {
    struct Search {
        HWND owner;
        const std::function<bool(HWND)>* match;
        HWND found;
    } search{owner, &match, nullptr};
    EnumWindows(
        [](HWND hwnd, LPARAM param) -> BOOL {
            auto* s = reinterpret_cast<Search*>(param);
            if (GetWindow(hwnd, GW_OWNER) == s->owner && IsWindowVisible(hwnd) &&
                (*s->match)(hwnd)) {
                s->found = hwnd;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND FindControl(HWND parent, int id) {
    return parent ? GetDlgItem(parent, id) : nullptr;
}

bool ClickControl(HWND parent, int id) {
    HWND control = FindControl(parent, id);
    return control && PostMessageW(control, BM_CLICK, 0, 0);
}

namespace {
void SendMouse(POINT screen, DWORD flags) {
    const int w = GetSystemMetrics(SM_CXSCREEN), h = GetSystemMetrics(SM_CYSCREEN);
    INPUT in{};
    in.type = INPUT_MOUSE;
    in.mi.dx = MulDiv(screen.x, 65535, w - 1);
    in.mi.dy = MulDiv(screen.y, 65535, h - 1);
    in.mi.dwFlags = flags | MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    SendInput(1, &in, sizeof(in));
    // Let the pointer arrive before anything else happens, so no window sees a move
    // from where it was before.
    WaitFor(
        [&] {
            POINT now{};
            GetCursorPos(&now);
            return now.x == screen.x && now.y == screen.y;
        },
        1000);
}
} // namespace

void MouseMoveTo(POINT screen) {
    SendMouse(screen, 0);
}
void MouseLeftDown(POINT screen) {
    SendMouse(screen, MOUSEEVENTF_LEFTDOWN);
}
void MouseLeftUp(POINT screen) {
    SendMouse(screen, MOUSEEVENTF_LEFTUP);
}

POINT CenterOf(HWND hwnd) {
    RECT rc{};
    GetWindowRect(hwnd, &rc);
    return {(rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2};
}

void ClickWithMouse(HWND control) {
    const POINT at = CenterOf(control);
    MouseMoveTo(at);
    MouseLeftDown(at);
    MouseLeftUp(at);
}

void PressKey(WORD vk) {
    INPUT in[2]{};
    in[0].type = in[1].type = INPUT_KEYBOARD;
    in[0].ki.wVk = in[1].ki.wVk = vk;
    in[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, in, sizeof(INPUT));
}

void PressAltF4(HWND window) {
    PressAltWith(window, VK_F4);
}

HWND FocusIn(HWND window) {
    GUITHREADINFO info{};
    info.cbSize = sizeof(info);
    GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info);
    return info.hwndFocus;
}

void PressAltWith(HWND window, WORD key) {
    SetForegroundWindow(window);
    WaitFor([&] { return GetForegroundWindow() == window; }, 2000);
    const WORD sequence[4][2] = {
        {VK_MENU, 0}, {key, 0}, {key, KEYEVENTF_KEYUP}, {VK_MENU, KEYEVENTF_KEYUP}};
    INPUT keys[4] = {};
    for (int i = 0; i < 4; ++i) {
        keys[i].type = INPUT_KEYBOARD;
        keys[i].ki.wVk = sequence[i][0];
        keys[i].ki.dwFlags = sequence[i][1];
    }
    SendInput(4, keys, sizeof(INPUT));
}

std::wstring WindowText(HWND hwnd) {
    const int len = GetWindowTextLengthW(hwnd);
    std::wstring text(static_cast<size_t>(len) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(hwnd, text.data(), len + 1)));
    return text;
}

COLORREF Pixels::At(int x, int y) const {
    if (x < 0 || y < 0 || x >= width || y >= height)
        return CLR_INVALID;
    const uint32_t p = data[static_cast<size_t>(y) * width + x];
    return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
}

bool Pixels::SaveBmp(const std::wstring& path) const {
    if (width <= 0 || height <= 0)
        return false;
    BITMAPINFOHEADER bih{};
    bih.biSize = sizeof(bih);
    bih.biWidth = width;
    bih.biHeight = -height; // top-down
    bih.biPlanes = 1;
    bih.biBitCount = 32;
    bih.biCompression = BI_RGB;
    const DWORD bytes = static_cast<DWORD>(data.size() * sizeof(uint32_t));
    BITMAPFILEHEADER bfh{};
    bfh.bfType = 0x4D42;
    bfh.bfOffBits = sizeof(bfh) + sizeof(bih);
    bfh.bfSize = bfh.bfOffBits + bytes;
    FILE* f = _wfopen(path.c_str(), L"wb");
    if (!f)
        return false;
    bool ok = fwrite(&bfh, sizeof(bfh), 1, f) == 1 && fwrite(&bih, sizeof(bih), 1, f) == 1 &&
              fwrite(data.data(), 1, bytes, f) == bytes;
    ok = (fclose(f) == 0) && ok;
    return ok;
}

Pixels CaptureWindow(HWND hwnd) {
    Pixels px;
    RECT rc{};
    if (!GetWindowRect(hwnd, &rc))
        return px;
    const int w = rc.right - rc.left, h = rc.bottom - rc.top;
    if (w <= 0 || h <= 0)
        return px;
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP dib = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (dib && bits) {
        HGDIOBJ old = SelectObject(mem, dib);
        if (BitBlt(mem, 0, 0, w, h, screen, rc.left, rc.top, SRCCOPY)) {
            px.width = w;
            px.height = h;
            const auto* p = static_cast<const uint32_t*>(bits);
            px.data.assign(p, p + static_cast<size_t>(w) * h);
            for (auto& v : px.data)
                v &= 0x00FFFFFF;
        }
        SelectObject(mem, old);
    }
    if (dib)
        DeleteObject(dib);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    return px;
}

std::wstring SaveScreenshot(const Pixels& pixels, const std::wstring& name) {
    wchar_t dir[MAX_PATH] = {};
    if (!GetEnvironmentVariableW(L"KX_TEST_OUT", dir, MAX_PATH))
        return {};
    CreateDirectoryW(dir, nullptr);
    std::wstring path = std::wstring(dir) + L"\\" + name + L".bmp";
    return pixels.SaveBmp(path) ? path : std::wstring();
}

namespace {
// One cell of the process's view of the system's GDI handle table (64-bit layout,
// shared by Windows and Wine): the owner's process id and the object type.
struct GdiHandleCell {
    void* kernelObject;
    USHORT processId;
    USHORT count;
    USHORT upper;
    USHORT type;
    void* userData;
};
static_assert(sizeof(GdiHandleCell) == 24, "GDI handle cell layout");

// Counts the live cells of this process in the GDI handle table, for systems whose
// GetGuiResources does not count (Wine answers 0). Wine's table is private to the
// process and records no owner (0); on Windows, owner 0 marks the fixed stock objects.
DWORD CountGdiHandleCells() {
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds" // GCC 12 misreads the gs-relative load
#endif
    const auto* teb = reinterpret_cast<const BYTE*>(NtCurrentTeb());
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
    const auto* peb = *reinterpret_cast<const BYTE* const*>(teb + 0x60);
    const auto* cells = *reinterpret_cast<GdiHandleCell* const*>(peb + 0xF8);
    if (!cells)
        return 0;
    const USHORT pid = static_cast<USHORT>(GetCurrentProcessId());
    DWORD n = 0;
    for (size_t i = 0; i < 0x10000; ++i)
        if (cells[i].type != 0 && (cells[i].processId == pid || cells[i].processId == 0))
            ++n;
    return n;
}
} // namespace

DWORD GdiObjectCount() {
    const DWORD n = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    return n ? n : CountGdiHandleCells();
}

namespace {
// The layout of a UNICODE_STRING, which the user-mode headers leave to winternl.h.
struct UNICODE_STRING_VIEW {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
};

BOOL CALLBACK CountChildWindow(HWND, LPARAM count) {
    ++*reinterpret_cast<DWORD*>(count);
    return TRUE;
}
BOOL CALLBACK CountProcessWindow(HWND hwnd, LPARAM count) {
    DWORD process = 0;
    GetWindowThreadProcessId(hwnd, &process);
    if (process == GetCurrentProcessId()) {
        ++*reinterpret_cast<DWORD*>(count);
        EnumChildWindows(hwnd, CountChildWindow, count);
    }
    return TRUE;
}

// Where the platform does not count a process's handles (Wine answers 0), the handle
// values in use are probed one by one; Wine hands them out from 4 up, 4 apart.
DWORD CountHandles() {
    DWORD n = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &n) && n)
        return n;
    DWORD flags = 0;
    for (std::uintptr_t value = 4; value < 0x20000; value += 4)
        n += GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) != FALSE;
    return n;
}
} // namespace

std::map<std::uintptr_t, std::wstring> HandleKinds() {
    // NtQueryObject's type information: a UNICODE_STRING first, its text behind it.
    using Query = LONG(WINAPI*)(HANDLE, int, PVOID, ULONG, PULONG);
    const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
    std::map<std::uintptr_t, std::wstring> kinds;
    DWORD flags = 0;
    for (std::uintptr_t value = 4; value < 0x20000; value += 4) {
        const HANDLE handle = reinterpret_cast<HANDLE>(value);
        if (!GetHandleInformation(handle, &flags))
            continue;
        alignas(8) BYTE info[512] = {};
        ULONG got = 0;
        std::wstring kind = L"?";
        if (query && query(handle, 2 /* ObjectTypeInformation */, info, sizeof(info), &got) >= 0) {
            const auto* name = reinterpret_cast<const UNICODE_STRING_VIEW*>(info);
            if (name->Buffer)
                kind.assign(name->Buffer, name->Length / sizeof(wchar_t));
        }
        kinds[value] = kind;
    }
    return kinds;
}

ProcessCounts CountProcessResources() {
    ProcessCounts counts;
    counts.Handles = CountHandles();
    counts.Gdi = GdiObjectCount();
    counts.User = GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS);
    if (counts.User == 0)
        EnumWindows(CountProcessWindow, reinterpret_cast<LPARAM>(&counts.User));
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot != INVALID_HANDLE_VALUE) {
        THREADENTRY32 entry{};
        entry.dwSize = sizeof(entry);
        for (BOOL more = Thread32First(snapshot, &entry); more;
             more = Thread32Next(snapshot, &entry))
            counts.Threads += entry.th32OwnerProcessID == GetCurrentProcessId();
        CloseHandle(snapshot);
    }
    return counts;
}

DWORD PlatformGdiObjectsPerDialog(UINT templateId, HWND owner, int count) {
    // The first dialog of a template may fill one-time caches: it is not counted.
    DWORD before = 0;
    for (int i = -1; i < count; ++i) {
        if (i == 0)
            before = GdiObjectCount();
        HWND dialog = CreateDialogParamW(
            GetModuleHandleW(nullptr), MAKEINTRESOURCEW(templateId), owner,
            [](HWND, UINT, WPARAM, LPARAM) -> INT_PTR { return FALSE; }, 0);
        ShowWindow(dialog, SW_SHOW);
        UpdateWindow(dialog);
        // The template's picture is the program's to free, as the prompt frees it. The
        // picture control's id is -1 (as a 16-bit 0xFFFF it names no control).
        HBITMAP picture = reinterpret_cast<HBITMAP>(
            SendDlgItemMessageW(dialog, -1, STM_SETIMAGE, IMAGE_BITMAP, 0));
        DeleteObject(picture);
        DestroyWindow(dialog);
    }
    return (GdiObjectCount() - before) / static_cast<DWORD>(count);
}

Pixels BitmapPixels(UINT resourceId) {
    HBITMAP bmp = LoadBitmapW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(resourceId));
    Pixels px = BitmapPixels(bmp);
    if (bmp)
        DeleteObject(bmp);
    return px;
}

Pixels BitmapPixels(HBITMAP bmp) {
    Pixels px;
    BITMAP bm{};
    if (!bmp || !GetObjectW(bmp, sizeof(bm), &bm))
        return px;
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = bm.bmWidth;
    bi.bmiHeader.biHeight = -bm.bmHeight;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    px.width = bm.bmWidth;
    px.height = bm.bmHeight;
    px.data.resize(static_cast<size_t>(bm.bmWidth) * bm.bmHeight);
    HDC screen = GetDC(nullptr);
    GetDIBits(screen, bmp, 0, static_cast<UINT>(bm.bmHeight), px.data.data(), &bi, DIB_RGB_COLORS);
    ReleaseDC(nullptr, screen);
    for (auto& v : px.data)
        v &= 0x00FFFFFF;
    return px;
}

bool ShowsBitmap(const Pixels& shown, const Pixels& bitmap, int x, int y) {
    if (bitmap.width == 0 || x + bitmap.width > shown.width || y + bitmap.height > shown.height)
        return false;
    for (int row = 0; row < bitmap.height; ++row)
        for (int col = 0; col < bitmap.width; ++col)
            if (shown.At(x + col, y + row) != bitmap.At(col, row))
                return false;
    return true;
}

} // namespace kxtest
