// The DeviceInterfaceTarget module: keeps an I/O target open on a device
// interface of a class for as long as one is present, following arrivals and
// removals through the configuration manager and the target's query-remove
// protocol, and sends requests to it through a RequestTarget child (or a
// ContinuousRequestTarget child that streams). The module is open exactly
// while it has a target, so a run-time reference on it says whether sending
// is possible.
#pragma once

#include "dmf/framework/DmfModule.h"
#include "dmf/modules/Dmf_ContinuousRequestTarget.h"
#include "dmf/modules/Dmf_RequestTarget.h"
#include "platform/cm.h"
#include "platform/types.h"
#include "platform/wdf.h"

// What happened to the target, as the state callbacks hear it.
enum DeviceInterfaceTarget_StateType : ULONG {
    DeviceInterfaceTarget_StateType_Invalid = 0,
    DeviceInterfaceTarget_StateType_Open = 1,
    DeviceInterfaceTarget_StateType_QueryRemove = 2,
    DeviceInterfaceTarget_StateType_QueryRemoveCancelled = 3, // the target is open again
    DeviceInterfaceTarget_StateType_QueryRemoveComplete = 4,
    DeviceInterfaceTarget_StateType_Close = 5, // the interface or the module went away
};

using EVT_DMF_DeviceInterfaceTarget_OnStateChange = void(DMFMODULE DmfModule, ULONG IoTargetState);
// A failure vetoes an open or a query-remove.
using EVT_DMF_DeviceInterfaceTarget_OnStateChangeEx = NTSTATUS(DMFMODULE DmfModule,
                                                               ULONG IoTargetState);
// Clearing *IoTargetOpen skips opening that interface.
using EVT_DMF_DeviceInterfaceTarget_OnPnpNotification = void(DMFMODULE DmfModule,
                                                             PUNICODE_STRING SymbolicLinkName,
                                                             BOOLEAN* IoTargetOpen);
// Notifications on the open target's file handle, as the configuration
// manager delivers them (platform/cm.h).
using EVT_DMF_DeviceInterfaceTarget_TargetHandleNotification =
    DWORD(DMFMODULE DmfModule, CM_NOTIFY_ACTION Action, PCM_NOTIFY_EVENT_DATA EventData,
          DWORD EventDataSize);

struct DMF_CONFIG_DeviceInterfaceTarget {
    GUID DeviceInterfaceTargetGuid;
    // ContinuousRequestCount 0: single requests through a RequestTarget
    // child; otherwise a ContinuousRequestTarget child streams with this
    // configuration, its buffer callbacks called with this module.
    DMF_CONFIG_ContinuousRequestTarget ContinuousRequestTargetConfig;
    EVT_DMF_DeviceInterfaceTarget_OnStateChange* EvtStateChange;
    EVT_DMF_DeviceInterfaceTarget_OnStateChangeEx* EvtStateChangeEx; // only without EvtStateChange
    EVT_DMF_DeviceInterfaceTarget_OnPnpNotification* EvtInterfaceArrivalQuery;
    // When set, the module registers for the target's handle notifications.
    EVT_DMF_DeviceInterfaceTarget_TargetHandleNotification* EvtTargetHandleNotification;
};

NTSTATUS DMF_DeviceInterfaceTarget_Create(WDFDEVICE Device,
                                          DMF_MODULE_ATTRIBUTES* DmfModuleAttributes,
                                          WDF_OBJECT_ATTRIBUTES* ObjectAttributes,
                                          DMFMODULE* DmfModule);

inline void
DMF_CONFIG_DeviceInterfaceTarget_AND_ATTRIBUTES_INIT(DMF_CONFIG_DeviceInterfaceTarget* Config,
                                                     DMF_MODULE_ATTRIBUTES* Attributes) {
    *Config = {};
    DMF_MODULE_ATTRIBUTES_INIT(Attributes, sizeof(DMF_CONFIG_DeviceInterfaceTarget), Config,
                               DMF_DeviceInterfaceTarget_Create);
}

// Each method takes a run-time reference on the module and fails with that
// status (STATUS_INVALID_DEVICE_STATE) while no target is open.

// As DMF_RequestTarget_SendSynchronously, through the child.
NTSTATUS DMF_DeviceInterfaceTarget_SendSynchronously(DMFMODULE DmfModule, PVOID RequestBuffer,
                                                     size_t RequestLength, PVOID ResponseBuffer,
                                                     size_t ResponseLength, ULONG RequestType,
                                                     ULONG RequestIoctl,
                                                     ULONG RequestTimeoutMilliseconds,
                                                     size_t* BytesWritten);
// As DMF_RequestTarget_Send and SendEx; the callback is given this module.
NTSTATUS
DMF_DeviceInterfaceTarget_Send(DMFMODULE DmfModule, PVOID RequestBuffer, size_t RequestLength,
                               PVOID ResponseBuffer, size_t ResponseLength, ULONG RequestType,
                               ULONG RequestIoctl, ULONG RequestTimeoutMilliseconds,
                               EVT_DMF_RequestTarget_SendCompletion* EvtRequestTargetSendCompletion,
                               PVOID SendCompletionContext);
NTSTATUS
DMF_DeviceInterfaceTarget_SendEx(
    DMFMODULE DmfModule, PVOID RequestBuffer, size_t RequestLength, PVOID ResponseBuffer,
    size_t ResponseLength, ULONG RequestType, ULONG RequestIoctl, ULONG RequestTimeoutMilliseconds,
    EVT_DMF_RequestTarget_SendCompletion* EvtRequestTargetSendCompletion,
    PVOID SendCompletionContext, ULONGLONG* RequestId);
BOOLEAN DMF_DeviceInterfaceTarget_Cancel(DMFMODULE DmfModule, ULONGLONG RequestId);
// *IoTarget is the open target, or NULL (and the reference's failure returned).
NTSTATUS DMF_DeviceInterfaceTarget_Get(DMFMODULE DmfModule, WDFIOTARGET* IoTarget);
// Streaming mode: start and stop the stream by hand.
NTSTATUS DMF_DeviceInterfaceTarget_StreamStart(DMFMODULE DmfModule);
void DMF_DeviceInterfaceTarget_StreamStop(DMFMODULE DmfModule);
