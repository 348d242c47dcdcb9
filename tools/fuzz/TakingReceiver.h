// A receiver for the fuzzer: one present device with the receiver's numbers that takes
// every report written to it at once and never answers. It keeps the image data it was
// sent, so the fuzzer can check what went, and nothing else: a million frames cost no
// more than the session's own work.
#pragma once

#include <cstdint>
#include <vector>

#include "link/DeviceSeam.h"

class TakingReceiver final : public DeviceApi {
public:
    // Image data (SUB_DATA payloads) and link frames taken since the last Clear.
    const std::vector<std::uint8_t>& Data() const { return m_Data; }
    std::uint64_t Writes() const { return m_nWrites; }
    std::uint64_t Finishes() const { return m_nFinishes; }
    std::uint64_t Headers() const { return m_nHeaders; }
    void Clear();

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
    std::vector<std::uint8_t> m_Data;
    std::uint64_t m_nWrites = 0;
    std::uint64_t m_nFinishes = 0;
    std::uint64_t m_nHeaders = 0;
};
