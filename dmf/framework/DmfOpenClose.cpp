// Opening and closing modules: the core open and close with the reference
// drain, the open options carried out by the default PnP/power slots, the
// open at creation and the close at destroy, and run-time references.
#include "dmf/framework/DmfObject.h"
#include "dmf/framework/DmfUtility.h"
#include "platform/trace.h"
#include "platform/win32.h"

namespace {

// How often a close looks again at the references still held.
constexpr DWORD kReferencePollMs = 100;

bool OpenOptionValid(ULONG openOption) {
    return openOption >= DMF_MODULE_OPEN_OPTION_OPEN_Create &&
           openOption <= DMF_MODULE_OPEN_OPTION_NOTIFY_Create;
}

NTSTATUS InvalidOpenOption(DMF_OBJECT* dmfObject) {
    TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "Module %s has open option %u", dmfObject->ModuleName,
                dmfObject->ModuleDescriptor.OpenOption);
    return STATUS_INTERNAL_ERROR;
}

NTSTATUS Open(DMF_OBJECT* dmfObject) {
    return dmfObject->InternalCallbacksDmf.DeviceOpen(dmfObject->MemoryDmfModule);
}

void Close(DMF_OBJECT* dmfObject) {
    dmfObject->InternalCallbacksDmf.DeviceClose(dmfObject->MemoryDmfModule);
}

NTSTATUS NotificationRegister(DMF_OBJECT* dmfObject) {
    return dmfObject->InternalCallbacksDmf.NotificationRegister(dmfObject->MemoryDmfModule);
}

void NotificationUnregister(DMF_OBJECT* dmfObject) {
    dmfObject->InternalCallbacksDmf.NotificationUnregister(dmfObject->MemoryDmfModule);
}

// The phase that opened a module or registered its notification is
// remembered, so that the undo of that same phase (and only it) reverses it.
NTSTATUS OpenDuring(DMF_OBJECT* dmfObject, LONG mark) {
    NTSTATUS ntStatus = Open(dmfObject);
    if (NT_SUCCESS(ntStatus)) {
        dmfObject->ModuleOpenedDuring = mark;
    }
    return ntStatus;
}

NTSTATUS NotificationRegisterDuring(DMF_OBJECT* dmfObject, LONG mark) {
    NTSTATUS ntStatus = NotificationRegister(dmfObject);
    if (NT_SUCCESS(ntStatus)) {
        dmfObject->ModuleNotificationRegisteredDuring = mark;
    }
    return ntStatus;
}

void CloseAndForget(DMF_OBJECT* dmfObject) {
    Close(dmfObject);
    dmfObject->ModuleOpenedDuring = ModuleOpenedDuringType_Invalid;
}

void NotificationUnregisterAndForget(DMF_OBJECT* dmfObject) {
    NotificationUnregister(dmfObject);
    dmfObject->ModuleNotificationRegisteredDuring = ModuleOpenedDuringType_Invalid;
}

// The one rule a phase's undo applies to each module of the tree.
void CloseOrUnregisterDuring(DMF_OBJECT* dmfObject, LONG mark) {
    if (dmfObject->ModuleOpenedDuring == mark) {
        CloseAndForget(dmfObject);
    } else if (dmfObject->ModuleNotificationRegisteredDuring == mark) {
        NotificationUnregisterAndForget(dmfObject);
    }
    DMF_ChildrenForward(dmfObject,
                        [mark](DMF_OBJECT* child) { CloseOrUnregisterDuring(child, mark); });
}

} // namespace

NTSTATUS DMF_Internal_Open(DMF_OBJECT* DmfObject) {
    DMFMODULE dmfModule = DmfObject->MemoryDmfModule;
    TraceEvents(TRACE_LEVEL_VERBOSE, DMF_TRACE, "Open %s", DmfObject->ClientModuleInstanceName);
    DMF_EventReset(&DmfObject->ModuleOpenedEvent);
    DmfObject->ModuleState = ModuleState_Opening;
    NTSTATUS ntStatus = DMF_ModuleDmfCallbacks(DmfObject)->DeviceOpen(dmfModule);
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "DeviceOpen of %s fails: ntStatus=0x%08X",
                    DmfObject->ClientModuleInstanceName, static_cast<unsigned>(ntStatus));
        DmfObject->ModuleState = ModuleState_Created;
        DMF_EventSet(&DmfObject->ModuleOpenedEvent);
        return ntStatus;
    }
    DmfObject->ModuleState = ModuleState_Opened;
    WdfSpinLockAcquire(DmfObject->ReferenceCountLock);
    DmfObject->ReferenceCount = 1; // the open's own reference
    WdfSpinLockRelease(DmfObject->ReferenceCountLock);
    DmfObject->ModuleOpenedDuring = ModuleOpenedDuringType_Open;
    DmfObject->PostOpenDone = TRUE;
    DmfObject->EvtModulePostOpen(dmfModule);
    WdfSpinLockAcquire(DmfObject->ReferenceCountLock);
    DmfObject->IsClosed = FALSE;
    WdfSpinLockRelease(DmfObject->ReferenceCountLock);
    return STATUS_SUCCESS;
}

void DMF_Internal_Close(DMF_OBJECT* DmfObject) {
    DMFMODULE dmfModule = DmfObject->MemoryDmfModule;
    WdfSpinLockAcquire(DmfObject->ReferenceCountLock);
    BOOLEAN wasClosed = DmfObject->IsClosed;
    DmfObject->IsClosed = TRUE;
    WdfSpinLockRelease(DmfObject->ReferenceCountLock);
    if (wasClosed) {
        return;
    }
    TraceEvents(TRACE_LEVEL_VERBOSE, DMF_TRACE, "Close %s", DmfObject->ClientModuleInstanceName);
    if (DmfObject->PostOpenDone) {
        DmfObject->EvtModulePreClose(dmfModule);
        DmfObject->PostOpenDone = FALSE;
    }

    // Wait, without limit, until every run-time reference is given back:
    // only the open's own reference may remain when the module closes.
    WdfSpinLockAcquire(DmfObject->ReferenceCountLock);
    DmfObject->IsClosing = TRUE;
    LONG referenceCount = DmfObject->ReferenceCount;
    WdfSpinLockRelease(DmfObject->ReferenceCountLock);
    while (referenceCount > 0) {
        WdfSpinLockAcquire(DmfObject->ReferenceCountLock);
        if (DmfObject->ReferenceCount == 1) {
            DmfObject->ReferenceCount = 0;
            DmfObject->IsClosing = FALSE;
        }
        referenceCount = DmfObject->ReferenceCount;
        WdfSpinLockRelease(DmfObject->ReferenceCountLock);
        if (referenceCount == 0) {
            break;
        }
        TraceEvents(TRACE_LEVEL_VERBOSE, DMF_TRACE, "Close of %s waits for %d references",
                    DmfObject->ClientModuleInstanceName, referenceCount - 1);
        Sleep(kReferencePollMs);
    }

    DmfObject->ModuleState = ModuleState_Closing;
    DMF_ModuleDmfCallbacks(DmfObject)->DeviceClose(dmfModule);
    DmfObject->ModuleState = ModuleState_Closed;
    DmfObject->ModuleOpenedDuring = ModuleOpenedDuringType_Invalid;
    DMF_EventSet(&DmfObject->ModuleOpenedEvent);
}

NTSTATUS DMF_ModuleOpen(DMFMODULE DmfModule) {
    return Open(DMF_ModuleToObject(DmfModule));
}

void DMF_ModuleClose(DMFMODULE DmfModule) {
    Close(DMF_ModuleToObject(DmfModule));
}

BOOLEAN DMF_ModuleIsOpen(DMFMODULE DmfModule) {
    DMF_OBJECT* dmfObject = DMF_ModuleToObject(DmfModule);
    WdfSpinLockAcquire(dmfObject->ReferenceCountLock);
    BOOLEAN open = dmfObject->ReferenceCount >= 1 && !dmfObject->IsClosing;
    WdfSpinLockRelease(dmfObject->ReferenceCountLock);
    return open;
}

void DMF_Generic_NotificationUnregister(DMFMODULE DmfModule) {
    DMF_ModuleClose(DmfModule);
}

NTSTATUS DMF_Module_OpenDuringCreate(DMF_OBJECT* DmfObject) {
    NTSTATUS ntStatus = STATUS_SUCCESS;
    DMF_ChildrenForward(DmfObject, [&ntStatus](DMF_OBJECT* child) {
        if (NT_SUCCESS(ntStatus)) {
            ntStatus = DMF_Module_OpenDuringCreate(child);
        }
    });
    if (!NT_SUCCESS(ntStatus)) {
        return ntStatus;
    }
    // A module must not open before the children it is built on.
    const ULONG openOption = DmfObject->ModuleDescriptor.OpenOption;
    DMF_ChildrenForward(DmfObject, [&](DMF_OBJECT* child) {
        ULONG childOption = child->ModuleDescriptor.OpenOption;
        if (NT_SUCCESS(ntStatus) && childOption < DMF_MODULE_OPEN_OPTION_NOTIFY_PrepareHardware &&
            openOption < DMF_MODULE_OPEN_OPTION_NOTIFY_PrepareHardware &&
            openOption < childOption) {
            TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "Module %s opens before its child %s",
                        DmfObject->ModuleName, child->ModuleName);
            ntStatus = STATUS_INVALID_PARAMETER;
        }
    });
    if (!NT_SUCCESS(ntStatus)) {
        return ntStatus;
    }
    if (openOption == DMF_MODULE_OPEN_OPTION_OPEN_Create) {
        ntStatus = OpenDuring(DmfObject, ModuleOpenedDuringType_Create);
    } else if (openOption == DMF_MODULE_OPEN_OPTION_NOTIFY_Create) {
        ntStatus = NotificationRegister(DmfObject);
    }
    return ntStatus;
}

void DMF_Module_CloseOrUnregisterNotificationOnDestroy(DMF_OBJECT* DmfObject) {
    const ULONG openOption = DmfObject->ModuleDescriptor.OpenOption;
    if (openOption == DMF_MODULE_OPEN_OPTION_OPEN_Create &&
        DmfObject->ModuleOpenedDuring == ModuleOpenedDuringType_Create) {
        Close(DmfObject);
    } else if (openOption == DMF_MODULE_OPEN_OPTION_NOTIFY_Create) {
        NotificationUnregister(DmfObject);
        // The module closes itself on its own notification thread.
        DMF_EventWait(&DmfObject->ModuleOpenedEvent);
    }
    DMF_ChildrenReverse(DmfObject, [](DMF_OBJECT* child) {
        DMF_Module_CloseOrUnregisterNotificationOnDestroy(child);
    });
}

void DMF_Module_NotificationUnregister(DMF_OBJECT* DmfObject) {
    NotificationUnregisterAndForget(DmfObject);
    DMF_ChildrenReverse(DmfObject,
                        [](DMF_OBJECT* child) { DMF_Module_NotificationUnregister(child); });
}

void DMF_ModuleCollection_CloseOrUnregisterDuring(DMF_MODULE_COLLECTION* Collection, LONG Mark) {
    for (LONG index = 0; index < Collection->NumberOfClientDriverDmfModules; ++index) {
        CloseOrUnregisterDuring(Collection->ClientDriverDmfModules[index], Mark);
    }
}

NTSTATUS DMF_Generic_PrepareHardware(DMFMODULE DmfModule, WDFCMRESLIST ResourcesRaw,
                                     WDFCMRESLIST ResourcesTranslated) {
    DMF_OBJECT* dmfObject = DMF_ModuleToObject(DmfModule);
    const ULONG openOption = dmfObject->ModuleDescriptor.OpenOption;
    if (!OpenOptionValid(openOption)) {
        return InvalidOpenOption(dmfObject);
    }
    NTSTATUS ntStatus = STATUS_SUCCESS;
    if (openOption != DMF_MODULE_OPEN_OPTION_OPEN_Create &&
        openOption != DMF_MODULE_OPEN_OPTION_NOTIFY_Create) {
        ntStatus = dmfObject->InternalCallbacksDmf.ResourcesAssign(DmfModule, ResourcesRaw,
                                                                   ResourcesTranslated);
        if (!NT_SUCCESS(ntStatus)) {
            return ntStatus;
        }
    }
    if (openOption == DMF_MODULE_OPEN_OPTION_OPEN_PrepareHardware) {
        ntStatus = OpenDuring(dmfObject, ModuleOpenedDuringType_PrepareHardware);
    } else if (openOption == DMF_MODULE_OPEN_OPTION_NOTIFY_PrepareHardware) {
        ntStatus = NotificationRegisterDuring(dmfObject, ModuleOpenedDuringType_PrepareHardware);
    }
    return ntStatus;
}

NTSTATUS DMF_Generic_ReleaseHardware(DMFMODULE DmfModule, WDFCMRESLIST) {
    DMF_OBJECT* dmfObject = DMF_ModuleToObject(DmfModule);
    const ULONG openOption = dmfObject->ModuleDescriptor.OpenOption;
    if (!OpenOptionValid(openOption)) {
        return InvalidOpenOption(dmfObject);
    }
    if (openOption == DMF_MODULE_OPEN_OPTION_OPEN_PrepareHardware &&
        dmfObject->ModuleOpenedDuring == ModuleOpenedDuringType_PrepareHardware) {
        CloseAndForget(dmfObject);
    } else if (openOption == DMF_MODULE_OPEN_OPTION_NOTIFY_PrepareHardware) {
        NotificationUnregisterAndForget(dmfObject);
    }
    return STATUS_SUCCESS;
}

NTSTATUS DMF_Generic_D0Entry(DMFMODULE DmfModule, WDF_POWER_DEVICE_STATE PreviousState) {
    DMF_OBJECT* dmfObject = DMF_ModuleToObject(DmfModule);
    const ULONG openOption = dmfObject->ModuleDescriptor.OpenOption;
    if (!OpenOptionValid(openOption)) {
        return InvalidOpenOption(dmfObject);
    }
    NTSTATUS ntStatus = STATUS_SUCCESS;
    if (openOption == DMF_MODULE_OPEN_OPTION_OPEN_D0EntrySystemPowerUp) {
        POWER_ACTION action = WdfDeviceGetSystemPowerAction(dmfObject->ParentDevice);
        bool open =
            PreviousState == WdfPowerDeviceD3Final ||
            (PreviousState == WdfPowerDeviceD3 &&
             (action == PowerActionHibernate || dmfObject->ModuleState == ModuleState_Closed));
        if (open) {
            ntStatus = OpenDuring(dmfObject, ModuleOpenedDuringType_D0EntrySystemPowerUp);
        }
    } else if (openOption == DMF_MODULE_OPEN_OPTION_OPEN_D0Entry) {
        ntStatus = OpenDuring(dmfObject, ModuleOpenedDuringType_D0Entry);
    } else if (openOption == DMF_MODULE_OPEN_OPTION_NOTIFY_D0Entry) {
        ntStatus = NotificationRegisterDuring(dmfObject, ModuleOpenedDuringType_D0Entry);
    }
    return ntStatus;
}

NTSTATUS DMF_Generic_D0Exit(DMFMODULE DmfModule, WDF_POWER_DEVICE_STATE TargetState) {
    DMF_OBJECT* dmfObject = DMF_ModuleToObject(DmfModule);
    const ULONG openOption = dmfObject->ModuleDescriptor.OpenOption;
    if (!OpenOptionValid(openOption)) {
        return InvalidOpenOption(dmfObject);
    }
    if (openOption == DMF_MODULE_OPEN_OPTION_OPEN_D0EntrySystemPowerUp) {
        POWER_ACTION action = WdfDeviceGetSystemPowerAction(dmfObject->ParentDevice);
        if (TargetState == WdfPowerDeviceD3Final ||
            (TargetState == WdfPowerDeviceD3 && action == PowerActionHibernate)) {
            Close(dmfObject);
        }
    } else if (openOption == DMF_MODULE_OPEN_OPTION_OPEN_D0Entry) {
        Close(dmfObject);
    } else if (openOption == DMF_MODULE_OPEN_OPTION_NOTIFY_D0Entry) {
        NotificationUnregisterAndForget(dmfObject);
    }
    return STATUS_SUCCESS;
}

NTSTATUS DMF_ModuleReference(DMFMODULE DmfModule) {
    DMF_OBJECT* dmfObject = DMF_ModuleToObject(DmfModule);
    NTSTATUS ntStatus = STATUS_SUCCESS;
    WdfSpinLockAcquire(dmfObject->ReferenceCountLock);
    if (dmfObject->ReferenceCount < 1 || dmfObject->IsClosing) {
        ntStatus = STATUS_INVALID_DEVICE_STATE;
    } else {
        InterlockedIncrement(&dmfObject->ReferenceCount);
    }
    WdfSpinLockRelease(dmfObject->ReferenceCountLock);
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_VERBOSE, DMF_TRACE, "Module %s is not open",
                    dmfObject->ClientModuleInstanceName);
    }
    return ntStatus;
}

void DMF_ModuleDereference(DMFMODULE DmfModule) {
    DMF_OBJECT* dmfObject = DMF_ModuleToObject(DmfModule);
    WdfSpinLockAcquire(dmfObject->ReferenceCountLock);
    InterlockedDecrement(&dmfObject->ReferenceCount);
    WdfSpinLockRelease(dmfObject->ReferenceCountLock);
}
