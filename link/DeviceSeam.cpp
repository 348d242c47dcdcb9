#include "link/DeviceSeam.h"

#include <atomic>

namespace {

// Forwards each operation to the system function of the same name.
class SystemDeviceApi final : public DeviceApi {
public:
    void HidD_GetHidGuid(LPGUID hidGuid) override { ::HidD_GetHidGuid(hidGuid); }
    BOOLEAN HidD_GetAttributes(HANDLE device, PHIDD_ATTRIBUTES attributes) override {
        return ::HidD_GetAttributes(device, attributes);
    }
    HDEVINFO SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND parent,
                                  DWORD flags) override {
        return ::SetupDiGetClassDevsW(classGuid, enumerator, parent, flags);
    }
    BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA deviceInfo,
                                     const GUID* interfaceGuid, DWORD index,
                                     PSP_DEVICE_INTERFACE_DATA interfaceData) override {
        return ::SetupDiEnumDeviceInterfaces(set, deviceInfo, interfaceGuid, index, interfaceData);
    }
    BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                          PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail,
                                          DWORD detailSize, PDWORD requiredSize,
                                          PSP_DEVINFO_DATA deviceInfo) override {
        return ::SetupDiGetDeviceInterfaceDetailW(set, interfaceData, detail, detailSize,
                                                  requiredSize, deviceInfo);
    }
    BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override {
        return ::SetupDiDestroyDeviceInfoList(set);
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
};

std::atomic<DeviceApi*> g_pDeviceApi{nullptr};

} // namespace

DeviceApi& RealDeviceApi() {
    static SystemDeviceApi api;
    return api;
}

DeviceApi& CurrentDeviceApi() {
    DeviceApi* api = g_pDeviceApi.load();
    return api ? *api : RealDeviceApi();
}

DeviceApi* SetDeviceApi(DeviceApi* api) {
    DeviceApi* previous = g_pDeviceApi.exchange(api);
    return previous ? previous : &RealDeviceApi();
}
