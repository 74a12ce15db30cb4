// The ScheduledTask module. Timer restarts and deferred runs start only
// under a reference on the Rundown child, and the module's close ends that
// rundown before it flushes the work item and stops the timer: once the
// close has waited, nothing of the task can start again.
#include "dmf/modules/Dmf_ScheduledTask.h"

#include "dmf/framework/DmfDevice.h"
#include "dmf/modules/Dmf_Rundown.h"
#include "platform/registry.h"
#include "platform/trace.h"
#include "platform/win32.h"

#include <atomic>
#include <cstddef>

namespace {

struct DMF_CONTEXT_ScheduledTask {
    WDFTIMER Timer;
    std::atomic<BOOLEAN> ExecutionCompleted; // the callback answered done
    std::atomic<BOOLEAN> TimerIsStarted;     // the initial deferred run is on the timer
    WDFWORKITEM DeferredWorkItem;
    PVOID DeferredCallbackContext;
    LONG DeferredOnDemand; // deferred runs asked for and not yet run
    DMFMODULE DmfModuleRundown;
    std::atomic<BOOLEAN> IsCanceled; // the device left the state the task runs in
};

DMF_MODULE_DECLARE_CUSTOM_TYPE(ScheduledTask)
DMF_MODULE_DECLARE_CONTEXT(DMF_CONTEXT_ScheduledTask)
DMF_MODULE_DECLARE_CONFIG(DMF_CONFIG_ScheduledTask)

WCHAR gTimesRunName[] = u"TimesRun";

UNICODE_STRING TimesRunName() {
    constexpr auto bytes = static_cast<USHORT>(sizeof(gTimesRunName) - sizeof(WCHAR));
    return UNICODE_STRING{bytes, static_cast<USHORT>(bytes + sizeof(WCHAR)), gTimesRunName};
}

void ValidateHandle(DMFMODULE DmfModule) {
    DMF_HandleValidate_ModuleMethod(DmfModule, DMF_ScheduledTask_TypeInfo(), FALSE);
}

bool RunsOncePerInstallation(DMFMODULE DmfModule) {
    return DMF_CONFIG_GET(DmfModule)->PersistenceType ==
           ScheduledTask_Persistence_OncePerInstallation;
}

// A missing key or value (or one that cannot be read) counts as never run.
ULONG TimesRunRead() {
    WDFKEY key = nullptr;
    ULONG timesRun = 0;
    NTSTATUS ntStatus = WdfDriverOpenParametersRegistryKey(WdfGetDriver(), KEY_READ,
                                                           WDF_NO_OBJECT_ATTRIBUTES, &key);
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_VERBOSE, DMF_TRACE,
                    "WdfDriverOpenParametersRegistryKey fails: ntStatus=0x%08X",
                    static_cast<unsigned>(ntStatus));
        return 0;
    }
    UNICODE_STRING name = TimesRunName();
    ULONG value = 0;
    ULONG length = 0;
    ULONG type = 0;
    ntStatus = WdfRegistryQueryValue(key, &name, sizeof(value), &value, &length, &type);
    if (NT_SUCCESS(ntStatus) && length == sizeof(value)) {
        timesRun = value;
    }
    WdfRegistryClose(key);
    return timesRun;
}

void TimesRunWrite() {
    WDFKEY key = nullptr;
    NTSTATUS ntStatus = WdfDriverOpenParametersRegistryKey(WdfGetDriver(), KEY_SET_VALUE,
                                                           WDF_NO_OBJECT_ATTRIBUTES, &key);
    if (NT_SUCCESS(ntStatus)) {
        UNICODE_STRING name = TimesRunName();
        ntStatus = WdfRegistryAssignULong(key, &name, 1);
        WdfRegistryClose(key);
    }
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "TimesRun not recorded: ntStatus=0x%08X",
                    static_cast<unsigned>(ntStatus));
    }
}

void TimerRestart(DMFMODULE DmfModule, ULONG Milliseconds) {
    DMF_CONTEXT_ScheduledTask* context = DMF_CONTEXT_GET(DmfModule);
    if (context->IsCanceled) {
        return;
    }
    if (NT_SUCCESS(DMF_Rundown_Reference(context->DmfModuleRundown))) {
        WdfTimerStart(context->Timer, WDF_REL_TIMEOUT_IN_MS(Milliseconds));
        DMF_Rundown_Dereference(context->DmfModuleRundown);
    }
}

ULONG ScheduledTask_Run(DMFMODULE DmfModule, WDF_POWER_DEVICE_STATE PreviousState) {
    DMF_CONTEXT_ScheduledTask* context = DMF_CONTEXT_GET(DmfModule);
    DMF_CONFIG_ScheduledTask* config = DMF_CONFIG_GET(DmfModule);
    if (RunsOncePerInstallation(DmfModule) && TimesRunRead() != 0) {
        TraceEvents(TRACE_LEVEL_INFORMATION, DMF_TRACE, "Task ran before: skipped");
        return ScheduledTask_WorkResult_Done;
    }
    if (context->ExecutionCompleted) {
        return ScheduledTask_WorkResult_Done;
    }
    const ULONG result =
        config->EvtScheduledTaskCallback(DmfModule, config->CallbackContext, PreviousState);
    if (result == ScheduledTask_WorkResult_Done) {
        context->ExecutionCompleted = TRUE;
        if (RunsOncePerInstallation(DmfModule)) {
            TimesRunWrite();
        }
    } else if (result == ScheduledTask_WorkResult_FailTryAgain) {
        TimerRestart(DmfModule, config->TimerPeriodMsOnFail);
    } else if (result == ScheduledTask_WorkResult_SuccessTryAgain) {
        TimerRestart(DmfModule, config->TimerPeriodMsOnSuccess);
    }
    return result;
}

void ScheduledTask_TimerHandler(WDFTIMER Timer) {
    auto dmfModule = static_cast<DMFMODULE>(WdfTimerGetParentObject(Timer));
    DMF_CONTEXT_ScheduledTask* context = DMF_CONTEXT_GET(dmfModule);
    context->TimerIsStarted = FALSE;
    // A run that looked at the flag just before the device left the task's
    // state may restart the timer after the exit has stopped it: from then
    // on, nothing runs until the next entry clears the flag.
    if (context->IsCanceled) {
        TraceEvents(TRACE_LEVEL_VERBOSE, DMF_TRACE, "Timer after the task's state ended: no run");
        return;
    }
    ScheduledTask_Run(dmfModule, WdfPowerDeviceInvalid);
}

void ScheduledTask_WorkItemHandler(WDFWORKITEM WorkItem) {
    DMFMODULE dmfModule = DMF_ModuleInContextGet(WorkItem);
    DMF_CONTEXT_ScheduledTask* context = DMF_CONTEXT_GET(dmfModule);
    DMF_CONFIG_ScheduledTask* config = DMF_CONFIG_GET(dmfModule);
    do {
        if (!NT_SUCCESS(DMF_Rundown_Reference(context->DmfModuleRundown))) {
            // Closing: the runs still asked for are dropped, and the count
            // with them, so that a later request finds none pending and
            // meets the refusal itself instead of being told a run covers it.
            InterlockedExchange(&context->DeferredOnDemand, 0);
            break;
        }
        if (context->DeferredCallbackContext != nullptr) {
            config->EvtScheduledTaskCallback(dmfModule, context->DeferredCallbackContext,
                                             WdfPowerDeviceInvalid);
        } else {
            ScheduledTask_Run(dmfModule, WdfPowerDeviceInvalid);
        }
        DMF_Rundown_Dereference(context->DmfModuleRundown);
    } while (InterlockedDecrement(&context->DeferredOnDemand) > 0);
}

// Prepare-hardware or D0 entry, for a task that runs then.
NTSTATUS ScheduledTask_Begin(DMFMODULE DmfModule, WDF_POWER_DEVICE_STATE PreviousState) {
    FuncEntry(DMF_TRACE);
    DMF_CONTEXT_ScheduledTask* context = DMF_CONTEXT_GET(DmfModule);
    DMF_CONFIG_ScheduledTask* config = DMF_CONFIG_GET(DmfModule);
    NTSTATUS ntStatus = STATUS_SUCCESS;
    context->IsCanceled = FALSE;
    if (config->ExecutionMode == ScheduledTask_ExecutionMode_Immediate) {
        const ULONG result = ScheduledTask_Run(DmfModule, PreviousState);
        if (result != ScheduledTask_WorkResult_Done &&
            result != ScheduledTask_WorkResult_SuccessTryAgain) {
            TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "Task answered %u", result);
            ntStatus = STATUS_UNSUCCESSFUL;
        }
    } else if (!context->TimerIsStarted.exchange(TRUE)) {
        WdfTimerStart(context->Timer, WDF_REL_TIMEOUT_IN_MS(config->TimeMsBeforeInitialCall));
    }
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}

// Release-hardware or D0 exit, for a task that runs at their counterparts.
NTSTATUS ScheduledTask_End(DMFMODULE DmfModule) {
    FuncEntry(DMF_TRACE);
    DMF_CONTEXT_ScheduledTask* context = DMF_CONTEXT_GET(DmfModule);
    // A first run stopped before it fired is started again at the next entry.
    if (WdfTimerStop(context->Timer, FALSE)) {
        context->TimerIsStarted = FALSE;
    }
    context->IsCanceled = TRUE;
    FuncExitVoid(DMF_TRACE);
    return STATUS_SUCCESS;
}

NTSTATUS ScheduledTask_PrepareHardware(DMFMODULE DmfModule, WDFCMRESLIST, WDFCMRESLIST) {
    return ScheduledTask_Begin(DmfModule, WdfPowerDeviceInvalid);
}

NTSTATUS ScheduledTask_ReleaseHardware(DMFMODULE DmfModule, WDFCMRESLIST) {
    return ScheduledTask_End(DmfModule);
}

NTSTATUS ScheduledTask_D0Entry(DMFMODULE DmfModule, WDF_POWER_DEVICE_STATE PreviousState) {
    return ScheduledTask_Begin(DmfModule, PreviousState);
}

NTSTATUS ScheduledTask_D0Exit(DMFMODULE DmfModule, WDF_POWER_DEVICE_STATE) {
    return ScheduledTask_End(DmfModule);
}

NTSTATUS ScheduledTask_Open(DMFMODULE DmfModule) {
    FuncEntry(DMF_TRACE);
    DMF_CONTEXT_ScheduledTask* context = DMF_CONTEXT_GET(DmfModule);
    context->ExecutionCompleted = FALSE;
    context->TimerIsStarted = FALSE;
    context->IsCanceled = FALSE;
    context->DeferredOnDemand = 0;

    WDF_TIMER_CONFIG timerConfig;
    WDF_TIMER_CONFIG_INIT(&timerConfig, ScheduledTask_TimerHandler);
    WDF_OBJECT_ATTRIBUTES timerAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&timerAttributes);
    timerAttributes.ParentObject = reinterpret_cast<WDFOBJECT>(DmfModule);
    timerAttributes.ExecutionLevel = WdfExecutionLevelPassive;
    NTSTATUS ntStatus = WdfTimerCreate(&timerConfig, &timerAttributes, &context->Timer);
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "WdfTimerCreate fails: ntStatus=0x%08X",
                    static_cast<unsigned>(ntStatus));
        context->Timer = nullptr;
        return ntStatus;
    }

    WDF_WORKITEM_CONFIG workItemConfig;
    WDF_WORKITEM_CONFIG_INIT(&workItemConfig, ScheduledTask_WorkItemHandler);
    workItemConfig.AutomaticSerialization = TRUE;
    WDF_OBJECT_ATTRIBUTES workItemAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&workItemAttributes);
    DMF_ModuleInObjectAttributesSet(&workItemAttributes);
    workItemAttributes.ParentObject = DMF_ParentDeviceGet(DmfModule);
    ntStatus = WdfWorkItemCreate(&workItemConfig, &workItemAttributes, &context->DeferredWorkItem);
    if (!NT_SUCCESS(ntStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, DMF_TRACE, "WdfWorkItemCreate fails: ntStatus=0x%08X",
                    static_cast<unsigned>(ntStatus));
        WdfObjectDelete(context->Timer);
        context->Timer = nullptr;
        context->DeferredWorkItem = nullptr;
        return ntStatus;
    }
    DMF_ModuleInContextSave(context->DeferredWorkItem, DmfModule);
    DMF_Rundown_Start(context->DmfModuleRundown);
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}

void ScheduledTask_Close(DMFMODULE DmfModule) {
    FuncEntry(DMF_TRACE);
    DMF_CONTEXT_ScheduledTask* context = DMF_CONTEXT_GET(DmfModule);
    DMF_Rundown_EndAndWait(context->DmfModuleRundown);
    WdfWorkItemFlush(context->DeferredWorkItem);
    WdfTimerStop(context->Timer, TRUE);
    WdfObjectDelete(context->DeferredWorkItem);
    WdfObjectDelete(context->Timer);
    context->DeferredWorkItem = nullptr;
    context->Timer = nullptr;
    FuncExitVoid(DMF_TRACE);
}

// The Rundown's lock is a spin lock, so the owner's passive flag (which
// asks for wait locks) is not handed to it.
void ScheduledTask_ChildModulesAdd(DMFMODULE DmfModule, DMF_MODULE_ATTRIBUTES*,
                                   PDMFMODULE_INIT DmfModuleInit) {
    DMF_CONTEXT_ScheduledTask* context = DMF_CONTEXT_GET(DmfModule);
    DMF_MODULE_ATTRIBUTES attributes;
    DMF_Rundown_ATTRIBUTES_INIT(&attributes);
    attributes.PassiveLevel = FALSE;
    DMF_DmfModuleAdd(DmfModuleInit, &attributes, WDF_NO_OBJECT_ATTRIBUTES,
                     &context->DmfModuleRundown);
}

} // namespace

NTSTATUS DMF_ScheduledTask_Create(WDFDEVICE Device, DMF_MODULE_ATTRIBUTES* DmfModuleAttributes,
                                  WDF_OBJECT_ATTRIBUTES* ObjectAttributes, DMFMODULE* DmfModule) {
    FuncEntry(DMF_TRACE);
    DMF_CALLBACKS_DMF callbacksDmf;
    DMF_CALLBACKS_DMF_INIT(&callbacksDmf);
    callbacksDmf.DeviceOpen = ScheduledTask_Open;
    callbacksDmf.DeviceClose = ScheduledTask_Close;
    callbacksDmf.ChildModulesAdd = ScheduledTask_ChildModulesAdd;

    // Only a task that runs at a power transition takes part in them.
    DMF_CALLBACKS_WDF callbacksWdf;
    DMF_CALLBACKS_WDF_INIT(&callbacksWdf);
    const auto* config =
        static_cast<const DMF_CONFIG_ScheduledTask*>(DmfModuleAttributes->ModuleConfigPointer);
    const bool given =
        config != nullptr && DmfModuleAttributes->SizeOfModuleSpecificConfig >=
                                 offsetof(DMF_CONFIG_ScheduledTask, ExecuteWhen) + sizeof(ULONG);
    const ULONG executeWhen = given ? config->ExecuteWhen : 0;
    if (executeWhen == ScheduledTask_ExecuteWhen_PrepareHardware) {
        callbacksWdf.PrepareHardware = ScheduledTask_PrepareHardware;
        callbacksWdf.ReleaseHardware = ScheduledTask_ReleaseHardware;
    } else if (executeWhen == ScheduledTask_ExecuteWhen_D0Entry) {
        callbacksWdf.D0Entry = ScheduledTask_D0Entry;
        callbacksWdf.D0Exit = ScheduledTask_D0Exit;
    }

    DMF_MODULE_DESCRIPTOR descriptor;
    WDF_OBJECT_ATTRIBUTES contextAttributes;
    DMF_MODULE_DESCRIPTOR_INIT_TYPE(descriptor, ScheduledTask, DMF_MODULE_OPTIONS_DISPATCH_MAXIMUM,
                                    DMF_MODULE_OPEN_OPTION_OPEN_Create);
    DMF_MODULE_DESCRIPTOR_SET_CONTEXT(descriptor, contextAttributes, DMF_CONTEXT_ScheduledTask);
    descriptor.ModuleConfigSize = sizeof(DMF_CONFIG_ScheduledTask);
    descriptor.CallbacksDmf = &callbacksDmf;
    descriptor.CallbacksWdf = &callbacksWdf;

    NTSTATUS ntStatus =
        DMF_ModuleCreate(Device, DmfModuleAttributes, ObjectAttributes, &descriptor, DmfModule);
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}

NTSTATUS DMF_ScheduledTask_ExecuteNowDeferred(DMFMODULE DmfModule, PVOID CallbackContext) {
    FuncEntry(DMF_TRACE);
    ValidateHandle(DmfModule);
    DMF_CONTEXT_ScheduledTask* context = DMF_CONTEXT_GET(DmfModule);
    NTSTATUS ntStatus = STATUS_SUCCESS;
    // Only the call that finds nothing pending queues the work item; the
    // work item runs once for every call counted before it is done.
    if (InterlockedIncrement(&context->DeferredOnDemand) == 1) {
        ntStatus = DMF_Rundown_Reference(context->DmfModuleRundown);
        if (!NT_SUCCESS(ntStatus)) {
            InterlockedDecrement(&context->DeferredOnDemand);
        } else {
            context->DeferredCallbackContext = CallbackContext;
            WdfWorkItemEnqueue(context->DeferredWorkItem);
            DMF_Rundown_Dereference(context->DmfModuleRundown);
        }
    }
    FuncExit(DMF_TRACE, "ntStatus=0x%08X", static_cast<unsigned>(ntStatus));
    return ntStatus;
}
