// The options reach the simulated receiver, and each update that ends is reported on
// standard output and written to the --received file.
#include "DemoTestSupport.h"
#include "sim/SimOptions.h"
#include "sim/WholeFile.h"

#include <cstring>
#include <ostream>

namespace {

class SimApplyTest : public DemoLinkTest {
protected:
    // Parses the arguments, applies them, and finds and opens a receiver plugged in.
    void Start(std::vector<std::wstring> args) {
        args.insert(args.begin(), L"KestrixUpdaterSim.exe");
        std::vector<wchar_t*> argv;
        for (std::wstring& arg : args)
            argv.push_back(arg.data());
        SimOptions options;
        ASSERT_TRUE(ParseSimOptions(static_cast<int>(argv.size()), argv.data(), &options, nullptr));
        ApplySimOptions(options, sim);
        sim.SetRebootTime(20);
        if (sim.Present()) {
            ASSERT_EQ(1, hid.FindDevice());
            ASSERT_EQ(1, hid.OpenDevice());
        }
    }
    Bytes QueryVersion(DWORD timeoutMs = 500) {
        SendLinkFrame(hid, SUB_QUERY_VERSION, nullptr, 0);
        return ReadFrame(timeoutMs);
    }
};

TEST_F(SimApplyTest, StartsAbsentInModeTwoOrWithItsVersion) {
    Start({L"--absent", L"--mode", L"2"});
    EXPECT_EQ(0, hid.FindDevice());
    Start({L"--mode", L"2"});
    EXPECT_EQ(2, hid.Mode());
    Start({L"--version", L"0x00020089"});
    EXPECT_EQ(1, hid.Mode());
    EXPECT_EQ(Bytes({0x00, 0x16, 0x07, 0x00, 0x04, 0x04, 0x00, 0x89, 0x00, 0x02, 0x00}),
              QueryVersion());
}

// Another collection of the same device is passed over; a receiver whose capabilities
// cannot be read is not taken for one.
TEST_F(SimApplyTest, PresentsAnotherCollectionOrUnreadableCapabilities) {
    Start({L"--extra-interface"});
    EXPECT_EQ(sim.DevicePath(), hid.DevicePath());
    EXPECT_EQ(1, hid.Mode());
    sim.Unplug();
    Start({L"--caps-unreadable", L"--absent"});
    sim.Plug(1);
    EXPECT_EQ(0, hid.FindDevice());
}

TEST_F(SimApplyTest, AnswersLateOrNever) {
    Start({L"--latency-ms", L"300"});
    EXPECT_TRUE(QueryVersion(60).empty());
    EXPECT_EQ(11u, ReadFrame(1000).size());
    Start({L"--silent"});
    EXPECT_TRUE(QueryVersion(300).empty());
}

struct EndCase {
    const char* name;
    std::vector<std::wstring> args;
    Bytes lastReply; // the reply that asked for no further block; empty: none came
    bool finish;     // the host then sends SUB_FINISH
    std::uint32_t received;
    const char* finished;
};

void PrintTo(const EndCase& c, std::ostream* os) {
    *os << c.name;
}

class UpdateEndTest : public SimApplyTest, public ::testing::WithParamInterface<EndCase> {};

TEST_P(UpdateEndTest, PrintsOneLineAndWritesWhatArrived) {
    const EndCase& c = GetParam();
    TempDir dir, elsewhere;
    StdoutCapture out;
    {
        ScopedCurrentDirectory start(dir.Path(L""));
        std::vector<std::wstring> args = c.args;
        args.insert(args.end(), {L"--received", L"received.dat"});
        Start(args);
    }
    // The file chooser moves the current directory; the file stays where it was meant.
    ScopedCurrentDirectory moved(elsewhere.Path(L""));

    const Bytes file = SmallImage();
    EXPECT_EQ(c.lastReply, SendImage(file));
    if (c.finish)
        SendLinkFrame(hid, SUB_FINISH, nullptr, 0);

    char line[128];
    snprintf(line, sizeof(line),
             "receiver: received %u data bytes, version word 0x00030087, finished %s\n", c.received,
             c.finished);
    EXPECT_EQ(line, out.WaitForLines(1));
    Bytes written;
    ASSERT_EQ(0u, ReadWholeFile(dir.Path(L"received.dat"), &written));
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 28 + c.received), written);
    // One line per update: nothing more follows, the reboot included.
    ASSERT_TRUE(kxtest::WaitFor([&] { return sim.Idle(); }));
    EXPECT_EQ(line, out.WaitForLines(2, 200));
}

INSTANTIATE_TEST_SUITE_P(
    Sim, UpdateEndTest,
    ::testing::Values(
        EndCase{"finished", {}, DemoLinkTest::Request(128), true, 128, "yes"},
        EndCase{"ack", {L"--ack-finish"}, {0x00, 0x14, 0x01, 0x00, 0x32}, true, 128, "yes"},
        EndCase{"fail", {L"--fail-at", L"2:0x18"}, {0x00, 0x16, 0x01, 0x00, 0x18}, false, 32, "no"},
        EndCase{"unplug", {L"--unplug-at", L"3"}, {}, false, 96, "no"}),
    [](const ::testing::TestParamInfo<EndCase>& info) { return std::string(info.param.name); });

} // namespace
