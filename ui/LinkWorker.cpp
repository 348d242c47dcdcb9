#include "ui/LinkWorker.h"

#include <algorithm>

namespace {
// The scope open on this thread, for the creation hook (which has no context of its own).
thread_local CLinkWorker::ModalScope* t_pModalScope = nullptr;
// How long a worker that has not ended when its owner goes is waited for, at the most.
constexpr DWORD kLastWaitMs = 5000;
} // namespace

CLinkWorker::~CLinkWorker() {
    m_bShutDown = true;
    if (m_bRunning) {
        m_bStop = true;
        CloseModals(false);
    }
    // A worker still running now would go on using what is about to be freed: the process
    // ends rather than let it. (A thread of the worker's own leaves after this.)
    if (!WaitForEnd(kLastWaitMs))
        ::TerminateProcess(::GetCurrentProcess(), ERROR_TIMEOUT);
}

void CLinkWorker::RunOn(CWorkerThread& thread) {
    if (!m_pThread)
        m_pThread = &thread;
}

void CLinkWorker::SetNotify(HWND window, UINT message) {
    m_hNotify = window;
    m_nNotifyMessage = message;
}

bool CLinkWorker::Start(std::function<LPARAM()> body, bool isUpdate) {
    if (m_bShutDown || m_nStopping > 0 || m_bRunning)
        return false;
    if (!m_pThread) {
        m_pOwnThread = std::make_unique<CWorkerThread>();
        m_pThread = m_pOwnThread.get();
    }
    // The last body has returned and its thread is about to say so.
    if (!WaitForEnd(kLastWaitMs))
        return false;
    m_bStop = false;
    m_bRemoved = false;
    m_bUpdate = isUpdate;
    m_bRunning = true;
    const bool started = m_pThread->Run([this, body = std::move(body)] {
        const LPARAM result = body();
        const bool update = m_bUpdate;
        m_bRunning = false;
        // This object lives until the thread is idle again: its owner waits for that.
        if (m_hNotify)
            ::PostMessageW(m_hNotify, m_nNotifyMessage, update, result);
    });
    if (!started)
        m_bRunning = false;
    return started;
}

bool CLinkWorker::Stop(DWORD timeoutMs) {
    if (!m_bRunning)
        return true;
    ++m_nStopping;
    m_bStop = true;
    CloseModals(false);
    const bool ended = WaitForEnd(timeoutMs);
    --m_nStopping;
    return ended;
}

bool CLinkWorker::Shutdown(DWORD timeoutMs) {
    m_bShutDown = true;
    return Stop(timeoutMs);
}

void CLinkWorker::OnReceiverRemoved() {
    m_bRemoved = true;
    CloseModals(true);
}

bool CLinkWorker::WaitForEnd(DWORD timeoutMs) {
    if (!m_pThread)
        return true;
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    const HANDLE idle = m_pThread->Idle();
    for (;;) {
        const ULONGLONG now = ::GetTickCount64();
        const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        // Only sent messages are answered here: the worker may be waiting for one, and
        // nothing posted (input, timers, a click) is handled in the middle of a stop.
        const DWORD wait = ::MsgWaitForMultipleObjects(1, &idle, FALSE, left, QS_SENDMESSAGE);
        if (wait == WAIT_OBJECT_0)
            return true;
        if (wait != WAIT_OBJECT_0 + 1)
            return false; // the time is up (or the wait itself failed)
        MSG msg;
        ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

bool CLinkWorker::AddModal(const Modal& modal, HWND owner, HWND rootOwner) {
    std::lock_guard<std::mutex> lock(m_ModalLock);
    const auto over = std::find_if(m_Modals.begin(), m_Modals.end(),
                                   [owner](const Modal& m) { return m.Window == owner; });
    if (!owner || (owner != rootOwner && over == m_Modals.end()))
        return true; // not over the window (the thread's input-method window, say)
    if (m_bStop)
        return false;
    // A window opened over one of the worker's (a message of the chooser's) goes with it.
    m_Modals.push_back({modal.Window, over != m_Modals.end() ? over->ForReceiver : modal.ForReceiver});
    return true;
}

void CLinkWorker::RemoveModal(HWND window) {
    std::lock_guard<std::mutex> lock(m_ModalLock);
    m_Modals.erase(std::remove_if(m_Modals.begin(), m_Modals.end(),
                                  [window](const Modal& m) { return m.Window == window; }),
                   m_Modals.end());
}

void CLinkWorker::CloseModals(bool onlyForReceiver) {
    // Newest first, as a user closing them by Escape would. Each handle is one that the
    // worker's thread created and has not destroyed yet: it is withdrawn, under this
    // lock, before it goes.
    std::lock_guard<std::mutex> lock(m_ModalLock);
    for (auto modal = m_Modals.rbegin(); modal != m_Modals.rend(); ++modal)
        if (!onlyForReceiver || modal->ForReceiver)
            ::PostMessageW(modal->Window, WM_CLOSE, 0, 0);
}

CLinkWorker::ModalScope::ModalScope(CLinkWorker& worker, HWND owner, bool forReceiver)
    : m_Worker(worker), m_hOwner(owner), m_bForReceiver(forReceiver), m_pOuter(t_pModalScope) {
    t_pModalScope = this;
    // Without the hook the worker could not close what opens here; it still opens, and a
    // stop that cannot close it ends with its bounded wait.
    m_hHook = ::SetWindowsHookExW(WH_CBT, &ModalScope::OnCbt, nullptr, ::GetCurrentThreadId());
}

CLinkWorker::ModalScope::~ModalScope() {
    if (m_hHook)
        ::UnhookWindowsHookEx(m_hHook);
    t_pModalScope = m_pOuter;
}

LRESULT CALLBACK CLinkWorker::ModalScope::OnCbt(int code, WPARAM wParam, LPARAM lParam) {
    ModalScope* scope = t_pModalScope;
    const HWND window = reinterpret_cast<HWND>(wParam);
    if (scope && code == HCBT_CREATEWND) {
        const CREATESTRUCTW* create = reinterpret_cast<CBT_CREATEWNDW*>(lParam)->lpcs;
        // A non-zero answer keeps the window from being created.
        if (!(create->style & WS_CHILD) &&
            !scope->m_Worker.AddModal({window, scope->m_bForReceiver}, create->hwndParent,
                                      scope->m_hOwner))
            return 1;
    } else if (scope && code == HCBT_DESTROYWND) {
        scope->m_Worker.RemoveModal(window);
    }
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}
