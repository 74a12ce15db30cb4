// The Bridge module: the last module of every device collection, whose
// handlers call the client driver's own callbacks with the client device.
#include "dmf/framework/Dmf_Bridge.h"

#include "platform/trace.h"

namespace {

// The callbacks the handlers call, in the order of the config: the client's
// where it gave one, else a default that only traces.
struct DMF_CONTEXT_Bridge {
    DMF_CONFIG_Bridge Callbacks;
};

DMF_MODULE_DECLARE_CUSTOM_TYPE(Bridge)
DMF_MODULE_DECLARE_CONTEXT(DMF_CONTEXT_Bridge)
DMF_MODULE_DECLARE_CONFIG(DMF_CONFIG_Bridge)

NTSTATUS TraceStatus(WDFDEVICE Device, const char* event) {
    TraceEvents(TRACE_LEVEL_VERBOSE, DMF_TRACE, "Device=%p %s: no client callback",
                static_cast<void*>(Device), event);
    return STATUS_SUCCESS;
}
void TracePlain(WDFDEVICE Device, const char* event) {
    TraceStatus(Device, event);
}

void DefaultModuleDestroy(WDFDEVICE Device) {
    TracePlain(Device, "ModuleDestroy");
}
NTSTATUS DefaultPrepareHardware(WDFDEVICE Device, WDFCMRESLIST, WDFCMRESLIST) {
    return TraceStatus(Device, "PrepareHardware");
}
NTSTATUS DefaultReleaseHardware(WDFDEVICE Device, WDFCMRESLIST) {
    return TraceStatus(Device, "ReleaseHardware");
}
NTSTATUS DefaultD0Entry(WDFDEVICE Device, WDF_POWER_DEVICE_STATE) {
    return TraceStatus(Device, "D0Entry");
}
NTSTATUS DefaultD0EntryPostInterruptsEnabled(WDFDEVICE Device, WDF_POWER_DEVICE_STATE) {
    return TraceStatus(Device, "D0EntryPostInterruptsEnabled");
}
NTSTATUS DefaultD0ExitPreInterruptsDisabled(WDFDEVICE Device, WDF_POWER_DEVICE_STATE) {
    return TraceStatus(Device, "D0ExitPreInterruptsDisabled");
}
NTSTATUS DefaultD0Exit(WDFDEVICE Device, WDF_POWER_DEVICE_STATE) {
    return TraceStatus(Device, "D0Exit");
}
void DefaultSelfManagedIoCleanup(WDFDEVICE Device) {
    TracePlain(Device, "SelfManagedIoCleanup");
}
void DefaultSelfManagedIoFlush(WDFDEVICE Device) {
    TracePlain(Device, "SelfManagedIoFlush");
}
NTSTATUS DefaultSelfManagedIoInit(WDFDEVICE Device) {
    return TraceStatus(Device, "SelfManagedIoInit");
}
NTSTATUS DefaultSelfManagedIoSuspend(WDFDEVICE Device) {
    return TraceStatus(Device, "SelfManagedIoSuspend");
}
NTSTATUS DefaultSelfManagedIoRestart(WDFDEVICE Device) {
    return TraceStatus(Device, "SelfManagedIoRestart");
}
void DefaultSurpriseRemoval(WDFDEVICE Device) {
    TracePlain(Device, "SurpriseRemoval");
}
NTSTATUS DefaultQueryRemove(WDFDEVICE Device) {
    return TraceStatus(Device, "QueryRemove");
}
NTSTATUS DefaultQueryStop(WDFDEVICE Device) {
    return TraceStatus(Device, "QueryStop");
}
void DefaultRelationsQuery(WDFDEVICE Device, DEVICE_RELATION_TYPE) {
    TracePlain(Device, "RelationsQuery");
}
NTSTATUS DefaultUsageNotificationEx(WDFDEVICE Device, WDF_SPECIAL_FILE_TYPE, BOOLEAN) {
    return TraceStatus(Device, "UsageNotificationEx");
}
NTSTATUS DefaultArmWakeFromS0(WDFDEVICE Device) {
    return TraceStatus(Device, "ArmWakeFromS0");
}
void DefaultDisarmWakeFromS0(WDFDEVICE Device) {
    TracePlain(Device, "DisarmWakeFromS0");
}
void DefaultWakeFromS0Triggered(WDFDEVICE Device) {
    TracePlain(Device, "WakeFromS0Triggered");
}
NTSTATUS DefaultArmWakeFromSxWithReason(WDFDEVICE Device, BOOLEAN, BOOLEAN) {
    return TraceStatus(Device, "ArmWakeFromSxWithReason");
}
void DefaultDisarmWakeFromSx(WDFDEVICE Device) {
    TracePlain(Device, "DisarmWakeFromSx");
}
void DefaultWakeFromSxTriggered(WDFDEVICE Device) {
    TracePlain(Device, "WakeFromSxTriggered");
}

// The queue and file entries stay NULL: an event without a client callback
// is left unclaimed for the container's own rule.
const DMF_CONFIG_Bridge kDefaults = {
    DefaultModuleDestroy,
    DefaultPrepareHardware,
    DefaultReleaseHardware,
    DefaultD0Entry,
    DefaultD0EntryPostInterruptsEnabled,
    DefaultD0ExitPreInterruptsDisabled,
    DefaultD0Exit,
    nullptr,
    nullptr,
    nullptr,
    DefaultSelfManagedIoCleanup,
    DefaultSelfManagedIoFlush,
    DefaultSelfManagedIoInit,
    DefaultSelfManagedIoSuspend,
    DefaultSelfManagedIoRestart,
    DefaultSurpriseRemoval,
    DefaultQueryRemove,
    DefaultQueryStop,
    DefaultRelationsQuery,
    DefaultUsageNotificationEx,
    DefaultArmWakeFromS0,
    DefaultDisarmWakeFromS0,
    DefaultWakeFromS0Triggered,
    DefaultArmWakeFromSxWithReason,
    DefaultDisarmWakeFromSx,
    DefaultWakeFromSxTriggered,
    nullptr,
    nullptr,
    nullptr,
};

DMF_CONFIG_Bridge& Table(DMFMODULE DmfModule) {
    return DMF_CONTEXT_GET(DmfModule)->Callbacks;
}

NTSTATUS Traced(NTSTATUS ntStatus, const char* event) {
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "Client %s fails: ntStatus=0x%08X", event,
                    static_cast<unsigned>(ntStatus));
    }
    return ntStatus;
}

// A queue or file event is claimed only where the client has a callback for
// it; the container applies its own rule to an unclaimed one.
template <typename Callback, typename... Args> BOOLEAN ClaimedBy(Callback callback, Args... args) {
    if (callback == nullptr) {
        return FALSE;
    }
    callback(args...);
    return TRUE;
}

NTSTATUS DMF_Bridge_Open(DMFMODULE DmfModule) {
    FuncEntry(DMF_TRACE);
    DMF_CONFIG_Bridge& table = Table(DmfModule);
    const DMF_CONFIG_Bridge* config = DMF_CONFIG_GET(DmfModule);
    table = kDefaults;
    if (config != nullptr) {
        auto take = [](auto& entry, auto given) {
            if (given != nullptr) {
                entry = given;
            }
        };
        take(table.EvtModuleDestroy, config->EvtModuleDestroy);
        take(table.EvtDevicePrepareHardware, config->EvtDevicePrepareHardware);
        take(table.EvtDeviceReleaseHardware, config->EvtDeviceReleaseHardware);
        take(table.EvtDeviceD0Entry, config->EvtDeviceD0Entry);
        take(table.EvtDeviceD0EntryPostInterruptsEnabled,
             config->EvtDeviceD0EntryPostInterruptsEnabled);
        take(table.EvtDeviceD0ExitPreInterruptsDisabled,
             config->EvtDeviceD0ExitPreInterruptsDisabled);
        take(table.EvtDeviceD0Exit, config->EvtDeviceD0Exit);
        take(table.EvtIoRead, config->EvtIoRead);
        take(table.EvtIoWrite, config->EvtIoWrite);
        take(table.EvtIoDeviceControl, config->EvtIoDeviceControl);
        take(table.EvtDeviceSelfManagedIoCleanup, config->EvtDeviceSelfManagedIoCleanup);
        take(table.EvtDeviceSelfManagedIoFlush, config->EvtDeviceSelfManagedIoFlush);
        take(table.EvtDeviceSelfManagedIoInit, config->EvtDeviceSelfManagedIoInit);
        take(table.EvtDeviceSelfManagedIoSuspend, config->EvtDeviceSelfManagedIoSuspend);
        take(table.EvtDeviceSelfManagedIoRestart, config->EvtDeviceSelfManagedIoRestart);
        take(table.EvtDeviceSurpriseRemoval, config->EvtDeviceSurpriseRemoval);
        take(table.EvtDeviceQueryRemove, config->EvtDeviceQueryRemove);
        take(table.EvtDeviceQueryStop, config->EvtDeviceQueryStop);
        take(table.EvtDeviceRelationsQuery, config->EvtDeviceRelationsQuery);
        take(table.EvtDeviceUsageNotificationEx, config->EvtDeviceUsageNotificationEx);
        take(table.EvtDeviceArmWakeFromS0, config->EvtDeviceArmWakeFromS0);
        take(table.EvtDeviceDisarmWakeFromS0, config->EvtDeviceDisarmWakeFromS0);
        take(table.EvtDeviceWakeFromS0Triggered, config->EvtDeviceWakeFromS0Triggered);
        take(table.EvtDeviceArmWakeFromSxWithReason, config->EvtDeviceArmWakeFromSxWithReason);
        take(table.EvtDeviceDisarmWakeFromSx, config->EvtDeviceDisarmWakeFromSx);
        take(table.EvtDeviceWakeFromSxTriggered, config->EvtDeviceWakeFromSxTriggered);
        take(table.EvtDeviceFileCreate, config->EvtDeviceFileCreate);
        take(table.EvtFileCleanup, config->EvtFileCleanup);
        take(table.EvtFileClose, config->EvtFileClose);
    }
    FuncExitVoid(DMF_TRACE);
    return STATUS_SUCCESS;
}

void DMF_Bridge_Destroy(DMFMODULE DmfModule) {
    EVT_DMF_BRIDGE_ModuleDestroy* destroy = Table(DmfModule).EvtModuleDestroy;
    if (destroy != nullptr) {
        destroy(DMF_ParentDeviceGet(DmfModule));
    }
}

NTSTATUS Bridge_PrepareHardware(DMFMODULE DmfModule, WDFCMRESLIST Raw, WDFCMRESLIST Translated) {
    return Traced(
        Table(DmfModule).EvtDevicePrepareHardware(DMF_ParentDeviceGet(DmfModule), Raw, Translated),
        "PrepareHardware");
}
NTSTATUS Bridge_ReleaseHardware(DMFMODULE DmfModule, WDFCMRESLIST Translated) {
    return Traced(
        Table(DmfModule).EvtDeviceReleaseHardware(DMF_ParentDeviceGet(DmfModule), Translated),
        "ReleaseHardware");
}
NTSTATUS Bridge_D0Entry(DMFMODULE DmfModule, WDF_POWER_DEVICE_STATE PreviousState) {
    return Traced(Table(DmfModule).EvtDeviceD0Entry(DMF_ParentDeviceGet(DmfModule), PreviousState),
                  "D0Entry");
}
NTSTATUS Bridge_D0EntryPostInterruptsEnabled(DMFMODULE DmfModule,
                                             WDF_POWER_DEVICE_STATE PreviousState) {
    return Traced(Table(DmfModule).EvtDeviceD0EntryPostInterruptsEnabled(
                      DMF_ParentDeviceGet(DmfModule), PreviousState),
                  "D0EntryPostInterruptsEnabled");
}
NTSTATUS Bridge_D0ExitPreInterruptsDisabled(DMFMODULE DmfModule,
                                            WDF_POWER_DEVICE_STATE TargetState) {
    return Traced(Table(DmfModule).EvtDeviceD0ExitPreInterruptsDisabled(
                      DMF_ParentDeviceGet(DmfModule), TargetState),
                  "D0ExitPreInterruptsDisabled");
}
NTSTATUS Bridge_D0Exit(DMFMODULE DmfModule, WDF_POWER_DEVICE_STATE TargetState) {
    return Traced(Table(DmfModule).EvtDeviceD0Exit(DMF_ParentDeviceGet(DmfModule), TargetState),
                  "D0Exit");
}
BOOLEAN Bridge_QueueIoRead(DMFMODULE DmfModule, WDFQUEUE Queue, WDFREQUEST Request, size_t Length) {
    return ClaimedBy(Table(DmfModule).EvtIoRead, Queue, Request, Length);
}
BOOLEAN Bridge_QueueIoWrite(DMFMODULE DmfModule, WDFQUEUE Queue, WDFREQUEST Request,
                            size_t Length) {
    return ClaimedBy(Table(DmfModule).EvtIoWrite, Queue, Request, Length);
}
BOOLEAN Bridge_DeviceIoControl(DMFMODULE DmfModule, WDFQUEUE Queue, WDFREQUEST Request,
                               size_t OutputBufferLength, size_t InputBufferLength,
                               ULONG IoControlCode) {
    return ClaimedBy(Table(DmfModule).EvtIoDeviceControl, Queue, Request, OutputBufferLength,
                     InputBufferLength, IoControlCode);
}
void Bridge_SelfManagedIoCleanup(DMFMODULE DmfModule) {
    Table(DmfModule).EvtDeviceSelfManagedIoCleanup(DMF_ParentDeviceGet(DmfModule));
}
void Bridge_SelfManagedIoFlush(DMFMODULE DmfModule) {
    Table(DmfModule).EvtDeviceSelfManagedIoFlush(DMF_ParentDeviceGet(DmfModule));
}
NTSTATUS Bridge_SelfManagedIoInit(DMFMODULE DmfModule) {
    return Traced(Table(DmfModule).EvtDeviceSelfManagedIoInit(DMF_ParentDeviceGet(DmfModule)),
                  "SelfManagedIoInit");
}
NTSTATUS Bridge_SelfManagedIoSuspend(DMFMODULE DmfModule) {
    return Traced(Table(DmfModule).EvtDeviceSelfManagedIoSuspend(DMF_ParentDeviceGet(DmfModule)),
                  "SelfManagedIoSuspend");
}
NTSTATUS Bridge_SelfManagedIoRestart(DMFMODULE DmfModule) {
    return Traced(Table(DmfModule).EvtDeviceSelfManagedIoRestart(DMF_ParentDeviceGet(DmfModule)),
                  "SelfManagedIoRestart");
}
void Bridge_SurpriseRemoval(DMFMODULE DmfModule) {
    Table(DmfModule).EvtDeviceSurpriseRemoval(DMF_ParentDeviceGet(DmfModule));
}
NTSTATUS Bridge_QueryRemove(DMFMODULE DmfModule) {
    return Traced(Table(DmfModule).EvtDeviceQueryRemove(DMF_ParentDeviceGet(DmfModule)),
                  "QueryRemove");
}
NTSTATUS Bridge_QueryStop(DMFMODULE DmfModule) {
    return Traced(Table(DmfModule).EvtDeviceQueryStop(DMF_ParentDeviceGet(DmfModule)), "QueryStop");
}
void Bridge_RelationsQuery(DMFMODULE DmfModule, DEVICE_RELATION_TYPE RelationType) {
    Table(DmfModule).EvtDeviceRelationsQuery(DMF_ParentDeviceGet(DmfModule), RelationType);
}
NTSTATUS Bridge_UsageNotificationEx(DMFMODULE DmfModule, WDF_SPECIAL_FILE_TYPE NotificationType,
                                    BOOLEAN IsInNotificationPath) {
    return Traced(Table(DmfModule).EvtDeviceUsageNotificationEx(
                      DMF_ParentDeviceGet(DmfModule), NotificationType, IsInNotificationPath),
                  "UsageNotificationEx");
}
NTSTATUS Bridge_ArmWakeFromS0(DMFMODULE DmfModule) {
    return Traced(Table(DmfModule).EvtDeviceArmWakeFromS0(DMF_ParentDeviceGet(DmfModule)),
                  "ArmWakeFromS0");
}
void Bridge_DisarmWakeFromS0(DMFMODULE DmfModule) {
    Table(DmfModule).EvtDeviceDisarmWakeFromS0(DMF_ParentDeviceGet(DmfModule));
}
void Bridge_WakeFromS0Triggered(DMFMODULE DmfModule) {
    Table(DmfModule).EvtDeviceWakeFromS0Triggered(DMF_ParentDeviceGet(DmfModule));
}
NTSTATUS Bridge_ArmWakeFromSxWithReason(DMFMODULE DmfModule, BOOLEAN DeviceWakeEnabled,
                                        BOOLEAN ChildrenArmedForWake) {
    return Traced(Table(DmfModule).EvtDeviceArmWakeFromSxWithReason(
                      DMF_ParentDeviceGet(DmfModule), DeviceWakeEnabled, ChildrenArmedForWake),
                  "ArmWakeFromSxWithReason");
}
void Bridge_DisarmWakeFromSx(DMFMODULE DmfModule) {
    Table(DmfModule).EvtDeviceDisarmWakeFromSx(DMF_ParentDeviceGet(DmfModule));
}
void Bridge_WakeFromSxTriggered(DMFMODULE DmfModule) {
    Table(DmfModule).EvtDeviceWakeFromSxTriggered(DMF_ParentDeviceGet(DmfModule));
}
BOOLEAN Bridge_FileCreate(DMFMODULE DmfModule, WDFDEVICE Device, WDFREQUEST Request,
                          WDFFILEOBJECT FileObject) {
    return ClaimedBy(Table(DmfModule).EvtDeviceFileCreate, Device, Request, FileObject);
}
BOOLEAN Bridge_FileCleanup(DMFMODULE DmfModule, WDFFILEOBJECT FileObject) {
    return ClaimedBy(Table(DmfModule).EvtFileCleanup, FileObject);
}
BOOLEAN Bridge_FileClose(DMFMODULE DmfModule, WDFFILEOBJECT FileObject) {
    return ClaimedBy(Table(DmfModule).EvtFileClose, FileObject);
}

} // namespace

NTSTATUS DMF_Bridge_Create(WDFDEVICE Device, DMF_MODULE_ATTRIBUTES* DmfModuleAttributes,
                           WDF_OBJECT_ATTRIBUTES* ObjectAttributes, DMFMODULE* DmfModule) {
    FuncEntry(DMF_TRACE);
    DMF_CALLBACKS_DMF callbacksDmf;
    DMF_CALLBACKS_DMF_INIT(&callbacksDmf);
    callbacksDmf.DeviceOpen = DMF_Bridge_Open;
    callbacksDmf.ModuleDestroy = DMF_Bridge_Destroy;

    DMF_CALLBACKS_WDF callbacksWdf;
    DMF_CALLBACKS_WDF_INIT(&callbacksWdf);
#define BRIDGE_SLOT(name) callbacksWdf.name = Bridge_##name;
    BRIDGE_SLOT(PrepareHardware)
    BRIDGE_SLOT(ReleaseHardware)
    BRIDGE_SLOT(D0Entry)
    BRIDGE_SLOT(D0EntryPostInterruptsEnabled)
    BRIDGE_SLOT(D0ExitPreInterruptsDisabled)
    BRIDGE_SLOT(D0Exit)
    BRIDGE_SLOT(QueueIoRead)
    BRIDGE_SLOT(QueueIoWrite)
    BRIDGE_SLOT(DeviceIoControl)
    BRIDGE_SLOT(SelfManagedIoCleanup)
    BRIDGE_SLOT(SelfManagedIoFlush)
    BRIDGE_SLOT(SelfManagedIoInit)
    BRIDGE_SLOT(SelfManagedIoSuspend)
    BRIDGE_SLOT(SelfManagedIoRestart)
    BRIDGE_SLOT(SurpriseRemoval)
    BRIDGE_SLOT(QueryRemove)
    BRIDGE_SLOT(QueryStop)
    BRIDGE_SLOT(RelationsQuery)
    BRIDGE_SLOT(UsageNotificationEx)
    BRIDGE_SLOT(ArmWakeFromS0)
    BRIDGE_SLOT(DisarmWakeFromS0)
    BRIDGE_SLOT(WakeFromS0Triggered)
    BRIDGE_SLOT(ArmWakeFromSxWithReason)
    BRIDGE_SLOT(DisarmWakeFromSx)
    BRIDGE_SLOT(WakeFromSxTriggered)
    BRIDGE_SLOT(FileCreate)
    BRIDGE_SLOT(FileCleanup)
    BRIDGE_SLOT(FileClose)
#undef BRIDGE_SLOT

    DMF_MODULE_DESCRIPTOR descriptor;
    WDF_OBJECT_ATTRIBUTES contextAttributes;
    DMF_MODULE_DESCRIPTOR_INIT_TYPE(descriptor, Bridge, DMF_MODULE_OPTIONS_PASSIVE,
                                    DMF_MODULE_OPEN_OPTION_OPEN_Create);
    DMF_MODULE_DESCRIPTOR_SET_CONTEXT(descriptor, contextAttributes, DMF_CONTEXT_Bridge);
    descriptor.ModuleConfigSize = sizeof(DMF_CONFIG_Bridge);
    descriptor.CallbacksDmf = &callbacksDmf;
    descriptor.CallbacksWdf = &callbacksWdf;

    NTSTATUS ntStatus =
        DMF_ModuleCreate(Device, DmfModuleAttributes, ObjectAttributes, &descriptor, DmfModule);
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}
