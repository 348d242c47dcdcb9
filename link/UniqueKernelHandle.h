// Owner of one kernel object handle: an event, a file, a pipe end, a process or a thread.
#pragma once

#include <windows.h>

#include <utility>

// UniqueKernelHandle owns a handle that CloseHandle ends (from CreateFileW,
// CreatePipe, CreateProcessW...) and closes it when it ends or is reset. Both null and
// INVALID_HANDLE_VALUE mean "no handle". Move it to hand the handle on; it cannot be
// copied. Device handles of the device seam have their own owner (UniqueDeviceHandle),
// because they go back to the table that produced them.
class UniqueKernelHandle {
public:
    UniqueKernelHandle() = default;
    explicit UniqueKernelHandle(HANDLE handle) : m_Handle(handle) {}
    ~UniqueKernelHandle() { Reset(); }
    UniqueKernelHandle(UniqueKernelHandle&& other) noexcept
        : m_Handle(std::exchange(other.m_Handle, nullptr)) {}
    UniqueKernelHandle& operator=(UniqueKernelHandle&& other) noexcept {
        if (this != &other) {
            Reset(std::exchange(other.m_Handle, nullptr));
        }
        return *this;
    }
    UniqueKernelHandle(const UniqueKernelHandle&) = delete;
    UniqueKernelHandle& operator=(const UniqueKernelHandle&) = delete;

    bool Valid() const { return m_Handle != nullptr && m_Handle != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return m_Handle; }
    // For the calls that hand a new handle out through a pointer (CreatePipe...): the
    // handle held before is closed first.
    HANDLE* Put() {
        Reset();
        return &m_Handle;
    }

    void Reset(HANDLE handle = nullptr) {
        if (Valid()) {
            ::CloseHandle(m_Handle);
        }
        m_Handle = handle;
    }

private:
    HANDLE m_Handle = nullptr;
};
