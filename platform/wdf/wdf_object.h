// Generic WDF object calls: deletion, contexts, custom types and references.
#pragma once

#include "platform/wdf/wdf_types.h"

// Deletes the object: its children first, then its own cleanup callbacks; the
// destroy callbacks run when the last reference is gone.
void WdfObjectDelete(WDFOBJECT Object);

// A zero-filled context of the attributes' type (and size override); fails
// with STATUS_OBJECT_NAME_EXISTS when the object already has that type.
NTSTATUS WdfObjectAllocateContext(WDFOBJECT Handle, PWDF_OBJECT_ATTRIBUTES ContextAttributes,
                                  PVOID* Context);

// The object that owns a context, NULL for anything that is not a context.
WDFOBJECT WdfObjectContextGetObject(PVOID ContextPointer);

// A plain object: a parent, contexts and callbacks, nothing else.
NTSTATUS WdfObjectCreate(PWDF_OBJECT_ATTRIBUTES Attributes, WDFOBJECT* Object);

void WdfObjectReferenceActual(WDFOBJECT Handle, PVOID Tag, LONG Line, PCSTR File);
void WdfObjectDereferenceActual(WDFOBJECT Handle, PVOID Tag, LONG Line, PCSTR File);
#define WdfObjectReference(_h) WdfObjectReferenceActual((_h), nullptr, __LINE__, __FILE__)
#define WdfObjectReferenceWithTag(_h, _tag)                                                        \
    WdfObjectReferenceActual((_h), (_tag), __LINE__, __FILE__)
#define WdfObjectDereference(_h) WdfObjectDereferenceActual((_h), nullptr, __LINE__, __FILE__)
#define WdfObjectDereferenceWithTag(_h, _tag)                                                      \
    WdfObjectDereferenceActual((_h), (_tag), __LINE__, __FILE__)

// Custom types (see WDF_DECLARE_CUSTOM_TYPE).
NTSTATUS WdfObjectAddCustomTypeWithDataWorker(WDFOBJECT Handle,
                                              PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo,
                                              ULONG_PTR Data,
                                              PFN_WDF_OBJECT_CONTEXT_CLEANUP EvtCleanupCallback,
                                              PFN_WDF_OBJECT_CONTEXT_DESTROY EvtDestroyCallback);
BOOLEAN WdfObjectIsCustomTypeWorker(WDFOBJECT Handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo);
ULONG_PTR WdfObjectGetCustomTypeDataWorker(WDFOBJECT Handle,
                                           PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo);

#define WdfObjectAddCustomTypeWithData(_h, _type, _data, _cleanup, _destroy)                       \
    WdfObjectAddCustomTypeWithDataWorker((_h), WDF_GET_CUSTOM_TYPE_INFO(_type), (_data),           \
                                         (_cleanup), (_destroy))
#define WdfObjectAddCustomType(_h, _type)                                                          \
    WdfObjectAddCustomTypeWithData(_h, _type, 0, nullptr, nullptr)
#define WdfObjectIsCustomType(_h, _type)                                                           \
    WdfObjectIsCustomTypeWorker((_h), WDF_GET_CUSTOM_TYPE_INFO(_type))
#define WdfObjectGetCustomTypeData(_h, _type)                                                      \
    WdfObjectGetCustomTypeDataWorker((_h), WDF_GET_CUSTOM_TYPE_INFO(_type))
