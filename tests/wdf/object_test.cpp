#include "wdf_fixture.h"

#include <string>
#include <vector>

namespace {

struct ORDER_CONTEXT {
    int id;
    int payload[7];
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(ORDER_CONTEXT, OrderContext)

struct OTHER_CONTEXT {
    long long value;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(OTHER_CONTEXT, OtherContext)

WDF_DECLARE_CUSTOM_TYPE(TEST_MODULE_TYPE)
WDF_DECLARE_CUSTOM_TYPE(OTHER_MODULE_TYPE)

using Events = std::vector<std::string>;
Events gEvents;

void RecordCleanup(WDFOBJECT object) {
    gEvents.push_back("cleanup " + std::to_string(OrderContext(object)->id));
}
void RecordDestroy(WDFOBJECT object) {
    gEvents.push_back("destroy " + std::to_string(OrderContext(object)->id));
}
void RecordCustomCleanup(WDFOBJECT) {
    gEvents.push_back("custom cleanup");
}
void RecordCustomDestroy(WDFOBJECT) {
    gEvents.push_back("custom destroy");
}

class ObjectTest : public WdfTest {
protected:
    void SetUp() override {
        WdfTest::SetUp();
        gEvents.clear();
    }
    WDFOBJECT Make(int id, WDFOBJECT parent) {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, ORDER_CONTEXT);
        attributes.ParentObject = parent;
        attributes.EvtCleanupCallback = RecordCleanup;
        attributes.EvtDestroyCallback = RecordDestroy;
        WDFOBJECT object = nullptr;
        EXPECT_EQ(WdfObjectCreate(&attributes, &object), STATUS_SUCCESS);
        OrderContext(object)->id = id;
        return object;
    }
};

TEST_F(ObjectTest, DeletingAParentCleansItsChildrenUpFirstEachOnce) {
    WDFOBJECT root = Make(1, nullptr);
    WDFOBJECT a = Make(2, root);
    Make(3, a);
    WDFOBJECT early = Make(5, root);
    Make(4, root);

    // A child deleted first is not cleaned up again with its parent.
    WdfObjectDelete(early);
    WdfObjectDelete(root);

    // Children before their parent, siblings in order of creation; every
    // cleanup and destroy exactly once.
    EXPECT_EQ(gEvents, (Events{"cleanup 5", "destroy 5", "cleanup 3", "destroy 3", "cleanup 2",
                               "destroy 2", "cleanup 4", "destroy 4", "cleanup 1", "destroy 1"}));
    EXPECT_EQ(sim::wdf::LiveObjectCount(), 0u);
}

TEST_F(ObjectTest, StaleAndWrongTypedHandlesAreReportedNotUsed) {
    WDFOBJECT object = Make(1, nullptr);
    WdfObjectDelete(object);
    sim::ClearTrace();

    // Deleted: every call refuses it and says so.
    WdfObjectDelete(object);
    EXPECT_TRUE(sim::TraceContains("WdfObjectDelete: invalid handle", TRACE_LEVEL_ERROR));
    EXPECT_EQ(WdfObjectGetTypedContext(object, ORDER_CONTEXT), nullptr);
    EXPECT_TRUE(DebuggerSaw("WdfObjectGetTypedContextWorker: invalid handle"));

    // A live object of the wrong kind.
    WDFOBJECT plain = Make(2, nullptr);
    EXPECT_EQ(WdfMemoryGetBuffer(static_cast<WDFMEMORY>(plain), nullptr), nullptr);
    EXPECT_TRUE(sim::TraceContains("not a WDFMEMORY", TRACE_LEVEL_ERROR));
    NTSTATUS status = WdfWaitLockAcquire(static_cast<WDFWAITLOCK>(plain), nullptr);
    EXPECT_EQ(status, STATUS_INVALID_HANDLE);

    // Garbage and NULL.
    int notAnObject = 0;
    EXPECT_EQ(WdfObjectGetTypedContext(&notAnObject, ORDER_CONTEXT), nullptr);
    EXPECT_EQ(WdfCollectionGetCount(nullptr), 0u);
    EXPECT_TRUE(sim::TraceContains("NULL handle where a WDFCOLLECTION", TRACE_LEVEL_ERROR));
}

TEST_F(ObjectTest, ContextsAreZeroFilledTypedAndSizedAtRunTime) {
    WDFOBJECT object = nullptr;
    ASSERT_EQ(WdfObjectCreate(WDF_NO_OBJECT_ATTRIBUTES, &object), STATUS_SUCCESS);
    EXPECT_EQ(OrderContext(object), nullptr); // no context of that type

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, OTHER_CONTEXT);
    attributes.ContextSizeOverride = 4096; // a module context sized at run time
    PVOID context = nullptr;
    ASSERT_EQ(WdfObjectAllocateContext(object, &attributes, &context), STATUS_SUCCESS);
    ASSERT_EQ(context, OtherContext(object));
    auto* bytes = static_cast<unsigned char*>(context);
    for (int i = 0; i < 4096; ++i) {
        ASSERT_EQ(bytes[i], 0) << i;
    }
    bytes[4095] = 1; // the whole run-time size is usable
    EXPECT_EQ(WdfObjectContextGetObject(context), object);

    // A second context of the same type is refused and the first one kept.
    PVOID again = nullptr;
    EXPECT_EQ(WdfObjectAllocateContext(object, &attributes, &again), STATUS_OBJECT_NAME_EXISTS);
    EXPECT_EQ(again, context);

    sim::ArmFault("WdfObjectAllocateContext", sim::FaultSpec::Once());
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, ORDER_CONTEXT);
    EXPECT_EQ(WdfObjectAllocateContext(object, &attributes, &context),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(context, nullptr);
    EXPECT_EQ(OrderContext(object), nullptr);
    WdfObjectDelete(object);
}

TEST_F(ObjectTest, CustomTypesMarkObjectsAndCallBackAtCleanupAndDestroy) {
    WDFOBJECT object = Make(1, nullptr);
    EXPECT_FALSE(WdfObjectIsCustomType(object, TEST_MODULE_TYPE));
    ASSERT_EQ(WdfObjectAddCustomTypeWithData(object, TEST_MODULE_TYPE, 0x55, RecordCustomCleanup,
                                             RecordCustomDestroy),
              STATUS_SUCCESS);
    EXPECT_TRUE(WdfObjectIsCustomType(object, TEST_MODULE_TYPE));
    EXPECT_FALSE(WdfObjectIsCustomType(object, OTHER_MODULE_TYPE));
    EXPECT_EQ(WdfObjectGetCustomTypeData(object, TEST_MODULE_TYPE), 0x55u);
    auto* record = WdfObjectGetTypedContext(object, WdfCustomType_TEST_MODULE_TYPE);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->Size, 16u);

    WdfObjectDelete(object);
    EXPECT_EQ(gEvents, (Events{"cleanup 1", "custom cleanup", "destroy 1", "custom destroy"}));
}

TEST_F(ObjectTest, ReferencesKeepADeletedObjectUntilTheLastReleaseAndMisuseIsReported) {
    WDFOBJECT object = Make(1, nullptr);
    WdfObjectDereference(object);
    EXPECT_TRUE(sim::TraceContains("has no reference to release", TRACE_LEVEL_ERROR));
    EXPECT_TRUE(sim::wdf::IsLiveHandle(object));

    PVOID tag = reinterpret_cast<PVOID>(0x7654);
    WdfObjectReferenceWithTag(object, tag);
    WdfObjectReference(object);
    WdfObjectDelete(object);
    WdfObjectDelete(object);
    EXPECT_TRUE(sim::TraceContains("is already deleted", TRACE_LEVEL_ERROR));
    EXPECT_EQ(gEvents, (Events{"cleanup 1"}));
    EXPECT_EQ(OrderContext(object)->id, 1); // still usable while referenced
    WdfObjectDereferenceWithTag(object, tag);
    EXPECT_EQ(gEvents.size(), 1u);
    // A release under a tag never taken is reported, and releases all the same.
    WdfObjectDereferenceWithTag(object, reinterpret_cast<PVOID>(2));
    EXPECT_TRUE(sim::TraceContains("holds no reference with tag", TRACE_LEVEL_ERROR));
    EXPECT_EQ(gEvents, (Events{"cleanup 1", "destroy 1"}));
    EXPECT_FALSE(sim::wdf::IsLiveHandle(object));
}

TEST_F(ObjectTest, ACreationUnderAParentBeingDeletedFails) {
    static WDFOBJECT sCreated;
    static NTSTATUS sStatus;
    sCreated = nullptr;
    sStatus = STATUS_SUCCESS;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.EvtCleanupCallback = [](WDFOBJECT object) {
        WDF_OBJECT_ATTRIBUTES child;
        WDF_OBJECT_ATTRIBUTES_INIT(&child);
        child.ParentObject = object;
        sStatus = WdfObjectCreate(&child, &sCreated);
    };
    WDFOBJECT parent = nullptr;
    ASSERT_EQ(WdfObjectCreate(&attributes, &parent), STATUS_SUCCESS);
    WdfObjectDelete(parent);
    EXPECT_EQ(sStatus, STATUS_DELETE_PENDING);
    EXPECT_EQ(sCreated, nullptr);
    EXPECT_EQ(sim::wdf::LiveObjectCount(), 0u);
}

} // namespace
