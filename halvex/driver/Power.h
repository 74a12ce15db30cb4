// The device's D0 callbacks, which start and stop its channels, its watcher
// and its display-state notification; the notification itself; the device
// cleanup; and the names the power traces print.
#pragma once

#include "platform/types.h"
#include "platform/wdf.h"

EVT_WDF_DEVICE_D0_ENTRY EvtDeviceD0Entry;
EVT_WDF_DEVICE_D0_EXIT EvtDeviceD0Exit;
EVT_WDF_OBJECT_CONTEXT_CLEANUP EvtDeviceContextCleanup;

// TRUE when a new registration was made.
BOOLEAN RegisterDisplayStateNotification(WDFDEVICE Device);
// TRUE when a held registration was ended.
BOOLEAN UnregisterDisplayStateNotification(WDFDEVICE Device);
// Context: the WDFDEVICE. Always 0.
ULONG CALLBACK ConsoleDisplayStateCallback(PVOID Context, ULONG Type, PVOID Setting);

const char* WdfPowerDeviceStateName(WDF_POWER_DEVICE_STATE State);
const char* PowerActionName(POWER_ACTION Action);
