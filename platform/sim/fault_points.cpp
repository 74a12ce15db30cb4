#include "platform/sim/fault_points.h"

#include <algorithm>
#include <array>

namespace sim {
namespace {

// Kept in step with the calls that check them: a point added to the stand-in
// without its name here is refused to --fault, and the fault runner, which
// replays every point a clean run reaches through --fault, reports it.
constexpr std::array<std::string_view, 74> kPoints = {
    "CM_Get_Device_Interface_ListW",
    "CM_Get_Device_Interface_List_SizeW",
    "CM_Register_Notification",
    "CM_Unregister_Notification",
    "CancelMibChangeNotify2",
    "CloseHandle",
    "CoInitializeEx",
    "CreateEventW",
    "CreateThread",
    "DeviceInformation.CreateWatcher",
    "DeviceWatcher.Start",
    "DeviceWatcher.Stop",
    "FreeMibTable",
    "GetIfTable2",
    "HeapAlloc",
    "MobileBroadbandAntennaSar.CreateWithIndex",
    "MobileBroadbandModem.GetDefault",
    "MobileBroadbandModemConfiguration.SarManager",
    "MobileBroadbandSarManager.Antennas",
    "NotifyIpInterfaceChange",
    "PowerSettingRegisterNotification",
    "PowerSettingUnregisterNotification",
    "Proximity.Subscribe",
    "ProximitySensor.GetDeviceSelector",
    "RegEnumKeyExW",
    "RegQueryInfoKeyW",
    "RegisterTraceGuidsW",
    "SensorHub.Open",
    "SensorHub.Send",
    "SetEvent",
    "UnregisterTraceGuids",
    "WaitForMultipleObjects",
    "WaitForSingleObject",
    "WdfCollectionAdd",
    "WdfCollectionCreate",
    "WdfDeviceCreate",
    "WdfDeviceCreateDeviceInterface",
    "WdfDeviceCreateSymbolicLink",
    "WdfDeviceOpenRegistryKey",
    "WdfDriverCreate",
    "WdfDriverOpenParametersRegistryKey",
    "WdfIoQueueCreate",
    "WdfIoTargetCreate",
    "WdfIoTargetFormatRequestForIoctl",
    "WdfIoTargetFormatRequestForRead",
    "WdfIoTargetFormatRequestForWrite",
    "WdfIoTargetOpen",
    "WdfIoTargetStart",
    "WdfMemoryCreate",
    "WdfMemoryCreatePreallocated",
    "WdfObjectAllocateContext",
    "WdfObjectCreate",
    "WdfRegistryAssignULong",
    "WdfRegistryClose",
    "WdfRegistryOpenKey",
    "WdfRegistryQueryULong",
    "WdfRegistryQueryValue",
    "WdfRegistryWdmGetHandle",
    "WdfRequestAllocateTimer",
    "WdfRequestCreate",
    "WdfRequestSend",
    "WdfSpinLockCreate",
    "WdfTimerCreate",
    "WdfWaitLockCreate",
    "WdfWorkItemCreate",
    "WlanCloseHandle",
    "WlanDeviceServiceCommand",
    "WlanDeviceServiceCommand.Query",
    "WlanDeviceServiceCommand.Set",
    "WlanEnumInterfaces",
    "WlanOpenHandle",
    "WlanRegisterDeviceServiceNotification",
    "WlanRegisterNotification",
    "make_self",
};

struct Family {
    std::string_view prefix;   // up to and with the colon
    std::string_view argument; // what follows it, for the list
    std::string_view meaning;  // what the argument stands for, with an example
    bool (*accepts)(std::string_view argument);
};

// The stand-in names a memory's point by its pool tag, four characters.
bool IsPoolTag(std::string_view tag) {
    return tag.size() == 4;
}

// A runtime class's full name is qualified by its namespace.
bool IsClassName(std::string_view name) {
    const std::size_t dot = name.find('.');
    return dot != std::string_view::npos && dot > 0 && name.back() != '.';
}

constexpr std::array<Family, 2> kFamilies = {{
    {"RoGetActivationFactory:", "CLASS",
     "a runtime class's full name, such as Windows.Devices.Sensors.ProximitySensor", IsClassName},
    {"WdfMemoryCreate:", "TAG", "a pool tag of four characters, such as Hvx0", IsPoolTag},
}};

} // namespace

bool IsFaultPoint(std::string_view point) {
    if (std::find(kPoints.begin(), kPoints.end(), point) != kPoints.end()) {
        return true;
    }
    return std::any_of(kFamilies.begin(), kFamilies.end(), [&](const Family& family) {
        return point.starts_with(family.prefix) &&
               family.accepts(point.substr(family.prefix.size()));
    });
}

std::vector<std::string> FaultPointNames() {
    std::vector<std::string> names(kPoints.begin(), kPoints.end());
    for (const Family& family : kFamilies) {
        names.push_back(std::string(family.prefix) + std::string(family.argument));
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string FaultPointArguments() {
    std::string text;
    for (const Family& family : kFamilies) {
        text += std::string(text.empty() ? "" : "; ") + std::string(family.argument) +
                " stands for " + std::string(family.meaning);
    }
    return text;
}

} // namespace sim
