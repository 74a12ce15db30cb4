#include "dmf/framework/DmfInterface.h"

#include "dmf/framework/DmfObject.h"
#include "dmf/framework/DmfRecordMemory.h"
#include "platform/trace.h"
#include "platform/win32.h"

#include <new>

namespace {

enum BindingState : LONG {
    BindingState_Bound = 1,
    BindingState_Unbinding = 4,
    BindingState_Unbound = 5,
};

constexpr DWORD kReferencePollMs = 100;

struct DMF_INTERFACE_BINDING {
    DMF_OBJECT* First;
    DMF_OBJECT* Second;
    LONG State;
    LONG ReferenceCount;
    WDFSPINLOCK ReferenceLock;
    WDFMEMORY Object;
    DMF_INTERFACE_BINDING_CALLBACKS Callbacks;
};

DMF_INTERFACE_BINDING* BindingOf(WDFOBJECT object) {
    return static_cast<DMF_INTERFACE_BINDING*>(
        WdfMemoryGetBuffer(static_cast<WDFMEMORY>(object), nullptr));
}

NTSTATUS BindingsPrepare(DMF_OBJECT* dmfObject) {
    if (dmfObject->InterfaceBindingsPresent) {
        return STATUS_SUCCESS;
    }
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = DMF_ModuleToWdfObject(dmfObject->MemoryDmfModule);
    NTSTATUS ntStatus = WdfSpinLockCreate(&attributes, &dmfObject->InterfaceBindingsLock);
    if (NT_SUCCESS(ntStatus)) {
        ntStatus = WdfCollectionCreate(&attributes, &dmfObject->InterfaceBindings);
    }
    if (NT_SUCCESS(ntStatus)) {
        dmfObject->InterfaceBindingsPresent = TRUE;
    }
    return ntStatus;
}

// Takes the binding of the pair (in either order) out of `holder`'s bindings.
bool RemoveFrom(DMF_OBJECT* holder, DMF_OBJECT* a, DMF_OBJECT* b, WDFOBJECT* removed) {
    if (!holder->InterfaceBindingsPresent) {
        return false;
    }
    bool found = false;
    WdfSpinLockAcquire(holder->InterfaceBindingsLock);
    ULONG count = WdfCollectionGetCount(holder->InterfaceBindings);
    for (ULONG index = 0; index < count; ++index) {
        WDFOBJECT item = WdfCollectionGetItem(holder->InterfaceBindings, index);
        DMF_INTERFACE_BINDING* binding = BindingOf(item);
        if ((binding->First == a && binding->Second == b) ||
            (binding->First == b && binding->Second == a)) {
            WdfObjectReference(item); // outlives its removal from the collection
            WdfCollectionRemoveItem(holder->InterfaceBindings, index);
            *removed = item;
            found = true;
            break;
        }
    }
    WdfSpinLockRelease(holder->InterfaceBindingsLock);
    return found;
}

} // namespace

NTSTATUS DMF_ModuleInterfaceBind(DMFMODULE First, DMFMODULE Second,
                                 const DMF_INTERFACE_BINDING_CALLBACKS* Callbacks,
                                 WDFOBJECT* Binding) {
    *Binding = nullptr;
    DMF_OBJECT* first = DMF_ModuleToObject(First);
    DMF_OBJECT* second = DMF_ModuleToObject(Second);
    NTSTATUS ntStatus = BindingsPrepare(first);
    if (NT_SUCCESS(ntStatus)) {
        ntStatus = BindingsPrepare(second);
    }
    if (!NT_SUCCESS(ntStatus)) {
        return ntStatus;
    }
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = first->ParentDevice;
    WDFMEMORY memory = nullptr;
    DMF_INTERFACE_BINDING* binding = nullptr;
    ntStatus = DMF_RecordCreate(&attributes, WdfMakePoolTag("DmfI"), &memory, &binding);
    if (!NT_SUCCESS(ntStatus)) {
        return ntStatus;
    }
    binding->First = first;
    binding->Second = second;
    binding->State = BindingState_Bound;
    binding->Object = memory;
    if (Callbacks != nullptr) {
        binding->Callbacks = *Callbacks;
    }
    WDF_OBJECT_ATTRIBUTES lockAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&lockAttributes);
    lockAttributes.ParentObject = memory;
    ntStatus = WdfSpinLockCreate(&lockAttributes, &binding->ReferenceLock);
    if (NT_SUCCESS(ntStatus)) {
        WdfSpinLockAcquire(first->InterfaceBindingsLock);
        ntStatus = WdfCollectionAdd(first->InterfaceBindings, memory);
        WdfSpinLockRelease(first->InterfaceBindingsLock);
    }
    if (NT_SUCCESS(ntStatus)) {
        WdfSpinLockAcquire(second->InterfaceBindingsLock);
        ntStatus = WdfCollectionAdd(second->InterfaceBindings, memory);
        WdfSpinLockRelease(second->InterfaceBindingsLock);
        if (!NT_SUCCESS(ntStatus)) {
            WDFOBJECT removed = nullptr;
            if (RemoveFrom(first, first, second, &removed)) {
                WdfObjectDereference(removed);
            }
        }
    }
    if (!NT_SUCCESS(ntStatus)) {
        WdfObjectDelete(memory);
        return ntStatus;
    }
    *Binding = memory;
    return STATUS_SUCCESS;
}

NTSTATUS DMF_InterfaceReference(WDFOBJECT Binding) {
    DMF_INTERFACE_BINDING* binding = BindingOf(Binding);
    NTSTATUS ntStatus = STATUS_SUCCESS;
    WdfSpinLockAcquire(binding->ReferenceLock);
    if (binding->State != BindingState_Bound) {
        ntStatus = STATUS_INVALID_DEVICE_STATE;
    } else {
        binding->ReferenceCount++;
    }
    WdfSpinLockRelease(binding->ReferenceLock);
    return ntStatus;
}

void DMF_InterfaceDereference(WDFOBJECT Binding) {
    DMF_INTERFACE_BINDING* binding = BindingOf(Binding);
    WdfSpinLockAcquire(binding->ReferenceLock);
    binding->ReferenceCount--;
    WdfSpinLockRelease(binding->ReferenceLock);
}

void DMF_ModuleInterfaceBindingsRemove(DMF_OBJECT* DmfObject) {
    for (;;) {
        WdfSpinLockAcquire(DmfObject->InterfaceBindingsLock);
        WDFOBJECT item = WdfCollectionGetCount(DmfObject->InterfaceBindings) > 0
                             ? WdfCollectionGetItem(DmfObject->InterfaceBindings, 0)
                             : nullptr;
        WdfSpinLockRelease(DmfObject->InterfaceBindingsLock);
        if (item == nullptr) {
            break;
        }
        DMF_INTERFACE_BINDING* binding = BindingOf(item);
        DMF_OBJECT* other = binding->First == DmfObject ? binding->Second : binding->First;
        WDFOBJECT mine = nullptr;
        WDFOBJECT theirs = nullptr;
        bool fromMine = RemoveFrom(DmfObject, DmfObject, other, &mine);
        bool fromTheirs = RemoveFrom(other, DmfObject, other, &theirs);
        if (fromMine && fromTheirs) {
            DMFMODULE first = binding->First->MemoryDmfModule;
            DMFMODULE second = binding->Second->MemoryDmfModule;
            if (binding->Callbacks.FirstUnbind != nullptr) {
                binding->Callbacks.FirstUnbind(first, second);
            }
            if (binding->Callbacks.SecondUnbind != nullptr) {
                binding->Callbacks.SecondUnbind(second, first);
            }
            WdfSpinLockAcquire(binding->ReferenceLock);
            binding->State = BindingState_Unbinding;
            LONG references = binding->ReferenceCount;
            WdfSpinLockRelease(binding->ReferenceLock);
            while (references > 0) {
                Sleep(kReferencePollMs);
                WdfSpinLockAcquire(binding->ReferenceLock);
                references = binding->ReferenceCount;
                WdfSpinLockRelease(binding->ReferenceLock);
            }
            if (binding->Callbacks.FirstFinal != nullptr) {
                binding->Callbacks.FirstFinal(first);
            }
            binding->State = BindingState_Unbound;
        }
        if (mine != nullptr) {
            WdfObjectDereference(mine);
        }
        if (theirs != nullptr) {
            WdfObjectDereference(theirs);
        }
        if (fromMine && fromTheirs) {
            WdfObjectDelete(item);
        }
        if (!fromMine) {
            break; // cannot happen: the item came from this module's bindings
        }
    }
}
