#include "link/Hid.h"

#include "link/LinkProtocol.h"
#include "link/UniqueKernelHandle.h"

#include <dbt.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <utility>
#include <vector>

const DeviceEntry* DeviceRow(unsigned mode) {
    for (const DeviceEntry& row : kDeviceTable)
        if (row.Mode == mode)
            return &row;
    return nullptr;
}

namespace {

constexpr DWORD kOpenReadTimeoutMs = 200;
// A report the device has not taken within this time is cancelled and counts as not
// written: a receiver that stops taking reports must not hold the tool up.
constexpr DWORD kWriteTimeoutMs = 1000;
// How long a cancelled request is waited for before it is given up.
constexpr DWORD kCancelGraceMs = 500;
// An interface whose detail query keeps failing is given up after this many attempts,
// each with a buffer sized for it, and the search moves on to the next interface.
constexpr int kDetailAttempts = 3;
constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

// The longest report any row of the device table has.
constexpr std::size_t kMaxReportLength = [] {
    std::size_t longest = 0;
    for (const DeviceEntry& row : kDeviceTable)
        longest = std::max<std::size_t>({longest, row.Reports.InputLength, row.Reports.OutputLength});
    return longest;
}();

// The report layout of an open HID interface, from its capabilities, when it is this
// row's; false when the capabilities cannot be read or are another layout (another
// top-level collection of the same device, say).
bool HasRowLayout(DeviceApi& api, HANDLE device, const DeviceEntry& row) {
    PHIDP_PREPARSED_DATA data = nullptr;
    if (!api.HidD_GetPreparsedData(device, &data) || !data)
        return false;
    HIDP_CAPS caps{};
    const bool read = api.HidP_GetCaps(data, &caps) == HIDP_STATUS_SUCCESS;
    api.HidD_FreePreparsedData(data);
    return read && caps.InputReportByteLength == row.Reports.InputLength &&
           caps.OutputReportByteLength == row.Reports.OutputLength;
}

// How the system refuses requests on the open files of a receiver that has been
// removed. The HID class ends a read pending at the removal, and fails every later read
// and write, with STATUS_DELETE_PENDING, which reaches the program as
// ERROR_ACCESS_DENIED (observed on Wine's HID stack); other stacks say the device is not
// connected. On files opened with the access their requests use, nothing else is
// refused as access denied.
bool MeansDeviceGone(DWORD error) {
    return error == ERROR_DEVICE_NOT_CONNECTED || error == ERROR_DEV_NOT_EXIST ||
           error == ERROR_ACCESS_DENIED;
}

// The variable-length detail record of one interface, sized by the system's answer and
// aligned for the record's fixed part.
class DetailBuffer {
public:
    bool Empty() const { return m_Words.empty(); }
    void Release() { m_Words.clear(); }
    void Allocate(DWORD bytes) {
        bytes = std::max<DWORD>(bytes, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W));
        m_Words.assign((bytes + sizeof(DWORD) - 1) / sizeof(DWORD), 0);
        m_nBytes = bytes;
        Record()->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    }
    SP_DEVICE_INTERFACE_DETAIL_DATA_W* Record() {
        return reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(m_Words.data());
    }
    DWORD Bytes() const { return m_nBytes; }
    // The path, bounded by the buffer even if the record lacks its terminator.
    std::wstring Path() {
        const size_t offset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
        const size_t chars = (m_nBytes - offset) / sizeof(wchar_t);
        return std::wstring(Record()->DevicePath, wcsnlen(Record()->DevicePath, chars));
    }

private:
    std::vector<DWORD> m_Words;
    DWORD m_nBytes = 0;
};

} // namespace

// What the system holds on to while an overlapped request is in flight: its OVERLAPPED,
// its event and its report. Made once per file and direction rather than for every
// report: writes take turns, and one worker reads at a time.
struct CHid::Request {
    OVERLAPPED Overlapped{};
    UniqueKernelHandle Event{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::uint8_t Report[kMaxReportLength] = {};

    // Starts a request: a signal left from an earlier one must never end its wait.
    OVERLAPPED* Begin() {
        Overlapped = OVERLAPPED{};
        Overlapped.hEvent = Event.Get();
        ::ResetEvent(Overlapped.hEvent);
        return &Overlapped;
    }
};

// A device file shared by the CHid that holds it and any read or write using it, so a
// file replaced by OpenDevice closes only when the last user is done with it. Retired
// marks a file that has been replaced: a read that finds it set cancels itself.
struct CHid::DeviceFile {
    DeviceFile(UniqueDeviceHandle handle, const ReportGeometry& geometry)
        : File(std::move(handle)), Geometry(geometry) {}
    UniqueDeviceHandle File;
    const ReportGeometry Geometry; // as the search found it when the file was opened
    std::atomic<bool> Retired{false};
    std::unique_ptr<Request> Write = std::make_unique<Request>();
    std::unique_ptr<Request> Read = std::make_unique<Request>();
};

namespace {
// Waits for a request that has been cancelled to end, for a while. One that the driver
// never ends is given up: its OVERLAPPED, event and report stay allocated for the
// process's life, since the system may still write to them, and the file gets new ones
// for its next request. False when it was given up.
bool AwaitCancelled(std::unique_ptr<CHid::Request>& request) {
    if (::WaitForSingleObject(request->Event.Get(), kCancelGraceMs) == WAIT_OBJECT_0)
        return true;
    // NOLINTNEXTLINE(bugprone-unused-return-value): the system may still write to it
    request.release(); // deliberately never freed
    request = std::make_unique<CHid::Request>();
    return false;
}
} // namespace

CHid::CHid() = default;

CHid::~CHid() {
    std::shared_ptr<DeviceFile> read;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        read = std::move(m_hRead);
        m_hWrite.reset();
    }
    Retire(std::move(read));
    m_hDevNotify.Reset();
}

int CHid::FindDevice() {
    std::lock_guard<std::mutex> search(m_SearchLock);
    // Only what is present is published: the open files keep the layout they were
    // opened with, whatever a later search finds.
    unsigned mode = 0;
    for (const DeviceEntry& row : kDeviceTable) {
        UniqueDeviceHandle probe;
        const int found = OpenHidDevice(&probe, row);
        if (!m_bNotifyRegistered) {
            // Once for the object's life, whether or not anything was found and whether
            // or not the registration succeeds.
            RegisterDeviceChange();
            m_bNotifyRegistered = 1;
        }
        if (found) {
            mode = row.Mode;
            break;
        }
    }
    if (mode) {
        m_nLastMode = mode;
    }
    m_nMode = mode;
    m_bFound = mode ? 1 : 0;
    return m_bFound;
}

int CHid::OpenHidDevice(UniqueDeviceHandle* out, const DeviceEntry& row) {
    DeviceApi& api = CurrentDeviceApi();
    GUID hidGuid{};
    api.HidD_GetHidGuid(&hidGuid);
    UniqueDeviceInfoList set(api, api.SetupDiGetClassDevsW(&hidGuid, nullptr, nullptr,
                                                           DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!set.Valid()) {
        return 0;
    }

    // One detail buffer serves interface after interface; a failed query releases it so
    // the next attempt sizes it for the interface at hand.
    DetailBuffer detail;
    int attempts = 0;
    for (DWORD index = 0;;) {
        SP_DEVICE_INTERFACE_DATA iface{};
        iface.cbSize = sizeof(iface);
        if (!api.SetupDiEnumDeviceInterfaces(set.Get(), nullptr, &hidGuid, index, &iface)) {
            return 0;
        }
        const bool fresh = detail.Empty();
        if (fresh) {
            DWORD required = 0;
            api.SetupDiGetDeviceInterfaceDetailW(set.Get(), &iface, nullptr, 0, &required, nullptr);
            detail.Allocate(required);
        }
        if (!api.SetupDiGetDeviceInterfaceDetailW(set.Get(), &iface, detail.Record(),
                                                  detail.Bytes(), nullptr, nullptr)) {
            // A buffer sized for an earlier interface may just be too small: that costs
            // no attempt. Only queries with a buffer sized for this interface count.
            detail.Release();
            if (fresh && ++attempts >= kDetailAttempts) {
                attempts = 0;
                ++index;
            }
            continue;
        }
        attempts = 0;
        ++index;

        const std::wstring path = detail.Path();
        UniqueDeviceHandle device(api, api.CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                                       kShare, nullptr, OPEN_EXISTING,
                                                       FILE_FLAG_OVERLAPPED, nullptr));
        if (!device.Valid()) {
            continue;
        }
        HIDD_ATTRIBUTES attributes{};
        attributes.Size = sizeof(attributes);
        if (api.HidD_GetAttributes(device.Get(), &attributes) &&
            attributes.VendorID == row.VendorID && attributes.ProductID == row.ProductID &&
            HasRowLayout(api, device.Get(), row)) {
            {
                std::lock_guard<std::mutex> lock(m_Lock);
                m_DevicePath = path;
                m_Found = row.Reports;
            }
            if (out) {
                *out = std::move(device);
            }
            return 1;
        }
    }
}

int CHid::OpenDevice() {
    DeviceApi& api = CurrentDeviceApi();
    std::wstring path;
    ReportGeometry geometry;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        path = m_DevicePath;
        geometry = m_Found;
    }
    auto open = [&](DWORD access) {
        return std::make_shared<DeviceFile>(
            UniqueDeviceHandle(api, api.CreateFileW(path.c_str(), access, kShare, nullptr,
                                                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr)),
            geometry);
    };
    auto write = open(GENERIC_WRITE);
    std::shared_ptr<DeviceFile> read;
    if (write->File.Valid()) {
        read = open(GENERIC_READ);
    }
    const bool writeOpen = write->File.Valid();
    const bool readOpen = read && read->File.Valid();

    // Fresh handles take the place of those held before, as far as they opened: a failed
    // write handle leaves none for writing, a failed read handle none for reading.
    std::shared_ptr<DeviceFile> oldWrite;
    std::shared_ptr<DeviceFile> oldRead;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        oldWrite = std::exchange(m_hWrite, writeOpen ? write : nullptr);
        if (writeOpen) {
            oldRead = std::exchange(m_hRead, readOpen ? read : nullptr);
        }
        m_OpenPath = writeOpen && readOpen ? path : std::wstring();
    }
    Retire(std::move(oldRead));
    if (!writeOpen || !readOpen) {
        return 0;
    }
    m_nReadTimeout = kOpenReadTimeoutMs;
    m_bGone = false;
    return 1;
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): takes the caller's share and drops it
void CHid::Retire(std::shared_ptr<DeviceFile> file) {
    if (!file) {
        return;
    }
    file->Retired = true;
    // A read still using the file is cancelled; the reader waits for it to end and then
    // lets go of the file, which closes it.
    if (file.use_count() > 1) {
        file->File.Api().CancelIoEx(file->File.Get(), nullptr);
    }
}

int CHid::WriteHid(const std::uint8_t* data, std::uint8_t count) {
    std::lock_guard<std::mutex> tx(m_WriteLock);
    std::shared_ptr<DeviceFile> file;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        file = m_hWrite;
    }
    if (!file || !file->File.Valid()) {
        m_nLastWriteError = ERROR_INVALID_HANDLE;
        return 0;
    }
    // A file opened with no layout found has no report to send; a zero-length write must
    // not count as written.
    const std::size_t length = file->Geometry.OutputLength;
    if (length == 0 || length > kMaxReportLength) {
        m_nLastWriteError = ERROR_DEVICE_NOT_CONNECTED;
        return 0;
    }
    Request& request = *file->Write;
    if (!request.Event.Valid()) {
        m_nLastWriteError = ERROR_NOT_ENOUGH_MEMORY;
        return 0;
    }
    std::uint8_t* report = request.Report;
    std::memset(report, 0, sizeof(request.Report));
    report[0] = file->Geometry.ReportId;
    const size_t copied = std::min<size_t>(count, length - 1);
    if (data && copied) {
        std::memcpy(report + 1, data, copied);
    }
    // Overlapped, with a time-out: a write the device never completes is cancelled, and
    // waited for (within a bound) before its report may be used again.
    DeviceApi& api = file->File.Api();
    const HANDLE handle = file->File.Get();
    OVERLAPPED* overlapped = request.Begin();
    if (!api.WriteFile(handle, report, static_cast<DWORD>(length), nullptr, overlapped)) {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            NoteWriteFailure(error);
            return 0;
        }
    }
    const DWORD wait = WaitForSingleObject(overlapped->hEvent, kWriteTimeoutMs);
    if (wait != WAIT_OBJECT_0) {
        api.CancelIoEx(handle, overlapped);
        if (!AwaitCancelled(file->Write)) {
            NoteWriteFailure(ERROR_TIMEOUT);
            return 0;
        }
    }
    DWORD written = 0;
    if (!api.GetOverlappedResult(handle, overlapped, &written, FALSE)) {
        const DWORD error = GetLastError();
        NoteWriteFailure(wait == WAIT_TIMEOUT && error == ERROR_OPERATION_ABORTED ? ERROR_TIMEOUT
                                                                                  : error);
        return 0;
    }
    return 1;
}

int CHid::WriteFrame(const std::uint8_t* frame, int total, int piece) {
    std::lock_guard<std::mutex> together(m_FrameLock);
    std::uint8_t staged[kMaxReportLength];
    for (int offset = 0; offset < total; offset += piece) {
        const int n = std::min(piece, total - offset);
        if (n + 1 > static_cast<int>(sizeof(staged))) {
            return 0;
        }
        staged[0] = static_cast<std::uint8_t>(n);
        std::memcpy(staged + 1, frame + offset, static_cast<size_t>(n));
        if (!WriteHid(staged, static_cast<std::uint8_t>(n + 1))) {
            return 0;
        }
    }
    return 1;
}

DWORD CHid::ReadHid(std::uint8_t* dest, std::uint8_t count, std::uint16_t* delivered) {
    std::shared_ptr<DeviceFile> file;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        file = m_hRead;
    }
    if (!file || !file->File.Valid()) {
        return HID_READ_NOT_OPEN;
    }
    const DWORD timeout = m_nReadTimeout.load();
    const DWORD length = file->Geometry.InputLength;
    // A read that cannot start brings nothing, but still takes the time-out to come back,
    // so a caller that reads in a loop keeps its pace.
    if (length == 0 || length > kMaxReportLength || !file->Read->Event.Valid()) {
        ::Sleep(timeout);
        return HID_READ_FAILED;
    }
    DeviceApi& api = file->File.Api();
    const HANDLE handle = file->File.Get();
    Request& request = *file->Read;
    std::uint8_t* report = request.Report;
    OVERLAPPED* overlapped = request.Begin();
    const HANDLE event = overlapped->hEvent;
    if (!api.ReadFile(handle, report, length, nullptr, overlapped)) {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            NoteFailure(error);
            ::Sleep(timeout);
            return MeansDeviceGone(error) ? HID_READ_DEVICE_GONE : HID_READ_FAILED;
        }
    }
    // The file may have been replaced between taking it and starting the read.
    if (file->Retired) {
        api.CancelIo(handle);
    }
    const DWORD wait = WaitForSingleObject(event, timeout);
    if (wait != WAIT_OBJECT_0) {
        api.CancelIo(handle);
        // Whether it completed or was cancelled, the read must have ended before its
        // report and event serve the next one.
        if (!AwaitCancelled(file->Read)) {
            return HID_READ_FAILED;
        }
    }
    DWORD transferred = 0;
    if (api.GetOverlappedResult(handle, overlapped, &transferred, FALSE)) {
        // A report that arrived just as the time-out ran out is delivered, not dropped.
        const std::size_t payload = length - 1;
        if (dest && count) {
            std::memcpy(dest, report + 1, std::min<size_t>(count, payload));
        }
        if (delivered) {
            *delivered = static_cast<std::uint16_t>(payload);
        }
        return HID_READ_OK;
    }
    const DWORD error = GetLastError();
    NoteFailure(error);
    if (MeansDeviceGone(error)) {
        return HID_READ_DEVICE_GONE;
    }
    if (wait == WAIT_TIMEOUT && error == ERROR_OPERATION_ABORTED && !file->Retired) {
        return HID_READ_TIMEOUT;
    }
    return HID_READ_FAILED;
}

void CHid::NoteWriteFailure(DWORD error) {
    m_nLastWriteError = error;
    NoteFailure(error);
}

void CHid::NoteFailure(DWORD error) {
    if (MeansDeviceGone(error)) {
        m_bGone = true;
    }
}

void CHid::SetReadTimeout(DWORD milliseconds) {
    m_nReadTimeout = milliseconds;
}

int CHid::RegisterDeviceChange() {
    DeviceApi& api = CurrentDeviceApi();
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_reserved = 0;
    api.HidD_GetHidGuid(&filter.dbcc_classguid);
    filter.dbcc_name[0] = L'\0';
    const HDEVNOTIFY notify =
        api.RegisterDeviceNotificationW(m_hNotifyWnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    m_hDevNotify = UniqueDeviceNotification(api, notify);
    return notify ? 1 : 0;
}

void CHid::UnregisterDeviceChange() {
    std::lock_guard<std::mutex> search(m_SearchLock);
    m_hDevNotify.Reset();
}

std::wstring CHid::DevicePath() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_DevicePath;
}

bool CHid::IsOpenDevice(const std::wstring& path) const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return !path.empty() && _wcsicmp(path.c_str(), m_OpenPath.c_str()) == 0;
}

