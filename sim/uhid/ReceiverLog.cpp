#include "sim/uhid/ReceiverLog.h"

ReceiverLog::ReceiverLog(std::FILE* out) : m_Out(out) {
    const double unix =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    char first[96];
    std::snprintf(first, sizeof(first), "receiver: log times are seconds since Unix time %.3f",
                  unix);
    m_Lines.emplace_back(first);
    m_Writer = std::thread([this] { WriteLines(); });
}

ReceiverLog::~ReceiverLog() {
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_bClosing = true;
    }
    m_Wake.notify_one();
    m_Writer.join();
}

void ReceiverLog::Line(const std::string& text) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m_Start).count();
    char stamp[32];
    std::snprintf(stamp, sizeof(stamp), "[%8.3f] ", seconds);
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Lines.push_back(stamp + ("receiver: " + text));
    }
    m_Wake.notify_one();
}

void ReceiverLog::WriteLines() {
    std::vector<std::string> lines;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_Lock);
            m_Wake.wait(lock, [this] { return !m_Lines.empty() || m_bClosing; });
            if (m_Lines.empty()) {
                return; // closing, and everything is written
            }
            lines.swap(m_Lines);
        }
        for (const std::string& line : lines) {
            std::fprintf(m_Out, "%s\n", line.c_str());
        }
        std::fflush(m_Out);
        lines.clear();
    }
}
