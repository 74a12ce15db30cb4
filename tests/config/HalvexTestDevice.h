// A device shaped like the driver's own: DEVICE_CONTEXT and the framework
// module context, a parallel default queue, and the IoctlHandler and Registry
// modules. A test chooses the IoctlHandler configuration before device add.
#pragma once

#include "dmf/modules/Dmf_IoctlHandler.h"
#include "halvex/driver/DeviceContext.h"
#include "platform/sim/driver_host.h"

#include <memory>

namespace configtest {

struct DeviceSpec {
    DMF_CONFIG_IoctlHandler ioctl{}; // the driver's configuration unless a test changes it
    bool addRegistry = true;
    bool addIoctlHandler = true;
};

// Resets the device plan to the driver's own IoctlHandler configuration.
DeviceSpec& Spec();
void ResetSpec();

NTSTATUS HalvexTestDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// A host with the test driver loaded and its device added, and started
// (D0) unless `start` is false: the power-managed default queue presents
// requests only in D0.
std::unique_ptr<sim::DriverHost> AddTestDevice(NTSTATUS* status = nullptr, bool start = true);

} // namespace configtest
