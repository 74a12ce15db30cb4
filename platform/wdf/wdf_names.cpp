// Symbolic links and device interfaces of WDF devices. Link names are one
// namespace for the machine, compared without regard to case.
#include "platform/wdf/fx_device.h"

#include <set>

namespace {

std::u16string Folded(const std::u16string& name) {
    std::u16string folded = name;
    for (auto& c : folded) {
        if (c >= u'A' && c <= u'Z') {
            c = static_cast<char16_t>(c - u'A' + u'a');
        }
    }
    return folded;
}

struct Names {
    std::mutex lock;
    std::set<std::u16string> taken;
};

Names& TheNames() {
    static Names* names = new Names;
    return *names;
}

std::shared_ptr<fx::Device> GetDevice(WDFDEVICE handle, const char* call) {
    return fx::Get<fx::Device>(handle, fx::Kind::Device, call);
}

} // namespace

namespace fx {

void ReleaseSymbolicLinks(const std::vector<std::u16string>& names) {
    auto& table = TheNames();
    std::lock_guard guard(table.lock);
    for (const auto& name : names) {
        table.taken.erase(Folded(name));
    }
}

void ResetNames() {
    auto& table = TheNames();
    std::lock_guard guard(table.lock);
    table.taken.clear();
}

} // namespace fx

namespace sim::wdf {

void TakeSymbolicLinkName(const std::u16string& name) {
    auto& table = TheNames();
    std::lock_guard guard(table.lock);
    table.taken.insert(Folded(name));
}

bool SymbolicLinkExists(const std::u16string& name) {
    auto& table = TheNames();
    std::lock_guard guard(table.lock);
    return table.taken.count(Folded(name)) != 0;
}

std::vector<DeviceInterfaceRecord> DeviceInterfaces(WDFDEVICE device) {
    auto record = fx::Get<fx::Device>(device, fx::Kind::Device, "sim::wdf::DeviceInterfaces");
    if (!record) {
        return {};
    }
    std::lock_guard guard(record->recordLock);
    return record->interfaces;
}

std::vector<std::u16string> SymbolicLinks(WDFDEVICE device) {
    auto record = fx::Get<fx::Device>(device, fx::Kind::Device, "sim::wdf::SymbolicLinks");
    if (!record) {
        return {};
    }
    std::lock_guard guard(record->recordLock);
    return record->links;
}

} // namespace sim::wdf

NTSTATUS WdfDeviceCreateSymbolicLink(WDFDEVICE Device, PCUNICODE_STRING SymbolicLinkName) {
    auto device = GetDevice(Device, "WdfDeviceCreateSymbolicLink");
    if (!device) {
        return STATUS_INVALID_HANDLE;
    }
    std::u16string name = fx::FromUnicodeString(SymbolicLinkName);
    if (name.empty()) {
        return STATUS_INVALID_PARAMETER;
    }
    if (NTSTATUS status =
            fx::CheckFaultStatus("WdfDeviceCreateSymbolicLink", STATUS_OBJECT_NAME_COLLISION);
        !NT_SUCCESS(status)) {
        return status;
    }
    {
        auto& table = TheNames();
        std::lock_guard guard(table.lock);
        if (!table.taken.insert(Folded(name)).second) {
            return STATUS_OBJECT_NAME_COLLISION;
        }
    }
    std::lock_guard guard(device->recordLock);
    device->links.push_back(name);
    return STATUS_SUCCESS;
}

NTSTATUS WdfDeviceCreateDeviceInterface(WDFDEVICE Device, const GUID* InterfaceClassGUID,
                                        PCUNICODE_STRING ReferenceString) {
    auto device = GetDevice(Device, "WdfDeviceCreateDeviceInterface");
    if (!device) {
        return STATUS_INVALID_HANDLE;
    }
    if (InterfaceClassGUID == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (NTSTATUS status = fx::CheckFaultStatus("WdfDeviceCreateDeviceInterface");
        !NT_SUCCESS(status)) {
        return status;
    }
    std::u16string reference = fx::FromUnicodeString(ReferenceString);
    std::lock_guard guard(device->recordLock);
    for (const auto& record : device->interfaces) {
        if (record.interfaceClass == *InterfaceClassGUID && record.referenceString == reference) {
            return STATUS_OBJECT_NAME_COLLISION;
        }
    }
    // An interface is enabled with the device; the driver may turn it off.
    device->interfaces.push_back({*InterfaceClassGUID, reference, true});
    return STATUS_SUCCESS;
}

void WdfDeviceSetDeviceInterfaceState(WDFDEVICE Device, const GUID* InterfaceClassGUID,
                                      PCUNICODE_STRING ReferenceString,
                                      BOOLEAN IsInterfaceEnabled) {
    auto device = GetDevice(Device, "WdfDeviceSetDeviceInterfaceState");
    if (!device || InterfaceClassGUID == nullptr) {
        return;
    }
    std::u16string reference = fx::FromUnicodeString(ReferenceString);
    std::lock_guard guard(device->recordLock);
    for (auto& record : device->interfaces) {
        if (record.interfaceClass == *InterfaceClassGUID && record.referenceString == reference) {
            record.enabled = IsInterfaceEnabled != FALSE;
            return;
        }
    }
    // Turning off an interface the device never created leaves it as asked:
    // absent, so not enabled. Enabling one is an error of the driver.
    if (IsInterfaceEnabled) {
        fx::ReportError("WdfDeviceSetDeviceInterfaceState: the device has no such interface");
    }
}
