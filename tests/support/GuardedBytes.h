// Bytes placed so that the byte after them cannot be read: any read past their end
// faults at once instead of going unnoticed.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace kxtest {

class GuardedBytes {
public:
    GuardedBytes() {
        SYSTEM_INFO info{};
        GetSystemInfo(&info);
        m_nPage = info.dwPageSize;
        m_pBase = static_cast<std::uint8_t*>(
            VirtualAlloc(nullptr, 2 * m_nPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        if (m_pBase)
            VirtualProtect(m_pBase + m_nPage, m_nPage, PAGE_NOACCESS, &old);
    }
    ~GuardedBytes() {
        if (m_pBase)
            VirtualFree(m_pBase, 0, MEM_RELEASE);
    }
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;

    bool Valid() const { return m_pBase != nullptr; }

    // Copies n bytes (at most a page) to end right at the guard; returns where they are.
    const std::uint8_t* Place(const std::uint8_t* bytes, std::size_t n) {
        std::uint8_t* at = m_pBase + m_nPage - n;
        if (n)
            std::memcpy(at, bytes, n);
        return at;
    }
    const std::uint8_t* Place(const std::vector<std::uint8_t>& bytes) {
        return Place(bytes.data(), bytes.size());
    }

private:
    std::uint8_t* m_pBase = nullptr;
    DWORD m_nPage = 4096;
};

} // namespace kxtest
