// The simulated receiver: a device table for the device seam with a receiver living in
// the process.
#pragma once

#include "link/DeviceSeam.h"
#include "sim/SimFirmware.h"
#include "sim/SimFrameClock.h"
#include "sim/SimScheduler.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <condition_variable>
#include <string>
#include <vector>

// Another HID device present beside the receiver. It enumerates before the receiver.
struct SimOtherDevice {
    std::uint16_t VendorID = 0x046D;
    std::uint16_t ProductID = 0xC52B;
    bool Openable = true;           // false: CreateFileW fails with access denied
    bool AttributesReadable = true; // false: HidD_GetAttributes fails
    int DetailFailures = 0;         // detail queries that fail before one succeeds; -1: all
    int ReportLength = 8;           // of its input and output reports
    bool CapsReadable = true;       // false: HidD_GetPreparsedData fails
};

// One WriteFile on a receiver handle: the report as passed, and whether it was taken.
struct SimWrite {
    std::vector<std::uint8_t> Report;
    bool Accepted = false;
};

// When the receiver's updates happened, block by block, in performance-counter counts:
// the completion of the read that took each data request (the host has it), and the call
// writing each data block (the block reaches the receiver). Request n asks for block n.
struct SimTransferTimes {
    std::vector<std::int64_t> RequestsRead;
    std::vector<std::int64_t> BlocksWritten;
    std::int64_t ReceiverCounts = 0; // spent in the receiver's own code meanwhile
};

// SimReceiver stands in for the system's HID, device set-up, device-file and
// notification services with a scriptable receiver in the process. Install it with
// ScopedDeviceApi (declared before any CHid that uses it) and drive it from tests or the
// demo build:
//  - presence: Plug(mode) and Unplug() at any time, delivering WM_DEVICECHANGE like the
//    system (DBT_DEVICEARRIVAL / DBT_DEVICEREMOVECOMPLETE with the interface path to
//    registered windows, DBT_DEVNODES_CHANGED to the process's top-level windows) from
//    its own thread; other HID devices with AddOtherDevice;
//  - the receiver's protocol (SimFirmware): version reply, ready reply, data requests,
//    the final request or acknowledgement, a reboot into mode 1 with the new version
//    after SUB_FINISH, and a mode-2 receiver that comes back in mode 1 after
//    CMD_SWITCH_MODE;
//  - faults: failing detail queries, writes and reads, silence, failure sub-codes,
//    leaving after N blocks, garbage and short frames, latency before each report;
//  - requests on the files of a removed receiver fail as the HID class fails them;
//  - records: every report written, the update's outcome and the image received.
// Input reports are 64 bytes in mode 1 (report number 0x81) and 65 in mode 2 (report
// number 0x00), each a count byte and a frame behind the report number, zero-padded.
// Each open read handle has its own buffer of up to 32 reports, filled while no read is
// pending; overlapped reads complete through their OVERLAPPED and real event, and a
// cancelled read is never written to again. All members are thread-safe.
class SimReceiver final : public DeviceApi {
public:
    SimReceiver();
    ~SimReceiver() override;
    SimReceiver(const SimReceiver&) = delete;
    SimReceiver& operator=(const SimReceiver&) = delete;

    // --- The receiver and what surrounds it.
    void SetNumbers(std::uint16_t vendor, std::uint16_t productMode1);
    void SetVersion(std::uint32_t version);
    std::uint32_t Version() const;
    void SetReplyLatency(DWORD milliseconds); // before each report the receiver sends
    void SetRebootTime(DWORD milliseconds);   // absent while rebooting or switching mode
    void SetSilent(bool silent);
    void SetEndWithAck(bool ack);
    void SetGarbageFrames(bool garbage);
    void FailAtDataRequest(int n, std::uint8_t subCode); // 0: never
    void UnplugAfterBlocks(int n);                       // 0: never
    // The firmware's behaviour as a whole, faults included (SimFirmwareOptions).
    void SetFirmwareOptions(const SimFirmwareOptions& options);
    SimFirmwareOptions FirmwareOptions() const;
    // Another HID device; it arrives with notifications when the receiver is watched.
    void AddOtherDevice(const SimOtherDevice& device);
    // The last device added leaves, with notifications. False when there is none.
    bool RemoveOtherDevice();
    // Another top-level collection of the receiver itself, as the system lists one: an
    // interface with the receiver's mode-1 numbers and 8-byte reports, listed before it.
    void AddExtraInterface();

    // How requests on the open files of a removed receiver fail. The HID class refuses
    // them as a device being deleted (STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED to the
    // program): the default, as on Wine's HID stack. The other way is "not connected".
    enum class RemovalError { DeletePending, NotConnected };
    void SetRemovalError(RemovalError error);

    // --- Faults of the system services (a count of -1 means every time).
    void FailDetailQueries(int times); // the receiver's interface detail query
    // False: the receiver's capabilities cannot be read (HidD_GetPreparsedData fails).
    void SetCapsReadable(bool readable);
    void FailWrites(int times);        // WriteFile on the receiver fails
    // The nth WriteFile on the receiver from now on (1 for the next) fails, and the
    // `times - 1` after it too (-1: every one from the nth on).
    void FailWriteAt(int n, int times = 1);
    // The nth WriteFile on the receiver from now on goes pending and never completes
    // until it is cancelled; a cancelled report never reaches the receiver.
    void HangWriteAt(int n);
    // The nth WriteFile on the receiver from now on raises an access violation on the
    // thread that calls it, as a fault of the tool's own would: for proving what a crash
    // leaves behind. 0: never.
    void CrashAtWrite(int n);
    void FailReads(int times); // ReadFile on the receiver fails at once
    // Each report the receiver sends is held back, with this chance in a million, by a
    // random time of up to maxMs on top of the reply latency (seeded, so a run replays).
    void SetLatencySpikes(std::uint32_t perMillion, DWORD maxMs, std::uint32_t seed);
    // Cancellation of a pending read completes this long after the cancel request.
    void SetCancelLatency(DWORD milliseconds);
    // The next cancelled read completes with this frame instead: it had just arrived.
    void DeliverOnNextCancel(std::vector<std::uint8_t> frame);

    // --- Measuring.
    // Reports move as on a USB full-speed bus (SimFrameClock): an input report reaches
    // the host at the start of a 1 ms frame, and an overlapped write completes at the
    // start of the frame after it was made. The reply latency and its spikes then do not
    // apply.
    void SetUsbFrames(bool on);
    // Off: writes are not recorded and the firmware keeps only the digest of the data,
    // so the process holds little more than the tool itself.
    void KeepRecords(bool keep);
    // Starts recording the transfer times afresh (off: stops recording).
    void RecordTransferTimes(bool on);
    SimTransferTimes TransferTimes() const;
    // The CPU time the receiver's own threads (its scheduler and its frame clock) have
    // used, in seconds: what it costs beside the time it spends inside the tool's calls.
    double OwnThreadsCpuSeconds();

    // --- Presence.
    void Plug(int mode);
    void Unplug();
    bool Present() const;
    int Mode() const;
    std::wstring DevicePath() const;

    // --- Sends a frame to the host as the receiver's next report (after the latency).
    void SendFrame(std::vector<std::uint8_t> frame);

    // --- Records.
    std::vector<SimWrite> Writes() const;
    std::vector<std::vector<std::uint8_t>> AcceptedReports() const;
    void ClearWrites();
    SimUpdateResult LastUpdate() const;
    std::vector<std::uint8_t> ReceivedImage() const;
    // Called on the receiver's thread whenever an update ends (finished, failed, left).
    void OnUpdateEnded(std::function<void(const SimUpdateResult&)> handler);
    int Polls() const;
    std::size_t OpenHandles() const;
    std::size_t OpenPreparsedData() const; // capability records not freed yet
    std::size_t OpenInfoSets() const;
    std::size_t Registrations() const;
    int RegisterCalls() const;
    int DetailQueries() const; // detail queries made with a buffer
    std::size_t OutstandingReads() const;
    int NotificationsSent() const;
    // True when nothing the receiver is to do later is waiting or running.
    bool Idle() const;

    // --- DeviceApi.
    void HidD_GetHidGuid(LPGUID hidGuid) override;
    BOOLEAN HidD_GetAttributes(HANDLE device, PHIDD_ATTRIBUTES attributes) override;
    BOOLEAN HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* data) override;
    BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data) override;
    NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps) override;
    HDEVINFO SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND parent,
                                  DWORD flags) override;
    BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA deviceInfo,
                                     const GUID* interfaceGuid, DWORD index,
                                     PSP_DEVICE_INTERFACE_DATA interfaceData) override;
    BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                          PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail,
                                          DWORD detailSize, PDWORD requiredSize,
                                          PSP_DEVINFO_DATA deviceInfo) override;
    BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override;
    HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                       DWORD disposition, DWORD flags, HANDLE templateFile) override;
    BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written,
                   LPOVERLAPPED overlapped) override;
    BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read,
                  LPOVERLAPPED overlapped) override;
    BOOL CancelIo(HANDLE file) override;
    BOOL CancelIoEx(HANDLE file, LPOVERLAPPED overlapped) override;
    BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD transferred,
                             BOOL wait) override;
    BOOL CloseHandle(HANDLE file) override;
    HDEVNOTIFY RegisterDeviceNotificationW(HANDLE recipient, LPVOID filter, DWORD flags) override;
    BOOL UnregisterDeviceNotification(HDEVNOTIFY notification) override;

private:
    static constexpr int kReceiver = -1; // device number of the receiver; others count from 0

    struct OpenFile {
        int Device;
        std::uint64_t Instance; // the receiver's presence it was opened on
        DWORD Access;
        bool Overlapped;
        std::deque<std::vector<std::uint8_t>> Inbox;
    };
    // An overlapped read waiting for a report, or a write the receiver does not take.
    struct PendingRead {
        std::uint64_t Id;
        HANDLE File;
        OVERLAPPED* Overlapped;
        std::uint8_t* Buffer;
        DWORD Size;
        DWORD Thread;
        bool Cancelling;
        bool Write = false;
    };
    struct InterfaceEntry {
        int Device;
        std::wstring Path;
    };
    struct InfoSet {
        std::vector<InterfaceEntry> Interfaces;
    };
    struct Registration {
        HWND Window;
        GUID ClassGuid;
        bool AllClasses;
    };

    std::wstring PathOf(int device) const;
    std::uint16_t ReceiverProduct() const;
    int ReportLength(int device) const;
    DWORD NextReportDelayLocked();
    OpenFile* FindFile(HANDLE file);
    bool ReceiverFileGone(const OpenFile& file) const;
    void DeliverLocked(const std::vector<std::uint8_t>& report);
    void CompleteLocked(std::list<PendingRead>::iterator read, ULONG_PTR status, DWORD bytes);
    void CancelLocked(std::list<PendingRead>::iterator read);
    void ApplyLocked(const std::vector<SimFirmware::Action>& actions);
    void PlugLocked(int mode);
    void UnplugLocked();
    void QueueNotification(bool arrival, const std::wstring& path);
    void Notify(bool arrival, const std::wstring& path);
    static bool Fails(int& counter);
    // Runs a task of the receiver's later: after `delayMs`, or in the next free frame.
    void Later(DWORD delayMs, std::function<void()> task);
    // Completes a write held for its frame, and gives the report to the firmware.
    void TakeHeldWriteLocked(std::uint64_t id, const std::vector<std::uint8_t>& report);
    void NoteRequestReadLocked(const std::uint8_t* report, std::size_t size);
    void NoteBlockWrittenLocked(const std::uint8_t* report, std::size_t size);
    // Adds the time from its making to its end to the receiver's own share.
    class OwnTime {
    public:
        explicit OwnTime(const SimReceiver& receiver);
        ~OwnTime();

    private:
        const SimReceiver& m_Receiver;
        std::int64_t m_nStart = 0;
    };
    // The completion status and the error of a request on a removed receiver's file.
    ULONG_PTR RemovedStatus() const;
    DWORD RemovedError() const;

    mutable std::mutex m_Lock;
    std::condition_variable m_ReadEnded;

    std::uint16_t m_nVendor;
    std::uint16_t m_nProduct;
    bool m_bPresent = false;
    int m_nMode = 1;
    std::uint64_t m_nInstance = 0; // 0 while absent
    std::uint64_t m_nLastInstance = 0;
    DWORD m_nLatency = 0;
    DWORD m_nRebootTime = 100;
    DWORD m_nCancelLatency = 0;
    RemovalError m_RemovalError = RemovalError::DeletePending;
    std::vector<std::uint8_t> m_CancelFrame;
    int m_nDetailFailures = 0;
    bool m_bCapsReadable = true;
    int m_nWriteFailures = 0;
    std::uint64_t m_nReceiverWrites = 0; // WriteFile calls on the receiver so far
    std::uint64_t m_nFailFromWrite = 0;  // the writes numbered [from, until) fail
    std::uint64_t m_nFailUntilWrite = 0;
    std::uint64_t m_nHangAtWrite = 0; // the write of this number hangs; 0: none
    std::uint64_t m_nCrashAtWrite = 0; // the write of this number crashes the caller; 0: none
    std::uint32_t m_nSpikePerMillion = 0;
    DWORD m_nSpikeMaxMs = 0;
    std::uint32_t m_nSpikeRandom = 1;
    int m_nReadFailures = 0;
    std::vector<SimOtherDevice> m_Others;

    SimFirmware m_Firmware;
    std::function<void(const SimUpdateResult&)> m_UpdateEnded;

    std::map<HANDLE, OpenFile> m_Files;
    std::map<PHIDP_PREPARSED_DATA, std::unique_ptr<HIDP_CAPS>> m_Preparsed;
    std::uintptr_t m_nNextFile = 0x5100;
    std::list<PendingRead> m_Reads;
    std::uint64_t m_nNextRead = 1;
    std::map<HDEVINFO, std::unique_ptr<InfoSet>> m_Sets;
    std::map<HDEVNOTIFY, Registration> m_Registrations;
    std::uintptr_t m_nNextRegistration = 0x7100;
    int m_nRegisterCalls = 0;
    int m_nDetailQueries = 0;
    int m_nNotifications = 0;
    std::vector<SimWrite> m_Writes;
    std::deque<std::vector<std::uint8_t>> m_NotifyBuffers; // alive while a window may read one
    bool m_bUsbFrames = false;
    bool m_bKeepRecords = true;
    std::atomic<bool> m_bTiming{false};
    SimTransferTimes m_Times;
    mutable std::atomic<std::int64_t> m_nOwnCounts{0};

    // Last, so their threads end first. Notifications have a thread of their own, as in
    // the system: a window slow to answer one does not hold up the device's reports.
    SimScheduler m_Scheduler;
    SimScheduler m_Notifier;
    SimFrameClock m_Frames;
};
