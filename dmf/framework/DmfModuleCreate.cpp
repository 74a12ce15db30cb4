// Module creation and destruction.
#include "dmf/framework/DmfObject.h"
#include "dmf/framework/DmfRecordMemory.h"
#include "dmf/framework/DmfUtility.h"
#include "platform/trace.h"
#include "platform/win32.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

// The template every module's descriptor is copied over.
const DMF_MODULE_DESCRIPTOR kGenericDescriptor = [] {
    DMF_MODULE_DESCRIPTOR descriptor{};
    descriptor.Size = sizeof(DMF_MODULE_DESCRIPTOR);
    descriptor.ModuleName = "Generic";
    descriptor.ModuleOptions = DMF_MODULE_OPTIONS_PASSIVE;
    descriptor.OpenOption = DMF_MODULE_OPEN_OPTION_OPEN_Create;
    return descriptor;
}();

void DefaultPostOpen(DMFMODULE DmfModule) {
    TraceEvents(TRACE_LEVEL_VERBOSE, DMF_TRACE, "DmfModule=%p post-open",
                static_cast<void*>(DmfModule));
}

void DefaultPreClose(DMFMODULE DmfModule) {
    TraceEvents(TRACE_LEVEL_VERBOSE, DMF_TRACE, "DmfModule=%p pre-close",
                static_cast<void*>(DmfModule));
}

// A parent-dynamic module never sees the device's PnP/power callbacks, so it
// must not depend on them.
bool ParentDynamicRulesHold(const DMF_MODULE_DESCRIPTOR* descriptor) {
    const DMF_CALLBACKS_WDF* callbacks = descriptor->CallbacksWdf;
    if (callbacks != nullptr &&
        (callbacks->PrepareHardware != nullptr || callbacks->ReleaseHardware != nullptr ||
         callbacks->D0Entry != nullptr || callbacks->D0EntryPostInterruptsEnabled != nullptr ||
         callbacks->D0ExitPreInterruptsDisabled != nullptr || callbacks->D0Exit != nullptr ||
         callbacks->SelfManagedIoCleanup != nullptr || callbacks->SelfManagedIoFlush != nullptr ||
         callbacks->SelfManagedIoInit != nullptr || callbacks->SelfManagedIoSuspend != nullptr ||
         callbacks->SelfManagedIoRestart != nullptr)) {
        return false;
    }
    return descriptor->OpenOption == DMF_MODULE_OPEN_OPTION_OPEN_Create ||
           descriptor->OpenOption == DMF_MODULE_OPEN_OPTION_NOTIFY_Create;
}

// Resolves the lock kind; exactly one of passive and dispatch must remain.
NTSTATUS ResolveLockKind(DMF_OBJECT* dmfObject, BOOLEAN passiveLevel) {
    ULONG& options = dmfObject->ModuleDescriptor.ModuleOptions;
    if (options & DMF_MODULE_OPTIONS_DISPATCH_MAXIMUM) {
        options |= passiveLevel ? DMF_MODULE_OPTIONS_PASSIVE : DMF_MODULE_OPTIONS_DISPATCH;
    } else if ((options & DMF_MODULE_OPTIONS_DISPATCH) && passiveLevel) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE,
                    "Module %s is dispatch-only but was asked to be passive",
                    dmfObject->ModuleName);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    ULONG kind = options & (DMF_MODULE_OPTIONS_PASSIVE | DMF_MODULE_OPTIONS_DISPATCH);
    if (kind != DMF_MODULE_OPTIONS_PASSIVE && kind != DMF_MODULE_OPTIONS_DISPATCH) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE,
                    "Module %s has no single lock kind (options 0x%X)", dmfObject->ModuleName,
                    options);
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CreateLocks(DMF_OBJECT* dmfObject, WDFOBJECT parent) {
    ULONG lockCount = dmfObject->ModuleDescriptor.AuxiliaryLockCount + 1;
    bool passive = dmfObject->ModuleDescriptor.ModuleOptions & DMF_MODULE_OPTIONS_PASSIVE;
    for (ULONG index = 0; index < lockCount; ++index) {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = parent;
        NTSTATUS ntStatus = passive
                                ? WdfWaitLockCreate(&attributes, &dmfObject->Locks[index].WaitLock)
                                : WdfSpinLockCreate(&attributes, &dmfObject->Locks[index].SpinLock);
        if (!NT_SUCCESS(ntStatus)) {
            TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "Lock %u of %s: ntStatus=0x%08X", index,
                        dmfObject->ModuleName, static_cast<unsigned>(ntStatus));
            return ntStatus;
        }
    }
    return STATUS_SUCCESS;
}

// A module's name, config copy and callback tables come from the process
// heap, and any of them may be refused.
template <typename Table> Table* HeapNew(const Table& initial) {
    void* memory = HeapAlloc(GetProcessHeap(), 0, sizeof(Table));
    return memory != nullptr ? new (memory) Table(initial) : nullptr;
}

void HeapDelete(void* memory) {
    if (memory != nullptr) {
        HeapFree(GetProcessHeap(), 0, memory);
    }
}

NTSTATUS BuildCallbackTables(DMF_OBJECT* dmfObject, const DMF_MODULE_DESCRIPTOR* descriptor) {
    auto* callbacksDmf = HeapNew(DmfCallbacksDmf_Default);
    if (callbacksDmf == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* callbacksWdf = HeapNew(DmfCallbacksWdf_Default);
    if (callbacksWdf == nullptr) {
        HeapDelete(callbacksDmf);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (const DMF_CALLBACKS_DMF* given = descriptor->CallbacksDmf; given != nullptr) {
        auto copy = [](auto& to, auto from) {
            if (from != nullptr) {
                to = from;
            }
        };
        copy(callbacksDmf->ModuleDestroy, given->ModuleDestroy);
        copy(callbacksDmf->ResourcesAssign, given->ResourcesAssign);
        copy(callbacksDmf->NotificationRegister, given->NotificationRegister);
        copy(callbacksDmf->NotificationUnregister, given->NotificationUnregister);
        copy(callbacksDmf->DeviceOpen, given->DeviceOpen);
        copy(callbacksDmf->DeviceClose, given->DeviceClose);
        copy(callbacksDmf->ChildModulesAdd, given->ChildModulesAdd);
    }
    if (const DMF_CALLBACKS_WDF* given = descriptor->CallbacksWdf; given != nullptr) {
#define DMF_SLOT_COPY(name)                                                                        \
    if (given->name != nullptr) {                                                                  \
        callbacksWdf->name = given->name;                                                          \
    }
        DMF_WDF_SLOTS(DMF_SLOT_COPY)
#undef DMF_SLOT_COPY
    }
    dmfObject->ModuleDescriptor.CallbacksDmf = callbacksDmf;
    dmfObject->ModuleDescriptor.CallbacksWdf = callbacksWdf;
    return STATUS_SUCCESS;
}

// What the heap holds for a module, released by destroy, cleanup and the
// failure path of creation alike.
void FreeInternals(DMF_OBJECT* dmfObject) {
    if (dmfObject->InterfaceBindingsPresent) {
        DMF_ModuleInterfaceBindingsRemove(dmfObject);
    }
    dmfObject->ModuleState = ModuleState_Destroyed;
    HeapDelete(dmfObject->ClientModuleInstanceName);
    dmfObject->ClientModuleInstanceName = nullptr;
    HeapDelete(dmfObject->ModuleDescriptor.CallbacksDmf);
    dmfObject->ModuleDescriptor.CallbacksDmf = nullptr;
    HeapDelete(dmfObject->ModuleDescriptor.CallbacksWdf);
    dmfObject->ModuleDescriptor.CallbacksWdf = nullptr;
    HeapDelete(dmfObject->ModuleConfig);
    dmfObject->ModuleConfig = nullptr;
    DMF_EventClose(&dmfObject->ModuleOpenedEvent);
    if (dmfObject->ModuleAttributes.DynamicModule) {
        auto deleteObject = [](auto& handle) {
            if (handle != nullptr) {
                WdfObjectDelete(handle);
                handle = nullptr;
            }
        };
        deleteObject(dmfObject->ReferenceCountLock);
        for (DMF_LOCK_RECORD& lock : dmfObject->Locks) {
            deleteObject(lock.SpinLock);
            deleteObject(lock.WaitLock);
        }
    }
}

void UnlinkFromParent(DMF_OBJECT* dmfObject) {
    DMF_OBJECT* parent = dmfObject->DmfObjectParent;
    if (dmfObject->InParentList) {
        DMF_ListRemove(&dmfObject->SiblingLinks);
        parent->NumberOfChildModules--;
        dmfObject->InParentList = FALSE;
    }
    if (parent != nullptr && parent->TransportModule == dmfObject) {
        parent->TransportModule = nullptr;
    }
}

void DestroyChildren(DMF_OBJECT* dmfObject) {
    DMF_ChildrenForward(dmfObject, [](DMF_OBJECT* child) { DMF_Module_Destroy(child, TRUE); });
}

void DmfModuleMemoryCleanupCallback(WDFOBJECT Object) {
    DMFMODULE dmfModule = reinterpret_cast<DMFMODULE>(Object);
    DMF_OBJECT* dmfObject = DMF_ModuleToObject(dmfModule);
    FuncEntry(DMF_TRACE);
    if (dmfObject->ModuleState > ModuleState_Creating) {
        DMF_Module_CloseOrUnregisterNotificationOnDestroy(dmfObject);
        DMF_ChildrenReverse(dmfObject, [](DMF_OBJECT* child) { DMF_Module_Destroy(child, TRUE); });
        dmfObject->InternalCallbacksDmf.ModuleDestroy(dmfModule);
    }
    FreeInternals(dmfObject);
    // A module that failed creation was never the creator's to clean up.
    if (dmfObject->HandedOut && dmfObject->ClientEvtCleanupCallback != nullptr) {
        dmfObject->ClientEvtCleanupCallback(Object);
    }
    if (dmfObject->ReferencedParent != nullptr) {
        WdfObjectDereferenceWithTag(dmfObject->ReferencedParent, DMF_TAG_PARENT_REFERENCE);
        dmfObject->ReferencedParent = nullptr;
    }
    FuncExitVoid(DMF_TRACE);
}

NTSTATUS AddChildModules(DMF_OBJECT* dmfObject, WDFDEVICE Device) {
    DMFMODULE dmfModule = dmfObject->MemoryDmfModule;
    DMFMODULE_INIT init;
    DMFMODULE_INIT_Prepare(&init, Device, dmfModule, nullptr);
    dmfObject->ModuleDescriptor.CallbacksDmf->ChildModulesAdd(dmfModule,
                                                              &dmfObject->ModuleAttributes, &init);
    if (dmfObject->ModuleDescriptor.ModuleOptions & DMF_MODULE_OPTIONS_TRANSPORT_REQUIRED &&
        dmfObject->ModuleAttributes.TransportModulesAdd != nullptr) {
        init.IsTransportModule = TRUE;
        dmfObject->ModuleAttributes.TransportModulesAdd(dmfModule, &dmfObject->ModuleAttributes,
                                                        &init);
    }
    if (init.ModuleDescriptionCollection == nullptr && NT_SUCCESS(init.DmfStatus)) {
        return STATUS_SUCCESS;
    }
    if (dmfObject->ModuleAttributes.DynamicModule && init.ModuleDescriptionCollection != nullptr) {
        // WDF would clean the children up before the dynamic module's own
        // cleanup could close and destroy them.
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "Dynamic module %s cannot have children",
                    dmfObject->ModuleName);
        WdfObjectDelete(init.ModuleDescriptionCollection);
        return STATUS_NOT_SUPPORTED;
    }
    WDFMEMORY childCollection = nullptr;
    NTSTATUS ntStatus = DMF_ModuleCollectionCreate(nullptr, &init, &childCollection);
    if (childCollection != nullptr) {
        // The children now stand in this module's list; the collection was
        // only the vehicle of their creation.
        WdfObjectDelete(childCollection);
    }
    return ntStatus;
}

} // namespace

DMF_OBJECT* DMF_ModuleToObject(DMFMODULE DmfModule) {
    return static_cast<DMF_OBJECT*>(
        WdfMemoryGetBuffer(reinterpret_cast<WDFMEMORY>(DmfModule), nullptr));
}

void DMF_CALLBACKS_DMF_INIT(DMF_CALLBACKS_DMF* Callbacks) {
    *Callbacks = {};
    Callbacks->Size = sizeof(DMF_CALLBACKS_DMF);
}

void DMF_CALLBACKS_WDF_INIT(DMF_CALLBACKS_WDF* Callbacks) {
    *Callbacks = {};
    Callbacks->Size = sizeof(DMF_CALLBACKS_WDF);
}

void DMF_MODULE_DESCRIPTOR_INIT(DMF_MODULE_DESCRIPTOR* Descriptor, PCSTR ModuleName,
                                ULONG ModuleOptions, ULONG OpenOption) {
    *Descriptor = {};
    Descriptor->Size = sizeof(DMF_MODULE_DESCRIPTOR);
    Descriptor->ModuleName = ModuleName;
    Descriptor->ModuleOptions = ModuleOptions;
    Descriptor->OpenOption = OpenOption;
}

void DMF_MODULE_ATTRIBUTES_INIT(DMF_MODULE_ATTRIBUTES* Attributes, ULONG ConfigSize,
                                PVOID ConfigPointer, DMF_ModuleInstanceCreate* InstanceCreator) {
    *Attributes = {};
    Attributes->Size = sizeof(DMF_MODULE_ATTRIBUTES);
    Attributes->ModuleConfigPointer = ConfigPointer;
    Attributes->SizeOfModuleSpecificConfig = ConfigSize;
    Attributes->InstanceCreator = InstanceCreator;
    Attributes->ClientModuleInstanceName = "";
}

NTSTATUS DMF_ModuleCreate(WDFDEVICE Device, DMF_MODULE_ATTRIBUTES* DmfModuleAttributes,
                          WDF_OBJECT_ATTRIBUTES* DmfModuleObjectAttributes,
                          DMF_MODULE_DESCRIPTOR* ModuleDescriptor, DMFMODULE* DmfModule) {
    FuncEntry(DMF_TRACE);
    *DmfModule = nullptr;
    WDFOBJECT parentObject =
        (DmfModuleObjectAttributes != nullptr && DmfModuleObjectAttributes->ParentObject != nullptr)
            ? DmfModuleObjectAttributes->ParentObject
            : static_cast<WDFOBJECT>(Device);

    if (DmfModuleAttributes->IsParentDynamic && !ParentDynamicRulesHold(ModuleDescriptor)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE,
                    "Module %s cannot be the child of a dynamic module",
                    ModuleDescriptor->ModuleName);
        return STATUS_UNSUCCESSFUL;
    }

    WDF_OBJECT_ATTRIBUTES objectAttributes;
    if (DmfModuleObjectAttributes != nullptr) {
        objectAttributes = *DmfModuleObjectAttributes;
    } else {
        WDF_OBJECT_ATTRIBUTES_INIT(&objectAttributes);
    }
    objectAttributes.ParentObject = parentObject;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP clientCleanup = nullptr;
    if (DmfModuleAttributes->DynamicModule) {
        clientCleanup = objectAttributes.EvtCleanupCallback;
        objectAttributes.EvtCleanupCallback = DmfModuleMemoryCleanupCallback;
    }

    WDFMEMORY memory = nullptr;
    DMF_OBJECT* dmfObject = nullptr;
    NTSTATUS ntStatus = DMF_RecordCreate(&objectAttributes, DMF_TAG_MODULE, &memory, &dmfObject);
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "WdfMemoryCreate fails: ntStatus=0x%08X",
                    static_cast<unsigned>(ntStatus));
        return ntStatus;
    }

    DMFMODULE dmfModule = reinterpret_cast<DMFMODULE>(memory);
    DMF_ListInitialize(&dmfObject->ChildObjectList);
    DMF_ListInitialize(&dmfObject->SiblingLinks);
    dmfObject->MemoryDmfModule = dmfModule;
    dmfObject->ParentDevice = Device;
    dmfObject->Signature = DMF_OBJECT_SIGNATURE;
    dmfObject->ModuleName = ModuleDescriptor->ModuleName;
    dmfObject->ClientEvtCleanupCallback = clientCleanup;
    dmfObject->IsTransport = DmfModuleAttributes->IsTransportModule;
    dmfObject->ModuleState = ModuleState_Creating;
    dmfObject->IsClosed = TRUE;

    DMF_MODULE_DESCRIPTOR& descriptor = dmfObject->ModuleDescriptor;
    descriptor = kGenericDescriptor;
    descriptor.ModuleOptions = ModuleDescriptor->ModuleOptions;
    descriptor.OpenOption = ModuleDescriptor->OpenOption;
    descriptor.ModuleConfigSize = ModuleDescriptor->ModuleConfigSize;
    descriptor.ModuleTypeData = ModuleDescriptor->ModuleTypeData;
    descriptor.BranchTrackInitialize = ModuleDescriptor->BranchTrackInitialize;
    descriptor.ModuleTypeData2 = ModuleDescriptor->ModuleTypeData2;
    descriptor.AuxiliaryLockCount = ModuleDescriptor->AuxiliaryLockCount;
    descriptor.ModuleTypeValue = ModuleDescriptor->ModuleTypeValue;
    descriptor.TransportGuidOffered = ModuleDescriptor->TransportGuidOffered;
    descriptor.TransportGuidRequired = ModuleDescriptor->TransportGuidRequired;
    descriptor.ModuleAttach = ModuleDescriptor->ModuleAttach;
    dmfObject->ModuleAttributes = *DmfModuleAttributes;

    const size_t configSize = ModuleDescriptor->ModuleConfigSize;
    const char* instanceName = DmfModuleAttributes->ClientModuleInstanceName;
    if (instanceName == nullptr || instanceName[0] == '\0') {
        instanceName = ModuleDescriptor->ModuleName;
    }
    size_t nameBytes = std::strlen(instanceName) + 1;
    // WDF cleans a dynamic module's children up before its cleanup callback
    // runs, and that callback still closes the module: its locks hang on the
    // parent instead and are deleted with the module's internals.
    WDFOBJECT lockParent = DmfModuleAttributes->DynamicModule ? parentObject : memory;

    if (ModuleDescriptor->ModuleContextAttributes != nullptr) {
        ntStatus = WdfObjectAllocateContext(memory, ModuleDescriptor->ModuleContextAttributes,
                                            &dmfObject->ModuleContext);
        if (!NT_SUCCESS(ntStatus)) {
            TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "Module context of %s: ntStatus=0x%08X",
                        dmfObject->ModuleName, static_cast<unsigned>(ntStatus));
            goto Exit;
        }
    }

    dmfObject->ClientModuleInstanceName =
        static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, nameBytes));
    if (dmfObject->ClientModuleInstanceName == nullptr) {
        ntStatus = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    std::memcpy(dmfObject->ClientModuleInstanceName, instanceName, nameBytes);
    dmfObject->ClientModuleInstanceNameSizeBytes = nameBytes;

    if (DmfModuleAttributes->SizeOfModuleSpecificConfig != 0 && configSize != 0) {
        // The client's config may be shorter than the module's (an older
        // layout): copy what it has and leave the rest zero.
        dmfObject->ModuleConfig = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, configSize);
        if (dmfObject->ModuleConfig == nullptr) {
            ntStatus = STATUS_INSUFFICIENT_RESOURCES;
            goto Exit;
        }
        dmfObject->ModuleConfigSize = configSize;
        if (DmfModuleAttributes->ModuleConfigPointer != nullptr) {
            std::memcpy(
                dmfObject->ModuleConfig, DmfModuleAttributes->ModuleConfigPointer,
                std::min<size_t>(configSize, DmfModuleAttributes->SizeOfModuleSpecificConfig));
        }
    }

    {
        WDF_OBJECT_ATTRIBUTES lockAttributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&lockAttributes);
        lockAttributes.ParentObject = lockParent;
        ntStatus = WdfSpinLockCreate(&lockAttributes, &dmfObject->ReferenceCountLock);
        if (!NT_SUCCESS(ntStatus)) {
            goto Exit;
        }
    }
    ntStatus = ResolveLockKind(dmfObject, DmfModuleAttributes->PassiveLevel);
    if (!NT_SUCCESS(ntStatus)) {
        goto Exit;
    }
    // Five lock records: more auxiliary locks than four cannot be held.
    if (descriptor.AuxiliaryLockCount > DMF_MAXIMUM_AUXILIARY_LOCKS) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "Module %s asks for %u auxiliary locks",
                    dmfObject->ModuleName, descriptor.AuxiliaryLockCount);
        ntStatus = STATUS_UNSUCCESSFUL;
        goto Exit;
    }
    ntStatus = CreateLocks(dmfObject, lockParent);
    if (!NT_SUCCESS(ntStatus)) {
        goto Exit;
    }

    ntStatus = DMF_EventCreate(&dmfObject->ModuleOpenedEvent);
    if (!NT_SUCCESS(ntStatus)) {
        goto Exit;
    }

    ntStatus = BuildCallbackTables(dmfObject, ModuleDescriptor);
    if (!NT_SUCCESS(ntStatus)) {
        goto Exit;
    }
    {
        DMF_MODULE_EVENT_CALLBACKS* events = DmfModuleAttributes->ModuleEventCallbacks;
        dmfObject->EvtModulePostOpen = (events != nullptr && events->EvtModulePostOpen != nullptr)
                                           ? events->EvtModulePostOpen
                                           : DefaultPostOpen;
        dmfObject->EvtModulePreClose = (events != nullptr && events->EvtModulePreClose != nullptr)
                                           ? events->EvtModulePreClose
                                           : DefaultPreClose;
    }
    dmfObject->InternalCallbacksDmf = DmfCallbacksDmf_Internal;
    dmfObject->InternalCallbacksWdf = DmfCallbacksWdf_Internal;
    if (descriptor.ModuleOptions & DMF_MODULE_OPTIONS_DISPATCH) {
        dmfObject->LockOperations = DmfLockOperations_Dispatch;
    } else if (descriptor.ModuleOptions & DMF_MODULE_OPTIONS_PASSIVE) {
        dmfObject->LockOperations = DmfLockOperations_Passive;
    }
    dmfObject->ModuleState = ModuleState_Created;

    if (WdfObjectIsCustomType(parentObject, DMFMODULE_TYPE)) {
        DMF_OBJECT* parent = DMF_ModuleToObject(reinterpret_cast<DMFMODULE>(parentObject));
        if (!DmfModuleAttributes->DynamicModule) {
            DMF_ListAppend(&parent->ChildObjectList, &dmfObject->SiblingLinks);
            parent->NumberOfChildModules++;
            dmfObject->InParentList = TRUE;
        }
        dmfObject->DmfObjectParent = parent;
        if (dmfObject->IsTransport) {
            if (!DMF_GuidsEqual(&descriptor.TransportGuidOffered,
                                &parent->ModuleDescriptor.TransportGuidRequired)) {
                TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE,
                            "Module %s does not offer the transport %s requires",
                            dmfObject->ModuleName, parent->ModuleName);
                ntStatus = STATUS_UNSUCCESSFUL;
                goto Exit;
            }
            parent->TransportModule = dmfObject;
        }
    }

    if (DmfModuleAttributes->DynamicModule) {
        dmfObject->ReferencedParent = parentObject;
        WdfObjectReferenceWithTag(parentObject, DMF_TAG_PARENT_REFERENCE);
    }

    ntStatus = WdfObjectAddCustomType(memory, DMFMODULE_TYPE);
    if (!NT_SUCCESS(ntStatus)) {
        goto Exit;
    }

    ntStatus = AddChildModules(dmfObject, Device);
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "Children of %s: ntStatus=0x%08X",
                    dmfObject->ModuleName, static_cast<unsigned>(ntStatus));
        goto Exit;
    }

    if (descriptor.ModuleAttach != nullptr) {
        ntStatus = descriptor.ModuleAttach(dmfModule, 0, nullptr, nullptr);
        if (!NT_SUCCESS(ntStatus)) {
            goto Exit;
        }
    }

    if (DmfModuleAttributes->DynamicModule) {
        ntStatus = DMF_Module_OpenDuringCreate(dmfObject);
        if (!NT_SUCCESS(ntStatus)) {
            TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "Dynamic module %s fails to open: 0x%08X",
                        dmfObject->ModuleName, static_cast<unsigned>(ntStatus));
            goto Exit;
        }
        dmfObject->DynamicModuleOpenedImmediately = TRUE;
    }

    dmfObject->HandedOut = TRUE;
    *DmfModule = dmfModule;

Exit:
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "DMF_ModuleCreate %s fails: ntStatus=0x%08X",
                    ModuleDescriptor->ModuleName, static_cast<unsigned>(ntStatus));
        UnlinkFromParent(dmfObject);
        // Children created before the failure go with their parent.
        DestroyChildren(dmfObject);
        if (!DmfModuleAttributes->DynamicModule) {
            FreeInternals(dmfObject);
        }
        WdfObjectDelete(memory);
    }
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}

void DMF_Module_Destroy(DMF_OBJECT* DmfObject, BOOLEAN DeleteMemory) {
    DMFMODULE dmfModule = DmfObject->MemoryDmfModule;
    TraceEvents(TRACE_LEVEL_VERBOSE, DMF_TRACE, "Destroy %s", DmfObject->ClientModuleInstanceName);
    DestroyChildren(DmfObject);
    DmfObject->InternalCallbacksDmf.ModuleDestroy(dmfModule);
    FreeInternals(DmfObject);
    UnlinkFromParent(DmfObject);
    if (DeleteMemory) {
        WdfObjectDelete(DMF_ModuleToWdfObject(dmfModule));
    }
}
