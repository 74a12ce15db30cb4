// Driver tests that link the driver's code directly: the host runs
// DriverEntry, and the tests may look into the device's contexts.
#pragma once

#include "driver_fixture.h"
#include "halvex/driver/DeviceContext.h"
#include "halvex/driver/Driver.h"
#include "halvex/driver/EventHandler.h"

namespace driver_test {

class DriverTest : public MachineTest {
protected:
    NTSTATUS Load() { return host->LoadEntry(DriverEntry); }

    NTSTATUS Add() {
        NTSTATUS status = Load();
        if (!NT_SUCCESS(status)) {
            return status;
        }
        return host->AddDevice();
    }

    PDEVICE_CONTEXT Context() { return DeviceGetContext(host->Device()); }
    PHALVEX_DMF_DEVICE_CONTEXT DmfContext() { return HalvexDmfDeviceGetContext(host->Device()); }

    // Built channels: the non-empty slots, which come first.
    ULONG ChannelCount() {
        PDEVICE_CONTEXT context = Context();
        ULONG count = 0;
        for (ULONG i = 0; context->ChannelObjects && i < context->ConfiguredCount; ++i) {
            count += context->ChannelObjects[i] != nullptr ? 1 : 0;
        }
        return count;
    }
};

} // namespace driver_test
