// Owners of the resources the device seam hands out: device files, device information
// sets and notification registrations. Each is given back to the table that produced it.
#pragma once

#include "framework/UniqueHandle.h"
#include "link/DeviceSeam.h"

// What the seam's handles need to be ended: the table that produced them (the one in use
// now, for an owner made empty).
class DeviceTableTraits {
public:
    DeviceTableTraits() = default;
    DeviceTableTraits(DeviceApi& api) : m_pApi(&api) {} // implicit: a table makes its traits
    DeviceApi& Api() const { return m_pApi ? *m_pApi : CurrentDeviceApi(); }

private:
    DeviceApi* m_pApi = nullptr;
};

// An open device file (from DeviceApi::CreateFileW). Both null and INVALID_HANDLE_VALUE
// mean "no handle".
struct DeviceFileTraits : DeviceTableTraits {
    using DeviceTableTraits::DeviceTableTraits;
    using Handle = HANDLE;
    static bool IsValid(HANDLE handle) { return KernelHandleTraits::IsValid(handle); }
    void Close(HANDLE handle) const { Api().CloseHandle(handle); }
};
using UniqueDeviceHandle = UniqueHandle<DeviceFileTraits>;

// A set of device interfaces (from DeviceApi::SetupDiGetClassDevsW).
struct DeviceInfoListTraits : DeviceTableTraits {
    using DeviceTableTraits::DeviceTableTraits;
    using Handle = HDEVINFO;
    static bool IsValid(HDEVINFO set) { return KernelHandleTraits::IsValid(set); }
    void Close(HDEVINFO set) const { Api().SetupDiDestroyDeviceInfoList(set); }
};
using UniqueDeviceInfoList = UniqueHandle<DeviceInfoListTraits>;

// A device-change registration (from DeviceApi::RegisterDeviceNotificationW).
struct DeviceNotificationTraits : DeviceTableTraits {
    using DeviceTableTraits::DeviceTableTraits;
    using Handle = HDEVNOTIFY;
    static bool IsValid(HDEVNOTIFY notify) { return notify != nullptr; }
    void Close(HDEVNOTIFY notify) const { Api().UnregisterDeviceNotification(notify); }
};
using UniqueDeviceNotification = UniqueHandle<DeviceNotificationTraits>;
