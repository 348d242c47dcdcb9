// What the simulated receiver's two halves (the device and its system services) share:
// the HID class identity, completion states and how errors reach the caller.
#pragma once

#include <windows.h>

#include <cstddef>

// The HID device interface class, as the system reports it.
constexpr GUID kHidGuid = {
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

// Completion states of an overlapped request, as the system leaves them in Internal.
constexpr ULONG_PTR kStatusSuccess = 0;
constexpr ULONG_PTR kStatusPending = 0x103;
constexpr ULONG_PTR kStatusCancelled = 0xC0000120;
constexpr ULONG_PTR kStatusDeviceNotConnected = 0xC000009D;
constexpr ULONG_PTR kStatusDeletePending = 0xC0000056;

constexpr std::size_t kInputBuffers = 32; // reports a read handle holds while nobody reads

// Sets the calling thread's last error when it goes out of scope, after any lock
// declared behind it has been released (so unlocking cannot disturb the value).
class LastErrorOnExit {
public:
    ~LastErrorOnExit() {
        if (m_bSet) {
            ::SetLastError(m_nError);
        }
    }
    BOOL Fail(DWORD error) {
        m_nError = error;
        m_bSet = true;
        return FALSE;
    }
    HANDLE FailHandle(DWORD error) {
        Fail(error);
        return INVALID_HANDLE_VALUE;
    }

private:
    DWORD m_nError = 0;
    bool m_bSet = false;
};
