// The driver's entry, its WDF driver callbacks and the creation of its device.
#pragma once

#include "dmf/framework/DmfDevice.h"
#include "platform/types.h"
#include "platform/wdf.h"

// {9825D2DA-7C05-49E4-BDF3-06D2DEB1911C}: the interface the IOCTLs are served on.
inline constexpr GUID GUID_DEVINTERFACE_HALVEX = {
    0x9825D2DA, 0x7C05, 0x49E4, {0xBD, 0xF3, 0x06, 0xD2, 0xDE, 0xB1, 0x91, 0x1C}};

// The name user-mode clients open the device by.
inline constexpr WCHAR HALVEX_SYMBOLIC_LINK_NAME[] = u"\\DosDevices\\Global\\HALVEX";

extern "C" DRIVER_INITIALIZE DriverEntry;
EVT_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd;
EVT_WDF_DRIVER_UNLOAD EvtDriverUnload;

NTSTATUS CreateDevice(PWDFDEVICE_INIT DeviceInit);
EVT_DMF_DEVICE_MODULES_ADD DmfDeviceModulesAdd;
// TRUE when the symbolic link was created.
BOOLEAN createInterface(WDFDEVICE Device);
