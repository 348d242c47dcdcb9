// Firmware image files made to order, for samples and tests.
#pragma once

#include <cstdint>
#include <vector>

// What an image made by BuildImage holds. Everything the receiver takes as it is (Word1,
// Word3 and the 12 tail bytes, unless given) and the data come from one pseudo-random
// stream started from Seed, so an image is reproduced exactly from its settings, and
// those bytes are all different from one another in practice: a byte-order slip or a
// block sent twice on the way to the receiver shows in its copy.
struct ImageRecipe {
    std::uint32_t VersionWord = 0x00000086;
    std::uint32_t DataLength = 0;
    bool HasWord1 = false; // false: Word1 from the stream
    std::uint32_t Word1 = 0;
    bool HasWord3 = false; // false: Word3 from the stream
    std::uint32_t Word3 = 0;
    std::uint32_t Seed = 1;
    // Data bytes actually written; DataLength when not truncated. Fewer make an image
    // that is shorter than its header says.
    bool Truncated = false;
    std::uint32_t DataBytes = 0;
};

// The stream: SplitMix64 from the seed, each 64-bit output giving eight bytes, least
// significant first.
class ImageByteStream {
public:
    explicit ImageByteStream(std::uint32_t seed) : m_nState(seed) {}
    std::uint8_t Next();
    std::uint32_t Next32(); // four bytes, little-endian

private:
    std::uint64_t m_nState;
    std::uint64_t m_nBits = 0;
    int m_nLeft = 0;
};

// The whole file: the 28-byte header in file byte order, then the data. In the stream,
// Word1, Word3 and the tail come first (drawn even when given, so giving one leaves the
// rest alike), then the data bytes.
std::vector<std::uint8_t> BuildImage(const ImageRecipe& recipe);
