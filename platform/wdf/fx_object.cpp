#include "platform/wdf/fx_object.h"

#include "platform/sim/faults.h"
#include "platform/trace.h"
#include "platform/win32.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <unordered_map>
#include <unordered_set>

namespace fx {
namespace {

struct Table {
    std::mutex lock;
    std::map<std::uintptr_t, std::shared_ptr<Object>> objects; // ordered: creation order
    std::unordered_map<void*, WDFOBJECT> contexts;             // context data -> owner
    std::uintptr_t nextId = 1;
    WDFOBJECT driver = nullptr;
};

Table& TheTable() {
    static Table* table = new Table; // outlives every static destructor that may delete objects
    return *table;
}

// Handles are numbers, never addresses: a stale handle can not come back to
// life as a new object that happens to reuse its memory.
constexpr std::uintptr_t kHandleBase = 0x7E0000000000ull;
WDFOBJECT HandleOf(std::uintptr_t id) {
    return reinterpret_cast<WDFOBJECT>(kHandleBase + id * 16);
}
std::uintptr_t IdOf(WDFOBJECT handle) {
    auto value = reinterpret_cast<std::uintptr_t>(handle);
    if (value < kHandleBase || (value - kHandleBase) % 16 != 0) {
        return 0;
    }
    return (value - kHandleBase) / 16;
}

// `b` is the caller's type record; `a` one held by an object.
bool SameType(const ContextRecord& a, PCWDF_OBJECT_CONTEXT_TYPE_INFO b) {
    if (a.type == b) {
        return true;
    }
    // One type declared in two binaries (the driver library and its host)
    // has two records with one name.
    return b != nullptr && b->ContextName != nullptr && !a.name.empty() && a.name == b->ContextName;
}

PCWDF_OBJECT_CONTEXT_TYPE_INFO Unique(PCWDF_OBJECT_CONTEXT_TYPE_INFO type) {
    return type != nullptr && type->UniqueType != nullptr ? type->UniqueType : type;
}

void Destroy(const std::shared_ptr<Object>& object, std::vector<ContextRecord> contexts) {
    for (const auto& context : contexts) {
        if (context.destroy != nullptr) {
            context.destroy(object->handle());
        }
    }
    object->OnDestroy();
    auto& table = TheTable();
    std::lock_guard guard(table.lock);
    for (const auto& context : contexts) {
        if (context.data != nullptr) {
            table.contexts.erase(context.data);
        }
    }
    table.objects.erase(IdOf(object->handle()));
}

} // namespace

const char* KindName(Kind kind) {
    switch (kind) {
    case Kind::Object:
        return "WDFOBJECT";
    case Kind::Driver:
        return "WDFDRIVER";
    case Kind::Device:
        return "WDFDEVICE";
    case Kind::Memory:
        return "WDFMEMORY";
    case Kind::Queue:
        return "WDFQUEUE";
    case Kind::Request:
        return "WDFREQUEST";
    case Kind::FileObject:
        return "WDFFILEOBJECT";
    case Kind::Collection:
        return "WDFCOLLECTION";
    case Kind::WaitLock:
        return "WDFWAITLOCK";
    case Kind::SpinLock:
        return "WDFSPINLOCK";
    case Kind::Timer:
        return "WDFTIMER";
    case Kind::WorkItem:
        return "WDFWORKITEM";
    case Kind::IoTarget:
        return "WDFIOTARGET";
    case Kind::Key:
        return "WDFKEY";
    }
    return "?";
}

Object::~Object() {
    for (auto& context : mContexts) {
        if (context.data != nullptr) {
            ::operator delete (context.data, std::align_val_t{16});
        }
    }
}

LifeState Object::state() const {
    std::lock_guard guard(mLock);
    return mState;
}

std::string Object::Describe() const {
    char text[160];
    std::snprintf(text, sizeof(text), "%s %p (parent %p)", KindName(mKind), mHandle, mParent);
    std::string line = text;
    std::lock_guard guard(mLock);
    for (const auto& context : mContexts) {
        if (!context.name.empty()) {
            line += " [" + context.name + "]";
        }
    }
    return line;
}

long Object::ExtraReferences() const {
    std::lock_guard guard(mLock);
    return mReferences - (mState == LifeState::Live || mState == LifeState::Deleting ? 1 : 0);
}

void* Object::FindContext(PCWDF_OBJECT_CONTEXT_TYPE_INFO type) {
    type = Unique(type);
    std::lock_guard guard(mLock);
    for (const auto& context : mContexts) {
        if (context.type != nullptr && SameType(context, type)) {
            return context.data;
        }
    }
    return nullptr;
}

NTSTATUS Object::AddContext(PCWDF_OBJECT_CONTEXT_TYPE_INFO type, std::size_t sizeOverride,
                            PFN_WDF_OBJECT_CONTEXT_CLEANUP cleanup,
                            PFN_WDF_OBJECT_CONTEXT_DESTROY destroy, void** data) {
    type = Unique(type);
    ContextRecord record{type, {}, nullptr, 0, cleanup, destroy};
    if (type != nullptr) {
        record.name = type->ContextName != nullptr ? type->ContextName : "";
        std::size_t size = sizeOverride != 0 ? sizeOverride : type->ContextSize;
        if (size == 0) {
            size = 1; // an empty context type still marks the object
        }
        record.data = ::operator new (size, std::align_val_t{16}, std::nothrow);
        if (record.data == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        std::memset(record.data, 0, size);
        record.size = size;
    }
    {
        std::lock_guard guard(mLock);
        if (type != nullptr) {
            for (const auto& context : mContexts) {
                if (context.type != nullptr && SameType(context, type)) {
                    ::operator delete (record.data, std::align_val_t{16});
                    if (data != nullptr) {
                        *data = context.data;
                    }
                    return STATUS_OBJECT_NAME_EXISTS;
                }
            }
        }
        if (mState != LifeState::Live) {
            if (record.data != nullptr) {
                ::operator delete (record.data, std::align_val_t{16});
            }
            return STATUS_DELETE_PENDING;
        }
        mContexts.push_back(record);
    }
    if (record.data != nullptr) {
        auto& table = TheTable();
        std::lock_guard guard(table.lock);
        table.contexts[record.data] = mHandle;
    }
    if (data != nullptr) {
        *data = record.data;
    }
    return STATUS_SUCCESS;
}

void ReportError(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "WDF: %s", text);
    std::string line = std::string("WDF: ") + text + "\n";
    OutputDebugStringA(line.c_str());
}

void ReportBadHandle(const char* call, const void* handle, const char* expected) {
    if (handle == nullptr) {
        ReportError("%s: NULL handle where a %s is required", call, expected);
    } else {
        ReportError("%s: invalid handle %p (stale, or not a %s)", call, handle, expected);
    }
}

std::shared_ptr<Object> Lookup(WDFOBJECT handle) {
    std::uintptr_t id = IdOf(handle);
    if (id == 0) {
        return nullptr;
    }
    auto& table = TheTable();
    std::lock_guard guard(table.lock);
    auto it = table.objects.find(id);
    return it == table.objects.end() ? nullptr : it->second;
}

std::shared_ptr<Object> GetAny(WDFOBJECT handle, const char* call) {
    auto object = Lookup(handle);
    if (!object) {
        ReportBadHandle(call, handle, "WDF object");
    }
    return object;
}

NTSTATUS Insert(const std::shared_ptr<Object>& object, PWDF_OBJECT_ATTRIBUTES attributes,
                WDFOBJECT defaultParent, const char* call) {
    std::shared_ptr<Object> parent;
    WDFOBJECT parentHandle = defaultParent;
    if (attributes != nullptr && attributes->ParentObject != nullptr) {
        parentHandle = attributes->ParentObject;
    }
    if (parentHandle != nullptr) {
        parent = Lookup(parentHandle);
        if (!parent) {
            ReportBadHandle(call, parentHandle, "parent object");
            return STATUS_INVALID_HANDLE;
        }
    }
    auto& table = TheTable();
    {
        std::lock_guard guard(table.lock);
        object->mHandle = HandleOf(table.nextId++);
    }
    object->mParent = parent ? parentHandle : nullptr;
    if (attributes != nullptr) {
        NTSTATUS status = object->AddContext(
            attributes->ContextTypeInfo, attributes->ContextSizeOverride,
            attributes->EvtCleanupCallback, attributes->EvtDestroyCallback, nullptr);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    {
        // In the table before it is a child: a parent's deletion that sees the
        // child then also finds it.
        std::lock_guard guard(table.lock);
        table.objects[IdOf(object->mHandle)] = object;
    }
    if (parent) {
        std::lock_guard guard(parent->mLock);
        if (parent->mState == LifeState::Live) {
            parent->mChildren.push_back(object->mHandle);
            return STATUS_SUCCESS;
        }
    } else {
        return STATUS_SUCCESS;
    }
    ReportError("%s: parent %p is being deleted", call, parentHandle);
    std::vector<void*> contexts;
    {
        std::lock_guard guard(object->mLock);
        object->mState = LifeState::Destroyed;
        for (const auto& context : object->mContexts) {
            contexts.push_back(context.data);
        }
    }
    std::lock_guard guard(table.lock);
    table.objects.erase(IdOf(object->mHandle));
    for (void* context : contexts) {
        if (context != nullptr) {
            table.contexts.erase(context);
        }
    }
    return STATUS_DELETE_PENDING;
}

void Delete(const std::shared_ptr<Object>& object, bool cascade) {
    std::vector<WDFOBJECT> children;
    {
        std::lock_guard guard(object->mLock);
        if (object->mState != LifeState::Live) {
            if (!cascade) {
                ReportError("WdfObjectDelete: %s %p is already deleted", KindName(object->mKind),
                            object->mHandle);
            }
            return;
        }
        object->mState = LifeState::Deleting;
        children = object->mChildren;
    }
    object->OnDeleteBegin();
    for (WDFOBJECT child : children) {
        if (auto record = Lookup(child)) {
            Delete(record, true);
        }
    }
    // The children take themselves out of the list only when deleted on
    // their own: one by one from the front, a parent of many children would
    // be deleted in time quadratic in their number.
    if (!children.empty()) {
        std::unordered_set<WDFOBJECT> gone(children.begin(), children.end());
        std::lock_guard guard(object->mLock);
        std::erase_if(object->mChildren, [&](WDFOBJECT child) { return gone.count(child) != 0; });
    }
    std::vector<ContextRecord> contexts;
    {
        std::lock_guard guard(object->mLock);
        contexts = object->mContexts;
    }
    for (const auto& context : contexts) {
        if (context.cleanup != nullptr) {
            context.cleanup(object->mHandle);
        }
    }
    object->OnCleanedUp();
    if (auto parent = Lookup(object->mParent)) {
        std::lock_guard guard(parent->mLock);
        if (parent->mState != LifeState::Deleting) {
            std::erase(parent->mChildren, object->mHandle);
        }
    }
    {
        std::lock_guard guard(object->mLock);
        object->mState = LifeState::Deleted;
    }
    Release(object, nullptr, nullptr);
}

void AddReference(const std::shared_ptr<Object>& object, PVOID tag) {
    std::lock_guard guard(object->mLock);
    if (object->mState == LifeState::Destroyed) {
        ReportError("WdfObjectReference: %s %p is already destroyed", KindName(object->mKind),
                    object->mHandle);
        return;
    }
    ++object->mReferences;
    if (tag != nullptr) {
        object->mTags.emplace(tag, 1);
    }
}

void Release(const std::shared_ptr<Object>& object, PVOID tag, const char* call) {
    std::vector<ContextRecord> contexts;
    {
        std::lock_guard guard(object->mLock);
        bool own = call == nullptr;
        if (!own) {
            long floor = object->mState == LifeState::Deleted ? 0 : 1;
            if (object->mReferences <= floor) {
                ReportError("%s: %s %p has no reference to release", call, KindName(object->mKind),
                            object->mHandle);
                return;
            }
            if (tag != nullptr) {
                auto it = object->mTags.find(tag);
                if (it == object->mTags.end()) {
                    ReportError("%s: %s %p holds no reference with tag %p", call,
                                KindName(object->mKind), object->mHandle, tag);
                } else {
                    object->mTags.erase(it);
                }
            }
        }
        if (--object->mReferences > 0) {
            return;
        }
        object->mState = LifeState::Destroyed;
        contexts = object->mContexts;
    }
    Destroy(object, std::move(contexts));
}

WDFOBJECT DefaultParent() {
    auto& table = TheTable();
    std::lock_guard guard(table.lock);
    return table.driver;
}

void SetDriverHandle(WDFDRIVER driver) {
    auto& table = TheTable();
    std::lock_guard guard(table.lock);
    table.driver = driver;
}

std::vector<std::shared_ptr<Object>> Snapshot() {
    auto& table = TheTable();
    std::lock_guard guard(table.lock);
    std::vector<std::shared_ptr<Object>> objects;
    for (const auto& [id, object] : table.objects) {
        objects.push_back(object);
    }
    return objects;
}

void DropAll() {
    std::map<std::uintptr_t, std::shared_ptr<Object>> objects;
    {
        auto& table = TheTable();
        std::lock_guard guard(table.lock);
        objects.swap(table.objects);
        table.contexts.clear();
        table.driver = nullptr;
    }
    for (auto& [id, object] : objects) {
        std::lock_guard guard(object->mLock);
        object->mState = LifeState::Destroyed;
    }
    // Kind-specific resources (threads of timers and work items) go with the
    // records as the last references are dropped here.
    for (auto& [id, object] : objects) {
        object->OnDestroy();
    }
}

WDFOBJECT OwnerOfContext(void* context) {
    auto& table = TheTable();
    std::lock_guard guard(table.lock);
    auto it = table.contexts.find(context);
    return it == table.contexts.end() ? nullptr : it->second;
}

NTSTATUS CheckFaultStatus(const char* point, NTSTATUS fallback) {
    if (auto code = sim::CheckFault(point)) {
        return sim::FaultCodeOr<NTSTATUS>(*code, fallback);
    }
    return STATUS_SUCCESS;
}

} // namespace fx
