// The command line of the virtual receiver, and of its restart command.
#pragma once

#include "sim/SimFirmware.h"

#include <cstdint>
#include <string>
#include <vector>

// How the receiver behaves from a (re)start on.
struct Behaviour {
    bool Absent = false;
    int Mode = 1;
    SimFirmwareOptions Firmware;
    int RebootMs = 1000; // away from the bus while rebooting or switching mode
    // In mode 2, a version report with StreamVersion every 100 ms, as a receiver in its
    // game-controller mode keeps sending reports of its own.
    bool Stream = false;
    std::uint32_t StreamVersion = 0;
    // In mode 1, another interface with the same vendor and product number beside it,
    // with reports of this many bytes (0: none), made just before the receiver and
    // unplugged with it, as another collection of the same device would be.
    int OtherInterfaceLength = 0;
};

struct ReceiverOptions {
    std::uint16_t Vendor = 0x1209;
    std::uint16_t Product = 0x0001;
    std::string Received;
    std::string Control;
    Behaviour Start;
};

// Reads the options in args into *options (which keeps what they do not give). With
// behaviourOnly, only those from --absent on (a restart command's). False, with *error
// saying why, on an unknown option or a bad or missing value.
bool ParseReceiverOptions(const std::vector<std::string>& args, bool behaviourOnly,
                          ReceiverOptions* options, std::string* error);
