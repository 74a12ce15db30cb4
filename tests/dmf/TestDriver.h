// A client driver for the framework tests: its device add follows the
// driver's own sequence (hooks, device, queue, modules) with the modules and
// client callbacks a test asks for, and every client callback records itself.
#pragma once

#include "dmf/framework/DmfDefinitions.h"
#include "tests/dmf/Dmf_Recorder.h"

#include <string>
#include <vector>

namespace dmftest {

struct ModulePlan {
    std::string name;
    DMF_CONFIG_Recorder config{};
    ULONG configSize = sizeof(DMF_CONFIG_Recorder);
    bool noConfig = false; // a NULL config pointer with the size
    bool passiveLevel = false;
    DMF_ModuleInstanceCreate* creator = DMF_Recorder_Create;
    DMF_MODULE_EVENT_CALLBACKS* events = nullptr;
    EVT_DMF_MODULE_TransportModulesAdd* transportAdd = nullptr;
};

struct ClientPlan {
    bool pnpCallbacks = true; // every PnP/power callback of the client records itself
    NTSTATUS d0EntryStatus = STATUS_SUCCESS;
    NTSTATUS d0ExitStatus = STATUS_SUCCESS;
    bool ownQueue = false;     // the client creates its default queue through the queue hook
    bool ioctlCallback = true; // ...with EvtIoDeviceControl
    bool hookPnpPower = true;  // the hooks DMF_ModulesCreate insists on
    bool hookPowerPolicy = true;
    bool hookFileObject = true;
    bool addModules = true;         // give the modules-add callback
    bool withoutDeviceInit = false; // the framework is not given the WDFDEVICE_INIT
};

struct TestDevice {
    std::vector<ModulePlan> modules;
    ClientPlan client;
    std::vector<DMFMODULE> handles;        // written by the framework
    WDF_PNPPOWER_EVENT_CALLBACKS hooked{}; // what the client handed WDF
    PFN_WDF_DEVICE_USAGE_NOTIFICATION usageNotification = nullptr;
    NTSTATUS modulesCreateStatus = STATUS_PENDING;
    std::vector<std::string> logWhenModulesCreateReturned;
    bool initPointerCleared = false;
};

// The device the next device add builds.
TestDevice& Device();
void ResetDevice();

NTSTATUS TestDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

} // namespace dmftest
