// WDF collections: each item is held with a reference until it is removed or
// the collection goes away.
#include "platform/wdf/fx_object.h"

#include <utility>

namespace {

class Collection final : public fx::Object {
public:
    Collection() : fx::Object(fx::Kind::Collection) {}

    std::vector<std::shared_ptr<fx::Object>> TakeAll() {
        std::lock_guard guard(mLock);
        return std::exchange(mItems, {});
    }
    void OnCleanedUp() override {
        for (auto& item : TakeAll()) {
            fx::Release(item, nullptr, "WdfCollection (cleanup)");
        }
    }

    std::vector<std::shared_ptr<fx::Object>> mItems;
    using fx::Object::mLock;
};

std::shared_ptr<Collection> GetCollection(WDFCOLLECTION handle, const char* call) {
    return fx::Get<Collection>(handle, fx::Kind::Collection, call);
}

} // namespace

NTSTATUS WdfCollectionCreate(PWDF_OBJECT_ATTRIBUTES CollectionAttributes,
                             WDFCOLLECTION* Collection) {
    *Collection = nullptr;
    if (NTSTATUS status = fx::CheckFaultStatus("WdfCollectionCreate"); !NT_SUCCESS(status)) {
        return status;
    }
    auto collection = std::make_shared<::Collection>();
    return fx::InsertAs(collection, CollectionAttributes, fx::DefaultParent(),
                        "WdfCollectionCreate", Collection);
}

NTSTATUS WdfCollectionAdd(WDFCOLLECTION Collection, WDFOBJECT Object) {
    auto collection = GetCollection(Collection, "WdfCollectionAdd");
    if (!collection) {
        return STATUS_INVALID_HANDLE;
    }
    auto item = fx::GetAny(Object, "WdfCollectionAdd");
    if (!item) {
        return STATUS_INVALID_HANDLE;
    }
    if (NTSTATUS status = fx::CheckFaultStatus("WdfCollectionAdd"); !NT_SUCCESS(status)) {
        return status;
    }
    fx::AddReference(item, nullptr);
    std::lock_guard guard(collection->mLock);
    collection->mItems.push_back(item);
    return STATUS_SUCCESS;
}

void WdfCollectionRemove(WDFCOLLECTION Collection, WDFOBJECT Item) {
    auto collection = GetCollection(Collection, "WdfCollectionRemove");
    if (!collection) {
        return;
    }
    std::shared_ptr<fx::Object> removed;
    {
        std::lock_guard guard(collection->mLock);
        auto& items = collection->mItems;
        for (auto it = items.begin(); it != items.end(); ++it) {
            if ((*it)->handle() == Item) {
                removed = *it;
                items.erase(it);
                break;
            }
        }
    }
    if (!removed) {
        fx::ReportError("WdfCollectionRemove: %p is not in collection %p", Item, Collection);
        return;
    }
    fx::Release(removed, nullptr, "WdfCollectionRemove");
}

void WdfCollectionRemoveItem(WDFCOLLECTION Collection, ULONG Index) {
    auto collection = GetCollection(Collection, "WdfCollectionRemoveItem");
    if (!collection) {
        return;
    }
    std::shared_ptr<fx::Object> removed;
    {
        std::lock_guard guard(collection->mLock);
        auto& items = collection->mItems;
        if (Index < items.size()) {
            removed = items[Index];
            items.erase(items.begin() + Index);
        }
    }
    if (!removed) {
        fx::ReportError("WdfCollectionRemoveItem: index %u out of range in %p", Index, Collection);
        return;
    }
    fx::Release(removed, nullptr, "WdfCollectionRemoveItem");
}

ULONG WdfCollectionGetCount(WDFCOLLECTION Collection) {
    auto collection = GetCollection(Collection, "WdfCollectionGetCount");
    if (!collection) {
        return 0;
    }
    std::lock_guard guard(collection->mLock);
    return static_cast<ULONG>(collection->mItems.size());
}

WDFOBJECT WdfCollectionGetItem(WDFCOLLECTION Collection, ULONG Index) {
    auto collection = GetCollection(Collection, "WdfCollectionGetItem");
    if (!collection) {
        return nullptr;
    }
    std::lock_guard guard(collection->mLock);
    return Index < collection->mItems.size() ? collection->mItems[Index]->handle() : nullptr;
}

WDFOBJECT WdfCollectionGetFirstItem(WDFCOLLECTION Collection) {
    auto collection = GetCollection(Collection, "WdfCollectionGetFirstItem");
    if (!collection) {
        return nullptr;
    }
    std::lock_guard guard(collection->mLock);
    return collection->mItems.empty() ? nullptr : collection->mItems.front()->handle();
}

WDFOBJECT WdfCollectionGetLastItem(WDFCOLLECTION Collection) {
    auto collection = GetCollection(Collection, "WdfCollectionGetLastItem");
    if (!collection) {
        return nullptr;
    }
    std::lock_guard guard(collection->mLock);
    return collection->mItems.empty() ? nullptr : collection->mItems.back()->handle();
}
