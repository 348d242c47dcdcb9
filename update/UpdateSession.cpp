// The update session: every frame the link workers receive, and what it leads to.
// Runs on the worker that read the frame, except the close button and the timer,
// which run on the window's thread.
#include "update/UpdateSession.h"

#include <cwchar>

#include "app/Localization.h"
#include "link/Frames.h"
#include "link/LinkWorkers.h"
#include "ui/UpdateDlg.h"
#include "update/FirmwareImage.h"

std::atomic<int> g_nUpdateState{STATE_DATA_DONE};
std::atomic<int> g_bUpdating{0};

namespace {
constexpr UINT_PTR kModeSwitchTimer = 1;

std::uint32_t LittleEndian32(const BYTE* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
} // namespace

void CUpdateDlg::DispatchReply(const BYTE* frame, USHORT) {
    if (frame[0] != 0x00)
        return;
    switch (frame[FRAME_TYPE_OFFSET]) {
    case REPLY_READY:
        if (!BeginFirmwareUpdate())
            StopUpdate();
        break;
    case FRAME_LINK:
        OnLinkReply(frame + FRAME_SUBCODE_OFFSET);
        break;
    case REPLY_ACK:
        if (frame[FRAME_SUBCODE_OFFSET] == ACK_UPDATE_DONE)
            FinishUpdate();
        break;
    default:
        break;
    }
}

void CUpdateDlg::OnLinkReply(const BYTE* body) {
    switch (body[0]) {
    case SUB_VERSION: {
        const std::uint32_t version = LittleEndian32(body + 3);
        g_nListenMarker = version;
        SetVersionText(FormatVersionText(version));
        break;
    }
    case SUB_DATA_REQUEST:
        OnDataRequest();
        break;
    case SUB_FAILURE_1:
    case SUB_FAILURE_2:
        OnUpdateFailed();
        break;
    default:
        break;
    }
}

void CUpdateDlg::OnDataRequest() {
    switch (g_nUpdateState) {
    case STATE_HEADER_SENT: {
        m_pFirmwareFile = OpenImageFile(m_FirmwarePath);
        if (!m_pFirmwareFile)
            return; // unanswered; the next request tries again
        g_nUpdateState = STATE_SENDING;
        fseek(m_pFirmwareFile, kFirmwareDataOffset, SEEK_SET);
        const size_t n = fread(m_Block, 1, BLOCK_SIZE, m_pFirmwareFile);
        if (n < BLOCK_SIZE && n < m_nTotalLength) {
            OnUpdateFailed(); // the file no longer holds the whole image
            return;
        }
        SendDataFrame(m_Block, static_cast<std::uint32_t>(n));
        m_nSentLength += static_cast<std::uint32_t>(n);
        PostMessage(WM_KX_SESSION_TIMER);
        break;
    }
    case STATE_SENDING: {
        if (!m_pFirmwareFile)
            return; // the session was stopped: nothing to send from
        const size_t n = fread(m_Block, 1, BLOCK_SIZE, m_pFirmwareFile);
        if (n < BLOCK_SIZE && m_nSentLength + n < m_nTotalLength) {
            OnUpdateFailed(); // the file ended before the whole image was sent
            return;
        }
        SendDataFrame(m_Block, static_cast<std::uint32_t>(n));
        m_nSentLength += static_cast<std::uint32_t>(n);
        // Percent of the image sent; unsigned 32-bit arithmetic, above 100 passed on.
        const std::uint32_t pos = (m_nSentLength * 100u) / m_nTotalLength;
        SetProgress(static_cast<int>(pos));
        g_bUpdating = 1;
        if (m_nSentLength >= m_nTotalLength) {
            fclose(m_pFirmwareFile);
            m_pFirmwareFile = nullptr;
            g_nUpdateState = STATE_DATA_DONE;
            EnableUpdateButton(false);
        }
        break;
    }
    case STATE_DATA_DONE:
        FinishUpdate();
        break;
    default:
        break;
    }
}

void CUpdateDlg::FinishUpdate() {
    SendLinkFrame(SUB_FINISH, nullptr, 0);
    g_bUpdateDone = 1;
    // The receiver is always answered, but success is only reported for an update
    // that was actually started.
    if (g_bUpdating)
        ShowPrompt(LoadLocalizedString(TXT_UPDATE_SUCCEEDED), PROMPT_OK);
    SetProgress(0);
    g_bUpdating = 0;
}

void CUpdateDlg::StopUpdate() {
    if (m_pFirmwareFile) {
        fclose(m_pFirmwareFile);
        m_pFirmwareFile = nullptr;
    }
    g_bUpdateDone = 1;
}

void CUpdateDlg::OnUpdateFailed() {
    StopUpdate();
    ShowPrompt(LoadLocalizedString(TXT_UPDATE_FAILED), PROMPT_OK);
    if (m_Hid.m_bFound)
        EnableUpdateButton(true);
}

void CUpdateDlg::OnCloseButton() {
    if (g_bUpdating) {
        const std::wstring question = L"\n   " + LoadLocalizedString(TXT_ABORT_QUESTION) + L"   \n";
        if (ShowPrompt(question, PROMPT_OKCANCEL) == IDCANCEL)
            return; // the window stays and the update goes on
    }
    SendMessage(WM_CLOSE);
}

void CUpdateDlg::OnTimer(UINT_PTR nIDEvent) {
    if (nIDEvent == kModeSwitchTimer && RequestModeSwitch())
        KillTimer(kModeSwitchTimer);
    Default();
}

void CUpdateDlg::SetVersionText(const std::wstring& text) {
    {
        std::lock_guard<std::mutex> lock(m_VersionTextLock);
        m_VersionText = text;
    }
    m_VersionLabel.SetWindowText(text);
}

void CUpdateDlg::ResetSession() {
    if (m_pFirmwareFile) {
        fclose(m_pFirmwareFile);
        m_pFirmwareFile = nullptr;
    }
    m_FirmwarePath.clear();
    m_Header = {};
    m_SendHeader = {};
    m_nVersion = m_nTotalLength = m_nSentLength = 0;
    std::fill(std::begin(m_Block), std::end(m_Block), BYTE{0});
}
