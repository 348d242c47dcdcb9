// The report descriptors the receiver presents in each device mode.
#pragma once

#include <cstdint>
#include <vector>

// A vendor-defined collection with one input and one output report, sized so that the
// host's HID software reads and writes reports of the mode's length with the mode's
// report-number byte first: in mode 1 numbered reports (number REPORT_ID_MODE1) of
// REPORT_LENGTH_MODE1 bytes with the number, in mode 2 unnumbered reports of
// REPORT_LENGTH_MODE2 bytes as the host sees them (a leading 0x00 that the bus does not
// carry, then the data).
std::vector<std::uint8_t> ReceiverReportDescriptor(int mode);
// The receiver's other interface (--other-interface): the mode-1 report number, but
// reports of `length` bytes with it.
std::vector<std::uint8_t> OtherInterfaceDescriptor(std::uint8_t length);
