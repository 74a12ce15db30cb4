// A driver library for the host's loading path: exports only FxDriverEntryUm
// (from the framework's entry stub) and traces what reaches it.
#include "platform/trace.h"
#include "platform/wdf.h"

namespace {

struct LIBRARY_DEVICE_CONTEXT {
    ULONG starts;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(LIBRARY_DEVICE_CONTEXT, LibraryDeviceContext)

NTSTATUS LibraryD0Entry(WDFDEVICE device, WDF_POWER_DEVICE_STATE previous) {
    ULONG starts = ++LibraryDeviceContext(device)->starts;
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "test library D0Entry from %d, start %u",
                static_cast<int>(previous), starts);
    return STATUS_SUCCESS;
}

NTSTATUS LibraryDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init) {
    WDF_PNPPOWER_EVENT_CALLBACKS pnp;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnp);
    pnp.EvtDeviceD0Entry = LibraryD0Entry;
    WdfDeviceInitSetPnpPowerEventCallbacks(init, &pnp);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, LIBRARY_DEVICE_CONTEXT);
    WDFDEVICE device = nullptr;
    return WdfDeviceCreate(&init, &attributes, &device);
}

void LibraryUnload(WDFDRIVER) {
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "test library unloaded");
}

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "test library entry, %u path bytes",
                registryPath != nullptr ? registryPath->Length : 0u);
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, LibraryDeviceAdd);
    config.EvtDriverUnload = LibraryUnload;
    return WdfDriverCreate(driverObject, registryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, nullptr);
}
