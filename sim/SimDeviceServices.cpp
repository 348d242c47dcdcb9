// The simulated receiver's system services: the DeviceApi operations through which the
// link enumerates, opens, reads, writes and registers for notifications.
#include "sim/SimReceiver.h"

#include "sim/SimSystem.h"

#include <dbt.h>

#include <algorithm>
#include <cstring>
#include <cwchar>

// --- DeviceApi: HID class and device set-up services --------------------------------------

void SimReceiver::HidD_GetHidGuid(LPGUID hidGuid) {
    if (hidGuid) {
        *hidGuid = kHidGuid;
    }
}

BOOLEAN SimReceiver::HidD_GetAttributes(HANDLE device, PHIDD_ATTRIBUTES attributes) {
    LastErrorOnExit error;
    std::lock_guard<std::mutex> lock(m_Lock);
    const OpenFile* file = FindFile(device);
    if (!file) {
        return static_cast<BOOLEAN>(error.Fail(ERROR_INVALID_HANDLE));
    }
    if (!attributes) {
        return static_cast<BOOLEAN>(error.Fail(ERROR_INVALID_PARAMETER));
    }
    if (file->Device == kReceiver) {
        if (ReceiverFileGone(*file)) {
            return static_cast<BOOLEAN>(error.Fail(RemovedError()));
        }
        attributes->VendorID = m_nVendor;
        attributes->ProductID = ReceiverProduct();
    } else {
        const SimOtherDevice& other = m_Others[static_cast<std::size_t>(file->Device)];
        if (!other.AttributesReadable) {
            return static_cast<BOOLEAN>(error.Fail(ERROR_GEN_FAILURE));
        }
        attributes->VendorID = other.VendorID;
        attributes->ProductID = other.ProductID;
    }
    attributes->Size = sizeof(HIDD_ATTRIBUTES);
    attributes->VersionNumber = 0x0100;
    return TRUE;
}

// The capabilities of an open device: the lengths of its reports, as the host sees them.
BOOLEAN SimReceiver::HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* data) {
    LastErrorOnExit error;
    std::lock_guard<std::mutex> lock(m_Lock);
    const OpenFile* file = FindFile(device);
    if (!file) {
        return static_cast<BOOLEAN>(error.Fail(ERROR_INVALID_HANDLE));
    }
    if (!data) {
        return static_cast<BOOLEAN>(error.Fail(ERROR_INVALID_PARAMETER));
    }
    const bool readable = file->Device == kReceiver
                              ? m_bCapsReadable && !ReceiverFileGone(*file)
                              : m_Others[static_cast<std::size_t>(file->Device)].CapsReadable;
    if (!readable) {
        return static_cast<BOOLEAN>(error.Fail(ERROR_GEN_FAILURE));
    }
    auto caps = std::make_unique<HIDP_CAPS>();
    caps->InputReportByteLength = static_cast<USHORT>(ReportLength(file->Device));
    caps->OutputReportByteLength = caps->InputReportByteLength;
    *data = reinterpret_cast<PHIDP_PREPARSED_DATA>(caps.get());
    m_Preparsed[*data] = std::move(caps);
    return TRUE;
}

BOOLEAN SimReceiver::HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data) {
    LastErrorOnExit error;
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Preparsed.erase(data) ? TRUE : static_cast<BOOLEAN>(error.Fail(ERROR_INVALID_PARAMETER));
}

NTSTATUS SimReceiver::HidP_GetCaps(PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps) {
    std::lock_guard<std::mutex> lock(m_Lock);
    const auto it = m_Preparsed.find(data);
    if (it == m_Preparsed.end() || !caps) {
        return HIDP_STATUS_INVALID_PREPARSED_DATA;
    }
    *caps = *it->second;
    return HIDP_STATUS_SUCCESS;
}

HDEVINFO SimReceiver::SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR, HWND, DWORD flags) {
    std::lock_guard<std::mutex> lock(m_Lock);
    auto set = std::make_unique<InfoSet>();
    if (classGuid && *classGuid == kHidGuid && (flags & DIGCF_DEVICEINTERFACE)) {
        for (std::size_t i = 0; i < m_Others.size(); ++i) {
            set->Interfaces.push_back({static_cast<int>(i), PathOf(static_cast<int>(i))});
        }
        if (m_bPresent) {
            set->Interfaces.push_back({kReceiver, PathOf(kReceiver)});
        }
    }
    const HDEVINFO handle = set.get();
    m_Sets[handle] = std::move(set);
    return handle;
}

BOOL SimReceiver::SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID*,
                                              DWORD index,
                                              PSP_DEVICE_INTERFACE_DATA interfaceData) {
    LastErrorOnExit error;
    std::lock_guard<std::mutex> lock(m_Lock);
    const auto it = m_Sets.find(set);
    if (it == m_Sets.end()) {
        return error.Fail(ERROR_INVALID_HANDLE);
    }
    if (!interfaceData || interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        return error.Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (index >= it->second->Interfaces.size()) {
        return error.Fail(ERROR_NO_MORE_ITEMS);
    }
    interfaceData->InterfaceClassGuid = kHidGuid;
    interfaceData->Flags = SPINT_ACTIVE;
    interfaceData->Reserved = index + 1;
    return TRUE;
}

BOOL SimReceiver::SetupDiGetDeviceInterfaceDetailW(HDEVINFO set,
                                                   PSP_DEVICE_INTERFACE_DATA interfaceData,
                                                   PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail,
                                                   DWORD detailSize, PDWORD requiredSize,
                                                   PSP_DEVINFO_DATA) {
    LastErrorOnExit error;
    std::lock_guard<std::mutex> lock(m_Lock);
    const auto it = m_Sets.find(set);
    if (it == m_Sets.end()) {
        return error.Fail(ERROR_INVALID_HANDLE);
    }
    const auto& interfaces = it->second->Interfaces;
    if (!interfaceData || interfaceData->Reserved == 0 ||
        interfaceData->Reserved > interfaces.size()) {
        return error.Fail(ERROR_INVALID_PARAMETER);
    }
    const InterfaceEntry& entry = interfaces[interfaceData->Reserved - 1];
    const DWORD needed =
        static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                           (entry.Path.size() + 1) * sizeof(wchar_t));
    if (requiredSize) {
        *requiredSize = needed;
    }
    if (!detail) {
        return error.Fail(detailSize ? ERROR_INVALID_USER_BUFFER : ERROR_INSUFFICIENT_BUFFER);
    }
    ++m_nDetailQueries;
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        return error.Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (detailSize < needed) {
        return error.Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    int& failures = entry.Device == kReceiver
                        ? m_nDetailFailures
                        : m_Others[static_cast<std::size_t>(entry.Device)].DetailFailures;
    if (Fails(failures)) {
        return error.Fail(ERROR_GEN_FAILURE);
    }
    std::memcpy(detail->DevicePath, entry.Path.c_str(), (entry.Path.size() + 1) * sizeof(wchar_t));
    return TRUE;
}

BOOL SimReceiver::SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    LastErrorOnExit error;
    std::lock_guard<std::mutex> lock(m_Lock);
    if (m_Sets.erase(set) == 0) {
        return error.Fail(ERROR_INVALID_HANDLE);
    }
    return TRUE;
}

// --- DeviceApi: device files ------------------------------------------------------------------

HANDLE SimReceiver::CreateFileW(LPCWSTR path, DWORD access, DWORD, LPSECURITY_ATTRIBUTES,
                                DWORD disposition, DWORD flags, HANDLE) {
    LastErrorOnExit error;
    std::lock_guard<std::mutex> lock(m_Lock);
    if (!path || disposition != OPEN_EXISTING) {
        return error.FailHandle(ERROR_INVALID_PARAMETER);
    }
    int device = 0;
    bool found = false;
    if (m_bPresent && _wcsicmp(path, PathOf(kReceiver).c_str()) == 0) {
        device = kReceiver;
        found = true;
    }
    for (std::size_t i = 0; !found && i < m_Others.size(); ++i) {
        if (_wcsicmp(path, PathOf(static_cast<int>(i)).c_str()) == 0) {
            device = static_cast<int>(i);
            found = true;
        }
    }
    if (!found) {
        return error.FailHandle(ERROR_FILE_NOT_FOUND);
    }
    if (device != kReceiver && !m_Others[static_cast<std::size_t>(device)].Openable) {
        return error.FailHandle(ERROR_ACCESS_DENIED);
    }
    m_nNextFile += 4;
    const HANDLE handle =
        reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x51AB0000) + m_nNextFile);
    m_Files[handle] = OpenFile{device,
                               device == kReceiver ? m_nInstance : 0,
                               access,
                               (flags & FILE_FLAG_OVERLAPPED) != 0,
                               {}};
    return handle;
}

BOOL SimReceiver::WriteFile(HANDLE handle, LPCVOID buffer, DWORD size, LPDWORD written,
                            LPOVERLAPPED overlapped) {
    OwnTime own(*this);
    LastErrorOnExit error;
    std::lock_guard<std::mutex> lock(m_Lock);
    OpenFile* file = FindFile(handle);
    if (!file) {
        return error.Fail(ERROR_INVALID_HANDLE);
    }
    if (!(file->Access & GENERIC_WRITE)) {
        return error.Fail(ERROR_ACCESS_DENIED);
    }
    if (!buffer || (file->Overlapped && !overlapped)) {
        return error.Fail(ERROR_INVALID_PARAMETER);
    }
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    std::vector<SimFirmware::Action> actions;
    if (file->Device == kReceiver) {
        NoteBlockWrittenLocked(bytes, size);
        const bool held = m_bUsbFrames && overlapped && m_Firmware.TakesReport(bytes, size);
        if (m_bKeepRecords && !held) {
            m_Writes.push_back({std::vector<std::uint8_t>(bytes, bytes + size), false});
        }
        if (ReceiverFileGone(*file)) {
            return error.Fail(RemovedError());
        }
        const std::uint64_t number = ++m_nReceiverWrites;
        if (number == m_nCrashAtWrite) {
            ::RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
        }
        if (Fails(m_nWriteFailures) || (number >= m_nFailFromWrite && number < m_nFailUntilWrite)) {
            return error.Fail(ERROR_GEN_FAILURE);
        }
        if (number == m_nHangAtWrite || held) {
            // Pending: a hanging write until it is cancelled, and then never delivered; a
            // write on the USB frame model until the next frame takes it.
            if (!overlapped) {
                return error.Fail(ERROR_INVALID_PARAMETER);
            }
            if (overlapped->hEvent) {
                ::ResetEvent(overlapped->hEvent);
            }
            overlapped->InternalHigh = 0;
            overlapped->Internal = kStatusPending;
            const std::uint64_t id = m_nNextRead++;
            m_Reads.push_back(
                {id, handle, overlapped, nullptr, size, GetCurrentThreadId(), false, true});
            if (held && number != m_nHangAtWrite) {
                std::vector<std::uint8_t> report(bytes, bytes + size);
                m_Frames.Queue(SimFrameClock::Pipe::Out, [this, id, report] {
                    OwnTime own(*this);
                    std::lock_guard<std::mutex> lock(m_Lock);
                    TakeHeldWriteLocked(id, report);
                });
            }
            return error.Fail(ERROR_IO_PENDING);
        }
        // Only a report of the mode's length and number reaches the receiver.
        if (!m_Firmware.OnOutputReport(bytes, size, &actions)) {
            return error.Fail(ERROR_INVALID_PARAMETER);
        }
        if (m_bKeepRecords) {
            m_Writes.back().Accepted = true;
        }
    } else if (size != static_cast<DWORD>(ReportLength(file->Device))) {
        return error.Fail(ERROR_INVALID_PARAMETER);
    }
    if (written) {
        *written = size;
    }
    if (overlapped) {
        overlapped->InternalHigh = size;
        overlapped->Internal = kStatusSuccess;
        if (overlapped->hEvent) {
            ::SetEvent(overlapped->hEvent);
        }
    }
    ApplyLocked(actions);
    return TRUE;
}

void SimReceiver::TakeHeldWriteLocked(std::uint64_t id, const std::vector<std::uint8_t>& report) {
    // A write cancelled, or ended by the receiver leaving, before its frame is gone.
    const auto write = std::find_if(m_Reads.begin(), m_Reads.end(),
                                    [id](const PendingRead& r) { return r.Id == id; });
    if (write == m_Reads.end() || write->Cancelling) {
        return;
    }
    std::vector<SimFirmware::Action> actions;
    const bool taken = m_Firmware.OnOutputReport(report.data(), report.size(), &actions);
    if (m_bKeepRecords) {
        m_Writes.push_back({report, taken});
    }
    CompleteLocked(write, taken ? kStatusSuccess : kStatusDeviceNotConnected,
                   taken ? static_cast<DWORD>(report.size()) : 0);
    ApplyLocked(actions);
}

BOOL SimReceiver::ReadFile(HANDLE handle, LPVOID buffer, DWORD size, LPDWORD read,
                           LPOVERLAPPED overlapped) {
    OwnTime own(*this);
    LastErrorOnExit error;
    std::lock_guard<std::mutex> lock(m_Lock);
    OpenFile* file = FindFile(handle);
    if (!file) {
        return error.Fail(ERROR_INVALID_HANDLE);
    }
    if (!(file->Access & GENERIC_READ)) {
        return error.Fail(ERROR_ACCESS_DENIED);
    }
    if (ReceiverFileGone(*file)) {
        return error.Fail(RemovedError());
    }
    // The simulated devices are read with overlapped requests only.
    if (!file->Overlapped || !overlapped || !buffer) {
        return error.Fail(ERROR_INVALID_PARAMETER);
    }
    if (file->Device == kReceiver && Fails(m_nReadFailures)) {
        return error.Fail(ERROR_GEN_FAILURE);
    }
    if (size < static_cast<DWORD>(ReportLength(file->Device))) {
        return error.Fail(ERROR_INVALID_USER_BUFFER);
    }
    for (const PendingRead& pending : m_Reads) {
        if (pending.Overlapped == overlapped) {
            return error.Fail(ERROR_INVALID_PARAMETER); // still in use by an earlier read
        }
    }
    if (overlapped->hEvent) {
        ::ResetEvent(overlapped->hEvent);
    }
    if (!file->Inbox.empty()) {
        const std::vector<std::uint8_t> report = std::move(file->Inbox.front());
        file->Inbox.pop_front();
        const DWORD n = std::min<DWORD>(size, static_cast<DWORD>(report.size()));
        std::memcpy(buffer, report.data(), n);
        NoteRequestReadLocked(report.data(), report.size());
        overlapped->InternalHigh = n;
        overlapped->Internal = kStatusSuccess;
        if (overlapped->hEvent) {
            ::SetEvent(overlapped->hEvent);
        }
        if (read) {
            *read = n;
        }
        return TRUE;
    }
    overlapped->InternalHigh = 0;
    overlapped->Internal = kStatusPending;
    m_Reads.push_back({m_nNextRead++, handle, overlapped, static_cast<std::uint8_t*>(buffer), size,
                       GetCurrentThreadId(), false});
    return error.Fail(ERROR_IO_PENDING);
}

BOOL SimReceiver::CancelIo(HANDLE handle) {
    LastErrorOnExit error;
    std::lock_guard<std::mutex> lock(m_Lock);
    if (!FindFile(handle)) {
        return error.Fail(ERROR_INVALID_HANDLE);
    }
    const DWORD thread = GetCurrentThreadId();
    for (auto read = m_Reads.begin(); read != m_Reads.end();) {
        const auto next = std::next(read);
        if (read->File == handle && read->Thread == thread) {
            CancelLocked(read);
        }
        read = next;
    }
    return TRUE;
}

BOOL SimReceiver::CancelIoEx(HANDLE handle, LPOVERLAPPED overlapped) {
    LastErrorOnExit error;
    std::lock_guard<std::mutex> lock(m_Lock);
    if (!FindFile(handle)) {
        return error.Fail(ERROR_INVALID_HANDLE);
    }
    bool any = false;
    for (auto read = m_Reads.begin(); read != m_Reads.end();) {
        const auto next = std::next(read);
        if (read->File == handle && (!overlapped || read->Overlapped == overlapped) &&
            !read->Cancelling) {
            any = true;
            CancelLocked(read);
        }
        read = next;
    }
    return any ? TRUE : error.Fail(ERROR_NOT_FOUND);
}

BOOL SimReceiver::GetOverlappedResult(HANDLE, LPOVERLAPPED overlapped, LPDWORD transferred,
                                      BOOL wait) {
    OwnTime own(*this);
    LastErrorOnExit error;
    std::unique_lock<std::mutex> lock(m_Lock);
    if (!overlapped) {
        return error.Fail(ERROR_INVALID_PARAMETER);
    }
    if (overlapped->Internal == kStatusPending) {
        if (!wait) {
            return error.Fail(ERROR_IO_INCOMPLETE);
        }
        m_ReadEnded.wait(lock, [overlapped] { return overlapped->Internal != kStatusPending; });
    }
    if (transferred) {
        *transferred = static_cast<DWORD>(overlapped->InternalHigh);
    }
    switch (overlapped->Internal) {
    case kStatusSuccess:
        return TRUE;
    case kStatusCancelled:
        return error.Fail(ERROR_OPERATION_ABORTED);
    case kStatusDeviceNotConnected:
        return error.Fail(ERROR_DEVICE_NOT_CONNECTED);
    case kStatusDeletePending:
        return error.Fail(ERROR_ACCESS_DENIED);
    default:
        return error.Fail(ERROR_GEN_FAILURE);
    }
}

BOOL SimReceiver::CloseHandle(HANDLE handle) {
    LastErrorOnExit error;
    std::lock_guard<std::mutex> lock(m_Lock);
    if (!FindFile(handle)) {
        return error.Fail(ERROR_INVALID_HANDLE);
    }
    // Closing a file ends what is still pending on it.
    for (auto read = m_Reads.begin(); read != m_Reads.end();) {
        const auto next = std::next(read);
        if (read->File == handle) {
            CompleteLocked(read, kStatusCancelled, 0);
        }
        read = next;
    }
    m_Files.erase(handle);
    return TRUE;
}

// --- DeviceApi: notifications ------------------------------------------------------------------

HDEVNOTIFY SimReceiver::RegisterDeviceNotificationW(HANDLE recipient, LPVOID filter, DWORD flags) {
    LastErrorOnExit error;
    std::lock_guard<std::mutex> lock(m_Lock);
    ++m_nRegisterCalls;
    if (flags & DEVICE_NOTIFY_SERVICE_HANDLE) {
        error.Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const HWND window = static_cast<HWND>(recipient);
    if (!window || !IsWindow(window)) {
        error.Fail(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    const auto* header = static_cast<const DEV_BROADCAST_HDR*>(filter);
    if (!header || header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE ||
        header->dbch_size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)) {
        error.Fail(ERROR_INVALID_DATA);
        return nullptr;
    }
    const auto* interfaceFilter = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(filter);
    m_nNextRegistration += 4;
    const HDEVNOTIFY notify = reinterpret_cast<HDEVNOTIFY>(m_nNextRegistration);
    m_Registrations[notify] = Registration{window, interfaceFilter->dbcc_classguid,
                                           (flags & DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) != 0};
    return notify;
}

BOOL SimReceiver::UnregisterDeviceNotification(HDEVNOTIFY notification) {
    LastErrorOnExit error;
    std::lock_guard<std::mutex> lock(m_Lock);
    if (m_Registrations.erase(notification) == 0) {
        return error.Fail(ERROR_INVALID_HANDLE);
    }
    return TRUE;
}
