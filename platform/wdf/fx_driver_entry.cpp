// The entry every driver library exports for its host. It stands for the
// framework's stub: it binds the library to the framework (here: nothing to
// bind, the framework is the shared platform library) and calls the
// driver's DriverEntry.
#include "platform/wdf.h"

extern "C" DRIVER_INITIALIZE DriverEntry;

extern "C" __attribute__((visibility("default"))) NTSTATUS
FxDriverEntryUm(PVOID LoaderInterface, PVOID Context, PVOID DriverObject,
                PUNICODE_STRING RegistryPath) {
    (void)LoaderInterface;
    (void)Context;
    return DriverEntry(static_cast<PDRIVER_OBJECT>(DriverObject), RegistryPath);
}
