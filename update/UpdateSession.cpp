#include "update/UpdateSession.h"

#include <algorithm>
#include <climits>

#include "link/ByteOrder.h"
#include "link/Frames.h"
#include "link/Hid.h"
#include "update/locale/Localization.h"

namespace {
// The bytes a frame needs before its type's fields can be read: the type at byte 1, a
// sub-code or value at byte 4, the version word at bytes 7-10.
constexpr USHORT kTypedFrame = 2;
constexpr USHORT kFrameWithSubCode = FRAME_SUBCODE_OFFSET + 1;
constexpr USHORT kVersionBody = FRAME_VERSION_OFFSET + 4 - FRAME_SUBCODE_OFFSET;
} // namespace

bool ShowVersionReply(const BYTE* body, USHORT size, ISessionView& view) {
    if (size < kVersionBody)
        return false;
    view.SetVersionText(FormatVersionText(ReadLittleEndian32(body + 3)));
    return true;
}

void CVersionListener::DispatchReply(const BYTE* frame, USHORT count) {
    if (count >= kFrameWithSubCode && frame[0] == 0x00 && frame[FRAME_TYPE_OFFSET] == FRAME_LINK &&
        frame[FRAME_SUBCODE_OFFSET] == SUB_VERSION &&
        ShowVersionReply(frame + FRAME_SUBCODE_OFFSET, count - FRAME_SUBCODE_OFFSET, m_View))
        m_bHeard = true;
}

CUpdateSession::CUpdateSession(CHid& hid, ISessionView& view) : m_Hid(hid), m_View(view) {}

void CUpdateSession::Run(const std::atomic<bool>& stop, const std::atomic<bool>& removed) {
    m_pStop = &stop;
    m_pRemoved = &removed;
    if (!Start())
        return;
    switch (ReceiveLoop(m_Hid, *this, stop, removed)) {
    case LoopEnd::DeviceGone:
        OnReceiverRemoved();
        break;
    case LoopEnd::Stopped:
        Abort();
        break;
    case LoopEnd::Finished:
        break;
    }
}

bool CUpdateSession::Start() {
    if (!SendShortCommand(m_Hid, CMD_START_UPDATE, 0)) {
        WriteFailed();
        return false;
    }
    m_nWaitingSince = GetTickCount64();
    m_Phase = SessionPhase::WaitingReady;
    return true;
}

void CUpdateSession::DispatchReply(const BYTE* frame, USHORT count) {
    if (count < kTypedFrame || frame[0] != 0x00)
        return;
    switch (frame[FRAME_TYPE_OFFSET]) {
    case REPLY_READY:
        // Only the answer to this session's own start command counts; a repeated one
        // changes nothing.
        if (m_Phase == SessionPhase::WaitingReady && !BeginFirmwareUpdate())
            StopUpdate();
        break;
    case FRAME_LINK:
        if (count >= kFrameWithSubCode)
            OnLinkReply(frame + FRAME_SUBCODE_OFFSET, count - FRAME_SUBCODE_OFFSET);
        break;
    case REPLY_ACK:
        if (count >= kFrameWithSubCode && frame[FRAME_SUBCODE_OFFSET] == ACK_UPDATE_DONE)
            OnAcknowledgement();
        break;
    default:
        break;
    }
}

bool CUpdateSession::KeepListening() {
    OnIdle(GetTickCount64());
    return !Done();
}

bool CUpdateSession::WaitingForReceiver() const {
    switch (m_Phase.load()) {
    case SessionPhase::WaitingReady:
    case SessionPhase::HeaderSent:
    case SessionPhase::Sending:
    case SessionPhase::DataDone:
        return true;
    default:
        return false;
    }
}

void CUpdateSession::OnIdle(ULONGLONG nowMs) {
    // Counted from the session's own last step (the start command, the header, a block):
    // reports that do not move the session on do not keep it waiting for ever.
    if (WaitingForReceiver() && nowMs - m_nWaitingSince >= m_nDeadlineMs)
        OnUpdateFailed(SessionOutcome::Deadline);
}

void CUpdateSession::OnLinkReply(const BYTE* body, USHORT size) {
    switch (body[0]) {
    case SUB_VERSION:
        ShowVersionReply(body, size, m_View);
        break;
    case SUB_DATA_REQUEST:
        OnDataRequest();
        break;
    case SUB_FAILURE_1:
    case SUB_FAILURE_2:
        if (!Done() && m_Phase != SessionPhase::Starting) {
            m_nFailureCode = body[0];
            OnUpdateFailed(SessionOutcome::FailureCode);
        }
        break;
    default:
        break;
    }
}

bool CUpdateSession::EndedWhileUserAnswered() {
    if (m_pStop && *m_pStop) {
        Abort(); // the window was closed: no answer of the user's counts
        return true;
    }
    if (m_pRemoved && *m_pRemoved) {
        OnReceiverRemoved(); // nothing is confirmed for a receiver that has gone
        return true;
    }
    return false;
}

int CUpdateSession::BeginFirmwareUpdate() {
    m_Phase = SessionPhase::Choosing;
    std::wstring path;
    const bool chosen = m_View.ChooseImage(&path) && !path.empty();
    if (EndedWhileUserAnswered())
        return 1;
    if (!chosen)
        return 0;
    m_FirmwarePath = path;

    // The image is read once, here: a file changed, moved or deleted later cannot change
    // what is sent. One that cannot be sent whole is refused before anything goes.
    m_Refusal = LoadFirmwareImage(m_FirmwarePath, &m_Image);
    if (m_Refusal != ImageCheck::Ok) {
        End(SessionOutcome::Refused);
        m_View.ShowPrompt(LoadLocalizedString(TXT_OPEN_FILE_ERROR), PROMPT_OK);
        return 0;
    }
    m_nTotalLength = m_Image.Header.DataLength;
    m_nSentLength = 0;
    m_nBlocks = 0;
    m_ConfirmationText = FormatConfirmationText(m_Image.Header.VersionWord);
    // Only OK confirms: a prompt that could not open, or was closed for the user, does not.
    const bool confirmed = m_View.ShowPrompt(m_ConfirmationText, PROMPT_OKCANCEL) == IDOK;
    if (EndedWhileUserAnswered())
        return 1;
    if (!confirmed)
        return 0;

    m_View.UpdateConfirmed();
    m_bUpdating = true;
    if (!SendHeaderFrame(m_Hid, m_Image.Header)) {
        WriteFailed();
        return 1;
    }
    m_bHeaderWritten = true;
    m_Hid.SetReadTimeout(10);
    m_nWaitingSince = GetTickCount64();
    m_Phase = SessionPhase::HeaderSent;
    return 1;
}

void CUpdateSession::OnDataRequest() {
    switch (m_Phase.load()) {
    case SessionPhase::HeaderSent:
    case SessionPhase::Sending:
        SendNextBlock();
        break;
    case SessionPhase::DataDone:
        FinishUpdate();
        break;
    default:
        break; // no data phase: nothing to answer
    }
}

void CUpdateSession::SendNextBlock() {
    // The image holds at least DataLength bytes, so the data runs out only after the
    // whole image has gone, and no block is ever empty.
    const std::size_t offset = static_cast<std::size_t>(m_nSentLength);
    const std::size_t n = std::min<std::size_t>(BLOCK_SIZE, m_Image.Data.size() - offset);
    if (!SendDataFrame(m_Hid, m_Image.Data.data() + offset, static_cast<std::uint32_t>(n))) {
        WriteFailed();
        return;
    }
    const bool first = m_Phase == SessionPhase::HeaderSent;
    m_nSentLength += n;
    ++m_nBlocks;
    m_nWaitingSince = GetTickCount64();
    m_Phase = SessionPhase::Sending;
    const bool whole = m_nSentLength >= m_nTotalLength;
    // The first block leaves the bar at 0, unless it is the whole image.
    if (!first || whole)
        m_View.SetProgress(static_cast<int>(std::min<std::uint64_t>(
            m_nSentLength * 100 / m_nTotalLength, static_cast<std::uint64_t>(INT_MAX))));
    if (whole) {
        m_Phase = SessionPhase::DataDone;
        m_View.EnableUpdateButton(false);
    }
}

void CUpdateSession::OnAcknowledgement() {
    if (m_Phase == SessionPhase::DataDone)
        FinishUpdate();
    else if (WaitingForReceiver())
        OnUpdateFailed(SessionOutcome::AckedEarly); // the image has not all gone
}

void CUpdateSession::FinishUpdate() {
    if (!SendLinkFrame(m_Hid, SUB_FINISH, nullptr, 0)) {
        WriteFailed();
        return;
    }
    End(SessionOutcome::Succeeded); // nothing is at stake any more, while the message shows
    m_View.ShowPrompt(LoadLocalizedString(TXT_UPDATE_SUCCEEDED), PROMPT_OK);
    m_View.SetProgress(0);
}

void CUpdateSession::StopUpdate() {
    End(SessionOutcome::Declined);
}

void CUpdateSession::OnUpdateFailed(SessionOutcome why) {
    if (!End(why))
        return;
    m_View.ShowPrompt(LoadLocalizedString(TXT_UPDATE_FAILED), PROMPT_OK);
    if (m_Hid.m_bFound)
        m_View.EnableUpdateButton(true);
}

void CUpdateSession::WriteFailed() {
    m_nWriteError = m_Hid.LastWriteError();
    OnUpdateFailed(m_Hid.DeviceGone() ? SessionOutcome::Removed : SessionOutcome::WriteFailed);
}

void CUpdateSession::OnReceiverRemoved() {
    OnUpdateFailed(SessionOutcome::Removed);
}

void CUpdateSession::Abort() {
    End(SessionOutcome::Aborted);
}

bool CUpdateSession::End(SessionOutcome outcome) {
    if (Done())
        return false;
    m_EndedIn = m_Phase;
    m_nEndedAt = GetTickCount64();
    m_Outcome = outcome;
    m_Phase = SessionPhase::Ended;
    if (m_bUpdating.exchange(false))
        m_View.UpdateEnded();
    return true;
}

int CUpdateSession::State() const {
    switch (m_Phase.load()) {
    case SessionPhase::HeaderSent:
        return STATE_HEADER_SENT;
    case SessionPhase::Sending:
        return STATE_SENDING;
    case SessionPhase::DataDone:
        return STATE_DATA_DONE;
    default:
        return 0;
    }
}
