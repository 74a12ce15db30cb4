// The driver's entry, its WDF driver callbacks and the creation of its device.
#pragma once

#include "dmf/framework/DmfDevice.h"
#include "platform/types.h"
#include "platform/wdf.h"

// The name user-mode clients open the device by.
inline constexpr WCHAR HALVEX_SYMBOLIC_LINK_NAME[] = u"\\DosDevices\\Global\\HALVEX";

extern "C" DRIVER_INITIALIZE DriverEntry;
EVT_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd;
EVT_WDF_DRIVER_UNLOAD EvtDriverUnload;

NTSTATUS CreateDevice(PWDFDEVICE_INIT DeviceInit);
EVT_DMF_DEVICE_MODULES_ADD DmfDeviceModulesAdd;
// TRUE when the symbolic link was created.
BOOLEAN createInterface(WDFDEVICE Device);
