#include "sim/uhid/UhidDevice.h"

#include <linux/uhid.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <unistd.h>

namespace {

constexpr std::uint16_t kBusUsb = 0x03; // the receiver is a USB device

void CopyText(std::uint8_t* to, std::size_t size, const std::string& text) {
    std::memset(to, 0, size);
    std::memcpy(to, text.data(), std::min(text.size(), size - 1));
}

} // namespace

UhidDevice::~UhidDevice() {
    Destroy();
    if (m_Fd >= 0) {
        close(m_Fd);
    }
}

bool UhidDevice::Open() {
    m_Fd = open("/dev/uhid", O_RDWR | O_CLOEXEC);
    return m_Fd >= 0 || Fail("open /dev/uhid");
}

bool UhidDevice::Create(const UhidIdentity& identity) {
    if (m_bPresent) {
        return true;
    }
    auto event = std::make_unique<uhid_event>();
    std::memset(event.get(), 0, sizeof(uhid_event));
    event->type = UHID_CREATE2;
    uhid_create2_req& create = event->u.create2;
    CopyText(create.name, sizeof(create.name), identity.Name);
    CopyText(create.phys, sizeof(create.phys), "kestrix-uhid");
    CopyText(create.uniq, sizeof(create.uniq), identity.Serial);
    if (identity.ReportDescriptor.size() > sizeof(create.rd_data)) {
        m_Error = "report descriptor too long";
        return false;
    }
    create.rd_size = static_cast<std::uint16_t>(identity.ReportDescriptor.size());
    std::memcpy(create.rd_data, identity.ReportDescriptor.data(), identity.ReportDescriptor.size());
    create.bus = kBusUsb;
    create.vendor = identity.Vendor;
    create.product = identity.Product;
    create.version = 0x0100;
    m_bPresent = Write(event.get());
    return m_bPresent;
}

void UhidDevice::Destroy() {
    if (!m_bPresent) {
        return;
    }
    uhid_event event{};
    event.type = UHID_DESTROY;
    Write(&event);
    m_bPresent = false;
}

bool UhidDevice::SendInput(const std::vector<std::uint8_t>& report) {
    if (!m_bPresent || report.size() > UHID_DATA_MAX) {
        return false;
    }
    auto event = std::make_unique<uhid_event>();
    std::memset(event.get(), 0, sizeof(uhid_event));
    event->type = UHID_INPUT2;
    event->u.input2.size = static_cast<std::uint16_t>(report.size());
    std::memcpy(event->u.input2.data, report.data(), report.size());
    return Write(event.get());
}

UhidDevice::Event UhidDevice::Poll(int timeoutMs) {
    Event result;
    pollfd wait{m_Fd, POLLIN, 0};
    const int ready = poll(&wait, 1, timeoutMs);
    if (ready < 0 && errno != EINTR) {
        Fail("poll /dev/uhid");
    }
    if (ready <= 0) {
        return result;
    }
    auto event = std::make_unique<uhid_event>();
    const ssize_t got = read(m_Fd, event.get(), sizeof(uhid_event));
    if (got < 0) {
        if (errno != EINTR && errno != EAGAIN) {
            Fail("read /dev/uhid");
        }
        return result;
    }
    switch (event->type) {
    case UHID_OUTPUT: {
        const std::size_t size = std::min<std::size_t>(event->u.output.size, UHID_DATA_MAX);
        result.What = Event::Kind::Output;
        result.Report.assign(event->u.output.data, event->u.output.data + size);
        break;
    }
    case UHID_OPEN:
        result.What = Event::Kind::Opened;
        break;
    case UHID_CLOSE:
        result.What = Event::Kind::Closed;
        break;
    case UHID_GET_REPORT:
    case UHID_SET_REPORT: {
        // The receiver has no feature reports and reads none on request: refuse, or the
        // host's request would wait for the kernel's time-out.
        const bool get = event->type == UHID_GET_REPORT;
        const std::uint32_t id = get ? event->u.get_report.id : event->u.set_report.id;
        std::memset(event.get(), 0, sizeof(uhid_event));
        event->type = get ? UHID_GET_REPORT_REPLY : UHID_SET_REPORT_REPLY;
        if (get) {
            event->u.get_report_reply.id = id;
            event->u.get_report_reply.err = EIO;
        } else {
            event->u.set_report_reply.id = id;
            event->u.set_report_reply.err = EIO;
        }
        Write(event.get());
        result.What = Event::Kind::Other;
        result.Note = get ? "a get-report request, refused" : "a set-report request, refused";
        break;
    }
    case UHID_START:
        result.What = Event::Kind::Other;
        result.Note = "started by the kernel's HID driver";
        break;
    case UHID_STOP:
        result.What = Event::Kind::Other;
        result.Note = "stopped by the kernel's HID driver";
        break;
    default:
        result.What = Event::Kind::Other;
        result.Note = "event " + std::to_string(event->type);
        break;
    }
    return result;
}

bool UhidDevice::Write(const void* event) {
    const ssize_t written = write(m_Fd, event, sizeof(uhid_event));
    return written == static_cast<ssize_t>(sizeof(uhid_event)) || Fail("write /dev/uhid");
}

bool UhidDevice::Fail(const std::string& what) {
    m_Error = what + ": " + std::strerror(errno);
    return false;
}
