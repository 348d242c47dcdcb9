#include "ImageBuilder.h"

#include "link/FirmwareHeader.h"

#include <cstring>

std::uint8_t ImageByteStream::Next() {
    if (m_nLeft == 0) {
        std::uint64_t z = (m_nState += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        m_nBits = z ^ (z >> 31);
        m_nLeft = 8;
    }
    const std::uint8_t byte = static_cast<std::uint8_t>(m_nBits);
    m_nBits >>= 8;
    --m_nLeft;
    return byte;
}

std::uint32_t ImageByteStream::Next32() {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value |= static_cast<std::uint32_t>(Next()) << (8 * i);
    return value;
}

namespace {
void PutLE32(std::uint8_t* p, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}
} // namespace

std::vector<std::uint8_t> BuildImage(const ImageRecipe& recipe) {
    ImageByteStream stream(recipe.Seed);
    const std::uint32_t word1 = stream.Next32();
    const std::uint32_t word3 = stream.Next32();
    const std::uint32_t dataBytes = recipe.Truncated ? recipe.DataBytes : recipe.DataLength;

    std::vector<std::uint8_t> image(sizeof(FirmwareHeader) + dataBytes);
    std::uint8_t* header = image.data();
    PutLE32(header + offsetof(FirmwareHeader, VersionWord), recipe.VersionWord);
    PutLE32(header + offsetof(FirmwareHeader, Word1), recipe.HasWord1 ? recipe.Word1 : word1);
    PutLE32(header + offsetof(FirmwareHeader, DataLength), recipe.DataLength);
    PutLE32(header + offsetof(FirmwareHeader, Word3), recipe.HasWord3 ? recipe.Word3 : word3);
    for (std::size_t i = 0; i < sizeof(FirmwareHeader::Tail); ++i)
        header[offsetof(FirmwareHeader, Tail) + i] = stream.Next();
    for (std::size_t i = sizeof(FirmwareHeader); i < image.size(); ++i)
        image[i] = stream.Next();
    return image;
}
