// The simulated receiver's own thread: everything the device does later rather than at
// once (answers after a latency, re-enumeration, notifications).
#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

// SimScheduler runs tasks on one thread of its own, each at or after its due time, tasks
// due at the same time in the order they were given. A task runs with no lock of the
// scheduler held, so it may take other locks and send window messages. Stop (or the
// destructor) ends the thread; tasks not yet run are dropped.
class SimScheduler {
public:
    SimScheduler();
    ~SimScheduler();
    SimScheduler(const SimScheduler&) = delete;
    SimScheduler& operator=(const SimScheduler&) = delete;

    void After(DWORD delayMs, std::function<void()> task);
    // True when no task is waiting or running.
    bool Idle() const;
    void Stop();
    // The CPU time its thread has used, in seconds.
    double CpuSeconds();

private:
    void Run();

    using Clock = std::chrono::steady_clock;
    mutable std::mutex m_Lock;
    std::condition_variable m_Wake;
    std::multimap<Clock::time_point, std::function<void()>> m_Tasks;
    bool m_bRunning = false;
    bool m_bStop = false;
    std::thread m_Thread;
};
