#include "CampaignRun.h"

#include <algorithm>
#include <memory>
#include <cstdio>
#include <mutex>

#include "update/locale/Localization.h"
#include "link/LinkProtocol.h"
#include "res/resource.h"
#include "support/MainWindowHarness.h"
#include "support/ReceiverFrames.h"
#include "ui/UpdateDlg.h"

namespace {

using kxtest::Frame;

// What the window was asked to show, as the session asked for it.
struct Observations {
    std::mutex Lock;
    SimReceiver* Sim = nullptr;
    std::wstring ImagePath;
    bool RealChooser = false; // the platform's chooser opens; the run drives it
    int Choosers = 0;         // times it opened
    std::vector<int> Progress;
    struct Prompt {
        std::wstring Text;
        std::size_t ReportsBefore; // reports the receiver had taken when it was shown
    };
    std::vector<Prompt> Prompts;
};

// The real window, watched: every prompt and progress position the session gives it goes
// on to the real controls. The chooser is the user choosing the run's image at once, or,
// in runs that act while it is open, the platform's own.
class CCampaignDlg final : public CUpdateDlg {
public:
    CCampaignDlg(Observations& seen, CWorkerThread* workers) : m_Seen(seen) {
        if (workers)
            RunWorkersOn(*workers);
    }

    int ShowPrompt(std::wstring text, int style) override {
        {
            std::lock_guard<std::mutex> lock(m_Seen.Lock);
            m_Seen.Prompts.push_back({text, m_Seen.Sim->AcceptedReports().size()});
        }
        return CUpdateDlg::ShowPrompt(std::move(text), style);
    }
    bool ChooseImage(std::wstring* path) override {
        if (m_Seen.RealChooser) {
            {
                std::lock_guard<std::mutex> lock(m_Seen.Lock);
                ++m_Seen.Choosers;
            }
            return CUpdateDlg::ChooseImage(path);
        }
        *path = m_Seen.ImagePath;
        return true;
    }
    void SetProgress(int percent) override {
        {
            std::lock_guard<std::mutex> lock(m_Seen.Lock);
            m_Seen.Progress.push_back(percent);
        }
        CUpdateDlg::SetProgress(percent);
    }

private:
    Observations& m_Seen;
};

bool CarriesImage(const Frame& frame) {
    return frame.size() >= 5 && frame[1] == FRAME_LINK &&
           (frame[4] == SUB_DATA || frame[4] == SUB_HEADER || frame[4] == SUB_FINISH);
}

// Image frames the receiver took after the first `reports` reports.
int ImageFramesAfter(const SimReceiver& sim, std::size_t reports) {
    const auto all = kxtest::FramesInReports(sim.AcceptedReports());
    int n = 0;
    for (std::size_t i = reports; i < all.size(); ++i)
        n += CarriesImage(all[i]);
    return n;
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text)
        if (c != L'\n')
            out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

void ClosePlanned(HWND window, CloseWay way) {
    switch (way) {
    case CloseWay::Button:
        kxtest::ClickControl(window, IDC_BTN_CLOSE);
        break;
    case CloseWay::AltF4:
        kxtest::PressAltF4(window);
        break;
    case CloseWay::SystemMenu:
        PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
        break;
    }
}

const char* PhaseName(SessionPhase phase) {
    switch (phase) {
    case SessionPhase::Starting:
        return "Starting";
    case SessionPhase::WaitingReady:
        return "WaitingReady";
    case SessionPhase::Choosing:
        return "Choosing";
    case SessionPhase::HeaderSent:
        return "HeaderSent";
    case SessionPhase::Sending:
        return "Sending";
    case SessionPhase::DataDone:
        return "DataDone";
    case SessionPhase::Ended:
        return "Ended";
    }
    return "?";
}

const char* SessionOutcomeName(SessionOutcome outcome) {
    switch (outcome) {
    case SessionOutcome::Running:
        return "running";
    case SessionOutcome::Succeeded:
        return "succeeded";
    case SessionOutcome::Declined:
        return "declined";
    case SessionOutcome::Refused:
        return "refused";
    case SessionOutcome::FailureCode:
        return "failure code";
    case SessionOutcome::WriteFailed:
        return "write failed";
    case SessionOutcome::Removed:
        return "removed";
    case SessionOutcome::Deadline:
        return "deadline";
    case SessionOutcome::AckedEarly:
        return "acknowledged early";
    case SessionOutcome::Aborted:
        return "aborted";
    }
    return "?";
}

bool IsSendingPhase(SessionPhase phase) {
    return phase == SessionPhase::HeaderSent || phase == SessionPhase::Sending ||
           phase == SessionPhase::DataDone;
}

// Whether an image is being sent, as the user and the receiver can tell: from the user's
// confirmation until the finish command has been written. Unsure in the moments the
// campaign cannot tell from outside (confirmed, header not yet written; finish taken by
// the receiver, the write not yet returned).
enum class Sending { No, Yes, Unsure };

// Something that happens to the devices at a time after the Update button, or after the
// close.
struct DeviceEvent {
    enum Kind { AddOther, RemoveOther, Unplug, Plug, AddTwin, RemoveTwin } What;
    ULONGLONG AtMs;
    bool AfterClose;
    bool Done = false;
};

class CRun {
public:
    CRun(const FaultPlan& plan, const RunSettings& settings)
        : m_Plan(plan), m_Settings(settings),
          h([this] { return std::make_unique<CCampaignDlg>(m_Seen, m_Settings.WorkerThread); }) {}

    RunResult Run();

private:
    enum class CloseState { None, Pending, Committed, Cancelled };

    void Broke(const std::string& what) { m_Result.Broken.push_back(what); }
    void BrokeOnce(bool& said, const std::string& what) {
        if (!said)
            Broke(what);
        said = true;
    }
    const CUpdateSession* Session() const { return h.Dialog()->Session(); }
    std::string SessionState() const;
    Sending SendingNow() const;

    void ScheduleDeviceEvents();
    void FireDeviceEvents(ULONGLONG now, bool dueOnly);
    void UnplugReceiver(bool whileChoosing);
    void MinimiseOrRestore(ULONGLONG now, bool closing);
    void Restore();
    void Close(const char* moment, bool whileChoosing);
    void QueryLogOff(const char* when);
    bool HandleChooser(HWND chooser, ULONGLONG now);
    bool HandlePrompt(HWND prompt, ULONGLONG now);
    // Checks that the prompt lies on the screen, then answers it; waits for it to go
    // unless told not to.
    void Answer(HWND prompt, int button, const std::wstring& text, bool wait = true);
    bool CloseMomentCame(ULONGLONG now, bool sessionOver);
    bool Rescue();
    bool QuestionShown() const {
        HWND prompt = h.CurrentPrompt();
        return prompt && h.PromptText(prompt).find(m_Question) != std::wstring::npos;
    }
    void CheckLifecycle(bool closed, bool failureShown);

    const FaultPlan& m_Plan;
    const RunSettings& m_Settings;
    Observations m_Seen;
    kxtest::MainWindowHarness h;
    RunResult m_Result;
    HWND m_hWindow = nullptr;
    std::wstring m_Success, m_Failure, m_Question, m_Refusal;

    ULONGLONG m_nClicked = 0;
    std::vector<DeviceEvent> m_Events;
    int m_nDevicesAdded = 0;
    bool m_bTwin = false; // the second receiver is there

    // The close.
    CloseState m_Close = CloseState::None;
    ULONGLONG m_nCloseIssuedAt = 0;
    ULONGLONG m_nCloseCommittedAt = 0;
    std::string m_CloseMoment;
    bool m_bCloseWhileChoosing = false; // the chooser or the confirmation was open
    bool m_bCloseWhileDisabled = false; // a modal window held it when the close was made
    bool m_bCloseResent = false;        // the way was not taken: sent again as WM_CLOSE
    bool m_bFinishBeforeClose = false;
    std::size_t m_nPromptsAtClose = 0;
    bool m_bSlowCloseSaid = false;

    // The user's way through the update.
    bool m_bConfirmed = false;
    bool m_bUserAborted = false;
    ULONGLONG m_nEndAnsweredAt = 0; // the success, failure or refusal message answered
    HWND m_hChooser = nullptr;
    ULONGLONG m_nChooserSeenAt = 0;
    bool m_bChooserDriven = false;
    HWND m_hConfirmation = nullptr;
    ULONGLONG m_nConfirmationSeenAt = 0;

    // The receiver leaving (ReceiverComesAndGoes).
    bool m_bLeft = false;
    ULONGLONG m_nUnplugInChoosingAt = 0;
    bool m_bStayedOpenSaid = false;

    // Minimised, log-off queries, prompts on screen.
    ULONGLONG m_nMinimisedAt = 0;
    bool m_bRestored = false;
    bool m_bTimedQueryDone = false, m_bEndQueryDone = false;
    bool m_bOffScreenSaid = false;
};

std::string CRun::SessionState() const {
    const CUpdateSession* session = Session();
    if (!session)
        return "no session";
    char text[96];
    snprintf(text, sizeof(text), "phase %s, outcome %s", PhaseName(session->Phase()),
             SessionOutcomeName(session->Outcome()));
    return text;
}

Sending CRun::SendingNow() const {
    const CUpdateSession* session = Session();
    if (!session)
        return Sending::No;
    const SessionPhase phase = session->Phase();
    if (IsSendingPhase(phase))
        return h.LinkFramesWritten(SUB_FINISH) > 0 ? Sending::Unsure : Sending::Yes;
    if (phase == SessionPhase::Choosing)
        return m_bConfirmed ? Sending::Unsure : Sending::No;
    return Sending::No;
}

void CRun::ScheduleDeviceEvents() {
    CampaignRandom events(m_Plan.Seed ^ 0xDE71CE5ull);
    if (m_Plan.Has(FaultKind::OtherDevices)) {
        const bool afterClose = m_Plan.DevicesAfterClose && m_Plan.Closes();
        for (int i = 0; i < m_Plan.OtherDeviceEvents; ++i) {
            const ULONGLONG at = events.Between(0, 200 + m_Plan.Blocks());
            m_Events.push_back({i % 2 ? DeviceEvent::RemoveOther : DeviceEvent::AddOther,
                                afterClose ? at % 101 : at, afterClose});
        }
    }
    if (m_Plan.Has(FaultKind::SecondReceiver)) {
        m_Events.push_back({DeviceEvent::AddTwin, m_Plan.TwinArriveMs, false});
        m_Events.push_back({DeviceEvent::RemoveTwin, m_Plan.TwinArriveMs + m_Plan.TwinStaysMs, false});
    }
    if (m_Plan.Has(FaultKind::ReceiverComesAndGoes)) {
        // In the chooser or the confirmation the departure comes with that moment.
        if (m_Plan.Leave == LeaveMoment::AfterClose && m_Plan.Closes())
            m_Events.push_back({DeviceEvent::Unplug, m_Plan.TeardownMs, true});
        else if (m_Plan.Leave == LeaveMoment::AtTime || m_Plan.Leave == LeaveMoment::AfterClose)
            m_Events.push_back({DeviceEvent::Unplug, m_Plan.LeaveAfterMs, false});
    }
    // Adding and removing keep their order: sorted by time within each kind of moment.
    std::stable_sort(m_Events.begin(), m_Events.end(),
                     [](const DeviceEvent& a, const DeviceEvent& b) { return a.AtMs < b.AtMs; });
    int added = 0;
    for (DeviceEvent& event : m_Events)
        if (event.What == DeviceEvent::AddOther || event.What == DeviceEvent::RemoveOther)
            event.What = added++ % 2 ? DeviceEvent::RemoveOther : DeviceEvent::AddOther;
}

void CRun::UnplugReceiver(bool whileChoosing) {
    m_bLeft = true;
    if (!h.sim.Present())
        return; // already away (it left on its own, or reboots)
    const ULONGLONG now = GetTickCount64();
    if (whileChoosing)
        m_nUnplugInChoosingAt = now;
    h.sim.Unplug();
    if (m_Plan.BackAfterMs >= 0)
        m_Events.push_back({DeviceEvent::Plug, now - m_nClicked + m_Plan.BackAfterMs, false});
}

// Fires the device events that are due. With dueOnly false, also every one still to come
// that must not be left out: the receiver coming back, and what follows a close.
void CRun::FireDeviceEvents(ULONGLONG now, bool dueOnly) {
    for (std::size_t i = 0; i < m_Events.size(); ++i) {
        DeviceEvent& event = m_Events[i];
        if (event.Done)
            continue;
        if (event.AfterClose && !m_nCloseIssuedAt)
            continue;
        const ULONGLONG at = (event.AfterClose ? m_nCloseIssuedAt : m_nClicked) + event.AtMs;
        if (now < at) {
            if (dueOnly)
                continue;
            const bool needed = event.What == DeviceEvent::Plug || event.AfterClose;
            if (!needed) {
                event.Done = true; // the run is over before it came
                continue;
            }
            Sleep(static_cast<DWORD>(at - now));
            now = at;
        }
        // The receiver leaves only from an update on: before, the Update button would
        // simply find no receiver.
        if (event.What == DeviceEvent::Unplug && !event.AfterClose && !Session())
            continue;
        event.Done = true;
        switch (event.What) {
        case DeviceEvent::AddOther: {
            SimOtherDevice other;
            other.ProductID = static_cast<std::uint16_t>(0xC000 + m_nDevicesAdded++);
            h.sim.AddOtherDevice(other);
            break;
        }
        case DeviceEvent::RemoveOther:
            h.sim.RemoveOtherDevice();
            break;
        case DeviceEvent::AddTwin: {
            // Listed before the receiver: a search finds it first.
            SimOtherDevice twin;
            twin.VendorID = KESTRIX_VENDOR_ID;
            twin.ProductID = KESTRIX_PRODUCT_ID;
            twin.ReportLength = REPORT_LENGTH_MODE1;
            h.sim.AddOtherDevice(twin);
            m_bTwin = true;
            break;
        }
        case DeviceEvent::RemoveTwin:
            h.sim.RemoveOtherDevice();
            m_bTwin = false;
            break;
        case DeviceEvent::Unplug:
            UnplugReceiver(false);
            break;
        case DeviceEvent::Plug:
            if (!h.sim.Present())
                h.sim.Plug(1);
            break;
        }
    }
}

void CRun::Restore() {
    // As the taskbar would; a window disabled under a modal one takes no system command,
    // and is shown again as "show all windows" would.
    if (IsWindowEnabled(m_hWindow))
        PostMessageW(m_hWindow, WM_SYSCOMMAND, SC_RESTORE, 0);
    else
        ShowWindowAsync(m_hWindow, SW_RESTORE);
    if (!kxtest::WaitFor([&] { return !IsIconic(m_hWindow); }, 1000)) {
        ShowWindowAsync(m_hWindow, SW_RESTORE);
        kxtest::WaitFor([&] { return !IsIconic(m_hWindow); }, 1000);
    }
    m_bRestored = true;
}

// Minimises the window at its time (not while it closes), and restores it at its time.
void CRun::MinimiseOrRestore(ULONGLONG now, bool closing) {
    if (!m_Plan.Has(FaultKind::Minimised))
        return;
    if (!m_nMinimisedAt && !closing && now - m_nClicked >= m_Plan.MinimiseAfterMs) {
        m_nMinimisedAt = now;
        if (!IsWindowEnabled(m_hWindow))
            ShowWindowAsync(m_hWindow, SW_MINIMIZE); // "minimise all windows"
        else if (m_Plan.MinimiseByButton)
            kxtest::ClickControl(m_hWindow, IDC_BTN_MINIMIZE);
        else
            PostMessageW(m_hWindow, WM_SYSCOMMAND, SC_MINIMIZE, 0);
    } else if (m_nMinimisedAt && !m_bRestored && now - m_nMinimisedAt >= m_Plan.MinimisedForMs) {
        Restore();
    }
}

void CRun::Close(const char* moment, bool whileChoosing) {
    // A minimised window's own button and keys are out of reach: it is shown first. The
    // system menu is there on the taskbar.
    if (m_Plan.Close != CloseWay::SystemMenu && IsIconic(m_hWindow))
        Restore();
    m_CloseMoment = moment;
    m_bCloseWhileChoosing = whileChoosing;
    m_bFinishBeforeClose = h.LinkFramesWritten(SUB_FINISH) > 0;
    {
        std::lock_guard<std::mutex> lock(m_Seen.Lock);
        m_nPromptsAtClose = m_Seen.Prompts.size();
    }
    m_nCloseIssuedAt = GetTickCount64();
    m_Close = CloseState::Pending;
    m_bCloseWhileDisabled = !IsWindowEnabled(m_hWindow);
    ClosePlanned(m_hWindow, m_Plan.Close);
}

// The system asks whether it may end the session; the answer must say whether an image
// is being sent. A refusal is followed by the news that the log-off was cancelled.
void CRun::QueryLogOff(const char* when) {
    if (h.WaitClosed(0))
        return;
    const Sending before = SendingNow();
    const std::string stateBefore = SessionState();
    DWORD_PTR answer = TRUE;
    const bool answered = SendMessageTimeoutW(m_hWindow, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF,
                                              SMTO_ABORTIFHUNG, 2000, &answer) != 0;
    const Sending after = SendingNow();
    if (!answered) {
        if (!h.WaitClosed(0))
            Broke(std::string("no answer within 2 s to a log-off query ") + when + " (" +
                  stateBefore + ")");
        return;
    }
    if (before == after && before != Sending::Unsure) {
        const bool allowExpected = before == Sending::No;
        if ((answer != FALSE) != allowExpected)
            Broke(std::string("a log-off query ") + when + " was " +
                  (answer ? "allowed while an image was being sent" : "refused with no image being sent") +
                  " (" + stateBefore + ")");
    }
    if (!answer) {
        DWORD_PTR ignored = 0;
        SendMessageTimeoutW(m_hWindow, WM_ENDSESSION, FALSE, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG,
                            2000, &ignored);
    }
}

void CRun::Answer(HWND prompt, int button, const std::wstring& text, bool wait) {
    if (IsIconic(m_hWindow))
        Restore();
    // Wholly on the screen, once the window shows: given a moment to come back with it.
    RECT rc{}, work{};
    const bool onScreen = kxtest::WaitFor(
        [&] {
            GetWindowRect(prompt, &rc);
            MONITORINFO info{};
            info.cbSize = sizeof(info);
            GetMonitorInfoW(MonitorFromWindow(m_hWindow, MONITOR_DEFAULTTOPRIMARY), &info);
            work = info.rcWork;
            return !IsWindow(prompt) || (rc.left >= work.left && rc.top >= work.top &&
                                         rc.right <= work.right && rc.bottom <= work.bottom);
        },
        1000);
    if (!onScreen) {
        char what[300];
        snprintf(what, sizeof(what),
                 "the prompt \"%s\" lies at (%ld,%ld)-(%ld,%ld), off the work area "
                 "(%ld,%ld)-(%ld,%ld)%s",
                 Narrow(text).c_str(), rc.left, rc.top, rc.right, rc.bottom, work.left, work.top,
                 work.right, work.bottom, m_nMinimisedAt ? ", the window minimised and restored" : "");
        BrokeOnce(m_bOffScreenSaid, what);
    }
    kxtest::ClickControl(prompt, button);
    if (wait)
        kxtest::WaitFor([&] { return !IsWindow(prompt); }, 2000);
}

// The platform's chooser is open. True when it has been dealt with for now.
bool CRun::HandleChooser(HWND chooser, ULONGLONG now) {
    if (chooser != m_hChooser) {
        m_hChooser = chooser;
        m_nChooserSeenAt = now;
        m_bChooserDriven = false;
    }
    if (m_Close == CloseState::Pending || m_Close == CloseState::Committed)
        return true; // the window is going: the chooser is for it to take away
    if (m_Plan.Has(FaultKind::CloseInChooser) && m_Close == CloseState::None) {
        if (now - m_nChooserSeenAt >= m_Plan.CloseDelayMs())
            Close("while the chooser is open", true);
        return true;
    }
    if (m_Plan.Has(FaultKind::ReceiverComesAndGoes) && m_Plan.Leave == LeaveMoment::InChooser &&
        !m_bLeft) {
        if (now - m_nChooserSeenAt >= m_Plan.MomentDelayMs)
            UnplugReceiver(true);
        return true;
    }
    if (m_nUnplugInChoosingAt && !m_bStayedOpenSaid) {
        if (now - m_nUnplugInChoosingAt < 2000)
            return true; // the update is over: the chooser is for the window to take away
        BrokeOnce(m_bStayedOpenSaid, "the chooser stayed open 2 s after the receiver left");
    }
    if (!m_bChooserDriven) {
        m_bChooserDriven = true;
        kxtest::MainWindowHarness::ChooseFile(chooser, m_Seen.ImagePath);
    }
    return true;
}

// A prompt is showing. True when it has been dealt with for now.
bool CRun::HandlePrompt(HWND prompt, ULONGLONG now) {
    const std::wstring text = h.PromptText(prompt);
    const bool closing = m_Close == CloseState::Pending || m_Close == CloseState::Committed;
    if (text.find(m_Question) != std::wstring::npos) {
        const bool ok = m_Plan.CloseAnswerOk;
        Answer(prompt, ok ? IDC_BTN_OK : IDC_BTN_CANCEL, text);
        if (ok) {
            m_bUserAborted = true;
            m_Close = CloseState::Committed;
            m_nCloseCommittedAt = GetTickCount64();
        } else {
            m_Close = CloseState::Cancelled; // the window stays, and so does the update
        }
        return true;
    }
    if (closing)
        return true; // the window is going: its prompts are for it to take away
    if (text.compare(0, 23, L"Update firmware version") == 0) {
        if (prompt != m_hConfirmation) {
            m_hConfirmation = prompt;
            m_nConfirmationSeenAt = now;
        }
        if (m_Plan.Has(FaultKind::CloseInConfirmation) && m_Close == CloseState::None) {
            if (now - m_nConfirmationSeenAt >= m_Plan.CloseDelayMs())
                Close("while the confirmation is open", true);
            return true;
        }
        if (m_Plan.Has(FaultKind::ReceiverComesAndGoes) &&
            m_Plan.Leave == LeaveMoment::InConfirmation && !m_bLeft) {
            if (now - m_nConfirmationSeenAt >= m_Plan.MomentDelayMs)
                UnplugReceiver(true);
            return true;
        }
        if (m_nUnplugInChoosingAt && !m_bStayedOpenSaid) {
            if (now - m_nUnplugInChoosingAt < 2000)
                return true; // the update is over: the confirmation is for the window to take away
            BrokeOnce(m_bStayedOpenSaid, "the confirmation stayed open 2 s after the receiver left");
        }
        if (m_Plan.Has(FaultKind::FileChanges)) {
            if (m_Plan.FileDeleted)
                DeleteFileW(m_Seen.ImagePath.c_str());
            else
                kxtest::WriteImage(m_Seen.ImagePath, 0x00000099, m_Plan.DataLength,
                                   m_Plan.FileData, 12345);
        }
        m_bConfirmed = true;
        Answer(prompt, IDC_BTN_OK, text);
        return true;
    }
    if (text == m_Refusal)
        Broke("the confirmed image was refused");
    const bool end = text == m_Success || text == m_Failure || text == m_Refusal;
    if (end && m_Plan.Has(FaultKind::LogOffQuery) && !m_bEndQueryDone) {
        m_bEndQueryDone = true;
        QueryLogOff("while the end message shows");
    }
    if (end && m_Plan.Has(FaultKind::CloseAfterEnd) && m_Close == CloseState::None &&
        m_Plan.CloseDelayMs() == 0) {
        // Closed as the answer is being taken, the message not yet gone.
        Answer(prompt, IDC_BTN_OK, text, false);
        m_nEndAnsweredAt = GetTickCount64();
        Close("as the end message is answered", false);
        return true;
    }
    Answer(prompt, IDC_BTN_OK, text);
    if (end)
        m_nEndAnsweredAt = GetTickCount64();
    return true;
}

// Whether the run's close comes now; sessionOver: the update has ended and its worker too.
bool CRun::CloseMomentCame(ULONGLONG now, bool sessionOver) {
    if (m_Close != CloseState::None || !m_Plan.Closes())
        return false;
    // Not while a prompt or the chooser holds the window: the user answers that first.
    const bool enabled = IsWindowEnabled(m_hWindow);
    if (m_Plan.Has(FaultKind::UserCloses))
        return now - m_nClicked >= m_Plan.CloseAfterMs && enabled && !sessionOver;
    if (m_Plan.Has(FaultKind::CloseAfterEnd) || m_Plan.Has(FaultKind::CloseWhileRebooting)) {
        if (m_nEndAnsweredAt)
            return now - m_nEndAnsweredAt >= m_Plan.CloseDelayMs() && enabled;
    }
    // A moment that never came (the update ended before it): the close comes at the end.
    return sessionOver && enabled;
}

// The window did not go after a close: the user answers whatever it shows, to see whether
// it goes then. False when it does not.
bool CRun::Rescue() {
    return kxtest::WaitFor(
        [&] {
            if (HWND prompt = h.CurrentPrompt())
                kxtest::ClickControl(prompt, IDC_BTN_OK);
            if (HWND chooser = h.WaitForChooser(0))
                kxtest::MainWindowHarness::CancelChooser(chooser);
            return h.WaitClosed(0);
        },
        5000);
}

RunResult CRun::Run() {
    const ULONGLONG started = GetTickCount64();
    m_Success = LoadLocalizedString(TXT_UPDATE_SUCCEEDED);
    m_Failure = LoadLocalizedString(TXT_UPDATE_FAILED);
    m_Question = LoadLocalizedString(TXT_ABORT_QUESTION);
    m_Refusal = LoadLocalizedString(TXT_OPEN_FILE_ERROR);

    // The image, and what the receiver must hold after a success: the header, then
    // DataLength rounded up to whole blocks as far as the file goes.
    m_Seen.ImagePath = kxtest::TempPath(L"campaign.dat");
    m_Seen.RealChooser = m_Plan.RealChooser;
    const auto file =
        kxtest::WriteImage(m_Seen.ImagePath, 0x00000088, m_Plan.DataLength, m_Plan.FileData,
                           static_cast<std::uint32_t>(m_Plan.Seed));
    const std::size_t used = std::min<std::size_t>(m_Plan.FileData, m_Plan.Blocks() * 32u);
    const Frame confirmed(file.begin(), file.begin() + 28 + static_cast<std::ptrdiff_t>(used));

    m_Seen.Sim = &h.sim;
    h.sim.Plug(1);
    m_hWindow = h.Start();
    if (!m_hWindow) {
        Broke("the window did not start");
        return m_Result;
    }
    // At rest first: the version shown and the listen worker done.
    kxtest::WaitFor([&] { return !h.Dialog()->IsWorkerRunning() && !h.VersionText().empty(); },
                    5000);
    h.Dialog()->SetReplyDeadline(m_Settings.ReplyDeadlineMs);
    m_Plan.Apply(h.sim);
    if (m_Plan.Has(FaultKind::Silence) && m_Plan.AtBlock == 1)
        h.sim.SetSilent(true);
    ScheduleDeviceEvents();

    const ULONGLONG boundMs = 45000 + 3ull * m_Settings.ReplyDeadlineMs + 3ull * m_Plan.Blocks();
    m_nClicked = GetTickCount64();
    kxtest::ClickControl(m_hWindow, IDC_BTN_UPDATE);

    bool closed = false;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (now - started > boundMs) {
            m_Result.Outcome = RunOutcome::Hang;
            m_Result.Seconds = static_cast<double>(now - started) / 1000.0;
            char what[300];
            DWORD_PTR answer = 0;
            snprintf(what, sizeof(what),
                     "no end within %llu ms: %s, %s worker %s, prompt %s, chooser %s, window %s",
                     boundMs, SessionState().c_str(),
                     h.Dialog()->IsUpdateRunning() ? "update" : "listen",
                     h.Dialog()->IsWorkerRunning() ? "running" : "ended",
                     h.CurrentPrompt() ? Narrow(h.PromptText(h.CurrentPrompt())).c_str() : "none",
                     h.WaitForChooser(0) ? "open" : "none",
                     SendMessageTimeoutW(m_hWindow, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, &answer)
                         ? "answers"
                         : "does not answer");
            Broke(what);
            return m_Result; // the caller reports and ends: nothing here can be trusted now
        }
        if (h.WaitClosed(0)) {
            closed = true;
            break;
        }
        // A close not cancelled ends the window's run within 10 s.
        if (m_Close == CloseState::Pending && now - m_nCloseIssuedAt >= 1000 && !QuestionShown()) {
            if (m_bCloseWhileDisabled && m_Plan.Close != CloseWay::Button && !m_bCloseResent) {
                // The system takes no system command, and so no Alt+F4 either, to a window
                // disabled under a modal one: the close is sent as the taskbar and the task
                // manager send it.
                m_bCloseResent = true;
                m_CloseMoment += " (not taken: sent again as WM_CLOSE)";
                m_nCloseIssuedAt = now;
                PostMessageW(m_hWindow, WM_CLOSE, 0, 0);
                continue;
            }
            m_Close = CloseState::Committed; // no question came: the close goes on
            m_nCloseCommittedAt = m_nCloseIssuedAt;
        }
        if (m_Close == CloseState::Committed && now - m_nCloseCommittedAt > 10000 &&
            !m_bSlowCloseSaid) {
            HWND prompt = h.CurrentPrompt();
            char what[300];
            snprintf(what, sizeof(what),
                     "the window's run did not end within 10 s of the close %s (%s, worker %s, "
                     "prompt %s, chooser %s)",
                     m_CloseMoment.c_str(), SessionState().c_str(),
                     h.Dialog()->IsWorkerRunning() ? "running" : "ended",
                     prompt ? Narrow(h.PromptText(prompt)).c_str() : "none",
                     h.WaitForChooser(0) ? "open" : "none");
            BrokeOnce(m_bSlowCloseSaid, what);
            if (!Rescue()) {
                m_Result.Outcome = RunOutcome::Hang;
                Broke("nor when its prompts and chooser were answered");
                return m_Result;
            }
            continue;
        }
        FireDeviceEvents(now, true);
        const bool closing = m_Close == CloseState::Pending || m_Close == CloseState::Committed;
        MinimiseOrRestore(now, closing);
        if (!closing && m_Plan.Has(FaultKind::LogOffQuery) && !m_bTimedQueryDone &&
            now - m_nClicked >= m_Plan.LogOffAfterMs) {
            m_bTimedQueryDone = true;
            QueryLogOff("at a random moment");
            continue;
        }
        if (!IsIconic(m_hWindow)) {
            if (HWND prompt = h.CurrentPrompt()) {
                if (HandlePrompt(prompt, now)) {
                    Sleep(2);
                    continue;
                }
            } else if (HWND chooser = h.WaitForChooser(0)) {
                HandleChooser(chooser, now);
                Sleep(2);
                continue;
            }
        }
        const CUpdateSession* session = Session();
        // A listen worker may go on asking a receiver that never answers for its version:
        // that is no part of the update.
        const bool sessionOver = session && session->Done() && !h.Dialog()->IsUpdateRunning();
        if (CloseMomentCame(now, sessionOver)) {
            const bool afterEnd = m_nEndAnsweredAt != 0;
            Close(m_Plan.Has(FaultKind::UserCloses) ? "at a random moment"
                  : !afterEnd                       ? "at the end"
                  : m_Plan.Has(FaultKind::CloseWhileRebooting)
                      ? (h.sim.Present() ? "after the end message, the receiver back"
                                         : "after the end message, the receiver rebooting")
                      : "right after the end message",
                  false);
            continue;
        }
        if (sessionOver && !closing) {
            if (m_nMinimisedAt && !m_bRestored)
                Restore();
            break;
        }
        Sleep(2);
    }
    // What follows a close still comes, as does a receiver on its way back.
    FireDeviceEvents(GetTickCount64(), false);

    // What the session showed, as it asked the window to (a message the closing window
    // took away again counts too).
    bool successShown = false, failureShown = false, questionAfterClose = false;
    std::size_t reportsAtFailure = 0;
    {
        std::lock_guard<std::mutex> lock(m_Seen.Lock);
        for (std::size_t i = 0; i < m_Seen.Prompts.size(); ++i) {
            const Observations::Prompt& prompt = m_Seen.Prompts[i];
            successShown |= prompt.Text == m_Success;
            if (prompt.Text == m_Failure && !failureShown) {
                failureShown = true;
                reportsAtFailure = prompt.ReportsBefore;
            }
            questionAfterClose |= m_nCloseIssuedAt && i >= m_nPromptsAtClose &&
                                  prompt.Text.find(m_Question) != std::wstring::npos;
        }
    }
    if (closed && !successShown && !failureShown)
        m_bUserAborted = true;

    // The receiver's state once everything has settled: after a success it reboots with
    // the image and is asked for its version again.
    if (!closed) {
        kxtest::WaitFor(
            [&] {
                return !h.Dialog()->IsUpdateRunning() && h.sim.Idle() && !h.CurrentPrompt() &&
                       (!successShown || h.VersionText() == L"V1.36");
            },
            5000);
    } else {
        kxtest::WaitFor([&] { return h.sim.Idle(); }, 2000);
    }
    const SimUpdateResult received = h.sim.LastUpdate();
    const bool holds = received.Finished && h.sim.ReceivedImage() == confirmed;

    m_Result.Outcome = successShown   ? RunOutcome::Success
                       : failureShown ? RunOutcome::Failure
                       : m_bUserAborted ? RunOutcome::Abort
                                        : RunOutcome::Hang;
    if (successShown && failureShown)
        Broke("both the success and the failure message");
    if (!successShown && !failureShown && !m_bUserAborted)
        Broke("the session ended with no message");
    if (successShown && !holds)
        Broke("success shown, but the receiver does not hold the confirmed image");
    if (!successShown && holds && !m_bUserAborted)
        Broke("the receiver holds the confirmed image, but no success was shown");
    if (failureShown && ImageFramesAfter(h.sim, reportsAtFailure) > 0)
        Broke("image frames reached the receiver after the failure message");
    {
        std::lock_guard<std::mutex> lock(m_Seen.Lock);
        std::vector<int> progress = m_Seen.Progress;
        if (successShown && !progress.empty() && progress.back() == 0)
            progress.pop_back(); // reset once the success message has been dismissed
        if (!std::is_sorted(progress.begin(), progress.end()))
            Broke("progress went backwards");
    }
    // Closing once the finish has gone abandons nothing: nothing is asked.
    if (questionAfterClose && m_bFinishBeforeClose)
        Broke(std::string("the close ") + m_CloseMoment +
              " asked whether to abort, after the finish had been written");
    CheckLifecycle(closed, failureShown);

    if (!closed) {
        if (m_Plan.Has(FaultKind::LogOffQuery))
            QueryLogOff("after the update");
        DWORD_PTR answer = 0;
        if (!SendMessageTimeoutW(m_hWindow, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 2000, &answer))
            Broke("the window no longer answers");
        const bool enabledExpected = [&] {
            bool expected = false;
            kxtest::WaitFor(
                [&] {
                    expected = (h.sim.Present() || m_bTwin) && !h.Dialog()->IsUpdateRunning();
                    return h.UpdateButtonEnabled() == expected;
                },
                3000);
            return expected;
        }();
        if (h.UpdateButtonEnabled() != enabledExpected)
            Broke(enabledExpected ? "the Update button stayed disabled with the receiver there"
                                  : "the Update button is enabled with no receiver or an update");
        PostMessageW(m_hWindow, WM_SYSCOMMAND, SC_CLOSE, 0);
        if (!h.WaitClosed(10000)) {
            Broke("the window's run did not end within 10 s of the close after the run");
            m_Result.Outcome = RunOutcome::Hang; // its thread cannot be waited for
        }
    } else {
        // Nothing outlives the window: no worker goes on writing.
        const std::size_t reports = h.sim.AcceptedReports().size();
        Sleep(300);
        if (ImageFramesAfter(h.sim, reports) > 0)
            Broke("image frames reached the receiver after the window closed");
    }
    m_Result.Seconds = static_cast<double>(GetTickCount64() - started) / 1000.0;
    {
        std::lock_guard<std::mutex> lock(m_Seen.Lock);
        m_Result.Prompts = static_cast<int>(m_Seen.Prompts.size());
        m_Result.Choosers = m_Seen.Choosers;
    }
    if (m_Settings.Verbose)
        printf("    %s in %.2f s\n", OutcomeName(m_Result.Outcome), m_Result.Seconds);
    return m_Result;
}

// How the session ended, against the window's life: a close while the chooser or the
// confirmation is open aborts it; the receiver leaving then ends it as removed, with the
// failure message; a close during the transfer is asked about first.
void CRun::CheckLifecycle(bool closed, bool failureShown) {
    const CUpdateSession* session = Session();
    if (!session)
        return;
    if (closed && !session->Done()) {
        Broke("the session had not ended when the window's run ended (" + SessionState() + ")");
        return;
    }
    const SessionOutcome outcome = session->Outcome();
    const ULONGLONG endedAt = session->EndedAt();
    const bool unplugFirst = m_nUnplugInChoosingAt &&
                             (!m_bCloseWhileChoosing || m_nUnplugInChoosingAt < m_nCloseIssuedAt);
    const bool closeFirst = m_bCloseWhileChoosing && !unplugFirst;
    // Whichever came first decides; the other may have overtaken it before the session
    // ended.
    if (closeFirst) {
        const bool removedToo = m_nUnplugInChoosingAt && m_nUnplugInChoosingAt <= endedAt;
        if (outcome != SessionOutcome::Aborted &&
            !(removedToo && outcome == SessionOutcome::Removed))
            Broke(std::string("the close ") + m_CloseMoment + " ended the session as " +
                  SessionOutcomeName(outcome) + ", not aborted");
    }
    if (unplugFirst) {
        const bool closedToo = m_nCloseIssuedAt && m_nCloseIssuedAt <= endedAt;
        if (outcome != SessionOutcome::Removed &&
            !(closedToo && outcome == SessionOutcome::Aborted))
            Broke(std::string("the receiver leaving while the ") +
                  (m_Plan.Leave == LeaveMoment::InChooser ? "chooser" : "confirmation") +
                  " was open ended the session as " + SessionOutcomeName(outcome) +
                  ", not removed");
        else if (outcome == SessionOutcome::Removed && !closedToo && !failureShown)
            Broke("the receiver leaving in the chooser or the confirmation showed no failure message");
    }
    if (outcome == SessionOutcome::Aborted && IsSendingPhase(session->EndedIn())) {
        bool asked = false;
        std::lock_guard<std::mutex> lock(m_Seen.Lock);
        for (const Observations::Prompt& prompt : m_Seen.Prompts)
            asked |= prompt.Text.find(m_Question) != std::wstring::npos;
        if (!asked)
            Broke(std::string("the window closed during the transfer (") +
                  PhaseName(session->EndedIn()) + ") without asking");
    }
}

} // namespace

const char* OutcomeName(RunOutcome outcome) {
    switch (outcome) {
    case RunOutcome::Success:
        return "byte-exact success";
    case RunOutcome::Failure:
        return "failure message";
    case RunOutcome::Abort:
        return "user abort";
    case RunOutcome::Hang:
        return "hang";
    }
    return "?";
}

RunResult RunOnce(const FaultPlan& plan, const RunSettings& settings) {
    auto run = std::make_unique<CRun>(plan, settings);
    RunResult result = run->Run();
    // A hung window's thread may never end: its run is left as it is, and the caller
    // reports and ends the process.
    if (result.Outcome == RunOutcome::Hang)
        run.release();
    return result;
}
