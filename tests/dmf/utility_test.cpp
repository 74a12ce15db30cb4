// The framework's locks, handle checks and small utilities.
#include "tests/dmf/DmfFixture.h"

namespace dmftest {

// A base class whose destructor reaches one of its own pure virtual slots, the
// way a call through a half-destroyed object does. Outside the anonymous
// namespace, so that the compiler cannot know every class derived from it.
class HalfDestroyed {
public:
    virtual ~HalfDestroyed() { result = Reach(); }
    virtual int Slot() = 0;
    [[gnu::noinline]] int Reach() { return Slot(); }
    static inline int result = -1;
};

class Whole : public HalfDestroyed {
public:
    int Slot() override { return 7; }
};

namespace {

using Locks = DmfTest;

TEST_F(Locks, OnlyTheLocksAModuleWasCreatedWithCanBeTaken) {
    ModulePlan two = Module("Two");
    two.config.AuxiliaryLockCount = 2;
    two.config.ModuleOptions = DMF_MODULE_OPTIONS_DISPATCH;
    Plan().modules = {two};
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    DMFMODULE module = Handle(0);
    DMF_ModuleLockByIndex(module, 2);
    DMF_ModuleUnlockByIndex(module, 2);
    EXPECT_FALSE(sim::TraceContains("has no lock", TRACE_LEVEL_ERROR));
    for (ULONG index : {3u, 4u, 5u, 9u}) {
        sim::ClearTrace();
        DMF_ModuleLockByIndex(module, index);
        DMF_ModuleUnlockByIndex(module, index);
        EXPECT_EQ(
            sim::TraceCount("Module Two has no lock " + std::to_string(index), TRACE_LEVEL_ERROR),
            2u);
    }
    EXPECT_FALSE(WdfComplained());
}

// A second module type: its handles are not Recorder handles.
DMF_MODULE_DECLARE_CUSTOM_TYPE(Plain)

NTSTATUS PlainCreate(WDFDEVICE Device, DMF_MODULE_ATTRIBUTES* Attributes,
                     WDF_OBJECT_ATTRIBUTES* ObjectAttributes, DMFMODULE* DmfModule) {
    DMF_MODULE_DESCRIPTOR descriptor;
    DMF_MODULE_DESCRIPTOR_INIT_TYPE(descriptor, Plain, DMF_MODULE_OPTIONS_PASSIVE,
                                    DMF_MODULE_OPEN_OPTION_OPEN_Create);
    return DMF_ModuleCreate(Device, Attributes, ObjectAttributes, &descriptor, DmfModule);
}

TEST_F(Locks, WithTheVerifierOnAForeignHandleIsReportedAndTheCallGoesOn) {
    ModulePlan plain = Module("Plain");
    plain.creator = PlainCreate;
    Plan().modules = {Module("M"), plain};
    ASSERT_EQ(Add(), STATUS_SUCCESS);

    DMF_Recorder_LockedNoop(Handle(1));
    EXPECT_TRUE(sim::DebuggerOutput().empty());

    sim::wdf::SetDriverFlags(WdfVerifyOn);
    ExpectReport("Invalid Module Handle Passed");
    DMF_Recorder_LockedNoop(Handle(0));
    EXPECT_TRUE(sim::DebuggerOutput().empty());
    DMF_Recorder_LockedNoop(Handle(1));
    EXPECT_EQ(sim::DebuggerOutput(),
              (std::vector<std::string>{"Invalid Module Handle Passed (Lock)",
                                        "Invalid Module Handle Passed (Unlock)"}));
    EXPECT_EQ(sim::DebugBreakCount(), 2u);
    // The lock was taken and released all the same.
    DMF_ModuleLock(Handle(1));
    DMF_ModuleUnlock(Handle(1));
}

TEST_F(DmfTest, AnObjectAModuleCreatedLeadsBackToIt) {
    Plan().modules = {Module("M")};
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    DMF_ModuleInObjectAttributesSet(&attributes);
    attributes.ParentObject = Handle(0);
    WDFOBJECT object = nullptr;
    ASSERT_EQ(WdfObjectCreate(&attributes, &object), STATUS_SUCCESS);
    EXPECT_EQ(DMF_ModuleInContextGet(object), nullptr);
    DMF_ModuleInContextSave(object, Handle(0));
    EXPECT_EQ(DMF_ModuleInContextGet(object), Handle(0));
}

TEST(DmfUtility, APureVirtualCallIsTracedAndReturnsZero) {
    sim::ClearTrace();
    { Whole whole; }
    EXPECT_EQ(HalfDestroyed::result, 0);
    EXPECT_TRUE(sim::TraceContains("Pure virtual function called", TRACE_LEVEL_ERROR));
}

} // namespace
} // namespace dmftest
