// The object model behind WDF handles: every object has a kind, a parent,
// children, typed contexts, cleanup and destroy callbacks and a reference
// count, and lives in one table of live objects that every call checks its
// handles against. Internal to the framework stand-in.
#pragma once

#include "platform/wdf.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace fx {

enum class Kind {
    Object,
    Driver,
    Device,
    Memory,
    Queue,
    Request,
    FileObject,
    Collection,
    WaitLock,
    SpinLock,
    Timer,
    WorkItem,
    IoTarget,
    Key,
};
const char* KindName(Kind kind);

struct ContextRecord {
    PCWDF_OBJECT_CONTEXT_TYPE_INFO type = nullptr; // null: callbacks only
    // The type's name, kept here: the type record may live in a driver
    // library that is unloaded before the object goes.
    std::string name;
    void* data = nullptr;
    std::size_t size = 0;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP cleanup = nullptr;
    PFN_WDF_OBJECT_CONTEXT_DESTROY destroy = nullptr;
};

enum class LifeState { Live, Deleting, Deleted, Destroyed };

class Object : public std::enable_shared_from_this<Object> {
public:
    explicit Object(Kind kind) : mKind(kind) {}
    virtual ~Object();
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    Kind kind() const { return mKind; }
    WDFOBJECT handle() const { return mHandle; }
    WDFOBJECT parent() const { return mParent; }
    LifeState state() const;

    // Kind-specific teardown: OnDeleteBegin before the children are deleted
    // (stop timers, flush work items), OnCleanedUp after the cleanup callbacks,
    // OnDestroy when the last reference is gone.
    virtual void OnDeleteBegin() {}
    virtual void OnCleanedUp() {}
    virtual void OnDestroy() {}
    // Whether the driver may delete this object with WdfObjectDelete.
    virtual bool DriverMayDelete() const { return true; }
    // A line for the leak report.
    virtual std::string Describe() const;

    // The context of a type, or null.
    void* FindContext(PCWDF_OBJECT_CONTEXT_TYPE_INFO type);
    // Adds a zero-filled context (or a callbacks-only record when type is null).
    NTSTATUS AddContext(PCWDF_OBJECT_CONTEXT_TYPE_INFO type, std::size_t sizeOverride,
                        PFN_WDF_OBJECT_CONTEXT_CLEANUP cleanup,
                        PFN_WDF_OBJECT_CONTEXT_DESTROY destroy, void** data);

    long ExtraReferences() const;

private:
    friend NTSTATUS Insert(const std::shared_ptr<Object>&, PWDF_OBJECT_ATTRIBUTES, WDFOBJECT,
                           const char*);
    friend void Delete(const std::shared_ptr<Object>&, bool);
    friend void Release(const std::shared_ptr<Object>&, PVOID, const char*);
    friend void AddReference(const std::shared_ptr<Object>&, PVOID);
    friend void DropAll();

    const Kind mKind;
    WDFOBJECT mHandle = nullptr;
    WDFOBJECT mParent = nullptr;

protected:
    mutable std::mutex mLock;

private:
    LifeState mState = LifeState::Live;
    std::vector<WDFOBJECT> mChildren; // in order of creation
    std::vector<ContextRecord> mContexts;
    long mReferences = 1; // the object's own, dropped by its deletion
    std::multimap<PVOID, int> mTags;
};

// Gives the object a handle, its attributes' context and callbacks, and its
// parent (the attributes' ParentObject, else `defaultParent`, which may be
// null). The object is live once this succeeds.
NTSTATUS Insert(const std::shared_ptr<Object>& object, PWDF_OBJECT_ATTRIBUTES attributes,
                WDFOBJECT defaultParent, const char* call);
// Insert, handing the new object's handle to the creator (as its handle type)
// once the object is live.
template <typename Handle>
NTSTATUS InsertAs(const std::shared_ptr<Object>& object, PWDF_OBJECT_ATTRIBUTES attributes,
                  WDFOBJECT defaultParent, const char* call, Handle* created) {
    NTSTATUS status = Insert(object, attributes, defaultParent, call);
    if (NT_SUCCESS(status)) {
        *created = reinterpret_cast<Handle>(object->handle());
    }
    return status;
}

// The live object behind a handle, or null (nothing reported).
std::shared_ptr<Object> Lookup(WDFOBJECT handle);
// The same, reporting a bad handle on behalf of `call`.
std::shared_ptr<Object> GetAny(WDFOBJECT handle, const char* call);
template <typename T> std::shared_ptr<T> Get(WDFOBJECT handle, Kind kind, const char* call);

void ReportBadHandle(const char* call, const void* handle, const char* expected);
// Traces an error of the framework and writes it to the debugger.
void ReportError(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Deletes the object and its children (children first). `cascade`: called for
// the child of an object being deleted, where an object already on its way
// out is not an error.
void Delete(const std::shared_ptr<Object>& object, bool cascade = false);
void AddReference(const std::shared_ptr<Object>& object, PVOID tag);
void Release(const std::shared_ptr<Object>& object, PVOID tag, const char* call);

// The default parent of objects created without one: the driver, if any.
WDFOBJECT DefaultParent();
void SetDriverHandle(WDFDRIVER driver);

// The object a context belongs to, or null.
WDFOBJECT OwnerOfContext(void* context);

// Every live object, in order of creation.
std::vector<std::shared_ptr<Object>> Snapshot();
// Forgets every object without calling back (test fixtures).
void DropAll();

// A fault point check: the status to fail with, or STATUS_SUCCESS.
NTSTATUS CheckFaultStatus(const char* point, NTSTATUS fallback = STATUS_INSUFFICIENT_RESOURCES);

template <typename T> std::shared_ptr<T> Get(WDFOBJECT handle, Kind kind, const char* call) {
    auto object = Lookup(handle);
    if (!object || object->kind() != kind) {
        ReportBadHandle(call, handle, KindName(kind));
        return nullptr;
    }
    return std::static_pointer_cast<T>(object);
}

} // namespace fx
