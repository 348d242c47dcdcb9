#include "update/FirmwareImage.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <memory>

#include "app/Localization.h"

namespace {
// The most of a file an update can use: the header and the largest DataLength rounded up
// to whole blocks. Bytes past it are never read, however large the file.
constexpr std::size_t kMaxFileUsed = kFirmwareDataOffset + kMaxDataLength + (BLOCK_SIZE - 1);

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};
} // namespace

std::wstring ImageCheckText(ImageCheck check) {
    switch (check) {
    case ImageCheck::Unreadable:
        return L"the file cannot be opened or read";
    case ImageCheck::TooShort:
        return L"shorter than the 28-byte header";
    case ImageCheck::NoData:
        return L"DataLength is 0";
    case ImageCheck::TooLarge:
        return L"DataLength is above 16 MiB, more than any receiver holds";
    case ImageCheck::MissingData:
        return L"the file holds fewer data bytes than DataLength";
    case ImageCheck::Ok:
        break;
    }
    return L"";
}

ImageCheck ParseFirmwareImage(const std::uint8_t* bytes, std::size_t size, FirmwareImage* image) {
    if (size < sizeof(FirmwareHeader))
        return ImageCheck::TooShort;
    FirmwareHeader header;
    std::memcpy(&header, bytes, sizeof(header));
    if (header.DataLength == 0)
        return ImageCheck::NoData;
    if (header.DataLength > kMaxDataLength)
        return ImageCheck::TooLarge;
    const std::size_t held = size - sizeof(header);
    if (held < header.DataLength)
        return ImageCheck::MissingData;
    const std::size_t blocks = (header.DataLength + BLOCK_SIZE - 1) / BLOCK_SIZE;
    const std::size_t used = std::min<std::size_t>(held, blocks * BLOCK_SIZE);
    image->Header = header;
    image->Data.assign(bytes + sizeof(header), bytes + sizeof(header) + used);
    return ImageCheck::Ok;
}

ImageCheck LoadFirmwareImage(const std::wstring& path, FirmwareImage* image,
                             FirmwareHeader* header) {
    std::unique_ptr<FILE, FileCloser> file(_wfopen(path.c_str(), L"rb"));
    if (!file)
        return ImageCheck::Unreadable;
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[64 * 1024];
    while (bytes.size() < kMaxFileUsed) {
        const std::size_t want = std::min(sizeof(chunk), kMaxFileUsed - bytes.size());
        const std::size_t got = fread(chunk, 1, want, file.get());
        bytes.insert(bytes.end(), chunk, chunk + got);
        if (got < want) {
            if (ferror(file.get()))
                return ImageCheck::Unreadable;
            break;
        }
    }
    if (header && bytes.size() >= sizeof(FirmwareHeader))
        std::memcpy(header, bytes.data(), sizeof(FirmwareHeader));
    return ParseFirmwareImage(bytes.data(), bytes.size(), image);
}

namespace {
std::wstring Format(const std::wstring& format, double value, int number = 0) {
    wchar_t text[256] = {};
    swprintf(text, 256, format.c_str(), value, number);
    return text;
}
} // namespace

std::wstring FormatConfirmationText(std::uint32_t versionWord) {
    const int beta = (versionWord >> 16) & 0xFF;
    if (beta == 0)
        return Format(LoadLocalizedString(TXT_CONFIRM_VERSION), versionWord / 100.0);
    return Format(LoadLocalizedString(TXT_CONFIRM_VERSION_BETA), (versionWord & 0xFFFF) / 100.0,
                  beta);
}

std::wstring FormatVersionText(std::uint32_t versionWord) {
    if (versionWord == 0xFFFFFFFFu)
        return L"?";
    const int beta = (versionWord >> 16) & 0xFF;
    if (beta != 0)
        return Format(L"V%0.2f  Beta%d", (versionWord & 0xFFFF) / 100.0, beta);
    return Format(L"V%0.2f", (versionWord & 0xFFFF) / 100.0);
}
