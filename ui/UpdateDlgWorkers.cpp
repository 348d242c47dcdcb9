// The main window's link workers: the listen worker that asks a mode-1 receiver for its
// version, and the update worker that runs an update session. One worker talks to the
// receiver at a time; the window stops and joins it before it goes.
#include "ui/UpdateDlg.h"

#include "link/Frames.h"

void CUpdateDlg::StartListenThread() {
    g_nListenMarker = kListenMarker;
    if (IsWorkerRunning())
        return; // one worker talks to the receiver at a time
    if (!m_Hid.OpenDevice())
        return;
    LaunchWorker(
        [this] { ListenThread(m_Hid, m_VersionListener, m_bStopWorker, m_bReceiverRemoved); },
        false);
}

void CUpdateDlg::StartUpdateThread() {
    if (IsUpdateRunning())
        return;
    // The update takes the receiver over from a listen worker still waiting for the
    // version reply.
    StopWorkers();
    if (!m_Hid.OpenDevice())
        return;
    EnableUpdateButton(false);
    BeginRecord();
    m_pCurrentSession = nullptr;
    m_pSession = std::make_unique<CUpdateSession>(m_Hid, *this);
    m_pSession->SetReplyDeadline(m_nReplyDeadlineMs);
    m_pCurrentSession = m_pSession.get();
    CUpdateSession* session = m_pSession.get();
    LaunchWorker(
        [this, session] {
            session->Run(m_bStopWorker, m_bReceiverRemoved);
            if (!m_bStopWorker)
                RefreshDeviceState();
        },
        true);
}

void CUpdateDlg::LaunchWorker(std::function<void()> body, bool isUpdate) {
    if (m_Worker.joinable())
        m_Worker.join(); // the previous worker has ended (IsWorkerRunning is false)
    m_bStopWorker = false;
    m_bReceiverRemoved = false;
    m_bUpdateRunning = isUpdate;
    m_bWorkerRunning = true;
    m_Worker = std::thread([this, isUpdate, body = std::move(body)] {
        m_nWorkerThreadId = ::GetCurrentThreadId();
        body();
        const bool versionSeen = g_nListenMarker != kListenMarker;
        m_bUpdateRunning = false;
        m_bWorkerRunning = false;
        PostMessage(WM_KX_WORKER_ENDED, isUpdate, versionSeen);
    });
}

namespace {
// Closes whatever modal window the worker shows (a prompt, the file chooser), as
// Escape would, so it can come back to its loop and see that it must stop.
BOOL CALLBACK CloseWorkerWindow(HWND hwnd, LPARAM) {
    if (::IsWindowVisible(hwnd))
        ::PostMessageW(hwnd, WM_CLOSE, 0, 0);
    return TRUE;
}
} // namespace

void CUpdateDlg::StopWorkers() {
    if (!m_Worker.joinable())
        return;
    m_bStopWorker = true;
    // The worker changes controls with synchronous messages to this thread: keep
    // answering them while waiting, or both would wait for ever. Its reads and writes
    // end within their time-outs.
    while (m_bWorkerRunning) {
        if (const DWORD worker = m_nWorkerThreadId)
            ::EnumThreadWindows(worker, CloseWorkerWindow, 0);
        MSG msg;
        ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_SENDMESSAGE);
    }
    m_Worker.join();
    m_bStopWorker = false;
}

LRESULT CUpdateDlg::OnWorkerEnded(WPARAM wasUpdate, LPARAM versionSeen) {
    if (wasUpdate)
        CompleteRecord();
    else if (versionSeen)
        OnVersionAfterUpdate();
    if (IsWorkerRunning())
        return 0; // a newer worker has started meanwhile
    if (m_bShutdownBlocked && !(m_pSession && m_pSession->Updating())) {
        ::ShutdownBlockReasonDestroy(m_hWnd);
        m_bShutdownBlocked = false;
    }
    // What arrived while the worker ran, or asked to switch modes, is dealt with now.
    if (m_bSearchPending) {
        m_bSearchPending = false;
        if (m_Hid.FindDevice()) {
            if (g_nLastDeviceMode == 1)
                StartListenThread();
            else if (g_nLastDeviceMode == 2)
                RequestModeSwitch();
        }
    }
    return 0;
}
