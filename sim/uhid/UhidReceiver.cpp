// The receiver as a virtual USB HID device on Linux, so the real tool can be run against
// a real HID stack: the kernel's uhid and hidraw, and the host software that reads hidraw
// (Wine's HID bus, for the tool under Wine). Its protocol engine is the simulated
// receiver's firmware (SimFirmware); this program is that firmware's second transport,
// beside the device seam's SimReceiver.
//
//   kx-uhid-receiver [--vendor N] [--product N] [--received PATH] [--control PATH]
//                    [--absent] [--mode 1|2] [--version WORD] [--fail-at N[:CODE]]
//                    [--unplug-at N] [--ack-finish] [--reboot-ms MS]
//
// It plugs itself in at start unless --absent (--product is the mode-1 product number;
// in mode 2 it presents as the next one), logs what happens on standard output, and
// writes what it received to --received as an image file whenever an update ends. With
// --control it looks for that file every 100 ms: the file holds one command and is
// removed once the command has been carried out:
//   unplug | plug [2] | quit
//   restart [OPTIONS]   unplugged, then back as if started afresh with these of the
//                       options above from --absent on
// It ends on "quit", SIGTERM or SIGINT, unplugging itself first.
#include "link/LinkProtocol.h"
#include "sim/SimFirmware.h"
#include "sim/uhid/ReceiverDescriptor.h"
#include "sim/uhid/UhidDevice.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

volatile std::sig_atomic_t g_bStop = 0;

void OnStopSignal(int) {
    g_bStop = 1;
}

// How the receiver behaves from a (re)start on.
struct Behaviour {
    bool Absent = false;
    int Mode = 1;
    SimFirmwareOptions Firmware;
    int RebootMs = 1000; // away from the bus while rebooting or switching mode
};

struct ReceiverOptions {
    std::uint16_t Vendor = 0x1209;
    std::uint16_t Product = 0x0001;
    std::string Received;
    std::string Control;
    Behaviour Start;
};

bool ReadNumber(const std::string& text, unsigned long max, unsigned long* value) {
    try {
        std::size_t used = 0;
        const unsigned long number = std::stoul(text, &used, 0);
        if (used != text.size() || number > max || text[0] == '-') {
            return false;
        }
        *value = number;
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// One behaviour option and its value (empty for a flag); false when it is not one.
bool ReadBehaviour(const std::string& name, const std::string& value, Behaviour* b, bool* ok) {
    unsigned long n = 0;
    if (name == "--absent") {
        b->Absent = true;
    } else if (name == "--ack-finish") {
        b->Firmware.EndWithAck = true;
    } else if (name == "--mode") {
        *ok = ReadNumber(value, 2, &n) && n >= 1;
        b->Mode = static_cast<int>(n);
    } else if (name == "--version") {
        *ok = ReadNumber(value, 0xFFFFFFFFul, &n);
        b->Firmware.Version = static_cast<std::uint32_t>(n);
    } else if (name == "--fail-at") {
        const std::size_t colon = value.find(':');
        unsigned long code = 0x15;
        *ok = ReadNumber(value.substr(0, colon), 1u << 30, &n) && n >= 1 &&
              (colon == std::string::npos || ReadNumber(value.substr(colon + 1), 0xFF, &code));
        b->Firmware.FailAtRequest = static_cast<int>(n);
        b->Firmware.FailureSubCode = static_cast<std::uint8_t>(code);
    } else if (name == "--unplug-at") {
        *ok = ReadNumber(value, 1u << 30, &n) && n >= 1;
        b->Firmware.UnplugAfterBlocks = static_cast<int>(n);
    } else if (name == "--reboot-ms") {
        *ok = ReadNumber(value, 60000, &n);
        b->RebootMs = static_cast<int>(n);
    } else {
        return false;
    }
    return true;
}

// The options in args; with behaviourOnly, those of a restart command.
bool ParseOptions(const std::vector<std::string>& args, bool behaviourOnly, ReceiverOptions* o,
                  std::string* error) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& name = args[i];
        const bool flag = name == "--absent" || name == "--ack-finish";
        if (!flag && i + 1 >= args.size()) {
            *error = name + " needs a value";
            return false;
        }
        const std::string value = flag ? std::string() : args[++i];
        unsigned long n = 0;
        bool ok = true;
        const bool setup = name == "--vendor" || name == "--product" || name == "--received" ||
                           name == "--control";
        if (setup && !behaviourOnly) {
            if (name == "--vendor" || name == "--product") {
                ok = ReadNumber(value, 0xFFFE, &n);
                (name == "--vendor" ? o->Vendor : o->Product) = static_cast<std::uint16_t>(n);
            } else {
                (name == "--received" ? o->Received : o->Control) = value;
            }
        } else if (!ReadBehaviour(name, value, &o->Start, &ok)) {
            *error = "not an option here: " + name;
            return false;
        }
        if (!ok) {
            *error = name + ": bad value \"" + value + "\"";
            return false;
        }
    }
    return true;
}

std::string Hex(unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%0*X", digits, value);
    return text;
}

// The name of a frame worth a line in the log: every one but polls, image data and data
// requests, which come by the thousand. Empty for those.
std::string FrameName(const std::uint8_t* frame, std::size_t size) {
    if (size < 5 || frame[0] != 0x00) {
        return size ? "a frame not starting 0x00" : "";
    }
    const std::uint8_t type = frame[FRAME_TYPE_OFFSET];
    const std::uint8_t sub = frame[FRAME_SUBCODE_OFFSET];
    switch (type) {
    case CMD_START_UPDATE:
        return "start update";
    case CMD_SWITCH_MODE:
        return "switch mode";
    case REPLY_READY:
        return "ready";
    case REPLY_ACK:
        return "acknowledgement " + Hex(sub, 2);
    case FRAME_LINK:
        switch (sub) {
        case SUB_QUERY_VERSION: // SUB_VERSION in a reply
            return size >= 11 ? "version " + Hex(frame[7] | frame[8] << 8 | frame[9] << 16 |
                                                     static_cast<unsigned>(frame[10]) << 24,
                                                 8)
                              : "version query";
        case SUB_HEADER:
            return "image header";
        case SUB_FINISH:
            return "finish";
        case SUB_FAILURE_1:
        case SUB_FAILURE_2:
            return "failure " + Hex(sub, 2);
        default:
            return "";
        }
    default:
        return "";
    }
}

// Reports of one kind, as counted while the receiver is plugged in.
struct ReportKind {
    std::size_t Length;
    unsigned Number;
    bool operator<(const ReportKind& other) const {
        return std::make_pair(Length, Number) < std::make_pair(other.Length, other.Number);
    }
};

// The receiver: its firmware on a uhid device, with the log, the received image and the
// timed return after a reboot or mode switch.
class Receiver {
public:
    explicit Receiver(const ReceiverOptions& options) : m_Options(options) {}

    bool Start() {
        if (!m_Device.Open()) {
            Log("cannot start: " + m_Device.Error());
            return false;
        }
        return Begin(m_Options.Start);
    }

    // Runs until told to stop; false when the uhid device failed.
    bool Run() {
        while (!g_bStop && !m_bQuit) {
            const UhidDevice::Event event = m_Device.Poll(PollTimeout());
            if (!m_Device.Error().empty()) {
                Log("uhid failed: " + m_Device.Error());
                return false;
            }
            OnEvent(event);
            if (m_bReturnPending && Clock::now() >= m_ReturnAt) {
                m_bReturnPending = false;
                Plug(1);
            }
            if (!ReadControl()) {
                return false;
            }
        }
        Unplug("told to stop");
        return true;
    }

private:
    using Clock = std::chrono::steady_clock;

    void Log(const std::string& text) const {
        const double seconds = std::chrono::duration<double>(Clock::now() - m_Start).count();
        std::printf("[%8.3f] receiver: %s\n", seconds, text.c_str());
        std::fflush(stdout);
    }

    // Starts afresh: the firmware with its options, plugged in unless to start absent.
    // Each start is another receiver to the host (another serial number), so nothing the
    // host kept of the one before, a file left open say, stands in its way.
    bool Begin(const Behaviour& behaviour) {
        ++m_nReceiver;
        m_Behaviour = behaviour;
        m_Firmware = SimFirmware();
        m_Firmware.Options() = behaviour.Firmware;
        return behaviour.Absent || Plug(behaviour.Mode);
    }

    int PollTimeout() const {
        int timeout = m_Options.Control.empty() ? 1000 : 100;
        if (m_bReturnPending) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(m_ReturnAt - Clock::now());
            timeout = std::max(0, std::min(timeout, static_cast<int>(left.count())));
        }
        return timeout;
    }

    bool Plug(int mode) {
        if (m_Device.Present()) {
            return true;
        }
        m_Firmware.Boot(mode);
        UhidIdentity identity;
        identity.Vendor = m_Options.Vendor;
        identity.Product = static_cast<std::uint16_t>(m_Options.Product + (mode == 2 ? 1 : 0));
        identity.Name = "Kestrix receiver (virtual)";
        char serial[16];
        std::snprintf(serial, sizeof(serial), "KX-UHID-%04u", m_nReceiver);
        identity.Serial = serial;
        identity.ReportDescriptor = ReceiverReportDescriptor(mode);
        if (!m_Device.Create(identity)) {
            Log("cannot plug in: " + m_Device.Error());
            return false;
        }
        m_Outputs.clear();
        m_bInputLogged = false;
        Log("plugged in, mode " + std::to_string(mode) + ", " + Hex(identity.Vendor, 4) + ":" +
            Hex(identity.Product, 4) + ", firmware version word " +
            Hex(m_Firmware.Options().Version, 8) + ", reports of " +
            std::to_string(m_Firmware.ReportLength()) + " bytes with report number " +
            Hex(m_Firmware.ReportNumber(), 2));
        return true;
    }

    void Unplug(const std::string& why) {
        if (!m_Device.Present()) {
            return;
        }
        m_Device.Destroy();
        std::ostringstream summary;
        for (const auto& [kind, count] : m_Outputs) {
            summary << ", " << count << " of " << kind.Length << " bytes with report number "
                    << Hex(kind.Number, 2);
        }
        Log("unplugged (" + why + "); output reports received" +
            (m_Outputs.empty() ? std::string(": none") : summary.str()));
        if (m_Firmware.OnUnplugged()) {
            UpdateEnded();
        }
    }

    void OnEvent(const UhidDevice::Event& event) {
        switch (event.What) {
        case UhidDevice::Event::Kind::Output:
            OnOutputReport(event.Report);
            break;
        case UhidDevice::Event::Kind::Opened:
            Log("its hidraw node was opened");
            break;
        case UhidDevice::Event::Kind::Closed:
            Log("its hidraw node was closed");
            break;
        case UhidDevice::Event::Kind::Other:
            Log(event.Note);
            break;
        case UhidDevice::Event::Kind::None:
            break;
        }
    }

    void OnOutputReport(const std::vector<std::uint8_t>& report) {
        const ReportKind kind{report.size(), report.empty() ? 0u : report[0]};
        if (m_Outputs[kind]++ == 0) {
            Log("first output report of " + std::to_string(kind.Length) +
                " bytes with report number " + Hex(kind.Number, 2));
        }
        if (report.size() >= 2) {
            const std::string name =
                FrameName(report.data() + 2, std::min<std::size_t>(report[1], report.size() - 2));
            if (!name.empty()) {
                Log("host sent: " + name);
            }
        }
        const std::uint32_t before = m_Firmware.Update().DataBytes;
        std::vector<SimFirmware::Action> actions;
        if (!m_Firmware.OnOutputReport(report.data(), report.size(), &actions)) {
            if (++m_nRefused <= 5) {
                Log("refused an output report of " + std::to_string(kind.Length) +
                    " bytes with report number " + Hex(kind.Number, 2));
            }
            return;
        }
        for (const SimFirmware::Action& action : actions) {
            Apply(action);
        }
        // Every quarter of the image, so the log shows the pace of an update.
        const SimUpdateResult& update = m_Firmware.Update();
        const std::uint32_t quarter = update.DataLength / 4;
        if (quarter && !update.Ended && update.DataBytes / quarter > before / quarter) {
            Log("received " + std::to_string(update.DataBytes) + " of " +
                std::to_string(update.DataLength) + " data bytes");
        }
    }

    void Apply(const SimFirmware::Action& action) {
        switch (action.Kind) {
        case SimFirmware::ActionKind::Send:
        case SimFirmware::ActionKind::SendRaw:
            Send(action);
            break;
        case SimFirmware::ActionKind::UpdateEnded:
            UpdateEnded();
            break;
        case SimFirmware::ActionKind::Unplug:
            Unplug("at the block it was told to leave at");
            break;
        case SimFirmware::ActionKind::Reboot:
        case SimFirmware::ActionKind::SwitchMode: {
            const bool reboot = action.Kind == SimFirmware::ActionKind::Reboot;
            Unplug(reboot ? "rebooting with the new firmware" : "switching to mode 1");
            if (reboot) {
                m_Firmware.Options().Version = m_Firmware.Update().VersionWord;
            }
            m_bReturnPending = true;
            m_ReturnAt = Clock::now() + std::chrono::milliseconds(m_Behaviour.RebootMs);
            break;
        }
        }
    }

    void Send(const SimFirmware::Action& action) {
        const std::string name = FrameName(action.Frame.data(), action.Frame.size());
        if (!name.empty()) {
            Log("sending: " + name);
        }
        std::vector<std::uint8_t> report = m_Firmware.InputReport(action);
        // An unnumbered report travels without the report-number byte; the host's HID
        // software puts a 0x00 in front of it again.
        if (m_Firmware.Mode() == 2) {
            report.erase(report.begin());
        }
        if (!m_Device.SendInput(report)) {
            Log("cannot send an input report: " + m_Device.Error());
        } else if (!m_bInputLogged) {
            m_bInputLogged = true;
            Log("first input report: " + std::to_string(report.size()) + " bytes on the bus");
        }
    }

    void UpdateEnded() {
        const SimUpdateResult& result = m_Firmware.Update();
        const char* outcome = result.Finished         ? "finished"
                              : result.Unplugged      ? "left in the middle"
                              : result.FailureSubCode ? "failed"
                                                      : "ended";
        Log(std::string("update ") + outcome + ": received " + std::to_string(result.DataBytes) +
            " data bytes in " + std::to_string(result.Blocks) + " blocks of " +
            std::to_string(result.DataLength) + ", version word " + Hex(result.VersionWord, 8) +
            (result.FailureSubCode ? ", failure sub-code " + Hex(result.FailureSubCode, 2) : ""));
        if (!m_Options.Received.empty()) {
            WriteReceived(m_Firmware.ReceivedImage());
        }
    }

    // Written beside and then renamed, so a reader never sees half a file.
    void WriteReceived(const std::vector<std::uint8_t>& image) const {
        const std::string temporary = m_Options.Received + ".part";
        {
            std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
            file.write(reinterpret_cast<const char*>(image.data()),
                       static_cast<std::streamsize>(image.size()));
            if (!file) {
                Log("cannot write " + temporary);
                return;
            }
        }
        if (std::rename(temporary.c_str(), m_Options.Received.c_str()) != 0) {
            Log("cannot rename " + temporary);
        }
    }

    // Carries out a command waiting in the control file, then removes the file; false
    // when the command cannot be carried out.
    bool ReadControl() {
        if (m_Options.Control.empty()) {
            return true;
        }
        std::ifstream file(m_Options.Control);
        if (!file) {
            return true;
        }
        std::vector<std::string> words{std::istream_iterator<std::string>(file),
                                       std::istream_iterator<std::string>()};
        file.close();
        const std::string command = words.empty() ? std::string() : words[0];
        std::ostringstream text;
        for (const std::string& word : words) {
            text << (&word == &words[0] ? "" : " ") << word;
        }
        Log("command: " + text.str());
        bool done = true;
        if (command == "unplug") {
            m_bReturnPending = false;
            Unplug("told to");
        } else if (command == "plug") {
            done = Plug(words.size() > 1 && words[1] == "2" ? 2 : 1);
        } else if (command == "restart") {
            ReceiverOptions fresh = m_Options;
            fresh.Start = Behaviour();
            std::string error;
            if (!ParseOptions({words.begin() + 1, words.end()}, true, &fresh, &error)) {
                Log("refused the command: " + error);
            } else {
                m_bReturnPending = false;
                Unplug("restarting");
                done = Begin(fresh.Start);
            }
        } else if (command == "quit") {
            m_bQuit = true;
        } else {
            Log("unknown command");
        }
        std::remove(m_Options.Control.c_str());
        return done;
    }

    const ReceiverOptions m_Options;
    Behaviour m_Behaviour;
    unsigned m_nReceiver = 0; // starts so far
    const Clock::time_point m_Start = Clock::now();
    UhidDevice m_Device;
    SimFirmware m_Firmware;
    std::map<ReportKind, unsigned> m_Outputs;
    unsigned m_nRefused = 0;
    bool m_bInputLogged = false;
    bool m_bReturnPending = false;
    Clock::time_point m_ReturnAt;
    bool m_bQuit = false;
};

} // namespace

int main(int argc, char** argv) {
    ReceiverOptions options;
    std::string error;
    if (!ParseOptions({argv + 1, argv + argc}, false, &options, &error)) {
        std::fprintf(stderr, "kx-uhid-receiver: %s\n", error.c_str());
        return 2;
    }
    struct sigaction stop {};
    stop.sa_handler = OnStopSignal; // no SA_RESTART: the wait returns at once
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);

    Receiver receiver(options);
    if (!receiver.Start()) {
        return 1;
    }
    return receiver.Run() ? 0 : 1;
}
