// Device add: the device with its two contexts, its default queue, its
// framework modules, its symbolic link, its configuration and its channels.
#include "dmf/modules/Dmf_IoctlHandler.h"
#include "dmf/modules/Dmf_Registry.h"
#include "dmf/modules/Dmf_SocPartition.h"
#include "halvex/driver/Channels.h"
#include "halvex/driver/DeviceContext.h"
#include "halvex/driver/Driver.h"
#include "halvex/driver/Ioctl.h"
#include "halvex/driver/Power.h"
#include "halvex/driver/RegistryConfig.h"
#include "halvex/provider/ProximitySensorWatcher.h"
#include "platform/trace.h"
#include "platform/win32.h"

#include "halvex/driver/CaughtException.h"
#include <stdexcept>

namespace {

const char* TriStateName(WDF_TRI_STATE state) {
    switch (state) {
    case WdfTrue:
        return "WdfTrue";
    case WdfUseDefault:
        return "WdfUseDefault";
    default:
        return "UnKnown State";
    }
}

// Lets the user disable the device (in Device Manager, say).
void MakeDeviceDisableable(WDFDEVICE device) {
    WDF_DEVICE_STATE deviceState;
    WDF_DEVICE_STATE_INIT(&deviceState);
    WdfDeviceGetDeviceState(device, &deviceState);
    if (deviceState.NotDisableable == WdfFalse) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "Device is already disableable");
        return;
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DEVICE, "NotDisableable was %s, setting WdfFalse",
                TriStateName(deviceState.NotDisableable));
    deviceState.NotDisableable = WdfFalse;
    WdfDeviceSetDeviceState(device, &deviceState);
}

void SetPowerCapabilities(WDFDEVICE device) {
    WDF_DEVICE_POWER_CAPABILITIES powerCaps;
    WDF_DEVICE_POWER_CAPABILITIES_INIT(&powerCaps);
    powerCaps.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    powerCaps.DeviceState[PowerSystemHibernate] = PowerDeviceD3;
    powerCaps.DeviceState[PowerSystemShutdown] = PowerDeviceD3;
    (void)WdfDeviceSetPowerCapabilities(device, &powerCaps);
}

// The proximity-sensor watcher and its device-watcher handlers. The device
// does without proximity readings rather than fail: either failure is only
// traced.
void CreateWatcher(WDFDEVICE device, PDEVICE_CONTEXT deviceContext) {
    NTSTATUS status = CreateProximitySensorWatcher(device);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE, "CreateProximitySensorWatcher failed 0x%08X",
                    static_cast<unsigned>(status));
        return;
    }
    status = deviceContext->ProximityWatcher->RegisterEventHandlers();
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE, "RegisterEventHandlers failed 0x%08X",
                    static_cast<unsigned>(status));
    }
}

} // namespace

NTSTATUS CreateDevice(PWDFDEVICE_INIT DeviceInit) {
    FuncEntry(TRACE_DEVICE);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    try {
        WDF_PNPPOWER_EVENT_CALLBACKS pnpPowerCallbacks;
        WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnpPowerCallbacks);
        pnpPowerCallbacks.EvtDeviceD0Entry = EvtDeviceD0Entry;
        pnpPowerCallbacks.EvtDeviceD0Exit = EvtDeviceD0Exit;
        WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &pnpPowerCallbacks);

        // The framework keeps the two callbacks for its Bridge module and puts
        // its own in their place, so that every module sees the transitions.
        PDMFDEVICE_INIT dmfDeviceInit = DMF_DmfDeviceInitAllocate(DeviceInit);
        DMF_DmfDeviceInitHookPnpPowerEventCallbacks(dmfDeviceInit, &pnpPowerCallbacks);
        WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &pnpPowerCallbacks);
        DMF_DmfDeviceInitHookPowerPolicyEventCallbacks(dmfDeviceInit, nullptr);

        WDF_FILEOBJECT_CONFIG fileObjectConfig;
        WDF_FILEOBJECT_CONFIG_INIT(&fileObjectConfig, nullptr, nullptr, nullptr);
        DMF_DmfDeviceInitHookFileObjectConfig(dmfDeviceInit, &fileObjectConfig);
        WdfDeviceInitSetFileObjectConfig(DeviceInit, &fileObjectConfig, WDF_NO_OBJECT_ATTRIBUTES);

        WDF_OBJECT_ATTRIBUTES deviceAttributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&deviceAttributes, DEVICE_CONTEXT);
        deviceAttributes.EvtCleanupCallback = EvtDeviceContextCleanup;
        WDFDEVICE device = nullptr;
        status = WdfDeviceCreate(&DeviceInit, &deviceAttributes, &device);
        if (!NT_SUCCESS(status)) {
            throw std::runtime_error("WdfDeviceCreate() failed");
        }

        WDF_OBJECT_ATTRIBUTES dmfContextAttributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&dmfContextAttributes, HALVEX_DMF_DEVICE_CONTEXT);
        status = WdfObjectAllocateContext(device, &dmfContextAttributes, WDF_NO_CONTEXT);
        if (NT_SUCCESS(status)) {
            MakeDeviceDisableable(device);
        }

        SetPowerCapabilities(device);

        PDEVICE_CONTEXT deviceContext = DeviceGetContext(device);
        if (deviceContext == nullptr) {
            throw std::runtime_error("Device Context is NULL");
        }

        WDF_IO_QUEUE_CONFIG queueConfig;
        WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queueConfig, WdfIoQueueDispatchParallel);
        DMF_DmfDeviceInitHookQueueConfig(dmfDeviceInit, &queueConfig);
        status = WdfIoQueueCreate(device, &queueConfig, WDF_NO_OBJECT_ATTRIBUTES, WDF_NO_HANDLE);
        if (!NT_SUCCESS(status)) {
            throw std::runtime_error("WdfIoQueueCreate() failed");
        }

        DMF_EVENT_CALLBACKS dmfCallbacks;
        DMF_EVENT_CALLBACKS_INIT(&dmfCallbacks);
        dmfCallbacks.EvtDmfDeviceModulesAdd = DmfDeviceModulesAdd;
        DMF_DmfDeviceInitSetEventCallbacks(dmfDeviceInit, &dmfCallbacks);

        status = DMF_ModulesCreate(device, &dmfDeviceInit);
        if (!NT_SUCCESS(status)) {
            throw std::runtime_error("DMF_ModulesCreate() failed");
        }

        CreateWatcher(device, deviceContext);
        status = STATUS_SUCCESS;

        if (!createInterface(device)) {
            status = STATUS_UNSUCCESSFUL;
            throw std::runtime_error("createInterface() failed");
        }

        NTSTATUS readStatus = ReadSarConfiguration(device);
        if (!NT_SUCCESS(readStatus)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE,
                        "ReadSarConfiguration failed 0x%08X, going on with what was read",
                        static_cast<unsigned>(readStatus));
            status = STATUS_SUCCESS;
        }

        if (deviceContext->ConfiguredCount == 0) {
            status = STATUS_SUCCESS;
            throw std::runtime_error("No channels configured properly in registry");
        }

        if (!AllocateChannelObjects(deviceContext->ConfiguredCount, deviceContext)) {
            status = STATUS_UNSUCCESSFUL;
            throw std::runtime_error("Channel obj allocation failure");
        }

        if (!LogSarConfiguration(device)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE, "LogSarConfiguration failed");
        }

        if (!CreateChannelObjects(deviceContext->Channels, deviceContext->ConfiguredCount,
                                  deviceContext->ChannelObjects, device)) {
            status = STATUS_UNSUCCESSFUL;
            throw std::runtime_error("Channel obj creation failure");
        }
    } catch (...) {
        TraceCaughtException(TRACE_DEVICE);
    }
    FuncExit(TRACE_DEVICE, "status 0x%08X", static_cast<unsigned>(status));
    return status;
}

void DmfDeviceModulesAdd(WDFDEVICE Device, PDMFMODULE_INIT DmfModuleInit) {
    FuncEntry(TRACE_DEVICE);
    try {
        PHALVEX_DMF_DEVICE_CONTEXT dmfContext = HalvexDmfDeviceGetContext(Device);
        if (dmfContext == nullptr) {
            throw std::runtime_error(" DMF Device Context is NULL");
        }

        DMF_MODULE_ATTRIBUTES moduleAttributes;

        // SocPartition first, with an all-zero configuration (no callbacks).
        DMF_MODULE_ATTRIBUTES_INIT(&moduleAttributes, sizeof(DMF_CONFIG_SocPartition), nullptr,
                                   DMF_SocPartition_Create);
        DMF_DmfModuleAdd(DmfModuleInit, &moduleAttributes, WDF_NO_OBJECT_ATTRIBUTES,
                         &dmfContext->DmfModuleSocPartition);

        DMF_CONFIG_IoctlHandler ioctlConfig{};
        ioctlConfig.DeviceInterfaceGuid = GUID_DEVINTERFACE_HALVEX;
        ioctlConfig.AccessModeFilter = IoctlHandler_AccessModeDefault;
        ioctlConfig.IoctlRecords = HalvexIoctlHandlerTable;
        ioctlConfig.IoctlRecordCount = HalvexIoctlHandlerTableCount;
        DMF_MODULE_ATTRIBUTES_INIT(&moduleAttributes, sizeof(ioctlConfig), &ioctlConfig,
                                   DMF_IoctlHandler_Create);
        DMF_DmfModuleAdd(DmfModuleInit, &moduleAttributes, WDF_NO_OBJECT_ATTRIBUTES,
                         &dmfContext->DmfModuleIoctlHandler);

        DMF_MODULE_ATTRIBUTES_INIT(&moduleAttributes, 0, nullptr, DMF_Registry_Create);
        DMF_DmfModuleAdd(DmfModuleInit, &moduleAttributes, WDF_NO_OBJECT_ATTRIBUTES,
                         &dmfContext->DmfModuleRegistry);
    } catch (...) {
        TraceCaughtException(TRACE_DEVICE);
    }
    FuncExitVoid(TRACE_DEVICE);
}

BOOLEAN createInterface(WDFDEVICE Device) {
    FuncEntry(TRACE_DEVICE);
    UNICODE_STRING symbolicLinkName;
    symbolicLinkName.Length = sizeof(HALVEX_SYMBOLIC_LINK_NAME) - sizeof(WCHAR);
    symbolicLinkName.MaximumLength = sizeof(HALVEX_SYMBOLIC_LINK_NAME);
    symbolicLinkName.Buffer = const_cast<PWSTR>(HALVEX_SYMBOLIC_LINK_NAME);
    NTSTATUS status = WdfDeviceCreateSymbolicLink(Device, &symbolicLinkName);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DEVICE, "WdfDeviceCreateSymbolicLink failed 0x%08X",
                    static_cast<unsigned>(status));
        FuncExit(TRACE_DEVICE, "FALSE");
        return FALSE;
    }
    FuncExit(TRACE_DEVICE, "TRUE");
    return TRUE;
}
