// The update session through the real window, its workers, the file chooser and the
// prompts: the receiver is silent and the test sends its replies one at a time.
#include "support/MainWindowHarness.h"
#include "support/ReceiverFrames.h"

#include <gtest/gtest.h>

#include "link/LinkProtocol.h"
#include "link/LinkWorkers.h"
#include "res/resource.h"
#include "ui/UpdateDlg.h"
#include "update/UpdateSession.h"

namespace {

using kxtest::Frame;
using kxtest::MainWindowHarness;

const Frame kReady = kxtest::ReadyFrame();
const Frame kDataRequest = kxtest::DataRequestFrame();
using kxtest::VersionFrame;

class SessionTest : public testing::Test {
protected:
    void SetUp() override {
        h.sim.SetSilent(true);
        h.sim.Plug(1);
        ASSERT_NE(h.Start(), nullptr);
    }

    int Count(std::uint8_t sub) const { return h.LinkFramesWritten(sub); }
    bool Written(std::uint8_t sub, int n) {
        return kxtest::WaitFor([&] { return Count(sub) >= n; }, 10000);
    }
    int StartCommands() const {
        int n = 0;
        for (const auto& f : h.FramesWritten())
            n += f.size() >= 2 && f[1] == CMD_START_UPDATE;
        return n;
    }
    // The last frame written with this sub-code.
    Frame LastLinkFrame(std::uint8_t sub) const {
        Frame last;
        for (const auto& f : h.FramesWritten())
            if (f.size() >= 5 && f[1] == FRAME_LINK && f[4] == sub)
                last = f;
        return last;
    }

    // Presses Update and, once the start command has gone, says the receiver is ready.
    void PressUpdate() {
        const int before = StartCommands();
        h.ClickUpdate();
        ASSERT_TRUE(kxtest::WaitFor([&] { return StartCommands() == before + 1; }));
        h.sim.SendFrame(kReady);
    }
    // Presses Update; once the receiver says it is ready, chooses the image.
    void PressUpdateAndChoose(const std::wstring& path) {
        PressUpdate();
        HWND chooser = h.WaitForChooser();
        ASSERT_NE(chooser, nullptr);
        MainWindowHarness::ChooseFile(chooser, path);
    }
    // The whole start: chosen, confirmed, header sent.
    void StartSession(const std::wstring& path) {
        PressUpdateAndChoose(path);
        confirmation = h.AnswerPrompt(IDC_BTN_OK);
        ASSERT_TRUE(Written(SUB_HEADER, 1));
    }
    // One data request; returns the SUB_DATA frame that answered it.
    Frame RequestBlock() {
        const int before = Count(SUB_DATA);
        h.sim.SendFrame(kDataRequest);
        EXPECT_TRUE(Written(SUB_DATA, before + 1));
        return LastLinkFrame(SUB_DATA);
    }
    bool WorkerEnds() {
        return kxtest::WaitFor([&] { return !h.Dialog()->IsWorkerRunning(); }, 10000);
    }

    int State() const { return h.Dialog()->Session() ? h.Dialog()->Session()->State() : 0; }

    MainWindowHarness h;
    std::wstring confirmation;
};

using kxtest::DataPayload;

TEST_F(SessionTest, DataLengthOneHundredGoesAsFourBlocksAndTheFifthRequestFinishes) {
    // The image sits in a folder whose name the ANSI code page cannot spell.
    const std::wstring folder = kxtest::TempPath(L"\u56FA\u4EF6-\u00FC\u0142\u03A9");
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring path = folder + L"\\beta.dat";
    const auto file = kxtest::WriteImage(path, 0x00030086, 100, 128);
    StartSession(path);
    EXPECT_EQ(confirmation, L"Update firmware version: V1.34  Beta3");

    // The header: 35 bytes, its first four words most significant byte first.
    const Frame header = LastLinkFrame(SUB_HEADER);
    ASSERT_EQ(header.size(), 35u);
    EXPECT_EQ(Frame(header.begin(), header.begin() + 7),
              (Frame{0x00, 0x16, 0x1F, 0x00, 0x01, 0x1C, 0x00}));
    EXPECT_EQ(Frame(header.begin() + 7, header.begin() + 19),
              (Frame{0x00, 0x03, 0x00, 0x86, 0x11, 0x22, 0x33, 0x44, 0x00, 0x00, 0x00, 0x64}));
    EXPECT_EQ(Frame(header.begin() + 23, header.end()),
              Frame(file.begin() + 16, file.begin() + 28));
    EXPECT_TRUE(kxtest::WaitFor([&] { return h.Dialog()->m_Hid.ReadTimeout() == 10u; }));
    EXPECT_EQ(State(), STATE_HEADER_SENT);

    // 128 goes to the bar as it is; the platform's control keeps its position within
    // its range, so it reads back as 100.
    const int expectedProgress[] = {0, 64, 96, 100};
    for (int block = 0; block < 4; ++block) {
        const Frame data = RequestBlock();
        EXPECT_EQ(DataPayload(data),
                  Frame(file.begin() + 28 + 32 * block, file.begin() + 60 + 32 * block))
            << "block " << block + 1;
        EXPECT_TRUE(kxtest::WaitFor([&] { return h.ProgressPos() == expectedProgress[block]; }))
            << "block " << block + 1 << " shows " << h.ProgressPos();
        const int state = block < 3 ? STATE_SENDING : STATE_DATA_DONE;
        EXPECT_TRUE(kxtest::WaitFor([&] { return State() == state; }))
            << "block " << block + 1 << " leaves state " << State();
        EXPECT_FALSE(h.UpdateButtonEnabled());
    }

    h.sim.SendFrame(kDataRequest);
    EXPECT_EQ(h.AnswerPrompt(IDC_BTN_OK), L"Firmware upgraded successful!");
    EXPECT_EQ(Count(SUB_FINISH), 1);
    EXPECT_TRUE(WorkerEnds());
    EXPECT_EQ(h.ProgressPos(), 0);
    EXPECT_FALSE(h.Dialog()->Session()->Updating());
    // The receiver reboots with the image and comes back: the button follows it.
    EXPECT_TRUE(kxtest::WaitFor([&] { return h.UpdateButtonEnabled(); }));
}

class FailureCodeTest : public SessionTest, public testing::WithParamInterface<std::uint8_t> {};

TEST_P(FailureCodeTest, FailureSubCodeEndsTheSessionWithTheFailurePrompt) {
    const std::wstring path = kxtest::TempPath(L"fail.dat");
    kxtest::WriteImage(path, 0x86, 256, 256);
    StartSession(path);
    RequestBlock();
    RequestBlock();
    ASSERT_TRUE(kxtest::WaitFor([&] { return h.ProgressPos() == 25; }));
    h.sim.SendFrame({0x00, FRAME_LINK, 0x01, 0x00, GetParam()});
    ASSERT_NE(h.WaitForPrompt(), nullptr);
    kxtest::SaveScreenshot(h.CaptureWithPrompt(), L"main_failure_prompt");
    EXPECT_EQ(h.AnswerPrompt(IDC_BTN_OK), L"Firmware update failure");
    EXPECT_TRUE(WorkerEnds());
    EXPECT_TRUE(kxtest::WaitFor([&] { return h.UpdateButtonEnabled(); }));
    EXPECT_EQ(h.ProgressPos(), 25); // left where it was

    // The failure has ended the update: the close button no longer asks. Watched from the
    // click until the window has gone, so a question shown meanwhile is seen.
    kxtest::ClickControl(h.Window(), IDC_BTN_CLOSE);
    HWND asked = nullptr;
    EXPECT_TRUE(kxtest::WaitFor(
        [&] {
            if (!asked)
                asked = h.CurrentPrompt();
            return asked || h.WaitClosed(0);
        },
        3000));
    EXPECT_EQ(asked, nullptr) << "closing asked: " << (asked ? h.PromptText(asked) : L"");
    if (asked) // let the window go
        h.AnswerPrompt(IDC_BTN_OK);
    EXPECT_TRUE(h.WaitClosed(3000));
}

INSTANTIATE_TEST_SUITE_P(BothCodes, FailureCodeTest, testing::Values(SUB_FAILURE_1, SUB_FAILURE_2));

TEST_F(SessionTest, CancellingTheChooserOrTheConfirmationSendsNothing) {
    const std::wstring path = kxtest::TempPath(L"declined.dat");
    kxtest::WriteImage(path, 0x86, 64, 64);
    h.sim.SendFrame(VersionFrame(0x86));
    ASSERT_TRUE(kxtest::WaitFor([&] { return h.VersionText() == L"V1.34"; }));

    h.ClickUpdate();
    ASSERT_TRUE(kxtest::WaitFor([&] { return StartCommands() == 1; }));
    h.sim.SendFrame(kReady);
    MainWindowHarness::CancelChooser(h.WaitForChooser());
    EXPECT_TRUE(WorkerEnds());
    EXPECT_EQ(h.CurrentPrompt(), nullptr);

    PressUpdateAndChoose(path);
    EXPECT_EQ(h.AnswerPrompt(IDC_BTN_CANCEL), L"Update firmware version: V1.34");
    EXPECT_TRUE(WorkerEnds());

    EXPECT_EQ(Count(SUB_HEADER), 0);
    EXPECT_EQ(h.ProgressPos(), 0);
    EXPECT_EQ(h.VersionText(), L"V1.34");
    EXPECT_EQ(h.Dialog()->Session()->Outcome(), SessionOutcome::Declined);
    EXPECT_TRUE(kxtest::WaitFor([&] { return h.UpdateButtonEnabled(); }));
}

TEST_F(SessionTest, ImagesThatCannotBeSentWholeAreRefusedBeforeAnythingIsSent) {
    const std::wstring tooShort = kxtest::TempPath(L"too-short.dat");
    FILE* f = _wfopen(tooShort.c_str(), L"wb");
    fwrite("\x86\x00\x00\x00shorter than a header", 1, 25, f);
    fclose(f);
    const std::wstring noData = kxtest::TempPath(L"no-data.dat");
    kxtest::WriteImage(noData, 0x86, 0, 64);
    const std::wstring missingData = kxtest::TempPath(L"missing-data.dat");
    kxtest::WriteImage(missingData, 0x86, 1000, 999);
    const std::wstring tooLarge = kxtest::TempPath(L"too-large.dat");
    kxtest::WriteImage(tooLarge, 0x86, kMaxDataLength + 1, 64);
    const std::wstring absent = kxtest::TempPath(L"no-such-image.dat");

    const struct {
        const std::wstring& path;
        ImageCheck why;
    } images[] = {{tooShort, ImageCheck::TooShort},
                  {noData, ImageCheck::NoData},
                  {missingData, ImageCheck::MissingData},
                  {tooLarge, ImageCheck::TooLarge},
                  {absent, ImageCheck::Unreadable}};
    for (const auto& image : images) {
        SCOPED_TRACE(testing::Message() << "image " << ImageCheckText(image.why));
        PressUpdateAndChoose(image.path);
        // The chooser itself may object to a file that does not exist; accept that too.
        HWND prompt = h.WaitForPrompt(2000);
        if (image.why == ImageCheck::Unreadable && !prompt) {
            MainWindowHarness::CancelChooser(h.WaitForChooser());
            EXPECT_TRUE(WorkerEnds());
            EXPECT_EQ(h.Dialog()->Session()->Outcome(), SessionOutcome::Declined);
        } else {
            ASSERT_NE(prompt, nullptr);
            EXPECT_EQ(h.AnswerPrompt(IDC_BTN_OK), L"Open file error! Please check the file!");
            EXPECT_TRUE(WorkerEnds());
            EXPECT_EQ(h.Dialog()->Session()->Outcome(), SessionOutcome::Refused);
            EXPECT_EQ(h.Dialog()->Session()->RefusedBecause(), image.why)
                << "refused as: " << ImageCheckText(h.Dialog()->Session()->RefusedBecause());
        }
        // Only the start command went: no header, no block, no finish.
        EXPECT_EQ(StartCommands(), 1);
        EXPECT_EQ(Count(SUB_HEADER), 0);
        EXPECT_EQ(Count(SUB_DATA), 0);
        EXPECT_EQ(Count(SUB_FINISH), 0);
        h.sim.ClearWrites();
    }
}

TEST_F(SessionTest, ARemovedReceiverEndsTheSessionAsAFailure) {
    const std::wstring path = kxtest::TempPath(L"removed.dat");
    kxtest::WriteImage(path, 0x86, 256, 256);
    StartSession(path);
    RequestBlock();
    RequestBlock();
    h.sim.Unplug();
    EXPECT_EQ(h.AnswerPrompt(IDC_BTN_OK), L"Firmware update failure");
    EXPECT_TRUE(WorkerEnds());
    EXPECT_FALSE(h.UpdateButtonEnabled());
}

// The receiver goes while the user chooses or confirms: the chooser or the confirmation
// closes by itself, nothing is sent, and the session ends as a removal with the failure
// message.
TEST_F(SessionTest, AReceiverRemovedWhileTheUserAnswersEndsTheSessionAsARemoval) {
    const std::wstring path = kxtest::TempPath(L"removed-while-choosing.dat");
    kxtest::WriteImage(path, 0x86, 64, 64);
    for (const bool atConfirmation : {false, true}) {
        SCOPED_TRACE(atConfirmation ? "at the confirmation" : "in the chooser");
        h.sim.Plug(1);
        ASSERT_TRUE(kxtest::WaitFor([&] { return h.UpdateButtonEnabled(); }));
        PressUpdate();
        HWND shown = h.ChooserOrConfirmation(atConfirmation ? path : L"");
        ASSERT_NE(shown, nullptr);
        h.sim.Unplug();
        EXPECT_TRUE(kxtest::WaitFor([&] { return !IsWindow(shown); }));
        EXPECT_EQ(h.AnswerPrompt(IDC_BTN_OK), L"Firmware update failure");
        EXPECT_TRUE(WorkerEnds());
        EXPECT_EQ(h.Dialog()->Session()->Outcome(), SessionOutcome::Removed);
        EXPECT_EQ(Count(SUB_HEADER), 0);
    }
}

// A message is left for the user to read when the receiver goes while it shows.
TEST_F(SessionTest, TheFailureMessageStaysWhenTheReceiverGoes) {
    const std::wstring path = kxtest::TempPath(L"message-outlives-receiver.dat");
    kxtest::WriteImage(path, 0x86, 256, 256);
    StartSession(path);
    RequestBlock();
    h.sim.SendFrame({0x00, FRAME_LINK, 0x01, 0x00, SUB_FAILURE_1});
    HWND message = h.WaitForPrompt();
    ASSERT_NE(message, nullptr);
    h.sim.Unplug();
    ASSERT_TRUE(kxtest::WaitFor([&] { return !h.Dialog()->m_Hid.m_bFound; }));
    Sleep(200);
    EXPECT_TRUE(IsWindow(message));
    EXPECT_EQ(h.AnswerPrompt(IDC_BTN_OK), L"Firmware update failure");
}

// Once an update has ended, the receiver may still send what belonged to it: a data
// request, the end acknowledgement. No worker answers them while none runs, and the next
// update does not take them for its own: it reads the receiver afresh, and its ready
// reply opens the chooser.
TEST_F(SessionTest, ADataRequestOrAcknowledgementAfterAnUpdateHasEndedBringsNothing) {
    const std::wstring path = kxtest::TempPath(L"stray.dat");
    kxtest::WriteImage(path, 0x86, 256, 256);
    StartSession(path);
    RequestBlock();
    RequestBlock();
    h.sim.SendFrame({0x00, FRAME_LINK, 0x01, 0x00, SUB_FAILURE_1});
    EXPECT_EQ(h.AnswerPrompt(IDC_BTN_OK), L"Firmware update failure");
    ASSERT_TRUE(WorkerEnds());
    ASSERT_TRUE(kxtest::WaitFor([&] { return h.UpdateButtonEnabled(); }));

    h.sim.SendFrame(kDataRequest);
    h.sim.SendFrame({0x00, REPLY_ACK, 0x01, 0x00, ACK_UPDATE_DONE});
    ASSERT_TRUE(kxtest::WaitFor([&] { return h.sim.Idle(); })); // both have arrived

    h.ClickUpdate();
    ASSERT_TRUE(kxtest::WaitFor([&] { return StartCommands() == 2; }));
    h.sim.SendFrame(kReady);
    HWND chooser = h.WaitForChooser();
    const HWND prompt = h.CurrentPrompt();
    EXPECT_EQ(prompt, nullptr) << "shown: " << (prompt ? h.PromptText(prompt) : L"");
    ASSERT_NE(chooser, nullptr);
    MainWindowHarness::CancelChooser(chooser);
    EXPECT_TRUE(WorkerEnds());
    EXPECT_EQ(h.Dialog()->Session()->Outcome(), SessionOutcome::Declined);
    // The first update's header and two blocks, and nothing since.
    EXPECT_EQ(Count(SUB_HEADER), 1);
    EXPECT_EQ(Count(SUB_DATA), 2);
    EXPECT_EQ(Count(SUB_FINISH), 0);
}

TEST_F(SessionTest, AReceiverThatNeverAnswersMeetsTheDeadline) {
    h.Dialog()->SetReplyDeadline(500);
    h.ClickUpdate();
    ASSERT_TRUE(kxtest::WaitFor([&] { return StartCommands() == 1; }));
    EXPECT_EQ(h.AnswerPrompt(IDC_BTN_OK, 5000), L"Firmware update failure");
    EXPECT_TRUE(WorkerEnds());
    EXPECT_EQ(h.Dialog()->Session()->Outcome(), SessionOutcome::Deadline);
    EXPECT_TRUE(kxtest::WaitFor([&] { return h.UpdateButtonEnabled(); }));
}

TEST_F(SessionTest, AStartCommandThatCannotBeWrittenShowsTheFailureAndBringsTheButtonBack) {
    h.sim.FailWriteAt(1, -1);
    h.ClickUpdate();
    EXPECT_EQ(h.AnswerPrompt(IDC_BTN_OK), L"Firmware update failure");
    h.sim.FailWriteAt(0, 0);
    EXPECT_TRUE(WorkerEnds());
    EXPECT_TRUE(kxtest::WaitFor([&] { return h.UpdateButtonEnabled(); }));
}

TEST_F(SessionTest, ListenWorkerPollsASilentReceiverAndEndsOnTheVersionReply) {
    ASSERT_TRUE(Written(SUB_QUERY_VERSION, 1));
    const int polls = h.sim.Polls();
    kxtest::WaitFor([] { return false; }, 1000);
    const int perSecond = h.sim.Polls() - polls;
    EXPECT_GE(perSecond, 3); // one every 200 ms
    EXPECT_LE(perSecond, 7);
    EXPECT_TRUE(h.Dialog()->IsWorkerRunning());

    // Any version word ends it, whatever its value.
    h.sim.SendFrame(VersionFrame(0x5A5A5A5A));
    ASSERT_TRUE(kxtest::WaitFor([&] { return h.VersionText() == L"V231.30  Beta90"; }));
    EXPECT_TRUE(WorkerEnds());
}

TEST_F(SessionTest, UpdateButtonTakesTheReceiverOverFromAListenWorker) {
    ASSERT_TRUE(h.Dialog()->IsWorkerRunning()); // still waiting for the version
    h.ClickUpdate();
    ASSERT_TRUE(kxtest::WaitFor([&] { return StartCommands() == 1; }));
    EXPECT_TRUE(h.Dialog()->IsUpdateRunning());
    // An arrival while the update runs starts no worker and leaves the button alone.
    SendMessageW(h.Window(), WM_DEVICECHANGE, 0x8000, 0);
    EXPECT_TRUE(h.Dialog()->IsUpdateRunning());
    EXPECT_FALSE(h.UpdateButtonEnabled());
    EXPECT_EQ(Count(SUB_QUERY_VERSION), 1);
}

} // namespace
