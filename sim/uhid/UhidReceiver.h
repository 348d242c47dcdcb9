// The receiver as a virtual USB HID device on Linux.
#pragma once

#include "sim/SimFirmware.h"
#include "sim/uhid/ReceiverOptions.h"
#include "sim/uhid/UhidDevice.h"

#include <chrono>
#include <csignal>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

// UhidReceiver is the simulated receiver's firmware (SimFirmware) on a uhid device: its
// second transport, beside the device seam's SimReceiver. It plugs itself in as the
// options say, answers every output report the host writes with the firmware's actions
// (input reports, a reboot or mode switch that takes it off the bus for a moment and
// brings it back in mode 1, leaving the bus at a chosen block), writes the image it
// received to a file whenever an update ends, carries out the commands of its control
// file, and logs all of it with the report lengths and numbers it sees.
class UhidReceiver {
public:
    explicit UhidReceiver(const ReceiverOptions& options) : m_Options(options) {}

    // Opens uhid and plugs in as the options say; false when it cannot.
    bool Start();
    // Runs until stop is set or the command "quit" comes, then unplugs; false when the
    // uhid device failed or a command could not be carried out.
    bool Run(const volatile std::sig_atomic_t& stop);

private:
    using Clock = std::chrono::steady_clock;

    // Reports of one kind, as counted while the receiver is plugged in.
    struct ReportKind {
        std::size_t Length;
        unsigned Number;
        bool operator<(const ReportKind& other) const {
            return std::make_pair(Length, Number) < std::make_pair(other.Length, other.Number);
        }
    };

    void Log(const std::string& text) const;
    // Starts afresh: the firmware with its options, plugged in unless to start absent.
    // Each start is another receiver to the host (another serial number), so nothing the
    // host kept of the one before, a file left open say, stands in its way.
    bool Begin(const Behaviour& behaviour);
    int PollTimeout() const;
    bool Plug(int mode);
    void Unplug(const std::string& why);
    void OnEvent(const UhidDevice::Event& event);
    void OnOutputReport(const std::vector<std::uint8_t>& report);
    void Apply(const SimFirmware::Action& action);
    void Send(const SimFirmware::Action& action);
    void UpdateEnded();
    // Written beside and then renamed, so a reader never sees half a file.
    void WriteReceived(const std::vector<std::uint8_t>& image) const;
    // Carries out a command waiting in the control file, then removes the file; false
    // when the command is unknown or cannot be carried out.
    bool ReadControl();

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
