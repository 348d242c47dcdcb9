#include "update/FirmwareImage.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <memory>

#include "update/locale/Localization.h"

namespace {
struct FileCloser {
    // NOLINTNEXTLINE(cert-err33-c): the file was only read; nothing is lost if closing fails
    void operator()(FILE* file) const { fclose(file); }
};

// Checks a header against the data bytes the file holds behind it; on success *used is
// how many of them an update sends: DataLength rounded up to whole blocks, as far as the
// file goes.
ImageCheck CheckHeader(const FirmwareHeader& header, std::size_t held, std::size_t* used) {
    if (header.DataLength == 0)
        return ImageCheck::NoData;
    if (header.DataLength > kMaxDataLength)
        return ImageCheck::TooLarge;
    if (held < header.DataLength)
        return ImageCheck::MissingData;
    *used = std::min<std::size_t>(held, static_cast<std::size_t>(WholeBlockBytes(header.DataLength)));
    return ImageCheck::Ok;
}
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
    std::size_t used = 0;
    const ImageCheck check = CheckHeader(header, size - sizeof(header), &used);
    if (check != ImageCheck::Ok)
        return check;
    image->Header = header;
    image->Data.assign(bytes + sizeof(header), bytes + sizeof(header) + used);
    return ImageCheck::Ok;
}

ImageCheck LoadFirmwareImage(const std::wstring& path, FirmwareImage* image,
                             FirmwareHeader* header) {
    std::unique_ptr<FILE, FileCloser> file(_wfopen(path.c_str(), L"rb"));
    if (!file)
        return ImageCheck::Unreadable;
    FirmwareHeader stored;
    const std::size_t got = fread(&stored, 1, sizeof(stored), file.get());
    if (got < sizeof(stored))
        return ferror(file.get()) ? ImageCheck::Unreadable : ImageCheck::TooShort;
    if (header)
        *header = stored;
    std::size_t used = 0;
    if (stored.DataLength == 0 || stored.DataLength > kMaxDataLength)
        return CheckHeader(stored, 0, &used); // refused before any data is read
    // The data goes straight into the image's one buffer, reserved for DataLength rounded
    // up to whole blocks: no other copy of the image is held, however large, and only
    // what the file holds is ever touched.
    const auto rounded = static_cast<std::size_t>(WholeBlockBytes(stored.DataLength));
    std::vector<std::uint8_t> data;
    data.reserve(rounded);
    constexpr std::size_t kPiece = std::size_t{64} * 1024;
    while (data.size() < rounded) {
        const std::size_t at = data.size();
        const std::size_t want = std::min(kPiece, rounded - at);
        data.resize(at + want);
        const std::size_t got = fread(data.data() + at, 1, want, file.get());
        data.resize(at + got);
        if (got < want) {
            if (ferror(file.get()))
                return ImageCheck::Unreadable;
            break;
        }
    }
    const std::size_t held = data.size();
    const ImageCheck check = CheckHeader(stored, held, &used);
    if (check != ImageCheck::Ok)
        return check;
    data.resize(used);
    image->Header = stored;
    image->Data = std::move(data);
    return ImageCheck::Ok;
}

namespace {
std::wstring Format(const std::wstring& format, double value, int number = 0) {
    wchar_t text[256] = {};
    // NOLINTNEXTLINE(cert-err33-c): every language's version text is far shorter
    swprintf(text, 256, format.c_str(), value, number);
    return text;
}
} // namespace

std::wstring FormatConfirmationText(std::uint32_t versionWord) {
    const int beta = static_cast<int>((versionWord >> 16) & 0xFF);
    if (beta == 0)
        return Format(LoadLocalizedString(TXT_CONFIRM_VERSION), versionWord / 100.0);
    return Format(LoadLocalizedString(TXT_CONFIRM_VERSION_BETA), (versionWord & 0xFFFF) / 100.0,
                  beta);
}

std::wstring FormatVersionText(std::uint32_t versionWord) {
    if (versionWord == 0xFFFFFFFFu)
        return L"?";
    const int beta = static_cast<int>((versionWord >> 16) & 0xFF);
    if (beta != 0)
        return Format(L"V%0.2f  Beta%d", (versionWord & 0xFFFF) / 100.0, beta);
    return Format(L"V%0.2f", (versionWord & 0xFFFF) / 100.0);
}
