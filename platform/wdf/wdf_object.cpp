// Generic object calls of the framework stand-in.
#include "platform/wdf/fx_device.h"
#include "platform/wdf/fx_object.h"
#include "platform/win32.h"

using fx::Kind;

namespace {

// Sent to a target and not yet handed back through its completion routine.
bool SentAndNotCompleted(const std::shared_ptr<fx::Object>& object) {
    if (object->kind() != Kind::Request) {
        return false;
    }
    auto& request = static_cast<fx::Request&>(*object);
    std::lock_guard guard(request.requestLock);
    return request.inFlight || request.completionOwed;
}

} // namespace

void WdfObjectDelete(WDFOBJECT Object) {
    auto object = fx::GetAny(Object, "WdfObjectDelete");
    if (!object) {
        return;
    }
    if (!object->DriverMayDelete()) {
        fx::ReportError("WdfObjectDelete: a %s %p is deleted by the framework, not the driver",
                        fx::KindName(object->kind()), Object);
        return;
    }
    if (SentAndNotCompleted(object)) {
        // As the verifier would: the completion still to come would find its
        // request gone. The request is left alone, to complete as it will.
        fx::ReportError("WdfObjectDelete: request %p was sent and has not completed", Object);
        DebugBreak();
        return;
    }
    fx::Delete(object);
}

NTSTATUS WdfObjectAllocateContext(WDFOBJECT Handle, PWDF_OBJECT_ATTRIBUTES ContextAttributes,
                                  PVOID* Context) {
    if (Context != nullptr) {
        *Context = nullptr;
    }
    auto object = fx::GetAny(Handle, "WdfObjectAllocateContext");
    if (!object) {
        return STATUS_INVALID_HANDLE;
    }
    if (ContextAttributes == nullptr || ContextAttributes->ContextTypeInfo == nullptr) {
        fx::ReportError("WdfObjectAllocateContext: attributes without a context type");
        return STATUS_INVALID_PARAMETER;
    }
    if (NTSTATUS status = fx::CheckFaultStatus("WdfObjectAllocateContext"); !NT_SUCCESS(status)) {
        return status;
    }
    return object->AddContext(
        ContextAttributes->ContextTypeInfo, ContextAttributes->ContextSizeOverride,
        ContextAttributes->EvtCleanupCallback, ContextAttributes->EvtDestroyCallback, Context);
}

PVOID WdfObjectGetTypedContextWorker(WDFOBJECT Handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo) {
    auto object = fx::GetAny(Handle, "WdfObjectGetTypedContextWorker");
    if (!object || TypeInfo == nullptr) {
        return nullptr;
    }
    return object->FindContext(TypeInfo);
}

WDFOBJECT WdfObjectContextGetObject(PVOID ContextPointer) {
    WDFOBJECT owner = fx::OwnerOfContext(ContextPointer);
    if (owner == nullptr) {
        fx::ReportError("WdfObjectContextGetObject: %p is not an object context", ContextPointer);
    }
    return owner;
}

namespace {
class PlainObject final : public fx::Object {
public:
    PlainObject() : fx::Object(Kind::Object) {}
};
} // namespace

NTSTATUS WdfObjectCreate(PWDF_OBJECT_ATTRIBUTES Attributes, WDFOBJECT* Object) {
    *Object = nullptr;
    if (NTSTATUS status = fx::CheckFaultStatus("WdfObjectCreate"); !NT_SUCCESS(status)) {
        return status;
    }
    auto object = std::make_shared<PlainObject>();
    return fx::InsertAs(object, Attributes, fx::DefaultParent(), "WdfObjectCreate", Object);
}

void WdfObjectReferenceActual(WDFOBJECT Handle, PVOID Tag, LONG Line, PCSTR File) {
    (void)Line;
    (void)File;
    if (auto object = fx::GetAny(Handle, "WdfObjectReference")) {
        fx::AddReference(object, Tag);
    }
}

void WdfObjectDereferenceActual(WDFOBJECT Handle, PVOID Tag, LONG Line, PCSTR File) {
    (void)Line;
    (void)File;
    if (auto object = fx::GetAny(Handle, "WdfObjectDereference")) {
        fx::Release(object, Tag, "WdfObjectDereference");
    }
}

NTSTATUS WdfObjectAddCustomTypeWithDataWorker(WDFOBJECT Handle,
                                              PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo,
                                              ULONG_PTR Data,
                                              PFN_WDF_OBJECT_CONTEXT_CLEANUP EvtCleanupCallback,
                                              PFN_WDF_OBJECT_CONTEXT_DESTROY EvtDestroyCallback) {
    auto object = fx::GetAny(Handle, "WdfObjectAddCustomType");
    if (!object) {
        return STATUS_INVALID_HANDLE;
    }
    void* context = nullptr;
    NTSTATUS status = object->AddContext(TypeInfo, sizeof(WDF_CUSTOM_TYPE_CONTEXT),
                                         EvtCleanupCallback, EvtDestroyCallback, &context);
    if (status == STATUS_SUCCESS) {
        auto* record = static_cast<WDF_CUSTOM_TYPE_CONTEXT*>(context);
        record->Size = sizeof(WDF_CUSTOM_TYPE_CONTEXT);
        record->Data = Data;
    }
    return status;
}

BOOLEAN WdfObjectIsCustomTypeWorker(WDFOBJECT Handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo) {
    auto object = fx::GetAny(Handle, "WdfObjectIsCustomType");
    return object && object->FindContext(TypeInfo) != nullptr ? TRUE : FALSE;
}

ULONG_PTR WdfObjectGetCustomTypeDataWorker(WDFOBJECT Handle,
                                           PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo) {
    auto object = fx::GetAny(Handle, "WdfObjectGetCustomTypeData");
    if (!object) {
        return 0;
    }
    auto* record = static_cast<WDF_CUSTOM_TYPE_CONTEXT*>(object->FindContext(TypeInfo));
    return record != nullptr ? record->Data : 0;
}
