// The Bridge module: the client's own callbacks, reached after (or before)
// every module, and what happens where the client gave none.
#include "tests/dmf/DmfFixture.h"

namespace dmftest {
namespace {

using Bridge = DmfTest;

TEST_F(Bridge, TheClientsPowerCallbacksRunAfterTheModulesOnTheWayUp) {
    Plan().modules = {Module("M", 4)};
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    ClearLog();
    ASSERT_EQ(Host().Start(), STATUS_SUCCESS);
    ASSERT_EQ(Host().Hibernate(), STATUS_SUCCESS);
    Names seen;
    for (const std::string& entry : Log()) {
        if (entry.find("Interrupts") == std::string::npos &&
            entry.find("SelfManagedIo") == std::string::npos) {
            seen.push_back(entry);
        }
    }
    EXPECT_EQ(seen, (Names{"Client:PrepareHardware", "M:open", "Client:D0Entry",
                           "Client:from " + std::to_string(WdfPowerDeviceD3Final), "Client:D0Exit",
                           "Client:to " + std::to_string(WdfPowerDeviceD3), "M:close"}));
}

TEST_F(Bridge, AClientWithoutPowerCallbacksStillStarts) {
    Plan().client.pnpCallbacks = false;
    Plan().modules = {Module("M", 4)};
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    EXPECT_EQ(Host().Start(), STATUS_SUCCESS);
    EXPECT_EQ(Host().Sleep(), STATUS_SUCCESS);
    EXPECT_EQ(Host().Remove(), STATUS_SUCCESS);
}

TEST_F(Bridge, AFailingClientD0EntryFailsTheStartAndClosesTheModules) {
    Plan().client.d0EntryStatus = STATUS_DEVICE_NOT_READY;
    Plan().modules = {Module("M", 4)};
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    EXPECT_EQ(Host().Start(), STATUS_DEVICE_NOT_READY);
    EXPECT_TRUE(Logged("M:close"));
    EXPECT_TRUE(sim::TraceContains("Client D0Entry fails", TRACE_LEVEL_ERROR));
}

TEST_F(Bridge, UnclaimedDeviceControlReachesTheClientsQueueCallbackIfItHasOne) {
    for (bool callback : {true, false}) {
        SetUp();
        Plan().client.ownQueue = true;
        Plan().client.ioctlCallback = callback;
        Plan().modules = {Module("M")};
        ASSERT_EQ(Add(), STATUS_SUCCESS);
        ASSERT_EQ(Host().Start(), STATUS_SUCCESS);
        sim::HostFile file = Host().OpenFile();
        ASSERT_TRUE(file);
        sim::IoResult result = Host().DeviceIoControl(file, 0x81290800, {}, 8);
        EXPECT_EQ(result.status, callback ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED);
        EXPECT_TRUE(Logged("M:DeviceIoControl"));
        if (callback) {
            EXPECT_EQ(Log().back(), "Client:DeviceIoControl " + std::to_string(0x81290800));
        }
        Host().CloseFile(file);
        TearDown();
    }
}

TEST_F(Bridge, TheHooksKeepOnlyWhatTheBridgeForwards) {
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    // The usage notification stays the client's own; everything else the
    // client handed WDF is the framework's.
    EXPECT_NE(Plan().usageNotification, nullptr);
    EXPECT_NE(Plan().hooked.EvtDeviceD0Entry, nullptr);
    ClearLog();
    Plan().usageNotification(WdfDevice(), WdfSpecialFilePaging, TRUE);
    EXPECT_EQ(Log(), (Names{"Client:UsageNotification"}));

    WDF_POWER_POLICY_EVENT_CALLBACKS powerPolicy;
    WDF_POWER_POLICY_EVENT_CALLBACKS_INIT(&powerPolicy);
    auto arm = [](WDFDEVICE) -> NTSTATUS { return STATUS_UNSUCCESSFUL; };
    powerPolicy.EvtDeviceArmWakeFromS0 = arm;
    PDMFDEVICE_INIT init = DMF_DmfDeviceInitAllocate(nullptr);
    DMF_DmfDeviceInitHookPowerPolicyEventCallbacks(init, &powerPolicy);
    EXPECT_EQ(powerPolicy.EvtDeviceArmWakeFromS0, arm);
}

} // namespace
} // namespace dmftest
