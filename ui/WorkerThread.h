// CWorkerThread: one thread that runs the bodies it is given, one at a time, made at the
// first Run and kept until the object ends.
//
// The link workers run on one such thread for the window's life rather than on a thread
// each. The platform's file chooser registers its thread's COM apartment for remote calls,
// and under Wine that registration outlives the thread: the process's one RPC listener
// waits on every apartment ever registered, at most 64, and once there are more the next
// chooser waits for it for ever (seen at the 64th thread that opened one). One thread is
// one apartment, however many updates the user runs.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>

#include "link/UniqueKernelHandle.h"

class CWorkerThread {
public:
    CWorkerThread();
    // Asks the thread to leave after its body, and waits for it a bounded time; a thread
    // that does not leave would run on in what is being freed, so the process ends then.
    ~CWorkerThread();
    CWorkerThread(const CWorkerThread&) = delete;
    CWorkerThread& operator=(const CWorkerThread&) = delete;

    // Runs body on the thread. False, running nothing, while a body runs or when the
    // thread cannot be made.
    bool Run(std::function<void()> body);
    // Set while no body runs.
    HANDLE Idle() const { return m_hIdle.Get(); }

private:
    static DWORD WINAPI ThreadMain(void* self);

    std::function<void()> m_Body;
    UniqueKernelHandle m_hThread;
    UniqueKernelHandle m_hWork; // auto-reset: a body waits to run, or the thread to leave
    UniqueKernelHandle m_hIdle; // manual-reset
    std::atomic<bool> m_bLeave{false};
};
