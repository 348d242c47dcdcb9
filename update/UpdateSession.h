// One firmware update, from the Update button to its end.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "link/LinkWorkers.h"
#include "update/FirmwareImage.h"
#include "update/SessionView.h"

class CHid;

// The data phase's states, as the receiver's requests see them.
enum UpdateState {
    STATE_HEADER_SENT = 1, // header sent; the first data request brings the first block
    STATE_SENDING = 2,     // each data request is answered with the next block
    STATE_DATA_DONE = 4,   // the whole image has been sent; the next request finishes
};

// Where a session stands.
enum class SessionPhase {
    Starting,     // created; the start command not yet written
    WaitingReady, // the start command written; waiting for the receiver's ready reply
    Choosing,     // the user chooses and confirms an image
    HeaderSent,   // STATE_HEADER_SENT
    Sending,      // STATE_SENDING
    DataDone,     // STATE_DATA_DONE
    Ended,        // see the outcome
};

// How a session ended.
enum class SessionOutcome {
    Running,
    Succeeded,   // the whole image went, every write succeeded, SUB_FINISH was written
    Declined,    // the user closed the chooser or answered Cancel to the confirmation
    Refused,     // the chosen image cannot be sent whole (see RefusedBecause)
    FailureCode, // the receiver sent failure sub-code 0x15 or 0x18
    WriteFailed, // a write to the receiver failed or did not complete in time
    Removed,     // the receiver was removed
    Deadline,    // the receiver was silent for the reply deadline
    AckedEarly,  // the receiver acknowledged the end before the whole image had gone
    Aborted,     // the window was closed during the update
};

// CUpdateSession drives one update: it announces it, lets the user choose and confirm an
// image when the receiver is ready, reads the image once into memory, sends the header
// and answers each data request with the next 32-byte block, and ends with SUB_FINISH and
// the success message only once the whole image has been written with every write
// succeeding. Any failure ends it at once with the failure message; nothing later can
// turn it into a success. While it waits for the receiver, a reply deadline runs (the
// time the user spends in the chooser or a prompt does not count).
//
// The window creates one for each press of the Update button and runs it on the update
// worker (Run); it is destroyed once that worker has ended. Everything but the queries
// marked "any thread" runs on that worker. The session talks to the receiver through the
// link's senders and shows everything through its ISessionView.
class CUpdateSession final : public IReplySink {
public:
    static constexpr DWORD kReplyDeadlineMs = 15000;

    CUpdateSession(CHid& hid, ISessionView& view);
    CUpdateSession(const CUpdateSession&) = delete;
    CUpdateSession& operator=(const CUpdateSession&) = delete;

    // The whole session on the calling thread: Start, then the receive loop until the
    // session is over, the receiver has gone (a failure) or stop is set (an abort). Both
    // flags are also looked at when the user has chosen or confirmed an image: a window
    // closed meanwhile aborts the session, a receiver gone ends it as a removal.
    void Run(const std::atomic<bool>& stop, const std::atomic<bool>& removed);

    // Writes CMD_START_UPDATE. False when that failed, which ends the session as a
    // failure.
    bool Start();

    // IReplySink: every frame the update worker reads, and the deadline check after
    // every pass.
    void DispatchReply(const BYTE* frame, USHORT count) override;
    bool KeepListening() override;

    // Ends the session as a failure if it has waited for the receiver for the reply
    // deadline by nowMs (GetTickCount64's clock).
    void OnIdle(ULONGLONG nowMs);
    void OnLinkReply(const BYTE* body, USHORT size);
    // On the receiver's ready reply: chooser, image, confirmation, header. 1 when the
    // data phase has begun, or the session has ended otherwise (the header write failed,
    // the window closed or the receiver went meanwhile); 0 when the user declined or the
    // image was refused.
    int BeginFirmwareUpdate();
    void FinishUpdate();
    // Ends the session without a message (the user declined, or the image was refused).
    void StopUpdate();
    // Ends the session as a failure: the failure message, then the Update button back if
    // the receiver is still there.
    void OnUpdateFailed(SessionOutcome why);
    // The receiver has gone: a failure unless the session is over.
    void OnReceiverRemoved();
    // The window is closing: the session ends, and nothing more is sent.
    void Abort();

    void SetReplyDeadline(DWORD milliseconds) { m_nDeadlineMs = milliseconds; }
    DWORD ReplyDeadline() const { return m_nDeadlineMs; }

    // Any thread.
    bool Done() const { return m_Phase.load() == SessionPhase::Ended; }
    SessionPhase Phase() const { return m_Phase.load(); }
    SessionOutcome Outcome() const { return m_Outcome.load(); }
    // An image is being sent and closing the window would abandon it: from the user's
    // confirmation until the session ends (for a success, once the finish is written).
    bool Updating() const { return m_bUpdating.load(); }
    // The data phase's state (STATE_...), 0 outside it.
    int State() const;

    // On the worker, or once it has ended.
    const FirmwareImage& Image() const { return m_Image; }
    const std::wstring& FirmwarePath() const { return m_FirmwarePath; }
    std::uint64_t SentLength() const { return m_nSentLength; }
    std::uint32_t Blocks() const { return m_nBlocks; }
    std::uint8_t FailureCode() const { return m_nFailureCode; }
    DWORD WriteError() const { return m_nWriteError; }
    ImageCheck RefusedBecause() const { return m_Refusal; }
    // The confirmation text the user was shown; empty when no image was read.
    const std::wstring& ConfirmationText() const { return m_ConfirmationText; }
    bool HeaderWritten() const { return m_bHeaderWritten; }
    // Where the session stood when it ended, and when (GetTickCount64's clock).
    SessionPhase EndedIn() const { return m_EndedIn; }
    ULONGLONG EndedAt() const { return m_nEndedAt; }

private:
    void OnDataRequest();
    void SendNextBlock();
    void OnAcknowledgement();
    bool WaitingForReceiver() const;
    // True, having ended the session, when the window was closed or the receiver went
    // while the user chose or confirmed the image.
    bool EndedWhileUserAnswered();
    // Sets the outcome once: the first way a session ends is the one it keeps.
    bool End(SessionOutcome outcome);
    void WriteFailed();

    CHid& m_Hid;
    ISessionView& m_View;
    const std::atomic<bool>* m_pStop = nullptr;    // Run's, while it runs
    const std::atomic<bool>* m_pRemoved = nullptr; // Run's, while it runs
    std::atomic<SessionPhase> m_Phase{SessionPhase::Starting};
    std::atomic<SessionOutcome> m_Outcome{SessionOutcome::Running};
    std::atomic<bool> m_bUpdating{false};

    std::wstring m_FirmwarePath;
    FirmwareImage m_Image;
    std::uint64_t m_nTotalLength = 0; // DataLength
    std::uint64_t m_nSentLength = 0;  // data bytes written
    std::uint32_t m_nBlocks = 0;      // SUB_DATA frames written
    ULONGLONG m_nWaitingSince = 0;    // when the receiver was last asked for something
    DWORD m_nDeadlineMs = kReplyDeadlineMs;
    std::uint8_t m_nFailureCode = 0;
    DWORD m_nWriteError = ERROR_SUCCESS;
    ImageCheck m_Refusal = ImageCheck::Ok;
    std::wstring m_ConfirmationText;
    bool m_bHeaderWritten = false;
    SessionPhase m_EndedIn = SessionPhase::Starting;
    ULONGLONG m_nEndedAt = 0;
};

// The listen worker's reply sink: shows the receiver's version when it answers, which
// ends the listen loop. Every other frame is ignored: with no update running, a data
// request or an acknowledgement has nothing to answer.
class CVersionListener final : public IReplySink {
public:
    explicit CVersionListener(ISessionView& view) : m_View(view) {}
    // Listens afresh, for a receiver that has just been found.
    void Reset() { m_bHeard = false; }
    // The receiver has told its version since the last Reset (any thread).
    bool Heard() const { return m_bHeard.load(); }
    void DispatchReply(const BYTE* frame, USHORT count) override;
    bool KeepListening() override { return !Heard(); }

private:
    ISessionView& m_View;
    std::atomic<bool> m_bHeard{false};
};

// Shows the version of a SUB_VERSION reply (the body from its sub-code on). False, doing
// nothing, when the body is too short to hold one.
bool ShowVersionReply(const BYTE* body, USHORT size, ISessionView& view);
