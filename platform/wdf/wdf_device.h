// WDF device init, device creation and the device's PnP, power, power-policy
// and file-object callbacks.
#pragma once

#include "platform/wdf/wdf_types.h"

// PnP and power callbacks.
using EVT_WDF_DEVICE_D0_ENTRY = NTSTATUS(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState);
using PFN_WDF_DEVICE_D0_ENTRY = EVT_WDF_DEVICE_D0_ENTRY*;
using EVT_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED =
    NTSTATUS(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState);
using PFN_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED =
    EVT_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED*;
using EVT_WDF_DEVICE_D0_EXIT = NTSTATUS(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState);
using PFN_WDF_DEVICE_D0_EXIT = EVT_WDF_DEVICE_D0_EXIT*;
using EVT_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED = NTSTATUS(WDFDEVICE Device,
                                                                WDF_POWER_DEVICE_STATE TargetState);
using PFN_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED =
    EVT_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED*;
using EVT_WDF_DEVICE_PREPARE_HARDWARE = NTSTATUS(WDFDEVICE Device, WDFCMRESLIST ResourcesRaw,
                                                 WDFCMRESLIST ResourcesTranslated);
using PFN_WDF_DEVICE_PREPARE_HARDWARE = EVT_WDF_DEVICE_PREPARE_HARDWARE*;
using EVT_WDF_DEVICE_RELEASE_HARDWARE = NTSTATUS(WDFDEVICE Device,
                                                 WDFCMRESLIST ResourcesTranslated);
using PFN_WDF_DEVICE_RELEASE_HARDWARE = EVT_WDF_DEVICE_RELEASE_HARDWARE*;
using EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP = void(WDFDEVICE Device);
using PFN_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP = EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP*;
using EVT_WDF_DEVICE_SELF_MANAGED_IO_FLUSH = void(WDFDEVICE Device);
using PFN_WDF_DEVICE_SELF_MANAGED_IO_FLUSH = EVT_WDF_DEVICE_SELF_MANAGED_IO_FLUSH*;
using EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT = NTSTATUS(WDFDEVICE Device);
using PFN_WDF_DEVICE_SELF_MANAGED_IO_INIT = EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT*;
using EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND = NTSTATUS(WDFDEVICE Device);
using PFN_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND = EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND*;
using EVT_WDF_DEVICE_SELF_MANAGED_IO_RESTART = NTSTATUS(WDFDEVICE Device);
using PFN_WDF_DEVICE_SELF_MANAGED_IO_RESTART = EVT_WDF_DEVICE_SELF_MANAGED_IO_RESTART*;
using EVT_WDF_DEVICE_SURPRISE_REMOVAL = void(WDFDEVICE Device);
using PFN_WDF_DEVICE_SURPRISE_REMOVAL = EVT_WDF_DEVICE_SURPRISE_REMOVAL*;
using EVT_WDF_DEVICE_QUERY_REMOVE = NTSTATUS(WDFDEVICE Device);
using PFN_WDF_DEVICE_QUERY_REMOVE = EVT_WDF_DEVICE_QUERY_REMOVE*;
using EVT_WDF_DEVICE_QUERY_STOP = NTSTATUS(WDFDEVICE Device);
using PFN_WDF_DEVICE_QUERY_STOP = EVT_WDF_DEVICE_QUERY_STOP*;
using EVT_WDF_DEVICE_USAGE_NOTIFICATION = void(WDFDEVICE Device,
                                               WDF_SPECIAL_FILE_TYPE NotificationType,
                                               BOOLEAN IsInNotificationPath);
using PFN_WDF_DEVICE_USAGE_NOTIFICATION = EVT_WDF_DEVICE_USAGE_NOTIFICATION*;
using EVT_WDF_DEVICE_RELATIONS_QUERY = void(WDFDEVICE Device, DEVICE_RELATION_TYPE RelationType);
using PFN_WDF_DEVICE_RELATIONS_QUERY = EVT_WDF_DEVICE_RELATIONS_QUERY*;
using EVT_WDF_DEVICE_USAGE_NOTIFICATION_EX = NTSTATUS(WDFDEVICE Device,
                                                      WDF_SPECIAL_FILE_TYPE NotificationType,
                                                      BOOLEAN IsInNotificationPath);
using PFN_WDF_DEVICE_USAGE_NOTIFICATION_EX = EVT_WDF_DEVICE_USAGE_NOTIFICATION_EX*;

struct WDF_PNPPOWER_EVENT_CALLBACKS {
    ULONG Size;
    PFN_WDF_DEVICE_D0_ENTRY EvtDeviceD0Entry;
    PFN_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED EvtDeviceD0EntryPostInterruptsEnabled;
    PFN_WDF_DEVICE_D0_EXIT EvtDeviceD0Exit;
    PFN_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED EvtDeviceD0ExitPreInterruptsDisabled;
    PFN_WDF_DEVICE_PREPARE_HARDWARE EvtDevicePrepareHardware;
    PFN_WDF_DEVICE_RELEASE_HARDWARE EvtDeviceReleaseHardware;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP EvtDeviceSelfManagedIoCleanup;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_FLUSH EvtDeviceSelfManagedIoFlush;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_INIT EvtDeviceSelfManagedIoInit;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND EvtDeviceSelfManagedIoSuspend;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_RESTART EvtDeviceSelfManagedIoRestart;
    PFN_WDF_DEVICE_SURPRISE_REMOVAL EvtDeviceSurpriseRemoval;
    PFN_WDF_DEVICE_QUERY_REMOVE EvtDeviceQueryRemove;
    PFN_WDF_DEVICE_QUERY_STOP EvtDeviceQueryStop;
    PFN_WDF_DEVICE_USAGE_NOTIFICATION EvtDeviceUsageNotification;
    PFN_WDF_DEVICE_RELATIONS_QUERY EvtDeviceRelationsQuery;
    PFN_WDF_DEVICE_USAGE_NOTIFICATION_EX EvtDeviceUsageNotificationEx;
};
using PWDF_PNPPOWER_EVENT_CALLBACKS = WDF_PNPPOWER_EVENT_CALLBACKS*;

inline void WDF_PNPPOWER_EVENT_CALLBACKS_INIT(PWDF_PNPPOWER_EVENT_CALLBACKS callbacks) {
    std::memset(callbacks, 0, sizeof(WDF_PNPPOWER_EVENT_CALLBACKS));
    callbacks->Size = sizeof(WDF_PNPPOWER_EVENT_CALLBACKS);
}

// Power-policy callbacks.
using EVT_WDF_DEVICE_ARM_WAKE_FROM_S0 = NTSTATUS(WDFDEVICE Device);
using PFN_WDF_DEVICE_ARM_WAKE_FROM_S0 = EVT_WDF_DEVICE_ARM_WAKE_FROM_S0*;
using EVT_WDF_DEVICE_DISARM_WAKE_FROM_S0 = void(WDFDEVICE Device);
using PFN_WDF_DEVICE_DISARM_WAKE_FROM_S0 = EVT_WDF_DEVICE_DISARM_WAKE_FROM_S0*;
using EVT_WDF_DEVICE_WAKE_FROM_S0_TRIGGERED = void(WDFDEVICE Device);
using PFN_WDF_DEVICE_WAKE_FROM_S0_TRIGGERED = EVT_WDF_DEVICE_WAKE_FROM_S0_TRIGGERED*;
using EVT_WDF_DEVICE_ARM_WAKE_FROM_SX = NTSTATUS(WDFDEVICE Device);
using PFN_WDF_DEVICE_ARM_WAKE_FROM_SX = EVT_WDF_DEVICE_ARM_WAKE_FROM_SX*;
using EVT_WDF_DEVICE_DISARM_WAKE_FROM_SX = void(WDFDEVICE Device);
using PFN_WDF_DEVICE_DISARM_WAKE_FROM_SX = EVT_WDF_DEVICE_DISARM_WAKE_FROM_SX*;
using EVT_WDF_DEVICE_WAKE_FROM_SX_TRIGGERED = void(WDFDEVICE Device);
using PFN_WDF_DEVICE_WAKE_FROM_SX_TRIGGERED = EVT_WDF_DEVICE_WAKE_FROM_SX_TRIGGERED*;
using EVT_WDF_DEVICE_ARM_WAKE_FROM_SX_WITH_REASON = NTSTATUS(WDFDEVICE Device,
                                                             BOOLEAN DeviceWakeEnabled,
                                                             BOOLEAN ChildrenArmedForWake);
using PFN_WDF_DEVICE_ARM_WAKE_FROM_SX_WITH_REASON = EVT_WDF_DEVICE_ARM_WAKE_FROM_SX_WITH_REASON*;

struct WDF_POWER_POLICY_EVENT_CALLBACKS {
    ULONG Size;
    PFN_WDF_DEVICE_ARM_WAKE_FROM_S0 EvtDeviceArmWakeFromS0;
    PFN_WDF_DEVICE_DISARM_WAKE_FROM_S0 EvtDeviceDisarmWakeFromS0;
    PFN_WDF_DEVICE_WAKE_FROM_S0_TRIGGERED EvtDeviceWakeFromS0Triggered;
    PFN_WDF_DEVICE_ARM_WAKE_FROM_SX EvtDeviceArmWakeFromSx;
    PFN_WDF_DEVICE_DISARM_WAKE_FROM_SX EvtDeviceDisarmWakeFromSx;
    PFN_WDF_DEVICE_WAKE_FROM_SX_TRIGGERED EvtDeviceWakeFromSxTriggered;
    PFN_WDF_DEVICE_ARM_WAKE_FROM_SX_WITH_REASON EvtDeviceArmWakeFromSxWithReason;
};
using PWDF_POWER_POLICY_EVENT_CALLBACKS = WDF_POWER_POLICY_EVENT_CALLBACKS*;

inline void WDF_POWER_POLICY_EVENT_CALLBACKS_INIT(PWDF_POWER_POLICY_EVENT_CALLBACKS callbacks) {
    std::memset(callbacks, 0, sizeof(WDF_POWER_POLICY_EVENT_CALLBACKS));
    callbacks->Size = sizeof(WDF_POWER_POLICY_EVENT_CALLBACKS);
}

// File objects.
using EVT_WDF_DEVICE_FILE_CREATE = void(WDFDEVICE Device, WDFREQUEST Request,
                                        WDFFILEOBJECT FileObject);
using PFN_WDF_DEVICE_FILE_CREATE = EVT_WDF_DEVICE_FILE_CREATE*;
using EVT_WDF_FILE_CLOSE = void(WDFFILEOBJECT FileObject);
using PFN_WDF_FILE_CLOSE = EVT_WDF_FILE_CLOSE*;
using EVT_WDF_FILE_CLEANUP = void(WDFFILEOBJECT FileObject);
using PFN_WDF_FILE_CLEANUP = EVT_WDF_FILE_CLEANUP*;

enum WDF_FILEOBJECT_CLASS : ULONG {
    WdfFileObjectInvalid = 0,
    WdfFileObjectNotRequired = 1,
    WdfFileObjectWdfCanUseFsContext = 2,
    WdfFileObjectWdfCanUseFsContext2 = 3,
    WdfFileObjectWdfCannotUseFsContexts = 4,
    WdfFileObjectCanBeOptional = 0x80000000u,
};

struct WDF_FILEOBJECT_CONFIG {
    ULONG Size;
    PFN_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate;
    PFN_WDF_FILE_CLOSE EvtFileClose;
    PFN_WDF_FILE_CLEANUP EvtFileCleanup;
    WDF_TRI_STATE AutoForwardCleanupClose;
    WDF_FILEOBJECT_CLASS FileObjectClass;
};
using PWDF_FILEOBJECT_CONFIG = WDF_FILEOBJECT_CONFIG*;

inline void WDF_FILEOBJECT_CONFIG_INIT(PWDF_FILEOBJECT_CONFIG config,
                                       PFN_WDF_DEVICE_FILE_CREATE evtDeviceFileCreate,
                                       PFN_WDF_FILE_CLOSE evtFileClose,
                                       PFN_WDF_FILE_CLEANUP evtFileCleanup) {
    std::memset(config, 0, sizeof(WDF_FILEOBJECT_CONFIG));
    config->Size = sizeof(WDF_FILEOBJECT_CONFIG);
    config->EvtDeviceFileCreate = evtDeviceFileCreate;
    config->EvtFileClose = evtFileClose;
    config->EvtFileCleanup = evtFileCleanup;
    config->AutoForwardCleanupClose = WdfUseDefault;
    config->FileObjectClass = WdfFileObjectWdfCannotUseFsContexts;
}

WDFDEVICE WdfFileObjectGetDevice(WDFFILEOBJECT FileObject);
// The name the file was opened with (after the device name); empty when none.
PUNICODE_STRING WdfFileObjectGetFileName(WDFFILEOBJECT FileObject);

// Device init. A later setting of the same kind replaces an earlier one.
void WdfDeviceInitSetPnpPowerEventCallbacks(PWDFDEVICE_INIT DeviceInit,
                                            PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks);
void WdfDeviceInitSetPowerPolicyEventCallbacks(
    PWDFDEVICE_INIT DeviceInit, PWDF_POWER_POLICY_EVENT_CALLBACKS PowerPolicyEventCallbacks);
void WdfDeviceInitSetFileObjectConfig(PWDFDEVICE_INIT DeviceInit,
                                      PWDF_FILEOBJECT_CONFIG FileObjectConfig,
                                      PWDF_OBJECT_ATTRIBUTES FileObjectAttributes);

// Consumes the device init (sets *DeviceInit to NULL on success).
NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit, PWDF_OBJECT_ATTRIBUTES DeviceAttributes,
                         WDFDEVICE* Device);
WDFDRIVER WdfDeviceGetDriver(WDFDEVICE Device);

// Device state and power capabilities.
struct WDF_DEVICE_STATE {
    ULONG Size;
    WDF_TRI_STATE Disabled;
    WDF_TRI_STATE DontDisplayInUI;
    WDF_TRI_STATE Failed;
    WDF_TRI_STATE NotDisableable;
    WDF_TRI_STATE Removed;
    WDF_TRI_STATE ResourcesChanged;
};
using PWDF_DEVICE_STATE = WDF_DEVICE_STATE*;

inline void WDF_DEVICE_STATE_INIT(PWDF_DEVICE_STATE state) {
    std::memset(state, 0, sizeof(WDF_DEVICE_STATE));
    state->Size = sizeof(WDF_DEVICE_STATE);
    state->Disabled = WdfUseDefault;
    state->DontDisplayInUI = WdfUseDefault;
    state->Failed = WdfUseDefault;
    state->NotDisableable = WdfUseDefault;
    state->Removed = WdfUseDefault;
    state->ResourcesChanged = WdfUseDefault;
}

void WdfDeviceGetDeviceState(WDFDEVICE Device, PWDF_DEVICE_STATE DeviceState);
void WdfDeviceSetDeviceState(WDFDEVICE Device, PWDF_DEVICE_STATE DeviceState);

struct WDF_DEVICE_POWER_CAPABILITIES {
    ULONG Size;
    WDF_TRI_STATE DeviceD1;
    WDF_TRI_STATE DeviceD2;
    WDF_TRI_STATE WakeFromD0;
    WDF_TRI_STATE WakeFromD1;
    WDF_TRI_STATE WakeFromD2;
    WDF_TRI_STATE WakeFromD3;
    DEVICE_POWER_STATE DeviceState[PowerSystemMaximum];
    DEVICE_POWER_STATE DeviceWake;
    SYSTEM_POWER_STATE SystemWake;
    ULONG D1Latency;
    ULONG D2Latency;
    ULONG D3Latency;
    DEVICE_POWER_STATE IdealDxStateForSx;
};
using PWDF_DEVICE_POWER_CAPABILITIES = WDF_DEVICE_POWER_CAPABILITIES*;

inline void WDF_DEVICE_POWER_CAPABILITIES_INIT(PWDF_DEVICE_POWER_CAPABILITIES caps) {
    std::memset(caps, 0, sizeof(WDF_DEVICE_POWER_CAPABILITIES));
    caps->Size = sizeof(WDF_DEVICE_POWER_CAPABILITIES);
    caps->DeviceD1 = WdfUseDefault;
    caps->DeviceD2 = WdfUseDefault;
    caps->WakeFromD0 = WdfUseDefault;
    caps->WakeFromD1 = WdfUseDefault;
    caps->WakeFromD2 = WdfUseDefault;
    caps->WakeFromD3 = WdfUseDefault;
    for (auto& state : caps->DeviceState) {
        state = PowerDeviceMaximum;
    }
    caps->DeviceWake = PowerDeviceMaximum;
    caps->SystemWake = PowerSystemMaximum;
    caps->IdealDxStateForSx = PowerDeviceMaximum;
}

NTSTATUS WdfDeviceSetPowerCapabilities(WDFDEVICE Device,
                                       PWDF_DEVICE_POWER_CAPABILITIES PowerCapabilities);

// The system power action of the transition in progress; PowerActionNone otherwise.
POWER_ACTION WdfDeviceGetSystemPowerAction(WDFDEVICE Device);

// Names and interfaces. A symbolic link name that is taken fails with
// STATUS_OBJECT_NAME_COLLISION.
NTSTATUS WdfDeviceCreateSymbolicLink(WDFDEVICE Device, PCUNICODE_STRING SymbolicLinkName);
NTSTATUS WdfDeviceCreateDeviceInterface(WDFDEVICE Device, const GUID* InterfaceClassGUID,
                                        PCUNICODE_STRING ReferenceString);
void WdfDeviceSetDeviceInterfaceState(WDFDEVICE Device, const GUID* InterfaceClassGUID,
                                      PCUNICODE_STRING ReferenceString, BOOLEAN IsInterfaceEnabled);

WDFQUEUE WdfDeviceGetDefaultQueue(WDFDEVICE Device);
// The device's default I/O target: the next-lower device of its stack.
WDFIOTARGET WdfDeviceGetIoTarget(WDFDEVICE Device);
