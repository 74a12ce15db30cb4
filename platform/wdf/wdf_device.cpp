// WDF device init and devices.
#include "platform/wdf/fx_device.h"

#include <algorithm>

namespace fx {

void Device::OnCleanedUp() {
    std::vector<std::u16string> names;
    {
        std::lock_guard guard(recordLock);
        names.swap(links);
    }
    ReleaseSymbolicLinks(names);
}

std::u16string FromUnicodeString(PCUNICODE_STRING text) {
    if (text == nullptr || text->Buffer == nullptr) {
        return {};
    }
    return std::u16string(text->Buffer, text->Length / sizeof(WCHAR));
}

} // namespace fx

namespace {

std::shared_ptr<fx::Device> GetDevice(WDFDEVICE handle, const char* call) {
    return fx::Get<fx::Device>(handle, fx::Kind::Device, call);
}

bool CheckInit(PWDFDEVICE_INIT init, const char* call) {
    if (init == nullptr) {
        fx::ReportError("%s: NULL device init", call);
        return false;
    }
    if (init->created != nullptr) {
        fx::ReportError("%s: the device init was already used to create a device", call);
        return false;
    }
    return true;
}

} // namespace

void WdfDeviceInitSetPnpPowerEventCallbacks(PWDFDEVICE_INIT DeviceInit,
                                            PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks) {
    if (CheckInit(DeviceInit, "WdfDeviceInitSetPnpPowerEventCallbacks") &&
        PnpPowerEventCallbacks != nullptr) {
        DeviceInit->pnp = *PnpPowerEventCallbacks;
    }
}

void WdfDeviceInitSetPowerPolicyEventCallbacks(
    PWDFDEVICE_INIT DeviceInit, PWDF_POWER_POLICY_EVENT_CALLBACKS PowerPolicyEventCallbacks) {
    if (CheckInit(DeviceInit, "WdfDeviceInitSetPowerPolicyEventCallbacks") &&
        PowerPolicyEventCallbacks != nullptr) {
        DeviceInit->policy = *PowerPolicyEventCallbacks;
    }
}

void WdfDeviceInitSetFileObjectConfig(PWDFDEVICE_INIT DeviceInit,
                                      PWDF_FILEOBJECT_CONFIG FileObjectConfig,
                                      PWDF_OBJECT_ATTRIBUTES FileObjectAttributes) {
    (void)FileObjectAttributes;
    if (CheckInit(DeviceInit, "WdfDeviceInitSetFileObjectConfig") && FileObjectConfig != nullptr) {
        DeviceInit->file = *FileObjectConfig;
        DeviceInit->hasFile = true;
    }
}

NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit, PWDF_OBJECT_ATTRIBUTES DeviceAttributes,
                         WDFDEVICE* Device) {
    *Device = nullptr;
    if (DeviceInit == nullptr || !CheckInit(*DeviceInit, "WdfDeviceCreate")) {
        return STATUS_INVALID_PARAMETER;
    }
    if (NTSTATUS status = fx::CheckFaultStatus("WdfDeviceCreate"); !NT_SUCCESS(status)) {
        return status;
    }
    PWDFDEVICE_INIT init = *DeviceInit;
    auto device = std::make_shared<fx::Device>();
    device->pnp = init->pnp;
    device->policy = init->policy;
    device->file = init->file;
    device->hasFile = init->hasFile;
    WDF_DEVICE_STATE_INIT(&device->deviceState);
    device->deviceState.NotDisableable = fx::InitialNotDisableable();
    WDF_DEVICE_POWER_CAPABILITIES_INIT(&device->caps);
    WDFOBJECT parent = init->driver != nullptr ? init->driver : fx::DefaultParent();
    if (DeviceAttributes != nullptr && DeviceAttributes->ParentObject != nullptr) {
        fx::ReportError("WdfDeviceCreate: a device's parent is its driver");
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = fx::Insert(device, DeviceAttributes, parent, "WdfDeviceCreate");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto handle = reinterpret_cast<WDFDEVICE>(device->handle());
    // The device's own target: the device below it in its stack.
    auto target = std::make_shared<fx::IoTarget>();
    target->device = handle;
    target->isDefault = true;
    target->open = true;
    WDF_OBJECT_ATTRIBUTES targetAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&targetAttributes);
    targetAttributes.ParentObject = handle;
    if (NT_SUCCESS(fx::Insert(target, &targetAttributes, nullptr, "WdfDeviceCreate"))) {
        device->ioTarget = reinterpret_cast<WDFIOTARGET>(target->handle());
    }
    init->created = handle;
    *DeviceInit = nullptr;
    *Device = handle;
    return STATUS_SUCCESS;
}

WDFDRIVER WdfDeviceGetDriver(WDFDEVICE Device) {
    auto device = GetDevice(Device, "WdfDeviceGetDriver");
    return device ? reinterpret_cast<WDFDRIVER>(device->parent()) : nullptr;
}

void WdfDeviceGetDeviceState(WDFDEVICE Device, PWDF_DEVICE_STATE DeviceState) {
    auto device = GetDevice(Device, "WdfDeviceGetDeviceState");
    if (!device || DeviceState == nullptr) {
        return;
    }
    std::lock_guard guard(device->recordLock);
    *DeviceState = device->deviceState;
}

void WdfDeviceSetDeviceState(WDFDEVICE Device, PWDF_DEVICE_STATE DeviceState) {
    auto device = GetDevice(Device, "WdfDeviceSetDeviceState");
    if (!device || DeviceState == nullptr) {
        return;
    }
    std::lock_guard guard(device->recordLock);
    device->deviceState = *DeviceState;
}

NTSTATUS WdfDeviceSetPowerCapabilities(WDFDEVICE Device,
                                       PWDF_DEVICE_POWER_CAPABILITIES PowerCapabilities) {
    auto device = GetDevice(Device, "WdfDeviceSetPowerCapabilities");
    if (!device) {
        return STATUS_INVALID_HANDLE;
    }
    if (PowerCapabilities == nullptr ||
        PowerCapabilities->Size != sizeof(WDF_DEVICE_POWER_CAPABILITIES)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    std::lock_guard guard(device->recordLock);
    device->caps = *PowerCapabilities;
    device->capsSet = true;
    return STATUS_SUCCESS;
}

POWER_ACTION WdfDeviceGetSystemPowerAction(WDFDEVICE Device) {
    auto device = GetDevice(Device, "WdfDeviceGetSystemPowerAction");
    return device ? device->action.load() : PowerActionNone;
}

WDFQUEUE WdfDeviceGetDefaultQueue(WDFDEVICE Device) {
    auto device = GetDevice(Device, "WdfDeviceGetDefaultQueue");
    if (!device) {
        return nullptr;
    }
    std::lock_guard guard(device->recordLock);
    return device->defaultQueue;
}

WDFIOTARGET WdfDeviceGetIoTarget(WDFDEVICE Device) {
    auto device = GetDevice(Device, "WdfDeviceGetIoTarget");
    if (!device) {
        return nullptr;
    }
    std::lock_guard guard(device->recordLock);
    return device->ioTarget;
}
