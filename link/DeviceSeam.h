// The device seam: the one table of system services through which the link reaches HID
// devices.
#pragma once

#include <windows.h>
#include <setupapi.h>
// The HID class header declares C functions without saying so on every compiler.
extern "C" {
#include <hidsdi.h>
}

#include <memory>

// DeviceApi is the narrow set of HID class, device set-up, device-file and notification
// services that CHid uses. Each operation has the name, arguments, results and last-error
// behaviour of the system function it stands for. The default table is the real system
// (RealDeviceApi); a simulated receiver installs its own table in its place so the
// product's enumeration, framing, time-out and threading code runs unchanged against it.
// Install a table with ScopedDeviceApi for a scope, or SetDeviceApi for the process; code
// that needs the services calls CurrentDeviceApi() and keeps the reference it got for the
// life of whatever it opened, so each handle goes back to the table that produced it.
// Events, waits, threads and windows do not go through here.
class DeviceApi {
public:
    virtual ~DeviceApi() = default;

    virtual void HidD_GetHidGuid(LPGUID hidGuid) = 0;
    virtual BOOLEAN HidD_GetAttributes(HANDLE device, PHIDD_ATTRIBUTES attributes) = 0;
    virtual BOOLEAN HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* data) = 0;
    virtual BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data) = 0;
    virtual NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps) = 0;

    virtual HDEVINFO SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND parent,
                                          DWORD flags) = 0;
    virtual BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA deviceInfo,
                                             const GUID* interfaceGuid, DWORD index,
                                             PSP_DEVICE_INTERFACE_DATA interfaceData) = 0;
    virtual BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO set,
                                                  PSP_DEVICE_INTERFACE_DATA interfaceData,
                                                  PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail,
                                                  DWORD detailSize, PDWORD requiredSize,
                                                  PSP_DEVINFO_DATA deviceInfo) = 0;
    virtual BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) = 0;

    virtual HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share,
                               LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                               HANDLE templateFile) = 0;
    virtual BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written,
                           LPOVERLAPPED overlapped) = 0;
    virtual BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read,
                          LPOVERLAPPED overlapped) = 0;
    virtual BOOL CancelIo(HANDLE file) = 0;
    virtual BOOL CancelIoEx(HANDLE file, LPOVERLAPPED overlapped) = 0;
    virtual BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD transferred,
                                     BOOL wait) = 0;
    virtual BOOL CloseHandle(HANDLE file) = 0;

    virtual HDEVNOTIFY RegisterDeviceNotificationW(HANDLE recipient, LPVOID filter,
                                                   DWORD flags) = 0;
    virtual BOOL UnregisterDeviceNotification(HDEVNOTIFY notification) = 0;
};

// The table that forwards every call to the system. Its HID class and device set-up
// libraries are loaded from the system folder, not imported by name.
DeviceApi& RealDeviceApi();

// A table like the real one, with its HID class and device set-up services taken from the
// system libraries of these names (hid.dll and setupapi.dll for the real one): for
// checking how it behaves when a library or a function cannot be had.
std::unique_ptr<DeviceApi> MakeSystemDeviceApi(const wchar_t* hidLibrary,
                                               const wchar_t* setupLibrary);

// The table in use now: the real system unless another one has been installed.
DeviceApi& CurrentDeviceApi();

// Installs a table for the whole process (null restores the real system) and returns the
// one installed before.
DeviceApi* SetDeviceApi(DeviceApi* api);

// ScopedDeviceApi installs a table for its own lifetime and puts the previous one back
// when it ends. Declare it before any object that opens devices through the table, so
// those objects are gone before the table is.
class ScopedDeviceApi {
public:
    explicit ScopedDeviceApi(DeviceApi& api) : m_pPrevious(SetDeviceApi(&api)) {}
    ~ScopedDeviceApi() { SetDeviceApi(m_pPrevious); }
    ScopedDeviceApi(const ScopedDeviceApi&) = delete;
    ScopedDeviceApi& operator=(const ScopedDeviceApi&) = delete;

private:
    DeviceApi* m_pPrevious;
};
