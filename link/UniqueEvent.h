// Owner of one kernel event object.
#pragma once

#include <windows.h>

#include <utility>

// UniqueEvent owns an event created with CreateEventW and closes it when it ends. Both
// null and INVALID_HANDLE_VALUE mean "no event". Move it to hand the event on; it cannot
// be copied.
class UniqueEvent {
public:
    UniqueEvent() = default;
    explicit UniqueEvent(HANDLE event) : m_Event(event) {}
    ~UniqueEvent() { Reset(); }
    UniqueEvent(UniqueEvent&& other) noexcept : m_Event(std::exchange(other.m_Event, nullptr)) {}
    UniqueEvent& operator=(UniqueEvent&& other) noexcept {
        if (this != &other) {
            Reset();
            m_Event = std::exchange(other.m_Event, nullptr);
        }
        return *this;
    }
    UniqueEvent(const UniqueEvent&) = delete;
    UniqueEvent& operator=(const UniqueEvent&) = delete;

    // A manual-reset event, not signalled, without a name.
    static UniqueEvent CreateManualReset() {
        return UniqueEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    }

    bool Valid() const { return m_Event != nullptr && m_Event != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return m_Event; }

    void Reset() {
        if (Valid()) {
            ::CloseHandle(m_Event);
        }
        m_Event = nullptr;
    }

private:
    HANDLE m_Event = nullptr;
};
