#include "tests/dmf/TestDriver.h"

#include "tests/dmf/EventLog.h"

#include <algorithm>
#include <string>
#include <type_traits>

namespace dmftest {
namespace {

TestDevice gDevice;

void Note(const char* what) {
    Record(std::string("Client:") + what);
}

NTSTATUS ClientD0Entry(WDFDEVICE, WDF_POWER_DEVICE_STATE previous) {
    Note("D0Entry");
    Record("Client:from " + std::to_string(previous));
    return gDevice.client.d0EntryStatus;
}
NTSTATUS ClientD0Exit(WDFDEVICE, WDF_POWER_DEVICE_STATE target) {
    Note("D0Exit");
    Record("Client:to " + std::to_string(target));
    return gDevice.client.d0ExitStatus;
}
// A client callback that only records its slot and succeeds.
template <std::size_t N> struct SlotName {
    constexpr SlotName(const char (&text)[N]) { std::copy_n(text, N, name); }
    char name[N];
};
template <SlotName Slot, typename R, typename... Args> R Noted(WDFDEVICE, Args...) {
    Note(Slot.name);
    if constexpr (!std::is_void_v<R>) {
        return STATUS_SUCCESS;
    }
}
void ClientIoDeviceControl(WDFQUEUE, WDFREQUEST Request, size_t, size_t, ULONG code) {
    Record("Client:DeviceIoControl " + std::to_string(code));
    WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, 0);
}

void ModulesAdd(WDFDEVICE, PDMFMODULE_INIT DmfModuleInit) {
    gDevice.handles.assign(gDevice.modules.size(), nullptr);
    for (size_t index = 0; index < gDevice.modules.size(); ++index) {
        ModulePlan& plan = gDevice.modules[index];
        DMF_MODULE_ATTRIBUTES attributes;
        DMF_MODULE_ATTRIBUTES_INIT(&attributes, plan.configSize,
                                   plan.noConfig ? nullptr : &plan.config, plan.creator);
        attributes.ClientModuleInstanceName = plan.name.c_str();
        attributes.PassiveLevel = plan.passiveLevel;
        attributes.ModuleEventCallbacks = plan.events;
        attributes.TransportModulesAdd = plan.transportAdd;
        DMF_DmfModuleAdd(DmfModuleInit, &attributes, WDF_NO_OBJECT_ATTRIBUTES,
                         &gDevice.handles[index]);
    }
}

NTSTATUS DeviceAdd(WDFDRIVER, PWDFDEVICE_INIT DeviceInit) {
    const ClientPlan& client = gDevice.client;
    WDF_PNPPOWER_EVENT_CALLBACKS pnpPowerCallbacks;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnpPowerCallbacks);
    if (client.pnpCallbacks) {
        pnpPowerCallbacks.EvtDeviceD0Entry = ClientD0Entry;
        pnpPowerCallbacks.EvtDeviceD0Exit = ClientD0Exit;
        pnpPowerCallbacks.EvtDevicePrepareHardware = Noted<"PrepareHardware">;
        pnpPowerCallbacks.EvtDeviceReleaseHardware = Noted<"ReleaseHardware">;
        pnpPowerCallbacks.EvtDeviceD0EntryPostInterruptsEnabled =
            Noted<"D0EntryPostInterruptsEnabled">;
        pnpPowerCallbacks.EvtDeviceD0ExitPreInterruptsDisabled =
            Noted<"D0ExitPreInterruptsDisabled">;
        pnpPowerCallbacks.EvtDeviceSelfManagedIoCleanup = Noted<"SelfManagedIoCleanup">;
        pnpPowerCallbacks.EvtDeviceSelfManagedIoFlush = Noted<"SelfManagedIoFlush">;
        pnpPowerCallbacks.EvtDeviceSelfManagedIoInit = Noted<"SelfManagedIoInit">;
        pnpPowerCallbacks.EvtDeviceSelfManagedIoSuspend = Noted<"SelfManagedIoSuspend">;
        pnpPowerCallbacks.EvtDeviceSelfManagedIoRestart = Noted<"SelfManagedIoRestart">;
        pnpPowerCallbacks.EvtDeviceSurpriseRemoval = Noted<"SurpriseRemoval">;
        pnpPowerCallbacks.EvtDeviceQueryRemove = Noted<"QueryRemove">;
        pnpPowerCallbacks.EvtDeviceQueryStop = Noted<"QueryStop">;
        pnpPowerCallbacks.EvtDeviceRelationsQuery = Noted<"RelationsQuery">;
        pnpPowerCallbacks.EvtDeviceUsageNotificationEx = Noted<"UsageNotificationEx">;
        pnpPowerCallbacks.EvtDeviceUsageNotification = Noted<"UsageNotification">;
    }
    PDMFDEVICE_INIT dmfDeviceInit =
        DMF_DmfDeviceInitAllocate(client.withoutDeviceInit ? nullptr : DeviceInit);
    if (client.hookPnpPower) {
        DMF_DmfDeviceInitHookPnpPowerEventCallbacks(dmfDeviceInit, &pnpPowerCallbacks);
    }
    WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &pnpPowerCallbacks);
    gDevice.hooked = pnpPowerCallbacks;
    gDevice.usageNotification = pnpPowerCallbacks.EvtDeviceUsageNotification;
    if (client.hookPowerPolicy) {
        DMF_DmfDeviceInitHookPowerPolicyEventCallbacks(dmfDeviceInit, nullptr);
    }

    if (client.hookFileObject) {
        WDF_FILEOBJECT_CONFIG fileConfig;
        WDF_FILEOBJECT_CONFIG_INIT(&fileConfig, nullptr, nullptr, nullptr);
        DMF_DmfDeviceInitHookFileObjectConfig(dmfDeviceInit, &fileConfig);
        WdfDeviceInitSetFileObjectConfig(DeviceInit, &fileConfig, WDF_NO_OBJECT_ATTRIBUTES);
    }

    WDFDEVICE device = nullptr;
    NTSTATUS ntStatus = WdfDeviceCreate(&DeviceInit, WDF_NO_OBJECT_ATTRIBUTES, &device);
    if (!NT_SUCCESS(ntStatus)) {
        return ntStatus;
    }

    if (client.ownQueue) {
        WDF_IO_QUEUE_CONFIG queueConfig;
        WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queueConfig, WdfIoQueueDispatchParallel);
        if (client.ioctlCallback) {
            queueConfig.EvtIoDeviceControl = ClientIoDeviceControl;
        }
        DMF_DmfDeviceInitHookQueueConfig(dmfDeviceInit, &queueConfig);
        WDFQUEUE queue = nullptr;
        ntStatus = WdfIoQueueCreate(device, &queueConfig, WDF_NO_OBJECT_ATTRIBUTES, &queue);
        if (!NT_SUCCESS(ntStatus)) {
            return ntStatus;
        }
    }

    DMF_EVENT_CALLBACKS eventCallbacks;
    DMF_EVENT_CALLBACKS_INIT(&eventCallbacks);
    eventCallbacks.EvtDmfDeviceModulesAdd = client.addModules ? ModulesAdd : nullptr;
    DMF_DmfDeviceInitSetEventCallbacks(dmfDeviceInit, &eventCallbacks);

    ntStatus = DMF_ModulesCreate(device, &dmfDeviceInit);
    gDevice.modulesCreateStatus = ntStatus;
    gDevice.logWhenModulesCreateReturned = Log();
    gDevice.initPointerCleared = dmfDeviceInit == nullptr;
    return ntStatus;
}

} // namespace

TestDevice& Device() {
    return gDevice;
}

void ResetDevice() {
    gDevice = TestDevice{};
}

NTSTATUS TestDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, DeviceAdd);
    return WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, nullptr);
}

} // namespace dmftest
