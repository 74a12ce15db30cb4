// The order in which the device's callbacks reach the modules, and where each
// kind of walk stops.
#include "tests/dmf/DmfFixture.h"

#include "platform/sim/quiescence.h"

// The set of power-policy callbacks the framework installs on the device init.
#include "dmf/framework/DmfObject.h"

namespace dmftest {
namespace {

RecorderChild Child(const char* name, const char* failAt = nullptr,
                    const RecorderChild* children = nullptr, ULONG childCount = 0) {
    RecorderChild child{name, {}};
    child.Config.OwnHandlers = TRUE;
    child.Config.FailAt = failAt;
    child.Config.FailStatus = STATUS_DEVICE_NOT_READY;
    child.Config.Children = children;
    child.Config.ChildCount = childCount;
    return child;
}

// A (with children a1, which has a1x, and a2), then B, then the Bridge with
// the client's callbacks. `failAt` names the module that fails `slot`.
class Dispatch : public DmfTest {
protected:
    void Build(const std::string& failer = "", const char* slot = nullptr,
               const char* claimSlot = nullptr, const std::string& claimer = "") {
        auto fails = [&](const char* name) { return failer == name ? slot : nullptr; };
        mGrandChildren = {Child("a1x", fails("a1x"))};
        mChildren = {Child("a1", fails("a1"), mGrandChildren.data(), 1), Child("a2", fails("a2"))};
        for (auto& child : mChildren) {
            if (claimer == child.Name) {
                child.Config.ClaimAt = claimSlot;
            }
        }
        ModulePlan a = Module("A", 1, true);
        a.config.Children = mChildren.data();
        a.config.ChildCount = 2;
        a.config.FailAt = fails("A");
        a.config.FailStatus = STATUS_DEVICE_NOT_READY;
        ModulePlan b = Module("B", 1, true);
        b.config.FailAt = fails("B");
        b.config.FailStatus = STATUS_DEVICE_NOT_READY;
        if (claimer == "B") {
            b.config.ClaimAt = claimSlot;
        }
        Plan().modules = {a, b};
        ASSERT_EQ(Add(), STATUS_SUCCESS);
        ClearLog();
    }

    const WDF_PNPPOWER_EVENT_CALLBACKS& Container() { return Plan().hooked; }

    std::vector<RecorderChild> mChildren;
    std::vector<RecorderChild> mGrandChildren;
};

const Names kUp = {"a1x", "a1", "a2", "A", "B", "Client"};
const Names kDown = {"Client", "B", "A", "a1", "a1x", "a2"};
const Names kAcross = {"A", "a2", "a1", "a1x", "B", "Client"};

TEST_F(Dispatch, UpEventsReachChildrenBeforeParentsAndTheClientLast) {
    Build();
    WDFDEVICE device = WdfDevice();
    ASSERT_EQ(Container().EvtDevicePrepareHardware(device, nullptr, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(Container().EvtDeviceD0Entry(device, WdfPowerDeviceD3Final), STATUS_SUCCESS);
    ASSERT_EQ(Container().EvtDeviceD0EntryPostInterruptsEnabled(device, WdfPowerDeviceD3Final),
              STATUS_SUCCESS);
    ASSERT_EQ(Container().EvtDeviceSelfManagedIoInit(device), STATUS_SUCCESS);
    ASSERT_EQ(Container().EvtDeviceSelfManagedIoRestart(device), STATUS_SUCCESS);
    ASSERT_EQ(Container().EvtDeviceUsageNotificationEx(device, WdfSpecialFilePaging, TRUE),
              STATUS_SUCCESS);
    Container().EvtDeviceRelationsQuery(device, BusRelations);
    for (const char* slot :
         {"PrepareHardware", "D0Entry", "D0EntryPostInterruptsEnabled", "SelfManagedIoInit",
          "SelfManagedIoRestart", "UsageNotificationEx", "RelationsQuery"}) {
        EXPECT_EQ(Who(slot), kUp) << slot;
    }
}

TEST_F(Dispatch, DownEventsReachTheClientFirstAndParentsBeforeChildren) {
    Build();
    WDFDEVICE device = WdfDevice();
    ASSERT_EQ(Container().EvtDeviceD0ExitPreInterruptsDisabled(device, WdfPowerDeviceD3),
              STATUS_SUCCESS);
    ASSERT_EQ(Container().EvtDeviceD0Exit(device, WdfPowerDeviceD3), STATUS_SUCCESS);
    ASSERT_EQ(Container().EvtDeviceReleaseHardware(device, nullptr), STATUS_SUCCESS);
    for (const char* slot : {"D0ExitPreInterruptsDisabled", "D0Exit", "ReleaseHardware"}) {
        EXPECT_EQ(Who(slot), kDown) << slot;
    }
}

TEST_F(Dispatch, QueriesAndCleanupWalkForwardWithChildrenInReverse) {
    Build();
    WDFDEVICE device = WdfDevice();
    ASSERT_EQ(Container().EvtDeviceQueryRemove(device), STATUS_SUCCESS);
    ASSERT_EQ(Container().EvtDeviceQueryStop(device), STATUS_SUCCESS);
    ASSERT_EQ(Container().EvtDeviceSelfManagedIoSuspend(device), STATUS_SUCCESS);
    Container().EvtDeviceSelfManagedIoFlush(device);
    Container().EvtDeviceSelfManagedIoCleanup(device);
    Container().EvtDeviceSurpriseRemoval(device);
    for (const char* slot : {"QueryRemove", "QueryStop", "SelfManagedIoSuspend",
                             "SelfManagedIoFlush", "SelfManagedIoCleanup", "SurpriseRemoval"}) {
        EXPECT_EQ(Who(slot), kAcross) << slot;
    }
}

TEST_F(Dispatch, PowerPolicyEventsReachTheModulesButNotTheClient) {
    Build();
    WDFDEVICE device = WdfDevice();
    WDF_POWER_POLICY_EVENT_CALLBACKS container;
    WDF_POWER_POLICY_EVENT_CALLBACKS_INIT(&container);
    DMF_ContainerPowerPolicyCallbacksSet(&container);
    ASSERT_EQ(container.EvtDeviceArmWakeFromS0(device), STATUS_SUCCESS);
    container.EvtDeviceDisarmWakeFromS0(device);
    container.EvtDeviceWakeFromS0Triggered(device);
    ASSERT_EQ(container.EvtDeviceArmWakeFromSxWithReason(device, TRUE, FALSE), STATUS_SUCCESS);
    container.EvtDeviceDisarmWakeFromSx(device);
    container.EvtDeviceWakeFromSxTriggered(device);
    const Names childrenFirst = {"a1x", "a1", "a2", "A", "B"};
    EXPECT_EQ(Who("ArmWakeFromS0"), (Names{"A", "a2", "a1", "a1x", "B"}));
    EXPECT_EQ(Who("DisarmWakeFromS0"), childrenFirst);
    EXPECT_EQ(Who("WakeFromS0Triggered"), childrenFirst);
    EXPECT_EQ(Who("ArmWakeFromSxWithReason"), (Names{"A", "a1", "a1x", "a2", "B"}));
    EXPECT_EQ(Who("DisarmWakeFromSx"), childrenFirst);
    EXPECT_EQ(Who("WakeFromSxTriggered"), childrenFirst);
}

TEST_F(Dispatch, AFailureEndsAWalkWhereItsKindSays) {
    struct Row {
        const char* failer;
        const char* slot;
        Names reached;
    };
    const Row rows[] = {
        {"a2", "PrepareHardware", {"a1x", "a1", "a2"}}, // up: before the parent
        {"a1x", "SelfManagedIoInit", {"a1x"}},          // at once
        {"A", "QueryRemove", {"A"}},                    // its children are kept out
        {"a2", "SelfManagedIoSuspend", {"A", "a2"}},    // inside the reversed children
        {"a1", "SurpriseRemoval", kAcross},             // a walk without a stop rule
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.slot);
        SetUp();
        Build(row.failer, row.slot);
        const WDF_PNPPOWER_EVENT_CALLBACKS& c = Container();
        const std::string slot = row.slot;
        WDFDEVICE device = WdfDevice();
        NTSTATUS status = STATUS_DEVICE_NOT_READY;
        if (slot == "PrepareHardware") {
            status = c.EvtDevicePrepareHardware(device, nullptr, nullptr);
        } else if (slot == "SelfManagedIoInit") {
            status = c.EvtDeviceSelfManagedIoInit(device);
        } else if (slot == "QueryRemove") {
            status = c.EvtDeviceQueryRemove(device);
        } else if (slot == "SelfManagedIoSuspend") {
            status = c.EvtDeviceSelfManagedIoSuspend(device);
        } else {
            c.EvtDeviceSurpriseRemoval(device);
        }
        EXPECT_EQ(status, STATUS_DEVICE_NOT_READY);
        EXPECT_EQ(Who(row.slot), row.reached);
        TearDown();
    }
}

TEST_F(Dispatch, AFailingClientD0ExitKeepsTheModulesFromLeavingD0) {
    Plan().client.d0ExitStatus = STATUS_DEVICE_NOT_READY;
    Build();
    EXPECT_EQ(Container().EvtDeviceD0Exit(WdfDevice(), WdfPowerDeviceD3), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(Who("D0Exit"), (Names{"Client"}));
}

TEST_F(Dispatch, DeviceControlIsOfferedModuleFirstUntilClaimedOrElseNotSupported) {
    for (bool claimed : {true, false}) {
        SCOPED_TRACE(claimed);
        SetUp();
        Build("", nullptr, claimed ? "DeviceIoControl" : nullptr, claimed ? "a1" : "");
        ASSERT_EQ(Host().Start(), STATUS_SUCCESS);
        sim::HostFile file = Host().OpenFile();
        ASSERT_TRUE(file);
        ClearLog();
        sim::IoResult result = Host().DeviceIoControl(file, 0x222000, {1, 2, 3, 4}, 8);
        EXPECT_EQ(result.status, claimed ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED);
        // A walk going on after the claim would still be running on the queue's thread.
        ASSERT_TRUE(sim::Settle());
        EXPECT_EQ(Who("DeviceIoControl"),
                  claimed ? (Names{"A", "a1"}) : (Names{"A", "a1", "a1x", "a2", "B"}));
        Host().CloseFile(file);
        TearDown();
    }
}

TEST_F(Dispatch, FileEventsAreOfferedToEveryModuleAndSucceedUnclaimed) {
    Build();
    sim::HostFile file = Host().OpenFile();
    EXPECT_EQ(file.status, STATUS_SUCCESS);
    Host().CloseFile(file);
    const Names all = {"A", "a1", "a1x", "a2", "B"};
    EXPECT_EQ(Who("FileCreate"), all);
    EXPECT_EQ(Who("FileCleanup"), all);
    EXPECT_EQ(Who("FileClose"), all);
}

TEST_F(Dispatch, AClaimedFileCreateIsTheModulesToComplete) {
    Build("", nullptr, "FileCreate", "B");
    sim::HostFile file = Host().OpenFile();
    EXPECT_EQ(file.status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(Who("FileCreate"), (Names{"A", "a1", "a1x", "a2", "B"}));
}

} // namespace
} // namespace dmftest
