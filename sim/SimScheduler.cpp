#include "sim/SimScheduler.h"

#include "sim/ThreadCpu.h"

SimScheduler::SimScheduler() : m_Thread([this] { Run(); }) {}

SimScheduler::~SimScheduler() {
    Stop();
}

void SimScheduler::After(DWORD delayMs, std::function<void()> task) {
    std::lock_guard<std::mutex> lock(m_Lock);
    if (m_bStop) {
        return;
    }
    m_Tasks.emplace(Clock::now() + std::chrono::milliseconds(delayMs), std::move(task));
    m_Wake.notify_all();
}

bool SimScheduler::Idle() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Tasks.empty() && !m_bRunning;
}

void SimScheduler::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_bStop = true;
        m_Tasks.clear();
        m_Wake.notify_all();
    }
    if (m_Thread.joinable() && m_Thread.get_id() != std::this_thread::get_id()) {
        m_Thread.join();
    }
}

double SimScheduler::CpuSeconds() {
    return ThreadCpuSeconds(m_Thread);
}

void SimScheduler::Run() {
    std::unique_lock<std::mutex> lock(m_Lock);
    while (!m_bStop) {
        if (m_Tasks.empty()) {
            m_Wake.wait(lock);
            continue;
        }
        const auto due = m_Tasks.begin()->first;
        if (Clock::now() < due) {
            m_Wake.wait_until(lock, due);
            continue;
        }
        std::function<void()> task = std::move(m_Tasks.begin()->second);
        m_Tasks.erase(m_Tasks.begin());
        m_bRunning = true;
        lock.unlock();
        task();
        lock.lock();
        m_bRunning = false;
    }
}
