// A device shaped like the driver's own: DEVICE_CONTEXT and the framework
// module context, a parallel default queue, and the IoctlHandler and Registry
// modules. A test chooses the IoctlHandler configuration before device add.
#pragma once

#include "dmf/modules/Dmf_IoctlHandler.h"
#include "halvex/driver/DeviceContext.h"
#include "platform/sim/driver_host.h"

#include <memory>

namespace configtest {

// The IoctlHandler configuration the next device is added with.
DMF_CONFIG_IoctlHandler& IoctlConfig();
// How the client builds its device, besides the IoctlHandler configuration.
struct ClientShape {
    // It creates the configured interface itself before it adds its modules,
    // as a client that enables its interface by hand does.
    bool createsInterface = false;
    // Its queue is the device's default queue.
    bool defaultQueue = true;
};
ClientShape& Client();
// Back to the driver's own IoctlHandler configuration.
void ResetIoctlConfig();

// A host with the test driver loaded and its device added and started: the
// power-managed default queue presents requests only in D0.
std::unique_ptr<sim::DriverHost> AddTestDevice(NTSTATUS* status);

} // namespace configtest
