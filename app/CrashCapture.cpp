#include "app/CrashCapture.h"

#include <windows.h>

#include <dbghelp.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "KestrixVersion.h"
#include "framework/SystemLibrary.h"
#include "link/UniqueKernelHandle.h"
#include "update/UpdateHistory.h"

namespace {

using WriteDump = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                PMINIDUMP_EXCEPTION_INFORMATION,
                                PMINIDUMP_USER_STREAM_INFORMATION,
                                PMINIDUMP_CALLBACK_INFORMATION);

constexpr std::size_t kDumpsKept = 5;

// What the filter needs, made ready at installation: a crashing process should load and
// look up as little as it can. The application's, for the process's life.
struct Capture {
    std::wstring Folder;  // the dumps' folder, with a trailing backslash
    std::wstring History; // the history file
    WriteDump Write = nullptr;
};
Capture g_Capture;

std::wstring FolderOf(const std::wstring& path) {
    const std::size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

std::wstring NoticePath(const std::wstring& folder) {
    return folder + L"last-crash.txt";
}

// The oldest dumps go, so that the newest kDumpsKept stay. Their names begin with the
// time they were written, so the order of the names is the order of the crashes.
void KeepNewestDumps(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found{};
    const HANDLE search = ::FindFirstFileW((folder + L"crash-*.dmp").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do
        names.push_back(found.cFileName);
    while (::FindNextFileW(search, &found));
    ::FindClose(search);
    std::sort(names.begin(), names.end());
    for (std::size_t i = 0; i + kDumpsKept < names.size(); ++i)
        ::DeleteFileW((folder + names[i]).c_str());
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* exception) {
    const Capture& c = g_Capture;
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    wchar_t name[64];
    // NOLINTNEXTLINE(cert-err33-c): the longest name is 36 characters
    swprintf(name, 64, L"crash-%04u%02u%02u-%02u%02u%02u-%lu.dmp", now.wYear, now.wMonth, now.wDay,
             now.wHour, now.wMinute, now.wSecond, ::GetCurrentProcessId());
    const std::wstring dump = c.Folder + name;
    bool written = false;
    if (c.Write && !c.Folder.empty()) {
        ::CreateDirectoryW(c.Folder.c_str(), nullptr);
        UniqueKernelHandle file(::CreateFileW(dump.c_str(), GENERIC_WRITE, 0, nullptr,
                                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        MINIDUMP_EXCEPTION_INFORMATION where{::GetCurrentThreadId(), exception, FALSE};
        written = file.Valid() &&
                  c.Write(::GetCurrentProcess(), ::GetCurrentProcessId(), file.Get(),
                          MiniDumpNormal, &where, nullptr, nullptr);
    }
    if (written) {
        KeepNewestDumps(c.Folder);
        UniqueKernelHandle notice(::CreateFileW(NoticePath(c.Folder).c_str(), GENERIC_WRITE, 0,
                                                nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                                nullptr));
        DWORD done = 0;
        if (notice.Valid())
            ::WriteFile(notice.Get(), dump.data(), static_cast<DWORD>(dump.size() * sizeof(wchar_t)),
                        &done, nullptr);
    } else {
        ::DeleteFileW(dump.c_str());
    }

    UpdateRecord record;
    ::GetSystemTimeAsFileTime(&record.Started);
    record.ToolVersion = KX_VERSION_TEXT_W;
    wchar_t what[160];
    // NOLINTNEXTLINE(cert-err33-c): the longest text is 62 characters
    swprintf(what, 160, L"the tool crashed: exception 0x%08lX at 0x%p; ",
             exception->ExceptionRecord->ExceptionCode, exception->ExceptionRecord->ExceptionAddress);
    record.Outcome = what + (written ? L"dump " + dump : std::wstring(L"no dump could be written"));
    AppendUpdateRecord(FormatUpdateRecord(record), c.History);
    return EXCEPTION_EXECUTE_HANDLER; // the process ends, as it would have
}

} // namespace

void InstallCrashCapture(const std::wstring& historyPath) {
    // The library stays loaded for the process's life: the filter may need it at any time.
    static const CSystemLibrary dbghelp(L"dbghelp.dll");
    const std::wstring folder = FolderOf(historyPath);
    g_Capture.Folder = folder.empty() ? folder : folder + L"crashes\\";
    g_Capture.History = historyPath;
    g_Capture.Write = dbghelp.Function<WriteDump>("MiniDumpWriteDump");
    ::SetUnhandledExceptionFilter(&OnUnhandledException);
}

std::wstring TakeCrashNotice(const std::wstring& historyPath) {
    const std::wstring folder = FolderOf(historyPath);
    if (folder.empty())
        return {};
    const std::wstring notice = NoticePath(folder + L"crashes\\");
    std::wstring dump;
    {
        UniqueKernelHandle file(::CreateFileW(notice.c_str(), GENERIC_READ, 0, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.Valid())
            return {};
        wchar_t text[MAX_PATH * 2] = {};
        DWORD read = 0;
        ::ReadFile(file.Get(), text, sizeof(text) - sizeof(wchar_t), &read, nullptr);
        dump.assign(text, read / sizeof(wchar_t));
    }
    ::DeleteFileW(notice.c_str());
    return dump;
}
