// The WDF driver object and the driver globals.
#pragma once

#include "platform/wdf/wdf_types.h"

using EVT_WDF_DRIVER_DEVICE_ADD = NTSTATUS(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit);
using PFN_WDF_DRIVER_DEVICE_ADD = EVT_WDF_DRIVER_DEVICE_ADD*;
using EVT_WDF_DRIVER_UNLOAD = void(WDFDRIVER Driver);
using PFN_WDF_DRIVER_UNLOAD = EVT_WDF_DRIVER_UNLOAD*;

struct WDF_DRIVER_CONFIG {
    ULONG Size;
    PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd;
    PFN_WDF_DRIVER_UNLOAD EvtDriverUnload;
    ULONG DriverInitFlags;
    ULONG DriverPoolTag;
};
using PWDF_DRIVER_CONFIG = WDF_DRIVER_CONFIG*;

inline void WDF_DRIVER_CONFIG_INIT(PWDF_DRIVER_CONFIG config,
                                   PFN_WDF_DRIVER_DEVICE_ADD evtDriverDeviceAdd) {
    std::memset(config, 0, sizeof(WDF_DRIVER_CONFIG));
    config->Size = sizeof(WDF_DRIVER_CONFIG);
    config->EvtDriverDeviceAdd = evtDriverDeviceAdd;
}

// Driver globals; DriverFlags carries WdfVerifyOn when the verifier is on.
#define WdfVerifyOn 0x4u
struct WDF_DRIVER_GLOBALS {
    WDFDRIVER Driver;
    ULONG DriverFlags;
    ULONG DriverTag;
    CHAR DriverName[32];
    BOOLEAN DisplaceDriverUnload;
};
using PWDF_DRIVER_GLOBALS = WDF_DRIVER_GLOBALS*;
extern PWDF_DRIVER_GLOBALS WdfDriverGlobals;

NTSTATUS WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                         PWDF_OBJECT_ATTRIBUTES DriverAttributes, PWDF_DRIVER_CONFIG DriverConfig,
                         WDFDRIVER* Driver);
// The driver of this process, NULL before WdfDriverCreate.
WDFDRIVER WdfGetDriver();

// The entry a driver library exports for its host: binds to the framework
// and calls the driver's DriverEntry (see platform/wdf/fx_driver_entry.cpp,
// linked into every driver library).
using PFN_FX_DRIVER_ENTRY_UM = NTSTATUS (*)(PVOID LoaderInterface, PVOID Context,
                                            PVOID DriverObject, PUNICODE_STRING RegistryPath);
#define FX_DRIVER_ENTRY_UM_NAME "FxDriverEntryUm"
