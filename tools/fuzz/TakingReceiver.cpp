#include "TakingReceiver.h"

#include <algorithm>
#include <cstring>

#include "link/Hid.h"
#include "link/LinkProtocol.h"

namespace {
const GUID kHid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
const wchar_t kPath[] = L"\\\\?\\hid#fuzz#1#{4d1e55b2-f16f-11cf-88cb-001111000030}";
HANDLE const kFile = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0xF0220));
HDEVINFO const kSet = reinterpret_cast<HDEVINFO>(static_cast<std::uintptr_t>(0xF0330));
} // namespace

void TakingReceiver::Clear() {
    m_Data.clear();
    m_nWrites = m_nFinishes = m_nHeaders = 0;
}

void TakingReceiver::HidD_GetHidGuid(LPGUID hidGuid) {
    *hidGuid = kHid;
}

BOOLEAN TakingReceiver::HidD_GetAttributes(HANDLE, PHIDD_ATTRIBUTES attributes) {
    attributes->VendorID = kDeviceTable[0].VendorID;
    attributes->ProductID = kDeviceTable[0].ProductID;
    attributes->VersionNumber = 1;
    return TRUE;
}

// The receiver's capabilities: those of its mode-1 row.
BOOLEAN TakingReceiver::HidD_GetPreparsedData(HANDLE, PHIDP_PREPARSED_DATA* data) {
    *data = reinterpret_cast<PHIDP_PREPARSED_DATA>(const_cast<DeviceEntry*>(&kDeviceTable[0]));
    return TRUE;
}

BOOLEAN TakingReceiver::HidD_FreePreparsedData(PHIDP_PREPARSED_DATA) {
    return TRUE;
}

NTSTATUS TakingReceiver::HidP_GetCaps(PHIDP_PREPARSED_DATA, PHIDP_CAPS caps) {
    *caps = HIDP_CAPS{};
    caps->InputReportByteLength = kDeviceTable[0].Reports.InputLength;
    caps->OutputReportByteLength = kDeviceTable[0].Reports.OutputLength;
    return HIDP_STATUS_SUCCESS;
}

HDEVINFO TakingReceiver::SetupDiGetClassDevsW(const GUID*, PCWSTR, HWND, DWORD) {
    return kSet;
}

BOOL TakingReceiver::SetupDiEnumDeviceInterfaces(HDEVINFO, PSP_DEVINFO_DATA, const GUID*,
                                                 DWORD index, PSP_DEVICE_INTERFACE_DATA data) {
    if (index > 0) {
        ::SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    data->InterfaceClassGuid = kHid;
    return TRUE;
}

BOOL TakingReceiver::SetupDiGetDeviceInterfaceDetailW(HDEVINFO, PSP_DEVICE_INTERFACE_DATA,
                                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail,
                                                      DWORD detailSize, PDWORD requiredSize,
                                                      PSP_DEVINFO_DATA) {
    const DWORD needed =
        static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + sizeof(kPath));
    if (requiredSize)
        *requiredSize = needed;
    if (!detail || detailSize < needed) {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(detail->DevicePath, kPath, sizeof(kPath));
    return TRUE;
}

BOOL TakingReceiver::SetupDiDestroyDeviceInfoList(HDEVINFO) {
    return TRUE;
}

HANDLE TakingReceiver::CreateFileW(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                   HANDLE) {
    return kFile;
}

BOOL TakingReceiver::WriteFile(HANDLE, LPCVOID buffer, DWORD size, LPDWORD written,
                               LPOVERLAPPED overlapped) {
    ++m_nWrites;
    // Report number, count byte, frame: keep what a link frame carries.
    const auto* report = static_cast<const std::uint8_t*>(buffer);
    const std::uint8_t* frame = report + 2;
    const std::size_t count = size >= 2 ? std::min<std::size_t>(report[1], size - 2) : 0;
    if (count >= 5 && frame[1] == FRAME_LINK) {
        if (frame[4] == SUB_DATA && count >= 7)
            m_Data.insert(m_Data.end(), frame + 7, frame + count);
        m_nFinishes += frame[4] == SUB_FINISH;
        m_nHeaders += frame[4] == SUB_HEADER;
    }
    if (written)
        *written = size;
    if (overlapped) {
        overlapped->Internal = 0;
        overlapped->InternalHigh = size;
        if (overlapped->hEvent)
            ::SetEvent(overlapped->hEvent);
    }
    return TRUE;
}

BOOL TakingReceiver::ReadFile(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) {
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

BOOL TakingReceiver::CancelIo(HANDLE) {
    return TRUE;
}

BOOL TakingReceiver::CancelIoEx(HANDLE, LPOVERLAPPED) {
    return TRUE;
}

BOOL TakingReceiver::GetOverlappedResult(HANDLE, LPOVERLAPPED overlapped, LPDWORD transferred,
                                         BOOL) {
    if (transferred)
        *transferred = static_cast<DWORD>(overlapped->InternalHigh);
    return TRUE;
}

BOOL TakingReceiver::CloseHandle(HANDLE) {
    return TRUE;
}

HDEVNOTIFY TakingReceiver::RegisterDeviceNotificationW(HANDLE, LPVOID, DWORD) {
    return nullptr;
}

BOOL TakingReceiver::UnregisterDeviceNotification(HDEVNOTIFY) {
    return TRUE;
}
