// The virtual receiver's log.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// ReceiverLog stamps each line with the seconds since the receiver started and hands it
// to a thread of its own that writes it out. The thread that serves uhid never waits for
// the file the log goes to (a shared folder, slow at times): the kernel holds only a few
// dozen events for a uhid device whose reader falls behind, and drops the rest. The
// first line gives the Unix time at which the stamps start, so a program on the same
// machine can set a line against its own clock. Every line logged before the object
// goes is written.
class ReceiverLog {
public:
    explicit ReceiverLog(std::FILE* out);
    ~ReceiverLog();
    ReceiverLog(const ReceiverLog&) = delete;
    ReceiverLog& operator=(const ReceiverLog&) = delete;

    void Line(const std::string& text);

private:
    void WriteLines();

    std::FILE* const m_Out;
    const std::chrono::steady_clock::time_point m_Start = std::chrono::steady_clock::now();
    std::mutex m_Lock;
    std::condition_variable m_Wake;
    std::vector<std::string> m_Lines; // waiting to be written
    bool m_bClosing = false;
    std::thread m_Writer;
};
