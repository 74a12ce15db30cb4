#include "halvex/driver/Trace.h"

#include "platform/trace.h"
#include "platform/win32.h"

namespace {

WPP_CONTROL_BLOCK gWppControl{};

} // namespace

ULONG WINAPI WppControlCallback(WMIDPREQUESTCODE RequestCode, PVOID Context, ULONG* BufferSize,
                                PVOID Buffer) {
    auto* control = static_cast<WPP_CONTROL_BLOCK*>(Context);
    if (BufferSize != nullptr) {
        *BufferSize = 0;
    }
    switch (RequestCode) {
    case WMI_ENABLE_EVENTS: {
        TRACEHANDLE logger = GetTraceLoggerHandle(Buffer);
        control->Logger = logger;
        control->Level = GetTraceEnableLevel(logger);
        control->Flags = GetTraceEnableFlags(logger);
        return ERROR_SUCCESS;
    }
    case WMI_DISABLE_EVENTS:
        control->Logger = 0;
        control->Level = 0;
        control->Flags = 0;
        return ERROR_SUCCESS;
    default:
        return ERROR_INVALID_PARAMETER;
    }
}

void WppInitTracing(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath) {
    gWppControl = {};
    TRACE_GUID_REGISTRATION registration{&HALVEX_TRACE_CONTROL_GUID, nullptr};
    ULONG result =
        RegisterTraceGuidsW(WppControlCallback, &gWppControl, &HALVEX_TRACE_CONTROL_GUID, 1,
                            &registration, nullptr, nullptr, &gWppControl.RegistrationHandle);
    if (result != ERROR_SUCCESS) {
        // Tracing is a diagnostic aid: the driver runs on without a provider.
        gWppControl.RegistrationHandle = 0;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "RegisterTraceGuidsW failed %u", result);
    }
    WppAutoLogStart(&gWppControl, DriverObject, RegistryPath);
}

void WppCleanupTracing(PDRIVER_OBJECT DriverObject) {
    WppAutoLogStop(&gWppControl, DriverObject);
    if (gWppControl.RegistrationHandle != 0) {
        ULONG result = UnregisterTraceGuids(gWppControl.RegistrationHandle);
        if (result != ERROR_SUCCESS) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "UnregisterTraceGuids failed %u", result);
        }
        gWppControl.RegistrationHandle = 0;
    }
}

const WPP_CONTROL_BLOCK& WppControlBlock() {
    return gWppControl;
}
