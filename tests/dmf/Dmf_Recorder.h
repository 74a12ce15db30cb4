// A module type for tests: records what reaches it in the event log, and
// fails, claims or opens where its config says so.
#pragma once

#include "dmf/framework/DmfModule.h"

struct RecorderChild;

struct DMF_CONFIG_Recorder {
    ULONG OpenOption;    // 0: opens at creation
    ULONG ModuleOptions; // 0: passive
    ULONG AuxiliaryLockCount;
    BOOLEAN OwnHandlers; // handles (and records) every WDF slot itself
    const char* FailAt;  // the slot, "DeviceOpen" or "NotificationRegister" that fails
    NTSTATUS FailStatus;
    const char* ClaimAt;        // the queue or file slot it claims
    BOOLEAN OpenOnNotification; // its notification opens it at once
    ULONG ChildCount;
    const RecorderChild* Children;
    GUID TransportOffered;  // the interface it serves as a transport
    GUID TransportRequired; // the interface its transport must offer
    ULONG Tail;             // the last field: lets a test hand in a shorter, older layout
};

struct RecorderChild {
    const char* Name;
    DMF_CONFIG_Recorder Config;
};

NTSTATUS DMF_Recorder_Create(WDFDEVICE Device, DMF_MODULE_ATTRIBUTES* DmfModuleAttributes,
                             WDF_OBJECT_ATTRIBUTES* ObjectAttributes, DMFMODULE* DmfModule);

// The module's config as the module holds it.
const DMF_CONFIG_Recorder* DMF_Recorder_Config(DMFMODULE DmfModule);
// Takes and releases the module lock with the type check of a public method.
void DMF_Recorder_LockedNoop(DMFMODULE DmfModule);
