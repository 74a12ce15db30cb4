// The record behind a PDMFDEVICE_INIT: what the device-init hooks collected
// for DMF_ModulesCreate. Internal to the framework.
#pragma once

#include "dmf/framework/DmfDevice.h"
#include "dmf/framework/Dmf_Bridge.h"
#include "platform/wdf.h"

struct DMFDEVICE_INIT_RECORD {
    WDFMEMORY Memory;
    BOOLEAN IsValid;
    DMF_CONFIG_Bridge* DmfBridgeConfig;
    WDFMEMORY DmfBridgeConfigMemory;
    BOOLEAN HasDeviceInit;
    BOOLEAN PnpPowerCallbacksHooked;
    BOOLEAN PowerPolicyCallbacksHooked;
    BOOLEAN FileObjectConfigHooked;
    BOOLEAN QueueConfigHooked;
    WDF_IO_QUEUE_CONFIG DefaultQueueConfig;
    WDF_OBJECT_ATTRIBUTES DefaultQueueAttributes;
    DMF_EVENT_CALLBACKS* DmfEventCallbacks;
    DMF_MODULE_ATTRIBUTES BranchTrackModuleAttributes; // no creator: no branch tracking
    BOOLEAN IsControlDevice;
    WDFDEVICE ClientDevice;
    BOOLEAN IsFilterDevice;
};

// Whether the record is the stand-in for a failed allocation.
bool DMF_DmfDeviceInitIsSentinel(PDMFDEVICE_INIT DmfDeviceInit);
