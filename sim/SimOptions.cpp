#include "sim/SimOptions.h"

#include "sim/NumberText.h"
#include "sim/SimReceiver.h"
#include "sim/StdStream.h"
#include "sim/WholeFile.h"

#include <climits>
#include <cwchar>
#include <set>

namespace {

constexpr wchar_t kProgram[] = L"KestrixUpdaterSim.exe";

std::wstring Hex(std::uint64_t value) {
    wchar_t text[24];
    swprintf(text, 24, L"0x%llX", static_cast<unsigned long long>(value));
    return text;
}

// Walks the arguments, keeping the first error.
class ArgumentReader {
public:
    ArgumentReader(int argc, wchar_t** argv) : m_nCount(argc), m_pArgs(argv) {}

    bool More() const { return m_nNext < m_nCount; }
    std::wstring Next() { return Arg(m_nNext++); }

    // The value after the option just read; an argument that is itself an option does
    // not count, so "--received --silent" is a missing path, not a file named --silent.
    bool Value(const std::wstring& option, std::wstring* value) {
        if (m_nNext >= m_nCount || Arg(m_nNext).compare(0, 2, L"--") == 0)
            return Fail(option + L" needs a value");
        *value = Arg(m_nNext++);
        return true;
    }

    // A number value of the option within [low, high].
    bool Number(const std::wstring& option, std::uint32_t low, std::uint32_t high,
                std::uint32_t* value) {
        std::wstring text;
        return Value(option, &text) && Check(option, text, low, high, value);
    }

    bool Check(const std::wstring& option, const std::wstring& text, std::uint32_t low,
               std::uint32_t high, std::uint32_t* value) {
        std::uint32_t number = 0;
        const NumberRead read = ReadNumber(text, &number);
        if (read == NumberRead::Malformed)
            return Fail(option + L": \"" + text +
                        L"\" is not a number (decimal or 0x hexadecimal)");
        if (read == NumberRead::TooLarge || number < low || number > high)
            return Fail(option + L": " + text + L" is out of range (" + Range(low, high) + L")");
        *value = number;
        return true;
    }

    bool Fail(const std::wstring& message) {
        m_Error = message;
        return false;
    }
    const std::wstring& Error() const { return m_Error; }

private:
    std::wstring Arg(int i) const { return m_pArgs[i] ? m_pArgs[i] : L""; }
    static std::wstring Range(std::uint32_t low, std::uint32_t high) {
        return std::to_wstring(low) + L" to " + (high > 0xFFFF ? Hex(high) : std::to_wstring(high));
    }

    int m_nCount;
    wchar_t** m_pArgs;
    int m_nNext = 1;
    std::wstring m_Error;
};

// "N" or "N:CODE" of --fail-at.
bool ReadFailAt(ArgumentReader& args, SimOptions* options) {
    const std::wstring option = L"--fail-at";
    std::wstring text;
    if (!args.Value(option, &text))
        return false;
    const std::size_t colon = text.find(L':');
    std::uint32_t n = 0;
    if (!args.Check(option, text.substr(0, colon), 1, INT_MAX, &n))
        return false;
    std::uint32_t code = 0x15;
    if (colon != std::wstring::npos) {
        const std::wstring codeText = text.substr(colon + 1);
        if (!args.Check(option + L" code", codeText, 0, 0xFF, &code))
            return false;
        if (code != 0x15 && code != 0x18)
            return args.Fail(option + L": code " + codeText + L" is neither 0x15 nor 0x18");
    }
    options->FailAt = static_cast<int>(n);
    options->FailCode = static_cast<std::uint8_t>(code);
    return true;
}

// The options that take a count N >= 1, and where each keeps it.
int* CountOption(const std::wstring& name, SimOptions* o) {
    if (name == L"--unplug-at")
        return &o->UnplugAt;
    if (name == L"--write-fails-at")
        return &o->WriteFailsAt;
    if (name == L"--write-hangs-at")
        return &o->WriteHangsAt;
    if (name == L"--crash-at-write")
        return &o->CrashAtWrite;
    if (name == L"--silent-from")
        return &o->SilentFrom;
    if (name == L"--garbage-every")
        return &o->GarbageEvery;
    if (name == L"--early-ack")
        return &o->EarlyAck;
    return nullptr;
}

bool ReadOption(const std::wstring& name, ArgumentReader& args, SimOptions* o) {
    std::uint32_t n = 0;
    if (int* count = CountOption(name, o)) {
        if (!args.Number(name, 1, INT_MAX, &n))
            return false;
        *count = static_cast<int>(n);
    } else if (name == L"--absent") {
        o->Absent = true;
    } else if (name == L"--mode") {
        std::wstring text;
        if (!args.Value(name, &text))
            return false;
        if (ReadNumber(text, &n) != NumberRead::Ok || (n != 1 && n != 2))
            return args.Fail(name + L": \"" + text + L"\" is not 1 or 2");
        o->Mode = static_cast<int>(n);
    } else if (name == L"--version") {
        if (!args.Number(name, 0, 0xFFFFFFFFu, &o->Version))
            return false;
    } else if (name == L"--fail-at") {
        return ReadFailAt(args, o);
    } else if (name == L"--ack-finish") {
        o->AckFinish = true;
    } else if (name == L"--silent") {
        o->Silent = true;
    } else if (name == L"--ready-twice") {
        o->ReadyTwice = true;
    } else if (name == L"--extra-interface") {
        o->ExtraInterface = true;
    } else if (name == L"--caps-unreadable") {
        o->CapsUnreadable = true;
    } else if (name == L"--usb-frames") {
        o->UsbFrames = true;
    } else if (name == L"--latency-ms") {
        if (!args.Number(name, 0, kMaxSimLatencyMs, &n))
            return false;
        o->LatencyMs = n;
    } else if (name == L"--received" || name == L"--history") {
        std::wstring& path = name == L"--received" ? o->ReceivedPath : o->HistoryPath;
        if (!args.Value(name, &path))
            return false;
        if (path.empty())
            return args.Fail(name + L": the path is empty");
    } else {
        return args.Fail(L"unknown option \"" + name + L"\"");
    }
    return true;
}

std::wstring UpdateLine(const SimUpdateResult& result) {
    wchar_t line[128];
    swprintf(line, 128, L"receiver: received %u data bytes, version word 0x%08X, finished %ls\n",
             static_cast<unsigned>(result.DataBytes), static_cast<unsigned>(result.VersionWord),
             result.Finished ? L"yes" : L"no");
    return line;
}

} // namespace

std::wstring FullPath(const std::wstring& path) {
    if (path.empty())
        return path;
    const DWORD size = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::wstring full(size, L'\0');
    const DWORD length = size ? ::GetFullPathNameW(path.c_str(), size, full.data(), nullptr) : 0;
    if (length == 0 || length >= size)
        return path;
    full.resize(length);
    return full;
}

bool ParseSimOptions(int argc, wchar_t** argv, SimOptions* out, std::wstring* error) {
    ArgumentReader args(argc, argv);
    SimOptions options;
    std::set<std::wstring> seen;
    while (args.More()) {
        const std::wstring name = args.Next();
        if (!ReadOption(name, args, &options)) {
            if (error)
                *error = args.Error();
            return false;
        }
        // Twice is a slip of the hand; which one was meant is anybody's guess.
        if (!seen.insert(name).second) {
            if (error)
                *error = name + L" is given twice";
            return false;
        }
    }
    *out = options;
    return true;
}

std::wstring SimUsage() {
    return std::wstring(L"Usage: ") + kProgram +
           L" [options]\n"
           L"The updater with a simulated receiver. Numbers are decimal or 0x hexadecimal.\n"
           L"  --absent            start with the receiver unplugged (default: plugged in)\n"
           L"  --mode 1|2          the mode it presents in (default 1)\n"
           L"  --version WORD      the version word it reports (default 0x00000086, V1.34)\n"
           L"  --fail-at N[:CODE]  instead of sending the Nth data request (from 1), answer\n"
           L"                      with failure sub-code CODE, 0x15 or 0x18 (default 0x15)\n"
           L"  --unplug-at N       unplug itself after it has received N data blocks\n"
           L"  --ack-finish        once all data has arrived, end with REPLY_ACK 0x32\n"
           L"                      instead of a last data request\n"
           L"  --silent            never answer anything\n"
           L"  --latency-ms MS     delay each report it sends by MS milliseconds\n"
           L"                      (default 0, at most 60000)\n"
           L"  --usb-frames        move reports in 1 ms frames as a USB full-speed receiver\n"
           L"                      does, instead of the latency\n"
           L"  --write-fails-at N  the Nth write to it (from 1, every report counts) fails\n"
           L"  --write-hangs-at N  the Nth write to it never completes until cancelled\n"
           L"  --crash-at-write N  the tool crashes (an access violation) at the Nth write\n"
           L"  --silent-from N     stop answering once it has received N data blocks\n"
           L"  --garbage-every N   send a malformed report after every Nth report it sends\n"
           L"  --ready-twice       answer the start of an update with two ready replies\n"
           L"  --early-ack N       acknowledge the end (0x32) after N data blocks, whether\n"
           L"                      or not the image is complete\n"
           L"  --received PATH     whenever an update ends, write what it received to PATH\n"
           L"                      as an image file\n"
           L"  --extra-interface   list another interface with its numbers before it, with\n"
           L"                      8-byte reports (another collection of the same device)\n"
           L"  --caps-unreadable   its capabilities cannot be read\n"
           L"  --history PATH      the tool keeps its update history in PATH, not the user's\n";
}

void ReportSimUsageError(const std::wstring& error) {
    const std::wstring text = std::wstring(kProgram) + L": " + error + L"\n\n" + SimUsage();
    if (WriteStdStream(STD_ERROR_HANDLE, text))
        return;
    // Started without a console or redirection (from the desktop): nobody reads stderr.
    ::MessageBoxW(nullptr, text.c_str(), kProgram, MB_OK | MB_ICONERROR);
}

void ApplySimOptions(const SimOptions& options, SimReceiver& receiver) {
    receiver.SetVersion(options.Version);
    receiver.FailAtDataRequest(options.FailAt, options.FailCode);
    receiver.UnplugAfterBlocks(options.UnplugAt);
    receiver.SetEndWithAck(options.AckFinish);
    receiver.SetSilent(options.Silent);
    receiver.SetReplyLatency(options.LatencyMs);
    receiver.SetUsbFrames(options.UsbFrames);
    SimFirmwareOptions firmware = receiver.FirmwareOptions();
    firmware.SilentFromBlock = options.SilentFrom;
    firmware.GarbageEvery = options.GarbageEvery;
    firmware.ReadyTwice = options.ReadyTwice;
    firmware.EarlyAckAfter = options.EarlyAck;
    receiver.SetFirmwareOptions(firmware);
    if (options.WriteFailsAt)
        receiver.FailWriteAt(options.WriteFailsAt);
    if (options.WriteHangsAt)
        receiver.HangWriteAt(options.WriteHangsAt);
    receiver.CrashAtWrite(options.CrashAtWrite);
    receiver.SetCapsReadable(!options.CapsUnreadable);
    if (options.ExtraInterface)
        receiver.AddExtraInterface();
    // The path is fixed now: the file chooser moves the current directory to wherever
    // the image was chosen, and the file belongs where the person pointed at start-up.
    const std::wstring path = FullPath(options.ReceivedPath);
    // Runs on the receiver's own thread, with none of its locks held. The file comes
    // first, so whoever waits for the line finds the file complete.
    receiver.OnUpdateEnded([&receiver, path](const SimUpdateResult& result) {
        if (!path.empty()) {
            const DWORD error = WriteWholeFile(path, receiver.ReceivedImage());
            if (error != 0)
                WriteStdStream(STD_ERROR_HANDLE, L"receiver: cannot write " + path +
                                                     L" (system error " + std::to_wstring(error) +
                                                     L")\n");
        }
        WriteStdStream(STD_OUTPUT_HANDLE, UpdateLine(result));
    });
    if (!options.Absent)
        receiver.Plug(options.Mode);
}
