// Reading and writing reports: time-outs, failures, removal and replaced handles.
#include "LinkFixture.h"
#include "support/ReceiverFrames.h"

#include <atomic>
#include <cstring>
#include <thread>

namespace {

const Bytes kVersionFrame = kxtest::VersionFrame(0x86);

TEST_F(LinkTest, ReadAndWriteBeforeOpeningFailAtOnce) {
    sim.Plug(1);
    ASSERT_EQ(1, hid.FindDevice());
    hid.SetReadTimeout(1000);
    std::uint8_t dest[65] = {};
    DWORD result = 0;
    EXPECT_LT(MillisecondsOf([&] { result = hid.ReadHid(dest, 65); }), 500);
    EXPECT_EQ(HID_READ_NOT_OPEN, result);
    const std::uint8_t poll[6] = {5, 0, CMD_POLL, 1, 0, 0};
    EXPECT_EQ(0, hid.WriteHid(poll, 6));
    EXPECT_TRUE(sim.Writes().empty());
}

TEST_F(LinkTest, OpenSetsTheReadTimeOut) {
    sim.Plug(1);
    hid.FindDevice();
    hid.SetReadTimeout(10);
    ASSERT_EQ(1, hid.OpenDevice());
    EXPECT_EQ(200u, hid.ReadTimeout());
}

TEST_F(LinkTest, ReplyArrivesOnAReadingThread) {
    Connect(1);
    hid.SetReadTimeout(2000);
    std::uint8_t dest[65] = {};
    DWORD result = 0xFFFF;
    std::thread reader([&] { result = hid.ReadHid(dest, 65); });
    Sleep(30);
    SendLinkFrame(hid, SUB_QUERY_VERSION, nullptr, 0);
    reader.join();
    EXPECT_EQ(HID_READ_OK, result);
    EXPECT_EQ(Payload(kVersionFrame), Bytes(dest, dest + 12));
}

// A read that times out is cancelled and waited for: when ReadHid returns, the system no
// longer holds its buffer, even when the cancellation completes late.
TEST_F(LinkTest, TimedOutReadIsCancelledAndWaitedFor) {
    Connect(1);
    sim.SetCancelLatency(40);
    hid.SetReadTimeout(50);
    std::uint8_t dest[65];
    std::memset(dest, 0xEE, sizeof(dest));
    DWORD result = 0;
    const long long ms = MillisecondsOf([&] { result = hid.ReadHid(dest, 65); });
    EXPECT_EQ(HID_READ_TIMEOUT, result);
    EXPECT_GE(ms, 85);
    EXPECT_EQ(0u, sim.OutstandingReads());
    EXPECT_EQ(Bytes(65, 0xEE), Bytes(dest, dest + 65));
}

// A driver that never ends a cancelled request holds nothing up: a read or a write that
// has timed out gives its request up within a bound, and the next one works with memory
// of its own (the system may still write to the memory of the one given up).
TEST_F(LinkTest, RequestsWhoseCancelNeverEndsAreGivenUp) {
    Connect(1);
    sim.SetCancelLatency(600000);
    hid.SetReadTimeout(50);
    std::uint8_t dest[65] = {};
    DWORD result = 0;
    EXPECT_LT(MillisecondsOf([&] { result = hid.ReadHid(dest, 65); }), 1000);
    EXPECT_EQ(HID_READ_FAILED, result);
    sim.HangWriteAt(1);
    EXPECT_LT(MillisecondsOf([&] { result = SendShortCommand(hid, CMD_POLL, 0); }), 2500);
    EXPECT_EQ(0u, result);
    EXPECT_EQ(static_cast<DWORD>(ERROR_TIMEOUT), hid.LastWriteError());

    sim.SetCancelLatency(0);
    SendLinkFrame(hid, SUB_QUERY_VERSION, nullptr, 0);
    EXPECT_EQ(Payload(kVersionFrame), ReadPayload(12));
}

TEST_F(LinkTest, ReportArrivingAsTheTimeOutEndsIsKept) {
    Connect(1);
    sim.DeliverOnNextCancel(kVersionFrame);
    EXPECT_EQ(Payload(kVersionFrame), ReadPayload(12, 30));
}

TEST_F(LinkTest, ReadThatFailsToStartIsNoReport) {
    Connect(1);
    sim.FailReads(1);
    hid.SetReadTimeout(60);
    std::uint8_t dest[65];
    std::memset(dest, 0xEE, sizeof(dest));
    DWORD result = 0;
    const long long ms = MillisecondsOf([&] { result = hid.ReadHid(dest, 65); });
    EXPECT_EQ(HID_READ_FAILED, result);
    EXPECT_GE(ms, 55) << "a caller reading in a loop keeps its pace";
    EXPECT_EQ(Bytes(65, 0xEE), Bytes(dest, dest + 65));
    EXPECT_FALSE(hid.DeviceGone());
    SendLinkFrame(hid, SUB_QUERY_VERSION, nullptr, 0);
    EXPECT_EQ(Payload(kVersionFrame), ReadPayload(12));
}

// Whichever way the system refuses the requests on a removed receiver's files: as the
// HID class does (delete pending, seen as access denied; Wine's HID stack) or as "not
// connected".
TEST_F(LinkTest, RemovedReceiverIsToldApartFromSilence) {
    for (const auto removal :
         {SimReceiver::RemovalError::DeletePending, SimReceiver::RemovalError::NotConnected}) {
        SCOPED_TRACE(removal == SimReceiver::RemovalError::DeletePending ? "delete pending"
                                                                         : "not connected");
        sim.SetRemovalError(removal);
        Connect(1);
        hid.SetReadTimeout(3000);
        std::uint8_t dest[65];
        std::memset(dest, 0xEE, sizeof(dest));
        DWORD pending = 0;
        long long ms = 0;
        std::thread reader([&] { ms = MillisecondsOf([&] { pending = hid.ReadHid(dest, 65); }); });
        Sleep(50);
        sim.Unplug();
        reader.join();
        EXPECT_EQ(HID_READ_DEVICE_GONE, pending) << "a read pending at the removal";
        EXPECT_LT(ms, 1500);
        EXPECT_EQ(Bytes(65, 0xEE), Bytes(dest, dest + 65));
        EXPECT_TRUE(hid.DeviceGone());

        hid.SetReadTimeout(20);
        EXPECT_EQ(HID_READ_DEVICE_GONE, hid.ReadHid(dest, 65)) << "a read started after it";
        EXPECT_EQ(0, SendShortCommand(hid, CMD_POLL, 0));

        sim.Plug(1);
        ASSERT_EQ(1, hid.FindDevice());
        EXPECT_TRUE(hid.DeviceGone()) << "the handles are still those of the removed receiver";
        ASSERT_EQ(1, hid.OpenDevice());
        EXPECT_FALSE(hid.DeviceGone());
        EXPECT_NE(0, SendShortCommand(hid, CMD_POLL, 0));
        sim.Unplug();
    }
}

TEST_F(LinkTest, FailedWriteIsNotARemoval) {
    Connect(1);
    sim.FailWrites(1);
    EXPECT_EQ(0, SendShortCommand(hid, CMD_POLL, 0));
    EXPECT_FALSE(hid.DeviceGone());
}

TEST_F(LinkTest, SearchThatFindsNothingLeavesNothingToWrite) {
    Connect(1);
    sim.Unplug();
    sim.Plug(1); // back, but the open handles belong to the removed receiver
    sim.Unplug();
    ASSERT_EQ(0, hid.FindDevice());
    const std::uint8_t poll[6] = {5, 0, CMD_POLL, 1, 0, 0};
    EXPECT_EQ(0, hid.WriteHid(poll, 6));
    hid.SetReadTimeout(20);
    std::uint8_t dest[65] = {};
    EXPECT_NE(HID_READ_OK, hid.ReadHid(dest, 65));
}

// A search that finds nothing for a moment, or finds the receiver's other collection,
// changes nothing for the receiver already open: its reports keep its own layout.
TEST_F(LinkTest, ASearchNeverDisturbsTheOpenReceiver) {
    Connect(2);
    const Bytes poll = {0x05, 0x00, CMD_POLL, 0x01, 0x00, 0x00};
    auto pollGoesAsBefore = [&] {
        sim.ClearWrites();
        return SendShortCommand(hid, CMD_POLL, 0) != 0 &&
               sim.AcceptedReports() == std::vector<Bytes>{Report(2, poll)};
    };
    sim.FailDetailQueries(-1);
    ASSERT_EQ(0, hid.FindDevice());
    EXPECT_TRUE(pollGoesAsBefore()) << "after a search that found nothing";
    sim.FailDetailQueries(0);
    sim.AddExtraInterface();
    EXPECT_EQ(1, hid.FindDevice()) << "the mode-2 receiver, not the other collection";
    EXPECT_EQ(2, hid.Mode());
    EXPECT_TRUE(pollGoesAsBefore()) << "after a search that saw the other collection";
}

TEST_F(LinkTest, ReopeningClosesTheHandlesItReplaces) {
    Connect(1);
    hid.OpenDevice();
    hid.OpenDevice();
    EXPECT_EQ(2u, sim.OpenHandles());
}

// A read in flight on a handle that OpenDevice replaces ends at once, as no report, and
// the replaced handle closes once it has ended.
TEST_F(LinkTest, ReadOnAReplacedHandleEndsWithoutAReport) {
    Connect(1);
    hid.SetReadTimeout(3000);
    std::uint8_t dest[65];
    std::memset(dest, 0xEE, sizeof(dest));
    DWORD result = 0;
    long long ms = 0;
    std::thread reader([&] { ms = MillisecondsOf([&] { result = hid.ReadHid(dest, 65); }); });
    ASSERT_TRUE(kxtest::WaitFor([&] { return sim.OutstandingReads() == 1; }));
    ASSERT_EQ(1, hid.OpenDevice());
    reader.join();
    EXPECT_NE(HID_READ_OK, result);
    EXPECT_NE(HID_READ_DEVICE_GONE, result);
    EXPECT_LT(ms, 1500);
    EXPECT_EQ(Bytes(65, 0xEE), Bytes(dest, dest + 65));
    EXPECT_EQ(2u, sim.OpenHandles());

    SendLinkFrame(hid, SUB_QUERY_VERSION, nullptr, 0);
    EXPECT_EQ(Payload(kVersionFrame), ReadPayload(12)) << "the new handle reads";
}

// Reports that arrive while nobody reads wait in the handle's buffer, in order.
TEST_F(LinkTest, ReportsWaitForTheNextRead) {
    Connect(1);
    sim.SendFrame({0x00, 0x19, 0x01, 0x00, 0x00});
    sim.SendFrame(kVersionFrame);
    Settle();
    EXPECT_EQ(Payload({0x00, 0x19, 0x01, 0x00, 0x00}), ReadPayload(6));
    EXPECT_EQ(Payload(kVersionFrame), ReadPayload(12));
}

} // namespace
