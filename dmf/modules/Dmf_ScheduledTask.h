// The ScheduledTask module: runs a client callback at prepare-hardware, at
// D0 entry or only when asked, at once or after a delay, again on a timer
// when the callback asks for it, and deferred on a work item. A task can be
// made to succeed once per installation: its success is recorded as
// "TimesRun" under the driver's Parameters key and the task is skipped from
// then on.
#pragma once

#include "dmf/framework/DmfModule.h"
#include "platform/types.h"
#include "platform/wdf.h"

// What the callback answers.
enum ScheduledTask_WorkResultType : ULONG {
    ScheduledTask_WorkResult_Invalid = 0,
    ScheduledTask_WorkResult_Done = 1,            // never called again by the timer paths
    ScheduledTask_WorkResult_DoneForNow = 2,      // nothing scheduled
    ScheduledTask_WorkResult_FailTryAgain = 3,    // again after TimerPeriodMsOnFail
    ScheduledTask_WorkResult_SuccessTryAgain = 4, // again after TimerPeriodMsOnSuccess
};

enum ScheduledTask_PersistenceType : ULONG {
    ScheduledTask_Persistence_OncePerInstallation = 1,
    ScheduledTask_Persistence_None = 2,
};

enum ScheduledTask_ExecutionModeType : ULONG {
    ScheduledTask_ExecutionMode_Immediate = 1, // synchronously, in the power callback
    ScheduledTask_ExecutionMode_Deferred = 2,  // from the timer, TimeMsBeforeInitialCall later
};

enum ScheduledTask_ExecuteWhenType : ULONG {
    ScheduledTask_ExecuteWhen_PrepareHardware = 1,
    ScheduledTask_ExecuteWhen_D0Entry = 2,
    ScheduledTask_ExecuteWhen_Other = 3, // and any other value: only on request
};

// PreviousState is WdfPowerDeviceInvalid (0) when the timer or the work item runs the task.
using EVT_DMF_ScheduledTask_Callback = ULONG(DMFMODULE DmfModule, PVOID CallbackContext,
                                             WDF_POWER_DEVICE_STATE PreviousState);

struct DMF_CONFIG_ScheduledTask {
    EVT_DMF_ScheduledTask_Callback* EvtScheduledTaskCallback;
    PVOID CallbackContext;
    ULONG PersistenceType; // ScheduledTask_PersistenceType
    ULONG ExecutionMode;   // ScheduledTask_ExecutionModeType
    ULONG ExecuteWhen;     // ScheduledTask_ExecuteWhenType
    ULONG TimerPeriodMsOnSuccess;
    ULONG TimerPeriodMsOnFail;
    ULONG TimeMsBeforeInitialCall;
};

NTSTATUS DMF_ScheduledTask_Create(WDFDEVICE Device, DMF_MODULE_ATTRIBUTES* DmfModuleAttributes,
                                  WDF_OBJECT_ATTRIBUTES* ObjectAttributes, DMFMODULE* DmfModule);

inline void DMF_CONFIG_ScheduledTask_AND_ATTRIBUTES_INIT(DMF_CONFIG_ScheduledTask* Config,
                                                         DMF_MODULE_ATTRIBUTES* Attributes) {
    *Config = {};
    DMF_MODULE_ATTRIBUTES_INIT(Attributes, sizeof(DMF_CONFIG_ScheduledTask), Config,
                               DMF_ScheduledTask_Create);
}

// Runs the callback on the module's work item. Calls made before the work
// item runs queue it once and each get their run; the callback receives
// CallbackContext when it is not NULL, else the task runs as from its timer.
NTSTATUS DMF_ScheduledTask_ExecuteNowDeferred(DMFMODULE DmfModule, PVOID CallbackContext);
