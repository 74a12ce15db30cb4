// Following WWAN interfaces through IP-interface notifications and the
// interface table.
#include "modem_fixture.h"

namespace modem_test {
namespace {

class WwanTrackingTest : public ModemTest {
protected:
    void TearDown() override {
        if (gIpInterfaceChangeHandle != nullptr) {
            CancelMibChangeNotify2(gIpInterfaceChangeHandle);
            gIpInterfaceChangeHandle = nullptr;
        }
        ModemTest::TearDown();
    }

    void Deliver(ULONG type, MIB_NOTIFICATION_TYPE notification) {
        MIB_IPINTERFACE_ROW row{};
        row.InterfaceLuid.Value = (ULONG64{type} << 48) | 0x123456; // the type is the top 16 bits
        IpInterfaceChangeCallback(nullptr, &row, notification);
    }
};

TEST_F(WwanTrackingTest, RegistrationDeliversOneInitialNotificationThatOnlyTraces) {
    ASSERT_EQ(RegisterIpInterfaceChange(), NO_ERROR);
    ASSERT_NE(gIpInterfaceChangeHandle, nullptr);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(sim::TraceCount("MibInitialNotification"), 1u);
    EXPECT_EQ(gWwanInterfacePresent.load(), 0);
}

TEST_F(WwanTrackingTest, NoCallbackRunsAfterTheRegistrationIsCancelled) {
    ASSERT_EQ(RegisterIpInterfaceChange(), NO_ERROR);
    for (int i = 0; i < 20; ++i) {
        sim::ip::AddInterface(IF_TYPE_WWANPP);
    }
    ASSERT_EQ(CancelMibChangeNotify2(gIpInterfaceChangeHandle), NO_ERROR);
    gIpInterfaceChangeHandle = nullptr;
    std::size_t delivered = sim::ip::DeliveredCount();
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(sim::ip::DeliveredCount(), delivered);
}

TEST_F(WwanTrackingTest, FailedRegistrationLeavesNoHandle) {
    sim::ArmFault("NotifyIpInterfaceChange", sim::FaultSpec::Once(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(RegisterIpInterfaceChange(), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(gIpInterfaceChangeHandle, nullptr);
    EXPECT_EQ(sim::ip::RegistrationCount(), 0u);
}

TEST_F(WwanTrackingTest, DualStackAdapterArrivesAndLeavesTwice) {
    ASSERT_EQ(RegisterIpInterfaceChange(), NO_ERROR);
    gSarSupported.store(0);

    sim::ip::AddInterface(IF_TYPE_WWANPP);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(sim::TraceCount("MibAddInstance"), 2u);
    EXPECT_EQ(gWwanInterfacePresent.load(), 1);

    gBackoffEnabled.store(1);
    sim::ip::RemoveInterface(IF_TYPE_WWANPP);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(sim::TraceCount("MibDeleteInstance"), 2u);
    EXPECT_EQ(gWwanInterfacePresent.load(), 0);
    EXPECT_EQ(gBackoffEnabled.load(), 0);
    EXPECT_EQ(gSarSupported.load(), 1);
}

TEST_F(WwanTrackingTest, OnlyWwanTypesCount) {
    ASSERT_EQ(RegisterIpInterfaceChange(), NO_ERROR);
    sim::ip::AddInterface(IF_TYPE_ETHERNET_CSMACD);
    sim::ip::AddInterface(IF_TYPE_IEEE80211);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(gWwanInterfacePresent.load(), 0);

    sim::ip::AddInterface(IF_TYPE_WWANPP2);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(gWwanInterfacePresent.load(), 1);

    gBackoffEnabled.store(1);
    sim::ip::RemoveInterface(IF_TYPE_ETHERNET_CSMACD);
    sim::ip::RemoveInterface(IF_TYPE_IEEE80211);
    sim::ip::ChangeInterfaceParameters(IF_TYPE_WWANPP2);
    ASSERT_TRUE(sim::Settle());
    EXPECT_EQ(gWwanInterfacePresent.load(), 1);
    EXPECT_EQ(gBackoffEnabled.load(), 1);
}

TEST_F(WwanTrackingTest, ArrivalSetsTheFlagOnlyWhileBackoffIsDisabled) {
    gBackoffEnabled.store(1);
    Deliver(IF_TYPE_WWANPP, MibAddInstance);
    EXPECT_EQ(gWwanInterfacePresent.load(), 0);
    EXPECT_EQ(gBackoffEnabled.load(), 1);

    gBackoffEnabled.store(0);
    Deliver(IF_TYPE_WWANPP2, MibAddInstance);
    EXPECT_EQ(gWwanInterfacePresent.load(), 1);
    Deliver(IF_TYPE_WWANPP2, MibParameterNotification);
    EXPECT_EQ(gWwanInterfacePresent.load(), 1);
    Deliver(IF_TYPE_WWANPP2, MibDeleteInstance);
    EXPECT_EQ(gWwanInterfacePresent.load(), 0);
}

TEST_F(WwanTrackingTest, NullRowsAndUnknownNotificationsOnlyTrace) {
    gBackoffEnabled.store(1);
    IpInterfaceChangeCallback(nullptr, nullptr, MibDeleteInstance); // type 0
    IpInterfaceChangeCallback(nullptr, nullptr, MibAddInstance);
    Deliver(IF_TYPE_WWANPP, static_cast<MIB_NOTIFICATION_TYPE>(9));
    EXPECT_EQ(gWwanInterfacePresent.load(), 0);
    EXPECT_EQ(gBackoffEnabled.load(), 1);
    EXPECT_TRUE(sim::TraceContains("UnKnown MibNotification"));
}

TEST_F(WwanTrackingTest, ScanSetsButNeverClearsTheFlag) {
    sim::ip::AddInterface(IF_TYPE_ETHERNET_CSMACD);
    EXPECT_EQ(ScanForWwanInterface(), NO_ERROR);
    EXPECT_EQ(gWwanInterfacePresent.load(), 0);

    sim::ip::AddInterface(IF_TYPE_WWANPP2);
    EXPECT_EQ(ScanForWwanInterface(), NO_ERROR);
    EXPECT_EQ(gWwanInterfacePresent.load(), 1);

    sim::ip::Reset();
    EXPECT_EQ(ScanForWwanInterface(), NO_ERROR);
    EXPECT_EQ(gWwanInterfacePresent.load(), 1);
    EXPECT_EQ(sim::ip::OutstandingTables(), 0u);
}

TEST_F(WwanTrackingTest, FailedTableReadKeepsTheFlagAndStartStillSucceeds) {
    sim::ip::AddInterface(IF_TYPE_WWANPP);
    sim::ArmFault("GetIfTable2", sim::FaultSpec::Once(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(ScanForWwanInterface(), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(gWwanInterfacePresent.load(), 0);
    EXPECT_EQ(sim::FaultCalls("FreeMibTable"), 0u);

    ModemDataNotifier notifier;
    sim::ArmFault("GetIfTable2", sim::FaultSpec::Once(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_TRUE(notifier.Start());
    EXPECT_TRUE(sim::TraceContains("GetIfTable2 failed", TRACE_LEVEL_ERROR));
}

TEST_F(WwanTrackingTest, StopThenStartRederivesTheFlagFromTheTable) {
    ModemDataNotifier notifier;
    sim::ip::AddInterface(IF_TYPE_WWANPP);
    notifier.Start();
    EXPECT_EQ(gWwanInterfacePresent.load(), 1);

    sim::ip::Reset(); // the adapter went while the device was away
    notifier.Stop();
    notifier.Start();
    EXPECT_EQ(gWwanInterfacePresent.load(), 0);
}

} // namespace
} // namespace modem_test
