// Owners of the resources the device seam hands out: device files, device information
// sets and notification registrations. Each is given back to the table that produced it.
#pragma once

#include "link/DeviceSeam.h"

#include <utility>

// UniqueDeviceHandle owns one open device file (from DeviceApi::CreateFileW) and closes
// it through the same table when it ends or is reset. Both null and INVALID_HANDLE_VALUE
// mean "no handle". Move it to hand the file on; it cannot be copied.
class UniqueDeviceHandle {
public:
    UniqueDeviceHandle() = default;
    UniqueDeviceHandle(DeviceApi& api, HANDLE handle) : m_pApi(&api), m_Handle(handle) {}
    ~UniqueDeviceHandle() { Reset(); }
    UniqueDeviceHandle(UniqueDeviceHandle&& other) noexcept
        : m_pApi(other.m_pApi), m_Handle(std::exchange(other.m_Handle, nullptr)) {}
    UniqueDeviceHandle& operator=(UniqueDeviceHandle&& other) noexcept {
        if (this != &other) {
            Reset();
            m_pApi = other.m_pApi;
            m_Handle = std::exchange(other.m_Handle, nullptr);
        }
        return *this;
    }
    UniqueDeviceHandle(const UniqueDeviceHandle&) = delete;
    UniqueDeviceHandle& operator=(const UniqueDeviceHandle&) = delete;

    bool Valid() const { return m_Handle != nullptr && m_Handle != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return m_Handle; }
    DeviceApi& Api() const { return m_pApi ? *m_pApi : CurrentDeviceApi(); }

    void Reset() {
        if (Valid()) {
            m_pApi->CloseHandle(m_Handle);
        }
        m_Handle = nullptr;
    }

private:
    DeviceApi* m_pApi = nullptr;
    HANDLE m_Handle = nullptr;
};

// UniqueDeviceInfoList owns one set of device interfaces (from
// DeviceApi::SetupDiGetClassDevsW) and destroys it through the same table when it ends.
class UniqueDeviceInfoList {
public:
    UniqueDeviceInfoList(DeviceApi& api, HDEVINFO set) : m_pApi(&api), m_Set(set) {}
    ~UniqueDeviceInfoList() {
        if (Valid()) {
            m_pApi->SetupDiDestroyDeviceInfoList(m_Set);
        }
    }
    UniqueDeviceInfoList(UniqueDeviceInfoList&& other) noexcept
        : m_pApi(other.m_pApi), m_Set(std::exchange(other.m_Set, nullptr)) {}
    UniqueDeviceInfoList& operator=(UniqueDeviceInfoList&&) = delete;
    UniqueDeviceInfoList(const UniqueDeviceInfoList&) = delete;
    UniqueDeviceInfoList& operator=(const UniqueDeviceInfoList&) = delete;

    bool Valid() const { return m_Set != nullptr && m_Set != INVALID_HANDLE_VALUE; }
    HDEVINFO Get() const { return m_Set; }

private:
    DeviceApi* m_pApi;
    HDEVINFO m_Set;
};

// UniqueDeviceNotification owns one device-change registration (from
// DeviceApi::RegisterDeviceNotificationW) and ends it through the same table.
class UniqueDeviceNotification {
public:
    UniqueDeviceNotification() = default;
    ~UniqueDeviceNotification() { Reset(); }
    UniqueDeviceNotification(UniqueDeviceNotification&& other) noexcept
        : m_pApi(other.m_pApi), m_Notify(std::exchange(other.m_Notify, nullptr)) {}
    UniqueDeviceNotification& operator=(UniqueDeviceNotification&& other) noexcept {
        if (this != &other) {
            Reset();
            m_pApi = other.m_pApi;
            m_Notify = std::exchange(other.m_Notify, nullptr);
        }
        return *this;
    }
    UniqueDeviceNotification(const UniqueDeviceNotification&) = delete;
    UniqueDeviceNotification& operator=(const UniqueDeviceNotification&) = delete;

    bool Valid() const { return m_Notify != nullptr; }
    HDEVNOTIFY Get() const { return m_Notify; }

    void Reset(DeviceApi* api = nullptr, HDEVNOTIFY notify = nullptr) {
        if (Valid()) {
            m_pApi->UnregisterDeviceNotification(m_Notify);
        }
        m_pApi = api;
        m_Notify = notify;
    }

private:
    DeviceApi* m_pApi = nullptr;
    HDEVNOTIFY m_Notify = nullptr;
};
