#include "link/LinkWorkers.h"

#include "link/Frames.h"
#include "link/Hid.h"
#include "ui/UpdateDlg.h"

std::atomic<std::uint32_t> g_nListenMarker{kListenMarker};
std::atomic<int> g_bUpdateDone{1};
std::uint8_t g_RxReport[65];

namespace {
enum class PassResult { Continue, DeviceGone };

// One pass of the receive loop: a report goes to the session, nothing brings a poll.
PassResult ReceiveOnce(CUpdateDlg* window) {
    CHid& hid = window->m_Hid;
    const DWORD result = hid.ReadHid(g_RxReport, sizeof(g_RxReport));
    if (result == HID_READ_OK) {
        window->DispatchReply(&g_RxReport[1], g_RxReport[0]);
        return PassResult::Continue;
    }
    if (result == HID_READ_DEVICE_GONE || hid.DeviceGone() || window->ReceiverRemoved())
        return PassResult::DeviceGone;
    SendShortCommand(CMD_POLL, 0);
    return PassResult::Continue;
}
} // namespace

unsigned ListenThread() {
    CUpdateDlg* window = g_pMainWindow;
    g_nListenMarker = kListenMarker;
    if (!window->m_Hid.OpenDevice())
        return 0;
    SendLinkFrame(SUB_QUERY_VERSION, nullptr, 0);
    do {
        // A receiver that has gone will never answer: a later arrival starts a new
        // listen worker.
        if (ReceiveOnce(window) == PassResult::DeviceGone)
            break;
    } while (g_nListenMarker == kListenMarker && !window->WorkerStopRequested());
    return 0;
}

unsigned UpdateThread() {
    CUpdateDlg* window = g_pMainWindow;
    if (!SendShortCommand(CMD_START_UPDATE, 0))
        return 0; // the button stays disabled until a later search enables it
    do {
        if (ReceiveOnce(window) == PassResult::DeviceGone) {
            // The receiver was removed in the middle: the update has failed.
            window->OnUpdateFailed();
            break;
        }
    } while (g_bUpdateDone == 0 && !window->WorkerStopRequested());
    if (!window->WorkerStopRequested())
        window->RefreshDeviceState();
    return 1;
}

void CUpdateDlg::StartListenThread() {
    g_nListenMarker = kListenMarker;
    if (IsWorkerRunning())
        return; // one worker talks to the receiver at a time
    if (!m_Hid.OpenDevice())
        return;
    LaunchWorker(&ListenThread, false);
}

void CUpdateDlg::StartUpdateThread() {
    if (IsUpdateRunning())
        return;
    // The update takes the receiver over from a listen worker still waiting for the
    // version reply.
    StopWorkers();
    if (!m_Hid.OpenDevice())
        return;
    g_bUpdateDone = 0;
    EnableUpdateButton(false);
    LaunchWorker(&UpdateThread, true);
}

void CUpdateDlg::LaunchWorker(unsigned (*body)(), bool isUpdate) {
    if (m_Worker.joinable())
        m_Worker.join(); // the previous worker has ended (IsWorkerRunning is false)
    m_bStopWorker = false;
    m_bReceiverRemoved = false;
    m_bUpdateRunning = isUpdate;
    m_bWorkerRunning = true;
    m_Worker = std::thread([this, body] {
        m_nWorkerThreadId = ::GetCurrentThreadId();
        body();
        m_bUpdateRunning = false;
        m_bWorkerRunning = false;
        PostMessage(WM_KX_WORKER_ENDED);
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
    // answering them while waiting, or both would wait for ever.
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

LRESULT CUpdateDlg::OnWorkerEnded(WPARAM, LPARAM) {
    if (m_bListenPending && !IsWorkerRunning()) {
        m_bListenPending = false;
        if (m_Hid.FindDevice() && g_nLastDeviceMode == 1)
            StartListenThread();
    }
    return 0;
}

LRESULT CUpdateDlg::OnStartSessionTimer(WPARAM, LPARAM) {
    SetTimer(1, 100);
    return 0;
}
