// The firmware image file (.dat): a 28-byte header (FirmwareHeader), then DataLength
// bytes of image data. Reading and checking the header, and the texts that show an
// image's or a receiver's version.
#pragma once

#include <cstdint>
#include <cstddef>
#include <string>

#include "link/FirmwareHeader.h"
#include "link/LinkProtocol.h"

#include <vector>

constexpr long kFirmwareDataOffset = IMAGE_HEADER_SIZE; // the image data follows the header
constexpr int BLOCK_SIZE = IMAGE_BLOCK_SIZE; // image bytes read and sent per data request
// No receiver of this kind holds more; a larger DataLength is refused.
constexpr std::uint32_t kMaxDataLength = 16u * 1024 * 1024;

// Why an image file cannot be used.
enum class ImageCheck {
    Ok,
    Unreadable,  // cannot be opened or read
    TooShort,    // shorter than the 28-byte header
    NoData,      // DataLength is 0
    TooLarge,    // DataLength is above kMaxDataLength
    MissingData, // holds fewer than DataLength data bytes
};

// Why an image is refused, in a few words ("shorter than the 28-byte header"); empty for
// Ok.
std::wstring ImageCheckText(ImageCheck check);

// An image as the update sends it, read once when the user confirms it: the header
// exactly as stored, then the data. The data is DataLength bytes rounded up to whole
// blocks, as far as the file holds them, because every block is read as a full 32 bytes:
// up to 31 bytes past DataLength go with the last block when the file has them.
struct FirmwareImage {
    FirmwareHeader Header{};
    std::vector<std::uint8_t> Data;
};

// Checks the bytes of an image file and takes the image from them. *image is written
// only when the check passes.
ImageCheck ParseFirmwareImage(const std::uint8_t* bytes, std::size_t size, FirmwareImage* image);

// Reads an image file through its wide-character path and checks it as
// ParseFirmwareImage does. *header receives the header whenever the file holds one (also
// for a refused image); *image is written only when the check passes.
ImageCheck LoadFirmwareImage(const std::wstring& path, FirmwareImage* image,
                             FirmwareHeader* header = nullptr);

// The confirmation text for an image whose header holds versionWord: the release text
// with the whole 32-bit word / 100, or the beta text with the low 16 bits / 100 and the
// beta number (bits 16-23).
std::wstring FormatConfirmationText(std::uint32_t versionWord);

// The receiver's version as the main window shows it: "?" for 0xFFFFFFFF, "V1.34" or
// "V1.34  Beta3" (bits 24-31 play no part).
std::wstring FormatVersionText(std::uint32_t versionWord);
