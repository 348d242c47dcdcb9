// The receiver as a virtual USB HID device on Linux.
#pragma once

#include "sim/SimFirmware.h"
#include "sim/uhid/ReceiverControl.h"
#include "sim/uhid/ReceiverLog.h"
#include "sim/uhid/ReceiverOptions.h"
#include "sim/uhid/ReportAudit.h"
#include "sim/uhid/UhidDevice.h"

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// UhidReceiver is the simulated receiver's firmware (SimFirmware) on a uhid device: its
// second transport, beside the device seam's SimReceiver. It plugs itself in as the
// options say, answers every output report the host writes with the firmware's actions
// (input reports, a reboot or mode switch that takes it off the bus for a moment and
// brings it back in mode 1, leaving the bus at a chosen block), writes the image it
// received to a file whenever an update ends, carries out the commands of its control
// file, and logs all of it with the report lengths and numbers it sees. An output report
// not of its mode's length and report number is refused and kept for the "audit"
// command. In mode 2 it may keep sending reports of its own (--stream), which the host
// reads or not.
class UhidReceiver {
public:
    explicit UhidReceiver(const ReceiverOptions& options)
        : m_Options(options), m_Log(stdout), m_Control(options.Control) {}

    // Opens uhid and plugs in as the options say; false when it cannot.
    bool Start();
    // Runs until stop is set or the command "quit" comes, then unplugs; false when the
    // uhid device failed or a command could not be carried out.
    bool Run(const volatile std::sig_atomic_t& stop);

private:
    using Clock = std::chrono::steady_clock;

    void Log(const std::string& text) { m_Log.Line(text); }
    // Starts afresh: the firmware with its options, plugged in unless to start absent.
    // Each start is another receiver to the host (another serial number), so nothing the
    // host kept of the one before, a file left open say, stands in its way.
    bool Begin(const Behaviour& behaviour);
    int PollTimeout() const;
    bool Plug(int mode);
    void Unplug(const std::string& why);
    void OnEvent(const UhidDevice::Event& event);
    void OnOutputReport(const std::vector<std::uint8_t>& report);
    // With --other-interface: plugs it in, and takes what the host did with it since.
    bool PlugOtherInterface();
    void PollOtherInterface();
    void Apply(const SimFirmware::Action& action);
    void Send(const SimFirmware::Action& action);
    // In mode 2 with --stream: the next report of its own, when it is due.
    void Stream();
    void UpdateEnded();
    // Written beside and then renamed, so a reader never sees half a file.
    void WriteReceived(const std::vector<std::uint8_t>& image);
    // Carries out a command waiting in the control file and answers it; false when the
    // command is unknown or cannot be carried out, or cannot be answered.
    bool ReadControl();
    // Carries out one command; empty when done, else why not. *answer is what the
    // command asked for.
    std::string Carry(const std::vector<std::string>& words, std::string* answer);

    const ReceiverOptions m_Options;
    ReceiverLog m_Log;
    ReceiverControl m_Control;
    Behaviour m_Behaviour;
    unsigned m_nReceiver = 0; // starts so far
    UhidDevice m_Device;
    UhidDevice m_Other;             // --other-interface, opened at its first use
    unsigned m_nOtherReports = 0;   // output reports written to it since the last audit
    SimFirmware m_Firmware;
    ReportAudit m_Audit;
    unsigned m_nRefused = 0;
    bool m_bInputLogged = false;
    unsigned m_nStreamed = 0; // reports of its own sent since plugged in
    Clock::time_point m_NextStream;
    bool m_bReturnPending = false;
    Clock::time_point m_ReturnAt;
    bool m_bQuit = false;
};
