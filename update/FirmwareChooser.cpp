// Choosing and confirming the image when the receiver is ready for it: the start of
// an update session. Runs on the update worker.
#include <windows.h>
#include <commdlg.h>

#include <vector>

#include "app/Localization.h"
#include "link/Frames.h"
#include "ui/UpdateDlg.h"
#include "update/FirmwareImage.h"
#include "update/UpdateSession.h"

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

// Lets the user choose an image; the chooser opens in the current directory listing
// .dat files. Empty when the user closed it without a file.
std::wstring ChooseImageFile(HWND owner) {
    wchar_t directory[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, directory);
    std::vector<wchar_t> file(32768, L'\0');
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
} // namespace

int CUpdateDlg::BeginFirmwareUpdate() {
    const std::wstring path = ChooseImageFile(m_hWnd);
    if (path.empty())
        return 0;
    m_FirmwarePath = path;

    // An image is refused before anything reaches the receiver unless it can be sent
    // whole: a header, a data length, and that many data bytes.
    FirmwareHeader header = m_Header;
    if (ReadImageHeader(m_FirmwarePath, &header) != ImageCheck::Ok) {
        ShowPrompt(LoadLocalizedString(TXT_OPEN_FILE_ERROR), PROMPT_OK);
        return 0;
    }
    m_Header = header;
    m_nVersion = header.VersionWord;
    m_nTotalLength = header.DataLength;
    m_nSentLength = 0;
    m_SendHeader = m_Header;

    if (ShowPrompt(FormatConfirmationText(m_nVersion), PROMPT_OKCANCEL) == IDCANCEL)
        return 0;

    g_nUpdateState = STATE_HEADER_SENT;
    SendHeaderFrame(m_SendHeader);
    m_Hid.SetReadTimeout(10);
    g_bUpdating = 1;
    return 1;
}
