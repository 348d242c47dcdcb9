// One scenario of the real-stack test in progress: the receiver, the tool, and the steps
// a person takes with them.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ToolUnderTest.h"

// The guest runs under software emulation on a machine that may be busy with other work:
// a step can take many times its usual time. Only a failing wait costs its time-out.
constexpr DWORD kStartMs = 120000;  // the tool's window appears
constexpr DWORD kLookMs = 60000;    // a look follows the receiver's arrival or removal
constexpr DWORD kStepMs = 60000;    // a window opens or closes after a click
constexpr DWORD kUpdateMs = 600000; // a whole update of the release sample
constexpr DWORD kSteadyMs = 5000;   // nothing more happens for this long
constexpr DWORD kResponseMs = 5000; // the window answers a message
constexpr DWORD kCloseMs = 60000;   // the process has ended after the close button
// Away from the bus for this long when the test plugs the receiver in once more: Wine's
// HID bus does not see a device again that comes back within milliseconds.
constexpr DWORD kReplugPauseMs = 2000;
// A failure code or a removal during an update brings the failure prompt within this,
// counted from the moment the receiver sent the code or left: the tool's own reply
// deadline (15 s) brings the same prompt, and must not pass for it.
constexpr DWORD kPromptAfterMs = 5000;

// The version the receiver reports until it is updated: V1.34.
constexpr std::uint32_t kReceiverVersion = 0x00000086;

// What every scenario is given: the tool, the receiver's control, log and received-image
// files, the image to update with, and Wine's trace channels for a traced tool.
struct Setup {
    std::wstring Tool;
    std::wstring Control;
    std::wstring ReceiverLog;
    std::wstring Image;
    std::wstring Received;
    std::wstring Trace;
};

// Prints one step, with the seconds since the program started.
void Say(const std::wstring& text);

// A failed check; it ends the scenario with what failed.
struct Failure {
    std::wstring What;
};
void Check(bool ok, const std::wstring& what);

// One HID interface the system lists under the receiver's vendor and a product number, as
// a program starting now would find it, with the report lengths of its capabilities (0
// when they cannot be read).
struct ListedInterface {
    std::wstring Path;
    USHORT InputLength = 0;
    USHORT OutputLength = 0;
};
// In the order the system lists them.
std::vector<ListedInterface> ListedInterfaces(std::uint16_t product);
// Whether the system lists, under this product number, an interface that opens with the
// receiver's report lengths for it (another interface of the same numbers does not count).
bool ReceiverListed(std::uint16_t product);

// The receiver did not carry out a command, or did not answer it. The run ends there:
// every later step would meet a receiver other than it expects.
struct ReceiverFailed {
    std::wstring What;
};
// Tells the receiver a command and waits for its answer; returns what the command asked
// for (empty for most). Throws ReceiverFailed.
std::string TellReceiver(const Setup& setup, const std::string& command);

// The time by the machine's clock, in seconds since 1970: the receiver's log keeps it too.
double UnixNow();

// The receiver's hidraw node for this product number (Z:\dev\hidrawN), found through
// sysfs; empty when it has none. It exists whoever may open it.
std::wstring ReceiverNode(std::uint16_t product);
// The system error of opening a file for reading and writing as this process's user;
// 0 when it opened (it is closed again).
DWORD OpenError(const std::wstring& path);

// A line of the receiver's log and when it was logged; At < 0 when there was none.
struct ReceiverLine {
    double At = -1;
    std::string Text;
};

// How a scenario wants the receiver when the tool starts.
struct ReceiverSetup {
    std::string Options; // of the receiver's restart command
    int ListedInMode;    // wait until the system lists it in this mode; 0: do not wait
};

// Scenario holds the tool of one scenario and the steps the scenarios share: restarting
// the receiver and starting the tool, checking a look, commanding the receiver, an
// update up to its outcome, and closing the tool. A step whose check fails throws
// Failure; the tool, if still running, is ended when the Scenario goes.
class Scenario {
public:
    Scenario(const Setup& setup, std::wstring label, bool traced);

    const Setup& Config() const { return m_Setup; }
    ToolUnderTest& Tool() { return m_Tool; }
    static std::wstring VersionText();

    void Shot(const std::wstring& step, HWND window = nullptr);
    // Restarts the receiver as given; StartTool starts the tool; Begin does both.
    void RestartReceiver(const ReceiverSetup& receiver);
    void StartTool();
    void Begin(const ReceiverSetup& receiver);
    void ExpectLook(ToolUnderTest::Look look, const std::wstring& version,
                    const std::wstring& step);
    // The connected look with `version` once the receiver has come back by itself
    // (rebooted with new firmware, or switched to mode 1).
    void ExpectReturned(const std::wstring& version, const std::wstring& step);
    // Tells the receiver what to do, and waits until it has done it.
    std::string TellReceiver(const std::string& command) {
        return ::TellReceiver(m_Setup, command);
    }
    // The first line of the receiver's log since this scenario began that holds text,
    // once it has been written (within timeoutMs).
    ReceiverLine AwaitReceiverLine(const std::string& text, DWORD timeoutMs);
    // Update, the file chooser with the image, the confirmation: the update is running.
    void BeginUpdate(const std::wstring& image);
    // Follows the progress bar until a prompt ends the update; returns its text.
    std::wstring AwaitOutcome(const std::wstring& step, DWORD timeoutMs = kUpdateMs);
    // The prompt AwaitOutcome last saw came within kPromptAfterMs of what the receiver
    // logged as `logged`, which was the event named.
    void ExpectPromptSoonAfter(const std::string& logged, const std::wstring& event);
    // Nothing hangs: the window answers, and the close button ends the process without
    // a question (no image is being sent).
    void Close();

private:
    Setup m_Setup;
    std::wstring m_Label;
    bool m_bTraced;
    ToolUnderTest m_Tool;
    std::size_t m_nLogFrom; // the receiver's log as long as it was when the scenario began
    double m_PromptAt = -1; // when AwaitOutcome saw its prompt
};
