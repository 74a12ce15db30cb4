// WDF work items: each runs on a serial queue of its own, so one item never
// runs twice at once; an enqueue while it is queued (not yet running) adds
// nothing.
#include "platform/wdf/fx_deferred.h"
#include "platform/wdf/fx_object.h"

namespace {

class WorkItem final : public fx::Object {
public:
    explicit WorkItem(const WDF_WORKITEM_CONFIG& config)
        : fx::Object(fx::Kind::WorkItem), mConfig(config) {}
    ~WorkItem() override { fx::RetireQueue(mQueue); }

    void Enqueue() {
        std::lock_guard guard(mItemLock);
        if (mQueued || mGone) {
            return;
        }
        if (!mQueue) {
            mQueue = fx::NewQueue("WDF work item"); // a thread only for items that run
        }
        mQueued = true;
        std::weak_ptr<WorkItem> self = std::static_pointer_cast<WorkItem>(shared_from_this());
        mQueue->Post([self] {
            if (auto item = self.lock()) {
                item->Run();
            }
        });
    }

    void Flush(const char* call) {
        fx::QueuePtr queue = CurrentQueue();
        if (!queue) {
            return;
        }
        if (queue->OnQueueThread()) {
            fx::ReportError("%s: work item %p flushed from its own callback", call, handle());
            return;
        }
        fx::Drain(queue);
    }

    void OnDeleteBegin() override {
        {
            std::lock_guard guard(mItemLock);
            mGone = true;
        }
        fx::QueuePtr queue = CurrentQueue();
        if (queue && !queue->OnQueueThread()) {
            fx::Drain(queue);
        }
    }

private:
    fx::QueuePtr CurrentQueue() {
        std::lock_guard guard(mItemLock);
        return mQueue;
    }

    void Run() {
        {
            std::lock_guard guard(mItemLock);
            mQueued = false;
            if (mGone) {
                return;
            }
        }
        mConfig.EvtWorkItemFunc(reinterpret_cast<WDFWORKITEM>(handle()));
    }

    WDF_WORKITEM_CONFIG mConfig;
    fx::QueuePtr mQueue;
    std::mutex mItemLock;
    bool mQueued = false;
    bool mGone = false;
};

} // namespace

NTSTATUS WdfWorkItemCreate(PWDF_WORKITEM_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes,
                           WDFWORKITEM* WorkItem) {
    *WorkItem = nullptr;
    if (Config == nullptr || Config->EvtWorkItemFunc == nullptr || Attributes == nullptr ||
        Attributes->ParentObject == nullptr) {
        fx::ReportError("WdfWorkItemCreate: a work item needs a callback and a parent object");
        return STATUS_INVALID_PARAMETER;
    }
    if (NTSTATUS status = fx::CheckFaultStatus("WdfWorkItemCreate"); !NT_SUCCESS(status)) {
        return status;
    }
    auto item = std::make_shared<::WorkItem>(*Config);
    return fx::InsertAs(item, Attributes, nullptr, "WdfWorkItemCreate", WorkItem);
}

void WdfWorkItemEnqueue(WDFWORKITEM WorkItem) {
    if (auto item = fx::Get<::WorkItem>(WorkItem, fx::Kind::WorkItem, "WdfWorkItemEnqueue")) {
        item->Enqueue();
    }
}

void WdfWorkItemFlush(WDFWORKITEM WorkItem) {
    if (auto item = fx::Get<::WorkItem>(WorkItem, fx::Kind::WorkItem, "WdfWorkItemFlush")) {
        item->Flush("WdfWorkItemFlush");
    }
}

WDFOBJECT WdfWorkItemGetParentObject(WDFWORKITEM WorkItem) {
    auto item = fx::Get<::WorkItem>(WorkItem, fx::Kind::WorkItem, "WdfWorkItemGetParentObject");
    return item ? item->parent() : nullptr;
}
