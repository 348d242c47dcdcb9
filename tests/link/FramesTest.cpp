// Report bytes as they reach the receiver: the report layout of both modes and the
// frames of every sender.
#include "LinkFixture.h"
#include "link/ByteOrder.h"

#include <atomic>
#include <cstring>
#include <thread>

namespace {

TEST(StoreBigEndian32, WritesMostSignificantByteFirst) {
    struct Case {
        Bytes in, out;
    } cases[] = {{{0x78, 0x56, 0x34, 0x12}, {0x12, 0x34, 0x56, 0x78}},
                 {{0x86, 0x00, 0x03, 0x00}, {0x00, 0x03, 0x00, 0x86}},
                 {{0x00, 0x00, 0x00, 0x80}, {0x80, 0x00, 0x00, 0x00}}};
    for (Case& c : cases) {
        StoreBigEndian32(c.in.data());
        EXPECT_EQ(c.out, c.in);
    }
}

TEST_F(LinkTest, WriteHidPadsToTheModesReport) {
    const Bytes six = {1, 2, 3, 4, 5, 6};
    for (int mode : {1, 2}) {
        sim.ClearWrites();
        Connect(mode);
        EXPECT_NE(0, hid.WriteHid(six.data(), 6));
        const auto reports = sim.AcceptedReports();
        ASSERT_EQ(1u, reports.size()) << "mode " << mode;
        EXPECT_EQ(Report(mode, six), reports[0]) << "mode " << mode;
        EXPECT_EQ(mode == 2 ? 65u : 64u, reports[0].size());
    }
}

TEST_F(LinkTest, SendersStageAndWriteTheirFrames) {
    Connect(1);
    EXPECT_NE(0, SendShortCommand(hid, CMD_POLL, 0));
    EXPECT_EQ(1, SendLinkFrame(hid, SUB_QUERY_VERSION, nullptr, 0));
    const std::uint8_t block[3] = {0xA1, 0xB2, 0xC3};
    EXPECT_EQ(1, SendDataFrame(hid, block, 3));

    const auto reports = sim.AcceptedReports();
    ASSERT_EQ(3u, reports.size());
    EXPECT_EQ(Report(1, {0x05, 0x00, 0x1D, 0x01, 0x00, 0x00}), reports[0]);
    EXPECT_EQ(Report(1, {0x05, 0x00, 0x16, 0x01, 0x00, 0x04}), reports[1]);
    EXPECT_EQ(Report(1, {0x0A, 0x00, 0x16, 0x06, 0x00, 0x00, 0x03, 0x00, 0xA1, 0xB2, 0xC3}),
              reports[2]);
}

TEST_F(LinkTest, HeaderGoesWholeWithItsFirstFourWordsBigEndian) {
    Connect(1);
    const Bytes file = {0x86, 0x00, 0x03, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x02,
                        0x00, 0x00, 0x44, 0x33, 0x22, 0x11, 1,    2,    3,    4,
                        5,    6,    7,    8,    9,    10,   11,   12};
    FirmwareHeader header;
    std::memcpy(&header, file.data(), sizeof(header));
    SendHeaderFrame(hid, header);
    EXPECT_EQ(0, std::memcmp(&header, file.data(), sizeof(header))) << "caller's copy unchanged";

    const Bytes expected = {0x23, 0x00, 0x16, 0x1F, 0x00, 0x01, 0x1C, 0x00, // count, frame head
                            0x00, 0x03, 0x00, 0x86, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00,
                            0x02, 0x00, 0x11, 0x22, 0x33, 0x44, 1,    2,    3,    4,
                            5,    6,    7,    8,    9,    10,   11,   12};
    const auto reports = sim.AcceptedReports();
    ASSERT_EQ(1u, reports.size());
    EXPECT_EQ(Report(1, expected), reports[0]);
}

TEST_F(LinkTest, LongDataFrameTravelsInPiecesAndStopsAtAFailedWrite) {
    Connect(1);
    Bytes payload(43); // 43 + 7 = a 50-byte frame
    for (std::size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<std::uint8_t>(0x40 + i);
    }
    Bytes frame = {0x00, 0x16, 46, 0x00, 0x00, 43, 0x00};
    frame.insert(frame.end(), payload.begin(), payload.end());

    EXPECT_EQ(1, SendLinkFrame(hid, SUB_DATA, payload.data(), 43));
    auto reports = sim.AcceptedReports();
    ASSERT_EQ(2u, reports.size());
    Bytes first = {39};
    first.insert(first.end(), frame.begin(), frame.begin() + 39);
    Bytes second = {11};
    second.insert(second.end(), frame.begin() + 39, frame.end());
    EXPECT_EQ(Report(1, first), reports[0]);
    EXPECT_EQ(Report(1, second), reports[1]);

    sim.ClearWrites();
    sim.FailWrites(1);
    EXPECT_EQ(0, SendLinkFrame(hid, SUB_DATA, payload.data(), 43));
    EXPECT_EQ(1u, sim.Writes().size()) << "the second piece is not sent";
    EXPECT_TRUE(sim.AcceptedReports().empty());
}

TEST_F(LinkTest, FramesThatDoNotFitAreNotSent) {
    Connect(1);
    Bytes big(2000, 0x55);
    EXPECT_EQ(0, SendLinkFrame(hid, SUB_HEADER, big.data(), 57)); // 64 frame bytes: over one report
    EXPECT_EQ(0, SendLinkFrame(hid, SUB_DATA, big.data(), 1018)); // over the frame buffer
    EXPECT_EQ(0, SendDataFrame(hid, big.data(), 0x80000000u));
    EXPECT_TRUE(sim.Writes().empty());
}

TEST_F(LinkTest, SendersWithoutADeviceWriteNothing) {
    sim.Plug(1);
    EXPECT_EQ(0, SendShortCommand(hid, CMD_POLL, 0)) << "nothing found, nothing open";
    EXPECT_EQ(0, SendLinkFrame(hid, SUB_FINISH, nullptr, 0));
    EXPECT_EQ(0, RequestModeSwitch(hid));
    EXPECT_TRUE(sim.Writes().empty());
}

TEST_F(LinkTest, ModeSwitchGoesOnlyToAModeTwoReceiver) {
    Connect(1);
    EXPECT_EQ(0, RequestModeSwitch(hid));
    EXPECT_TRUE(sim.Writes().empty());

    sim.SetRebootTime(20);
    sim.Plug(2);
    ASSERT_EQ(1, hid.FindDevice());
    EXPECT_EQ(1, RequestModeSwitch(hid));
    const auto reports = sim.AcceptedReports();
    ASSERT_EQ(1u, reports.size());
    EXPECT_EQ(Report(2, {0x05, 0x00, 0x50, 0x01, 0x00, 0x00}), reports[0]);

    // The receiver comes back in mode 1, and the switch is not sent to it again.
    ASSERT_TRUE(kxtest::WaitFor([&] { return sim.Present() && sim.Mode() == 1; }));
    EXPECT_EQ(1, hid.FindDevice());
    EXPECT_EQ(1, hid.Mode());
    EXPECT_EQ(0, RequestModeSwitch(hid));
}

// Two threads send frames at once; every report must carry one whole frame of one sender.
TEST_F(LinkTest, ConcurrentSendersNeverMixTheirBytes) {
    Connect(1);
    constexpr int kFrames = 2000;
    auto sender = [this](std::uint8_t fill) {
        std::uint8_t block[32];
        std::memset(block, fill, sizeof(block));
        for (int i = 0; i < kFrames; ++i) {
            SendDataFrame(hid, block, sizeof(block));
        }
    };
    std::thread a(sender, 0xAA), b(sender, 0xBB);
    for (int i = 0; i < kFrames; ++i) {
        SendShortCommand(hid, CMD_POLL, 0);
    }
    a.join();
    b.join();
    const auto reports = sim.AcceptedReports();
    ASSERT_EQ(3u * kFrames, reports.size());
    for (const Bytes& r : reports) {
        if (r[3] == CMD_POLL) {
            EXPECT_EQ(Report(1, {0x05, 0x00, 0x1D, 0x01, 0x00, 0x00}), r);
            continue;
        }
        Bytes expected = {39, 0x00, 0x16, 35, 0x00, 0x00, 32, 0x00};
        expected.resize(40, r[9]);
        ASSERT_EQ(Report(1, expected), r);
        EXPECT_TRUE(r[9] == 0xAA || r[9] == 0xBB);
    }
}

} // namespace
