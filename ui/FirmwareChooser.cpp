#include "ui/FirmwareChooser.h"

#include <commdlg.h>

#include <cwchar>
#include <vector>

#include "update/locale/Localization.h"

namespace {
// The chooser's filter: "<file type>(*.dat)" showing "*.dat", as the system wants it
// (description and pattern each ending in a null, the list in a second null).
std::vector<wchar_t> DatFilter() {
    const std::wstring list = LoadLocalizedString(TXT_FILE_TYPE) + L"(*.dat)|*.dat||";
    std::vector<wchar_t> filter(list.begin(), list.end());
    for (wchar_t& c : filter)
        if (c == L'|')
            c = L'\0';
    filter.push_back(L'\0');
    return filter;
}
} // namespace

std::wstring ChooseImageFile(HWND owner) {
    wchar_t directory[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, directory);
    std::vector<wchar_t> file(32768, L'\0');
    // NOLINTNEXTLINE(cert-err33-c): a MAX_PATH folder and a pattern fit 32768 characters
    swprintf(file.data(), file.size(), L"%ls\\*.dat", directory);
    const std::vector<wchar_t> filter = DatFilter();

    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = owner;
    ofn.lpstrFilter = filter.data();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = file.data();
    ofn.nMaxFile = static_cast<DWORD>(file.size());
    ofn.lpstrDefExt = L"*.*";
    ofn.Flags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT | OFN_EXPLORER | OFN_ENABLESIZING;
    if (!::GetOpenFileNameW(&ofn))
        return {};
    return file.data();
}
