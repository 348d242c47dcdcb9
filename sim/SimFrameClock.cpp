#include "sim/SimFrameClock.h"

#include "sim/ThreadCpu.h"

namespace {

constexpr std::int64_t kFramesPerSecond = 1000;
// The part of a wait spun rather than slept: more than the system's wake-up delay.
constexpr std::int64_t kSpinMicroseconds = 250;

// A sleep finer than a millisecond: the native delay, counted in 100 ns units.
using NtDelayExecutionFn = LONG(NTAPI*)(BOOLEAN alertable, PLARGE_INTEGER interval);
NtDelayExecutionFn NativeDelay() {
    static const auto fn = reinterpret_cast<NtDelayExecutionFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtDelayExecution")));
    return fn;
}

std::int64_t CounterFrequency() {
    static const std::int64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    return frequency;
}

} // namespace

std::int64_t SimCounterNow() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

double SimCounterSeconds(std::int64_t counts) {
    return static_cast<double>(counts) / static_cast<double>(CounterFrequency());
}

SimFrameClock::SimFrameClock() {
    m_nPerFrame = CounterFrequency() / kFramesPerSecond;
    m_nEpoch = SimCounterNow();
    m_Thread = std::thread([this] { Run(); });
}

SimFrameClock::~SimFrameClock() {
    Stop();
}

void SimFrameClock::Queue(Pipe pipe, std::function<void()> task) {
    std::lock_guard<std::mutex> lock(m_Lock);
    if (m_bStop)
        return;
    (pipe == Pipe::In ? m_In : m_Out).push_back({FrameNow(), std::move(task)});
    m_Wake.notify_all();
}

std::uint64_t SimFrameClock::FrameNow() const {
    return static_cast<std::uint64_t>((SimCounterNow() - m_nEpoch) / m_nPerFrame);
}

bool SimFrameClock::Idle() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_In.empty() && m_Out.empty() && !m_bRunning;
}

void SimFrameClock::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_bStop = true;
        m_In.clear();
        m_Out.clear();
        m_Wake.notify_all();
    }
    if (m_Thread.joinable() && m_Thread.get_id() != std::this_thread::get_id())
        m_Thread.join();
}

double SimFrameClock::CpuSeconds() {
    return ThreadCpuSeconds(m_Thread);
}

std::int64_t SimFrameClock::FrameStart(std::uint64_t frame) const {
    return m_nEpoch + static_cast<std::int64_t>(frame) * m_nPerFrame;
}

void SimFrameClock::SleepUntil(std::int64_t counter) const {
    const std::int64_t spin = m_nPerFrame * kSpinMicroseconds / 1000;
    const std::int64_t left = counter - SimCounterNow();
    if (left > spin && NativeDelay()) {
        LARGE_INTEGER interval;
        interval.QuadPart = -(left - spin) * 10000 / m_nPerFrame; // relative, in 100 ns
        NativeDelay()(FALSE, &interval);
    }
    while (SimCounterNow() < counter)
        YieldProcessor();
}

void SimFrameClock::Run() {
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_Lock);
            m_Wake.wait(lock, [this] { return m_bStop || !m_In.empty() || !m_Out.empty(); });
            if (m_bStop)
                return;
        }
        SleepUntil(FrameStart(FrameNow() + 1));
        // A frame that began late is still the frame now: what was due runs in it.
        std::function<void()> out, in;
        {
            std::lock_guard<std::mutex> lock(m_Lock);
            if (m_bStop)
                return;
            const std::uint64_t frame = FrameNow();
            if (!m_Out.empty() && m_Out.front().QueuedIn < frame) {
                out = std::move(m_Out.front().Task);
                m_Out.pop_front();
            }
            if (!m_In.empty() && m_In.front().QueuedIn < frame) {
                in = std::move(m_In.front().Task);
                m_In.pop_front();
            }
            m_bRunning = true;
        }
        // The host's report goes first: what the receiver answers to it waits for a
        // frame of its own.
        if (out)
            out();
        if (in)
            in();
        std::lock_guard<std::mutex> lock(m_Lock);
        m_bRunning = false;
    }
}
