// A fresh machine per test: registry, WDF objects, faults, traces and the
// sensor-state map are reset, and the test device is built on demand.
#pragma once

#include "halvex/driver/DeviceContext.h"
#include "halvex/driver/SensorStateMap.h"
#include "platform/sim/clock.h"
#include "platform/sim/driver_host.h"
#include "platform/sim/faults.h"
#include "platform/sim/registry.h"
#include "platform/sim/trace_recorder.h"
#include "platform/sim/wdf_control.h"
#include "platform/trace.h"
#include "tests/config/HalvexTestDevice.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

namespace configtest {

class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::wdf::ResetForTest();
        sim::ResetFaults();
        sim::ClearTrace();
        sim::SetTraceSink(nullptr);
        sim::SetTimeScale(0.001);
        sim::registry::Reset();
        gSensorStateMap.clear();
        ResetIoctlConfig();
    }

    void TearDown() override {
        sim::SetTraceSink(nullptr);
        mHost.reset();
        gSensorStateMap.clear();
        EXPECT_EQ(sim::registry::OpenKeyCount(), 0u) << "a registry key was left open";
        sim::ResetFaults();
        sim::SetTimeScale(1.0);
        sim::wdf::ResetForTest();
    }

    void AddDevice() {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        mHost = AddTestDevice(&status);
        ASSERT_EQ(status, STATUS_SUCCESS);
    }

    WDFDEVICE Device() { return mHost->Device(); }
    PDEVICE_CONTEXT Context() { return DeviceGetContext(Device()); }
    DMFMODULE RegistryModule() { return HalvexDmfDeviceGetContext(Device())->DmfModuleRegistry; }

    static void Import(const std::string& body) {
        auto result = sim::registry::ImportRegText("Windows Registry Editor Version 5.00\n" + body,
                                                   "test.reg");
        ASSERT_TRUE(result) << result.error;
    }

    std::unique_ptr<sim::DriverHost> mHost;
};

} // namespace configtest
