// Finding the receiver among the HID devices, and the notification registration.
#include "LinkFixture.h"

#include <dbt.h>

namespace {

const std::uint16_t V = kDeviceTable[0].VendorID;
const std::uint16_t P = kDeviceTable[0].ProductID;

TEST_F(LinkTest, NoReceiverFindsNothingButRegistersOnce) {
    NotifyWindow window;
    hid.m_hNotifyWnd = window.Handle();
    EXPECT_EQ(0, hid.FindDevice());
    EXPECT_EQ(0, hid.m_bFound);
    EXPECT_EQ(0, hid.Mode());
    EXPECT_EQ(0, hid.FindDevice());
    EXPECT_EQ(1, sim.RegisterCalls());
    EXPECT_EQ(1u, sim.Registrations());
    EXPECT_EQ(0u, sim.OpenHandles());
    EXPECT_EQ(0u, sim.OpenInfoSets());
}

TEST_F(LinkTest, FailedRegistrationIsNotRetried) {
    // No window named: the registration fails, and is not tried again.
    EXPECT_EQ(0, hid.FindDevice());
    sim.Plug(1);
    EXPECT_EQ(1, hid.FindDevice());
    EXPECT_EQ(1, sim.RegisterCalls());
    EXPECT_EQ(0u, sim.Registrations());
}

struct PresenceCase {
    const char* name;
    int receiverMode; // 0: no receiver
    std::vector<SimOtherDevice> others;
    int found;
    int mode;
    bool receiverPath; // the receiver (not another device) was chosen
};

void PrintTo(const PresenceCase& c, std::ostream* os) {
    *os << c.name;
}

class PresenceTest : public LinkTest, public ::testing::WithParamInterface<PresenceCase> {};

TEST_P(PresenceTest, MatchesTheTableInOrder) {
    const PresenceCase& c = GetParam();
    for (const SimOtherDevice& other : c.others) {
        sim.AddOtherDevice(other);
    }
    if (c.receiverMode) {
        sim.Plug(c.receiverMode);
    }
    EXPECT_EQ(c.found, hid.FindDevice());
    EXPECT_EQ(c.found, hid.m_bFound);
    EXPECT_EQ(c.mode, hid.Mode());
    EXPECT_EQ(c.mode, hid.LastMode());
    if (c.receiverPath) {
        EXPECT_EQ(sim.DevicePath(), hid.DevicePath());
    }
    EXPECT_EQ(0u, sim.OpenHandles()) << "probe handles are closed";
    EXPECT_EQ(0u, sim.OpenInfoSets());
    EXPECT_EQ(0u, sim.OpenPreparsedData());
}

INSTANTIATE_TEST_SUITE_P(
    Link, PresenceTest,
    ::testing::Values(
        PresenceCase{"mode1", 1, {}, 1, 1, true}, PresenceCase{"mode2only", 2, {}, 1, 2, true},
        // The mode-2 numbers enumerate first, yet the mode-1 row wins.
        PresenceCase{"both", 1, {{V, static_cast<std::uint16_t>(P + 1)}}, 1, 1, true},
        // Devices that cannot be opened, or whose attributes cannot be read, are passed
        // over even when they would carry the receiver's numbers.
        PresenceCase{
            "skipsOthers", 1, {{0x046D, 0xC52B}, {V, P, false}, {V, P, true, false}}, 1, 1, true},
        PresenceCase{"onlyOthers", 0, {{0x046D, 0xC52B}, {V, P, false}}, 0, 0, false},
        // Another collection with the receiver's numbers but its own report lengths, or
        // with capabilities that cannot be read, is not the receiver.
        PresenceCase{"otherCollections", 1, {{V, P}, {V, P, true, true, 0, 64, false}}, 1, 1, true},
        PresenceCase{"onlyOtherCollections", 0, {{V, P}, {V, P, true, true, 0, 64, false}}, 0, 0,
                     false}),
    [](const ::testing::TestParamInfo<PresenceCase>& info) { return info.param.name; });

TEST_F(LinkTest, AReceiverWhoseCapabilitiesCannotBeReadIsNotFound) {
    sim.SetCapsReadable(false);
    sim.Plug(1);
    EXPECT_EQ(0, hid.FindDevice());
    sim.SetCapsReadable(true);
    EXPECT_EQ(1, hid.FindDevice());
    EXPECT_EQ(0u, sim.OpenPreparsedData());
}

TEST_F(LinkTest, SearchAfterUnplugKeepsTheLastMode) {
    sim.Plug(2);
    ASSERT_EQ(1, hid.FindDevice());
    sim.Unplug();
    EXPECT_EQ(0, hid.FindDevice());
    EXPECT_EQ(0, hid.m_bFound);
    EXPECT_EQ(0, hid.Mode());
    EXPECT_EQ(2, hid.LastMode());
}

struct DetailCase {
    const char* name;
    int receiverFailures; // detail queries of the receiver's interface that fail
    int otherFailures;    // of a device enumerated before the receiver
    int found;
};

void PrintTo(const DetailCase& c, std::ostream* os) {
    *os << c.name;
}

class DetailQueryTest : public LinkTest, public ::testing::WithParamInterface<DetailCase> {};

TEST_P(DetailQueryTest, RetriesAFewTimesThenMovesOn) {
    const DetailCase& c = GetParam();
    SimOtherDevice other;
    other.DetailFailures = c.otherFailures;
    sim.AddOtherDevice(other);
    sim.FailDetailQueries(c.receiverFailures);
    sim.Plug(1);
    EXPECT_EQ(c.found, hid.FindDevice());
    // However often a query fails, each interface costs a bounded number of them.
    EXPECT_LE(sim.DetailQueries(), 2 * 2 * 4);
    EXPECT_EQ(0u, sim.OpenInfoSets());
}

INSTANTIATE_TEST_SUITE_P(Link, DetailQueryTest,
                         ::testing::Values(DetailCase{"receiverFailsTwice", 2, 0, 1},
                                           DetailCase{"otherKeepsFailing", 0, 50, 1},
                                           DetailCase{"receiverKeepsFailing", 50, 0, 0}),
                         [](const ::testing::TestParamInfo<DetailCase>& info) {
                             return info.param.name;
                         });

TEST_F(LinkTest, WindowHearsArrivalRemovalAndDevnodesChanges) {
    NotifyWindow window;
    hid.m_hNotifyWnd = window.Handle();
    hid.FindDevice();
    sim.Plug(1);
    ASSERT_TRUE(kxtest::WaitFor([&] { return window.Has(DBT_DEVICEARRIVAL); }));
    sim.Unplug();
    ASSERT_TRUE(kxtest::WaitFor([&] { return window.Has(DBT_DEVICEREMOVECOMPLETE); }));
    Settle();
    int arrivals = 0;
    for (const NotifyWindow::Event& event : window.Events()) {
        if (event.Kind != DBT_DEVNODES_CHANGED) {
            EXPECT_EQ(sim.DevicePath(), event.Path);
            arrivals += event.Kind == DBT_DEVICEARRIVAL;
        }
    }
    EXPECT_EQ(1, arrivals);
    EXPECT_TRUE(window.Has(DBT_DEVNODES_CHANGED));
}

TEST(LinkLifetime, DestructorEndsRegistrationAndClosesHandles) {
    SimReceiver sim;
    ScopedDeviceApi seam(sim);
    NotifyWindow window;
    sim.Plug(1);
    {
        CHid hid;
        hid.m_hNotifyWnd = window.Handle();
        ASSERT_EQ(1, hid.FindDevice());
        ASSERT_EQ(1, hid.OpenDevice());
        EXPECT_EQ(1u, sim.Registrations());
        EXPECT_EQ(2u, sim.OpenHandles());
    }
    EXPECT_EQ(0u, sim.Registrations());
    EXPECT_EQ(0u, sim.OpenHandles());
}

} // namespace

// The real system's table, under Wine, where no receiver is attached: the search walks
// the system's HID interfaces, registers the window and finds nothing.
TEST(RealSystem, SearchWithoutReceiverFindsNothing) {
    NotifyWindow window;
    CHid hid;
    hid.m_hNotifyWnd = window.Handle();
    EXPECT_EQ(0, hid.FindDevice());
    EXPECT_EQ(0, hid.Mode());
    EXPECT_EQ(0, hid.OpenDevice());
    std::uint8_t dest[65];
    EXPECT_EQ(HID_READ_NOT_OPEN, hid.ReadHid(dest, 65));
}
