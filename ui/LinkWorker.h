// CLinkWorker: the main window's one thread that talks to the receiver, from its start to
// its bounded end. The window starts a listen worker or an update worker on it, one at a
// time, asks it to stop when the update takes over the receiver or the receiver goes, and
// shuts it down once when the window goes: after that nothing starts on it again.
//
// Every worker runs on one CWorkerThread: the worker's own, made at the first start and
// kept for the window's life, or one lent to it for longer (see RunOn).
//
// The prompts and the file chooser an update shows are modal windows of the worker's own
// thread. Whatever the worker shows inside a ModalScope is known to the worker by its
// handle, so a stop closes exactly those windows (as Escape would), and the receiver's
// removal those that ask something of the user for that receiver, never a window of any
// other thread or program; once a stop has been asked for, the worker's thread cannot
// open another.
//
// Start, Stop and Shutdown run on the window's thread. While they wait for the worker they
// answer the messages other threads send to it (the worker changes controls with
// synchronous messages); a Start asked for meanwhile, by a notification handled then, is
// refused, and a Stop or Shutdown asked for meanwhile waits for the same thread.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "ui/WorkerThread.h"

class CLinkWorker {
public:
    CLinkWorker() = default;
    ~CLinkWorker();
    CLinkWorker(const CLinkWorker&) = delete;
    CLinkWorker& operator=(const CLinkWorker&) = delete;

    // The workers run on `thread`, which outlives this object, rather than on a thread of
    // their own: for a process that opens window after window (the fault campaign), whose
    // choosers would otherwise each open on a new thread. Before the first Start only.
    void RunOn(CWorkerThread& thread);

    // The window told, by a posted `message`, each time a worker has ended: wParam says
    // whether it was an update worker, lParam is what its body returned.
    void SetNotify(HWND window, UINT message);

    // Runs body on the worker's thread. False, starting nothing, while a worker runs or is
    // being stopped, after Shutdown, or when the thread cannot be made.
    bool Start(std::function<LPARAM()> body, bool isUpdate);
    // Asks the worker to stop, closes its modal windows and waits for it, at most
    // timeoutMs. True once no worker runs.
    bool Stop(DWORD timeoutMs);
    // Stop, once and for good: no worker starts after this has begun.
    bool Shutdown(DWORD timeoutMs);

    // Any thread.
    bool Running() const { return m_bRunning.load(); }
    bool RunningUpdate() const { return m_bRunning.load() && m_bUpdate.load(); }
    // What the running body watches: a stop request, and the receiver's removal.
    const std::atomic<bool>& StopRequested() const { return m_bStop; }
    const std::atomic<bool>& ReceiverRemoved() const { return m_bRemoved; }
    // The receiver the worker talks to has gone: the body learns it, and what asks the
    // user something for that receiver (the chooser, a confirmation) is closed. A message
    // the worker shows stays for the user to read.
    void OnReceiverRemoved();

    // Tells the worker of every top-level window its thread opens over `owner` while the
    // scope lasts (a prompt, the file chooser and the windows they open in turn);
    // `forReceiver`: they ask the user something for the receiver. Once a stop has been
    // asked for, such a window is not created at all, so a prompt opened then fails to
    // open, which its caller takes as Cancel.
    class ModalScope {
    public:
        ModalScope(CLinkWorker& worker, HWND owner, bool forReceiver);
        ~ModalScope();
        ModalScope(const ModalScope&) = delete;
        ModalScope& operator=(const ModalScope&) = delete;

    private:
        static LRESULT CALLBACK OnCbt(int code, WPARAM wParam, LPARAM lParam);
        CLinkWorker& m_Worker;
        HWND m_hOwner;
        bool m_bForReceiver;
        HHOOK m_hHook = nullptr;
        ModalScope* m_pOuter = nullptr;
    };

private:
    bool WaitForEnd(DWORD timeoutMs);
    struct Modal {
        HWND Window;
        bool ForReceiver;
    };
    bool AddModal(const Modal& modal, HWND owner, HWND rootOwner);
    void RemoveModal(HWND window);
    void CloseModals(bool onlyForReceiver);

    std::unique_ptr<CWorkerThread> m_pOwnThread;
    CWorkerThread* m_pThread = nullptr; // the one the workers run on, once one has started
    HWND m_hNotify = nullptr;
    UINT m_nNotifyMessage = 0;
    std::atomic<bool> m_bRunning{false};
    std::atomic<bool> m_bUpdate{false};
    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bRemoved{false};
    std::atomic<bool> m_bShutDown{false};
    int m_nStopping = 0; // Stop calls waiting now (window's thread)

    std::mutex m_ModalLock; // m_Modals, and the decision to open one against a stop
    std::vector<Modal> m_Modals;
};
