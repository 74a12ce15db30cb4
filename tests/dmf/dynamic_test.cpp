// Modules created outside the device's collection, interface bindings and the
// module event callbacks.
#include "tests/dmf/DmfFixture.h"

#include "dmf/framework/DmfInterface.h"

#include <utility>

namespace dmftest {
namespace {

void CreatorCleanup(WDFOBJECT) {
    Record("Creator:cleanup");
}

class Dynamic : public DmfTest {
protected:
    NTSTATUS CreateDynamic(const DMF_CONFIG_Recorder& config, DMFMODULE* module) {
        mConfig = config;
        DMF_MODULE_ATTRIBUTES attributes;
        DMF_MODULE_ATTRIBUTES_INIT(&attributes, sizeof(mConfig), &mConfig, DMF_Recorder_Create);
        attributes.DynamicModule = TRUE;
        attributes.ClientModuleInstanceName = "Dyn";
        WDF_OBJECT_ATTRIBUTES objectAttributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&objectAttributes);
        objectAttributes.ParentObject = WdfDevice();
        objectAttributes.EvtCleanupCallback = CreatorCleanup;
        return DMF_Recorder_Create(WdfDevice(), &attributes, &objectAttributes, module);
    }

    DMF_CONFIG_Recorder mConfig{};
};

TEST_F(Dynamic, OpensAtOnceAndClosesWhenDeleted) {
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    ClearLog();
    DMFMODULE module = nullptr;
    ASSERT_EQ(CreateDynamic(Config(1), &module), STATUS_SUCCESS);
    ASSERT_NE(module, nullptr);
    EXPECT_TRUE(DMF_IsModuleDynamic(module));
    EXPECT_EQ(DMF_ModuleReference(module), STATUS_SUCCESS);
    DMF_ModuleDereference(module);
    WdfObjectDelete(module);
    EXPECT_EQ(Log(), (Names{"Dyn:open", "Dyn:close", "Dyn:destroy", "Creator:cleanup"}));
    EXPECT_FALSE(WdfComplained());
    ASSERT_EQ(Host().Remove(), STATUS_SUCCESS);
    UnloadLeavingNothing();
}

// A failed open, a failure before the parent is referenced and a module with
// children: nothing is handed out, to the caller or to the creator's cleanup,
// and no reference is released that was not taken.
TEST_F(Dynamic, AFailedCreationHandsNothingOut) {
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    ClearLog();
    DMF_CONFIG_Recorder failingOpen = Config(1);
    failingOpen.FailAt = "DeviceOpen";
    failingOpen.FailStatus = STATUS_DEVICE_NOT_READY;
    static const RecorderChild kChildren[] = {{"Child", Config(1)}};
    DMF_CONFIG_Recorder withChildren = Config(1);
    withChildren.Children = kChildren;
    withChildren.ChildCount = 1;
    const std::pair<DMF_CONFIG_Recorder, NTSTATUS> cases[] = {
        {failingOpen, STATUS_DEVICE_NOT_READY},
        {Config(1, 5), STATUS_UNSUCCESSFUL},
        {withChildren, STATUS_NOT_SUPPORTED}};
    for (const auto& [config, status] : cases) {
        DMFMODULE module = reinterpret_cast<DMFMODULE>(1);
        EXPECT_EQ(CreateDynamic(config, &module), status);
        EXPECT_EQ(module, nullptr);
    }
    EXPECT_FALSE(Logged("Creator:cleanup"));
    EXPECT_EQ(LiveMemory("Dmf4"), 1u); // only the Bridge
    EXPECT_FALSE(WdfComplained());
    ASSERT_EQ(Host().Remove(), STATUS_SUCCESS);
    UnloadLeavingNothing();
}

TEST_F(Dynamic, AChildOfADynamicModuleMustNotNeedThePowerCallbacks) {
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    DMF_CONFIG_Recorder config = Config(4);
    DMF_MODULE_ATTRIBUTES attributes;
    DMF_MODULE_ATTRIBUTES_INIT(&attributes, sizeof(config), &config, DMF_Recorder_Create);
    attributes.IsParentDynamic = TRUE;
    attributes.DynamicModule = TRUE;
    DMFMODULE module = nullptr;
    EXPECT_EQ(DMF_Recorder_Create(WdfDevice(), &attributes, WDF_NO_OBJECT_ATTRIBUTES, &module),
              STATUS_UNSUCCESSFUL);
    config = Config(7);
    config.OwnHandlers = TRUE;
    EXPECT_EQ(DMF_Recorder_Create(WdfDevice(), &attributes, WDF_NO_OBJECT_ATTRIBUTES, &module),
              STATUS_UNSUCCESSFUL);
    config.OwnHandlers = FALSE;
    ASSERT_EQ(DMF_Recorder_Create(WdfDevice(), &attributes, WDF_NO_OBJECT_ATTRIBUTES, &module),
              STATUS_SUCCESS);
    EXPECT_TRUE(DMF_ModuleIsInParentDynamic(module));
    WdfObjectDelete(module);
}

using Bindings = DmfTest;

TEST_F(Bindings, DestroyingEitherModuleUnbindsBothSidesOnce) {
    Plan().modules = {Module("A"), Module("B")};
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    DMF_INTERFACE_BINDING_CALLBACKS callbacks{};
    callbacks.FirstUnbind = [](DMFMODULE self, DMFMODULE) {
        Record(std::string(DMF_ModuleInstanceNameGet(self)) + ":unbind");
    };
    callbacks.SecondUnbind = callbacks.FirstUnbind;
    callbacks.FirstFinal = [](DMFMODULE self) {
        Record(std::string(DMF_ModuleInstanceNameGet(self)) + ":final");
    };
    WDFOBJECT binding = nullptr;
    ASSERT_EQ(DMF_ModuleInterfaceBind(Handle(1), Handle(0), &callbacks, &binding), STATUS_SUCCESS);
    ASSERT_EQ(DMF_InterfaceReference(binding), STATUS_SUCCESS);
    DMF_InterfaceDereference(binding);
    ClearLog();
    ASSERT_EQ(Host().Remove(), STATUS_SUCCESS);
    // A goes first (array order) and takes the binding out of both modules.
    EXPECT_EQ(LogWith({"bind", "final"}), (Names{"B:unbind", "A:unbind", "B:final"}));
    EXPECT_FALSE(WdfComplained());
    UnloadLeavingNothing();
}

TEST_F(DmfTest, PostOpenFollowsTheOpenAndPreClosePrecedesTheClose) {
    static DMF_MODULE_EVENT_CALLBACKS events = {
        [](DMFMODULE module) {
            Record(std::string(DMF_ModuleInstanceNameGet(module)) + ":postopen");
        },
        [](DMFMODULE module) {
            Record(std::string(DMF_ModuleInstanceNameGet(module)) + ":preclose");
        }};
    ModulePlan plan = Module("M", 4);
    plan.events = &events;
    Plan().modules = {plan};
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    ASSERT_EQ(Host().Start(), STATUS_SUCCESS);
    ASSERT_EQ(Host().Sleep(), STATUS_SUCCESS);
    EXPECT_EQ(LogWith({"M:"}), (Names{"M:open", "M:postopen", "M:preclose", "M:close"}));
}

} // namespace
} // namespace dmftest
