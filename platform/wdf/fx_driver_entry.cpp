// The framework's stub entry, linked into every driver library: the host
// looks it up by name, and it hands the loader's driver object on to the
// driver's own DriverEntry. The driver library exports this and nothing else.
#include "platform/wdf.h"

extern "C" DRIVER_INITIALIZE DriverEntry;

extern "C" __attribute__((visibility("default"))) NTSTATUS
FxDriverEntryUm(PVOID LoaderInterface, PVOID Context, PVOID DriverObject,
                PUNICODE_STRING RegistryPath) {
    (void)LoaderInterface;
    (void)Context;
    // The framework this library binds to is the one in the process: the
    // stand-in's shared library, which the host shares with the driver.
    if (WdfDriverGlobals == nullptr) {
        return STATUS_INTERNAL_ERROR;
    }
    return DriverEntry(static_cast<PDRIVER_OBJECT>(DriverObject), RegistryPath);
}
