// The byte orders of the link: its fields are little-endian, but for the first four
// words of the image header, which the receiver takes most significant byte first.
#pragma once

#include <cstdint>
#include <cstring>

inline std::uint32_t ReadLittleEndian32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

inline void WriteLittleEndian32(std::uint8_t* p, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// Rewrites the 32-bit value at p, held in this machine's (little-endian) order, as four
// bytes, most significant first.
inline void StoreBigEndian32(std::uint8_t* p) {
    std::uint32_t value;
    std::memcpy(&value, p, sizeof(value));
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}
