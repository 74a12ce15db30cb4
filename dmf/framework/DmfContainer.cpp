// The container callbacks: the device's PnP/power, power-policy, file-object
// and default-queue callbacks, each of which walks the device's modules in
// the order that gives the system its start-up and shut-down order.
#include "dmf/framework/DmfObject.h"
#include "platform/trace.h"

namespace {

DMFMODULE Handle(DMF_OBJECT* dmfObject) {
    return dmfObject->MemoryDmfModule;
}

enum class Order { Forward, Reverse };

template <typename Visit> bool ChildrenUntil(DMF_OBJECT* parent, Order order, Visit&& visit) {
    DMF_LIST_ENTRY* head = &parent->ChildObjectList;
    DMF_LIST_ENTRY* entry = order == Order::Forward ? head->Flink : head->Blink;
    while (entry != head) {
        DMF_LIST_ENTRY* next = order == Order::Forward ? entry->Flink : entry->Blink;
        if (visit(DMF_ObjectFromSiblingLinks(entry))) {
            return true;
        }
        entry = next;
    }
    return false;
}

// Tree walks inside one module. "Stop" walks end at the first failure; a
// failing child keeps its parent's own slot from being called.
template <typename Call> NTSTATUS ChildrenFirstStop(DMF_OBJECT* dmfObject, Call& call) {
    NTSTATUS ntStatus = STATUS_SUCCESS;
    ChildrenUntil(dmfObject, Order::Forward, [&](DMF_OBJECT* child) {
        ntStatus = ChildrenFirstStop(child, call);
        return !NT_SUCCESS(ntStatus);
    });
    if (!NT_SUCCESS(ntStatus)) {
        return ntStatus;
    }
    return call(dmfObject);
}

template <typename Call>
NTSTATUS ModuleFirstStop(DMF_OBJECT* dmfObject, Order children, Call& call) {
    NTSTATUS ntStatus = call(dmfObject);
    if (!NT_SUCCESS(ntStatus)) {
        return ntStatus;
    }
    ChildrenUntil(dmfObject, children, [&](DMF_OBJECT* child) {
        ntStatus = ModuleFirstStop(child, children, call);
        return !NT_SUCCESS(ntStatus);
    });
    return ntStatus;
}

template <typename Call> void ModuleFirstAll(DMF_OBJECT* dmfObject, Order children, Call& call) {
    call(dmfObject);
    ChildrenUntil(dmfObject, children, [&](DMF_OBJECT* child) {
        ModuleFirstAll(child, children, call);
        return false;
    });
}

template <typename Call> void ChildrenFirstAll(DMF_OBJECT* dmfObject, Call& call) {
    ChildrenUntil(dmfObject, Order::Forward, [&](DMF_OBJECT* child) {
        ChildrenFirstAll(child, call);
        return false;
    });
    call(dmfObject);
}

template <typename Call> BOOLEAN ModuleFirstClaim(DMF_OBJECT* dmfObject, Call& call) {
    if (call(dmfObject)) {
        return TRUE;
    }
    return ChildrenUntil(dmfObject, Order::Forward,
                         [&](DMF_OBJECT* child) { return ModuleFirstClaim(child, call) != FALSE; })
               ? TRUE
               : FALSE;
}

// Collection walks: array order (the client's add order, Bridge last) or its reverse.
template <typename Walk>
NTSTATUS CollectionStop(DMF_MODULE_COLLECTION* collection, Order order, Walk&& walk) {
    const LONG count = collection->NumberOfClientDriverDmfModules;
    for (LONG step = 0; step < count; ++step) {
        LONG index = order == Order::Forward ? step : count - 1 - step;
        NTSTATUS ntStatus = walk(collection->ClientDriverDmfModules[index]);
        if (!NT_SUCCESS(ntStatus)) {
            return ntStatus;
        }
    }
    return STATUS_SUCCESS;
}

template <typename Walk> void CollectionAll(DMF_MODULE_COLLECTION* collection, Walk&& walk) {
    for (LONG index = 0; index < collection->NumberOfClientDriverDmfModules; ++index) {
        walk(collection->ClientDriverDmfModules[index]);
    }
}

template <typename Walk> BOOLEAN CollectionClaim(DMF_MODULE_COLLECTION* collection, Walk&& walk) {
    for (LONG index = 0; index < collection->NumberOfClientDriverDmfModules; ++index) {
        if (walk(collection->ClientDriverDmfModules[index])) {
            return TRUE;
        }
    }
    return FALSE;
}

// The collection when some module handles `slot`, else NULL: a slot no
// module replaced is skipped as a whole.
DMF_MODULE_COLLECTION* CollectionFor(WDFDEVICE device, DmfWdfSlot slot) {
    DMF_MODULE_COLLECTION* collection = DMF_DeviceCollectionGet(device);
    if (collection == nullptr || !collection->OwnHandler[slot]) {
        return nullptr;
    }
    return collection;
}

bool IsFilter(WDFDEVICE device) {
    DMF_DEVICE_CONTEXT* context = DmfDeviceContextGet(device);
    return context != nullptr && context->IsFilterDevice;
}

// Read, write and device control that no module claimed.
void RequestUnclaimed(WDFDEVICE device, WDFREQUEST request) {
    if (!IsFilter(device)) {
        WdfRequestComplete(request, STATUS_NOT_SUPPORTED);
        return;
    }
    WdfRequestFormatRequestUsingCurrentType(request);
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET);
    if (!WdfRequestSend(request, WdfDeviceGetIoTarget(device), &options)) {
        WdfRequestComplete(request, STATUS_INVALID_DEVICE_STATE);
    }
}

void DmfRequestForwardCompletionRoutine(WDFREQUEST Request, WDFIOTARGET,
                                        PWDF_REQUEST_COMPLETION_PARAMS Params, WDFCONTEXT) {
    WdfRequestComplete(Request, Params->IoStatus.Status);
}

NTSTATUS DmfContainerEvtDevicePrepareHardware(WDFDEVICE Device, WDFCMRESLIST ResourcesRaw,
                                              WDFCMRESLIST ResourcesTranslated) {
    FuncEntry(DMF_TRACE);
    DMF_MODULE_COLLECTION* collection = CollectionFor(Device, DmfWdfSlot_PrepareHardware);
    if (collection == nullptr) {
        return STATUS_SUCCESS;
    }
    auto call = [&](DMF_OBJECT* o) {
        return o->InternalCallbacksWdf.PrepareHardware(Handle(o), ResourcesRaw,
                                                       ResourcesTranslated);
    };
    NTSTATUS ntStatus = CollectionStop(collection, Order::Forward,
                                       [&](DMF_OBJECT* o) { return ChildrenFirstStop(o, call); });
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "PrepareHardware fails: 0x%08X",
                    static_cast<unsigned>(ntStatus));
        DMF_ModuleCollection_CloseOrUnregisterDuring(collection,
                                                     ModuleOpenedDuringType_PrepareHardware);
    }
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}

NTSTATUS DmfContainerEvtDeviceReleaseHardware(WDFDEVICE Device, WDFCMRESLIST ResourcesTranslated) {
    DMF_MODULE_COLLECTION* collection = CollectionFor(Device, DmfWdfSlot_ReleaseHardware);
    if (collection == nullptr) {
        return STATUS_SUCCESS;
    }
    auto call = [&](DMF_OBJECT* o) {
        return o->InternalCallbacksWdf.ReleaseHardware(Handle(o), ResourcesTranslated);
    };
    return CollectionStop(collection, Order::Reverse,
                          [&](DMF_OBJECT* o) { return ModuleFirstStop(o, Order::Forward, call); });
}

NTSTATUS DmfContainerEvtDeviceD0Entry(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState) {
    FuncEntry(DMF_TRACE);
    DMF_MODULE_COLLECTION* collection = CollectionFor(Device, DmfWdfSlot_D0Entry);
    if (collection == nullptr) {
        return STATUS_SUCCESS;
    }
    auto call = [&](DMF_OBJECT* o) {
        return o->InternalCallbacksWdf.D0Entry(Handle(o), PreviousState);
    };
    NTSTATUS ntStatus = CollectionStop(collection, Order::Forward,
                                       [&](DMF_OBJECT* o) { return ChildrenFirstStop(o, call); });
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "D0Entry fails: 0x%08X",
                    static_cast<unsigned>(ntStatus));
        DMF_ModuleCollection_CloseOrUnregisterDuring(collection,
                                                     ModuleOpenedDuringType_D0EntrySystemPowerUp);
        DMF_ModuleCollection_CloseOrUnregisterDuring(collection, ModuleOpenedDuringType_D0Entry);
    }
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}

NTSTATUS DmfContainerEvtDeviceD0EntryPostInterruptsEnabled(WDFDEVICE Device,
                                                           WDF_POWER_DEVICE_STATE PreviousState) {
    DMF_MODULE_COLLECTION* collection =
        CollectionFor(Device, DmfWdfSlot_D0EntryPostInterruptsEnabled);
    if (collection == nullptr) {
        return STATUS_SUCCESS;
    }
    auto call = [&](DMF_OBJECT* o) {
        return o->InternalCallbacksWdf.D0EntryPostInterruptsEnabled(Handle(o), PreviousState);
    };
    return CollectionStop(collection, Order::Forward,
                          [&](DMF_OBJECT* o) { return ChildrenFirstStop(o, call); });
}

NTSTATUS DmfContainerEvtDeviceD0ExitPreInterruptsDisabled(WDFDEVICE Device,
                                                          WDF_POWER_DEVICE_STATE TargetState) {
    DMF_MODULE_COLLECTION* collection =
        CollectionFor(Device, DmfWdfSlot_D0ExitPreInterruptsDisabled);
    if (collection == nullptr) {
        return STATUS_SUCCESS;
    }
    auto call = [&](DMF_OBJECT* o) {
        return o->InternalCallbacksWdf.D0ExitPreInterruptsDisabled(Handle(o), TargetState);
    };
    return CollectionStop(collection, Order::Reverse,
                          [&](DMF_OBJECT* o) { return ModuleFirstStop(o, Order::Forward, call); });
}

NTSTATUS DmfContainerEvtDeviceD0Exit(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState) {
    FuncEntry(DMF_TRACE);
    DMF_MODULE_COLLECTION* collection = CollectionFor(Device, DmfWdfSlot_D0Exit);
    if (collection == nullptr) {
        return STATUS_SUCCESS;
    }
    auto call = [&](DMF_OBJECT* o) {
        return o->InternalCallbacksWdf.D0Exit(Handle(o), TargetState);
    };
    NTSTATUS ntStatus = CollectionStop(collection, Order::Reverse, [&](DMF_OBJECT* o) {
        return ModuleFirstStop(o, Order::Forward, call);
    });
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}

void DmfContainerEvtDeviceSelfManagedIoCleanup(WDFDEVICE Device) {
    DMF_MODULE_COLLECTION* collection = CollectionFor(Device, DmfWdfSlot_SelfManagedIoCleanup);
    if (collection == nullptr) {
        return;
    }
    auto call = [](DMF_OBJECT* o) { o->InternalCallbacksWdf.SelfManagedIoCleanup(Handle(o)); };
    CollectionAll(collection, [&](DMF_OBJECT* o) { ModuleFirstAll(o, Order::Reverse, call); });
}

void DmfContainerEvtDeviceSelfManagedIoFlush(WDFDEVICE Device) {
    DMF_MODULE_COLLECTION* collection = CollectionFor(Device, DmfWdfSlot_SelfManagedIoFlush);
    if (collection == nullptr) {
        return;
    }
    auto call = [](DMF_OBJECT* o) { o->InternalCallbacksWdf.SelfManagedIoFlush(Handle(o)); };
    CollectionAll(collection, [&](DMF_OBJECT* o) { ModuleFirstAll(o, Order::Reverse, call); });
}

NTSTATUS DmfContainerEvtDeviceSelfManagedIoInit(WDFDEVICE Device) {
    DMF_MODULE_COLLECTION* collection = CollectionFor(Device, DmfWdfSlot_SelfManagedIoInit);
    if (collection == nullptr) {
        return STATUS_SUCCESS;
    }
    auto call = [](DMF_OBJECT* o) { return o->InternalCallbacksWdf.SelfManagedIoInit(Handle(o)); };
    return CollectionStop(collection, Order::Forward,
                          [&](DMF_OBJECT* o) { return ChildrenFirstStop(o, call); });
}

NTSTATUS DmfContainerEvtDeviceSelfManagedIoSuspend(WDFDEVICE Device) {
    DMF_MODULE_COLLECTION* collection = CollectionFor(Device, DmfWdfSlot_SelfManagedIoSuspend);
    if (collection == nullptr) {
        return STATUS_SUCCESS;
    }
    auto call = [](DMF_OBJECT* o) {
        return o->InternalCallbacksWdf.SelfManagedIoSuspend(Handle(o));
    };
    return CollectionStop(collection, Order::Forward,
                          [&](DMF_OBJECT* o) { return ModuleFirstStop(o, Order::Reverse, call); });
}

NTSTATUS DmfContainerEvtDeviceSelfManagedIoRestart(WDFDEVICE Device) {
    DMF_MODULE_COLLECTION* collection = CollectionFor(Device, DmfWdfSlot_SelfManagedIoRestart);
    if (collection == nullptr) {
        return STATUS_SUCCESS;
    }
    auto call = [](DMF_OBJECT* o) {
        return o->InternalCallbacksWdf.SelfManagedIoRestart(Handle(o));
    };
    return CollectionStop(collection, Order::Forward,
                          [&](DMF_OBJECT* o) { return ChildrenFirstStop(o, call); });
}

void DmfContainerEvtDeviceSurpriseRemoval(WDFDEVICE Device) {
    DMF_MODULE_COLLECTION* collection = CollectionFor(Device, DmfWdfSlot_SurpriseRemoval);
    if (collection == nullptr) {
        return;
    }
    auto call = [](DMF_OBJECT* o) { o->InternalCallbacksWdf.SurpriseRemoval(Handle(o)); };
    CollectionAll(collection, [&](DMF_OBJECT* o) { ModuleFirstAll(o, Order::Reverse, call); });
}

NTSTATUS DmfContainerEvtDeviceQueryRemove(WDFDEVICE Device) {
    DMF_MODULE_COLLECTION* collection = CollectionFor(Device, DmfWdfSlot_QueryRemove);
    if (collection == nullptr) {
        return STATUS_SUCCESS;
    }
    auto call = [](DMF_OBJECT* o) { return o->InternalCallbacksWdf.QueryRemove(Handle(o)); };
    return CollectionStop(collection, Order::Forward,
                          [&](DMF_OBJECT* o) { return ModuleFirstStop(o, Order::Reverse, call); });
}

NTSTATUS DmfContainerEvtDeviceQueryStop(WDFDEVICE Device) {
    DMF_MODULE_COLLECTION* collection = CollectionFor(Device, DmfWdfSlot_QueryStop);
    if (collection == nullptr) {
        return STATUS_SUCCESS;
    }
    auto call = [](DMF_OBJECT* o) { return o->InternalCallbacksWdf.QueryStop(Handle(o)); };
    return CollectionStop(collection, Order::Forward,
                          [&](DMF_OBJECT* o) { return ModuleFirstStop(o, Order::Reverse, call); });
}

void DmfContainerEvtDeviceRelationsQuery(WDFDEVICE Device, DEVICE_RELATION_TYPE RelationType) {
    DMF_MODULE_COLLECTION* collection = CollectionFor(Device, DmfWdfSlot_RelationsQuery);
    if (collection == nullptr) {
        return;
    }
    auto call = [&](DMF_OBJECT* o) {
        o->InternalCallbacksWdf.RelationsQuery(Handle(o), RelationType);
    };
    CollectionAll(collection, [&](DMF_OBJECT* o) { ChildrenFirstAll(o, call); });
}

NTSTATUS DmfContainerEvtDeviceUsageNotificationEx(WDFDEVICE Device,
                                                  WDF_SPECIAL_FILE_TYPE NotificationType,
                                                  BOOLEAN IsInNotificationPath) {
    DMF_MODULE_COLLECTION* collection = CollectionFor(Device, DmfWdfSlot_UsageNotificationEx);
    if (collection == nullptr) {
        return STATUS_SUCCESS;
    }
    auto call = [&](DMF_OBJECT* o) {
        return o->InternalCallbacksWdf.UsageNotificationEx(Handle(o), NotificationType,
                                                           IsInNotificationPath);
    };
    return CollectionStop(collection, Order::Forward,
                          [&](DMF_OBJECT* o) { return ChildrenFirstStop(o, call); });
}

NTSTATUS DmfContainerEvtDeviceArmWakeFromS0(WDFDEVICE Device) {
    DMF_MODULE_COLLECTION* collection = CollectionFor(Device, DmfWdfSlot_ArmWakeFromS0);
    if (collection == nullptr) {
        return STATUS_SUCCESS;
    }
    auto call = [](DMF_OBJECT* o) { return o->InternalCallbacksWdf.ArmWakeFromS0(Handle(o)); };
    return CollectionStop(collection, Order::Forward,
                          [&](DMF_OBJECT* o) { return ModuleFirstStop(o, Order::Reverse, call); });
}

void DmfContainerEvtDeviceDisarmWakeFromS0(WDFDEVICE Device) {
    DMF_MODULE_COLLECTION* collection = CollectionFor(Device, DmfWdfSlot_DisarmWakeFromS0);
    if (collection == nullptr) {
        return;
    }
    auto call = [](DMF_OBJECT* o) { o->InternalCallbacksWdf.DisarmWakeFromS0(Handle(o)); };
    CollectionAll(collection, [&](DMF_OBJECT* o) { ChildrenFirstAll(o, call); });
}

void DmfContainerEvtDeviceWakeFromS0Triggered(WDFDEVICE Device) {
    DMF_MODULE_COLLECTION* collection = CollectionFor(Device, DmfWdfSlot_WakeFromS0Triggered);
    if (collection == nullptr) {
        return;
    }
    auto call = [](DMF_OBJECT* o) { o->InternalCallbacksWdf.WakeFromS0Triggered(Handle(o)); };
    CollectionAll(collection, [&](DMF_OBJECT* o) { ChildrenFirstAll(o, call); });
}

NTSTATUS DmfContainerEvtDeviceArmWakeFromSxWithReason(WDFDEVICE Device, BOOLEAN DeviceWakeEnabled,
                                                      BOOLEAN ChildrenArmedForWake) {
    DMF_MODULE_COLLECTION* collection = CollectionFor(Device, DmfWdfSlot_ArmWakeFromSxWithReason);
    if (collection == nullptr) {
        return STATUS_SUCCESS;
    }
    auto call = [&](DMF_OBJECT* o) {
        return o->InternalCallbacksWdf.ArmWakeFromSxWithReason(Handle(o), DeviceWakeEnabled,
                                                               ChildrenArmedForWake);
    };
    return CollectionStop(collection, Order::Forward,
                          [&](DMF_OBJECT* o) { return ModuleFirstStop(o, Order::Forward, call); });
}

void DmfContainerEvtDeviceDisarmWakeFromSx(WDFDEVICE Device) {
    DMF_MODULE_COLLECTION* collection = CollectionFor(Device, DmfWdfSlot_DisarmWakeFromSx);
    if (collection == nullptr) {
        return;
    }
    auto call = [](DMF_OBJECT* o) { o->InternalCallbacksWdf.DisarmWakeFromSx(Handle(o)); };
    CollectionAll(collection, [&](DMF_OBJECT* o) { ChildrenFirstAll(o, call); });
}

void DmfContainerEvtDeviceWakeFromSxTriggered(WDFDEVICE Device) {
    DMF_MODULE_COLLECTION* collection = CollectionFor(Device, DmfWdfSlot_WakeFromSxTriggered);
    if (collection == nullptr) {
        return;
    }
    auto call = [](DMF_OBJECT* o) { o->InternalCallbacksWdf.WakeFromSxTriggered(Handle(o)); };
    CollectionAll(collection, [&](DMF_OBJECT* o) { ChildrenFirstAll(o, call); });
}

void DmfContainerEvtDeviceFileCreate(WDFDEVICE Device, WDFREQUEST Request,
                                     WDFFILEOBJECT FileObject) {
    DMF_MODULE_COLLECTION* collection = CollectionFor(Device, DmfWdfSlot_FileCreate);
    BOOLEAN claimed = FALSE;
    if (collection != nullptr) {
        auto call = [&](DMF_OBJECT* o) {
            return o->InternalCallbacksWdf.FileCreate(Handle(o), Device, Request, FileObject);
        };
        claimed =
            CollectionClaim(collection, [&](DMF_OBJECT* o) { return ModuleFirstClaim(o, call); });
    }
    if (claimed) {
        return;
    }
    if (!IsFilter(Device)) {
        WdfRequestComplete(Request, STATUS_SUCCESS);
        return;
    }
    WdfRequestFormatRequestUsingCurrentType(Request);
    WdfRequestSetCompletionRoutine(Request, DmfRequestForwardCompletionRoutine, nullptr);
    if (!WdfRequestSend(Request, WdfDeviceGetIoTarget(Device), WDF_NO_SEND_OPTIONS)) {
        WdfRequestComplete(Request, STATUS_INVALID_DEVICE_STATE);
    }
}

// An unclaimed cleanup or close needs nothing more.
void FileEvent(WDFFILEOBJECT FileObject, DmfWdfSlot slot,
               BOOLEAN (*call)(DMF_OBJECT*, WDFFILEOBJECT)) {
    DMF_MODULE_COLLECTION* collection = CollectionFor(WdfFileObjectGetDevice(FileObject), slot);
    if (collection == nullptr) {
        return;
    }
    auto bound = [&](DMF_OBJECT* o) { return call(o, FileObject); };
    CollectionClaim(collection, [&](DMF_OBJECT* o) { return ModuleFirstClaim(o, bound); });
}

void DmfContainerEvtFileCleanup(WDFFILEOBJECT FileObject) {
    FileEvent(FileObject, DmfWdfSlot_FileCleanup, [](DMF_OBJECT* o, WDFFILEOBJECT f) {
        return o->InternalCallbacksWdf.FileCleanup(Handle(o), f);
    });
}

void DmfContainerEvtFileClose(WDFFILEOBJECT FileObject) {
    FileEvent(FileObject, DmfWdfSlot_FileClose, [](DMF_OBJECT* o, WDFFILEOBJECT f) {
        return o->InternalCallbacksWdf.FileClose(Handle(o), f);
    });
}

void DmfContainerEvtQueueIoRead(WDFQUEUE Queue, WDFREQUEST Request, size_t Length) {
    WDFDEVICE device = WdfIoQueueGetDevice(Queue);
    DMF_MODULE_COLLECTION* collection = CollectionFor(device, DmfWdfSlot_QueueIoRead);
    auto call = [&](DMF_OBJECT* o) {
        return o->InternalCallbacksWdf.QueueIoRead(Handle(o), Queue, Request, Length);
    };
    if (collection == nullptr ||
        !CollectionClaim(collection, [&](DMF_OBJECT* o) { return ModuleFirstClaim(o, call); })) {
        RequestUnclaimed(device, Request);
    }
}

void DmfContainerEvtQueueIoWrite(WDFQUEUE Queue, WDFREQUEST Request, size_t Length) {
    WDFDEVICE device = WdfIoQueueGetDevice(Queue);
    DMF_MODULE_COLLECTION* collection = CollectionFor(device, DmfWdfSlot_QueueIoWrite);
    auto call = [&](DMF_OBJECT* o) {
        return o->InternalCallbacksWdf.QueueIoWrite(Handle(o), Queue, Request, Length);
    };
    if (collection == nullptr ||
        !CollectionClaim(collection, [&](DMF_OBJECT* o) { return ModuleFirstClaim(o, call); })) {
        RequestUnclaimed(device, Request);
    }
}

void DmfContainerEvtQueueIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request,
                                         size_t OutputBufferLength, size_t InputBufferLength,
                                         ULONG IoControlCode) {
    WDFDEVICE device = WdfIoQueueGetDevice(Queue);
    DMF_MODULE_COLLECTION* collection = CollectionFor(device, DmfWdfSlot_DeviceIoControl);
    auto call = [&](DMF_OBJECT* o) {
        return o->InternalCallbacksWdf.DeviceIoControl(
            Handle(o), Queue, Request, OutputBufferLength, InputBufferLength, IoControlCode);
    };
    if (collection == nullptr ||
        !CollectionClaim(collection, [&](DMF_OBJECT* o) { return ModuleFirstClaim(o, call); })) {
        TraceEvents(TRACE_LEVEL_INFORMATION, DMF_TRACE, "IOCTL 0x%08X not claimed", IoControlCode);
        RequestUnclaimed(device, Request);
    }
}

} // namespace

void DMF_ContainerPnpPowerCallbacksSet(PWDF_PNPPOWER_EVENT_CALLBACKS Callbacks) {
    Callbacks->EvtDeviceD0Entry = DmfContainerEvtDeviceD0Entry;
    Callbacks->EvtDeviceD0EntryPostInterruptsEnabled =
        DmfContainerEvtDeviceD0EntryPostInterruptsEnabled;
    Callbacks->EvtDeviceD0Exit = DmfContainerEvtDeviceD0Exit;
    Callbacks->EvtDeviceD0ExitPreInterruptsDisabled =
        DmfContainerEvtDeviceD0ExitPreInterruptsDisabled;
    Callbacks->EvtDevicePrepareHardware = DmfContainerEvtDevicePrepareHardware;
    Callbacks->EvtDeviceReleaseHardware = DmfContainerEvtDeviceReleaseHardware;
    Callbacks->EvtDeviceSelfManagedIoCleanup = DmfContainerEvtDeviceSelfManagedIoCleanup;
    Callbacks->EvtDeviceSelfManagedIoFlush = DmfContainerEvtDeviceSelfManagedIoFlush;
    Callbacks->EvtDeviceSelfManagedIoInit = DmfContainerEvtDeviceSelfManagedIoInit;
    Callbacks->EvtDeviceSelfManagedIoSuspend = DmfContainerEvtDeviceSelfManagedIoSuspend;
    Callbacks->EvtDeviceSelfManagedIoRestart = DmfContainerEvtDeviceSelfManagedIoRestart;
    Callbacks->EvtDeviceSurpriseRemoval = DmfContainerEvtDeviceSurpriseRemoval;
    Callbacks->EvtDeviceQueryRemove = DmfContainerEvtDeviceQueryRemove;
    Callbacks->EvtDeviceQueryStop = DmfContainerEvtDeviceQueryStop;
    Callbacks->EvtDeviceRelationsQuery = DmfContainerEvtDeviceRelationsQuery;
    Callbacks->EvtDeviceUsageNotificationEx = DmfContainerEvtDeviceUsageNotificationEx;
}

void DMF_ContainerPowerPolicyCallbacksSet(PWDF_POWER_POLICY_EVENT_CALLBACKS Callbacks) {
    Callbacks->EvtDeviceArmWakeFromS0 = DmfContainerEvtDeviceArmWakeFromS0;
    Callbacks->EvtDeviceDisarmWakeFromS0 = DmfContainerEvtDeviceDisarmWakeFromS0;
    Callbacks->EvtDeviceWakeFromS0Triggered = DmfContainerEvtDeviceWakeFromS0Triggered;
    Callbacks->EvtDeviceArmWakeFromSxWithReason = DmfContainerEvtDeviceArmWakeFromSxWithReason;
    Callbacks->EvtDeviceDisarmWakeFromSx = DmfContainerEvtDeviceDisarmWakeFromSx;
    Callbacks->EvtDeviceWakeFromSxTriggered = DmfContainerEvtDeviceWakeFromSxTriggered;
}

void DMF_ContainerFileObjectCallbacksSet(PWDF_FILEOBJECT_CONFIG Config) {
    Config->EvtDeviceFileCreate = DmfContainerEvtDeviceFileCreate;
    Config->EvtFileCleanup = DmfContainerEvtFileCleanup;
    Config->EvtFileClose = DmfContainerEvtFileClose;
}

void DMF_ContainerQueueCallbacksSet(PWDF_IO_QUEUE_CONFIG Config) {
    Config->EvtIoRead = DmfContainerEvtQueueIoRead;
    Config->EvtIoWrite = DmfContainerEvtQueueIoWrite;
    Config->EvtIoDeviceControl = DmfContainerEvtQueueIoDeviceControl;
}
