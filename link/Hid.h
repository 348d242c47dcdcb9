// HID device access: finding the receiver, opening it, and moving reports to and fro.
#pragma once

#include "link/DeviceHandles.h"
#include "link/LinkProtocol.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

// How a device's HID reports are laid out, as the host sees them: the report number in
// front of every report (0 for a device without numbered reports), and the length of its
// input and output reports with that number (HidP_GetCaps's byte lengths).
struct ReportGeometry {
    std::uint8_t ReportId = 0;
    std::uint16_t InputLength = 0;
    std::uint16_t OutputLength = 0;
};

// One row of the device table: a USB vendor and product number, the device mode the
// receiver is in when it presents under them, and the report layout it has then. An
// interface with these numbers whose reports are laid out otherwise (another top-level
// collection of the same device) is not the receiver.
struct DeviceEntry {
    std::uint16_t VendorID;
    std::uint16_t ProductID;
    std::uint16_t Mode;
    ReportGeometry Reports;
};

// The receiver's USB numbers come with the build (CMake cache variables of the same
// names); in mode 2 it presents under the next product number.
#if !defined(KESTRIX_VENDOR_ID) || !defined(KESTRIX_PRODUCT_ID)
#error "KESTRIX_VENDOR_ID and KESTRIX_PRODUCT_ID must be defined by the build"
#endif

// Searched in this order: when both product numbers are present, mode 1 wins.
inline constexpr DeviceEntry kDeviceTable[2] = {
    {KESTRIX_VENDOR_ID, KESTRIX_PRODUCT_ID, 1,
     {REPORT_ID_MODE1, REPORT_LENGTH_MODE1, REPORT_LENGTH_MODE1}},
    {KESTRIX_VENDOR_ID, KESTRIX_PRODUCT_ID + 1, 2,
     {REPORT_ID_MODE2, REPORT_LENGTH_MODE2, REPORT_LENGTH_MODE2}},
};

// The row of this device mode, or null.
const DeviceEntry* DeviceRow(unsigned mode);

// Results of CHid::ReadHid. Every result but HID_READ_OK means no report arrived.
constexpr DWORD HID_READ_OK = 0;                                   // a report arrived
constexpr DWORD HID_READ_TIMEOUT = WAIT_TIMEOUT;                   // 0x102: nothing in time
constexpr DWORD HID_READ_NOT_OPEN = 0x80;                          // no read handle
constexpr DWORD HID_READ_DEVICE_GONE = ERROR_DEVICE_NOT_CONNECTED; // 1167: receiver removed
constexpr DWORD HID_READ_FAILED = WAIT_FAILED;                     // any other failure

// CHid is the program's only door to the receiver, and owns everything of it: its
// handles, its report layout, the memory of its requests, its locks and its last error.
// The main window owns one, sets m_hNotifyWnd and calls FindDevice at start-up and on
// every device-change notification; the first search also registers that window for HID
// arrival and removal notifications. A search takes an interface only when its numbers
// are a row of kDeviceTable and its report lengths (read from its capabilities) are that
// row's. OpenDevice opens the device found with two overlapped handles, one for writing
// and one for reading, each keeping the report layout found with it; WriteHid sends one
// output report and ReadHid waits up to the read time-out for one input report, each
// with the layout of the file it uses, so a later search (which may find nothing for a
// moment, or another receiver) changes nothing for a transfer in progress. All system
// calls go through the device seam (CurrentDeviceApi()). Searches, opens, reads and
// writes may run on different threads at the same time: the handles are swapped under a
// lock, a read handle replaced while a read is in flight has that read cancelled and is
// closed once the read has ended, and writes are serialised.
class CHid {
public:
    CHid();
    virtual ~CHid();
    CHid(const CHid&) = delete;
    CHid& operator=(const CHid&) = delete;

    // 1 when a row of kDeviceTable is present (m_DevicePath, Mode(), LastMode() and
    // m_bFound then describe it), else 0.
    int FindDevice();
    // Looks for a present HID interface of this row. On 1, *out holds an open probe
    // handle to it and m_DevicePath its path.
    int OpenHidDevice(UniqueDeviceHandle* out, const DeviceEntry& row);
    // (Re)opens the write and read handles on m_DevicePath, with the report layout the
    // search found there, and sets the read time-out to 200 ms. Handles held before are
    // closed. 1 when both opened.
    int OpenDevice();
    // Sends count payload bytes as one output report of the write file's layout: its
    // report number, then the bytes, zero-padded (bytes beyond the report are not sent).
    // Nonzero when written; 0 when there is no write handle, or the write failed or did
    // not complete within a second (LastWriteError() then says why, DeviceGone() whether
    // the receiver has been removed).
    int WriteHid(const std::uint8_t* data, std::uint8_t count);
    // Writes a frame as reports of at most `piece` frame bytes each, every one behind
    // its count byte, and stops at the first that fails. The reports of two frames never
    // mix. 1 when every report was written.
    int WriteFrame(const std::uint8_t* frame, int total, int piece);
    // Waits up to the read time-out for one input report and copies up to count payload
    // bytes (those after the report number) into dest; *delivered, when given, is told
    // how many payload bytes the report held. Returns one of the HID_READ_ results; dest
    // is written only for HID_READ_OK.
    DWORD ReadHid(std::uint8_t* dest, std::uint8_t count, std::uint16_t* delivered = nullptr);
    void SetReadTimeout(DWORD milliseconds);
    // Registers m_hNotifyWnd for HID interface arrivals and removals. 1 on success.
    int RegisterDeviceChange();
    // Ends the registration, for a window that is going; it is not made again.
    void UnregisterDeviceChange();

    // True once a read or write on the open handles has failed because the receiver has
    // been removed; a successful OpenDevice clears it.
    bool DeviceGone() const { return m_bGone.load(); }
    DWORD ReadTimeout() const { return m_nReadTimeout.load(); }
    // The system error of the latest write that failed (ERROR_TIMEOUT for one the device
    // did not complete in time).
    DWORD LastWriteError() const { return m_nLastWriteError.load(); }
    std::wstring DevicePath() const;
    // The mode of the device the latest search found, 0 when it found none.
    unsigned Mode() const { return m_nMode.load(); }
    // The mode of the device seen last: set on a match, left alone by a search that finds
    // nothing.
    unsigned LastMode() const { return m_nLastMode.load(); }
    // Whether this interface path (as a removal notification names it) is the device
    // the open files were opened on.
    bool IsOpenDevice(const std::wstring& path) const;

    // Window that receives device-change notifications; set before the first search.
    HWND m_hNotifyWnd = nullptr;
    // 1 when the latest FindDevice matched a table row, else 0.
    std::atomic<int> m_bFound{0};

    // One overlapped request's own memory (Hid.cpp).
    struct Request;

private:
    struct DeviceFile;

    static void Retire(std::shared_ptr<DeviceFile> file);
    void NoteFailure(DWORD error);
    void NoteWriteFailure(DWORD error);

    std::shared_ptr<DeviceFile> m_hWrite;
    std::shared_ptr<DeviceFile> m_hRead;
    std::wstring m_DevicePath;
    ReportGeometry m_Found; // of m_DevicePath
    std::wstring m_OpenPath; // of the open files
    std::atomic<unsigned> m_nMode{0};
    std::atomic<unsigned> m_nLastMode{0};
    std::atomic<DWORD> m_nReadTimeout{0};
    int m_bNotifyRegistered = 0;
    UniqueDeviceNotification m_hDevNotify;

    std::atomic<bool> m_bGone{false};
    std::atomic<DWORD> m_nLastWriteError{ERROR_SUCCESS};
    mutable std::mutex m_Lock; // m_hWrite, m_hRead, m_DevicePath, m_Found, m_OpenPath
    std::mutex m_SearchLock;   // one search at a time; m_bNotifyRegistered, m_hDevNotify
    std::mutex m_WriteLock;    // one report written at a time
    std::mutex m_FrameLock;    // the reports of one frame written together
};
