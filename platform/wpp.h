// Software-trace provider registration: a driver registers its control GUID
// with a control callback that trace sessions enable and disable it through,
// and runs an in-memory log for as long as it is loaded.
#pragma once

#include "platform/types.h"
#include "platform/wdf/wdf_types.h"

using TRACEHANDLE = ULONG64;
using PTRACEHANDLE = TRACEHANDLE*;

enum WMIDPREQUESTCODE : ULONG {
    WMI_GET_ALL_DATA = 0,
    WMI_GET_SINGLE_INSTANCE = 1,
    WMI_SET_SINGLE_INSTANCE = 2,
    WMI_SET_SINGLE_ITEM = 3,
    WMI_ENABLE_EVENTS = 4,
    WMI_DISABLE_EVENTS = 5,
    WMI_ENABLE_COLLECTION = 6,
    WMI_DISABLE_COLLECTION = 7,
    WMI_REGINFO = 8,
    WMI_EXECUTE_METHOD = 9,
};

// The control callback: `Buffer` carries the enabling session's header, from
// which the Get* calls below read the logger handle, level and flags.
using WMIDPREQUEST = ULONG(WINAPI*)(WMIDPREQUESTCODE RequestCode, PVOID RequestContext,
                                    ULONG* BufferSize, PVOID Buffer);

struct TRACE_GUID_REGISTRATION {
    LPCGUID Guid;
    HANDLE RegHandle;
};
using PTRACE_GUID_REGISTRATION = TRACE_GUID_REGISTRATION*;

// Registers a provider. ERROR_SUCCESS, or a Win32 error (also left as the last error).
ULONG RegisterTraceGuidsW(WMIDPREQUEST RequestAddress, PVOID RequestContext, LPCGUID ControlGuid,
                          ULONG GuidCount, PTRACE_GUID_REGISTRATION TraceGuidReg,
                          LPCWSTR MofImagePath, LPCWSTR MofResourceName,
                          PTRACEHANDLE RegistrationHandle);
// After it returns no control callback of the registration runs.
ULONG UnregisterTraceGuids(TRACEHANDLE RegistrationHandle);

// Read from the enable request's buffer inside a control callback.
TRACEHANDLE GetTraceLoggerHandle(PVOID Buffer);
UCHAR GetTraceEnableLevel(TRACEHANDLE TraceHandle);
ULONG GetTraceEnableFlags(TRACEHANDLE TraceHandle);

// The driver's in-memory log, started once the provider is registered and
// stopped before it is unregistered. `WppCb` is the driver's control block.
void WppAutoLogStart(PVOID WppCb, PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath);
void WppAutoLogStop(PVOID WppCb, PDRIVER_OBJECT DriverObject);
