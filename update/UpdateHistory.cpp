#include "update/UpdateHistory.h"

#include <bcrypt.h>
#include <shlobj.h>

#include <algorithm>
#include <map>
#include <cstdio>
#include <cwchar>
#include <mutex>

#include "framework/SystemLibrary.h"
#include "link/UniqueKernelHandle.h"
#include "update/FirmwareImage.h"
#include "update/UpdateSession.h"

namespace {

constexpr char kRecordStart[] = "Kestrix OV Tools update at ";
constexpr DWORD kLockWaitMs = 2000;
constexpr char kConfirmedOutcome[] =
    "started: the image is being sent (a record of how it ended follows)";
constexpr char kInterruptedOutcome[] =
    "interrupted: the tool ended before the update did (found when it next started)";

std::string Utf8(const std::wstring& text) {
    if (text.empty())
        return {};
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                          nullptr, nullptr);
    return out;
}

// Local date and time, ISO 8601 with the offset from UTC: 2026-12-08T21:03:12+01:00.
std::string LocalTimeText(const FILETIME& utc) {
    SYSTEMTIME utcTime{}, localTime{};
    FILETIME localFile{};
    if (!::FileTimeToSystemTime(&utc, &utcTime) ||
        !::SystemTimeToTzSpecificLocalTime(nullptr, &utcTime, &localTime) ||
        !::SystemTimeToFileTime(&localTime, &localFile))
        return "unknown time";
    const auto ticks = [](const FILETIME& t) {
        return static_cast<long long>((static_cast<ULONGLONG>(t.dwHighDateTime) << 32) |
                                      t.dwLowDateTime);
    };
    const long long minutes = (ticks(localFile) - ticks(utc)) / 600000000LL;
    const long long away = minutes < 0 ? -minutes : minutes;
    char text[40];
    // NOLINTNEXTLINE(cert-err33-c): the time is 25 characters
    snprintf(text, sizeof(text), "%04u-%02u-%02uT%02u:%02u:%02u%c%02lld:%02lld", localTime.wYear,
             localTime.wMonth, localTime.wDay, localTime.wHour, localTime.wMinute,
             localTime.wSecond, minutes < 0 ? '-' : '+', away / 60, away % 60);
    return text;
}

std::string Line(const char* label, const std::string& value) {
    char head[40];
    // NOLINTNEXTLINE(cert-err33-c): the labels are the record's own, all shorter
    snprintf(head, sizeof(head), "  %-18s", label);
    return head + value + "\r\n";
}

std::wstring SystemErrorText(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = L"system error " + std::to_wstring(error);
    if (length && text) {
        std::wstring said(text, length);
        while (!said.empty() &&
               (said.back() == L'\n' || said.back() == L'\r' || said.back() == L' '))
            said.pop_back();
        message += L" (" + said + L")";
    }
    ::LocalFree(text);
    return message;
}

std::wstring OutcomeText(const CUpdateSession& session) {
    const auto total = static_cast<std::uint32_t>(ImageBlocks(session.Image().Header.DataLength));
    const std::wstring where =
        L"after block " + std::to_wstring(session.Blocks()) +
        (session.Image().Data.empty() ? L"" : L" of " + std::to_wstring(total));
    const std::wstring step = [&]() -> std::wstring {
        switch (session.EndedIn()) {
        case SessionPhase::Starting:
            return L"the start command";
        case SessionPhase::WaitingReady:
            return L"the ready reply";
        case SessionPhase::Choosing:
            return L"the header";
        case SessionPhase::HeaderSent:
        case SessionPhase::Sending:
            return L"block " + std::to_wstring(session.Blocks() + 1);
        case SessionPhase::DataDone:
            return L"the finish command";
        case SessionPhase::Ended:
            break;
        }
        return L"?";
    }();
    wchar_t code[8];
    // NOLINTNEXTLINE(cert-err33-c): a byte is 4 characters
    swprintf(code, 8, L"0x%02X", session.FailureCode());
    switch (session.Outcome()) {
    case SessionOutcome::Succeeded:
        return L"success";
    case SessionOutcome::Declined:
        return session.ConfirmationText().empty()
                   ? L"declined: the file chooser was closed without a file"
                   : L"declined: the confirmation was answered Cancel";
    case SessionOutcome::Refused:
        return L"image refused: " + ImageCheckText(session.RefusedBecause());
    case SessionOutcome::FailureCode:
        return L"failure code " + std::wstring(code) + L" from the receiver " + where;
    case SessionOutcome::WriteFailed:
        return L"the write of " + step + L" failed, " + where + L": " +
               SystemErrorText(session.WriteError());
    case SessionOutcome::Removed:
        return L"the receiver was removed " + where;
    case SessionOutcome::Deadline:
        return L"no reply from the receiver for " +
               std::to_wstring(session.ReplyDeadline() / 1000) + L" s, waiting for " +
               (session.EndedIn() == SessionPhase::WaitingReady ? std::wstring(L"the ready reply")
                                                                : L"its next request") +
               L", " + where;
    case SessionOutcome::AckedEarly:
        return L"the receiver acknowledged the end before the whole image had gone, " + where;
    case SessionOutcome::Aborted:
        return L"the user aborted the update " + where;
    case SessionOutcome::Running:
        break;
    }
    return L"unknown";
}

// Where the tools' records begin, at or after `from`: the start of the text or a line
// that starts a record.
std::size_t RecordStartAtOrAfter(const std::string& text, std::size_t from) {
    if (from == 0)
        return 0;
    const std::string marker = std::string("\n") + kRecordStart;
    const std::size_t at = text.find(marker, from - 1);
    return at == std::string::npos ? text.size() : at + 1;
}

bool WriteAll(HANDLE file, const std::string& bytes) {
    DWORD written = 0;
    return ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

bool ReadAll(HANDLE file, std::string* bytes) {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file, &size) || size.QuadPart > static_cast<LONGLONG>(4 * kHistoryLimit))
        return false;
    bytes->resize(static_cast<std::size_t>(size.QuadPart));
    DWORD read = 0;
    return bytes->empty() ||
           (::ReadFile(file, bytes->data(), static_cast<DWORD>(bytes->size()), &read, nullptr) &&
            read == bytes->size());
}

// The file as it is to be: the newest records that fit with the new one, then it.
std::string Trimmed(const std::string& old, const std::string& record) {
    const std::size_t room = kHistoryLimit > record.size() ? kHistoryLimit - record.size() : 0;
    const std::size_t from = old.size() > room ? old.size() - room : 0;
    return old.substr(RecordStartAtOrAfter(old, from)) + record;
}

} // namespace

std::string FormatUpdateRecord(const UpdateRecord& r) {
    char number[64];
    std::string text = kRecordStart + LocalTimeText(r.Started) + "\r\n";
    if (!r.UpdateId.empty())
        text += Line("Update ID:", Utf8(r.UpdateId));
    text += Line("Tool version:", Utf8(r.ToolVersion));
    // NOLINTNEXTLINE(cert-err33-c): at most 47 characters
    snprintf(number, sizeof(number), "VID 0x%04X, PID 0x%04X, device mode %d", r.VendorID,
             r.ProductID, r.DeviceMode);
    text += Line("Receiver:", number);
    text += Line("Firmware before:", r.VersionBefore.empty() ? "not known" : Utf8(r.VersionBefore));
    if (!r.ImagePath.empty()) {
        text += Line("Image:", Utf8(r.ImagePath));
        if (r.ImageRead) {
            text += Line("Confirmed as:", Utf8(r.ConfirmationText));
            if (!r.ImageVersion.empty())
                text += Line("Image version:", Utf8(r.ImageVersion));
            text += Line("DataLength:", std::to_string(r.DataLength));
            if (r.Confirmed) {
                text += Line("Image SHA-256:", Utf8(r.Sha256) + " (header and data to send)");
            } else {
                text += Line("Bytes sent:", std::to_string(r.BytesSent));
                text += Line("Image SHA-256:", r.HeaderSent
                                                   ? Utf8(r.Sha256) + " (header and data sent)"
                                                   : "nothing sent");
            }
        }
    }
    if (r.Confirmed) {
        text += Line("Outcome:", kConfirmedOutcome);
        return text + "\r\n";
    }
    text += Line("Outcome:", Utf8(r.Outcome));
    // NOLINTNEXTLINE(cert-err33-c): a 64-bit count of milliseconds is 20 digits at most
    snprintf(number, sizeof(number), "%.1f s", static_cast<double>(r.DurationMs) / 1000.0);
    text += Line("Duration:", number);
    if (!r.VersionAfter.empty())
        text += Line("Firmware after:", Utf8(r.VersionAfter));
    return text + "\r\n";
}

void DescribeSession(const CUpdateSession& session, UpdateRecord* record) {
    record->ImagePath = session.FirmwarePath();
    record->ConfirmationText = session.ConfirmationText();
    record->ImageRead = !session.ConfirmationText().empty();
    record->DataLength = session.Image().Header.DataLength;
    record->BytesSent = session.SentLength();
    record->HeaderSent = session.HeaderWritten();
    if (record->HeaderSent)
        record->Sha256 = Sha256Hex(
            {{&session.Image().Header, sizeof(FirmwareHeader)},
             {session.Image().Data.data(), static_cast<std::size_t>(session.SentLength())}});
    record->ImageVersion = session.ConfirmationText().empty()
                               ? std::wstring()
                               : FormatVersionText(session.Image().Header.VersionWord);
    record->Outcome = OutcomeText(session);
}

void DescribeConfirmedSession(const CUpdateSession& session, UpdateRecord* record) {
    DescribeSession(session, record);
    record->Confirmed = true;
    record->Sha256 =
        Sha256Hex({{&session.Image().Header, sizeof(FirmwareHeader)},
                   {session.Image().Data.data(), session.Image().Data.size()}});
}

std::wstring RunningUpdateMarkName(const std::wstring& updateId) {
    return L"Local\\Kestrix.OVTools.Update." + updateId;
}

std::wstring UpdateHistoryPath() {
    wchar_t* folder = nullptr;
    std::wstring path;
    if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &folder)) && folder)
        path = std::wstring(folder) + L"\\Kestrix\\OV Tools\\history.log";
    ::CoTaskMemFree(folder);
    return path;
}

namespace {

// The lock every copy of the tool takes to write the history, held for the object's life
// once had; not had within its wait, the history is left alone rather than anything held
// up.
class HistoryLock {
public:
    HistoryLock() : m_Lock(::CreateMutexW(nullptr, FALSE, kHistoryLockName)) {
        if (m_Lock.Valid()) {
            const DWORD wait = ::WaitForSingleObject(m_Lock.Get(), kLockWaitMs);
            m_bHeld = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
        }
    }
    ~HistoryLock() {
        if (m_bHeld)
            ::ReleaseMutex(m_Lock.Get());
    }
    HistoryLock(const HistoryLock&) = delete;
    HistoryLock& operator=(const HistoryLock&) = delete;
    bool Held() const { return m_bHeld; }

private:
    UniqueKernelHandle m_Lock;
    bool m_bHeld = false;
};

// AppendUpdateRecord, with the lock held.
bool AppendLocked(const std::string& text, const std::wstring& path) {
    UniqueKernelHandle file(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                          FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!file.Valid() || !::GetFileSizeEx(file.Get(), &size))
        return false;
    if (static_cast<std::uint64_t>(size.QuadPart) + text.size() <= kHistoryLimit) {
        LARGE_INTEGER end{};
        return ::SetFilePointerEx(file.Get(), end, nullptr, FILE_END) &&
               WriteAll(file.Get(), text) && ::FlushFileBuffers(file.Get());
    }
    // Too long with the new record: the oldest go, whole records only, by way of a new
    // file that takes the old one's place once it is complete.
    std::string old;
    const std::wstring fresh = path + L".new";
    bool written = false;
    if (ReadAll(file.Get(), &old)) {
        UniqueKernelHandle replacement(::CreateFileW(fresh.c_str(), GENERIC_WRITE, 0, nullptr,
                                                     CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        written = replacement.Valid() && WriteAll(replacement.Get(), Trimmed(old, text)) &&
                  ::FlushFileBuffers(replacement.Get());
    }
    file.Reset();
    written = written && ::MoveFileExW(fresh.c_str(), path.c_str(),
                                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!written)
        ::DeleteFileW(fresh.c_str());
    return written;
}

// The value of a record's "  label: value" line, without its line end; empty when the
// record has no such line.
std::string RecordValue(const std::string& record, const char* label) {
    const std::string head = std::string("\n  ") + label;
    const std::size_t at = record.find(head);
    if (at == std::string::npos)
        return {};
    std::size_t from = at + head.size();
    while (from < record.size() && record[from] == ' ')
        ++from;
    const std::size_t end = record.find("\r\n", from);
    return record.substr(from, end == std::string::npos ? std::string::npos : end - from);
}

std::wstring Wide(const std::string& utf8) {
    if (utf8.empty())
        return {};
    const int size = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                           nullptr, 0);
    std::wstring out(static_cast<std::size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), size);
    return out;
}

} // namespace

bool AppendUpdateRecord(const std::string& text, const std::wstring& path) {
    if (path.empty() || text.empty())
        return false;
    // The folders on the way, as far as they are missing.
    for (std::size_t at = path.find(L'\\', 3); at != std::wstring::npos;
         at = path.find(L'\\', at + 1))
        ::CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    HistoryLock lock;
    return lock.Held() && AppendLocked(text, path);
}

std::vector<std::wstring> MarkInterruptedUpdates(const std::wstring& path) {
    if (path.empty())
        return {};
    HistoryLock lock; // no other copy marks the same update, or writes meanwhile
    std::string text;
    {
        UniqueKernelHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!lock.Held() || !file.Valid() || !ReadAll(file.Get(), &text))
            return {};
    }
    std::vector<std::string> records;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t next = RecordStartAtOrAfter(text, at + 1);
        records.push_back(text.substr(at, next - at));
        at = next;
    }
    // Where each update's last record is: one pass, so a full history (some thousands
    // of records) costs the start next to nothing.
    std::map<std::string, std::size_t> last;
    for (std::size_t i = 0; i < records.size(); ++i) {
        std::string id = RecordValue(records[i], "Update ID:");
        if (!id.empty())
            last[std::move(id)] = i;
    }
    std::vector<std::wstring> versions;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const std::string id = RecordValue(records[i], "Update ID:");
        if (id.empty() || last[id] != i || RecordValue(records[i], "Outcome:") != kConfirmedOutcome)
            continue; // not confirmed, or its update has a later record
        UniqueKernelHandle running(
            ::OpenMutexW(SYNCHRONIZE, FALSE, RunningUpdateMarkName(Wide(id)).c_str()));
        if (running.Valid())
            continue;
        std::string interrupted = records[i];
        const std::size_t outcome = interrupted.find(kConfirmedOutcome);
        interrupted.replace(outcome, sizeof(kConfirmedOutcome) - 1, kInterruptedOutcome);
        if (AppendLocked(interrupted, path))
            versions.push_back(Wide(RecordValue(records[i], "Image version:")));
    }
    return versions;
}

std::wstring Sha256Hex(std::initializer_list<ByteRange> ranges) {
    // The platform's hashing, from the system folder only.
    static const CSystemLibrary bcrypt(L"bcrypt.dll");
    using Open = NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE*, LPCWSTR, LPCWSTR, ULONG);
    using Close = NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE, ULONG);
    using Create = NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE, BCRYPT_HASH_HANDLE*, PUCHAR, ULONG, PUCHAR,
                                     ULONG, ULONG);
    using Data = NTSTATUS(WINAPI*)(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG);
    using Finish = NTSTATUS(WINAPI*)(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG);
    using Destroy = NTSTATUS(WINAPI*)(BCRYPT_HASH_HANDLE);
    const auto open = bcrypt.Function<Open>("BCryptOpenAlgorithmProvider");
    const auto close = bcrypt.Function<Close>("BCryptCloseAlgorithmProvider");
    const auto create = bcrypt.Function<Create>("BCryptCreateHash");
    const auto data = bcrypt.Function<Data>("BCryptHashData");
    const auto finish = bcrypt.Function<Finish>("BCryptFinishHash");
    const auto destroy = bcrypt.Function<Destroy>("BCryptDestroyHash");
    if (!open || !close || !create || !data || !finish || !destroy)
        return {};

    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (open(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) < 0)
        return {};
    BCRYPT_HASH_HANDLE hash = nullptr;
    UCHAR digest[32] = {};
    bool ok = create(algorithm, &hash, nullptr, 0, nullptr, 0, 0) >= 0;
    for (const ByteRange& range : ranges) {
        // In pieces a ULONG can count.
        auto* bytes = static_cast<PUCHAR>(const_cast<void*>(range.Data));
        for (std::size_t done = 0; ok && done < range.Size;) {
            const ULONG piece =
                static_cast<ULONG>(std::min<std::size_t>(range.Size - done, 1u << 30));
            ok = data(hash, bytes + done, piece, 0) >= 0;
            done += piece;
        }
    }
    ok = ok && finish(hash, digest, sizeof(digest), 0) >= 0;
    if (hash)
        destroy(hash);
    close(algorithm, 0);
    if (!ok)
        return {};
    std::wstring hex;
    for (UCHAR byte : digest) {
        wchar_t two[3];
        // NOLINTNEXTLINE(cert-err33-c): a byte is two digits
        swprintf(two, 3, L"%02x", byte);
        hex += two;
    }
    return hex;
}
