#include "sim/uhid/UhidReceiver.h"

#include "sim/uhid/ProtocolText.h"
#include "sim/uhid/ReceiverDescriptor.h"

#include "link/LinkProtocol.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {
constexpr auto kStreamEvery = std::chrono::milliseconds(100); // --stream's pace
} // namespace

bool UhidReceiver::Start() {
    if (!m_Device.Open()) {
        Log("cannot start: " + m_Device.Error());
        return false;
    }
    return Begin(m_Options.Start);
}

bool UhidReceiver::Run(const volatile std::sig_atomic_t& stop) {
    while (!stop && !m_bQuit) {
        const UhidDevice::Event event = m_Device.Poll(PollTimeout());
        if (!m_Device.Error().empty()) {
            Log("uhid failed: " + m_Device.Error());
            return false;
        }
        OnEvent(event);
        PollOtherInterface();
        if (m_bReturnPending && Clock::now() >= m_ReturnAt) {
            m_bReturnPending = false;
            Plug(1);
        }
        Stream();
        if (!ReadControl()) {
            return false;
        }
    }
    Unplug("told to stop");
    return true;
}

bool UhidReceiver::Begin(const Behaviour& behaviour) {
    ++m_nReceiver;
    m_Behaviour = behaviour;
    m_Firmware = SimFirmware();
    m_Firmware.Options() = behaviour.Firmware;
    return behaviour.Absent || Plug(behaviour.Mode);
}

int UhidReceiver::PollTimeout() const {
    int timeout = m_Options.Control.empty() ? 1000 : 100;
    const auto until = [&](Clock::time_point at) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(at - Clock::now());
        timeout = std::max(0, std::min(timeout, static_cast<int>(left.count())));
    };
    if (m_bReturnPending) {
        until(m_ReturnAt);
    }
    if (m_Behaviour.Stream && m_Device.Present() && m_Firmware.Mode() == 2) {
        until(m_NextStream);
    }
    return timeout;
}

bool UhidReceiver::Plug(int mode) {
    if (m_Device.Present()) {
        return true;
    }
    m_Firmware.Boot(mode);
    if (mode == 1 && !PlugOtherInterface()) {
        return false;
    }
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
    m_Audit.Plugged();
    m_bInputLogged = false;
    m_nStreamed = 0;
    m_NextStream = Clock::now();
    Log("plugged in, mode " + std::to_string(mode) + ", " + Hex(identity.Vendor, 4) + ":" +
        Hex(identity.Product, 4) + ", firmware version word " +
        Hex(m_Firmware.Options().Version, 8) + ", reports of " +
        std::to_string(m_Firmware.ReportLength()) + " bytes with report number " +
        Hex(m_Firmware.ReportNumber(), 2));
    return true;
}

void UhidReceiver::Unplug(const std::string& why) {
    if (!m_Device.Present()) {
        return;
    }
    m_Device.Destroy();
    m_Other.Destroy();
    Log("unplugged (" + why + "); output reports received: " + m_Audit.PluggedSummary() +
        (m_nStreamed ? "; reports of its own sent in mode 2: " + std::to_string(m_nStreamed)
                     : std::string()));
    if (m_Firmware.OnUnplugged()) {
        UpdateEnded();
    }
}

bool UhidReceiver::PlugOtherInterface() {
    const int length = m_Behaviour.OtherInterfaceLength;
    if (!length || m_Other.Present()) {
        return true;
    }
    if (!m_Other.Opened() && !m_Other.Open()) {
        Log("cannot plug the other interface in: " + m_Other.Error());
        return false;
    }
    UhidIdentity identity;
    identity.Vendor = m_Options.Vendor;
    identity.Product = m_Options.Product;
    identity.Name = "Kestrix receiver (virtual), other interface";
    char serial[24];
    // Wine lists the interfaces of one vendor and product number by their instance names,
    // which end in the serial number: this one sorts before the receiver's.
    std::snprintf(serial, sizeof(serial), "KX-OTHER-%04u", m_nReceiver);
    identity.Serial = serial;
    identity.ReportDescriptor = OtherInterfaceDescriptor(static_cast<std::uint8_t>(length));
    if (!m_Other.Create(identity)) {
        Log("cannot plug the other interface in: " + m_Other.Error());
        return false;
    }
    Log("the other interface plugged in first: reports of " + std::to_string(length) +
        " bytes with report number " + Hex(REPORT_ID_MODE1, 2));
    return true;
}

void UhidReceiver::PollOtherInterface() {
    while (m_Other.Present()) {
        const UhidDevice::Event event = m_Other.Poll(0);
        if (event.What == UhidDevice::Event::Kind::None) {
            return;
        }
        if (event.What == UhidDevice::Event::Kind::Output && m_nOtherReports++ == 0) {
            Log("the other interface was written an output report of " +
                std::to_string(event.Report.size()) + " bytes");
        }
    }
}

void UhidReceiver::OnEvent(const UhidDevice::Event& event) {
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

void UhidReceiver::OnOutputReport(const std::vector<std::uint8_t>& report) {
    const bool right = m_Audit.Note(m_Firmware, report.data(), report.size());
    const std::string kind = std::to_string(report.size()) + " bytes with report number " +
                             Hex(report.empty() ? 0u : report[0], 2);
    if (m_Audit.FirstOfItsKind()) {
        Log("first output report of " + kind);
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
    if (!right || !m_Firmware.OnOutputReport(report.data(), report.size(), &actions)) {
        if (++m_nRefused <= 5) {
            Log("refused an output report of " + kind + ": mode " +
                std::to_string(m_Firmware.Mode()) + " takes " +
                std::to_string(m_Firmware.ReportLength()) + " bytes with report number " +
                Hex(m_Firmware.ReportNumber(), 2));
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

void UhidReceiver::Apply(const SimFirmware::Action& action) {
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

void UhidReceiver::Send(const SimFirmware::Action& action) {
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

void UhidReceiver::Stream() {
    if (!m_Behaviour.Stream || !m_Device.Present() || m_Firmware.Mode() != 2 ||
        Clock::now() < m_NextStream) {
        return;
    }
    m_NextStream = Clock::now() + kStreamEvery;
    const SimFirmware::Action action{SimFirmware::ActionKind::Send,
                                     SimFirmware::VersionFrame(m_Behaviour.StreamVersion)};
    std::vector<std::uint8_t> report = m_Firmware.InputReport(action);
    report.erase(report.begin()); // unnumbered: no report-number byte on the bus
    if (!m_Device.SendInput(report)) {
        Log("cannot send an input report: " + m_Device.Error());
    } else if (m_nStreamed++ == 0) {
        Log("sending reports of its own in mode 2, every " + std::to_string(kStreamEvery.count()) +
            " ms: version " + Hex(m_Behaviour.StreamVersion, 8) + ", " +
            std::to_string(report.size()) + " bytes on the bus");
    }
}

void UhidReceiver::UpdateEnded() {
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

void UhidReceiver::WriteReceived(const std::vector<std::uint8_t>& image) {
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

bool UhidReceiver::ReadControl() {
    std::string line;
    if (!m_Control.Take(&line)) {
        return true;
    }
    std::istringstream in(line);
    const std::vector<std::string> words{std::istream_iterator<std::string>(in),
                                         std::istream_iterator<std::string>()};
    Log("command: " + line);
    std::string answer;
    const std::string failure = Carry(words, &answer);
    if (!failure.empty()) {
        Log("the command failed: " + failure);
    }
    if (!m_Control.Answer(failure.empty(), failure.empty() ? answer : failure)) {
        Log("cannot answer the command in " + m_Options.Control + ".reply");
        return false;
    }
    // A command that cannot be carried out ends the receiver: whoever sent it has been
    // told, and would otherwise go on with a receiver other than it thinks.
    return failure.empty();
}

std::string UhidReceiver::Carry(const std::vector<std::string>& words, std::string* answer) {
    const std::string command = words.empty() ? std::string() : words[0];
    if (command == "unplug") {
        m_bReturnPending = false;
        Unplug("told to");
    } else if (command == "plug") {
        if (!Plug(words.size() > 1 && words[1] == "2" ? 2 : 1)) {
            return "cannot plug in: " + m_Device.Error();
        }
    } else if (command == "restart") {
        ReceiverOptions fresh = m_Options;
        fresh.Start = Behaviour();
        std::string error;
        if (!ParseReceiverOptions({words.begin() + 1, words.end()}, true, &fresh, &error)) {
            return error;
        }
        m_bReturnPending = false;
        Unplug("restarting");
        if (!Begin(fresh.Start)) {
            return "cannot plug in: " + m_Device.Error();
        }
    } else if (command == "audit") {
        // The output reports not of the mode's layout, or not for the receiver at all,
        // since the last audit.
        *answer = m_Audit.TakeMismatches();
        if (m_nOtherReports) {
            *answer += (answer->empty() ? "" : "; ") + std::to_string(m_nOtherReports) +
                       " to the other interface";
            m_nOtherReports = 0;
        }
    } else if (command == "quit") {
        m_bQuit = true;
    } else {
        return "unknown command \"" + command + "\"";
    }
    return std::string();
}
