#include "wdf_fixture.h"

#include <cstring>
#include <string>

namespace {

using MemoryTest = WdfTest;
using CollectionTest = WdfTest;

constexpr ULONG kTag = WdfMakePoolTag("Dmf4");

WDFOBJECT NewObject() {
    WDFOBJECT object = nullptr;
    EXPECT_EQ(WdfObjectCreate(WDF_NO_OBJECT_ATTRIBUTES, &object), STATUS_SUCCESS);
    return object;
}

TEST_F(MemoryTest, RecordsPoolTagAndSizeAndKeepsItsZeroedBufferForItsLife) {
    WDFOBJECT parent = NewObject();
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = parent;
    WDFMEMORY memory = nullptr;
    PVOID buffer = nullptr;
    ASSERT_EQ(WdfMemoryCreate(&attributes, NonPagedPoolNx, kTag, 100, &memory, &buffer),
              STATUS_SUCCESS);
    size_t size = 0;
    EXPECT_EQ(WdfMemoryGetBuffer(memory, &size), buffer);
    EXPECT_EQ(size, 100u);
    EXPECT_EQ(std::memcmp(buffer, std::string(100, '\0').data(), 100), 0);
    auto objects = sim::wdf::LiveObjects();
    ASSERT_EQ(objects.size(), 2u);
    EXPECT_EQ(objects[1].kind, "WDFMEMORY");
    EXPECT_EQ(objects[1].poolTag, kTag);
    EXPECT_EQ(objects[1].size, 100u);
    EXPECT_EQ(objects[1].parent, parent);
    // Goes with its parent; the handle is then stale.
    WdfObjectDelete(parent);
    EXPECT_EQ(WdfMemoryGetBuffer(memory, &size), nullptr);
    EXPECT_EQ(size, 0u);

    // The poison option shows reliance on zeroed memory.
    sim::wdf::SetPoisonNewMemory(true);
    ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, kTag, 8, &memory, &buffer),
              STATUS_SUCCESS);
    EXPECT_EQ(static_cast<unsigned char*>(buffer)[7], 0xCD);
    WdfObjectDelete(memory);
}

TEST_F(MemoryTest, PreallocatedWrapsTheCallersBufferAndCopiesStayInBounds) {
    char storage[16] = "abcdefghijklmno";
    WDFMEMORY memory = nullptr;
    ASSERT_EQ(
        WdfMemoryCreatePreallocated(WDF_NO_OBJECT_ATTRIBUTES, storage, sizeof(storage), &memory),
        STATUS_SUCCESS);
    EXPECT_EQ(WdfMemoryGetBuffer(memory, nullptr), storage);
    char out[4] = {};
    EXPECT_EQ(WdfMemoryCopyToBuffer(memory, 12, out, 4), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(out, "mno", 4), 0);
    EXPECT_EQ(WdfMemoryCopyToBuffer(memory, 13, out, 4), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(WdfMemoryCopyFromBuffer(memory, 0, const_cast<char*>("XY"), 2), STATUS_SUCCESS);
    EXPECT_EQ(storage[0], 'X');
    WdfObjectDelete(memory);
    EXPECT_EQ(storage[1], 'Y'); // the caller's buffer outlives the object
}

TEST_F(MemoryTest, FailuresComeFromFaultPointsAndBadArguments) {
    WDFMEMORY memory = reinterpret_cast<WDFMEMORY>(1);
    sim::ArmFault("WdfMemoryCreate", sim::FaultSpec::Once(STATUS_NO_MEMORY));
    EXPECT_EQ(WdfMemoryCreate(nullptr, PagedPool, kTag, 8, &memory, nullptr), STATUS_NO_MEMORY);
    EXPECT_EQ(memory, nullptr);
    EXPECT_EQ(WdfMemoryCreate(nullptr, PagedPool, kTag, 0, &memory, nullptr),
              STATUS_INVALID_PARAMETER);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = reinterpret_cast<WDFOBJECT>(0x1234);
    EXPECT_EQ(WdfMemoryCreate(&attributes, PagedPool, kTag, 8, &memory, nullptr),
              STATUS_INVALID_HANDLE);

    WDFCOLLECTION collection = nullptr;
    sim::ArmFault("WdfCollectionCreate", sim::FaultSpec::Once());
    EXPECT_EQ(WdfCollectionCreate(WDF_NO_OBJECT_ATTRIBUTES, &collection),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(collection, nullptr);
    EXPECT_EQ(sim::wdf::LiveObjectCount(), 0u);
    ASSERT_EQ(WdfCollectionCreate(WDF_NO_OBJECT_ATTRIBUTES, &collection), STATUS_SUCCESS);
    WDFOBJECT item = NewObject();
    sim::ArmFault("WdfCollectionAdd", sim::FaultSpec::Once(STATUS_NO_MEMORY));
    EXPECT_EQ(WdfCollectionAdd(collection, item), STATUS_NO_MEMORY);
    EXPECT_EQ(WdfCollectionGetCount(collection), 0u);
    WdfObjectDelete(item);
    EXPECT_FALSE(sim::wdf::IsLiveHandle(item)); // no reference was taken
    WdfObjectDelete(collection);
}

TEST_F(CollectionTest, KeepsOrderOfAdditionAndAReferenceOnEveryItemUntilRemovedOrDeleted) {
    WDFCOLLECTION collection = nullptr;
    ASSERT_EQ(WdfCollectionCreate(WDF_NO_OBJECT_ATTRIBUTES, &collection), STATUS_SUCCESS);
    EXPECT_EQ(WdfCollectionGetFirstItem(collection), nullptr);
    WDFOBJECT items[4];
    for (auto& item : items) {
        item = NewObject();
        ASSERT_EQ(WdfCollectionAdd(collection, item), STATUS_SUCCESS);
    }
    EXPECT_EQ(WdfCollectionGetCount(collection), 4u);
    EXPECT_EQ(WdfCollectionGetFirstItem(collection), items[0]);
    EXPECT_EQ(WdfCollectionGetLastItem(collection), items[3]);
    EXPECT_EQ(WdfCollectionGetItem(collection, 2), items[2]);
    EXPECT_EQ(WdfCollectionGetItem(collection, 4), nullptr);

    WdfCollectionRemove(collection, items[1]);
    WdfCollectionRemoveItem(collection, 0);
    EXPECT_EQ(WdfCollectionGetCount(collection), 2u);
    EXPECT_EQ(WdfCollectionGetFirstItem(collection), items[2]);
    EXPECT_EQ(WdfCollectionGetItem(collection, 1), items[3]);
    WdfCollectionRemove(collection, items[0]);
    EXPECT_TRUE(sim::TraceContains("is not in collection", TRACE_LEVEL_ERROR));
    WdfCollectionRemoveItem(collection, 9);
    EXPECT_TRUE(sim::TraceContains("out of range", TRACE_LEVEL_ERROR));
    EXPECT_EQ(WdfCollectionGetCount(collection), 2u);

    for (auto item : items) {
        WdfObjectDelete(item);
    }
    EXPECT_FALSE(sim::wdf::IsLiveHandle(items[0]));
    EXPECT_TRUE(sim::wdf::IsLiveHandle(items[2])); // still held by the collection
    WdfObjectDelete(collection);
    EXPECT_EQ(sim::wdf::LiveObjectCount(), 0u);
}

} // namespace
