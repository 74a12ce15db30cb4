// The WDF driver object and the driver globals.
#include "platform/wdf/fx_device.h"

#include <cstring>

namespace {
WDF_DRIVER_GLOBALS gGlobals{};
}

PWDF_DRIVER_GLOBALS WdfDriverGlobals = &gGlobals;

namespace fx {

void Driver::OnCleanedUp() {
    if (DefaultParent() == handle()) {
        SetDriverHandle(nullptr);
    }
    gGlobals.Driver = nullptr;
}

void ResetDriverGlobals() {
    std::memset(&gGlobals, 0, sizeof(gGlobals));
    WdfDriverGlobals = &gGlobals;
}

} // namespace fx

namespace sim::wdf {
void SetDriverFlags(ULONG flags) {
    gGlobals.DriverFlags = flags;
}
} // namespace sim::wdf

NTSTATUS WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                         PWDF_OBJECT_ATTRIBUTES DriverAttributes, PWDF_DRIVER_CONFIG DriverConfig,
                         WDFDRIVER* Driver) {
    (void)DriverObject;
    (void)RegistryPath;
    if (Driver != nullptr) {
        *Driver = nullptr;
    }
    if (DriverConfig == nullptr) {
        fx::ReportError("WdfDriverCreate: no driver config");
        return STATUS_INVALID_PARAMETER;
    }
    if (fx::DefaultParent() != nullptr) {
        fx::ReportError("WdfDriverCreate: this process already has a driver");
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (NTSTATUS status = fx::CheckFaultStatus("WdfDriverCreate"); !NT_SUCCESS(status)) {
        return status;
    }
    auto driver = std::make_shared<fx::Driver>();
    driver->config = *DriverConfig;
    if (DriverAttributes != nullptr && DriverAttributes->ParentObject != nullptr) {
        fx::ReportError("WdfDriverCreate: a driver has no parent");
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = fx::Insert(driver, DriverAttributes, nullptr, "WdfDriverCreate");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto handle = reinterpret_cast<WDFDRIVER>(driver->handle());
    fx::SetDriverHandle(handle);
    gGlobals.Driver = handle;
    if (Driver != nullptr) {
        *Driver = handle;
    }
    return STATUS_SUCCESS;
}

WDFDRIVER WdfGetDriver() {
    return reinterpret_cast<WDFDRIVER>(fx::DefaultParent());
}
