// The firmware image file (.dat): a 28-byte header (FirmwareHeader), then DataLength
// bytes of image data. Reading and checking the header, and the texts that show an
// image's or a receiver's version.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "link/FirmwareHeader.h"
#include "link/LinkProtocol.h"

constexpr long kFirmwareDataOffset = IMAGE_HEADER_SIZE; // the image data follows the header
constexpr int BLOCK_SIZE = IMAGE_BLOCK_SIZE; // image bytes read and sent per data request

// Why an image file cannot be used.
enum class ImageCheck {
    Ok,
    Unreadable,  // cannot be opened or read
    TooShort,    // shorter than the 28-byte header
    NoData,      // DataLength is 0
    MissingData, // holds fewer than DataLength data bytes
};

// Opens the image through its wide-character path (binary read); null when it cannot
// be opened.
FILE* OpenImageFile(const std::wstring& path);

// Reads the header of an image file and checks that the file can be sent whole.
ImageCheck ReadImageHeader(const std::wstring& path, FirmwareHeader* header);

// The confirmation text for an image whose header holds versionWord: the release text
// with the whole 32-bit word / 100, or the beta text with the low 16 bits / 100 and the
// beta number (bits 16-23).
std::wstring FormatConfirmationText(std::uint32_t versionWord);

// The receiver's version as the main window shows it: "?" for 0xFFFFFFFF, "V1.34" or
// "V1.34  Beta3" (bits 24-31 play no part).
std::wstring FormatVersionText(std::uint32_t versionWord);
