// The device-init record and its hooks: the client's PnP/power, file-object
// and default-queue callbacks are kept for the Bridge module and the
// framework's container callbacks take their place.
#include "dmf/framework/DmfDeviceInitRecord.h"
#include "dmf/framework/DmfObject.h"
#include "dmf/framework/DmfRecordMemory.h"
#include "platform/trace.h"

#include <new>

namespace {

// Stands for a record that could not be allocated: hooks ignore it and
// DMF_ModulesCreate rejects it, so the client needs no check of its own.
DMFDEVICE_INIT_RECORD gDmfDeviceInitSentinel{};

bool Usable(PDMFDEVICE_INIT DmfDeviceInit) {
    return DmfDeviceInit != nullptr && DmfDeviceInit != &gDmfDeviceInitSentinel;
}

void InstallContainerCallbacks(PWDFDEVICE_INIT DeviceInit) {
    WDF_PNPPOWER_EVENT_CALLBACKS pnpPowerCallbacks;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnpPowerCallbacks);
    DMF_ContainerPnpPowerCallbacksSet(&pnpPowerCallbacks);
    WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &pnpPowerCallbacks);

    WDF_FILEOBJECT_CONFIG fileObjectConfig;
    WDF_FILEOBJECT_CONFIG_INIT(&fileObjectConfig, nullptr, nullptr, nullptr);
    DMF_ContainerFileObjectCallbacksSet(&fileObjectConfig);
    fileObjectConfig.AutoForwardCleanupClose = WdfUseDefault;
    fileObjectConfig.FileObjectClass = static_cast<WDF_FILEOBJECT_CLASS>(
        WdfFileObjectWdfCannotUseFsContexts | WdfFileObjectCanBeOptional);
    WDF_OBJECT_ATTRIBUTES fileObjectAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&fileObjectAttributes);
    WdfDeviceInitSetFileObjectConfig(DeviceInit, &fileObjectConfig, &fileObjectAttributes);

    WDF_POWER_POLICY_EVENT_CALLBACKS powerPolicyCallbacks;
    WDF_POWER_POLICY_EVENT_CALLBACKS_INIT(&powerPolicyCallbacks);
    DMF_ContainerPowerPolicyCallbacksSet(&powerPolicyCallbacks);
    WdfDeviceInitSetPowerPolicyEventCallbacks(DeviceInit, &powerPolicyCallbacks);
}

} // namespace

PDMFDEVICE_INIT DMF_DmfDeviceInitAllocate(PWDFDEVICE_INIT DeviceInit) {
    FuncEntry(DMF_TRACE);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    WDFMEMORY memory = nullptr;
    DMFDEVICE_INIT_RECORD* record = nullptr;
    NTSTATUS ntStatus = DMF_RecordCreate(&attributes, DMF_TAG_DEVICE_INIT, &memory, &record);
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "DMFDEVICE_INIT allocation fails: 0x%08X",
                    static_cast<unsigned>(ntStatus));
        return &gDmfDeviceInitSentinel;
    }

    WDFMEMORY bridgeConfigMemory = nullptr;
    ntStatus = DMF_RecordCreate(&attributes, DMF_TAG_DEVICE_INIT, &bridgeConfigMemory,
                                &record->DmfBridgeConfig);
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "Bridge config allocation fails: 0x%08X",
                    static_cast<unsigned>(ntStatus));
        WdfObjectDelete(memory);
        return &gDmfDeviceInitSentinel;
    }
    record->DmfBridgeConfigMemory = bridgeConfigMemory;
    record->Memory = memory;
    record->IsValid = TRUE;
    record->IsControlDevice = FALSE;
    record->ClientDevice = nullptr;

    if (DeviceInit == nullptr) {
        // Nothing to hook: the client hands WDF nothing through us.
        record->HasDeviceInit = FALSE;
        record->PnpPowerCallbacksHooked = TRUE;
        record->PowerPolicyCallbacksHooked = TRUE;
        record->FileObjectConfigHooked = TRUE;
        record->QueueConfigHooked = TRUE;
    } else {
        record->HasDeviceInit = TRUE;
        InstallContainerCallbacks(DeviceInit);
    }

    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&record->DefaultQueueConfig, WdfIoQueueDispatchParallel);
    record->DefaultQueueConfig.PowerManaged = WdfUseDefault;
    record->DefaultQueueConfig.Settings.Parallel.NumberOfPresentedRequests = 0xFFFFFFFFu;
    WDF_OBJECT_ATTRIBUTES_INIT(&record->DefaultQueueAttributes);
    FuncExitVoid(DMF_TRACE);
    return record;
}

void DMF_DmfDeviceInitHookPnpPowerEventCallbacks(PDMFDEVICE_INIT DmfDeviceInit,
                                                 PWDF_PNPPOWER_EVENT_CALLBACKS Callbacks) {
    if (!Usable(DmfDeviceInit)) {
        return;
    }
    if (Callbacks != nullptr) {
        DMF_CONFIG_Bridge* bridge = DmfDeviceInit->DmfBridgeConfig;
        bridge->EvtDevicePrepareHardware = Callbacks->EvtDevicePrepareHardware;
        bridge->EvtDeviceReleaseHardware = Callbacks->EvtDeviceReleaseHardware;
        bridge->EvtDeviceD0Entry = Callbacks->EvtDeviceD0Entry;
        bridge->EvtDeviceD0EntryPostInterruptsEnabled =
            Callbacks->EvtDeviceD0EntryPostInterruptsEnabled;
        bridge->EvtDeviceD0ExitPreInterruptsDisabled =
            Callbacks->EvtDeviceD0ExitPreInterruptsDisabled;
        bridge->EvtDeviceD0Exit = Callbacks->EvtDeviceD0Exit;
        bridge->EvtDeviceSelfManagedIoCleanup = Callbacks->EvtDeviceSelfManagedIoCleanup;
        bridge->EvtDeviceSelfManagedIoFlush = Callbacks->EvtDeviceSelfManagedIoFlush;
        bridge->EvtDeviceSelfManagedIoInit = Callbacks->EvtDeviceSelfManagedIoInit;
        bridge->EvtDeviceSelfManagedIoSuspend = Callbacks->EvtDeviceSelfManagedIoSuspend;
        bridge->EvtDeviceSelfManagedIoRestart = Callbacks->EvtDeviceSelfManagedIoRestart;
        bridge->EvtDeviceSurpriseRemoval = Callbacks->EvtDeviceSurpriseRemoval;
        bridge->EvtDeviceQueryRemove = Callbacks->EvtDeviceQueryRemove;
        bridge->EvtDeviceQueryStop = Callbacks->EvtDeviceQueryStop;
        bridge->EvtDeviceRelationsQuery = Callbacks->EvtDeviceRelationsQuery;
        bridge->EvtDeviceUsageNotificationEx = Callbacks->EvtDeviceUsageNotificationEx;
        // The client's EvtDeviceUsageNotification stays its own.
        PFN_WDF_DEVICE_USAGE_NOTIFICATION usageNotification = Callbacks->EvtDeviceUsageNotification;
        DMF_ContainerPnpPowerCallbacksSet(Callbacks);
        Callbacks->EvtDeviceUsageNotification = usageNotification;
    }
    DmfDeviceInit->PnpPowerCallbacksHooked = TRUE;
}

void DMF_DmfDeviceInitHookPowerPolicyEventCallbacks(PDMFDEVICE_INIT DmfDeviceInit,
                                                    PWDF_POWER_POLICY_EVENT_CALLBACKS) {
    if (!Usable(DmfDeviceInit)) {
        return;
    }
    // The client's power-policy callbacks are not kept: none of its modules
    // arms the device for wake.
    DmfDeviceInit->PowerPolicyCallbacksHooked = TRUE;
}

void DMF_DmfDeviceInitHookFileObjectConfig(PDMFDEVICE_INIT DmfDeviceInit,
                                           PWDF_FILEOBJECT_CONFIG FileObjectConfig) {
    if (!Usable(DmfDeviceInit)) {
        return;
    }
    if (FileObjectConfig != nullptr) {
        DMF_CONFIG_Bridge* bridge = DmfDeviceInit->DmfBridgeConfig;
        bridge->EvtDeviceFileCreate = FileObjectConfig->EvtDeviceFileCreate;
        bridge->EvtFileCleanup = FileObjectConfig->EvtFileCleanup;
        bridge->EvtFileClose = FileObjectConfig->EvtFileClose;
        DMF_ContainerFileObjectCallbacksSet(FileObjectConfig);
    }
    DmfDeviceInit->FileObjectConfigHooked = TRUE;
}

void DMF_DmfDeviceInitHookQueueConfig(PDMFDEVICE_INIT DmfDeviceInit,
                                      PWDF_IO_QUEUE_CONFIG QueueConfig) {
    if (!Usable(DmfDeviceInit)) {
        return;
    }
    if (QueueConfig != nullptr) {
        DMF_CONFIG_Bridge* bridge = DmfDeviceInit->DmfBridgeConfig;
        bridge->EvtIoRead = QueueConfig->EvtIoRead;
        bridge->EvtIoWrite = QueueConfig->EvtIoWrite;
        bridge->EvtIoDeviceControl = QueueConfig->EvtIoDeviceControl;
        DMF_ContainerQueueCallbacksSet(QueueConfig);
    }
    DmfDeviceInit->QueueConfigHooked = TRUE;
}

void DMF_DmfDeviceInitSetEventCallbacks(PDMFDEVICE_INIT DmfDeviceInit,
                                        DMF_EVENT_CALLBACKS* EventCallbacks) {
    if (!Usable(DmfDeviceInit)) {
        return;
    }
    DmfDeviceInit->DmfEventCallbacks = EventCallbacks;
}

void DMF_DmfDeviceInitBranchTrackModuleSet(PDMFDEVICE_INIT DmfDeviceInit,
                                           const DMF_MODULE_ATTRIBUTES* BranchTrackAttributes) {
    if (!Usable(DmfDeviceInit)) {
        return;
    }
    DmfDeviceInit->BranchTrackModuleAttributes = *BranchTrackAttributes;
}

bool DMF_DmfDeviceInitIsSentinel(PDMFDEVICE_INIT DmfDeviceInit) {
    return DmfDeviceInit == &gDmfDeviceInitSentinel;
}
