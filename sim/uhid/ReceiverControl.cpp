#include "sim/uhid/ReceiverControl.h"

#include <cstdio>
#include <fstream>

bool ReceiverControl::Take(std::string* command) {
    if (m_Path.empty() || Clock::now() < m_NextLook) {
        return false;
    }
    m_NextLook = Clock::now() + std::chrono::milliseconds(100);
    std::ifstream file(m_Path);
    if (!file) {
        return false;
    }
    command->clear();
    std::getline(file, *command);
    file.close();
    std::remove(m_Path.c_str());
    return true;
}

bool ReceiverControl::Answer(bool done, const std::string& text) const {
    const std::string reply = m_Path + ".reply";
    const std::string part = reply + ".part";
    {
        std::ofstream file(part, std::ios::trunc);
        file << (done ? "ok" : "failed") << (text.empty() ? "" : " " + text) << "\n";
        if (!file.flush()) {
            return false;
        }
    }
    return std::rename(part.c_str(), reply.c_str()) == 0;
}
