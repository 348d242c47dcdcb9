// The 28-byte header at the start of a firmware image file.
#pragma once

#include <cstdint>

// FirmwareHeader is the header record exactly as it stands in the image file (the words
// little-endian, as this machine holds them). Read it from the file with one 28-byte
// read; SendHeaderFrame sends it to the receiver with its first four words big-endian.
struct FirmwareHeader {
    std::uint32_t VersionWord; // bits 0-15 version in hundredths, bits 16-23 beta number
    std::uint32_t Word1;       // passed to the receiver
    std::uint32_t DataLength;  // number of image data bytes after the header
    std::uint32_t Word3;       // passed to the receiver
    std::uint8_t Tail[12];     // passed to the receiver unchanged
};
static_assert(sizeof(FirmwareHeader) == 28, "the image header is 28 bytes");
