// One virtual HID device made by the Linux kernel's uhid driver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// What a device presents itself as on the bus.
struct UhidIdentity {
    std::uint16_t Vendor = 0;
    std::uint16_t Product = 0;
    std::string Name;
    std::string Serial;
    std::vector<std::uint8_t> ReportDescriptor;
};

// UhidDevice owns an open /dev/uhid and, between Create and Destroy, the HID device the
// kernel made for it (with its hidraw node, which host HID software opens). Destroying
// it is what unplugging the device is to the host. Poll waits for the kernel's next
// event: output reports the host wrote come back from it, the kernel's report requests
// are answered on the spot, the rest are noted. Closing the object destroys the device.
// Not thread-safe: one owner drives it.
class UhidDevice {
public:
    struct Event {
        enum class Kind { None, Output, Opened, Closed, Other };
        Kind What = Kind::None;
        std::vector<std::uint8_t> Report; // for Output: the bytes as the host wrote them
        std::string Note;                 // for Other: what it was
    };

    UhidDevice() = default;
    ~UhidDevice();
    UhidDevice(const UhidDevice&) = delete;
    UhidDevice& operator=(const UhidDevice&) = delete;

    // Opens /dev/uhid; false with Error() set when it cannot.
    bool Open();
    bool Opened() const { return m_Fd >= 0; }
    bool Create(const UhidIdentity& identity);
    void Destroy();
    bool Present() const { return m_bPresent; }
    // Hands one input report to the kernel, exactly the bytes the device sends on its
    // interrupt pipe.
    bool SendInput(const std::vector<std::uint8_t>& report);
    // Waits up to timeoutMs for the kernel's next event. An interrupted wait or a time-out
    // returns Kind::None; a failure of the uhid file returns None with Error() set.
    Event Poll(int timeoutMs);
    const std::string& Error() const { return m_Error; }

private:
    bool Write(const void* event);
    bool Fail(const std::string& what);

    int m_Fd = -1;
    bool m_bPresent = false;
    std::string m_Error;
};
