#include "ui/WorkerThread.h"

namespace {
constexpr DWORD kLeaveWaitMs = 5000;
} // namespace

CWorkerThread::CWorkerThread()
    : m_hWork(::CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      m_hIdle(::CreateEventW(nullptr, TRUE, TRUE, nullptr)) {}

CWorkerThread::~CWorkerThread() {
    if (!m_hThread.Valid())
        return;
    m_bLeave = true;
    ::SetEvent(m_hWork.Get());
    if (::WaitForSingleObject(m_hThread.Get(), kLeaveWaitMs) != WAIT_OBJECT_0)
        ::TerminateProcess(::GetCurrentProcess(), ERROR_TIMEOUT);
}

bool CWorkerThread::Run(std::function<void()> body) {
    if (!m_hWork.Valid() || !m_hIdle.Valid())
        return false;
    if (!m_hThread.Valid()) {
        m_hThread.Reset(::CreateThread(nullptr, 0, &CWorkerThread::ThreadMain, this, 0, nullptr));
        if (!m_hThread.Valid())
            return false;
    }
    if (::WaitForSingleObject(m_hIdle.Get(), 0) != WAIT_OBJECT_0)
        return false;
    m_Body = std::move(body);
    ::ResetEvent(m_hIdle.Get());
    ::SetEvent(m_hWork.Get());
    return true;
}

DWORD WINAPI CWorkerThread::ThreadMain(void* param) {
    // The object outlives this thread: its destructor waits for the thread to leave.
    auto* self = static_cast<CWorkerThread*>(param);
    while (::WaitForSingleObject(self->m_hWork.Get(), INFINITE) == WAIT_OBJECT_0 &&
           !self->m_bLeave) {
        self->m_Body();
        self->m_Body = nullptr;
        ::SetEvent(self->m_hIdle.Get());
    }
    return 0;
}
