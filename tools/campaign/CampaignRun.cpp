#include "CampaignRun.h"

#include <algorithm>
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
    std::vector<int> Progress;
    struct Prompt {
        std::wstring Text;
        std::size_t ReportsBefore; // reports the receiver had taken when it was shown
    };
    std::vector<Prompt> Prompts;
};

// The real window, watched: every prompt and progress position the session gives it goes
// on to the real controls. The chooser is the user choosing the run's image at once.
class CCampaignDlg final : public CUpdateDlg {
public:
    explicit CCampaignDlg(Observations& seen) : m_Seen(seen) {}

    int ShowPrompt(std::wstring text, int style) override {
        {
            std::lock_guard<std::mutex> lock(m_Seen.Lock);
            m_Seen.Prompts.push_back({text, m_Seen.Sim->AcceptedReports().size()});
        }
        return CUpdateDlg::ShowPrompt(std::move(text), style);
    }
    bool ChooseImage(std::wstring* path) override {
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
    RunResult result;
    const ULONGLONG started = GetTickCount64();
    auto broke = [&](const std::string& what) { result.Broken.push_back(what); };

    const std::wstring success = LoadLocalizedString(TXT_UPDATE_SUCCEEDED);
    const std::wstring failure = LoadLocalizedString(TXT_UPDATE_FAILED);
    const std::wstring question = LoadLocalizedString(TXT_ABORT_QUESTION);
    const std::wstring refusal = LoadLocalizedString(TXT_OPEN_FILE_ERROR);

    // The image, and what the receiver must hold after a success: the header, then
    // DataLength rounded up to whole blocks as far as the file goes.
    Observations seen;
    seen.ImagePath = kxtest::TempPath(L"campaign.dat");
    const auto file = kxtest::WriteImage(seen.ImagePath, 0x00000088, plan.DataLength, plan.FileData,
                                         static_cast<std::uint32_t>(plan.Seed));
    const std::size_t used = std::min<std::size_t>(plan.FileData, plan.Blocks() * 32u);
    const Frame confirmed(file.begin(), file.begin() + 28 + static_cast<std::ptrdiff_t>(used));

    kxtest::MainWindowHarness h([&seen] { return std::make_unique<CCampaignDlg>(seen); });
    seen.Sim = &h.sim;
    h.sim.Plug(1);
    const HWND window = h.Start();
    if (!window) {
        broke("the window did not start");
        return result;
    }
    // At rest first: the version shown and the listen worker done.
    kxtest::WaitFor([&] { return !h.Dialog()->IsWorkerRunning() && !h.VersionText().empty(); },
                    5000);
    h.Dialog()->SetReplyDeadline(settings.ReplyDeadlineMs);
    plan.Apply(h.sim);
    if (plan.Has(FaultKind::Silence) && plan.AtBlock == 1)
        h.sim.SetSilent(true);

    CampaignRandom events(plan.Seed ^ 0xDE71CE5ull);
    std::vector<ULONGLONG> deviceEvents;
    if (plan.Has(FaultKind::OtherDevices))
        for (int i = 0; i < plan.OtherDeviceEvents; ++i)
            deviceEvents.push_back(events.Between(0, 200 + plan.Blocks()));
    std::sort(deviceEvents.begin(), deviceEvents.end());

    const ULONGLONG boundMs = 30000 + 3ull * settings.ReplyDeadlineMs + 3ull * plan.Blocks();
    const ULONGLONG clicked = GetTickCount64();
    kxtest::ClickControl(window, IDC_BTN_UPDATE);

    bool closed = false, closeDone = false, userAborted = false;
    bool closing = false; // the window is on its way out: only wait for it to go
    int devicesAdded = 0;
    std::size_t nextDeviceEvent = 0;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (now - started > boundMs) {
            result.Outcome = RunOutcome::Hang;
            result.Seconds = static_cast<double>(now - started) / 1000.0;
            const CUpdateSession* session = h.Dialog() ? h.Dialog()->Session() : nullptr;
            char what[200];
            DWORD_PTR answer = 0;
            snprintf(what, sizeof(what),
                     "no end within %llu ms: session phase %d, outcome %d, %s worker %s, "
                     "prompt %s, window %s",
                     boundMs, session ? static_cast<int>(session->Phase()) : -1,
                     session ? static_cast<int>(session->Outcome()) : -1,
                     h.Dialog()->IsUpdateRunning() ? "update" : "listen",
                     h.Dialog()->IsWorkerRunning() ? "running" : "ended",
                     h.CurrentPrompt() ? Narrow(h.PromptText(h.CurrentPrompt())).c_str() : "none",
                     SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, &answer)
                         ? "answers"
                         : "does not answer");
            broke(what);
            return result; // the caller reports and ends: nothing here can be trusted now
        }
        if (h.WaitClosed(0)) {
            closed = true;
            break;
        }
        if (closing) {
            Sleep(2);
            continue;
        }
        if (nextDeviceEvent < deviceEvents.size() &&
            now - clicked >= deviceEvents[nextDeviceEvent]) {
            ++nextDeviceEvent;
            if (nextDeviceEvent % 2) {
                SimOtherDevice other;
                other.ProductID = static_cast<std::uint16_t>(0xC000 + devicesAdded++);
                h.sim.AddOtherDevice(other);
            } else {
                h.sim.RemoveOtherDevice();
            }
        }
        if (HWND prompt = h.CurrentPrompt()) {
            const std::wstring text = h.PromptText(prompt);
            int answer = IDC_BTN_OK;
            if (text.compare(0, 23, L"Update firmware version") == 0) {
                if (plan.Has(FaultKind::FileChanges)) {
                    if (plan.FileDeleted)
                        DeleteFileW(seen.ImagePath.c_str());
                    else
                        kxtest::WriteImage(seen.ImagePath, 0x00000099, plan.DataLength,
                                           plan.FileData, 12345);
                }
            } else if (text.find(question) != std::wstring::npos) {
                userAborted = closing = plan.CloseAnswerOk;
                answer = plan.CloseAnswerOk ? IDC_BTN_OK : IDC_BTN_CANCEL;
            } else if (text == refusal) {
                broke("the confirmed image was refused");
            }
            kxtest::ClickControl(prompt, answer);
            kxtest::WaitFor([&] { return !IsWindow(prompt); }, 2000);
            continue;
        }
        if (plan.Has(FaultKind::UserCloses) && !closeDone && now - clicked >= plan.CloseAfterMs &&
            IsWindowEnabled(window)) {
            closeDone = true;
            ClosePlanned(window, plan.Close);
            // No update running: it goes without a question. With one, the question comes.
            kxtest::WaitFor([&] { return h.CurrentPrompt() || h.WaitClosed(0); }, 1000);
            closing = !h.CurrentPrompt();
            continue;
        }
        const CUpdateSession* session = h.Dialog()->Session();
        // A listen worker may go on asking a receiver that never answers for its version:
        // that is no part of the update.
        if (session && session->Done() && !h.Dialog()->IsUpdateRunning()) {
            // A close request that raced with a prompt may still be taking the window.
            closed = closeDone && h.WaitClosed(500);
            break;
        }
        Sleep(2);
    }
    // What the session showed, as it asked the window to (a message the closing window
    // took away again counts too).
    bool successShown = false, failureShown = false;
    std::size_t reportsAtFailure = 0;
    {
        std::lock_guard<std::mutex> lock(seen.Lock);
        for (const Observations::Prompt& prompt : seen.Prompts) {
            successShown |= prompt.Text == success;
            if (prompt.Text == failure && !failureShown) {
                failureShown = true;
                reportsAtFailure = prompt.ReportsBefore;
            }
        }
    }
    if (closed && !successShown && !failureShown)
        userAborted = true;

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

    result.Outcome = successShown   ? RunOutcome::Success
                     : failureShown ? RunOutcome::Failure
                     : userAborted  ? RunOutcome::Abort
                                    : RunOutcome::Hang;
    if (successShown && failureShown)
        broke("both the success and the failure message");
    if (!successShown && !failureShown && !userAborted)
        broke("the session ended with no message");
    if (successShown && !holds)
        broke("success shown, but the receiver does not hold the confirmed image");
    if (!successShown && holds && !userAborted)
        broke("the receiver holds the confirmed image, but no success was shown");
    if (failureShown && ImageFramesAfter(h.sim, reportsAtFailure) > 0)
        broke("image frames reached the receiver after the failure message");
    {
        std::lock_guard<std::mutex> lock(seen.Lock);
        std::vector<int> progress = seen.Progress;
        if (successShown && !progress.empty() && progress.back() == 0)
            progress.pop_back(); // reset once the success message has been dismissed
        if (!std::is_sorted(progress.begin(), progress.end()))
            broke("progress went backwards");
    }
    if (!closed) {
        DWORD_PTR answer = 0;
        if (!SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 2000, &answer))
            broke("the window no longer answers");
        const bool enabledExpected = [&] {
            bool expected = false;
            kxtest::WaitFor(
                [&] {
                    expected = h.sim.Present() && !h.Dialog()->IsUpdateRunning();
                    return h.UpdateButtonEnabled() == expected;
                },
                3000);
            return expected;
        }();
        if (h.UpdateButtonEnabled() != enabledExpected)
            broke(enabledExpected ? "the Update button stayed disabled with the receiver there"
                                  : "the Update button is enabled with no receiver or an update");
        h.Close();
    } else {
        // Nothing outlives the window: no worker goes on writing.
        const std::size_t reports = h.sim.AcceptedReports().size();
        Sleep(300);
        if (ImageFramesAfter(h.sim, reports) > 0)
            broke("image frames reached the receiver after the window closed");
    }
    result.Seconds = static_cast<double>(GetTickCount64() - started) / 1000.0;
    result.Prompts = static_cast<int>(seen.Prompts.size());
    if (settings.Verbose)
        printf("    %s in %.2f s\n", OutcomeName(result.Outcome), result.Seconds);
    return result;
}
