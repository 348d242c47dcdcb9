// The USB full-speed bus between the simulated receiver and the host: 1 ms frames.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

// The performance counter now, and a span of it in seconds: the clock of the simulated
// receiver's timings and of what measures them.
std::int64_t SimCounterNow();
double SimCounterSeconds(std::int64_t counts);

// SimFrameClock carries the receiver's interrupt transfers as a full-speed bus does:
// time is cut into 1 ms frames counted from the clock's start, and each direction moves
// at most one report a frame. A task given to a pipe runs at the start of a frame after
// the one it was given in, and after the task queued ahead of it; tasks run on the
// clock's own thread with no lock of the clock held. The thread sleeps while no task is
// waiting, and between frames it sleeps most of the frame and spins the rest, so frames
// start within microseconds of their time. A frame the thread wakes late for still runs
// what was due in it.
class SimFrameClock {
public:
    enum class Pipe { In, Out };

    SimFrameClock();
    ~SimFrameClock();
    SimFrameClock(const SimFrameClock&) = delete;
    SimFrameClock& operator=(const SimFrameClock&) = delete;

    void Queue(Pipe pipe, std::function<void()> task);
    // The frame now in progress.
    std::uint64_t FrameNow() const;
    // True when no task is waiting or running.
    bool Idle() const;
    void Stop();
    // The CPU time its thread has used, in seconds (0 while it has none).
    double CpuSeconds();

private:
    struct Entry {
        std::uint64_t QueuedIn; // the frame it was given in
        std::function<void()> Task;
    };
    void Run();
    // The counter value at which this frame starts.
    std::int64_t FrameStart(std::uint64_t frame) const;
    void SleepUntil(std::int64_t counter) const;

    std::int64_t m_nEpoch = 0;
    std::int64_t m_nPerFrame = 1;
    mutable std::mutex m_Lock;
    std::condition_variable m_Wake;
    std::deque<Entry> m_In, m_Out;
    bool m_bRunning = false;
    bool m_bStop = false;
    std::thread m_Thread;
};
