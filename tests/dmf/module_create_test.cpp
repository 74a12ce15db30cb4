// Creating modules: names, configs, locks, children and what a failure leaves.
#include "tests/dmf/DmfFixture.h"

#include "dmf/framework/DmfUtility.h"

namespace dmftest {
namespace {

using ModuleCreate = DmfTest;

TEST_F(ModuleCreate, AModuleHasItsNameItsOwnConfigAndItsLocks) {
    ModulePlan unnamed = Module("");
    unnamed.noConfig = true;
    ModulePlan given = Module("Given");
    given.config.Tail = 0x5A5A;
    given.config.AuxiliaryLockCount = 4;
    // An older client layout without the last field: the module's copy has
    // it zero rather than whatever follows the client's record.
    ModulePlan shorter = Module("Shorter");
    shorter.config.Tail = 0x7777;
    shorter.configSize = offsetof(DMF_CONFIG_Recorder, Tail);
    Plan().modules = {unnamed, given, shorter};
    sim::wdf::SetPoisonNewMemory(true);
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    EXPECT_STREQ(DMF_ModuleInstanceNameGet(Handle(0)), "Recorder");
    EXPECT_STREQ(DMF_ModuleInstanceNameGet(Handle(1)), "Given");
    EXPECT_STREQ(DMF_ModuleNameGet(Handle(1)), "Recorder");
    EXPECT_EQ(DMF_ParentDeviceGet(Handle(1)), WdfDevice());
    EXPECT_EQ(DMF_ParentModuleGet(Handle(1)), nullptr);

    const DMF_CONFIG_Recorder* zeroConfig = DMF_Recorder_Config(Handle(0));
    ASSERT_NE(zeroConfig, nullptr);
    EXPECT_EQ(zeroConfig->OpenOption, 0u);
    EXPECT_EQ(zeroConfig->Tail, 0u);
    EXPECT_EQ(DMF_Recorder_Config(Handle(1))->Tail, 0x5A5Au);
    EXPECT_NE(DMF_Recorder_Config(Handle(1)), &Plan().modules[1].config);
    EXPECT_EQ(DMF_Recorder_Config(Handle(2))->Tail, 0u);

    // The module lock, plus the auxiliary ones.
    EXPECT_EQ(ChildrenOfKind(Handle(0), "WDFWAITLOCK"), 1u);
    EXPECT_EQ(ChildrenOfKind(Handle(1), "WDFWAITLOCK"), 5u);
}

TEST_F(ModuleCreate, MoreThanFourAuxiliaryLocksIsRefused) {
    ModulePlan five = Module("Five");
    five.config.AuxiliaryLockCount = 5;
    Plan().modules = {Module("Before"), five};
    EXPECT_EQ(Add(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Plan().modulesCreateStatus, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(sim::TraceContains("asks for 5 auxiliary locks", TRACE_LEVEL_ERROR));
    EXPECT_EQ(LiveMemory("Dmf4"), 0u);
    EXPECT_FALSE(WdfComplained());
}

TEST_F(ModuleCreate, LockKindFollowsTheOptionsAndThePassiveFlag) {
    struct Case {
        ULONG options;
        bool passiveLevel; // the attributes' flag
        NTSTATUS expected;
        const char* lockKind;
    } cases[] = {
        {DMF_MODULE_OPTIONS_PASSIVE, false, STATUS_SUCCESS, "WDFWAITLOCK"},
        {DMF_MODULE_OPTIONS_DISPATCH, false, STATUS_SUCCESS, "WDFSPINLOCK"},
        {DMF_MODULE_OPTIONS_DISPATCH, true, STATUS_INVALID_DEVICE_REQUEST, nullptr},
        // Either kind: chosen by the attributes' passive flag.
        {DMF_MODULE_OPTIONS_DISPATCH_MAXIMUM, false, STATUS_SUCCESS, "WDFSPINLOCK"},
        {DMF_MODULE_OPTIONS_DISPATCH_MAXIMUM, true, STATUS_SUCCESS, "WDFWAITLOCK"},
        {DMF_MODULE_OPTIONS_TRANSPORT_REQUIRED, false, STATUS_UNSUCCESSFUL, nullptr},
        {DMF_MODULE_OPTIONS_PASSIVE | DMF_MODULE_OPTIONS_DISPATCH, false, STATUS_UNSUCCESSFUL,
         nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.options << (c.passiveLevel ? " passive" : ""));
        SetUp();
        ModulePlan plan = Module("M");
        plan.config.ModuleOptions = c.options;
        plan.passiveLevel = c.passiveLevel;
        plan.config.AuxiliaryLockCount = 1;
        Plan().modules = {plan};
        ASSERT_EQ(Add(), c.expected);
        if (c.lockKind != nullptr) {
            bool passive = std::string(c.lockKind) == "WDFWAITLOCK";
            EXPECT_EQ(DMF_ModuleIsPassive(Handle(0)), passive ? TRUE : FALSE);
            EXPECT_EQ(ChildrenOfKind(Handle(0), c.lockKind), 2u + (passive ? 0u : 1u));
        }
        TearDown();
    }
}

TEST_F(ModuleCreate, ChildrenStandInCreationOrderUnderTheirParent) {
    static const RecorderChild kChildren[] = {{"First", {}}, {"Second", {}}, {"Third", {}}};
    Plan().modules = {Parent("Parent", kChildren)};
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    // Children open before their parent, in the order they were added.
    EXPECT_EQ(Who("open"), (Names{"First", "Second", "Third", "Parent"}));
    ClearLog();
    ASSERT_EQ(Host().Remove(), STATUS_SUCCESS);
    // The parent closes first, then its children in reverse; destroy runs
    // children first.
    EXPECT_EQ(Who("close"), (Names{"Parent", "Third", "Second", "First"}));
    EXPECT_EQ(Who("destroy"), (Names{"First", "Second", "Third", "Parent"}));
}

TEST_F(ModuleCreate, AFailingChildTakesItsParentWithIt) {
    static const RecorderChild kChildren[] = {{"Good", {}}, {"Bad", Config(0, 5)}};
    ModulePlan parent = Parent("Parent", kChildren);
    Plan().modules = {Module("Earlier"), parent, Module("Later")};
    EXPECT_EQ(Add(), STATUS_UNSUCCESSFUL);
    // The child created before the failure is destroyed with the parent;
    // the module created before the parent goes with the collection.
    EXPECT_TRUE(Logged("Good:destroy"));
    EXPECT_TRUE(Logged("Earlier:destroy"));
    EXPECT_FALSE(Logged("Later:destroy"));
    EXPECT_EQ(LiveMemory("Dmf4"), 0u);
    EXPECT_EQ(LiveMemory("Dmf6"), 0u);
    EXPECT_FALSE(WdfComplained());
}

TEST_F(ModuleCreate, AChildMustNotOpenLaterThanItsParent) {
    static const RecorderChild kChildren[] = {{"Late", Config(2)}};
    Plan().modules = {Parent("Parent", kChildren)};
    EXPECT_EQ(Add(), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(Logged("Parent:open"));
}

TEST_F(ModuleCreate, AFailedOpenAtCreationLeavesNoCollection) {
    Plan().modules = {Module("A"), FailingAt(Module("F"), "DeviceOpen"), Module("B")};
    EXPECT_EQ(Add(), STATUS_DEVICE_NOT_READY);
    // Closed and destroyed before device add returns, not later with the device.
    EXPECT_EQ(Plan().logWhenModulesCreateReturned,
              (Names{"A:open", "F:open", "A:close", "A:destroy", "F:destroy", "B:destroy"}));
    EXPECT_FALSE(WdfComplained());
}

TEST_F(ModuleCreate, ModulesCreateAlwaysConsumesTheInit) {
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    EXPECT_TRUE(Plan().initPointerCleared);
    EXPECT_EQ(LiveMemory("Brid"), 0u);
    TearDown();

    // A hook the client did not make refuses the modules.
    struct Row {
        bool ClientPlan::*hook;
        const char* trace;
    };
    for (const Row& row :
         {Row{&ClientPlan::hookFileObject, "File-object config was not hooked"},
          Row{&ClientPlan::hookPnpPower, "PnP/power callbacks were not hooked"},
          Row{&ClientPlan::hookPowerPolicy, "Power-policy callbacks were not hooked"}}) {
        SCOPED_TRACE(row.trace);
        SetUp();
        Plan().client.*row.hook = false;
        EXPECT_EQ(Add(), STATUS_INVALID_PARAMETER);
        EXPECT_TRUE(Plan().initPointerCleared);
        EXPECT_TRUE(sim::TraceContains(row.trace, TRACE_LEVEL_ERROR));
        EXPECT_EQ(LiveMemory("Brid"), 0u);
        TearDown();
    }
}

TEST_F(ModuleCreate, WithoutADeviceInitTheHooksCountAsDone) {
    Plan().client.withoutDeviceInit = true;
    Plan().client.hookFileObject = false;
    Plan().modules = {Module("M")};
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    EXPECT_TRUE(Plan().initPointerCleared);
    EXPECT_TRUE(Logged("M:open"));
}

TEST_F(ModuleCreate, AFailedInitAllocationIsRejectedWithoutDeletingAnything) {
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    sim::ArmFault("WdfMemoryCreate", sim::FaultSpec::Once());
    EXPECT_EQ(Host().AddDevice(), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Plan().initPointerCleared);
    EXPECT_TRUE(sim::TraceContains("DMFDEVICE_INIT was never allocated", TRACE_LEVEL_ERROR));
    EXPECT_FALSE(WdfComplained());
}

TEST_F(ModuleCreate, AFailedAddIsReportedOnceAndLaterAddsAreIgnored) {
    Plan().modules = {Module("A"), Module("B"), Module("C")};
    sim::ArmFault("WdfCollectionAdd", sim::FaultSpec::OnCall(2, STATUS_NO_MEMORY));
    EXPECT_EQ(Add(), STATUS_NO_MEMORY);
    EXPECT_EQ(sim::FaultCalls("WdfCollectionAdd"), 2u) << "C is not even tried";
    EXPECT_TRUE(Log().empty());
    EXPECT_EQ(LiveMemory("Dmf5"), 0u);
    EXPECT_FALSE(WdfComplained());
}

TEST_F(ModuleCreate, NoModulesStillGivesTheClientItsBridge) {
    Plan().client.addModules = false;
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    ASSERT_EQ(Host().Start(), STATUS_SUCCESS);
    EXPECT_TRUE(Logged("Client:D0Entry"));
}

TEST_F(ModuleCreate, EachAllocationOfAModuleCanFailItsCreation) {
    // The name, the config copy, then the two callback tables.
    for (unsigned call = 1; call <= 4; ++call) {
        SCOPED_TRACE(call);
        SetUp();
        Plan().modules = {Module("M")};
        sim::ArmFault("HeapAlloc", sim::FaultSpec::OnCall(call));
        EXPECT_EQ(Add(), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(sim::FaultCalls("HeapAlloc"), call) << "creation goes no further";
        EXPECT_EQ(LiveMemory("Dmf4"), 0u);
        TearDown();
    }
}

// Each platform call of the framework's own setup can fail the device add,
// leaving nothing of the framework behind.
TEST_F(ModuleCreate, EachPlatformCallOfTheSetupCanFailTheAdd) {
    struct Row {
        const char* point;
        unsigned call;
    };
    for (const Row& row : {Row{"WdfMemoryCreate:Brid", 2}, Row{"WdfIoQueueCreate", 1},
                           Row{"WdfObjectAllocateContext", 1}, Row{"WdfMemoryCreate:Dmf5", 1},
                           Row{"WdfMemoryCreate:Dmf6", 1}, Row{"WdfMemoryCreate:Dmf4", 1},
                           Row{"WdfSpinLockCreate", 1}, Row{"WdfWaitLockCreate", 1}}) {
        SCOPED_TRACE(row.point);
        SetUp();
        Plan().modules = {Module("M")};
        sim::ArmFault(row.point, sim::FaultSpec::OnCall(row.call, STATUS_NO_MEMORY));
        EXPECT_NE(Add(), STATUS_SUCCESS);
        EXPECT_EQ(LiveMemory("Dmf4"), 0u);
        EXPECT_EQ(LiveMemory("Brid"), 0u);
        EXPECT_FALSE(WdfComplained());
        TearDown();
    }
}

TEST_F(ModuleCreate, TheOpenCloseEventFailureIsNeverSuccess) {
    Plan().modules = {Module("M")};
    // A failure whose last error reads 0 must still fail the creation.
    sim::ArmFault("CreateEventW", sim::FaultSpec::Once(0x100000000LL));
    EXPECT_EQ(Add(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(LiveMemory("Dmf4"), 0u);
    TearDown();

    SetUp();
    Plan().modules = {Module("M")};
    sim::ArmFault("CreateEventW", sim::FaultSpec::Once(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(Add(), static_cast<NTSTATUS>(0xC0070008));
}

TEST_F(ModuleCreate, NothingIsLeftOnceTheDeviceIsGone) {
    static const RecorderChild kChildren[] = {{"Child", Config(1)}};
    ModulePlan parent = Parent("Parent", kChildren, 4);
    parent.config.AuxiliaryLockCount = 2;
    Plan().modules = {parent, Module("Other", 7)};
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    ASSERT_EQ(Host().Start(), STATUS_SUCCESS);
    ASSERT_EQ(Host().Remove(), STATUS_SUCCESS);
    UnloadLeavingNothing();
    EXPECT_FALSE(WdfComplained());
}

constexpr GUID kTransportA = {0x11111111, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID kTransportB = {0x11111111, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 9}};

DMFMODULE gTransportHandle = nullptr;
GUID gOffered{};

void AddTransport(DMFMODULE, DMF_MODULE_ATTRIBUTES*, PDMFMODULE_INIT DmfModuleInit) {
    static DMF_CONFIG_Recorder config{};
    config.TransportOffered = gOffered;
    DMF_MODULE_ATTRIBUTES attributes;
    DMF_MODULE_ATTRIBUTES_INIT(&attributes, sizeof(config), &config, DMF_Recorder_Create);
    attributes.ClientModuleInstanceName = "Transport";
    DMF_DmfModuleAdd(DmfModuleInit, &attributes, WDF_NO_OBJECT_ATTRIBUTES, &gTransportHandle);
}

class Transport : public DmfTest {
protected:
    NTSTATUS AddWithTransport(const GUID& offered) {
        gOffered = offered;
        gTransportHandle = nullptr;
        ModulePlan user = Module("User");
        user.config.ModuleOptions =
            DMF_MODULE_OPTIONS_PASSIVE | DMF_MODULE_OPTIONS_TRANSPORT_REQUIRED;
        user.config.TransportRequired = kTransportA;
        user.transportAdd = AddTransport;
        Plan().modules = {user};
        return Add();
    }
};

TEST_F(Transport, AMatchingTransportChildServesItsParent) {
    ASSERT_EQ(AddWithTransport(kTransportA), STATUS_SUCCESS);
    DMFMODULE transport = DMF_ModuleTransportGet(Handle(0));
    ASSERT_NE(transport, nullptr);
    EXPECT_STREQ(DMF_ModuleInstanceNameGet(transport), "Transport");
    EXPECT_EQ(DMF_ParentModuleGet(transport), Handle(0));
    // A transport is reached through its parent, not handed to the adder.
    EXPECT_EQ(gTransportHandle, nullptr);
}

TEST_F(Transport, ATransportOfferingAnotherInterfaceFailsItsParent) {
    EXPECT_EQ(AddWithTransport(kTransportB), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(sim::TraceContains("does not offer the transport", TRACE_LEVEL_ERROR));
    EXPECT_EQ(LiveMemory("Dmf4"), 0u);
    EXPECT_FALSE(WdfComplained());
}

} // namespace
} // namespace dmftest
