// The main window's part in the update history: what it knows of an update (when it
// began, the receiver and its version, the version after the reboot) joined to what the
// session knows, written once the update is over. Writing never holds an update up: it
// happens on the window's thread after the update worker has ended, and a history that
// cannot be written is passed over without a word.
#include "ui/UpdateDlg.h"

#include "KestrixVersion.h"
#include "update/locale/Localization.h"

namespace {
// How long a finished update's record waits for the receiver to report its new version.
constexpr UINT kVersionWaitMs = 60000;

// A text of the language in use with its one "%s" filled in.
std::wstring Filled(int index, const std::wstring& value) {
    std::wstring text = LoadLocalizedString(index);
    const std::size_t at = text.find(L"%s");
    if (at != std::wstring::npos)
        text.replace(at, 2, value);
    return text;
}
} // namespace

void CUpdateDlg::PrepareStartNotice() {
    // The last update that never ended, and where an earlier crash's dump is, in one
    // prompt.
    const std::vector<std::wstring> interrupted = MarkInterruptedUpdates(m_HistoryPath);
    m_StartNotice.clear();
    if (!interrupted.empty())
        m_StartNotice = Filled(TXT_UPDATE_INTERRUPTED, interrupted.back());
    if (!m_CrashDump.empty())
        m_StartNotice +=
            (m_StartNotice.empty() ? L"" : L"\n\n") + Filled(TXT_CRASH_SAVED, m_CrashDump);
    if (!m_StartNotice.empty())
        PostMessage(WM_KX_TELL_AT_START); // once the window shows
}

void CUpdateDlg::BeginRecord() {
    WriteRecord(); // the last update's, if it still waits for its version
    UpdateRecord record;
    ::GetSystemTimeAsFileTime(&record.Started);
    record.UpdateId = std::to_wstring(::GetCurrentProcessId()) + L"-" +
                      std::to_wstring((static_cast<ULONGLONG>(record.Started.dwHighDateTime) << 32) |
                                      record.Started.dwLowDateTime);
    record.ToolVersion = KX_VERSION_TEXT_W;
    const unsigned mode = m_Hid.LastMode();
    if (const DeviceEntry* row = DeviceRow(mode)) {
        record.VendorID = row->VendorID;
        record.ProductID = row->ProductID;
    }
    record.DeviceMode = static_cast<int>(mode);
    record.VersionBefore = VersionText();
    m_Record = std::move(record);
    m_bRecordComplete = false;
    m_nUpdateStartedAt = ::GetTickCount64();
}

void CUpdateDlg::UpdateConfirmed() {
    // Written through before the header goes, on the window's thread, which owns the
    // record: the worker waits for it.
    SendMessage(WM_KX_UPDATE_CONFIRMED);
}

LRESULT CUpdateDlg::OnUpdateConfirmed(WPARAM, LPARAM) {
    if (!m_Record || !m_pSession)
        return 0;
    m_hRunningMark.Reset(
        ::CreateMutexW(nullptr, FALSE, RunningUpdateMarkName(m_Record->UpdateId).c_str()));
    UpdateRecord confirmed = *m_Record;
    DescribeConfirmedSession(*m_pSession, &confirmed);
    AppendUpdateRecord(FormatUpdateRecord(confirmed), m_HistoryPath);
    return 0;
}

LRESULT CUpdateDlg::OnTellAtStart(WPARAM, LPARAM) {
    ShowPrompt(m_StartNotice, PROMPT_OK);
    return 0;
}

void CUpdateDlg::CompleteRecord() {
    if (!m_Record || m_bRecordComplete || !m_pSession || !m_pSession->Done())
        return;
    DescribeSession(*m_pSession, &*m_Record);
    m_Record->DurationMs = m_pSession->EndedAt() - m_nUpdateStartedAt;
    m_bRecordComplete = true;
    if (m_pSession->Outcome() == SessionOutcome::Succeeded)
        SetTimer(kHistoryTimer, kVersionWaitMs);
    else
        WriteRecord();
}

void CUpdateDlg::OnVersionAfterUpdate() {
    if (m_Record && m_bRecordComplete) {
        m_Record->VersionAfter = VersionText();
        WriteRecord();
    }
}

void CUpdateDlg::WriteRecord() {
    CompleteRecord(); // an update whose worker was stopped before it could say so
    if (!m_Record || !m_bRecordComplete)
        return;
    KillTimer(kHistoryTimer);
    AppendUpdateRecord(FormatUpdateRecord(*m_Record), m_HistoryPath);
    m_Record.reset();
    m_hRunningMark.Reset();
}
