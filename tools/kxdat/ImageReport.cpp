#include "ImageReport.h"

#include "update/FirmwareImage.h"

#include <windows.h>

#include <cwchar>

namespace {

std::wstring Hex8(std::uint32_t value) {
    wchar_t text[16];
    swprintf(text, 16, L"0x%08X", static_cast<unsigned>(value));
    return text;
}

std::wstring Line(const wchar_t* label, const std::wstring& value) {
    wchar_t head[32];
    swprintf(head, 32, L"%-20ls", label);
    return head + value + L"\n";
}

bool FileSize(const std::wstring& path, unsigned long long* size) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return false;
    *size = (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

std::wstring Refusal(ImageCheck check, const FirmwareHeader& header, unsigned long long data) {
    if (check == ImageCheck::Ok)
        return L"accepts it";
    if (check == ImageCheck::MissingData)
        return L"refuses it: it holds " + std::to_wstring(data) + L" of the " +
               std::to_wstring(header.DataLength) + L" data bytes its header announces";
    return L"refuses it: " + ImageCheckText(check);
}

} // namespace

std::wstring DescribeImage(const std::wstring& path, bool* accepted) {
    std::wstring text = Line(L"File:", path);
    unsigned long long size = 0;
    const bool sized = FileSize(path, &size);
    FirmwareHeader header{};
    FirmwareImage image;
    const ImageCheck check =
        sized ? LoadFirmwareImage(path, &image, &header) : ImageCheck::Unreadable;
    *accepted = check == ImageCheck::Ok;
    if (sized)
        text += Line(L"Size:", std::to_wstring(size) + L" bytes");
    if (check == ImageCheck::Unreadable || check == ImageCheck::TooShort) {
        text += Line(L"The updater:", Refusal(check, header, 0));
        return text;
    }

    const unsigned long long data = size - sizeof(FirmwareHeader);
    text += Line(L"VersionWord:",
                 Hex8(header.VersionWord) + L" (" + FormatVersionText(header.VersionWord) + L")");
    text += Line(L"Word1:", Hex8(header.Word1));
    text += Line(L"DataLength:",
                 std::to_wstring(header.DataLength) + L" (" + Hex8(header.DataLength) + L")");
    text += Line(L"Word3:", Hex8(header.Word3));
    std::wstring tail;
    for (std::uint8_t byte : header.Tail) {
        wchar_t hex[4];
        swprintf(hex, 4, L"%02X", byte);
        tail += (tail.empty() ? L"" : L" ") + std::wstring(hex);
    }
    text += Line(L"Tail:", tail);
    std::wstring present = std::to_wstring(data) + L" bytes";
    if (data > header.DataLength)
        present +=
            L", of which " + std::to_wstring(data - header.DataLength) + L" beyond DataLength";
    text += Line(L"Data present:", present);
    text += Line(L"The updater:", Refusal(check, header, data));
    if (*accepted) {
        text += Line(L"Confirmation:", FormatConfirmationText(header.VersionWord));
        text += Line(L"Shown after update:", FormatVersionText(header.VersionWord));
    }
    return text;
}
