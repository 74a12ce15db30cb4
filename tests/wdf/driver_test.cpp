#include "wdf_fixture.h"

namespace {

using DriverTest = WdfTest;

NTSTATUS NoDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT) {
    return STATUS_SUCCESS;
}

TEST_F(DriverTest, OneDriverPerProcessWithGlobalsTheTestsCanSet) {
    EXPECT_EQ(WdfGetDriver(), nullptr);
    ASSERT_NE(WdfDriverGlobals, nullptr);
    EXPECT_EQ(WdfDriverGlobals->DriverFlags & WdfVerifyOn, 0u);
    sim::wdf::SetDriverFlags(WdfVerifyOn);
    EXPECT_EQ(WdfDriverGlobals->DriverFlags, 4u);

    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, NoDeviceAdd);
    sim::ArmFault("WdfDriverCreate", sim::FaultSpec::Once(STATUS_NO_MEMORY));
    WDFDRIVER driver = nullptr;
    EXPECT_EQ(WdfDriverCreate(nullptr, nullptr, WDF_NO_OBJECT_ATTRIBUTES, &config, &driver),
              STATUS_NO_MEMORY);
    EXPECT_EQ(driver, nullptr);
    ASSERT_EQ(WdfDriverCreate(nullptr, nullptr, WDF_NO_OBJECT_ATTRIBUTES, &config, &driver),
              STATUS_SUCCESS);
    EXPECT_EQ(WdfGetDriver(), driver);
    EXPECT_EQ(WdfDriverGlobals->Driver, driver);
    EXPECT_EQ(WdfDriverCreate(nullptr, nullptr, WDF_NO_OBJECT_ATTRIBUTES, &config, nullptr),
              STATUS_INVALID_DEVICE_STATE);

    // Objects without a parent belong to the driver.
    WDFMEMORY memory = nullptr;
    ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, PagedPool, 0, 4, &memory, nullptr),
              STATUS_SUCCESS);
    auto objects = sim::wdf::LiveObjects();
    ASSERT_EQ(objects.size(), 2u);
    EXPECT_EQ(objects[1].parent, driver);

    // Only the framework deletes a driver.
    WdfObjectDelete(driver);
    EXPECT_TRUE(sim::TraceContains("deleted by the framework", TRACE_LEVEL_ERROR));
    EXPECT_TRUE(sim::wdf::IsLiveHandle(memory));

    sim::wdf::ResetForTest();
    EXPECT_EQ(WdfGetDriver(), nullptr);
    EXPECT_EQ(WdfDriverGlobals->DriverFlags, 0u);
}

TEST_F(DriverTest, DeviceInitCallsRefuseAMissingOrUsedInit) {
    WDF_PNPPOWER_EVENT_CALLBACKS pnp;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnp);
    WdfDeviceInitSetPnpPowerEventCallbacks(nullptr, &pnp);
    EXPECT_TRUE(sim::TraceContains("NULL device init", TRACE_LEVEL_ERROR));
    PWDFDEVICE_INIT none = nullptr;
    WDFDEVICE device = nullptr;
    EXPECT_EQ(WdfDeviceCreate(&none, WDF_NO_OBJECT_ATTRIBUTES, &device), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(device, nullptr);
}

} // namespace
