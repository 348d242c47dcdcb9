#include "sim/uhid/ReceiverDescriptor.h"

#include "link/LinkProtocol.h"

#include <iterator>

namespace {

// A vendor-defined collection of one input and one output report of `count` data bytes,
// numbered with `number` when it is not 0.
std::vector<std::uint8_t> VendorCollection(std::uint8_t number, std::uint8_t count) {
    std::vector<std::uint8_t> descriptor = {
        0x06, 0x00, 0xFF, // Usage Page (vendor-defined 0xFF00)
        0x09, 0x01,       // Usage (1)
        0xA1, 0x01,       // Collection (Application)
    };
    if (number) {
        descriptor.insert(descriptor.end(), {0x85, number}); // Report ID
    }
    const std::uint8_t reports[] = {
        0x09, 0x02,        // Usage (2)
        0x15, 0x00,        // Logical Minimum (0)
        0x26, 0xFF,  0x00, // Logical Maximum (255)
        0x75, 0x08,        // Report Size (8 bits)
        0x95, count,       // Report Count
        0x81, 0x02,        // Input (Data, Variable, Absolute)
        0x09, 0x03,        // Usage (3)
        0x95, count,       // Report Count
        0x91, 0x02,        // Output (Data, Variable, Absolute)
        0xC0,              // End Collection
    };
    descriptor.insert(descriptor.end(), std::begin(reports), std::end(reports));
    return descriptor;
}

} // namespace

std::vector<std::uint8_t> ReceiverReportDescriptor(int mode) {
    // Data bytes of one report, after the report-number byte the host's buffers start with.
    return mode == 2 ? VendorCollection(0, REPORT_LENGTH_MODE2 - 1)
                     : VendorCollection(REPORT_ID_MODE1, REPORT_LENGTH_MODE1 - 1);
}

std::vector<std::uint8_t> OtherInterfaceDescriptor(std::uint8_t length) {
    return VendorCollection(REPORT_ID_MODE1, static_cast<std::uint8_t>(length - 1));
}
