// Following WWAN interfaces through IP-interface notifications and the
// interface table.
#include "modem_fixture.h"

#include "tests/support/MachineTest.h"

namespace modem_test {
namespace {

using WwanTrackingTest = ModemTest;

TEST_F(WwanTrackingTest, NotificationsMarkOnlyWwanInterfacesAndARemovalResetsTheChannel) {
    constexpr ULONG kNoRow = 0;
    struct Case {
        ULONG type;
        int notification;      // 9: none the platform knows
        BYTE enabled, present; // before
        BYTE enabledAfter, presentAfter, supportedAfter;
        bool recomputed; // the channel was asked to compute again
    };
    const Case cases[] = {
        // While back-off is enabled the modem has its index: an arrival is ignored.
        {IF_TYPE_WWANPP, MibAddInstance, 1, 0, 1, 0, 0, false},
        {IF_TYPE_WWANPP2, MibAddInstance, 0, 0, 0, 1, 0, true},
        {IF_TYPE_WWANPP, MibAddInstance, 0, 1, 0, 1, 0, true},
        {IF_TYPE_ETHERNET_CSMACD, MibAddInstance, 0, 0, 0, 0, 0, false},
        {kNoRow, MibAddInstance, 0, 0, 0, 0, 0, false},
        {IF_TYPE_WWANPP, MibInitialNotification, 0, 0, 0, 0, 0, false},
        {IF_TYPE_WWANPP2, MibParameterNotification, 0, 1, 0, 1, 0, false},
        {IF_TYPE_WWANPP2, MibDeleteInstance, 1, 1, 0, 0, 1, false},
        {IF_TYPE_IEEE80211, MibDeleteInstance, 1, 1, 1, 1, 0, false},
        {kNoRow, MibDeleteInstance, 1, 1, 1, 1, 0, false},
        {IF_TYPE_WWANPP, 9, 0, 1, 0, 1, 0, false},
    };
    AddNotifier();
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "type " << c.type << ", notification " << c.notification);
        gBackoffEnabled.store(c.enabled);
        gWwanInterfacePresent.store(c.present);
        gSarSupported.store(0);
        MIB_IPINTERFACE_ROW row{};
        row.InterfaceLuid.Value = (ULONG64{c.type} << 48) | 0x123456; // the type: top 16 bits
        IpInterfaceChangeCallback(nullptr, c.type == kNoRow ? nullptr : &row,
                                  static_cast<MIB_NOTIFICATION_TYPE>(c.notification));
        EXPECT_EQ(gBackoffEnabled.load(), c.enabledAfter);
        EXPECT_EQ(gWwanInterfacePresent.load(), c.presentAfter);
        EXPECT_EQ(gSarSupported.load(), c.supportedAfter);
        EXPECT_EQ(ResendRequested(), c.recomputed);
    }
    EXPECT_TRUE(sim::TraceContains("UnKnown MibNotification"));
}

// The IP Helper's thread must not wait for a send, which holds the modem for
// up to three 10000 ms waits: the channels hear of the arrival at once, and
// the worker that holds the modem then delivers once.
TEST_F(WwanTrackingTest, AnArrivalAsksEveryModemChannelAtOnceAlsoWhileASendHoldsTheModem) {
    ModemWithWwan(2, 0);
    auto& sending = AddNotifier();
    auto& other = AddNotifier();
    HANDLE otherEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    other.ResendDataEvent = otherEvent;
    ASSERT_EQ(RegisterIpInterfaceChange(), NO_ERROR);
    ASSERT_TRUE(sim::Settle());
    const std::size_t delivered = sim::ip::DeliveredCount();
    sim::modem::Fail(Step::Enable, Behaviour{Outcome::Hold});
    sim::SetTimeScale(5.0); // the held enable's wait outlasts the bounded waits below

    std::thread worker = SendOnAWorker(sending, 3);
    using halvex::testing::WaitUntil;
    EXPECT_TRUE(WaitUntil([] { return sim::modem::Calls(Step::Enable) == 1; }));
    sim::ip::AddInterface(IF_TYPE_WWANPP2); // its IPv4 and its IPv6 interface
    const bool heard = WaitUntil([&] { return sim::ip::DeliveredCount() == delivered + 2; });
    const bool stillHeld = sim::modem::Outstanding(Step::Enable) == 1;
    EXPECT_TRUE(WaitUntil([] { return sim::modem::Release(Step::Enable) == 1; }));
    worker.join();
    ASSERT_TRUE(heard);
    EXPECT_TRUE(stillHeld);
    EXPECT_TRUE(ResendRequested());
    EXPECT_EQ(WaitForSingleObject(otherEvent, 0), WAIT_OBJECT_0);

    // The passes the arrival asked for find the antennas at the index already.
    EXPECT_TRUE(Send(sending, 3));
    EXPECT_TRUE(Send(other, 0));
    EXPECT_EQ(sim::modem::BackoffIndexes(), (std::vector<std::int32_t>{3, 3}));
    EXPECT_EQ(sim::modem::SetCount(), 1u);
    mNotifiers.clear();
    CloseHandle(otherEvent);
}

TEST_F(WwanTrackingTest, ARegistrationDeliversOneInitialNotificationAndAFailedOneLeavesNoHandle) {
    sim::ArmFault("NotifyIpInterfaceChange", sim::FaultSpec::Once(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(RegisterIpInterfaceChange(), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(gIpInterfaceChangeHandle, nullptr);
    EXPECT_EQ(sim::ip::RegistrationCount(), 0u);

    ASSERT_EQ(RegisterIpInterfaceChange(), NO_ERROR);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(sim::TraceCount("MibInitialNotification"), 1u);
    EXPECT_EQ(gWwanInterfacePresent.load(), 0);
    CancelMibChangeNotify2(gIpInterfaceChangeHandle);
    gIpInterfaceChangeHandle = nullptr;
}

TEST_F(WwanTrackingTest, StartScansTheTableWhichSetsTheFlagButOnlyStopClearsIt) {
    auto& channel = AddNotifier();
    sim::ip::AddInterface(IF_TYPE_ETHERNET_CSMACD);
    EXPECT_EQ(ScanForWwanInterface(), NO_ERROR);
    EXPECT_EQ(gWwanInterfacePresent.load(), 0);

    sim::ip::AddInterface(IF_TYPE_WWANPP2);
    sim::ArmFault("GetIfTable2", sim::FaultSpec::Once(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_TRUE(channel.Start()); // a failed table read does not fail the start
    EXPECT_TRUE(sim::TraceContains("GetIfTable2 failed", TRACE_LEVEL_ERROR));
    EXPECT_EQ(gWwanInterfacePresent.load(), 0);
    EXPECT_FALSE(ResendRequested());
    EXPECT_EQ(sim::FaultCalls("FreeMibTable"), 1u); // the first scan's table only
    EXPECT_TRUE(channel.Start());
    EXPECT_EQ(gWwanInterfacePresent.load(), 1);

    sim::ip::Reset(); // the adapter went while the device was away
    EXPECT_EQ(ScanForWwanInterface(), NO_ERROR);
    EXPECT_EQ(gWwanInterfacePresent.load(), 1);
    channel.Stop();
    channel.Start();
    EXPECT_EQ(gWwanInterfacePresent.load(), 0);
    EXPECT_EQ(sim::ip::OutstandingTables(), 0u);
}

// A scan that failed at the start must not leave the modem without its index
// until the interface next arrives: a send that knows of no interface looks
// once more, and only once.
TEST_F(WwanTrackingTest, ASendThatKnowsOfNoInterfaceScansOnceAndSendsWhenItFindsOne) {
    sim::modem::Install(2, 0);
    sim::ip::AddInterface(IF_TYPE_WWANPP);
    auto& channel = AddNotifier();
    sim::ArmFault("GetIfTable2", sim::FaultSpec::Once(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_TRUE(channel.Start());
    ASSERT_EQ(gWwanInterfacePresent.load(), 0);
    EXPECT_TRUE(Send(channel, 4));
    EXPECT_EQ(sim::modem::BackoffIndexes(), (std::vector<std::int32_t>{4, 4}));
    EXPECT_EQ(sim::FaultCalls("GetIfTable2"), 2u);
    EXPECT_TRUE(Send(channel, 5)); // known now: no scan
    EXPECT_EQ(sim::FaultCalls("GetIfTable2"), 2u);

    sim::ip::RemoveInterface(IF_TYPE_WWANPP);
    ASSERT_TRUE(sim::Settle());
    ASSERT_EQ(gWwanInterfacePresent.load(), 0);
    EXPECT_TRUE(Send(channel, 6));
    EXPECT_EQ(sim::FaultCalls("GetIfTable2"), 3u);
    EXPECT_EQ(sim::modem::BackoffIndexes(), (std::vector<std::int32_t>{5, 5}));
    EXPECT_TRUE(sim::TraceContains("No WWAN interface: back-off index 6 kept for later"));
    EXPECT_EQ(sim::ip::OutstandingTables(), 0u);
}

} // namespace
} // namespace modem_test
