// The main window's link workers: the listen worker that asks a mode-1 receiver for its
// version, and the update worker that runs an update session, one at a time on m_Worker;
// and the window's teardown, which shuts that worker down once, within a bound.
#include "ui/UpdateDlg.h"

#include "link/Frames.h"

namespace {
// How long a listen worker is given to let go of the receiver for an update, and a worker
// to end when the window goes: its reads and writes end within their time-outs, and the
// windows it shows are closed for it.
constexpr DWORD kStopMs = 4000;
} // namespace

void CUpdateDlg::StartListenThread() {
    if (m_bClosing || IsWorkerRunning())
        return; // one worker talks to the receiver at a time
    if (!m_Hid.OpenDevice())
        return;
    m_VersionListener.Reset();
    m_Worker.Start(
        [this]() -> LPARAM {
            ListenThread(m_Hid, m_VersionListener, m_Worker.StopRequested(),
                         m_Worker.ReceiverRemoved());
            return m_VersionListener.Heard();
        },
        false);
}

void CUpdateDlg::StartUpdateThread() {
    if (m_bClosing || IsUpdateRunning())
        return;
    // The update takes the receiver over from a listen worker still waiting for the
    // version reply. The window may have begun to close meanwhile.
    if (!m_Worker.Stop(kStopMs) || m_bClosing)
        return;
    if (!m_Hid.OpenDevice())
        return;
    EnableUpdateButton(false);
    BeginRecord();
    m_pCurrentSession = nullptr;
    m_pSession = std::make_unique<CUpdateSession>(m_Hid, *this);
    m_pSession->SetReplyDeadline(m_nReplyDeadlineMs);
    m_pCurrentSession = m_pSession.get();
    CUpdateSession* session = m_pSession.get();
    const bool started = m_Worker.Start(
        [this, session]() -> LPARAM {
            session->Run(m_Worker.StopRequested(), m_Worker.ReceiverRemoved());
            return 0;
        },
        true);
    if (!started) {
        m_Record.reset();
        EnableUpdateButton(true);
    }
}

LRESULT CUpdateDlg::OnWorkerEnded(WPARAM wasUpdate, LPARAM versionSeen) {
    if (wasUpdate)
        CompleteRecord();
    else if (versionSeen)
        OnVersionAfterUpdate();
    ReleaseShutdownBlock();
    if (m_bClosing)
        return 0;
    // The update worker held the Update button while it ran, and a receiver that came back
    // meanwhile (rebooting with its new firmware) left it so: what is present now decides.
    if (wasUpdate)
        RefreshDeviceState();
    if (IsWorkerRunning())
        return 0;
    // What arrived while the worker ran, or asked to switch modes, is dealt with now.
    if (m_bSearchPending) {
        m_bSearchPending = false;
        if (m_Hid.FindDevice()) {
            if (m_Hid.LastMode() == 1)
                StartListenThread();
            else if (m_Hid.LastMode() == 2)
                RequestModeSwitch(m_Hid);
        }
    }
    return 0;
}

void CUpdateDlg::TearDown() {
    if (m_bClosing)
        return; // once: nothing inside can start it again
    m_bClosing = true;
    // No notification, timer or click may start anything from here on.
    m_Hid.UnregisterDeviceChange();
    if (m_hWnd)
        KillTimer(kModeSwitchTimer);
    const bool ended = m_Worker.Shutdown(kStopMs);
    WriteRecord();
    ReleaseShutdownBlock();
    // A worker that cannot be stopped would go on using the window and the device once
    // they are gone: the tool ends here rather than let it.
    if (!ended)
        ::TerminateProcess(::GetCurrentProcess(), ERROR_TIMEOUT);
}
