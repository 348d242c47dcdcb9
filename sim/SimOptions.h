// The command line of the simulated-receiver build: how its receiver behaves.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

class SimReceiver;

// SimOptions is the receiver the simulated-receiver build starts with, as its command
// line describes it. ParseSimOptions fills it (every field keeps its default unless its
// option is given); ApplySimOptions sets up a SimReceiver to match, plugs it in unless
// it is to start absent, and reports each update it sees end on standard output.
struct SimOptions {
    bool Absent = false;                // --absent: start unplugged
    int Mode = 1;                       // --mode 1|2: the mode it presents in
    std::uint32_t Version = 0x00000086; // --version WORD: the version word it reports
    int FailAt = 0;                     // --fail-at N[:CODE]: 0 for never, else N >= 1
    std::uint8_t FailCode = 0x15;       //   CODE: 0x15 or 0x18
    int UnplugAt = 0;                   // --unplug-at N: 0 for never, else N >= 1
    bool AckFinish = false;             // --ack-finish
    bool Silent = false;                // --silent
    DWORD LatencyMs = 0;                // --latency-ms MS
    bool UsbFrames = false;             // --usb-frames
    int WriteFailsAt = 0;               // --write-fails-at N: 0 for never, else N >= 1
    int WriteHangsAt = 0;               // --write-hangs-at N: 0 for never, else N >= 1
    int CrashAtWrite = 0;               // --crash-at-write N: 0 for never, else N >= 1
    int SilentFrom = 0;                 // --silent-from N: 0 for never, else N >= 1
    int GarbageEvery = 0;               // --garbage-every N: 0 for never, else N >= 1
    bool ReadyTwice = false;            // --ready-twice
    int EarlyAck = 0;                   // --early-ack N: 0 for never, else N >= 1
    bool ExtraInterface = false;        // --extra-interface
    bool CapsUnreadable = false;        // --caps-unreadable
    std::wstring ReceivedPath;          // --received PATH: empty for none
    std::wstring HistoryPath;           // --history PATH: the tool's update history there
};

// A path from the command line made whole against the folder the program started in (the
// file chooser moves the current folder later). Empty stays empty.
std::wstring FullPath(const std::wstring& path);

// The largest --latency-ms accepted: a minute. A receiver slower than that is better
// tried with --silent.
constexpr DWORD kMaxSimLatencyMs = 60000;

// Reads the options from argv[1] to argv[argc - 1] (argv[0] is the program). Numbers are
// decimal or 0x hexadecimal. Returns false, with *error saying which argument is wrong
// and why, on an unknown option, a missing or malformed value, a value out of range, or
// an option given twice; *out is then left as it was.
bool ParseSimOptions(int argc, wchar_t** argv, SimOptions* out, std::wstring* error);

// The usage message: one line per option, ending with a line break.
std::wstring SimUsage();

// Shows a bad command line to the person who typed it: the error and the usage on
// standard error when the process has one, otherwise in a message box. The caller then
// ends the process with status 2.
void ReportSimUsageError(const std::wstring& error);

// Sets the receiver up as the options say and plugs it in (in options.Mode) unless it is
// to start absent. Registers the receiver's update-ended handler: for every update that
// ends it writes the image file (with --received; a relative path is taken from the
// current directory at this call), then prints one line to standard output,
//   receiver: received N data bytes, version word 0xXXXXXXXX, finished yes|no
// where the version word is the one in the header the receiver received, which is the
// version it reports after rebooting when the update finished.
void ApplySimOptions(const SimOptions& options, SimReceiver& receiver);
