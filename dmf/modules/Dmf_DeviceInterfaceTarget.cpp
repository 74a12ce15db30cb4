// The DeviceInterfaceTarget module. Arrivals, removals and the target's
// query-remove protocol reach it on different threads; the reason a close
// happened for decides who deletes the target, and the open step runs whole
// under the module lock, so that a registration and an arrival never open two
// targets.
#include "dmf/modules/Dmf_DeviceInterfaceTarget.h"

#include "dmf/framework/DmfDevice.h"
#include "dmf/modules/Dmf_BufferPool.h"
#include "platform/trace.h"
#include "platform/win32.h"

#include <cstring>
#include <memory>
#include <new>

namespace {

// Why the module closed (or is closing); the first reason set wins.
enum DeviceInterfaceTarget_CloseReason : ULONG {
    CloseReason_NotSet = 0,
    CloseReason_ModuleClose = 1,
    CloseReason_QueryRemove = 2,
    CloseReason_RemoveComplete = 3,
    CloseReason_InterfaceRemoval = 4,
    CloseReason_Repeated = 5, // the reason set was given again
};

struct DMF_CONTEXT_DeviceInterfaceTarget {
    HCMNOTIFICATION DeviceInterfaceNotification;
    WDFIOTARGET IoTarget;
    UNICODE_STRING SymbolicLinkName;
    WDFMEMORY SymbolicLinkNameMemory;
    EVT_DMF_ContinuousRequestTarget_BufferInput* EvtContinuousRequestTargetBufferInput;
    EVT_DMF_ContinuousRequestTarget_BufferOutput* EvtContinuousRequestTargetBufferOutput;
    BOOLEAN OpenedInStreamMode;
    ULONG ContinuousRequestTargetMode;
    DMFMODULE DmfModuleContinuousRequestTarget;
    DMFMODULE DmfModuleRequestTarget;
    DMFMODULE DmfModuleBufferPool;
    RequestTarget_Operations ChildOperations; // of the child that sends
    BOOLEAN IoTargetPassiveLevel;
    ULONG CloseReason;
    BOOLEAN DeferredDelete;
    HCMNOTIFICATION TargetHandleNotification;
};

DMF_MODULE_DECLARE_CUSTOM_TYPE(DeviceInterfaceTarget)
DMF_MODULE_DECLARE_CONTEXT(DMF_CONTEXT_DeviceInterfaceTarget)
DMF_MODULE_DECLARE_CONFIG(DMF_CONFIG_DeviceInterfaceTarget)

// 'DITM' in memory order.
constexpr ULONG kSymbolicLinkPoolTag = 0x4D544944u;

// An asynchronous send's client, from the "BufferPoolContext" pool.
struct DeviceInterfaceTarget_SendRecord {
    EVT_DMF_RequestTarget_SendCompletion* EvtRequestTargetSendCompletion;
    PVOID SendCompletionContext;
};
static_assert(sizeof(DeviceInterfaceTarget_SendRecord) == 16);

void ValidateHandle(DMFMODULE DmfModule) {
    DMF_HandleValidate_ModuleMethod(DmfModule, DMF_DeviceInterfaceTarget_TypeInfo(), FALSE);
}

DMFMODULE Child(DMF_CONTEXT_DeviceInterfaceTarget* ModuleContext) {
    return ModuleContext->OpenedInStreamMode ? ModuleContext->DmfModuleContinuousRequestTarget
                                             : ModuleContext->DmfModuleRequestTarget;
}

size_t WideLength(const WCHAR* text) {
    size_t length = 0;
    while (text[length] != 0) {
        ++length;
    }
    return length;
}

// The caller holds the module lock for these three.
NTSTATUS SymbolicLinkStore(DMFMODULE DmfModule, const WCHAR* SymbolicLink) {
    DMF_CONTEXT_DeviceInterfaceTarget* moduleContext = DMF_CONTEXT_GET(DmfModule);
    const size_t bytes = WideLength(SymbolicLink) * sizeof(WCHAR);
    if (bytes == 0) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "No interface present");
        return STATUS_UNSUCCESSFUL;
    }
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = reinterpret_cast<WDFOBJECT>(DmfModule);
    PVOID buffer = nullptr;
    NTSTATUS ntStatus =
        WdfMemoryCreate(&attributes, NonPagedPoolNx, kSymbolicLinkPoolTag, bytes + sizeof(WCHAR),
                        &moduleContext->SymbolicLinkNameMemory, &buffer);
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "WdfMemoryCreate fails: ntStatus=0x%08X",
                    static_cast<unsigned>(ntStatus));
        moduleContext->SymbolicLinkNameMemory = nullptr;
        return ntStatus;
    }
    std::memset(buffer, 0, bytes + sizeof(WCHAR));
    std::memcpy(buffer, SymbolicLink, bytes);
    moduleContext->SymbolicLinkName.Buffer = static_cast<PWSTR>(buffer);
    moduleContext->SymbolicLinkName.Length = static_cast<USHORT>(bytes);
    moduleContext->SymbolicLinkName.MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

void SymbolicLinkFree(DMF_CONTEXT_DeviceInterfaceTarget* ModuleContext) {
    if (ModuleContext->SymbolicLinkNameMemory != nullptr) {
        WdfObjectDelete(ModuleContext->SymbolicLinkNameMemory);
        ModuleContext->SymbolicLinkNameMemory = nullptr;
    }
    ModuleContext->SymbolicLinkName = {};
}

bool SymbolicLinkMatches(DMF_CONTEXT_DeviceInterfaceTarget* ModuleContext, const WCHAR* Other) {
    const UNICODE_STRING& stored = ModuleContext->SymbolicLinkName;
    return stored.Buffer != nullptr && WideLength(Other) * sizeof(WCHAR) == stored.Length &&
           std::memcmp(stored.Buffer, Other, stored.Length) == 0;
}

void SymbolicLinkFreeLocked(DMFMODULE DmfModule) {
    DMF_ModuleLock(DmfModule);
    SymbolicLinkFree(DMF_CONTEXT_GET(DmfModule));
    DMF_ModuleUnlock(DmfModule);
}

// The target is read without the module lock: the open step holds that lock
// while it opens the module, whose post-open callback may ask for the target.
// It changes only under the lock.
WDFIOTARGET TargetGet(DMFMODULE DmfModule) {
    return static_cast<WDFIOTARGET>(InterlockedCompareExchangePointer(
        reinterpret_cast<PVOID volatile*>(&DMF_CONTEXT_GET(DmfModule)->IoTarget), nullptr,
        nullptr));
}

// Sets the target and returns the one it replaces.
WDFIOTARGET TargetExchange(DMFMODULE DmfModule, WDFIOTARGET IoTarget) {
    return static_cast<WDFIOTARGET>(InterlockedExchangePointer(
        reinterpret_cast<PVOID volatile*>(&DMF_CONTEXT_GET(DmfModule)->IoTarget), IoTarget));
}

// Sets the close reason unless one is set, and says which reason stands:
// the new one, CloseReason_Repeated, or the one already set (a module close
// or an interface removal then leaves the deletion of the target to the
// close in progress).
ULONG CloseReasonSet(DMFMODULE DmfModule, ULONG NewReason) {
    DMF_CONTEXT_DeviceInterfaceTarget* moduleContext = DMF_CONTEXT_GET(DmfModule);
    DMF_ModuleLock(DmfModule);
    ULONG reason = moduleContext->CloseReason;
    if (reason == CloseReason_NotSet) {
        moduleContext->CloseReason = NewReason;
        reason = NewReason;
    } else if (reason == NewReason) {
        reason = CloseReason_Repeated;
    } else if (NewReason == CloseReason_ModuleClose || NewReason == CloseReason_InterfaceRemoval) {
        moduleContext->DeferredDelete = TRUE;
    }
    DMF_ModuleUnlock(DmfModule);
    return reason;
}

NTSTATUS StateChange(DMFMODULE DmfModule, ULONG State) {
    DMF_CONFIG_DeviceInterfaceTarget* moduleConfig = DMF_CONFIG_GET(DmfModule);
    TraceEvents(TRACE_LEVEL_INFORMATION, DMF_TRACE, "Target state %u",
                static_cast<unsigned>(State));
    if (moduleConfig->EvtStateChange != nullptr) {
        moduleConfig->EvtStateChange(DmfModule, State);
        return STATUS_SUCCESS;
    }
    if (moduleConfig->EvtStateChangeEx != nullptr) {
        return moduleConfig->EvtStateChangeEx(DmfModule, State);
    }
    return STATUS_SUCCESS;
}

bool StreamsWithTarget(DMF_CONTEXT_DeviceInterfaceTarget* ModuleContext) {
    return ModuleContext->OpenedInStreamMode &&
           ModuleContext->ContinuousRequestTargetMode == ContinuousRequestTarget_Mode_Automatic;
}

// Whoever started the stream, the module or its client, it ends before the
// target it runs on closes: a completion still to come would send again on
// a target that is gone. A stream its client started stays stopped until
// the client starts it again.
void StreamStop(DMFMODULE DmfModule) {
    DMF_CONTEXT_DeviceInterfaceTarget* moduleContext = DMF_CONTEXT_GET(DmfModule);
    if (moduleContext->OpenedInStreamMode) {
        DMF_ContinuousRequestTarget_Stop(moduleContext->DmfModuleContinuousRequestTarget);
    }
}

void StreamStart(DMFMODULE DmfModule) {
    DMF_CONTEXT_DeviceInterfaceTarget* moduleContext = DMF_CONTEXT_GET(DmfModule);
    if (StreamsWithTarget(moduleContext)) {
        NTSTATUS ntStatus =
            DMF_ContinuousRequestTarget_Start(moduleContext->DmfModuleContinuousRequestTarget);
        if (!NT_SUCCESS(ntStatus)) {
            TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "Streaming does not start: ntStatus=0x%08X",
                        static_cast<unsigned>(ntStatus));
        }
    }
}

void TargetCloseAndDelete(WDFIOTARGET IoTarget) {
    WdfIoTargetClose(IoTarget);
    WdfObjectDelete(IoTarget);
}

NTSTATUS QueryRemove(WDFIOTARGET IoTarget);
void RemoveCanceled(WDFIOTARGET IoTarget);
void RemoveComplete(WDFIOTARGET IoTarget);

// The present interfaces of the class, or nothing.
std::unique_ptr<WCHAR[]> PresentInterfaces(DMF_CONFIG_DeviceInterfaceTarget* ModuleConfig) {
    ULONG characters = 0;
    CONFIGRET configRet =
        CM_Get_Device_Interface_List_SizeW(&characters, &ModuleConfig->DeviceInterfaceTargetGuid,
                                           nullptr, CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
    if (configRet != CR_SUCCESS) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE,
                    "CM_Get_Device_Interface_List_SizeW fails: configRet=0x%X",
                    static_cast<unsigned>(configRet));
        return nullptr;
    }
    std::unique_ptr<WCHAR[]> list(new (std::nothrow) WCHAR[characters]);
    if (list == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "No memory for %u characters",
                    static_cast<unsigned>(characters));
        return nullptr;
    }
    configRet =
        CM_Get_Device_Interface_ListW(&ModuleConfig->DeviceInterfaceTargetGuid, nullptr, list.get(),
                                      characters, CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
    if (configRet != CR_SUCCESS) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE,
                    "CM_Get_Device_Interface_ListW fails: configRet=0x%X",
                    static_cast<unsigned>(configRet));
        return nullptr;
    }
    return list;
}

// Opens the target on the stored interface, or on the first present one;
// with `Arrived`, on that interface unless one is stored already. The target
// opened is always the interface whose link is stored.
NTSTATUS OpenStepLocked(DMFMODULE DmfModule, const WCHAR* Arrived) {
    DMF_CONTEXT_DeviceInterfaceTarget* moduleContext = DMF_CONTEXT_GET(DmfModule);
    DMF_CONFIG_DeviceInterfaceTarget* moduleConfig = DMF_CONFIG_GET(DmfModule);
    if (Arrived != nullptr) {
        if (moduleContext->SymbolicLinkName.Buffer != nullptr) {
            TraceEvents(TRACE_LEVEL_VERBOSE, DMF_TRACE, "An interface is in use: arrival ignored");
            return STATUS_SUCCESS;
        }
        NTSTATUS ntStatus = SymbolicLinkStore(DmfModule, Arrived);
        if (!NT_SUCCESS(ntStatus)) {
            return ntStatus;
        }
    }
    if (TargetGet(DmfModule) != nullptr) {
        return STATUS_SUCCESS;
    }
    TraceEvents(TRACE_LEVEL_VERBOSE, DMF_TRACE, "No target: looking for an interface");

    WDFIOTARGET ioTarget = nullptr;
    NTSTATUS ntStatus = STATUS_UNSUCCESSFUL;
    std::unique_ptr<WCHAR[]> present = PresentInterfaces(moduleConfig);
    if (present == nullptr) {
        goto Failed;
    }
    if (moduleContext->SymbolicLinkName.Buffer == nullptr) {
        ntStatus = SymbolicLinkStore(DmfModule, present.get());
        if (!NT_SUCCESS(ntStatus)) {
            goto Failed;
        }
    }
    if (moduleConfig->EvtInterfaceArrivalQuery != nullptr) {
        BOOLEAN open = TRUE;
        moduleConfig->EvtInterfaceArrivalQuery(DmfModule, &moduleContext->SymbolicLinkName, &open);
        if (!open) {
            // Declined: the next arrival of the class has its chance.
            TraceEvents(TRACE_LEVEL_INFORMATION, DMF_TRACE, "The client declines the interface");
            ntStatus = STATUS_UNSUCCESSFUL;
            goto Failed;
        }
    }
    {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        DMF_ModuleInObjectAttributesSet(&attributes);
        attributes.ParentObject = DMF_ParentDeviceGet(DmfModule);
        ntStatus = WdfIoTargetCreate(DMF_ParentDeviceGet(DmfModule), &attributes, &ioTarget);
        if (!NT_SUCCESS(ntStatus)) {
            TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "WdfIoTargetCreate fails: ntStatus=0x%08X",
                        static_cast<unsigned>(ntStatus));
            ioTarget = nullptr;
            goto Failed;
        }
        DMF_ModuleInContextSave(ioTarget, DmfModule);
        WDF_IO_TARGET_OPEN_PARAMS openParams;
        WDF_IO_TARGET_OPEN_PARAMS_INIT_OPEN_BY_NAME(&openParams, &moduleContext->SymbolicLinkName,
                                                    GENERIC_READ | GENERIC_WRITE);
        openParams.ShareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE;
        openParams.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        openParams.CreateDisposition = OPEN_EXISTING;
        openParams.EvtIoTargetQueryRemove = QueryRemove;
        openParams.EvtIoTargetRemoveCanceled = RemoveCanceled;
        openParams.EvtIoTargetRemoveComplete = RemoveComplete;
        ntStatus = WdfIoTargetOpen(ioTarget, &openParams);
        if (!NT_SUCCESS(ntStatus)) {
            TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "WdfIoTargetOpen fails: ntStatus=0x%08X",
                        static_cast<unsigned>(ntStatus));
            WdfObjectDelete(ioTarget);
            ioTarget = nullptr;
            goto Failed;
        }
    }
    TargetExchange(DmfModule, ioTarget);
    ntStatus = StateChange(DmfModule, DeviceInterfaceTarget_StateType_Open);
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "The client refuses the target: ntStatus=0x%08X",
                    static_cast<unsigned>(ntStatus));
        goto Failed;
    }
    moduleContext->CloseReason = CloseReason_NotSet;
    moduleContext->DeferredDelete = FALSE;
    ntStatus = DMF_ModuleOpen(DmfModule);
    if (!NT_SUCCESS(ntStatus)) {
        goto Failed;
    }
    StreamStart(DmfModule);
    return STATUS_SUCCESS;

Failed:
    // A target that was refused must not stay open with the module closed:
    // no later arrival could open another.
    if (ioTarget != nullptr) {
        TargetExchange(DmfModule, nullptr);
        TargetCloseAndDelete(ioTarget);
    }
    SymbolicLinkFree(moduleContext);
    return ntStatus;
}

NTSTATUS OpenStep(DMFMODULE DmfModule, const WCHAR* Arrived) {
    DMF_ModuleLock(DmfModule);
    NTSTATUS ntStatus = OpenStepLocked(DmfModule, Arrived);
    DMF_ModuleUnlock(DmfModule);
    return ntStatus;
}

DWORD InterfaceNotification(HCMNOTIFICATION, PVOID Context, CM_NOTIFY_ACTION Action,
                            PCM_NOTIFY_EVENT_DATA EventData, DWORD) {
    auto dmfModule = static_cast<DMFMODULE>(Context);
    const WCHAR* symbolicLink = EventData->u.DeviceInterface.SymbolicLink;
    if (Action == CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL) {
        OpenStep(dmfModule, symbolicLink);
    } else if (Action == CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL) {
        DMF_CONTEXT_DeviceInterfaceTarget* moduleContext = DMF_CONTEXT_GET(dmfModule);
        DMF_ModuleLock(dmfModule);
        const bool ours = SymbolicLinkMatches(moduleContext, symbolicLink);
        DMF_ModuleUnlock(dmfModule);
        if (ours &&
            CloseReasonSet(dmfModule, CloseReason_InterfaceRemoval) ==
                CloseReason_InterfaceRemoval &&
            TargetGet(dmfModule) != nullptr) {
            StreamStop(dmfModule);
            DMF_ModuleClose(dmfModule);
        }
    }
    return ERROR_SUCCESS;
}

DWORD TargetHandleNotification(HCMNOTIFICATION, PVOID Context, CM_NOTIFY_ACTION Action,
                               PCM_NOTIFY_EVENT_DATA EventData, DWORD EventDataSize) {
    if (Context == nullptr) {
        return ERROR_INVALID_DATA;
    }
    auto dmfModule = static_cast<DMFMODULE>(Context);
    return DMF_CONFIG_GET(dmfModule)->EvtTargetHandleNotification(dmfModule, Action, EventData,
                                                                  EventDataSize);
}

NTSTATUS QueryRemove(WDFIOTARGET IoTarget) {
    DMFMODULE dmfModule = DMF_ModuleInContextGet(IoTarget);
    if (CloseReasonSet(dmfModule, CloseReason_QueryRemove) != CloseReason_QueryRemove) {
        return STATUS_SUCCESS;
    }
    NTSTATUS ntStatus = StateChange(dmfModule, DeviceInterfaceTarget_StateType_QueryRemove);
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "The client vetoes the removal: ntStatus=0x%08X",
                    static_cast<unsigned>(ntStatus));
        return STATUS_UNSUCCESSFUL;
    }
    StreamStop(dmfModule);
    DMF_ModuleClose(dmfModule);
    DMF_ModuleLock(dmfModule);
    const BOOLEAN deferredDelete = DMF_CONTEXT_GET(dmfModule)->DeferredDelete;
    DMF_ModuleUnlock(dmfModule);
    if (deferredDelete) {
        WdfObjectDelete(IoTarget);
        SymbolicLinkFreeLocked(dmfModule);
    }
    return ntStatus;
}

void RemoveCanceled(WDFIOTARGET IoTarget) {
    DMFMODULE dmfModule = DMF_ModuleInContextGet(IoTarget);
    DMF_CONTEXT_DeviceInterfaceTarget* moduleContext = DMF_CONTEXT_GET(dmfModule);
    DMF_ModuleLock(dmfModule);
    const bool takeBack = TargetGet(dmfModule) == nullptr;
    if (takeBack) {
        TargetExchange(dmfModule, IoTarget);
    }
    DMF_ModuleUnlock(dmfModule);
    bool reopened = false;
    if (takeBack) {
        WDF_IO_TARGET_OPEN_PARAMS openParams;
        WDF_IO_TARGET_OPEN_PARAMS_INIT_REOPEN(&openParams);
        NTSTATUS ntStatus = WdfIoTargetOpen(IoTarget, &openParams);
        if (NT_SUCCESS(ntStatus)) {
            ntStatus = DMF_ModuleOpen(dmfModule);
        }
        if (NT_SUCCESS(ntStatus)) {
            reopened = true;
            if (NT_SUCCESS(DMF_ModuleReference(dmfModule))) {
                StreamStart(dmfModule);
                DMF_ModuleDereference(dmfModule);
            }
        } else {
            TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "Reopening fails: ntStatus=0x%08X",
                        static_cast<unsigned>(ntStatus));
            DMF_ModuleLock(dmfModule);
            TargetExchange(dmfModule, nullptr);
            SymbolicLinkFree(moduleContext);
            DMF_ModuleUnlock(dmfModule);
            TargetCloseAndDelete(IoTarget);
        }
    }
    // A target that could not be reopened is gone: the client must not hear
    // that it is back.
    const bool open = !takeBack || reopened;
    StateChange(dmfModule, open ? DeviceInterfaceTarget_StateType_QueryRemoveCancelled
                                : DeviceInterfaceTarget_StateType_Close);
    DMF_ModuleLock(dmfModule);
    const BOOLEAN deferredDelete = moduleContext->DeferredDelete;
    moduleContext->CloseReason = deferredDelete ? CloseReason_ModuleClose : CloseReason_NotSet;
    DMF_ModuleUnlock(dmfModule);
    if (deferredDelete && open) {
        StateChange(dmfModule, DeviceInterfaceTarget_StateType_Close);
        if (reopened) {
            StreamStop(dmfModule);
            DMF_ModuleClose(dmfModule);
        }
    }
}

void RemoveComplete(WDFIOTARGET IoTarget) {
    DMFMODULE dmfModule = DMF_ModuleInContextGet(IoTarget);
    const ULONG reason = CloseReasonSet(dmfModule, CloseReason_RemoveComplete);
    if (reason == CloseReason_QueryRemove || reason == CloseReason_RemoveComplete) {
        StateChange(dmfModule, DeviceInterfaceTarget_StateType_QueryRemoveComplete);
    }
    if (reason == CloseReason_RemoveComplete) {
        StreamStop(dmfModule);
        DMF_ModuleClose(dmfModule);
    } else if (reason == CloseReason_QueryRemove) {
        // Closed for the query and kept until now.
        WdfObjectDelete(IoTarget);
        SymbolicLinkFreeLocked(dmfModule);
    }
}

NTSTATUS DeviceInterfaceTarget_NotificationRegister(DMFMODULE DmfModule) {
    FuncEntry(DMF_TRACE);
    DMF_CONTEXT_DeviceInterfaceTarget* moduleContext = DMF_CONTEXT_GET(DmfModule);
    DMF_CONFIG_DeviceInterfaceTarget* moduleConfig = DMF_CONFIG_GET(DmfModule);
    DMF_ModuleLock(DmfModule);
    moduleContext->DeferredDelete = FALSE;
    DMF_ModuleUnlock(DmfModule);

    CM_NOTIFY_FILTER filter;
    std::memset(&filter, 0, sizeof(filter));
    filter.cbSize = sizeof(filter);
    filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
    filter.u.DeviceInterface.ClassGuid = moduleConfig->DeviceInterfaceTargetGuid;
    CONFIGRET configRet = CM_Register_Notification(&filter, DmfModule, InterfaceNotification,
                                                   &moduleContext->DeviceInterfaceNotification);
    if (configRet != CR_SUCCESS) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "CM_Register_Notification fails: configRet=0x%X",
                    static_cast<unsigned>(configRet));
        moduleContext->DeviceInterfaceNotification = nullptr;
        FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(STATUS_NOT_FOUND));
        return STATUS_NOT_FOUND;
    }
    OpenStep(DmfModule, nullptr);

    if (moduleConfig->EvtTargetHandleNotification != nullptr &&
        NT_SUCCESS(DMF_ModuleReference(DmfModule))) {
        WDFIOTARGET ioTarget = TargetGet(DmfModule);
        if (moduleContext->TargetHandleNotification == nullptr && ioTarget != nullptr) {
            HANDLE fileHandle = WdfIoTargetWdmGetTargetFileHandle(ioTarget);
            if (fileHandle != nullptr && fileHandle != INVALID_HANDLE_VALUE) {
                std::memset(&filter, 0, sizeof(filter));
                filter.cbSize = sizeof(filter);
                filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEHANDLE;
                filter.u.DeviceHandle.hTarget = fileHandle;
                configRet = CM_Register_Notification(&filter, DmfModule, TargetHandleNotification,
                                                     &moduleContext->TargetHandleNotification);
                if (configRet != CR_SUCCESS) {
                    TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE,
                                "CM_Register_Notification (handle) fails: configRet=0x%X",
                                static_cast<unsigned>(configRet));
                    moduleContext->TargetHandleNotification = nullptr;
                }
            }
        }
        DMF_ModuleDereference(DmfModule);
    }
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(STATUS_SUCCESS));
    return STATUS_SUCCESS;
}

void Unregister(HCMNOTIFICATION* Notification) {
    if (*Notification == nullptr) {
        return;
    }
    CONFIGRET configRet = CM_Unregister_Notification(*Notification);
    if (configRet != CR_SUCCESS) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE,
                    "CM_Unregister_Notification fails: configRet=0x%X",
                    static_cast<unsigned>(configRet));
    }
    *Notification = nullptr;
}

void DeviceInterfaceTarget_NotificationUnregister(DMFMODULE DmfModule) {
    FuncEntry(DMF_TRACE);
    DMF_CONTEXT_DeviceInterfaceTarget* moduleContext = DMF_CONTEXT_GET(DmfModule);
    // The handle registration ends whether or not the target is still open:
    // after a removal it would otherwise outlive the module.
    Unregister(&moduleContext->TargetHandleNotification);
    Unregister(&moduleContext->DeviceInterfaceNotification);
    if (CloseReasonSet(DmfModule, CloseReason_ModuleClose) == CloseReason_ModuleClose &&
        TargetGet(DmfModule) != nullptr) {
        StateChange(DmfModule, DeviceInterfaceTarget_StateType_Close);
        StreamStop(DmfModule);
        DMF_ModuleClose(DmfModule);
    }
    FuncExitVoid(DMF_TRACE);
}

NTSTATUS DeviceInterfaceTarget_Open(DMFMODULE DmfModule) {
    FuncEntry(DMF_TRACE);
    DMF_CONTEXT_DeviceInterfaceTarget* moduleContext = DMF_CONTEXT_GET(DmfModule);
    moduleContext->IoTargetPassiveLevel = DMF_ModuleIsPassiveLevel(DmfModule);
    moduleContext->ChildOperations.IoTargetSet(Child(moduleContext), TargetGet(DmfModule));
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(STATUS_SUCCESS));
    return STATUS_SUCCESS;
}

void DeviceInterfaceTarget_Close(DMFMODULE DmfModule) {
    FuncEntry(DMF_TRACE);
    DMF_CONTEXT_DeviceInterfaceTarget* moduleContext = DMF_CONTEXT_GET(DmfModule);
    moduleContext->ChildOperations.IoTargetClear(Child(moduleContext));
    DMF_ModuleLock(DmfModule);
    WDFIOTARGET ioTarget = TargetExchange(DmfModule, nullptr);
    const ULONG reason = moduleContext->CloseReason;
    DMF_ModuleUnlock(DmfModule);
    switch (reason) {
    case CloseReason_QueryRemove:
        // Kept: the removal may still be cancelled.
        if (ioTarget != nullptr) {
            WdfIoTargetCloseForQueryRemove(ioTarget);
        }
        break;
    case CloseReason_ModuleClose:
    case CloseReason_RemoveComplete:
    case CloseReason_InterfaceRemoval:
        if (ioTarget != nullptr) {
            TargetCloseAndDelete(ioTarget);
        }
        SymbolicLinkFreeLocked(DmfModule);
        break;
    default:
        break;
    }
    FuncExitVoid(DMF_TRACE);
}

void BufferInput(DMFMODULE DmfModule, PVOID InputBuffer, size_t* InputBufferSize,
                 PVOID InputContext) {
    DMFMODULE parent = DMF_ParentModuleGet(DmfModule);
    DMF_CONTEXT_DeviceInterfaceTarget* moduleContext = DMF_CONTEXT_GET(parent);
    if (moduleContext->EvtContinuousRequestTargetBufferInput != nullptr) {
        moduleContext->EvtContinuousRequestTargetBufferInput(parent, InputBuffer, InputBufferSize,
                                                             InputContext);
    } else {
        *InputBufferSize = 0;
    }
}

ULONG BufferOutput(DMFMODULE DmfModule, PVOID OutputBuffer, size_t OutputBufferSize,
                   PVOID OutputContext, NTSTATUS CompletionStatus) {
    DMFMODULE parent = DMF_ParentModuleGet(DmfModule);
    DMF_CONTEXT_DeviceInterfaceTarget* moduleContext = DMF_CONTEXT_GET(parent);
    if (moduleContext->EvtContinuousRequestTargetBufferOutput != nullptr) {
        return moduleContext->EvtContinuousRequestTargetBufferOutput(
            parent, OutputBuffer, OutputBufferSize, OutputContext, CompletionStatus);
    }
    return NT_SUCCESS(CompletionStatus)
               ? ContinuousRequestTarget_BufferDisposition_ContinueStreaming
               : ContinuousRequestTarget_BufferDisposition_StopStreaming;
}

void DeviceInterfaceTarget_ChildModulesAdd(DMFMODULE DmfModule, DMF_MODULE_ATTRIBUTES*,
                                           PDMFMODULE_INIT DmfModuleInit) {
    FuncEntry(DMF_TRACE);
    DMF_CONTEXT_DeviceInterfaceTarget* moduleContext = DMF_CONTEXT_GET(DmfModule);
    DMF_CONFIG_DeviceInterfaceTarget* moduleConfig = DMF_CONFIG_GET(DmfModule);
    const BOOLEAN passiveLevel = DMF_ModuleIsPassiveLevel(DmfModule);

    RequestTarget_BufferPoolAdd(DmfModuleInit, passiveLevel, "BufferPoolContext", 1,
                                sizeof(DeviceInterfaceTarget_SendRecord), 0, TRUE, NonPagedPoolNx,
                                &moduleContext->DmfModuleBufferPool);

    DMF_MODULE_ATTRIBUTES moduleAttributes;
    if (moduleConfig->ContinuousRequestTargetConfig.ContinuousRequestCount == 0) {
        moduleContext->OpenedInStreamMode = FALSE;
        moduleContext->ChildOperations = DMF_RequestTarget_Operations;
        DMF_RequestTarget_ATTRIBUTES_INIT(&moduleAttributes);
        moduleAttributes.PassiveLevel = passiveLevel;
        DMF_DmfModuleAdd(DmfModuleInit, &moduleAttributes, WDF_NO_OBJECT_ATTRIBUTES,
                         &moduleContext->DmfModuleRequestTarget);
    } else {
        moduleContext->OpenedInStreamMode = TRUE;
        moduleContext->ChildOperations = DMF_ContinuousRequestTarget_Operations;
        moduleContext->ContinuousRequestTargetMode =
            moduleConfig->ContinuousRequestTargetConfig.ContinuousRequestTargetMode;
        moduleContext->EvtContinuousRequestTargetBufferInput =
            moduleConfig->ContinuousRequestTargetConfig.EvtContinuousRequestTargetBufferInput;
        moduleContext->EvtContinuousRequestTargetBufferOutput =
            moduleConfig->ContinuousRequestTargetConfig.EvtContinuousRequestTargetBufferOutput;
        DMF_CONFIG_ContinuousRequestTarget continuousConfig;
        DMF_CONFIG_ContinuousRequestTarget_AND_ATTRIBUTES_INIT(&continuousConfig,
                                                               &moduleAttributes);
        continuousConfig = moduleConfig->ContinuousRequestTargetConfig;
        continuousConfig.EvtContinuousRequestTargetBufferInput = BufferInput;
        continuousConfig.EvtContinuousRequestTargetBufferOutput = BufferOutput;
        moduleAttributes.PassiveLevel = passiveLevel;
        DMF_DmfModuleAdd(DmfModuleInit, &moduleAttributes, WDF_NO_OBJECT_ATTRIBUTES,
                         &moduleContext->DmfModuleContinuousRequestTarget);
    }
    FuncExitVoid(DMF_TRACE);
}

// The client's completion, with this module in place of the child.
void SendCompletion(DMFMODULE DmfModule, PVOID ClientRequestContext, PVOID InputBuffer,
                    size_t InputBufferBytesWritten, PVOID OutputBuffer,
                    size_t OutputBufferBytesRead, NTSTATUS CompletionStatus) {
    DMFMODULE parent = DMF_ParentModuleGet(DmfModule);
    auto* sendRecord = static_cast<DeviceInterfaceTarget_SendRecord*>(ClientRequestContext);
    if (sendRecord->EvtRequestTargetSendCompletion != nullptr) {
        sendRecord->EvtRequestTargetSendCompletion(
            parent, sendRecord->SendCompletionContext, InputBuffer, InputBufferBytesWritten,
            OutputBuffer, OutputBufferBytesRead, CompletionStatus);
    }
    DMF_BufferPool_Put(DMF_CONTEXT_GET(parent)->DmfModuleBufferPool, sendRecord);
}

NTSTATUS SendThroughChild(DMFMODULE DmfModule, const RequestTarget_SendParameters& Parameters,
                          ULONGLONG* RequestId) {
    FuncEntry(DMF_TRACE);
    ValidateHandle(DmfModule);
    NTSTATUS ntStatus = DMF_ModuleReference(DmfModule);
    if (!NT_SUCCESS(ntStatus)) {
        FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
        return ntStatus;
    }
    DMF_CONTEXT_DeviceInterfaceTarget* moduleContext = DMF_CONTEXT_GET(DmfModule);
    DeviceInterfaceTarget_SendRecord* sendRecord = nullptr;
    ntStatus = DMF_BufferPool_Get(moduleContext->DmfModuleBufferPool,
                                  reinterpret_cast<PVOID*>(&sendRecord), nullptr);
    if (NT_SUCCESS(ntStatus)) {
        sendRecord->EvtRequestTargetSendCompletion = Parameters.EvtRequestTargetSendCompletion;
        sendRecord->SendCompletionContext = Parameters.SendCompletionContext;
        // Without a request id, SendEx is Send.
        ntStatus = moduleContext->ChildOperations.SendEx(
            Child(moduleContext), Parameters.RequestBuffer, Parameters.RequestLength,
            Parameters.ResponseBuffer, Parameters.ResponseLength, Parameters.RequestType,
            Parameters.RequestIoctl, Parameters.RequestTimeoutMilliseconds, SendCompletion,
            sendRecord, RequestId);
        if (!NT_SUCCESS(ntStatus)) {
            DMF_BufferPool_Put(moduleContext->DmfModuleBufferPool, sendRecord);
        }
    } else {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "DMF_BufferPool_Get fails: ntStatus=0x%08X",
                    static_cast<unsigned>(ntStatus));
    }
    DMF_ModuleDereference(DmfModule);
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}

} // namespace

NTSTATUS DMF_DeviceInterfaceTarget_Create(WDFDEVICE Device,
                                          DMF_MODULE_ATTRIBUTES* DmfModuleAttributes,
                                          WDF_OBJECT_ATTRIBUTES* ObjectAttributes,
                                          DMFMODULE* DmfModule) {
    FuncEntry(DMF_TRACE);
    DMF_CALLBACKS_DMF callbacksDmf;
    DMF_CALLBACKS_DMF_INIT(&callbacksDmf);
    callbacksDmf.NotificationRegister = DeviceInterfaceTarget_NotificationRegister;
    callbacksDmf.NotificationUnregister = DeviceInterfaceTarget_NotificationUnregister;
    callbacksDmf.DeviceOpen = DeviceInterfaceTarget_Open;
    callbacksDmf.DeviceClose = DeviceInterfaceTarget_Close;
    callbacksDmf.ChildModulesAdd = DeviceInterfaceTarget_ChildModulesAdd;

    // A dynamic parent has no PnP callbacks to register from.
    const ULONG openOption = DmfModuleAttributes->IsParentDynamic
                                 ? DMF_MODULE_OPEN_OPTION_NOTIFY_Create
                                 : DMF_MODULE_OPEN_OPTION_NOTIFY_PrepareHardware;
    DMF_MODULE_DESCRIPTOR descriptor;
    WDF_OBJECT_ATTRIBUTES contextAttributes;
    DMF_MODULE_DESCRIPTOR_INIT_TYPE(descriptor, DeviceInterfaceTarget,
                                    DMF_MODULE_OPTIONS_DISPATCH_MAXIMUM, openOption);
    DMF_MODULE_DESCRIPTOR_SET_CONTEXT(descriptor, contextAttributes,
                                      DMF_CONTEXT_DeviceInterfaceTarget);
    descriptor.ModuleConfigSize = sizeof(DMF_CONFIG_DeviceInterfaceTarget);
    descriptor.CallbacksDmf = &callbacksDmf;

    NTSTATUS ntStatus =
        DMF_ModuleCreate(Device, DmfModuleAttributes, ObjectAttributes, &descriptor, DmfModule);
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}

NTSTATUS DMF_DeviceInterfaceTarget_SendSynchronously(DMFMODULE DmfModule, PVOID RequestBuffer,
                                                     size_t RequestLength, PVOID ResponseBuffer,
                                                     size_t ResponseLength, ULONG RequestType,
                                                     ULONG RequestIoctl,
                                                     ULONG RequestTimeoutMilliseconds,
                                                     size_t* BytesWritten) {
    FuncEntry(DMF_TRACE);
    ValidateHandle(DmfModule);
    NTSTATUS ntStatus = DMF_ModuleReference(DmfModule);
    if (NT_SUCCESS(ntStatus)) {
        DMF_CONTEXT_DeviceInterfaceTarget* moduleContext = DMF_CONTEXT_GET(DmfModule);
        ntStatus = moduleContext->ChildOperations.SendSynchronously(
            Child(moduleContext), RequestBuffer, RequestLength, ResponseBuffer, ResponseLength,
            RequestType, RequestIoctl, RequestTimeoutMilliseconds, BytesWritten);
        DMF_ModuleDereference(DmfModule);
    }
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}

NTSTATUS
DMF_DeviceInterfaceTarget_Send(DMFMODULE DmfModule, PVOID RequestBuffer, size_t RequestLength,
                               PVOID ResponseBuffer, size_t ResponseLength, ULONG RequestType,
                               ULONG RequestIoctl, ULONG RequestTimeoutMilliseconds,
                               EVT_DMF_RequestTarget_SendCompletion* EvtRequestTargetSendCompletion,
                               PVOID SendCompletionContext) {
    return SendThroughChild(DmfModule,
                            {RequestBuffer, RequestLength, ResponseBuffer, ResponseLength,
                             RequestType, RequestIoctl, RequestTimeoutMilliseconds,
                             EvtRequestTargetSendCompletion, SendCompletionContext},
                            nullptr);
}

NTSTATUS
DMF_DeviceInterfaceTarget_SendEx(
    DMFMODULE DmfModule, PVOID RequestBuffer, size_t RequestLength, PVOID ResponseBuffer,
    size_t ResponseLength, ULONG RequestType, ULONG RequestIoctl, ULONG RequestTimeoutMilliseconds,
    EVT_DMF_RequestTarget_SendCompletion* EvtRequestTargetSendCompletion,
    PVOID SendCompletionContext, ULONGLONG* RequestId) {
    return SendThroughChild(DmfModule,
                            {RequestBuffer, RequestLength, ResponseBuffer, ResponseLength,
                             RequestType, RequestIoctl, RequestTimeoutMilliseconds,
                             EvtRequestTargetSendCompletion, SendCompletionContext},
                            RequestId);
}

BOOLEAN DMF_DeviceInterfaceTarget_Cancel(DMFMODULE DmfModule, ULONGLONG RequestId) {
    ValidateHandle(DmfModule);
    BOOLEAN returnValue = FALSE;
    if (NT_SUCCESS(DMF_ModuleReference(DmfModule))) {
        DMF_CONTEXT_DeviceInterfaceTarget* moduleContext = DMF_CONTEXT_GET(DmfModule);
        returnValue = moduleContext->ChildOperations.Cancel(Child(moduleContext), RequestId);
        DMF_ModuleDereference(DmfModule);
    }
    return returnValue;
}

NTSTATUS DMF_DeviceInterfaceTarget_Get(DMFMODULE DmfModule, WDFIOTARGET* IoTarget) {
    ValidateHandle(DmfModule);
    *IoTarget = nullptr;
    NTSTATUS ntStatus = DMF_ModuleReference(DmfModule);
    if (NT_SUCCESS(ntStatus)) {
        *IoTarget = TargetGet(DmfModule);
        DMF_ModuleDereference(DmfModule);
    }
    return ntStatus;
}

NTSTATUS DMF_DeviceInterfaceTarget_StreamStart(DMFMODULE DmfModule) {
    ValidateHandle(DmfModule);
    NTSTATUS ntStatus = DMF_ModuleReference(DmfModule);
    if (NT_SUCCESS(ntStatus)) {
        DMF_CONTEXT_DeviceInterfaceTarget* moduleContext = DMF_CONTEXT_GET(DmfModule);
        ntStatus =
            moduleContext->OpenedInStreamMode
                ? DMF_ContinuousRequestTarget_Start(moduleContext->DmfModuleContinuousRequestTarget)
                : STATUS_INVALID_DEVICE_REQUEST;
        DMF_ModuleDereference(DmfModule);
    }
    return ntStatus;
}

void DMF_DeviceInterfaceTarget_StreamStop(DMFMODULE DmfModule) {
    ValidateHandle(DmfModule);
    if (NT_SUCCESS(DMF_ModuleReference(DmfModule))) {
        DMF_CONTEXT_DeviceInterfaceTarget* moduleContext = DMF_CONTEXT_GET(DmfModule);
        if (moduleContext->OpenedInStreamMode) {
            DMF_ContinuousRequestTarget_Stop(moduleContext->DmfModuleContinuousRequestTarget);
        }
        DMF_ModuleDereference(DmfModule);
    }
}
