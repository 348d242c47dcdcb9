// The simulated receiver's side of the protocol, driven through the link as the update
// logic drives it.
#include "LinkFixture.h"
#include "support/ReceiverFrames.h"

#include <dbt.h>

#include <algorithm>
#include <cstring>

namespace {

const Bytes kReady = kxtest::ReadyFrame();

Bytes Request(std::uint32_t offset) {
    return kxtest::DataRequestFrame(offset);
}

// An image file: version 1.35 beta 3, DataLength 100, and 128 data bytes.
Bytes ImageFile() {
    Bytes file = {0x87, 0x00, 0x03, 0x00, 0x01, 0x02, 0x03, 0x04,
                  100,  0,    0,    0,    0x0A, 0x0B, 0x0C, 0x0D};
    for (int i = 0; i < 12 + 128; ++i) {
        file.push_back(static_cast<std::uint8_t>(i * 7));
    }
    return file;
}

class ReceiverProtocolTest : public LinkTest {
protected:
    Bytes Start(const Bytes& file) {
        EXPECT_NE(0, SendShortCommand(hid, CMD_START_UPDATE, 0));
        EXPECT_EQ(kReady, ReadFrame());
        FirmwareHeader header;
        std::memcpy(&header, file.data(), sizeof(header));
        SendHeaderFrame(hid, header);
        return ReadFrame();
    }
    // Answers each request with the next block while it keeps asking; returns the reply
    // that did not ask for the next block.
    Bytes SendBlocks(const Bytes& file, Bytes reply, int* blocks) {
        std::size_t offset = 28;
        while (reply == Request(static_cast<std::uint32_t>(offset - 28)) && offset < file.size()) {
            SendDataFrame(hid, file.data() + offset, 32);
            offset += 32;
            ++*blocks;
            reply = ReadFrame();
        }
        return reply;
    }
    std::uint32_t QueryVersion() {
        SendLinkFrame(hid, SUB_QUERY_VERSION, nullptr, 0);
        const Bytes reply = ReadFrame();
        if (reply.size() != 11) {
            return 0;
        }
        std::uint32_t version;
        std::memcpy(&version, reply.data() + 7, 4);
        return version;
    }
};

class WholeUpdateTest : public ReceiverProtocolTest, public ::testing::WithParamInterface<bool> {};

TEST_P(WholeUpdateTest, EndsWithAFinishAndAReboot) {
    const bool endWithAck = GetParam();
    int ended = 0;
    sim.OnUpdateEnded([&](const SimUpdateResult& r) { ended += r.Finished; });
    sim.SetEndWithAck(endWithAck);
    sim.SetRebootTime(20);
    Connect(1);
    EXPECT_EQ(0x86u, QueryVersion());

    const Bytes file = ImageFile();
    int blocks = 0;
    const Bytes last = SendBlocks(file, Start(file), &blocks);
    EXPECT_EQ(4, blocks);
    EXPECT_EQ(endWithAck ? Bytes({0x00, 0x14, 0x01, 0x00, 0x32}) : Request(128), last);

    SendLinkFrame(hid, SUB_FINISH, nullptr, 0);
    ASSERT_TRUE(kxtest::WaitFor([&] { return ended == 1 && sim.Present() && sim.Idle(); }));
    EXPECT_EQ(file, sim.ReceivedImage());
    const SimUpdateResult result = sim.LastUpdate();
    EXPECT_TRUE(result.Finished);
    EXPECT_EQ(128u, result.DataBytes);
    EXPECT_EQ(0x00030087u, result.VersionWord);

    // Rebooted: the old handles are gone, and it reports the version it received.
    EXPECT_EQ(0, SendShortCommand(hid, CMD_POLL, 0));
    EXPECT_TRUE(hid.DeviceGone());
    ASSERT_EQ(1, hid.FindDevice());
    ASSERT_EQ(1, hid.OpenDevice());
    EXPECT_EQ(0x00030087u, QueryVersion());
}

INSTANTIATE_TEST_SUITE_P(Sim, WholeUpdateTest, ::testing::Values(false, true));

TEST_F(ReceiverProtocolTest, FailureReplacesTheNthRequest) {
    struct Case {
        int at;
        std::uint8_t sub;
        int blocks;
    } cases[] = {{1, 0x15, 0}, {3, 0x18, 2}};
    for (const Case& c : cases) {
        sim.FailAtDataRequest(c.at, c.sub);
        Connect(1);
        const Bytes file = ImageFile();
        int blocks = 0;
        EXPECT_EQ(Bytes({0x00, 0x16, 0x01, 0x00, c.sub}), SendBlocks(file, Start(file), &blocks));
        EXPECT_EQ(c.blocks, blocks);
        EXPECT_EQ(c.sub, sim.LastUpdate().FailureSubCode);
        EXPECT_TRUE(sim.LastUpdate().Ended);
    }
}

TEST_F(ReceiverProtocolTest, LeavesAfterTheNthBlock) {
    sim.UnplugAfterBlocks(2);
    Connect(1);
    const Bytes file = ImageFile();
    int blocks = 0;
    EXPECT_TRUE(SendBlocks(file, Start(file), &blocks).empty());
    EXPECT_EQ(2, blocks);
    std::uint8_t dest[65];
    EXPECT_EQ(HID_READ_DEVICE_GONE, hid.ReadHid(dest, 65));
    EXPECT_TRUE(sim.LastUpdate().Unplugged);
    EXPECT_FALSE(sim.Present());
}

TEST_F(ReceiverProtocolTest, SilentReceiverNeverAnswers) {
    sim.SetSilent(true);
    Connect(1);
    EXPECT_EQ(0u, QueryVersion());
    EXPECT_EQ(1u, sim.AcceptedReports().size());
}

// On the USB frame model each write completes at the start of the next 1 ms frame and
// each answer reaches the host at the start of a frame after that: from a block's write
// to the request after it is more than a frame and, with a prompt host, about two.
TEST_F(ReceiverProtocolTest, UsbFramesTakeTwoFramesFromABlockToTheNextRequest) {
    sim.SetUsbFrames(true);
    sim.RecordTransferTimes(true);
    Connect(1);
    constexpr std::uint32_t kBlocks = 100;
    Bytes file = ImageFile();
    file.resize(28 + kBlocks * 32, 0x5A);
    file[8] = static_cast<std::uint8_t>(kBlocks * 32);
    file[9] = static_cast<std::uint8_t>((kBlocks * 32) >> 8);
    int blocks = 0;
    EXPECT_EQ(Request(kBlocks * 32), SendBlocks(file, Start(file), &blocks));
    EXPECT_EQ(static_cast<int>(kBlocks), blocks);
    EXPECT_EQ(SimDigest(file.data() + 28, kBlocks * 32), sim.LastUpdate().DataDigest);

    const SimTransferTimes times = sim.TransferTimes();
    ASSERT_EQ(kBlocks, times.BlocksWritten.size());
    ASSERT_EQ(kBlocks + 1, times.RequestsRead.size());
    std::vector<double> gaps; // in frames
    for (std::size_t i = 0; i < kBlocks; ++i)
        gaps.push_back(SimCounterSeconds(times.RequestsRead[i + 1] - times.BlocksWritten[i]) *
                       1000.0);
    std::sort(gaps.begin(), gaps.end());
    EXPECT_GT(gaps.front(), 0.99);
    EXPECT_LT(gaps[gaps.size() / 2], 2.5);
}

TEST_F(ReceiverProtocolTest, AnswersAfterItsLatency) {
    sim.SetReplyLatency(150);
    Connect(1);
    SendLinkFrame(hid, SUB_QUERY_VERSION, nullptr, 0);
    EXPECT_TRUE(ReadFrame(40).empty());
    EXPECT_EQ(11u, ReadFrame(1000).size());
}

TEST_F(ReceiverProtocolTest, GarbageAndShortFramesPrecedeEachReply) {
    sim.SetGarbageFrames(true);
    Connect(1);
    SendLinkFrame(hid, SUB_QUERY_VERSION, nullptr, 0);
    EXPECT_EQ(Payload({0xA5, 0x16, 0x01, 0x00, 0x14}), ReadPayload(6));
    EXPECT_EQ(Bytes(6, 0x00), ReadPayload(6));
    EXPECT_EQ(Payload({0x00, 0x04}), ReadPayload(3));
    EXPECT_EQ(11u, ReadFrame().size());
}

TEST_F(ReceiverProtocolTest, ModeTwoReceiverOnlyHearsTheSwitch) {
    NotifyWindow window;
    hid.m_hNotifyWnd = window.Handle();
    sim.SetRebootTime(20);
    // Arrivals and removals, without the devnodes broadcasts.
    auto interfaceEvents = [&] {
        std::vector<NotifyWindow::Event> events;
        for (const NotifyWindow::Event& e : window.Events()) {
            if (e.Kind != DBT_DEVNODES_CHANGED) {
                events.push_back(e);
            }
        }
        return events;
    };
    Connect(2);
    Settle();
    const std::size_t before = interfaceEvents().size();
    const std::wstring modeTwoPath = sim.DevicePath();
    EXPECT_EQ(0u, QueryVersion());
    ASSERT_EQ(1, RequestModeSwitch(hid));
    ASSERT_TRUE(kxtest::WaitFor([&] { return sim.Present() && sim.Idle(); }));

    std::vector<NotifyWindow::Event> events = interfaceEvents();
    ASSERT_GE(events.size(), before);
    events.erase(events.begin(), events.begin() + static_cast<std::ptrdiff_t>(before));
    ASSERT_EQ(2u, events.size()); // left, then back in mode 1
    EXPECT_EQ(DBT_DEVICEREMOVECOMPLETE, events[0].Kind);
    EXPECT_EQ(modeTwoPath, events[0].Path);
    EXPECT_EQ(DBT_DEVICEARRIVAL, events[1].Kind);
    EXPECT_EQ(sim.DevicePath(), events[1].Path);
    EXPECT_NE(modeTwoPath, sim.DevicePath());
    ASSERT_EQ(1, hid.FindDevice());
    EXPECT_EQ(1, hid.Mode());
}

} // namespace
