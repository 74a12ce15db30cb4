#include "tests/config/HalvexTestDevice.h"

#include "dmf/framework/DmfDefinitions.h"
#include "dmf/modules/Dmf_Registry.h"
#include "halvex/driver/Ioctl.h"

namespace configtest {
namespace {

DMF_CONFIG_IoctlHandler gIoctlConfig;
ClientShape gClient;

void ModulesAdd(WDFDEVICE Device, PDMFMODULE_INIT DmfModuleInit) {
    PHALVEX_DMF_DEVICE_CONTEXT context = HalvexDmfDeviceGetContext(Device);
    DMF_MODULE_ATTRIBUTES attributes;
    DMF_MODULE_ATTRIBUTES_INIT(&attributes, sizeof(DMF_CONFIG_IoctlHandler), &gIoctlConfig,
                               DMF_IoctlHandler_Create);
    DMF_DmfModuleAdd(DmfModuleInit, &attributes, WDF_NO_OBJECT_ATTRIBUTES,
                     &context->DmfModuleIoctlHandler);
    DMF_Registry_ATTRIBUTES_INIT(&attributes);
    DMF_DmfModuleAdd(DmfModuleInit, &attributes, WDF_NO_OBJECT_ATTRIBUTES,
                     &context->DmfModuleRegistry);
}

NTSTATUS DeviceAdd(WDFDRIVER, PWDFDEVICE_INIT DeviceInit) {
    PDMFDEVICE_INIT dmfDeviceInit = DMF_DmfDeviceInitAllocate(DeviceInit);
    WDF_PNPPOWER_EVENT_CALLBACKS pnpPowerCallbacks;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnpPowerCallbacks);
    DMF_DmfDeviceInitHookPnpPowerEventCallbacks(dmfDeviceInit, &pnpPowerCallbacks);
    WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &pnpPowerCallbacks);
    DMF_DmfDeviceInitHookPowerPolicyEventCallbacks(dmfDeviceInit, nullptr);
    WDF_FILEOBJECT_CONFIG fileConfig;
    WDF_FILEOBJECT_CONFIG_INIT(&fileConfig, nullptr, nullptr, nullptr);
    DMF_DmfDeviceInitHookFileObjectConfig(dmfDeviceInit, &fileConfig);
    WdfDeviceInitSetFileObjectConfig(DeviceInit, &fileConfig, WDF_NO_OBJECT_ATTRIBUTES);

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, DEVICE_CONTEXT);
    WDFDEVICE device = nullptr;
    NTSTATUS ntStatus = WdfDeviceCreate(&DeviceInit, &attributes, &device);
    if (!NT_SUCCESS(ntStatus)) {
        return ntStatus;
    }
    WDF_OBJECT_ATTRIBUTES dmfAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&dmfAttributes, HALVEX_DMF_DEVICE_CONTEXT);
    PVOID dmfContext = nullptr;
    ntStatus = WdfObjectAllocateContext(device, &dmfAttributes, &dmfContext);
    if (!NT_SUCCESS(ntStatus)) {
        return ntStatus;
    }

    WDF_IO_QUEUE_CONFIG queueConfig;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queueConfig, WdfIoQueueDispatchParallel);
    queueConfig.DefaultQueue = gClient.defaultQueue ? TRUE : FALSE;
    DMF_DmfDeviceInitHookQueueConfig(dmfDeviceInit, &queueConfig);
    WDFQUEUE queue = nullptr;
    ntStatus = WdfIoQueueCreate(device, &queueConfig, WDF_NO_OBJECT_ATTRIBUTES, &queue);
    if (!NT_SUCCESS(ntStatus)) {
        return ntStatus;
    }

    if (gClient.createsInterface) {
        ntStatus =
            WdfDeviceCreateDeviceInterface(device, &gIoctlConfig.DeviceInterfaceGuid, nullptr);
        if (!NT_SUCCESS(ntStatus)) {
            return ntStatus;
        }
    }

    DMF_EVENT_CALLBACKS eventCallbacks;
    DMF_EVENT_CALLBACKS_INIT(&eventCallbacks);
    eventCallbacks.EvtDmfDeviceModulesAdd = ModulesAdd;
    DMF_DmfDeviceInitSetEventCallbacks(dmfDeviceInit, &eventCallbacks);
    return DMF_ModulesCreate(device, &dmfDeviceInit);
}

NTSTATUS HalvexTestDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, DeviceAdd);
    return WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, nullptr);
}

} // namespace

DMF_CONFIG_IoctlHandler& IoctlConfig() {
    return gIoctlConfig;
}

ClientShape& Client() {
    return gClient;
}

void ResetIoctlConfig() {
    gClient = ClientShape{};
    gIoctlConfig = DMF_CONFIG_IoctlHandler{};
    gIoctlConfig.DeviceInterfaceGuid = GUID_DEVINTERFACE_HALVEX;
    gIoctlConfig.IoctlRecords = HalvexIoctlHandlerTable;
    gIoctlConfig.IoctlRecordCount = HalvexIoctlHandlerTableCount;
}

std::unique_ptr<sim::DriverHost> AddTestDevice(NTSTATUS* status) {
    auto host = std::make_unique<sim::DriverHost>();
    NTSTATUS ntStatus = host->LoadEntry(HalvexTestDriverEntry);
    if (NT_SUCCESS(ntStatus)) {
        ntStatus = host->AddDevice();
    }
    if (NT_SUCCESS(ntStatus)) {
        ntStatus = host->Start();
    }
    *status = ntStatus;
    return host;
}

} // namespace configtest
