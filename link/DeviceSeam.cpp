#include "link/DeviceSeam.h"

#include "framework/SystemLibrary.h"

#include <atomic>

namespace {

// Calls a function of a system library, or, when the library or the function cannot be
// had, returns `failure` with the last error saying why, as a call that fails does.
template <class Result, class... Params, class... Args>
Result Forward(Result(WINAPI* function)(Params...), const CSystemLibrary& library, Result failure,
               Args... args) {
    if (function)
        return function(args...);
    ::SetLastError(library.UnavailableError());
    return failure;
}

// Forwards each operation to the system function of the same name. The HID class and
// device set-up services are not imported: their libraries are loaded from the system
// folder when the table is made (see CSystemLibrary for why). A service that cannot be
// had fails as the system call does, and the link then finds no receiver; without
// hid.dll the HID class reported is GUID_NULL, a class no device has. Device files and
// notifications are kernel and window services, always present.
class SystemDeviceApi final : public DeviceApi {
public:
    SystemDeviceApi(const wchar_t* hidLibrary, const wchar_t* setupLibrary)
        : m_Hid(hidLibrary), m_Setup(setupLibrary),
          m_pGetHidGuid(m_Hid.Function<decltype(&::HidD_GetHidGuid)>("HidD_GetHidGuid")),
          m_pGetAttributes(m_Hid.Function<decltype(&::HidD_GetAttributes)>("HidD_GetAttributes")),
          m_pGetPreparsedData(
              m_Hid.Function<decltype(&::HidD_GetPreparsedData)>("HidD_GetPreparsedData")),
          m_pFreePreparsedData(
              m_Hid.Function<decltype(&::HidD_FreePreparsedData)>("HidD_FreePreparsedData")),
          m_pGetCaps(m_Hid.Function<decltype(&::HidP_GetCaps)>("HidP_GetCaps")),
          m_pGetClassDevs(
              m_Setup.Function<decltype(&::SetupDiGetClassDevsW)>("SetupDiGetClassDevsW")),
          m_pEnumInterfaces(m_Setup.Function<decltype(&::SetupDiEnumDeviceInterfaces)>(
              "SetupDiEnumDeviceInterfaces")),
          m_pGetInterfaceDetail(m_Setup.Function<decltype(&::SetupDiGetDeviceInterfaceDetailW)>(
              "SetupDiGetDeviceInterfaceDetailW")),
          m_pDestroyList(m_Setup.Function<decltype(&::SetupDiDestroyDeviceInfoList)>(
              "SetupDiDestroyDeviceInfoList")) {}

    void HidD_GetHidGuid(LPGUID hidGuid) override {
        if (m_pGetHidGuid)
            m_pGetHidGuid(hidGuid);
        else
            *hidGuid = GUID{};
    }
    BOOLEAN HidD_GetAttributes(HANDLE device, PHIDD_ATTRIBUTES attributes) override {
        return Forward(m_pGetAttributes, m_Hid, BOOLEAN{FALSE}, device, attributes);
    }
    BOOLEAN HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* data) override {
        return Forward(m_pGetPreparsedData, m_Hid, BOOLEAN{FALSE}, device, data);
    }
    BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data) override {
        return Forward(m_pFreePreparsedData, m_Hid, BOOLEAN{FALSE}, data);
    }
    NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps) override {
        return Forward(m_pGetCaps, m_Hid, NTSTATUS{HIDP_STATUS_INVALID_PREPARSED_DATA}, data, caps);
    }
    HDEVINFO SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND parent,
                                  DWORD flags) override {
        return Forward(m_pGetClassDevs, m_Setup, HDEVINFO{INVALID_HANDLE_VALUE}, classGuid,
                       enumerator, parent, flags);
    }
    BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA deviceInfo,
                                     const GUID* interfaceGuid, DWORD index,
                                     PSP_DEVICE_INTERFACE_DATA interfaceData) override {
        return Forward(m_pEnumInterfaces, m_Setup, BOOL{FALSE}, set, deviceInfo, interfaceGuid,
                       index, interfaceData);
    }
    BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                          PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail,
                                          DWORD detailSize, PDWORD requiredSize,
                                          PSP_DEVINFO_DATA deviceInfo) override {
        return Forward(m_pGetInterfaceDetail, m_Setup, BOOL{FALSE}, set, interfaceData, detail,
                       detailSize, requiredSize, deviceInfo);
    }
    BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override {
        return Forward(m_pDestroyList, m_Setup, BOOL{FALSE}, set);
    }
    HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                       DWORD disposition, DWORD flags, HANDLE templateFile) override {
        return ::CreateFileW(path, access, share, security, disposition, flags, templateFile);
    }
    BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written,
                   LPOVERLAPPED overlapped) override {
        return ::WriteFile(file, buffer, size, written, overlapped);
    }
    BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read,
                  LPOVERLAPPED overlapped) override {
        return ::ReadFile(file, buffer, size, read, overlapped);
    }
    BOOL CancelIo(HANDLE file) override { return ::CancelIo(file); }
    BOOL CancelIoEx(HANDLE file, LPOVERLAPPED overlapped) override {
        return ::CancelIoEx(file, overlapped);
    }
    BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD transferred,
                             BOOL wait) override {
        return ::GetOverlappedResult(file, overlapped, transferred, wait);
    }
    BOOL CloseHandle(HANDLE file) override { return ::CloseHandle(file); }
    HDEVNOTIFY RegisterDeviceNotificationW(HANDLE recipient, LPVOID filter, DWORD flags) override {
        return ::RegisterDeviceNotificationW(recipient, filter, flags);
    }
    BOOL UnregisterDeviceNotification(HDEVNOTIFY notification) override {
        return ::UnregisterDeviceNotification(notification);
    }

private:
    const CSystemLibrary m_Hid;
    const CSystemLibrary m_Setup;
    decltype(&::HidD_GetHidGuid) const m_pGetHidGuid;
    decltype(&::HidD_GetAttributes) const m_pGetAttributes;
    decltype(&::HidD_GetPreparsedData) const m_pGetPreparsedData;
    decltype(&::HidD_FreePreparsedData) const m_pFreePreparsedData;
    decltype(&::HidP_GetCaps) const m_pGetCaps;
    decltype(&::SetupDiGetClassDevsW) const m_pGetClassDevs;
    decltype(&::SetupDiEnumDeviceInterfaces) const m_pEnumInterfaces;
    decltype(&::SetupDiGetDeviceInterfaceDetailW) const m_pGetInterfaceDetail;
    decltype(&::SetupDiDestroyDeviceInfoList) const m_pDestroyList;
};

// The table installed for the process: like the application object, one choice the
// process makes at its start (the simulated build, a test), not state of any one object.
std::atomic<DeviceApi*>& InstalledDeviceApi() {
    static std::atomic<DeviceApi*> installed{nullptr};
    return installed;
}

} // namespace

DeviceApi& RealDeviceApi() {
    static SystemDeviceApi api(L"hid.dll", L"setupapi.dll");
    return api;
}

std::unique_ptr<DeviceApi> MakeSystemDeviceApi(const wchar_t* hidLibrary,
                                               const wchar_t* setupLibrary) {
    return std::make_unique<SystemDeviceApi>(hidLibrary, setupLibrary);
}

DeviceApi& CurrentDeviceApi() {
    DeviceApi* api = InstalledDeviceApi().load();
    return api ? *api : RealDeviceApi();
}

DeviceApi* SetDeviceApi(DeviceApi* api) {
    DeviceApi* previous = InstalledDeviceApi().exchange(api);
    return previous ? previous : &RealDeviceApi();
}
