// The driver's software-trace provider: registered at driver entry, with an
// in-memory log that runs until the driver unloads.
#pragma once

#include "platform/types.h"
#include "platform/wdf.h"
#include "platform/wpp.h"

// {BA8B8CA7-AD28-4983-967C-6FD34C36ACF8}
inline constexpr GUID HALVEX_TRACE_CONTROL_GUID = {
    0xBA8B8CA7, 0xAD28, 0x4983, {0x96, 0x7C, 0x6F, 0xD3, 0x4C, 0x36, 0xAC, 0xF8}};

// What trace sessions asked of the provider, as its control callback recorded it.
struct WPP_CONTROL_BLOCK {
    TRACEHANDLE RegistrationHandle; // 0 while not registered
    TRACEHANDLE Logger;             // 0 while no session has the provider enabled
    UCHAR Level;
    ULONG Flags;
};

void WppInitTracing(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath);
void WppCleanupTracing(PDRIVER_OBJECT DriverObject);
ULONG WINAPI WppControlCallback(WMIDPREQUESTCODE RequestCode, PVOID Context, ULONG* BufferSize,
                                PVOID Buffer);
const WPP_CONTROL_BLOCK& WppControlBlock();

#define WPP_INIT_TRACING(DriverObject, RegistryPath) WppInitTracing((DriverObject), (RegistryPath))
#define WPP_CLEANUP(DriverObject) WppCleanupTracing(DriverObject)
