#include "update/FirmwareImage.h"

#include <cwchar>

#include "app/Localization.h"

FILE* OpenImageFile(const std::wstring& path) {
    return _wfopen(path.c_str(), L"rb");
}

ImageCheck ReadImageHeader(const std::wstring& path, FirmwareHeader* header) {
    FILE* file = OpenImageFile(path);
    if (!file)
        return ImageCheck::Unreadable;
    FirmwareHeader read{};
    const size_t got = fread(&read, 1, sizeof(read), file);
    long size = -1;
    if (got == sizeof(read) && fseek(file, 0, SEEK_END) == 0)
        size = ftell(file);
    fclose(file);
    if (got != sizeof(read))
        return ImageCheck::TooShort;
    *header = read;
    if (read.DataLength == 0)
        return ImageCheck::NoData;
    if (size < 0 || static_cast<unsigned long long>(size - kFirmwareDataOffset) < read.DataLength)
        return ImageCheck::MissingData;
    return ImageCheck::Ok;
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
