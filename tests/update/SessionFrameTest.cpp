// The update session driven frame by frame on the test's own thread, with a stand-in
// view: the receiver is silent, and the test feeds its replies one at a time, so every
// block, count, progress position, prompt and write can be checked as it happens.
#include "support/FakeSessionView.h"
#include "support/GuardedBytes.h"
#include "support/MainWindowHarness.h"
#include "support/ReceiverFrames.h"

#include <gtest/gtest.h>

#include "link/Frames.h"
#include "link/Hid.h"
#include "update/UpdateSession.h"

namespace {

using kxtest::FakeSessionView;
using kxtest::Frame;

const std::wstring kSuccess = L"Firmware upgraded successful!";
const std::wstring kFailure = L"Firmware update failure";
const Frame kReady = kxtest::ReadyFrame();
const Frame kRequest = kxtest::DataRequestFrame();
const Frame kAckDone = {0x00, REPLY_ACK, 0x01, 0x00, ACK_UPDATE_DONE};

class SessionFrameTest : public testing::Test {
protected:
    void SetUp() override {
        sim.SetSilent(true);
        sim.Plug(1);
        ASSERT_EQ(hid.FindDevice(), 1);
        ASSERT_EQ(hid.OpenDevice(), 1);
    }

    // A finished update reboots the receiver: wait for it to come back and open it again.
    void Reconnect() {
        ASSERT_TRUE(kxtest::WaitFor([&] { return sim.Idle() && sim.Present(); }));
        ASSERT_EQ(hid.FindDevice(), 1);
        ASSERT_EQ(hid.OpenDevice(), 1);
    }

    void Feed(const Frame& frame) {
        session.DispatchReply(frame.data(), static_cast<USHORT>(frame.size()));
    }
    std::vector<Frame> Written() const { return kxtest::FramesInReports(sim.AcceptedReports()); }
    std::vector<Frame> LinkFrames(std::uint8_t sub) const {
        std::vector<Frame> frames;
        for (const Frame& f : Written())
            if (f.size() >= 5 && f[1] == FRAME_LINK && f[4] == sub)
                frames.push_back(f);
        return frames;
    }
    // The image data the receiver has been sent, block after block.
    Frame DataSent() const {
        Frame data;
        for (const Frame& f : LinkFrames(SUB_DATA)) {
            const Frame payload = kxtest::DataPayload(f);
            data.insert(data.end(), payload.begin(), payload.end());
        }
        return data;
    }
    // Start command, ready reply, chooser, confirmation: the header has gone.
    void StartWith(const std::wstring& path) {
        view.ChosenPath = path;
        ASSERT_TRUE(session.Start());
        Feed(kReady);
        ASSERT_EQ(session.Phase(), SessionPhase::HeaderSent) << "prompt: " << view.LastPrompt();
    }
    // Requests blocks until the whole image has gone (at most `limit`).
    void SendAll(int limit = 100000) {
        while (session.Phase() != SessionPhase::DataDone && !session.Done() && limit--)
            Feed(kRequest);
    }

    SimReceiver sim;
    ScopedDeviceApi seam{sim};
    CHid hid;
    FakeSessionView view;
    CUpdateSession session{hid, view};
};

TEST_F(SessionFrameTest, DataLengthOneHundredGoesAsFourBlocksAndTheFifthRequestFinishes) {
    const std::wstring path = kxtest::TempPath(L"frames-beta.dat");
    const auto file = kxtest::WriteImage(path, 0x00030086, 100, 128);
    StartWith(path);
    ASSERT_EQ(view.Prompts.size(), 1u);
    EXPECT_EQ(view.Prompts[0].Text, L"Update firmware version: V1.34  Beta3");
    EXPECT_EQ(view.Prompts[0].Style, PROMPT_OKCANCEL);

    // The header: 35 bytes, its first four words most significant byte first.
    const Frame header = LinkFrames(SUB_HEADER).at(0);
    ASSERT_EQ(header.size(), 35u);
    EXPECT_EQ(Frame(header.begin(), header.begin() + 19),
              (Frame{0x00, 0x16, 0x1F, 0x00, 0x01, 0x1C, 0x00, 0x00, 0x03, 0x00, 0x86, 0x11, 0x22,
                     0x33, 0x44, 0x00, 0x00, 0x00, 0x64}));
    EXPECT_EQ(Frame(header.begin() + 23, header.end()),
              Frame(file.begin() + 16, file.begin() + 28));
    EXPECT_EQ(hid.ReadTimeout(), 10u);
    EXPECT_EQ(session.State(), STATE_HEADER_SENT);
    EXPECT_TRUE(session.Updating());

    const int states[] = {STATE_SENDING, STATE_SENDING, STATE_SENDING, STATE_DATA_DONE};
    for (int block = 0; block < 4; ++block) {
        Feed(kRequest);
        EXPECT_EQ(session.State(), states[block]) << "block " << block + 1;
        EXPECT_EQ(session.SentLength(), 32u * (block + 1));
    }
    // The first block leaves the bar; then 64, 96 and 128, passed on as they are.
    EXPECT_EQ(view.Progress, (std::vector<int>{64, 96, 128}));
    EXPECT_EQ(DataSent(), Frame(file.begin() + 28, file.end()));
    EXPECT_EQ(view.ButtonStates, std::vector<bool>{false});
    EXPECT_TRUE(LinkFrames(SUB_FINISH).empty());

    Feed(kRequest);
    EXPECT_EQ(LinkFrames(SUB_FINISH).size(), 1u);
    EXPECT_EQ(view.LastPrompt(), kSuccess);
    EXPECT_EQ(view.Progress.back(), 0);
    EXPECT_EQ(session.Outcome(), SessionOutcome::Succeeded);
    EXPECT_FALSE(session.Updating());
    EXPECT_FALSE(session.KeepListening());
}

// Images of a block or less, and last blocks that are short or carry bytes past
// DataLength: the request after the last block always brings the finish, and no block
// is ever empty.
TEST_F(SessionFrameTest, EveryImageLengthEndsWithTheRequestAfterItsLastBlock) {
    struct Case {
        std::uint32_t dataLength, dataBytes, sentBytes;
    };
    const Case cases[] = {{1, 1, 1},    {1, 40, 32},  {32, 32, 32},  {33, 33, 33},
                          {20, 40, 32}, {64, 64, 64}, {65, 100, 96}, {100, 110, 110}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "DataLength " << c.dataLength << ", file data " << c.dataBytes);
        Reconnect();
        sim.ClearWrites();
        FakeSessionView caseView;
        CUpdateSession caseSession(hid, caseView);
        const std::wstring path = kxtest::TempPath(L"frames-short.dat");
        const auto file = kxtest::WriteImage(path, 0x86, c.dataLength, c.dataBytes);
        caseView.ChosenPath = path;
        ASSERT_TRUE(caseSession.Start());
        caseSession.DispatchReply(kReady.data(), static_cast<USHORT>(kReady.size()));
        int requests = 0;
        while (caseSession.Phase() != SessionPhase::DataDone && requests++ < 10)
            caseSession.DispatchReply(kRequest.data(), static_cast<USHORT>(kRequest.size()));
        ASSERT_EQ(caseSession.Phase(), SessionPhase::DataDone);
        for (const Frame& f : LinkFrames(SUB_DATA))
            EXPECT_GT(f.size(), 7u) << "an empty block was sent";
        EXPECT_EQ(DataSent(), Frame(file.begin() + 28, file.begin() + 28 + c.sentBytes));
        EXPECT_EQ(caseView.Progress.back(), static_cast<int>(100ull * c.sentBytes / c.dataLength));
        caseSession.DispatchReply(kRequest.data(), static_cast<USHORT>(kRequest.size()));
        EXPECT_EQ(caseSession.Outcome(), SessionOutcome::Succeeded);
        EXPECT_EQ(caseView.LastPrompt(), kSuccess);
    }
}

TEST_F(SessionFrameTest, OnlyAnAcknowledgementAfterTheWholeImageIsASuccess) {
    const std::wstring path = kxtest::TempPath(L"frames-ack.dat");
    kxtest::WriteImage(path, 0x86, 64, 64);
    StartWith(path);
    Feed({0x00, REPLY_ACK, 0x01, 0x00, 0x31}); // not the end: nothing
    Feed(kRequest);
    Feed(kRequest);
    ASSERT_EQ(session.Phase(), SessionPhase::DataDone);
    Feed(kAckDone);
    EXPECT_EQ(LinkFrames(SUB_FINISH).size(), 1u);
    EXPECT_EQ(session.Outcome(), SessionOutcome::Succeeded);
}

TEST_F(SessionFrameTest, AnAcknowledgementBeforeTheWholeImageHasGoneIsAFailure) {
    const std::wstring path = kxtest::TempPath(L"frames-early-ack.dat");
    kxtest::WriteImage(path, 0x86, 256, 256);
    StartWith(path);
    Feed(kRequest);
    Feed(kRequest);
    Feed(kAckDone);
    EXPECT_EQ(session.Outcome(), SessionOutcome::AckedEarly);
    EXPECT_EQ(view.LastPrompt(), kFailure);
    EXPECT_TRUE(LinkFrames(SUB_FINISH).empty());
    // An acknowledgement while waiting for the ready reply is no success either.
    FakeSessionView otherView;
    CUpdateSession other(hid, otherView);
    ASSERT_TRUE(other.Start());
    other.DispatchReply(kAckDone.data(), static_cast<USHORT>(kAckDone.size()));
    EXPECT_EQ(other.Outcome(), SessionOutcome::AckedEarly);
    EXPECT_EQ(otherView.Choices, 0);
}

TEST_F(SessionFrameTest, OnlyTheReadyReplyToTheStartCommandOpensTheChooser) {
    const std::wstring path = kxtest::TempPath(L"frames-ready.dat");
    const auto file = kxtest::WriteImage(path, 0x86, 100, 100);
    view.ChosenPath = path;
    Feed(kReady); // before the start command: not this session's
    EXPECT_EQ(view.Choices, 0);
    ASSERT_TRUE(session.Start());
    Feed(kReady);
    Feed(kRequest);
    Feed(kReady); // repeated: changes nothing
    EXPECT_EQ(view.Choices, 1);
    EXPECT_EQ(LinkFrames(SUB_HEADER).size(), 1u);
    SendAll();
    Feed(kRequest);
    EXPECT_EQ(session.Outcome(), SessionOutcome::Succeeded);
    EXPECT_EQ(DataSent(), Frame(file.begin() + 28, file.end()));
}

class FailureCodeFrameTest : public SessionFrameTest,
                             public testing::WithParamInterface<std::uint8_t> {};

TEST_P(FailureCodeFrameTest, AFailureCodeEndsTheSessionForGood) {
    const std::wstring path = kxtest::TempPath(L"frames-fail.dat");
    kxtest::WriteImage(path, 0x86, 64, 64);
    StartWith(path);
    Feed(kRequest);
    Feed({0x00, FRAME_LINK, 0x01, 0x00, GetParam()});
    EXPECT_EQ(session.Outcome(), SessionOutcome::FailureCode);
    EXPECT_EQ(session.FailureCode(), GetParam());
    EXPECT_EQ(view.LastPrompt(), kFailure);
    EXPECT_EQ(view.ButtonStates.back(), true); // the receiver is still there
    EXPECT_FALSE(session.Updating());          // closing no longer asks
    EXPECT_FALSE(session.KeepListening());

    // Nothing later reaches the receiver or turns the failure into a success.
    const std::size_t written = Written().size();
    const std::size_t prompts = view.Prompts.size();
    for (const Frame& later : {kRequest, kRequest, kAckDone, kReady})
        Feed(later);
    EXPECT_EQ(Written().size(), written);
    EXPECT_EQ(view.Prompts.size(), prompts);
    EXPECT_EQ(session.Outcome(), SessionOutcome::FailureCode);
}

INSTANTIATE_TEST_SUITE_P(BothCodes, FailureCodeFrameTest,
                         testing::Values(SUB_FAILURE_1, SUB_FAILURE_2));

// Every write of the session (start, header, a block, the finish) that fails ends it at
// once with the failure message; a block counts as sent only once its write succeeded.
TEST_F(SessionFrameTest, EveryFailedWriteEndsTheSessionAtOnce) {
    struct Case {
        const char* name;
        int failingWrite; // 1 start, 2 header, 3.. blocks, 7 the finish
        std::uint64_t sentBefore;
    };
    const Case cases[] = {{"start", 1, 0},
                          {"header", 2, 0},
                          {"first block", 3, 0},
                          {"third block", 5, 64},
                          {"finish", 7, 128}};
    const std::wstring path = kxtest::TempPath(L"frames-write.dat");
    kxtest::WriteImage(path, 0x86, 128, 128);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeSessionView caseView;
        caseView.ChosenPath = path;
        CUpdateSession caseSession(hid, caseView);
        sim.FailWriteAt(c.failingWrite);
        if (caseSession.Start()) {
            caseSession.DispatchReply(kReady.data(), static_cast<USHORT>(kReady.size()));
            for (int i = 0; i < 6 && !caseSession.Done(); ++i)
                caseSession.DispatchReply(kRequest.data(), static_cast<USHORT>(kRequest.size()));
        }
        EXPECT_EQ(caseSession.Outcome(), SessionOutcome::WriteFailed);
        EXPECT_EQ(caseSession.WriteError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
        EXPECT_EQ(caseSession.SentLength(), c.sentBefore);
        EXPECT_EQ(caseView.LastPrompt(), kFailure);
        ASSERT_FALSE(caseView.ButtonStates.empty());
        EXPECT_TRUE(caseView.ButtonStates.back()); // the receiver is still there
        // A receiver asking again gets nothing: no block is sent out of its place.
        const std::size_t written = Written().size();
        caseSession.DispatchReply(kRequest.data(), static_cast<USHORT>(kRequest.size()));
        EXPECT_EQ(Written().size(), written);
    }
}

TEST_F(SessionFrameTest, AWriteTheReceiverNeverCompletesFailsAfterASecond) {
    const std::wstring path = kxtest::TempPath(L"frames-hang.dat");
    kxtest::WriteImage(path, 0x86, 128, 128);
    StartWith(path);
    Feed(kRequest);
    sim.HangWriteAt(1);
    const ULONGLONG before = GetTickCount64();
    Feed(kRequest);
    const ULONGLONG took = GetTickCount64() - before;
    EXPECT_GE(took, 900u);
    EXPECT_LT(took, 3000u);
    EXPECT_EQ(session.Outcome(), SessionOutcome::WriteFailed);
    EXPECT_EQ(session.WriteError(), static_cast<DWORD>(ERROR_TIMEOUT));
    EXPECT_EQ(session.SentLength(), 32u);
    EXPECT_EQ(sim.LastUpdate().Blocks, 1u); // the cancelled block never arrived
    EXPECT_EQ(sim.OutstandingReads(), 0u);
}

TEST_F(SessionFrameTest, ASilentReceiverMeetsTheDeadlineButTheUsersTimeDoesNotCount) {
    const std::wstring path = kxtest::TempPath(L"frames-deadline.dat");
    kxtest::WriteImage(path, 0x86, 128, 128);
    session.SetReplyDeadline(300);
    view.ChosenPath = path;
    // The user takes longer over the chooser and the confirmation than the deadline.
    view.WhileChooserOpen = [] { Sleep(400); };
    view.WhilePromptOpen = [](const FakeSessionView::Prompt&) { Sleep(400); };
    // Taken before the start command: its deadline cannot be met 299 ms after this.
    const ULONGLONG beforeStart = GetTickCount64();
    ASSERT_TRUE(session.Start());
    session.OnIdle(beforeStart + 299);
    EXPECT_FALSE(session.Done());
    Feed(kReady);
    ASSERT_EQ(session.Phase(), SessionPhase::HeaderSent);
    EXPECT_TRUE(session.KeepListening()); // 800 ms since the start, but not waiting

    // Reports that do not move the session on do not keep it waiting either: those that
    // come 200 ms after a block leave its deadline 300 ms after the block.
    view.WhilePromptOpen = nullptr;
    const ULONGLONG beforeBlock = GetTickCount64();
    Feed(kRequest);
    const ULONGLONG afterBlock = GetTickCount64();
    Sleep(200);
    Feed({0x00, 0x04, 0x01, 0x00, 0x00});
    Feed({0x00, REPLY_ACK, 0x01, 0x00, 0x31});
    session.OnIdle(beforeBlock + 299);
    EXPECT_FALSE(session.Done());
    session.OnIdle(afterBlock + 300);
    EXPECT_EQ(session.Outcome(), SessionOutcome::Deadline);
    EXPECT_EQ(view.LastPrompt(), kFailure);
    EXPECT_EQ(CUpdateSession::kReplyDeadlineMs, 15000u);
}

TEST_F(SessionFrameTest, TheImageIsReadOnceWhenTheUserConfirmsIt) {
    for (const bool deleteIt : {false, true}) {
        SCOPED_TRACE(deleteIt ? "deleted" : "changed");
        Reconnect();
        sim.ClearWrites();
        const std::wstring path = kxtest::TempPath(L"frames-changes.dat");
        const auto file = kxtest::WriteImage(path, 0x86, 200, 200, 7);
        FakeSessionView caseView;
        caseView.ChosenPath = path;
        caseView.WhilePromptOpen = [&](const FakeSessionView::Prompt&) {
            if (deleteIt)
                DeleteFileW(path.c_str());
            else
                kxtest::WriteImage(path, 0x99, 200, 200, 8);
        };
        CUpdateSession caseSession(hid, caseView);
        ASSERT_TRUE(caseSession.Start());
        caseSession.DispatchReply(kReady.data(), static_cast<USHORT>(kReady.size()));
        for (int i = 0; i < 8 && !caseSession.Done(); ++i)
            caseSession.DispatchReply(kRequest.data(), static_cast<USHORT>(kRequest.size()));
        EXPECT_EQ(caseSession.Outcome(), SessionOutcome::Succeeded);
        EXPECT_EQ(DataSent(), Frame(file.begin() + 28, file.end()));
        EXPECT_EQ(kxtest::DataPayload(LinkFrames(SUB_HEADER).at(0))[3], 0x86);
    }
}

TEST(FirmwareImage, DataLengthsAboveSixteenMebibytesAreRefused) {
    std::vector<std::uint8_t> bytes(28 + kMaxDataLength + 40, 0x5A);
    auto setLength = [&](std::uint32_t length) { std::memcpy(&bytes[8], &length, 4); };
    FirmwareImage image;
    setLength(kMaxDataLength);
    ASSERT_EQ(ParseFirmwareImage(bytes.data(), bytes.size(), &image), ImageCheck::Ok);
    EXPECT_EQ(image.Data.size(), kMaxDataLength); // a whole number of blocks: nothing more
    setLength(kMaxDataLength - 1);
    ASSERT_EQ(ParseFirmwareImage(bytes.data(), bytes.size(), &image), ImageCheck::Ok);
    EXPECT_EQ(image.Data.size(), kMaxDataLength);
    setLength(kMaxDataLength + 1);
    EXPECT_EQ(ParseFirmwareImage(bytes.data(), bytes.size(), &image), ImageCheck::TooLarge);
    setLength(0xFFFFFFFFu);
    EXPECT_EQ(ParseFirmwareImage(bytes.data(), 40, &image), ImageCheck::TooLarge);
}

// Frames shorter than their type needs are ignored, and nothing is read past a frame:
// each frame ends right at an unreadable page.
TEST_F(SessionFrameTest, FramesShorterThanTheirTypeNeedsAreIgnored) {
    kxtest::GuardedBytes guard;
    ASSERT_TRUE(guard.Valid());
    const std::wstring path = kxtest::TempPath(L"frames-short-frames.dat");
    kxtest::WriteImage(path, 0x86, 64, 64);
    StartWith(path);
    const Frame full[] = {kxtest::VersionFrame(0x87),
                          kRequest,
                          kAckDone,
                          {0x00, FRAME_LINK, 0x01, 0x00, SUB_FAILURE_1}};
    const std::size_t written = Written().size();
    for (const Frame& frame : full) {
        for (std::size_t n = 0; n < (frame[4] == SUB_VERSION ? 11u : 5u); ++n) {
            const std::uint8_t* at = guard.Place(frame.data(), n);
            session.DispatchReply(at, static_cast<USHORT>(n));
        }
    }
    EXPECT_EQ(Written().size(), written);
    EXPECT_TRUE(view.VersionTexts.empty());
    EXPECT_EQ(session.Phase(), SessionPhase::HeaderSent);
    // Whole, the same frames do count.
    session.DispatchReply(guard.Place(full[0]), 11);
    EXPECT_EQ(view.VersionTexts, std::vector<std::wstring>{L"V1.35"});
    session.DispatchReply(guard.Place(kRequest), static_cast<USHORT>(kRequest.size()));
    EXPECT_EQ(LinkFrames(SUB_DATA).size(), 1u);
}

TEST_F(SessionFrameTest, WithNoUpdateRunningOnlyTheVersionReplyCounts) {
    CVersionListener listener(view);
    for (const Frame& frame :
         {kRequest, kAckDone, kReady, Frame{0x00, FRAME_LINK, 0x01, 0x00, 0x15}})
        listener.DispatchReply(frame.data(), static_cast<USHORT>(frame.size()));
    EXPECT_TRUE(Written().empty());
    EXPECT_TRUE(view.Prompts.empty());
    EXPECT_TRUE(listener.KeepListening());
    const Frame version = kxtest::VersionFrame(0x00030086);
    listener.DispatchReply(version.data(), static_cast<USHORT>(version.size()));
    EXPECT_EQ(view.VersionTexts, std::vector<std::wstring>{L"V1.34  Beta3"});
    EXPECT_FALSE(listener.KeepListening());
}

} // namespace
