// The virtual receiver's control file: how the program driving a run commands it.
#pragma once

#include <chrono>
#include <string>
#include <utility>

// ReceiverControl takes one command at a time from the control file and answers it in
// PATH.reply. The driver writes the command (whole, by renaming), waits for the reply and
// removes it; the receiver removes the command file before it answers. A reply is one
// line: "ok", "ok TEXT" (what the command asked for) or "failed TEXT" (why it could not be
// carried out), written beside and renamed, so a reader never sees half of it. The file
// is looked at no more often than every 100 ms, whatever else the receiver is doing.
class ReceiverControl {
public:
    explicit ReceiverControl(std::string path) : m_Path(std::move(path)) {}

    // The command waiting in the control file, if there is one and it is time to look.
    bool Take(std::string* command);
    // Answers the command taken last; false when the reply cannot be written.
    bool Answer(bool done, const std::string& text) const;

private:
    using Clock = std::chrono::steady_clock;

    const std::string m_Path;
    Clock::time_point m_NextLook = Clock::now();
};
