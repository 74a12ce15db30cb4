#include "halvex/driver/Driver.h"
#include "halvex/driver/Trace.h"
#include "platform/com.h"
#include "platform/trace.h"

#include <google/protobuf/stubs/common.h>

namespace {

// The loader's driver object, for ending the tracing at unload.
PDRIVER_OBJECT gDriverObject = nullptr;

// The protobuf runtime's data is the process's: it is released once, when
// the driver's image leaves the process. Not at driver unload: the driver can
// be loaded again and add a device in the same process, and a runtime once
// shut down must not be used again.
struct ProtobufRuntimeRelease {
    ~ProtobufRuntimeRelease() { google::protobuf::ShutdownProtobufLibrary(); }
} gProtobufRuntimeRelease;

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    gDriverObject = DriverObject;
    WPP_INIT_TRACING(DriverObject, RegistryPath);
    FuncEntry(TRACE_DRIVER);

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, EvtDriverDeviceAdd);
    config.EvtDriverUnload = EvtDriverUnload;

    NTSTATUS status =
        WdfDriverCreate(DriverObject, RegistryPath, &attributes, &config, WDF_NO_HANDLE);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "WdfDriverCreate failed 0x%08X",
                    static_cast<unsigned>(status));
        WPP_CLEANUP(DriverObject);
        return status;
    }

    FuncExit(TRACE_DRIVER, "status 0x%08X", static_cast<unsigned>(status));
    return status;
}

NTSTATUS EvtDriverDeviceAdd(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit) {
    UNREFERENCED_PARAMETER(Driver);
    FuncEntry(TRACE_DRIVER);

    // The watcher's WinRT calls during device add need the multithreaded
    // apartment. A thread that already sits in a single-threaded apartment can
    // still make them (through the apartment it is in); any other failure
    // leaves no way to make them, and the device is not added.
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (hr == RPC_E_CHANGED_MODE) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER,
                    "CoInitializeEx: thread already in another apartment (0x%08X), going on",
                    static_cast<unsigned>(hr));
    } else if (FAILED(hr)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "CoInitializeEx failed 0x%08X",
                    static_cast<unsigned>(hr));
        FuncExit(TRACE_DRIVER, "status 0x%08X", static_cast<unsigned>(STATUS_UNSUCCESSFUL));
        return STATUS_UNSUCCESSFUL;
    }

    NTSTATUS status = CreateDevice(DeviceInit);

    if (SUCCEEDED(hr)) {
        CoUninitialize();
    }
    FuncExit(TRACE_DRIVER, "status 0x%08X", static_cast<unsigned>(status));
    return status;
}

void EvtDriverUnload(WDFDRIVER Driver) {
    FuncEntry(TRACE_DRIVER);
    FuncExitVoid(TRACE_DRIVER);
    UNREFERENCED_PARAMETER(Driver);
    WPP_CLEANUP(gDriverObject);
}
