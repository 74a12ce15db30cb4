// Module collections: the modules a client (or a module) adds, their creation
// in add order with the Bridge module last, the post-create pass that opens
// what opens at creation, the collection's teardown with the device, and
// DMF_ModulesCreate, which runs it all at device add.
#include "dmf/framework/DmfDeviceInitRecord.h"
#include "dmf/framework/DmfObject.h"
#include "dmf/framework/DmfRecordMemory.h"
#include "dmf/framework/Dmf_Bridge.h"
#include "platform/registry.h"
#include "platform/trace.h"

#include <cstring>
#include <new>

namespace {

// One added module, as kept until the collection is created: the creator's
// records are copied so that they need not outlive the add.
struct DMF_MODULE_DESCRIPTION {
    DMF_MODULE_ATTRIBUTES ModuleAttributes;
    WDF_OBJECT_ATTRIBUTES ObjectAttributes;
    DMF_MODULE_EVENT_CALLBACKS EventCallbacks;
    // The client's config follows.
};

void DeleteDescriptions(PDMFMODULE_INIT DmfModuleInit) {
    if (DmfModuleInit->ModuleDescriptionCollection != nullptr) {
        WdfObjectDelete(DmfModuleInit->ModuleDescriptionCollection);
        DmfModuleInit->ModuleDescriptionCollection = nullptr;
    }
}

void CollectionRecordSet(DMF_OBJECT* dmfObject, DMF_MODULE_COLLECTION* collection) {
    dmfObject->ModuleCollection = collection;
    DMF_ChildrenForward(
        dmfObject, [collection](DMF_OBJECT* child) { CollectionRecordSet(child, collection); });
}

void BranchTrackInitialize(DMF_OBJECT* dmfObject) {
    DMF_ChildrenForward(dmfObject, [](DMF_OBJECT* child) { BranchTrackInitialize(child); });
    if (dmfObject->ModuleDescriptor.BranchTrackInitialize != nullptr) {
        dmfObject->ModuleDescriptor.BranchTrackInitialize(dmfObject->MemoryDmfModule);
    }
}

// The driver's "BranchTrackEnabled" switch; a missing key or value is off.
bool BranchTrackEnabledRead() {
    static constexpr WCHAR kValueName[] = u"BranchTrackEnabled";
    WDFKEY key = nullptr;
    NTSTATUS ntStatus = WdfDriverOpenParametersRegistryKey(WdfGetDriver(), KEY_READ,
                                                           WDF_NO_OBJECT_ATTRIBUTES, &key);
    ULONG value = 0;
    if (NT_SUCCESS(ntStatus)) {
        UNICODE_STRING name{sizeof(kValueName) - sizeof(WCHAR), sizeof(kValueName),
                            const_cast<PWSTR>(kValueName)};
        if (!NT_SUCCESS(WdfRegistryQueryULong(key, &name, &value))) {
            value = 0;
        }
        WdfRegistryClose(key);
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, DMF_TRACE, "BranchTrackEnabled=%u",
                static_cast<unsigned>(value));
    return value != 0;
}

DMF_OBJECT* FindByName(DMF_MODULE_COLLECTION* collection, const char* name) {
    for (LONG index = 0; index < collection->NumberOfClientDriverDmfModules; ++index) {
        DMF_OBJECT* dmfObject = collection->ClientDriverDmfModules[index];
        if (std::strcmp(dmfObject->ModuleName, name) == 0) {
            return dmfObject;
        }
    }
    return nullptr;
}

// The module array is not a child of the record: WDF cleans children up
// before their parent, and the teardown still needs the array.
void ArrayDelete(DMF_MODULE_COLLECTION* collection) {
    if (collection->ClientDriverDmfModulesMemory != nullptr) {
        WdfObjectDelete(collection->ClientDriverDmfModulesMemory);
        collection->ClientDriverDmfModulesMemory = nullptr;
        collection->ClientDriverDmfModules = nullptr;
    }
}

void DmfModuleCollectionCleanupCallback(WDFOBJECT Object) {
    FuncEntry(DMF_TRACE);
    auto* collection = static_cast<DMF_MODULE_COLLECTION*>(
        WdfMemoryGetBuffer(static_cast<WDFMEMORY>(Object), nullptr));
    for (LONG index = collection->NumberOfClientDriverDmfModules - 1; index >= 0; --index) {
        DMF_Module_CloseOrUnregisterNotificationOnDestroy(
            collection->ClientDriverDmfModules[index]);
    }
    for (LONG index = 0; index < collection->NumberOfClientDriverDmfModules; ++index) {
        DMF_Module_Destroy(collection->ClientDriverDmfModules[index], TRUE);
        collection->ClientDriverDmfModules[index] = nullptr;
    }
    collection->NumberOfClientDriverDmfModules = 0;
    ArrayDelete(collection);
    FuncExitVoid(DMF_TRACE);
}

// A child collection only carried its modules into their parent's list.
void DmfChildCollectionCleanupCallback(WDFOBJECT Object) {
    ArrayDelete(static_cast<DMF_MODULE_COLLECTION*>(
        WdfMemoryGetBuffer(static_cast<WDFMEMORY>(Object), nullptr)));
}

NTSTATUS CollectionRecordCreate(WDFOBJECT parent, bool deviceCollection, ULONG moduleCount,
                                WDFMEMORY* collectionMemory) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = parent;
    attributes.EvtCleanupCallback =
        deviceCollection ? DmfModuleCollectionCleanupCallback : DmfChildCollectionCleanupCallback;
    WDFMEMORY memory = nullptr;
    DMF_MODULE_COLLECTION* collection = nullptr;
    NTSTATUS ntStatus = DMF_RecordCreate(&attributes, DMF_TAG_COLLECTION, &memory, &collection);
    if (!NT_SUCCESS(ntStatus)) {
        return ntStatus;
    }
    collection->ModuleCollectionHandleMemory = memory;
    ntStatus = WdfObjectAddCustomType(memory, DMFCOLLECTION_TYPE);
    if (NT_SUCCESS(ntStatus)) {
        WDF_OBJECT_ATTRIBUTES arrayAttributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&arrayAttributes);
        arrayAttributes.ParentObject = parent;
        PVOID array = nullptr;
        ntStatus = WdfMemoryCreate(&arrayAttributes, NonPagedPoolNx, DMF_TAG_MODULE_ARRAY,
                                   sizeof(DMF_OBJECT*) * moduleCount,
                                   &collection->ClientDriverDmfModulesMemory, &array);
        if (NT_SUCCESS(ntStatus)) {
            std::memset(array, 0, sizeof(DMF_OBJECT*) * moduleCount);
            collection->ClientDriverDmfModules = static_cast<DMF_OBJECT**>(array);
        }
    }
    if (!NT_SUCCESS(ntStatus)) {
        WdfObjectDelete(memory);
        return ntStatus;
    }
    *collectionMemory = memory;
    return STATUS_SUCCESS;
}

NTSTATUS PostCreate(DMF_MODULE_COLLECTION* collection, BOOLEAN branchTrackEnabled) {
    for (LONG index = 0; index < collection->NumberOfClientDriverDmfModules; ++index) {
        NTSTATUS ntStatus = DMF_Module_OpenDuringCreate(collection->ClientDriverDmfModules[index]);
        if (!NT_SUCCESS(ntStatus)) {
            return ntStatus;
        }
    }
    if (branchTrackEnabled) {
        for (LONG index = 0; index < collection->NumberOfClientDriverDmfModules; ++index) {
            BranchTrackInitialize(collection->ClientDriverDmfModules[index]);
        }
    }
    return STATUS_SUCCESS;
}

} // namespace

void DMFMODULE_INIT_Prepare(DMFMODULE_INIT* Init, WDFDEVICE Device, DMFMODULE ParentModule,
                            const DMF_MODULE_ATTRIBUTES* BranchTrackModuleAttributes) {
    *Init = {};
    Init->Size = sizeof(DMFMODULE_INIT);
    Init->DmfStatus = STATUS_SUCCESS;
    Init->ParentDevice = Device;
    Init->ParentModule = ParentModule;
    Init->BranchTrackModuleAttributes = BranchTrackModuleAttributes;
}

DMF_MODULE_COLLECTION* DMF_CollectionFromMemory(WDFMEMORY CollectionMemory) {
    return static_cast<DMF_MODULE_COLLECTION*>(WdfMemoryGetBuffer(CollectionMemory, nullptr));
}

DMF_MODULE_COLLECTION* DMF_DeviceCollectionGet(WDFDEVICE Device) {
    DMF_DEVICE_CONTEXT* context = DmfDeviceContextGet(Device);
    if (context == nullptr || context->WdfModuleCollection == nullptr) {
        return nullptr;
    }
    return DMF_CollectionFromMemory(context->WdfModuleCollection);
}

void DMF_DmfModuleAdd(PDMFMODULE_INIT DmfModuleInit, DMF_MODULE_ATTRIBUTES* ModuleAttributes,
                      WDF_OBJECT_ATTRIBUTES* ObjectAttributes, DMFMODULE* ResultantDmfModule) {
    if (!NT_SUCCESS(DmfModuleInit->DmfStatus)) {
        return;
    }
    NTSTATUS ntStatus = STATUS_SUCCESS;
    if (DmfModuleInit->ModuleDescriptionCollection == nullptr) {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = DmfModuleInit->ParentModule != nullptr
                                      ? DMF_ModuleToWdfObject(DmfModuleInit->ParentModule)
                                      : static_cast<WDFOBJECT>(DmfModuleInit->ParentDevice);
        ntStatus = WdfCollectionCreate(&attributes, &DmfModuleInit->ModuleDescriptionCollection);
        if (!NT_SUCCESS(ntStatus)) {
            TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "WdfCollectionCreate fails: 0x%08X",
                        static_cast<unsigned>(ntStatus));
            DmfModuleInit->ModuleDescriptionCollection = nullptr;
            DmfModuleInit->DmfStatus = ntStatus;
            return;
        }
        if (DmfModuleInit->BranchTrackModuleAttributes != nullptr) {
            // First in the collection: BranchTrack is open before any other
            // module declares or counts a branch.
            DMF_MODULE_ATTRIBUTES branchTrackAttributes =
                *DmfModuleInit->BranchTrackModuleAttributes;
            branchTrackAttributes.ClientModuleInstanceName = "";
            DMF_DmfModuleAdd(DmfModuleInit, &branchTrackAttributes, nullptr, nullptr);
            if (!NT_SUCCESS(DmfModuleInit->DmfStatus)) {
                return;
            }
        }
    }

    const size_t configSize = ModuleAttributes->SizeOfModuleSpecificConfig;
    WDF_OBJECT_ATTRIBUTES descriptionAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&descriptionAttributes);
    descriptionAttributes.ParentObject = DmfModuleInit->ModuleDescriptionCollection;
    WDFMEMORY memory = nullptr;
    PVOID buffer = nullptr;
    ntStatus = WdfMemoryCreate(&descriptionAttributes, NonPagedPoolNx, DMF_TAG_DESCRIPTION,
                               sizeof(DMF_MODULE_DESCRIPTION) + configSize, &memory, &buffer);
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "Module description allocation fails: 0x%08X",
                    static_cast<unsigned>(ntStatus));
        DmfModuleInit->DmfStatus = ntStatus;
        return;
    }
    auto* description = new (buffer) DMF_MODULE_DESCRIPTION{};
    description->ModuleAttributes = *ModuleAttributes;
    description->ModuleAttributes.ResultantDmfModule = ResultantDmfModule;
    description->ModuleAttributes.DynamicModule = FALSE;
    description->ModuleAttributes.IsTransportModule = DmfModuleInit->IsTransportModule;
    if (ObjectAttributes != nullptr) {
        description->ObjectAttributes = *ObjectAttributes;
    } else {
        WDF_OBJECT_ATTRIBUTES_INIT(&description->ObjectAttributes);
    }
    if (ModuleAttributes->ModuleEventCallbacks != nullptr) {
        description->EventCallbacks = *ModuleAttributes->ModuleEventCallbacks;
        description->ModuleAttributes.ModuleEventCallbacks = &description->EventCallbacks;
    }
    if (configSize != 0) {
        auto* config = reinterpret_cast<unsigned char*>(description + 1);
        if (ModuleAttributes->ModuleConfigPointer != nullptr) {
            std::memcpy(config, ModuleAttributes->ModuleConfigPointer, configSize);
        } else {
            std::memset(config, 0, configSize);
        }
        description->ModuleAttributes.ModuleConfigPointer = config;
    }

    ntStatus = WdfCollectionAdd(DmfModuleInit->ModuleDescriptionCollection, memory);
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "WdfCollectionAdd fails: 0x%08X",
                    static_cast<unsigned>(ntStatus));
        DmfModuleInit->DmfStatus = ntStatus;
        // The descriptions go as a whole; the init must not name them any more.
        DeleteDescriptions(DmfModuleInit);
    }
}

NTSTATUS DMF_ModuleCollectionCreate(PDMFDEVICE_INIT DmfDeviceInit, PDMFMODULE_INIT DmfModuleInit,
                                    WDFMEMORY* CollectionMemory) {
    FuncEntry(DMF_TRACE);
    *CollectionMemory = nullptr;
    const bool deviceCollection = DmfDeviceInit != nullptr;
    DMF_OBJECT* parentObject = DmfModuleInit->ParentModule != nullptr
                                   ? DMF_ModuleToObject(DmfModuleInit->ParentModule)
                                   : nullptr;
    WDFOBJECT parent = parentObject != nullptr
                           ? DMF_ModuleToWdfObject(DmfModuleInit->ParentModule)
                           : static_cast<WDFOBJECT>(DmfModuleInit->ParentDevice);
    WDFMEMORY memory = nullptr;
    DMF_MODULE_COLLECTION* collection = nullptr;
    ULONG count = 0;

    NTSTATUS ntStatus = DmfModuleInit->DmfStatus;
    if (!NT_SUCCESS(ntStatus)) {
        goto Exit;
    }
    if (DmfModuleInit->ModuleDescriptionCollection == nullptr &&
        DmfModuleInit->BranchTrackModuleAttributes == nullptr && !deviceCollection) {
        goto Exit;
    }

    if (DmfModuleInit->BranchTrackModuleAttributes != nullptr) {
        if (BranchTrackEnabledRead()) {
            DmfModuleInit->BranchTrackEnabled = TRUE;
        } else {
            // BranchTrack's description is the first one, unless the client
            // added nothing: then no add may bring it in from here on.
            DmfModuleInit->BranchTrackModuleAttributes = nullptr;
            if (DmfModuleInit->ModuleDescriptionCollection != nullptr) {
                WDFOBJECT branchTrack =
                    WdfCollectionGetItem(DmfModuleInit->ModuleDescriptionCollection, 0);
                WdfCollectionRemoveItem(DmfModuleInit->ModuleDescriptionCollection, 0);
                WdfObjectDelete(branchTrack);
            }
        }
    }

    if (deviceCollection) {
        // Bridge last: the client sees every "up" event after its modules and
        // every "down" event before them.
        DMF_MODULE_ATTRIBUTES bridgeAttributes;
        DMF_MODULE_ATTRIBUTES_INIT(&bridgeAttributes, sizeof(DMF_CONFIG_Bridge),
                                   DmfDeviceInit->DmfBridgeConfig, DMF_Bridge_Create);
        DMF_DmfModuleAdd(DmfModuleInit, &bridgeAttributes, nullptr, nullptr);
        ntStatus = DmfModuleInit->DmfStatus;
        if (!NT_SUCCESS(ntStatus)) {
            goto Exit;
        }
    }

    count = DmfModuleInit->ModuleDescriptionCollection != nullptr
                ? WdfCollectionGetCount(DmfModuleInit->ModuleDescriptionCollection)
                : 0;
    if (count == 0) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "No module to create");
        ntStatus = STATUS_INVALID_PARAMETER;
        goto Exit;
    }

    ntStatus = CollectionRecordCreate(parent, deviceCollection, count, &memory);
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "Collection record fails: 0x%08X",
                    static_cast<unsigned>(ntStatus));
        goto Exit;
    }
    collection = DMF_CollectionFromMemory(memory);

    for (ULONG index = 0; index < count; ++index) {
        auto* description = static_cast<DMF_MODULE_DESCRIPTION*>(
            WdfMemoryGetBuffer(static_cast<WDFMEMORY>(WdfCollectionGetItem(
                                   DmfModuleInit->ModuleDescriptionCollection, index)),
                               nullptr));
        DMF_MODULE_ATTRIBUTES* attributes = &description->ModuleAttributes;
        description->ObjectAttributes.ParentObject = parent;
        attributes->IsParentDynamic =
            parentObject != nullptr ? parentObject->ModuleAttributes.IsParentDynamic : FALSE;
        DMFMODULE dmfModule = nullptr;
        ntStatus = attributes->InstanceCreator(DmfModuleInit->ParentDevice, attributes,
                                               &description->ObjectAttributes, &dmfModule);
        if (!NT_SUCCESS(ntStatus)) {
            TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "Module %u fails to create: 0x%08X", index,
                        static_cast<unsigned>(ntStatus));
            break;
        }
        if (!attributes->IsTransportModule && attributes->ResultantDmfModule != nullptr) {
            *attributes->ResultantDmfModule = dmfModule;
        }
        collection->ClientDriverDmfModules[collection->NumberOfClientDriverDmfModules++] =
            DMF_ModuleToObject(dmfModule);
    }

    if (NT_SUCCESS(ntStatus) && deviceCollection) {
        for (LONG index = 0; index < collection->NumberOfClientDriverDmfModules; ++index) {
            DMF_OBJECT* dmfObject = collection->ClientDriverDmfModules[index];
            CollectionRecordSet(dmfObject, collection);
            DMF_CALLBACKS_WDF* callbacks = DMF_ModuleWdfCallbacks(dmfObject);
#define DMF_SLOT_OWN_HANDLER(name)                                                                 \
    if (callbacks->name != DmfCallbacksWdf_Default.name) {                                         \
        collection->OwnHandler[DmfWdfSlot_##name] = TRUE;                                          \
    }
            DMF_WDF_SLOTS(DMF_SLOT_OWN_HANDLER)
#undef DMF_SLOT_OWN_HANDLER
        }
        if (DmfModuleInit->BranchTrackEnabled) {
            collection->DmfObjectBranchTrack = FindByName(collection, "BranchTrack");
        }
        if (DmfModuleInit->LiveKernelDumpLookup) {
            collection->DmfObjectLiveKernelDump = FindByName(collection, "LiveKernelDump");
        }
    }

    if (!NT_SUCCESS(ntStatus)) {
        if (deviceCollection) {
            DMF_ModuleCollection_CloseOrUnregisterDuring(collection, ModuleOpenedDuringType_Create);
        }
        // The device collection's teardown destroys what was created; a
        // child collection's modules stand in their parent's list and go
        // with the parent, whose creation now fails.
        WdfObjectDelete(memory);
        memory = nullptr;
    }

Exit:
    DeleteDescriptions(DmfModuleInit);
    *CollectionMemory = memory;
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}

NTSTATUS DMF_ModulesCreate(WDFDEVICE Device, PDMFDEVICE_INIT* DmfDeviceInit) {
    FuncEntry(DMF_TRACE);
    PDMFDEVICE_INIT record = *DmfDeviceInit;
    NTSTATUS ntStatus = STATUS_INVALID_PARAMETER;
    WDFMEMORY collectionMemory = nullptr;
    DMF_DEVICE_CONTEXT* deviceContext = nullptr;
    DMFMODULE_INIT moduleInit;

    if (record == nullptr || DMF_DmfDeviceInitIsSentinel(record)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "DMFDEVICE_INIT was never allocated");
        goto Exit;
    }
    if (record->Memory == nullptr || record->DmfBridgeConfig == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "DMFDEVICE_INIT is incomplete");
        goto Exit;
    }
    if (!record->IsValid) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "DMFDEVICE_INIT is not valid");
        goto Exit;
    }
    if (!record->PnpPowerCallbacksHooked) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "PnP/power callbacks were not hooked");
        goto Exit;
    }
    if (!record->PowerPolicyCallbacksHooked) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "Power-policy callbacks were not hooked");
        goto Exit;
    }
    if (!record->FileObjectConfigHooked) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "File-object config was not hooked");
        goto Exit;
    }
    if (record->IsControlDevice != (record->ClientDevice != nullptr)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "Control device and client device disagree");
        goto Exit;
    }

    if (!record->QueueConfigHooked) {
        // The client made no default queue of its own: the framework's
        // carries the container queue callbacks.
        WDF_IO_QUEUE_CONFIG queueConfig = record->DefaultQueueConfig;
        DMF_DmfDeviceInitHookQueueConfig(record, &queueConfig);
        WDFQUEUE queue = nullptr;
        ntStatus = WdfIoQueueCreate(Device, &queueConfig, &record->DefaultQueueAttributes, &queue);
        if (!NT_SUCCESS(ntStatus)) {
            TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "WdfIoQueueCreate fails: 0x%08X",
                        static_cast<unsigned>(ntStatus));
            goto Exit;
        }
    }

    {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, DMF_DEVICE_CONTEXT);
        PVOID context = nullptr;
        ntStatus = WdfObjectAllocateContext(Device, &attributes, &context);
        if (!NT_SUCCESS(ntStatus)) {
            TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "DMF_DEVICE_CONTEXT fails: 0x%08X",
                        static_cast<unsigned>(ntStatus));
            goto Exit;
        }
        deviceContext = static_cast<DMF_DEVICE_CONTEXT*>(context);
        if (deviceContext == nullptr) {
            ntStatus = STATUS_INVALID_DEVICE_STATE;
            goto Exit;
        }
    }
    deviceContext->WdfDevice = Device;
    deviceContext->WdfControlDevice = record->IsControlDevice ? Device : nullptr;
    deviceContext->WdfClientDriverDevice = record->IsControlDevice ? record->ClientDevice : Device;
    deviceContext->IsFilterDevice = record->IsFilterDevice;

    DMFMODULE_INIT_Prepare(&moduleInit, Device, nullptr,
                           record->BranchTrackModuleAttributes.InstanceCreator != nullptr
                               ? &record->BranchTrackModuleAttributes
                               : nullptr);
    if (record->DmfEventCallbacks != nullptr) {
        if (record->DmfEventCallbacks->EvtDmfDeviceModulesAdd != nullptr) {
            record->DmfEventCallbacks->EvtDmfDeviceModulesAdd(Device, &moduleInit);
        }
        deviceContext->EvtDmfDeviceCallback = record->DmfEventCallbacks->EvtDmfDeviceCallback;
    }

    ntStatus = DMF_ModuleCollectionCreate(record, &moduleInit, &collectionMemory);
    if (!NT_SUCCESS(ntStatus)) {
        goto Exit;
    }
    deviceContext->WdfModuleCollection = collectionMemory;
    ntStatus =
        PostCreate(DMF_CollectionFromMemory(collectionMemory), moduleInit.BranchTrackEnabled);
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "Open at creation fails: 0x%08X",
                    static_cast<unsigned>(ntStatus));
        // A failure leaves no collection: what opened is closed, and the
        // record's teardown destroys the modules now rather than with the
        // device, which would otherwise carry them open, Bridge never opened.
        DMF_ModuleCollection_CloseOrUnregisterDuring(DMF_CollectionFromMemory(collectionMemory),
                                                     ModuleOpenedDuringType_Create);
        deviceContext->WdfModuleCollection = nullptr;
        WdfObjectDelete(collectionMemory);
        goto Exit;
    }
    deviceContext->DmfDeviceInitGiven = record->HasDeviceInit;
    DMF_CollectionFromMemory(collectionMemory)->ClientDevice = Device;
    DMF_CollectionFromMemory(collectionMemory)->ManualStartStop = FALSE;

Exit:
    // The record is spent whatever happened; only a real one has memory to free.
    if (record != nullptr && !DMF_DmfDeviceInitIsSentinel(record)) {
        if (record->DmfBridgeConfigMemory != nullptr) {
            WdfObjectDelete(record->DmfBridgeConfigMemory);
        }
        if (record->Memory != nullptr) {
            WdfObjectDelete(record->Memory);
        }
    }
    *DmfDeviceInit = nullptr;
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}

BOOLEAN DMF_ModuleRequestCompleteOrForward(DMFMODULE DmfModule, WDFREQUEST Request,
                                           NTSTATUS NtStatus) {
    DMF_DEVICE_CONTEXT* context = DmfDeviceContextGet(DMF_ParentDeviceGet(DmfModule));
    if (NT_SUCCESS(NtStatus) && context != nullptr && context->IsFilterDevice) {
        return FALSE;
    }
    WdfRequestComplete(Request, NtStatus);
    return TRUE;
}
