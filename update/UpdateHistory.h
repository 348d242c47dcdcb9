// The update history: one record for every update the user starts, kept in a plain
// UTF-8 text file for support (%LOCALAPPDATA%\Kestrix\OV Tools\history.log).
#pragma once

#include <windows.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

class CUpdateSession;

// One update as the history keeps it. An update the user confirms has two records: one
// written before anything is sent (Confirmed), and one when it has ended, both with its
// UpdateId; a confirmed record with no record after it of the same id is an update that
// never ended (the tool was killed, crashed, or the machine lost power).
struct UpdateRecord {
    FILETIME Started{}; // when the Update button was pressed (UTC)
    std::wstring UpdateId;
    bool Confirmed = false; // the record written at the confirmation
    std::wstring ToolVersion;
    // The receiver, as it was when the update started.
    std::uint16_t VendorID = 0;
    std::uint16_t ProductID = 0;
    int DeviceMode = 0;
    std::wstring VersionBefore; // empty: not known
    // The image, when one was chosen.
    std::wstring ImagePath;
    std::wstring ConfirmationText; // as the user was asked to confirm it
    std::wstring ImageVersion;     // as the confirmation showed it (V1.36)
    bool ImageRead = false;
    std::uint32_t DataLength = 0;
    std::uint64_t BytesSent = 0;
    bool HeaderSent = false;
    std::wstring Sha256; // of the header as stored and the data bytes sent; empty: none sent
    // How it ended.
    std::wstring Outcome;
    ULONGLONG DurationMs = 0;
    std::wstring VersionAfter; // as reported after the reboot; empty: not seen
};

// The file's text for one record: lines of "  label: value", CRLF, a blank line after.
std::string FormatUpdateRecord(const UpdateRecord& record);

// The image and outcome parts of a record, from a session that has ended.
void DescribeSession(const CUpdateSession& session, UpdateRecord* record);
// The record written when the user has confirmed the session's image: the image, its
// version and the SHA-256 of what is about to be sent.
void DescribeConfirmedSession(const CUpdateSession& session, UpdateRecord* record);

// The name of the mark a copy of the tool holds (a named mutex) from the confirmation of
// the update with this id until its last record is written.
std::wstring RunningUpdateMarkName(const std::wstring& updateId);

// Adds, to the history at path, a record for every update that was confirmed and never
// ended and that no copy of the tool still holds: the same update, marked interrupted.
// Returns the image versions of those updates, oldest first; empty when there were none
// or the history could not be read or written.
std::vector<std::wstring> MarkInterruptedUpdates(const std::wstring& path);

// The history file: %LOCALAPPDATA%\Kestrix\OV Tools\history.log. Empty when there is
// no such folder.
std::wstring UpdateHistoryPath();

// The lock every copy of the tool takes to write the history.
constexpr wchar_t kHistoryLockName[] = L"Local\\Kestrix.OVTools.History";

// The most the history keeps: older records are dropped, whole, to stay within it.
constexpr std::uint64_t kHistoryLimit = std::uint64_t{1024} * 1024;

// Adds a record to the history file, creating its folder and the file when needed and
// dropping the oldest records, whole, to keep within kHistoryLimit, and writes it through
// to the disk. Records of tools running at once never interleave: the file is written
// under a lock shared by every copy of the tool. False when it could not be written; the
// caller carries on regardless.
bool AppendUpdateRecord(const std::string& text, const std::wstring& path);

// Bytes to hash, one run of them.
struct ByteRange {
    const void* Data;
    std::size_t Size;
};

// The SHA-256 of the ranges one after the other, as 64 lower-case hexadecimal digits,
// computed with the platform's own hashing; empty when that is not available.
std::wstring Sha256Hex(std::initializer_list<ByteRange> ranges);
