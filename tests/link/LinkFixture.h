// A receiver link on the simulated receiver: the fixture of the link and simulator tests.
#pragma once

#include "link/Frames.h"
#include "link/Hid.h"
#include "sim/SimReceiver.h"
#include "support/WinTest.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

// A simulated receiver installed in the device seam and one CHid on it, for each test.
class LinkTest : public ::testing::Test {
protected:
    // Plugs the receiver in this mode, finds it and opens it.
    void Connect(int mode) {
        sim.Plug(mode);
        ASSERT_EQ(1, hid.FindDevice());
        ASSERT_EQ(1, hid.OpenDevice());
    }
    // Waits until the receiver has done everything it had queued (answers, notifications).
    void Settle() {
        ASSERT_TRUE(kxtest::WaitFor([this] { return sim.Idle(); }));
    }

    // The report of mode 1 or 2 carrying these payload bytes, zero-padded.
    static Bytes Report(int mode, const Bytes& payload) {
        Bytes report(mode == 2 ? 65 : 64, 0);
        report[0] = mode == 2 ? 0x00 : 0x81;
        std::copy(payload.begin(), payload.end(), report.begin() + 1);
        return report;
    }
    // The payload ReadHid delivers for a frame: the count byte and the frame.
    static Bytes Payload(const Bytes& frame) {
        Bytes payload{static_cast<std::uint8_t>(frame.size())};
        payload.insert(payload.end(), frame.begin(), frame.end());
        return payload;
    }
    // Reads one report and returns its first n payload bytes, or nothing on no report.
    Bytes ReadPayload(std::size_t n, DWORD timeoutMs = 500) {
        hid.SetReadTimeout(timeoutMs);
        std::uint8_t buffer[65] = {};
        if (hid.ReadHid(buffer, 65) != HID_READ_OK) {
            return {};
        }
        return Bytes(buffer, buffer + n);
    }

    // Reads one report and returns the frame it carries, or nothing on no report.
    Bytes ReadFrame(DWORD timeoutMs = 500) {
        const Bytes payload = ReadPayload(65, timeoutMs);
        if (payload.empty()) {
            return {};
        }
        return Bytes(payload.begin() + 1, payload.begin() + 1 + std::min<int>(payload[0], 64));
    }

    SimReceiver sim;
    ScopedDeviceApi seam{sim};
    CHid hid;
};

// Milliseconds taken by f().
template <typename F> long long MillisecondsOf(F&& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

// A hidden top-level window that records the device-change notifications it receives.
class NotifyWindow {
public:
    struct Event {
        WPARAM Kind;
        std::wstring Path;
    };
    NotifyWindow();
    ~NotifyWindow();
    HWND Handle() const { return m_hWnd; }
    std::vector<Event> Events() const { return m_Events; }
    bool Has(WPARAM kind) const;

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    HWND m_hWnd = nullptr;
    std::vector<Event> m_Events;
};
