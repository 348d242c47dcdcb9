// The simulated receiver as a device: presence, its answers, notifications and records.
#include "sim/SimReceiver.h"

#include "link/Hid.h"
#include "sim/SimSystem.h"

#include <dbt.h>

#include <algorithm>
#include <cstring>
#include <cwchar>

namespace {

constexpr UINT kNotifyTimeoutMs = 2000; // a window that does not answer is passed over
constexpr std::size_t kNotifyRecordsKept = 64;

bool IsTopLevelOfThisProcess(HWND hwnd) {
    DWORD process = 0;
    GetWindowThreadProcessId(hwnd, &process);
    return process == GetCurrentProcessId() && GetWindow(hwnd, GW_OWNER) == nullptr;
}

BOOL CALLBACK CollectTopLevel(HWND hwnd, LPARAM param) {
    if (IsTopLevelOfThisProcess(hwnd)) {
        reinterpret_cast<std::vector<HWND>*>(param)->push_back(hwnd);
    }
    return TRUE;
}

} // namespace

SimReceiver::SimReceiver()
    : m_nVendor(kDeviceTable[0].VendorID), m_nProduct(kDeviceTable[0].ProductID) {}

SimReceiver::~SimReceiver() {
    m_Frames.Stop();
    m_Scheduler.Stop();
    m_Notifier.Stop();
}

// --- Configuration -------------------------------------------------------------------

void SimReceiver::SetNumbers(std::uint16_t vendor, std::uint16_t productMode1) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_nVendor = vendor;
    m_nProduct = productMode1;
}

void SimReceiver::SetVersion(std::uint32_t version) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Firmware.Options().Version = version;
}

std::uint32_t SimReceiver::Version() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Firmware.Options().Version;
}

void SimReceiver::SetReplyLatency(DWORD milliseconds) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_nLatency = milliseconds;
}

void SimReceiver::SetRebootTime(DWORD milliseconds) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_nRebootTime = milliseconds;
}

void SimReceiver::SetSilent(bool silent) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Firmware.Options().Silent = silent;
}

void SimReceiver::SetEndWithAck(bool ack) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Firmware.Options().EndWithAck = ack;
}

void SimReceiver::SetGarbageFrames(bool garbage) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Firmware.Options().GarbageFrames = garbage;
}

void SimReceiver::FailAtDataRequest(int n, std::uint8_t subCode) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Firmware.Options().FailAtRequest = n;
    m_Firmware.Options().FailureSubCode = subCode;
}

void SimReceiver::UnplugAfterBlocks(int n) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Firmware.Options().UnplugAfterBlocks = n;
}

void SimReceiver::SetFirmwareOptions(const SimFirmwareOptions& options) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Firmware.Options() = options;
}

SimFirmwareOptions SimReceiver::FirmwareOptions() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Firmware.Options();
}

void SimReceiver::AddOtherDevice(const SimOtherDevice& device) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Others.push_back(device);
    if (!m_Registrations.empty()) {
        QueueNotification(true, PathOf(static_cast<int>(m_Others.size() - 1)));
    }
}

void SimReceiver::AddExtraInterface() {
    SimOtherDevice collection;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        collection.VendorID = m_nVendor;
        collection.ProductID = m_nProduct;
    }
    AddOtherDevice(collection);
}

bool SimReceiver::RemoveOtherDevice() {
    std::lock_guard<std::mutex> lock(m_Lock);
    if (m_Others.empty()) {
        return false;
    }
    const int device = static_cast<int>(m_Others.size() - 1);
    const std::wstring path = PathOf(device);
    // Its open files stay, as the system's do, but no longer reach a device.
    for (auto file = m_Files.begin(); file != m_Files.end();) {
        file = file->second.Device == device ? m_Files.erase(file) : std::next(file);
    }
    m_Others.pop_back();
    QueueNotification(false, path);
    return true;
}

void SimReceiver::SetRemovalError(RemovalError error) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_RemovalError = error;
}

void SimReceiver::FailDetailQueries(int times) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_nDetailFailures = times;
}

void SimReceiver::SetCapsReadable(bool readable) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_bCapsReadable = readable;
}

void SimReceiver::FailWrites(int times) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_nWriteFailures = times;
}

void SimReceiver::FailWriteAt(int n, int times) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_nFailFromWrite = m_nReceiverWrites + static_cast<std::uint64_t>(n);
    m_nFailUntilWrite =
        times < 0 ? UINT64_MAX : m_nFailFromWrite + static_cast<std::uint64_t>(times);
}

void SimReceiver::HangWriteAt(int n) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_nHangAtWrite = m_nReceiverWrites + static_cast<std::uint64_t>(n);
}

void SimReceiver::CrashAtWrite(int n) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_nCrashAtWrite = n ? m_nReceiverWrites + static_cast<std::uint64_t>(n) : 0;
}

void SimReceiver::SetLatencySpikes(std::uint32_t perMillion, DWORD maxMs, std::uint32_t seed) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_nSpikePerMillion = perMillion;
    m_nSpikeMaxMs = maxMs;
    m_nSpikeRandom = seed | 1;
}

void SimReceiver::FailReads(int times) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_nReadFailures = times;
}

void SimReceiver::SetCancelLatency(DWORD milliseconds) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_nCancelLatency = milliseconds;
}

void SimReceiver::DeliverOnNextCancel(std::vector<std::uint8_t> frame) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_CancelFrame = std::move(frame);
}

void SimReceiver::OnUpdateEnded(std::function<void(const SimUpdateResult&)> handler) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_UpdateEnded = std::move(handler);
}

// --- Measuring ------------------------------------------------------------------------

void SimReceiver::SetUsbFrames(bool on) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_bUsbFrames = on;
}

void SimReceiver::KeepRecords(bool keep) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_bKeepRecords = keep;
    m_Firmware.Options().KeepImage = keep;
}

void SimReceiver::RecordTransferTimes(bool on) {
    // Room for the times of 65536 blocks (a 2 MiB image), touched at once: the records
    // take the same memory whatever the size of the image.
    constexpr std::size_t kRoom = 65536;
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Times = {};
    if (on) {
        m_Times.RequestsRead.assign(kRoom, 0);
        m_Times.RequestsRead.clear();
        m_Times.BlocksWritten.assign(kRoom, 0);
        m_Times.BlocksWritten.clear();
    }
    m_nOwnCounts = 0;
    m_bTiming = on;
}

SimTransferTimes SimReceiver::TransferTimes() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    SimTransferTimes times = m_Times;
    times.ReceiverCounts = m_nOwnCounts;
    return times;
}

void SimReceiver::NoteRequestReadLocked(const std::uint8_t* report, std::size_t size) {
    if (m_bTiming && SimFirmware::IsDataRequestReport(report, size)) {
        m_Times.RequestsRead.push_back(SimCounterNow());
    }
}

void SimReceiver::NoteBlockWrittenLocked(const std::uint8_t* report, std::size_t size) {
    if (m_bTiming && SimFirmware::IsDataBlockReport(report, size)) {
        m_Times.BlocksWritten.push_back(SimCounterNow());
    }
}

double SimReceiver::OwnThreadsCpuSeconds() {
    return m_Scheduler.CpuSeconds() + m_Frames.CpuSeconds();
}

SimReceiver::OwnTime::OwnTime(const SimReceiver& receiver) : m_Receiver(receiver) {
    if (m_Receiver.m_bTiming) {
        m_nStart = SimCounterNow();
    }
}

SimReceiver::OwnTime::~OwnTime() {
    if (m_nStart) {
        m_Receiver.m_nOwnCounts += SimCounterNow() - m_nStart;
    }
}

// --- Presence ------------------------------------------------------------------------

void SimReceiver::Plug(int mode) {
    std::lock_guard<std::mutex> lock(m_Lock);
    PlugLocked(mode);
}

void SimReceiver::Unplug() {
    std::lock_guard<std::mutex> lock(m_Lock);
    UnplugLocked();
}

bool SimReceiver::Present() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_bPresent;
}

int SimReceiver::Mode() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_nMode;
}

std::wstring SimReceiver::DevicePath() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return PathOf(kReceiver);
}

void SimReceiver::PlugLocked(int mode) {
    UnplugLocked();
    m_bPresent = true;
    m_nMode = mode == 2 ? 2 : 1;
    m_nInstance = ++m_nLastInstance;
    m_Firmware.Boot(m_nMode);
    QueueNotification(true, PathOf(kReceiver));
}

void SimReceiver::UnplugLocked() {
    if (!m_bPresent) {
        return;
    }
    const std::wstring path = PathOf(kReceiver);
    m_bPresent = false;
    m_nInstance = 0;
    // Reads pending on the receiver end as the removal makes them end; what it had sent
    // and nobody read is lost with it.
    for (auto read = m_Reads.begin(); read != m_Reads.end();) {
        const auto next = std::next(read);
        const auto file = m_Files.find(read->File);
        if (file != m_Files.end() && file->second.Device == kReceiver) {
            CompleteLocked(read, RemovedStatus(), 0);
        }
        read = next;
    }
    for (auto& entry : m_Files) {
        if (entry.second.Device == kReceiver) {
            entry.second.Inbox.clear();
        }
    }
    if (m_Firmware.OnUnplugged()) {
        ApplyLocked({{SimFirmware::ActionKind::UpdateEnded, {}}});
    }
    QueueNotification(false, path);
}

// --- Talking to the host ---------------------------------------------------------------

void SimReceiver::SendFrame(std::vector<std::uint8_t> frame) {
    std::lock_guard<std::mutex> lock(m_Lock);
    ApplyLocked({{SimFirmware::ActionKind::Send, std::move(frame)}});
}

// The delay before the receiver's next report: the latency, and now and then a spike.
DWORD SimReceiver::NextReportDelayLocked() {
    if (m_nSpikePerMillion == 0 || m_nSpikeMaxMs == 0) {
        return m_nLatency;
    }
    const auto next = [this] {
        m_nSpikeRandom = m_nSpikeRandom * 1664525u + 1013904223u;
        return m_nSpikeRandom >> 8;
    };
    if (next() % 1000000 >= m_nSpikePerMillion) {
        return m_nLatency;
    }
    return m_nLatency + next() % (m_nSpikeMaxMs + 1);
}

void SimReceiver::Later(DWORD delayMs, std::function<void()> task) {
    if (m_bUsbFrames) {
        m_Frames.Queue(SimFrameClock::Pipe::In, std::move(task));
    } else {
        m_Scheduler.After(delayMs, std::move(task));
    }
}

void SimReceiver::ApplyLocked(const std::vector<SimFirmware::Action>& actions) {
    // Reports keep their order: a spike holds back the ones behind it as well.
    DWORD at = m_nLatency;
    const std::uint64_t instance = m_nInstance;
    for (const SimFirmware::Action& action : actions) {
        switch (action.Kind) {
        case SimFirmware::ActionKind::Send:
        case SimFirmware::ActionKind::SendRaw: {
            if (!m_bPresent) {
                break;
            }
            at = std::max(at, NextReportDelayLocked());
            std::vector<std::uint8_t> report = m_Firmware.InputReport(action);
            Later(at, [this, instance, report] {
                OwnTime own(*this);
                std::lock_guard<std::mutex> lock(m_Lock);
                if (m_nInstance == instance) {
                    DeliverLocked(report);
                }
            });
            break;
        }
        case SimFirmware::ActionKind::Unplug:
            Later(at, [this, instance] {
                std::lock_guard<std::mutex> lock(m_Lock);
                if (m_nInstance == instance) {
                    UnplugLocked();
                }
            });
            break;
        case SimFirmware::ActionKind::Reboot:
        case SimFirmware::ActionKind::SwitchMode: {
            // Gone from the bus for the reboot, back in mode 1; after an update with the
            // version of the image it received.
            const bool reboot = action.Kind == SimFirmware::ActionKind::Reboot;
            const std::uint32_t version =
                reboot ? m_Firmware.Update().VersionWord : m_Firmware.Options().Version;
            Later(at, [this, instance, version] {
                std::lock_guard<std::mutex> lock(m_Lock);
                if (m_nInstance == instance) {
                    UnplugLocked();
                }
                m_Scheduler.After(m_nRebootTime, [this, version] {
                    std::lock_guard<std::mutex> lock(m_Lock);
                    if (!m_bPresent) {
                        m_Firmware.Options().Version = version;
                        PlugLocked(1);
                    }
                });
            });
            break;
        }
        case SimFirmware::ActionKind::UpdateEnded: {
            const SimUpdateResult result = m_Firmware.Update();
            Later(at, [this, result] {
                std::function<void(const SimUpdateResult&)> handler;
                {
                    std::lock_guard<std::mutex> lock(m_Lock);
                    handler = m_UpdateEnded;
                }
                if (handler) {
                    handler(result);
                }
            });
            break;
        }
        }
    }
}

void SimReceiver::DeliverLocked(const std::vector<std::uint8_t>& report) {
    for (auto& entry : m_Files) {
        OpenFile& file = entry.second;
        if (file.Device != kReceiver || file.Instance != m_nInstance ||
            !(file.Access & GENERIC_READ)) {
            continue;
        }
        const auto read = std::find_if(m_Reads.begin(), m_Reads.end(), [&](const PendingRead& r) {
            return r.File == entry.first && !r.Cancelling && !r.Write;
        });
        if (read != m_Reads.end()) {
            const DWORD n = std::min<DWORD>(read->Size, static_cast<DWORD>(report.size()));
            std::memcpy(read->Buffer, report.data(), n);
            CompleteLocked(read, kStatusSuccess, n);
            NoteRequestReadLocked(report.data(), report.size());
        } else {
            file.Inbox.push_back(report);
            if (file.Inbox.size() > kInputBuffers) {
                file.Inbox.pop_front();
            }
        }
    }
}

void SimReceiver::CompleteLocked(std::list<PendingRead>::iterator read, ULONG_PTR status,
                                 DWORD bytes) {
    OVERLAPPED* overlapped = read->Overlapped;
    overlapped->InternalHigh = bytes;
    overlapped->Internal = status;
    if (overlapped->hEvent) {
        ::SetEvent(overlapped->hEvent);
    }
    m_Reads.erase(read);
    m_ReadEnded.notify_all();
}

void SimReceiver::CancelLocked(std::list<PendingRead>::iterator read) {
    if (read->Cancelling) {
        return;
    }
    read->Cancelling = true;
    const auto file = m_Files.find(read->File);
    if (!m_CancelFrame.empty() && !read->Write && file != m_Files.end() &&
        file->second.Device == kReceiver) {
        const std::vector<std::uint8_t> report =
            m_Firmware.InputReport({SimFirmware::ActionKind::Send, m_CancelFrame});
        m_CancelFrame.clear();
        const DWORD n = std::min<DWORD>(read->Size, static_cast<DWORD>(report.size()));
        std::memcpy(read->Buffer, report.data(), n);
        CompleteLocked(read, kStatusSuccess, n);
        return;
    }
    if (m_nCancelLatency == 0) {
        CompleteLocked(read, kStatusCancelled, 0);
        return;
    }
    // Like a driver, complete the cancelled request a little later, and without touching
    // its buffer.
    const std::uint64_t id = read->Id;
    m_Scheduler.After(m_nCancelLatency, [this, id] {
        std::lock_guard<std::mutex> lock(m_Lock);
        const auto it = std::find_if(m_Reads.begin(), m_Reads.end(),
                                     [id](const PendingRead& r) { return r.Id == id; });
        if (it != m_Reads.end()) {
            CompleteLocked(it, kStatusCancelled, 0);
        }
    });
}

// --- Notifications -----------------------------------------------------------------------

void SimReceiver::QueueNotification(bool arrival, const std::wstring& path) {
    m_Notifier.After(0, [this, arrival, path] { Notify(arrival, path); });
}

void SimReceiver::Notify(bool arrival, const std::wstring& path) {
    std::vector<HWND> registered;
    DEV_BROADCAST_DEVICEINTERFACE_W* record;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        for (const auto& entry : m_Registrations) {
            if (entry.second.AllClasses || entry.second.ClassGuid == kHidGuid) {
                registered.push_back(entry.second.Window);
            }
        }
        const std::size_t size = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) +
                                 (path.size() + 1) * sizeof(wchar_t);
        m_NotifyBuffers.emplace_back(std::max(size, sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)), 0);
        if (m_NotifyBuffers.size() > kNotifyRecordsKept) {
            m_NotifyBuffers.pop_front();
        }
        record = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(m_NotifyBuffers.back().data());
        record->dbcc_size = static_cast<DWORD>(size);
        record->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        record->dbcc_classguid = kHidGuid;
        std::memcpy(record->dbcc_name, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
    }
    const WPARAM event = arrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE;
    for (HWND hwnd : registered) {
        DWORD_PTR result = 0;
        SendMessageTimeoutW(hwnd, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(record),
                            SMTO_NORMAL, kNotifyTimeoutMs, &result);
    }
    // The broadcast every top-level window of the process gets.
    std::vector<HWND> topLevel;
    EnumWindows(CollectTopLevel, reinterpret_cast<LPARAM>(&topLevel));
    for (HWND hwnd : topLevel) {
        DWORD_PTR result = 0;
        SendMessageTimeoutW(hwnd, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0,
                            SMTO_NORMAL | SMTO_ABORTIFHUNG, kNotifyTimeoutMs, &result);
    }
    std::lock_guard<std::mutex> lock(m_Lock);
    ++m_nNotifications;
}

// --- Records -------------------------------------------------------------------------------

std::vector<SimWrite> SimReceiver::Writes() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Writes;
}

std::vector<std::vector<std::uint8_t>> SimReceiver::AcceptedReports() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    std::vector<std::vector<std::uint8_t>> reports;
    for (const SimWrite& write : m_Writes) {
        if (write.Accepted) {
            reports.push_back(write.Report);
        }
    }
    return reports;
}

void SimReceiver::ClearWrites() {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Writes.clear();
}

SimUpdateResult SimReceiver::LastUpdate() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Firmware.Update();
}

std::vector<std::uint8_t> SimReceiver::ReceivedImage() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Firmware.ReceivedImage();
}

int SimReceiver::Polls() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Firmware.Polls();
}

std::size_t SimReceiver::OpenHandles() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Files.size();
}

std::size_t SimReceiver::OpenPreparsedData() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Preparsed.size();
}

std::size_t SimReceiver::OpenInfoSets() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Sets.size();
}

std::size_t SimReceiver::Registrations() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Registrations.size();
}

int SimReceiver::RegisterCalls() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_nRegisterCalls;
}

int SimReceiver::DetailQueries() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_nDetailQueries;
}

std::size_t SimReceiver::OutstandingReads() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Reads.size();
}

int SimReceiver::NotificationsSent() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_nNotifications;
}

bool SimReceiver::Idle() const {
    return m_Scheduler.Idle() && m_Notifier.Idle() && m_Frames.Idle();
}

// --- Helpers --------------------------------------------------------------------------------

std::wstring SimReceiver::PathOf(int device) const {
    wchar_t path[160];
    if (device == kReceiver) {
        swprintf(path, 160,
                 L"\\\\?\\hid#vid_%04x&pid_%04x#7&2f3c8a1b&0&0000#"
                 L"{4d1e55b2-f16f-11cf-88cb-001111000030}",
                 m_nVendor, ReceiverProduct());
    } else {
        const SimOtherDevice& other = m_Others[static_cast<std::size_t>(device)];
        swprintf(path, 160,
                 L"\\\\?\\hid#vid_%04x&pid_%04x#6&%x&0&%04d#"
                 L"{4d1e55b2-f16f-11cf-88cb-001111000030}",
                 other.VendorID, other.ProductID, 0x1a0 + device, device);
    }
    return path;
}

std::uint16_t SimReceiver::ReceiverProduct() const {
    return static_cast<std::uint16_t>(m_nMode == 2 ? m_nProduct + 1 : m_nProduct);
}

int SimReceiver::ReportLength(int device) const {
    return device == kReceiver ? m_Firmware.ReportLength()
                               : m_Others[static_cast<std::size_t>(device)].ReportLength;
}

SimReceiver::OpenFile* SimReceiver::FindFile(HANDLE file) {
    const auto it = m_Files.find(file);
    return it == m_Files.end() ? nullptr : &it->second;
}

bool SimReceiver::ReceiverFileGone(const OpenFile& file) const {
    return file.Device == kReceiver && file.Instance != m_nInstance;
}

ULONG_PTR SimReceiver::RemovedStatus() const {
    return m_RemovalError == RemovalError::DeletePending ? kStatusDeletePending
                                                         : kStatusDeviceNotConnected;
}

DWORD SimReceiver::RemovedError() const {
    return m_RemovalError == RemovalError::DeletePending ? ERROR_ACCESS_DENIED
                                                         : ERROR_DEVICE_NOT_CONNECTED;
}

bool SimReceiver::Fails(int& counter) {
    if (counter == 0) {
        return false;
    }
    if (counter > 0) {
        --counter;
    }
    return true;
}
