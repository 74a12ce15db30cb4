// What a client driver calls during device add to hang the framework and its
// modules on its device: the device-init record and its hooks, the
// modules-add callback and module creation in bulk.
#pragma once

#include "dmf/framework/DmfModule.h"
#include "platform/wdf.h"

struct DMFDEVICE_INIT_RECORD;
using PDMFDEVICE_INIT = DMFDEVICE_INIT_RECORD*;

// Where a modules-add callback (or a module's ChildModulesAdd) adds modules.
struct DMFMODULE_INIT {
    ULONG Size;
    NTSTATUS DmfStatus; // the first failed add; every later add is ignored
    WDFCOLLECTION ModuleDescriptionCollection;
    BOOLEAN BranchTrackEnabled;
    BOOLEAN LiveKernelDumpLookup;
    WDFDEVICE ParentDevice;
    DMFMODULE ParentModule; // NULL for the device's own modules
    BOOLEAN IsTransportModule;
    // The BranchTrack module to add ahead of the device's own modules; NULL
    // without branch tracking, and always for a module's children.
    const DMF_MODULE_ATTRIBUTES* BranchTrackModuleAttributes;
    PVOID Reserved;
};

using EVT_DMF_DEVICE_MODULES_ADD = void(WDFDEVICE Device, PDMFMODULE_INIT DmfModuleInit);
using EVT_DMF_DEVICE_CALLBACK = void(WDFDEVICE Device);

struct DMF_EVENT_CALLBACKS {
    ULONG Size;
    EVT_DMF_DEVICE_MODULES_ADD* EvtDmfDeviceModulesAdd;
    EVT_DMF_DEVICE_CALLBACK* EvtDmfDeviceCallback; // kept, not called by the framework
};

inline void DMF_EVENT_CALLBACKS_INIT(DMF_EVENT_CALLBACKS* Callbacks) {
    *Callbacks = {};
    Callbacks->Size = sizeof(DMF_EVENT_CALLBACKS);
}

// Never NULL: a failed allocation yields a record that every hook ignores and
// DMF_ModulesCreate rejects.
PDMFDEVICE_INIT DMF_DmfDeviceInitAllocate(PWDFDEVICE_INIT DeviceInit);

// The hooks keep the client's callbacks for the Bridge module and put the
// framework's in their place; call each before handing the structure to WDF.
void DMF_DmfDeviceInitHookPnpPowerEventCallbacks(PDMFDEVICE_INIT DmfDeviceInit,
                                                 PWDF_PNPPOWER_EVENT_CALLBACKS Callbacks);
void DMF_DmfDeviceInitHookPowerPolicyEventCallbacks(PDMFDEVICE_INIT DmfDeviceInit,
                                                    PWDF_POWER_POLICY_EVENT_CALLBACKS Callbacks);
void DMF_DmfDeviceInitHookFileObjectConfig(PDMFDEVICE_INIT DmfDeviceInit,
                                           PWDF_FILEOBJECT_CONFIG FileObjectConfig);
void DMF_DmfDeviceInitHookQueueConfig(PDMFDEVICE_INIT DmfDeviceInit,
                                      PWDF_IO_QUEUE_CONFIG QueueConfig);
void DMF_DmfDeviceInitSetEventCallbacks(PDMFDEVICE_INIT DmfDeviceInit,
                                        DMF_EVENT_CALLBACKS* EventCallbacks);

// Branch tracking: the BranchTrack module's setter
// (DMF_DmfDeviceInitSetBranchTrackConfig) hands over the module's attributes.
// DMF_ModulesCreate then adds that module ahead of the client's modules unless
// the driver's "BranchTrackEnabled" value is 0 or absent. The config the
// attributes point to is read when DMF_ModulesCreate runs.
void DMF_DmfDeviceInitBranchTrackModuleSet(PDMFDEVICE_INIT DmfDeviceInit,
                                           const DMF_MODULE_ATTRIBUTES* BranchTrackAttributes);

// Asks the client for its modules, creates them (Bridge last) and opens those
// that open at creation. Always frees the record and clears the caller's pointer.
NTSTATUS DMF_ModulesCreate(WDFDEVICE Device, PDMFDEVICE_INIT* DmfDeviceInit);

// Adds one module, in the order in which the modules are to receive the
// device's callbacks. A failure stays in the init and is reported by the
// creation of the collection.
void DMF_DmfModuleAdd(PDMFMODULE_INIT DmfModuleInit, DMF_MODULE_ATTRIBUTES* ModuleAttributes,
                      WDF_OBJECT_ATTRIBUTES* ObjectAttributes, DMFMODULE* ResultantDmfModule);

// Completes a request a module was offered, with `NtStatus`; TRUE when the
// request was completed (on a filter device a success is left to the caller).
BOOLEAN DMF_ModuleRequestCompleteOrForward(DMFMODULE DmfModule, WDFREQUEST Request,
                                           NTSTATUS NtStatus);
